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
    const std::wstring line = quote_argument((platform::own_executable_path().parent_path() / "lumetra_test_child").wstring()) +
                              L" hold " + quote_argument(file.wstring()) + L" " + std::to_wstring(milliseconds);
    child = std::thread([this, line, milliseconds] { std::uint32_t code; platform::run_process(line, milliseconds + 10000, code), ended = true; });
    const fs::path marker = fs::path(file) += ".held";  // written by the child once the file is open
    while (!fs::exists(marker) && !ended) platform::pause_milliseconds(10);
    if (!fs::exists(marker)) child.join(), throw std::runtime_error("the test child cannot hold the file");
}
