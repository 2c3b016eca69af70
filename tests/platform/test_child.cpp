// A child process for the platform tests and the exit-code table.
//   lumetra_test_child <sleep ms> <exit code>   sleeps, then exits with the code
//   lumetra_test_child hold <file> <ms>         opens an existing file without
//       sharing (Windows share mode 0), prints "held" once it is open, keeps it
//       open for ms milliseconds and exits 0; exit 2 when it cannot be opened
//   lumetra_test_child self <file>              writes its own path, as the
//       updater's platform layer reports it, to file as UTF-8
//   lumetra_test_child pid <ms>                 prints its process id, sleeps, exits 0
//   lumetra_test_child                          the restarted application: appends
//       "started" to started.txt in its working folder, then "ended" once exit.txt
//       is there (or after 120 s)
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/platform.h"

namespace {

void say(const std::string& line) {
    std::puts(line.c_str());
    std::fflush(stdout);
}

}  // namespace

int main() {
    // Wide arguments, so that paths outside the ANSI code page arrive whole.
    const std::vector<std::wstring> args = platform::command_line_arguments();
    const std::wstring mode = args.size() > 1 ? args[1] : L"";
    const auto number = [&](std::size_t i) { return std::wcstol(args[i].c_str(), nullptr, 10); };
    const auto sleep = [&](std::size_t i) { platform::pause_milliseconds(static_cast<std::uint32_t>(number(i))); };
    if (args.size() == 4 && mode == L"hold") {  // the file stays open until the process ends
#ifdef _WIN32
        if (::CreateFileW(platform::wide_to_path(args[2]).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr) == INVALID_HANDLE_VALUE) {
            return 2;
        }
#else
        if (::open(platform::wide_to_path(args[2]).c_str(), O_RDWR | O_CLOEXEC) < 0) return 2;
#endif
        say("held");
        sleep(3);
        return 0;
    }
    if (args.size() == 3 && mode == L"self") {
        std::ofstream out(platform::wide_to_path(args[2]), std::ios::binary);
        out << platform::wide_to_utf8(platform::path_to_wide(platform::own_executable_path()));
        return out.flush() ? 0 : 2;
    }
    if (args.size() == 3 && mode == L"pid") {
#ifdef _WIN32
        say(std::to_string(::GetCurrentProcessId()));
#else
        say(std::to_string(::getpid()));
#endif
        sleep(2);
        return 0;
    }
    if (args.size() == 1) {  // runs until told to end, so that an updater waiting for it shows
        std::ofstream("started.txt", std::ios::app | std::ios::binary) << "started\n";
        for (int i = 0; i < 1200 && !std::ifstream("exit.txt"); ++i) platform::pause_milliseconds(100);
        std::ofstream("started.txt", std::ios::app | std::ios::binary) << "ended\n";
        return 0;
    }
    if (args.size() != 3) return 100;
    sleep(1);
    return static_cast<int>(number(2));
}
