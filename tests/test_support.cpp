#include "test_support.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#include "extract/runner.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

TempDir::TempDir() {
    static std::atomic<unsigned> counter{0};
    std::random_device entropy;
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path candidate =
            fs::temp_directory_path() / ("lumetra_test_" + std::to_string(stamp) + "_" +
                                         std::to_string(entropy()) + "_" +
                                         std::to_string(counter++));
        if (fs::create_directory(candidate)) {
            path_ = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary directory");
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

void write_file(const fs::path& path, const std::string& bytes) {
    if (path.has_parent_path()) fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out.flush()) throw std::runtime_error("cannot write test file");
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void copy_over(const fs::path& source, const fs::path& destination) {
    if (const std::error_code ec = platform::copy_file(source, destination)) {
        throw fs::filesystem_error("copy", source, destination, ec);
    }
}

fs::path test_child_program() {
#ifdef _WIN32
    return platform::own_executable_path().parent_path() / L"lumetra_test_child.exe";
#else
    return platform::own_executable_path().parent_path() / "lumetra_test_child";
#endif
}

HeldFile::HeldFile(const fs::path& file, unsigned milliseconds) {
    std::string said;
#ifdef _WIN32
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE out_read = nullptr;
    HANDLE out_write = nullptr;
    if (!::CreatePipe(&out_read, &out_write, &inherit, 0)) throw std::runtime_error("pipe");
    ::SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out_write;
    startup.hStdError = out_write;
    PROCESS_INFORMATION info{};
    std::wstring line = quote_argument(test_child_program().wstring()) + L" hold " +
                        quote_argument(file.wstring()) + L" " + std::to_wstring(milliseconds);
    const BOOL started = ::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE,
                                          CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info);
    ::CloseHandle(out_write);
    if (started) {
        ::CloseHandle(info.hThread);
        process_ = reinterpret_cast<long long>(info.hProcess);
        char c = 0;
        DWORD read = 0;
        while (c != '\n' && ::ReadFile(out_read, &c, 1, &read, nullptr) && read == 1) said += c;
    }
    ::CloseHandle(out_read);
#else
    (void)file;
    (void)milliseconds;
#endif
    if (said.rfind("held", 0) != 0) {
        end();
        throw std::runtime_error("the test child cannot hold the file");
    }
}

HeldFile::~HeldFile() { end(); }

void HeldFile::end() {
    if (process_ == -1) return;
#ifdef _WIN32
    const auto process = reinterpret_cast<HANDLE>(process_);
    ::TerminateProcess(process, 9);
    ::WaitForSingleObject(process, INFINITE);
    ::CloseHandle(process);
#endif
    process_ = -1;
}
