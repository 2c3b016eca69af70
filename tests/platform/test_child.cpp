// A child process for the tests.
//   lumetra_test_child hold <file> <ms>  opens an existing file without sharing
//       (Windows share mode 0), then writes <file>.held and keeps it open for ms
//   lumetra_test_child self <file>       writes its own path, as the platform
//       layer reports it, to file as UTF-8
#ifdef _WIN32
#include <windows.h>
#endif

#include <chrono>
#include <fstream>
#include <thread>

#include "platform/platform.h"

int main() {
    const std::vector<std::wstring> args = platform::command_line_arguments();
    if (args.size() < 3) return 100;
    const std::filesystem::path file = platform::wide_to_path(args[2]);
    if (args[1] == L"self") {
        std::ofstream out(file, std::ios::binary);
        out << platform::wide_to_utf8(platform::path_to_wide(platform::own_executable_path()));
        return out.flush() ? 0 : 2;
    }
#ifdef _WIN32
    const HANDLE handle = ::CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE || args.size() != 4) return 2;
    std::ofstream(std::filesystem::path(file) += ".held") << "held";
    std::this_thread::sleep_for(std::chrono::milliseconds(std::wcstol(args[3].c_str(), nullptr, 10)));
    ::CloseHandle(handle);
#endif
    return 0;
}
