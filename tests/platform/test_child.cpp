// A child of the exit-code table: "hold <file> <ms>" holds the file unshared, says "held" (exit 2:
// not open); "pid <ms>" says its id; alone, it is the restarted application.
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#endif
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "platform/platform.h"

int main() {
    const auto args = platform::command_line_arguments();  // paths whole
    const std::wstring mode = args.size() > 1 ? args[1] : L"";
#ifdef _WIN32
    const bool held =
        mode == L"hold" && ::CreateFileW(args[2].c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                         OPEN_EXISTING, 0, nullptr) != INVALID_HANDLE_VALUE;
#else
    const bool held =
        mode == L"hold" && ::open(platform::wide_to_path(args[2]).c_str(), O_RDWR) >= 0;
#endif
    if (held || mode == L"pid") {
        std::printf("%s\n", held ? "held" : std::to_string(getpid()).c_str());
        std::fflush(stdout);
        platform::pause_milliseconds(static_cast<std::uint32_t>(std::stoul(args.back())));
        return 0;  // the file stays open until here
    }
    if (args.size() > 1) return 2;
    // Runs until exit.txt (or 120 s), so that an updater waiting for it shows.
    std::ofstream("started.txt", std::ios::app | std::ios::binary) << "started\n";
    for (int i = 0; i < 1200 && !std::ifstream("exit.txt"); ++i) platform::pause_milliseconds(100);
    std::ofstream("started.txt", std::ios::app | std::ios::binary) << "ended\n";
}
