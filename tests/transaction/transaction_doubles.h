// Doubles of the transaction's pluggable operations and flush service. All of
// them append to one event log, so tests can check the order of copies,
// checks, flushes and status writes.
#pragma once

#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "test_support.h"
#include "transaction/apply.h"

#ifdef _WIN32
#include <windows.h>
constexpr bool kWindowsNames = true;  // 8.3 short names, trailing dots and spaces
#else
constexpr bool kWindowsNames = false;
#endif

struct Event {
    std::string kind;  // "copy", "failed_copy", "check", "flush_file", "flush_directory", "status"
    std::filesystem::path first, second;  // copy source and destination; status file
    std::string word;                     // status: the word written
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
        return [this](const std::filesystem::path& source, const std::filesystem::path& destination) {
            if (fail_calls.count(++calls)) {
                log.push_back({"failed_copy", source, destination, {}});
                if (leave_partial) write_file(destination, "partial");
                throw std::runtime_error("injected copy failure");
            }
            log.push_back({"copy", source, destination, {}});
            copy_over(source, destination);
        };
    }
};

struct RecordingCheck {
    EventLog& log;
    PathCheck operation() {
        return [this](const std::filesystem::path& path) { log.push_back({"check", path, {}, {}}); };
    }
};

// The real flushes, recorded. Status words in failing_status_words are not
// written; those in unflushed_status_words are written but reported failed.
struct RecordingDurability {
    EventLog& log;
    std::set<std::string> failing_status_words, unflushed_status_words;
    std::set<std::filesystem::path> failing_files;
    Durability service() {
        Durability d;
        d.flush_file = [this](const std::filesystem::path& file) {
            log.push_back({"flush_file", file, {}, {}});
            return !failing_files.count(file) && platform::flush_file(file);
        };
        d.flush_directory = [this](const std::filesystem::path& directory) {
            log.push_back({"flush_directory", directory, {}, {}});
            return platform::flush_directory(directory);
        };
        d.replace_file = [this](const std::filesystem::path& from, const std::filesystem::path& to) {
            std::string word = read_file(from);
            word = word.substr(0, word.find('\n'));
            log.push_back({"status", from, to, word});
            return !failing_status_words.count(word) && platform::replace_file(from, to) &&
                   !unflushed_status_words.count(word);
        };
        return d;
    }
};

// Index of the last status write of word, or the log's size.
inline std::size_t status_index(const EventLog& log, const std::string& word) {
    for (std::size_t i = log.size(); i-- > 0;) {
        if (log[i].kind == "status" && log[i].word == word) return i;
    }
    return log.size();
}

// Whether, at log[until], every file copied so far (unless removed since) was
// flushed after its last copy, every directory copied into was flushed after
// the first, and every status word was a flushed temporary file.
inline bool durable_before(const EventLog& log, std::size_t until) {
    std::set<std::filesystem::path> pending, directories;
    for (std::size_t i = 0; i < until && i < log.size(); ++i) {
        const Event& e = log[i];
        if (e.kind == "copy") pending.insert(e.second);
        // A copy over an existing file leaves its directory entry as it was.
        if (e.kind == "copy" && directories.insert(e.second.parent_path()).second) pending.insert(e.second.parent_path());
        if (e.kind == "flush_file" || e.kind == "flush_directory") pending.erase(e.first);
        if (e.kind == "status" && (log[i - 1].kind != "flush_file" || log[i - 1].first != e.first)) return false;
    }
    for (const auto& path : pending) {
        if (std::filesystem::exists(path)) return false;  // a removed file needs only its directory flushed
    }
    return true;
}

// Every regular file below root, outside a top-level "updates", with its content.
inline std::map<std::string, std::string> snapshot(const std::filesystem::path& root) {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        const auto relative = entry.path().lexically_relative(root);
        if (*relative.begin() == "updates" || !entry.is_regular_file()) continue;
        files[relative.generic_u8string()] = read_file(entry.path());
    }
    return files;
}

// The 8.3 name Windows gives path; elsewhere a name of that form, which there names nothing else.
inline std::string short_name(const std::filesystem::path& path, const char* posix_alias) {
#ifdef _WIN32
    (void)posix_alias;
    std::wstring buffer(1024, L'\0');
    buffer.resize(GetShortPathNameW(path.c_str(), buffer.data(), 1024));
    return std::filesystem::path(buffer).filename().u8string();
#else
    (void)path;
    return posix_alias;
#endif
}
