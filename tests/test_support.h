// Helpers shared by the unit tests: real temporary files, a second process
// holding a file, and recording doubles of the transaction's pluggable
// operations and flush service, all appending to one event log.
#pragma once

#include <atomic>
#include <filesystem>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "transaction/apply.h"

namespace fs = std::filesystem;

#ifdef _WIN32
constexpr bool kWindowsNames = true;  // 8.3 short names, trailing dots and spaces
#else
constexpr bool kWindowsNames = false;
#endif

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
void copy_over(const fs::path& source, const fs::path& destination);  // the updater's copy; throws
std::string short_name(const fs::path& path, const char* posix_alias);  // the 8.3 name on Windows

// The test child holding an existing file without sharing for the given time
// (Windows only), from construction on; throws when it cannot.
struct HeldFile {
    HeldFile(const fs::path& file, unsigned milliseconds);
    ~HeldFile() { child.join(); }
    std::atomic<bool> ended{false};
    std::thread child;
};

struct Event {
    std::string kind;  // copy, failed_copy, check, flush_file, flush_directory, status
    fs::path first, second;
    std::string word;  // of a status write
};
using EventLog = std::vector<Event>;

// Copies for real; calls numbered in fail_calls (from 1) throw, after writing
// "partial" to the destination when leave_partial is set.
struct RecordingCopy {
    EventLog& log;
    std::set<int> fail_calls;
    bool leave_partial = true;
    int calls = 0;
    CopyOperation operation() {
        return [this](const fs::path& source, const fs::path& destination) {
            const bool fail = fail_calls.count(++calls);
            log.push_back({fail ? "failed_copy" : "copy", source, destination, {}});
            if (fail && leave_partial) write_file(destination, "partial");
            if (fail) throw std::runtime_error("injected copy failure");
            copy_over(source, destination);
        };
    }
};

inline PathCheck recording_check(EventLog& log) {
    return [&log](const fs::path& path) { log.push_back({"check", path, {}, {}}); };
}

// The real flushes, recorded. Status words in failing_words are not written;
// those in unflushed_words are written but reported failed.
struct RecordingDurability {
    EventLog& log;
    std::set<std::string> failing_words, unflushed_words;
    std::set<fs::path> failing_files;
    Durability service() {
        Durability d;
        d.flush_file = [this](const fs::path& file) {
            log.push_back({"flush_file", file, {}, {}});
            return !failing_files.count(file) && platform::flush_file(file);
        };
        d.flush_directory = [this](const fs::path& directory) {
            log.push_back({"flush_directory", directory, {}, {}});
            return platform::flush_directory(directory);
        };
        d.replace_file = [this](const fs::path& from, const fs::path& to) {
            const std::string text = read_file(from), word = text.substr(0, text.find('\n'));
            log.push_back({"status", from, to, word});
            return !failing_words.count(word) && platform::replace_file(from, to) && !unflushed_words.count(word);
        };
        return d;
    }
};

// The paths checked after the last write of the status word from (all when
// empty), relative to root.
inline std::vector<fs::path> checks_after(const EventLog& log, const std::string& from, const fs::path& root) {
    std::vector<fs::path> out;
    for (const Event& e : log) {
        if (e.kind == "status" && e.word == from) out.clear();
        if (e.kind == "check") out.push_back(e.first.lexically_relative(root));
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
