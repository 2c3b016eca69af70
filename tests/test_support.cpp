#include "test_support.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <fstream>
#include <iterator>
#include <random>

#include "extract/runner.h"

fs::path TempDir::make() {
    static unsigned counter = 0;
    const fs::path path = fs::temp_directory_path() /
                          ("lumetra_test_" + std::to_string(std::random_device{}()) + "_" + std::to_string(counter++));
    if (!fs::create_directory(path)) throw std::runtime_error("temporary directory exists");
    return path;
}

void write_file(const fs::path& path, const std::string& bytes) {
    if (path.has_parent_path()) fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!(out << bytes).flush()) throw std::runtime_error("cannot write test file");
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string short_name(const fs::path& path, const char* posix_alias) {
#ifdef _WIN32
    (void)posix_alias;
    std::wstring buffer(1024, L'\0');
    buffer.resize(::GetShortPathNameW(path.c_str(), buffer.data(), 1024));
    return fs::path(buffer).filename().u8string();
#else
    (void)path;
    return posix_alias;
#endif
}

HeldFile::HeldFile(const fs::path& file, unsigned milliseconds) {
    std::string said;
#ifdef _WIN32
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE out_read = nullptr, out_write = nullptr;
    if (!::CreatePipe(&out_read, &out_write, &inherit, 0)) throw std::runtime_error("pipe");
    ::SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = out_write;
    PROCESS_INFORMATION info{};
    std::wstring line = quote_argument((platform::own_executable_path().parent_path() / L"lumetra_test_child.exe").wstring()) +
                        L" hold " + quote_argument(file.wstring()) + L" " + std::to_wstring(milliseconds);
    const BOOL started = ::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info);
    ::CloseHandle(out_write);
    if (started) {
        ::CloseHandle(info.hThread);
        process = info.hProcess;
        char c = 0;  // the child says "held" once the file is open
        for (DWORD read = 0; c != '\n' && ::ReadFile(out_read, &c, 1, &read, nullptr) && read == 1;) said += c;
    }
    ::CloseHandle(out_read);
#else
    (void)file, (void)milliseconds;
#endif
    if (said.rfind("held", 0) != 0) this->~HeldFile(), throw std::runtime_error("the test child cannot hold the file");
}

HeldFile::~HeldFile() {
#ifdef _WIN32
    if (process) ::TerminateProcess(process, 9), ::WaitForSingleObject(process, INFINITE), ::CloseHandle(process);
#endif
    process = nullptr;
}
