// A child process for the platform tests: sleeps the given milliseconds, then
// exits with the given code. Usage: lumetra_test_child <sleep ms> <exit code>
#include <chrono>
#include <cstdlib>
#include <thread>

int main(int argc, char** argv) {
    if (argc != 3) return 100;
    const long sleep_ms = std::strtol(argv[1], nullptr, 10);
    const long code = std::strtol(argv[2], nullptr, 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(sleep_ms));
    return static_cast<int>(code);
}
