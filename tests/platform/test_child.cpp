// A child process for the platform tests.
//   lumetra_test_child <sleep ms> <exit code>   sleeps, then exits with the code
//   lumetra_test_child hold <file> <ms>         opens an existing file without
//       sharing (Windows share mode 0), prints "held" once it is open, keeps it
//       open for ms milliseconds and exits 0; exit 2 when it cannot be opened
//   lumetra_test_child self <file>              writes its own path, as the
//       updater's platform layer reports it, to file as UTF-8
//   lumetra_test_child pid <ms>                 prints its process id, sleeps, exits 0
//   lumetra_test_child                          the restarted application: after 2 s
//       (it outlives its starter) appends "started" to started.txt in its working folder
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "platform/platform.h"

namespace {

long number(const std::wstring& text) { return std::wcstol(text.c_str(), nullptr, 10); }

void sleep_ms(const std::wstring& text) {
    std::this_thread::sleep_for(std::chrono::milliseconds(number(text)));
}

int hold(const std::filesystem::path& file, const std::wstring& ms) {
#ifdef _WIN32
    const HANDLE handle = ::CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return 2;
#else
    const int handle = ::open(file.c_str(), O_RDWR | O_CLOEXEC);
    if (handle < 0) return 2;
#endif
    std::puts("held");
    std::fflush(stdout);
    sleep_ms(ms);
#ifdef _WIN32
    ::CloseHandle(handle);
#else
    ::close(handle);
#endif
    return 0;
}

}  // namespace

int main() {
    // Wide arguments, so that paths outside the ANSI code page arrive whole.
    const std::vector<std::wstring> args = platform::command_line_arguments();
    if (args.size() == 4 && args[1] == L"hold") return hold(platform::wide_to_path(args[2]), args[3]);
    if (args.size() == 3 && args[1] == L"self") {
        std::ofstream out(platform::wide_to_path(args[2]), std::ios::binary);
        out << platform::wide_to_utf8(platform::path_to_wide(platform::own_executable_path()));
        return out.flush() ? 0 : 2;
    }
    if (args.size() == 1) {
        std::this_thread::sleep_for(std::chrono::seconds(2));
        std::ofstream("started.txt", std::ios::app | std::ios::binary) << "started\n";
        return 0;
    }
    if (args.size() == 3 && args[1] == L"pid") {
#ifdef _WIN32
        std::printf("%lu\n", static_cast<unsigned long>(::GetCurrentProcessId()));
#else
        std::printf("%ld\n", static_cast<long>(::getpid()));
#endif
        std::fflush(stdout);
        sleep_ms(args[2]);
        return 0;
    }
    if (args.size() != 3) return 100;
    sleep_ms(args[1]);
    return static_cast<int>(number(args[2]));
}
