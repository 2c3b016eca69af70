// A child process for the platform tests and the exit-code table:
//   hold <file> <ms>  opens an existing file without sharing (Windows share mode 0), prints "held"
//   once it is open,
//                     keeps it open for ms milliseconds and exits 0; exits 2 when it cannot open it
//   self <file>       writes its own path, as the updater's platform layer reports it, to file
//   pid <ms>          prints its process id, sleeps, exits 0
//   (nothing)         the restarted application: appends "started" to started.txt in its working
//   folder, then
//                     "ended" once exit.txt is there (or after 120 s)
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <fstream>
#include <string>

#include "platform/platform.h"

int main() {
    // Wide arguments, so that paths outside the ANSI code page arrive whole.
    const std::vector<std::wstring> args = platform::command_line_arguments();
    const auto say_then_sleep = [&](const std::string& line, std::size_t i) {
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
        platform::pause_milliseconds(static_cast<std::uint32_t>(std::stoul(args[i])));
        return 0;
    };
    if (args.size() == 4 && args[1] == L"hold") {  // the file stays open until the process ends
#ifdef _WIN32
        const bool opened = ::CreateFileW(platform::wide_to_path(args[2]).c_str(),
                                          GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL, nullptr) != INVALID_HANDLE_VALUE;
#else
        const bool opened =
            ::open(platform::wide_to_path(args[2]).c_str(), O_RDWR | O_CLOEXEC) >= 0;
#endif
        return opened ? say_then_sleep("held", 3) : 2;
    }
    if (args.size() == 3 && args[1] == L"self") {
        std::ofstream out(platform::wide_to_path(args[2]), std::ios::binary);
        out << platform::wide_to_utf8(platform::path_to_wide(platform::own_executable_path()));
        return out.flush() ? 0 : 2;
    }
#ifdef _WIN32
    if (args.size() == 3 && args[1] == L"pid")
        return say_then_sleep(std::to_string(::GetCurrentProcessId()), 2);
#else
    if (args.size() == 3 && args[1] == L"pid") return say_then_sleep(std::to_string(::getpid()), 2);
#endif
    if (args.size() != 1) return 100;
    // Runs until told to end, so that an updater waiting for it shows.
    std::ofstream("started.txt", std::ios::app | std::ios::binary) << "started\n";
    for (int i = 0; i < 1200 && !std::ifstream("exit.txt"); ++i) platform::pause_milliseconds(100);
    std::ofstream("started.txt", std::ios::app | std::ios::binary) << "ended\n";
}
