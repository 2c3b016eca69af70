// A child process for the tests. Usage:
//   lumetra_test_child <sleep ms> <exit code>   sleeps, then exits with the code
//   lumetra_test_child pid <ms>                 prints its process id, sleeps, exits 0
//   lumetra_test_child hold <file> <ms>         opens file denying all sharing (Windows),
//                                               prints "held", sleeps, exits 0
//   lumetra_test_child                          (as the restarted application) appends
//                                               "started" to started.txt in its working
//                                               directory after 2 s, so it outlives its starter
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#else
#include <unistd.h>
#endif

namespace {
void sleep_ms(const char* text) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::strtol(text, nullptr, 10)));
}
}  // namespace

int main(int argc, char** argv) {
    if (argc == 1) {
        std::this_thread::sleep_for(std::chrono::seconds(2));
        std::ofstream("started.txt", std::ios::app | std::ios::binary) << "started\n";
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "pid") == 0) {
#ifdef _WIN32
        std::cout << ::GetCurrentProcessId() << std::endl;
#else
        std::cout << ::getpid() << std::endl;
#endif
        sleep_ms(argv[2]);
        return 0;
    }
    if (argc == 4 && std::strcmp(argv[1], "hold") == 0) {
#ifdef _WIN32
        int count = 0;
        wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
        HANDLE file = ::CreateFileW(wide[2], GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) return 101;
#else
        std::ifstream file(argv[2]);
        if (!file) return 101;
#endif
        std::cout << "held" << std::endl;
        sleep_ms(argv[3]);
        return 0;
    }
    if (argc != 3) return 100;
    sleep_ms(argv[1]);
    return static_cast<int>(std::strtol(argv[2], nullptr, 10));
}
