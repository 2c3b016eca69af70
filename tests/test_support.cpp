#include "test_support.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include "extract/runner.h"

std::string short_name(const fs::path& path, const char* posix_alias) {
#ifdef _WIN32
    (void)posix_alias;
    std::wstring buffer(1024, L'\0');
    buffer.resize(::GetShortPathNameW(path.c_str(), buffer.data(), 1024));
    return fs::path(buffer).filename().u8string();
#else
    return (void)path, posix_alias;
#endif
}

HeldFile::HeldFile(const fs::path& file, unsigned milliseconds) {
    char said[5] = {};
#ifdef _WIN32
    // The command processor runs the line; the outer quotes keep the inner ones.
    const std::wstring child = (platform::own_executable_path().parent_path() / L"lumetra_test_child.exe").wstring();
    const std::wstring line = L"\"" + quote_argument(child) + L" hold " + quote_argument(file.wstring()) + L" " + std::to_wstring(milliseconds) + L"\"";
    output = ::_wpopen(line.c_str(), L"r");
#else
    (void)file, (void)milliseconds;
#endif
    if (!output || !std::fgets(said, sizeof said, output) || std::string(said) != "held") this->~HeldFile(), throw std::runtime_error("the test child cannot hold the file");
}

HeldFile::~HeldFile() {
#ifdef _WIN32
    if (output) ::_pclose(output);
#endif
}
