// Real files in a temporary directory, and a copy that fails on demand.
#pragma once

#ifdef _WIN32
#include <windows.h>
#endif

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <random>
#include <set>

#include "platform/platform.h"
#include "transaction/apply.h"

namespace fs = std::filesystem;

constexpr bool kWindowsNames = fs::path::preferred_separator == L'\\';  // 8.3 names, trailing dots

// A fresh temporary directory, removed with what it holds.
struct Sandbox {
    const fs::path path = fs::weakly_canonical(fs::temp_directory_path()) /
                          ("lumetra_test_" + std::to_string(std::random_device{}()));
    fs::path payload = path / "stage/package", target = path / "install",
             backup = target / "updates/backup_1";
    Sandbox() {
        if (!fs::create_directory(path)) throw std::runtime_error("temporary directory exists");
    }
    Sandbox(const Sandbox&) = delete;
    ~Sandbox() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    fs::path operator/(const fs::path& relative) const { return path / relative; }
};

inline void write_file(const fs::path& path, const std::string& bytes) {  // makes the parents
    fs::create_directories(path.parent_path());
    if (!(std::ofstream(path, std::ios::binary) << bytes).flush())
        throw std::runtime_error("cannot write test file");
}

inline std::string read_file(const fs::path& path) {  // empty when unreadable
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The 8.3 name of path on Windows, posix_alias elsewhere.
inline std::string short_name([[maybe_unused]] const fs::path& path, const char* posix_alias) {
#ifdef _WIN32
    std::wstring buffer(1024, L'\0');
    buffer.resize(::GetShortPathNameW(path.c_str(), buffer.data(), 1024));
    return fs::path(buffer).filename().u8string();
#endif
    return posix_alias;
}

// The calls numbered in fail (from 1) throw, after writing "partial" when partial.
struct FailingCopy {
    std::set<int> fail;
    bool partial = true;
    int calls = 0;
    CopyOperation operation() {
        return [this](const fs::path& source, const fs::path& destination) {
            if (fail.count(++calls)) {
                if (partial) write_file(destination, "partial");
                throw std::runtime_error("injected copy failure");
            }
            if (const std::error_code ec = platform::copy_file(source, destination))
                throw fs::filesystem_error("copy", ec);
        };
    }
};

// The bytes of each regular file below root, but in a top-level "updates".
inline std::map<std::string, std::string> snapshot(const fs::path& root) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const auto relative = entry.path().lexically_relative(root);
        if (*relative.begin() != "updates" && entry.is_regular_file())
            files[relative.generic_u8string()] = read_file(entry.path());
    }
    return files;
}
