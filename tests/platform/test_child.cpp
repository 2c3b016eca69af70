// A child of the platform tests and the exit-code table:
//   hold <file> <ms>  opens the file without sharing, says "held", keeps it ms (exit 2: not open)
//   self <file>       writes its own path, as the platform layer gives it, to the file
//   pid <ms>          says its process id, sleeps ms
//   (nothing)         the restarted application: adds "started" to started.txt, then "ended"
//                     once exit.txt is there (or after 120 s)
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <fstream>

#include "platform/platform.h"

int main() {
    // wide, so that paths outside the ANSI code page arrive whole
    const std::vector<std::wstring> args = platform::command_line_arguments();
    const std::wstring mode = args.size() > 2 ? args[1] : L"";
#ifdef _WIN32
    const auto pid = ::GetCurrentProcessId();
    const bool held =
        mode == L"hold" && ::CreateFileW(args[2].c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                         OPEN_EXISTING, 0, nullptr) != INVALID_HANDLE_VALUE;
#else
    const auto pid = ::getpid();
    const bool held =
        mode == L"hold" && ::open(platform::wide_to_path(args[2]).c_str(), O_RDWR) >= 0;
#endif
    if ((mode == L"hold" && args.size() == 4) || (mode == L"pid" && args.size() == 3)) {
        if (mode == L"hold" && !held) return 2;
        std::printf("%s\n", held ? "held" : std::to_string(pid).c_str());
        std::fflush(stdout);
        platform::pause_milliseconds(static_cast<std::uint32_t>(std::stoul(args.back())));
        return 0;  // the file stays open until here
    }
    if (mode == L"self" && args.size() == 3) {
        std::ofstream out(platform::wide_to_path(args[2]), std::ios::binary);
        out << platform::wide_to_utf8(platform::path_to_wide(platform::own_executable_path()));
        return out.flush() ? 0 : 2;
    }
    if (args.size() != 1) return 100;
    // Runs until told to end, so that an updater waiting for it shows.
    std::ofstream("started.txt", std::ios::app | std::ios::binary) << "started\n";
    for (int i = 0; i < 1200 && !std::ifstream("exit.txt"); ++i) platform::pause_milliseconds(100);
    std::ofstream("started.txt", std::ios::app | std::ios::binary) << "ended\n";
}
