// Helpers shared by the unit tests: real temporary files, a second process
// holding a file, and doubles of the transaction's pluggable operations.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "platform/platform.h"
#include "transaction/apply.h"

namespace fs = std::filesystem;

constexpr bool kWindowsNames = fs::path::preferred_separator == L'\\';  // 8.3 names, trailing dots and spaces

struct TempDir {  // a fresh directory, removed with its content
    fs::path path_ = make();
    TempDir() = default;
    TempDir(const TempDir&) = delete;
    ~TempDir() { std::error_code ignored; fs::remove_all(path_, ignored); }
    const fs::path& path() const { return path_; }
    fs::path operator/(const fs::path& relative) const { return path_ / relative; }
    static fs::path make();
};

void write_file(const fs::path& path, const std::string& bytes);  // creates the parents
std::string read_file(const fs::path& path);                       // empty when unreadable
std::string short_name(const fs::path& path, const char* posix_alias);  // the 8.3 name on Windows

// The test child holding an existing file without sharing for the given time
// (Windows only), from construction on; throws when it cannot.
struct HeldFile {
    HeldFile(const fs::path& file, unsigned milliseconds);
    HeldFile(const HeldFile&) = delete;
    ~HeldFile();
    void* process = nullptr;
};

// Copies as the updater does; calls numbered in fail_calls (from 1) throw,
// after writing "partial" to the destination when leave_partial is set.
struct FailingCopy {
    std::set<int> fail_calls;
    bool leave_partial = true;
    int calls = 0;
    CopyOperation operation() {
        return [this](const fs::path& source, const fs::path& destination) {
            if (!fail_calls.count(++calls)) {
                if (const std::error_code ec = platform::copy_file(source, destination)) throw fs::filesystem_error("copy", ec);
                return;
            }
            if (leave_partial) write_file(destination, "partial");
            throw std::runtime_error("injected copy failure");
        };
    }
};

// Checked paths and status words ("=WORD") in order.
using EventLog = std::vector<fs::path>;
inline PathCheck recording_check(EventLog& log) {
    return [&log](const fs::path& path) { log.push_back(path); };
}

// The paths checked after the last status word `from` (all when empty), relative to root.
inline std::vector<fs::path> checks_after(const EventLog& log, const std::string& from, const fs::path& root) {
    std::vector<fs::path> out;
    for (const fs::path& e : log) {
        if (e == "=" + from) out.clear();
        if (e.native()[0] != '=') out.push_back(e.lexically_relative(root));
    }
    return out;
}

// Every regular file below root, outside a top-level "updates", with its content.
inline std::map<std::string, std::string> snapshot(const fs::path& root) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const auto relative = entry.path().lexically_relative(root);
        if (*relative.begin() != "updates" && entry.is_regular_file()) files[relative.generic_u8string()] = read_file(entry.path());
    }
    return files;
}
