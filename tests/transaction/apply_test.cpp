#include "transaction/apply.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "extract/runner.h"
#include "test_support.h"
#include "transaction/transaction_status.h"
#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace {

#ifdef _WIN32
// The test child holding file without sharing for the given time, once it says "held"; the command
// processor keeps quotes inside outer ones, and _pclose waits for the child's end.
std::shared_ptr<FILE> hold_file(const fs::path& file, int milliseconds) {
    const std::wstring line =
        quote_argument(platform::own_executable_path().parent_path() / L"lumetra_test_child.exe") +
        L" hold " + quote_argument(file) + L" " + std::to_wstring(milliseconds);
    FILE* child = ::_wpopen((L"\"" + line + L"\"").c_str(), L"r");
    if (!child) throw std::runtime_error("the test child cannot start");
    const std::shared_ptr<FILE> held(child, ::_pclose);
    char said[5] = {};
    if (!std::fgets(said, 5, child) || said != std::string("held"))
        throw std::runtime_error("the test child cannot hold the file");
    return held;
}
#endif

// Old files, user data and a package: five files in install order (bytes element by element, the
// top-level manifest in any case last), protected files and their Windows aliases.
struct Update : Sandbox {
    const std::vector<fs::path> order{"Zeta.dll", "bin/core.dll", "bin/release.json", "bin.dat",
                                      "Release.JSON"};
    std::vector<std::string> words;  // status words written
    std::vector<fs::path> checked;   // since "APPLYING", relative to the installation
    FailingCopy copy;                // calls 1 to 3 make the backups
    std::set<std::string> failing_words, unflushed_words;  // not written; written, reported failed
    std::set<fs::path> failing_files;                      // whose flush fails
    bool strict = false;                          // the shipped reparse-point check, not recording
    std::function<std::shared_ptr<void>()> hold;  // a file held by another process during run()

    Update() {
        for (int i : {0, 1, 4}) write_file(target / order[i], "old");
        for (const char* name : {"config/app.xml", "settings.json", "alarm_history/x.db"})
            write_file(target / name, "user");
        for (const auto& name : order) write_file(payload / name, "new");
        for (const std::string& name :
             {std::string("config/app.xml"), std::string("station.ini"),
              short_name(target / "settings.json", "settings.json"),
              short_name(target / "alarm_history", "alarm_history") + "/x.db"})
            write_file(payload / fs::u8path(name), "package");
        fs::create_directories(payload / "empty/dir");
    }
    TransactionResult run() {
        const auto flush_file = [this](const fs::path& file) {
            return !failing_files.count(file) && platform::flush_file(file);
        };
        const auto replace = [this](const fs::path& from, const fs::path& to) {
            std::string& word = words.emplace_back(read_file(from));
            word.pop_back();  // the line feed
            if (word == "APPLYING") checked.clear();
            return !failing_words.count(word) && platform::replace_file(from, to) &&
                   !unflushed_words.count(word);
        };
        const PathCheck record = [this](const fs::path& file) {
            checked.push_back(file.lexically_relative(target));
        };
        const auto held = hold ? hold() : nullptr;
        return apply_update_transaction(payload, target, backup, copy.operation(),
                                        strict ? PathCheck(ensure_no_reparse_point) : record,
                                        {flush_file, platform::flush_directory, replace});
    }
};

}  // namespace

// Committed, or the installation as it was: the entries applied undone from the last (a failed
// step named, "RECOVERY_REQUIRED"), or an unsafe update refused before anything changes.
TEST(ApplyUpdateTransaction, OutcomeTable) {
    struct Case {
        std::function<void(Update&)> arrange;
        std::string error, status = "ROLLED_BACK";  // error "*": any; status "": no status file
        std::size_t applied = 5;                    // entries copied before the failure
        std::set<fs::path> unchanged = {};          // same bytes as installed: left out
    };
    const std::string unpersisted = "cannot persist update transaction status",
                      bad_name = "invalid filename for recovery journal",
                      unsafe = "unsafe update source/target/backup paths",
                      reparse = "update path contains a reparse point",
                      installed = "cannot persist installed files";
    const auto link_bin = [](Update& u) {
        fs::rename(u.target / "bin", u / "out");
        fs::create_directory_symlink(u / "out", u.target / "bin");
    };
    const auto same_bytes = [](std::vector<fs::path> names) {
        return [names](Update& u) {
            for (const auto& name : names) write_file(u.target / name, "new");
        };
    };
    std::vector<Case> cases = {
        {[](Update&) {}, "", "COMMITTED"},
        {same_bytes({"Zeta.dll", "bin/core.dll"}),
         "",
         "COMMITTED",
         5,
         {"Zeta.dll", "bin/core.dll"}},
        {same_bytes({"Release.JSON"}), "", "COMMITTED"},  // an unchanged manifest installed last
        {same_bytes({"Zeta.dll", "bin/core.dll", "bin/release.json", "bin.dat", "Release.JSON"}),
         "",
         "COMMITTED",
         5,
         {"Zeta.dll", "bin/core.dll", "bin/release.json", "bin.dat"}},
        {[](Update& u) { write_file(u.target / "Zeta.dll", "nex"); }, "", "COMMITTED"},
        {[](Update& u) { write_file(u.target / "Zeta.dll", "new!"); }, "", "COMMITTED"},
#ifdef _WIN32
        // A destination that cannot be read to compare: the backup copy, which does not retry
        // here, meets the same hold.
        {[](Update& u) {
             write_file(u.target / "Zeta.dll", "new");
             u.hold = [&u] { return hold_file(u.target / "Zeta.dll", 1000); };
         },
         "*", "ROLLED_BACK", 0},
#else
        // A link is not opened to compare: the file behind it is backed up and written as before.
        {[](Update& u) {
             write_file(u.target / "same", "new");
             fs::remove(u.target / "Zeta.dll"), fs::create_symlink("same", u.target / "Zeta.dll");
         },
         "", "COMMITTED"},
#endif
        // a "COMMITTED" that replaced "APPLYING" stands: a roll-back would contradict it
        {[](Update& u) { u.unflushed_words = {"COMMITTED"}; }, "", "COMMITTED"},
        {[](Update& u) { u.failing_words = {"COMMITTED"}; }, unpersisted},
        {[](Update& u) { u.failing_words = {"COMMITTED"}, u.unflushed_words = {"ROLLED_BACK"}; },
         unpersisted},
        {[](Update& u) {
             u.failing_words = {"COMMITTED", "ROLLED_BACK"};
         },
         unpersisted, "APPLYING"},
        {[](Update& u) { u.unflushed_words = {"APPLYING"}; }, unpersisted, "ROLLED_BACK", 0},
        {[](Update& u) { u.failing_files = {u.backup / "files/bin/core.dll"}; },
         "cannot persist update backups"},
        {[](Update& u) { u.failing_files = {u.backup / "files.tsv"}; },
         "cannot persist recovery journal"},
        {[](Update& u) { u.failing_files = {u.target / "bin.dat"}; }, installed},
        {[](Update& u) { u.failing_files = {u.target / "bin/core.dll"}; }, installed,
         "RECOVERY_REQUIRED"},
        // the last apply copy (8) fails, then the undo of bin/core.dll (10) after Release.JSON (9)
        {[](Update& u) {
             u.copy.fail_calls = {8, 10};
         },
         "injected copy failure", "RECOVERY_REQUIRED"},
        {[](Update& u) { write_file(u.payload / "a\nb", ""); }, bad_name},
        {[](Update& u) { write_file(u.payload / "a\x1b", ""); }, bad_name},
        {[](Update& u) { write_file(u.target / "updates", ""); }, "*", ""},
        {[](Update& u) { u.payload = u / "missing"; }, unsafe, ""},
        {[](Update& u) { u.target = u / "missing", u.backup = u.target / "updates/b"; }, unsafe,
         ""},
        // with an empty payload, so that accepting the root writes nothing there
        {[](Update& u) {
             u.target = u.target.root_path(), u.backup = u.target / "updates/b";
             u.payload /= "empty/dir";
         },
         unsafe, ""},
        {[](Update& u) { u.payload = u.target; }, unsafe, ""},
        {[](Update& u) { fs::rename(u.payload, u.target / "s"), u.payload = u.target / "s"; },
         unsafe, ""},
        {[](Update& u) { u.target = u.payload / "bin", u.backup = u.target / "updates/b"; }, unsafe,
         ""},
        {[](Update& u) { u.backup = u.target / "backup_1"; }, unsafe, ""},
        {[](Update& u) { u.backup = u.target / "updates"; }, unsafe, ""},
        {[](Update& u) { fs::create_directories(u.backup); }, unsafe, ""},
        {[](Update& u) {
             fs::create_directory_symlink(u.target, u / "lnk");
             u.target = u / "lnk", u.strict = true;
         },
         reparse, ""},
        {[](Update& u) { fs::create_symlink(u / "stage", u.payload / "lnk"), u.strict = true; },
         reparse, ""},
        {[](Update& u) { fs::create_symlink(u / "stage", u.payload / "lnk"); },
         "package contains a link", ""},
#ifndef _WIN32
        {[](Update& u) { ::mkfifo((u.payload / "pipe").c_str(), 0600), u.strict = true; },
         "package contains a special file", ""},
        {[](Update& u) { write_file(u.payload / "bad:name", "x"); }, bad_name},
#endif
        {[&](Update& u) { link_bin(u), u.strict = true; }, reparse, ""},
        {link_bin, "destination escapes installation", ""},
        {[](Update& u) {
             fs::remove(u.target / "bin/core.dll");
             fs::create_hard_link(u.target / "config/app.xml", u.target / "bin/core.dll");
         },
         "destination has more than one link", ""},
        // a file left as it is is not written, whatever other names it has
        {[](Update& u) {
             write_file(u / "twin", "new"), fs::remove(u.target / "bin/core.dll");
             fs::create_hard_link(u / "twin", u.target / "bin/core.dll");
         },
         "",
         "COMMITTED",
         5,
         {"bin/core.dll"}},
        {[](Update& u) { fs::create_directory(u.target / "bin.dat"), u.strict = true; },
         "destination is not a regular file", ""},
        {[](Update& u) {
             for (const auto& name : u.order) fs::remove(u.payload / name);
         },
         "empty update payload", ""},
    };
    // The k-th apply copy fails, leaving a partial file, or, locked, refusing the first undo too.
    for (std::size_t k = 1; k <= 5; ++k) {
        for (int locked = 0; locked <= (k != 3 && k != 4); ++locked) {  // an old file only
            cases.push_back({[=](Update& u) {
                                 u.copy.fail_calls = {3 + int(k), 3 + int(k) + locked};
                                 u.copy.leave_partial = !locked;
                             },
                             "injected copy failure", "ROLLED_BACK", k});
        }
    }
    std::string not_set_up;  // rows this system cannot arrange (links where there are none)
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(i);
        Update u;
        try {
            c.arrange(u);
        } catch (const std::exception& error) {
            not_set_up += "; " + std::to_string(i) + ": " + error.what();
            continue;
        }
        auto tree = snapshot(u / "install");
        const auto identity = [&u](const fs::path& name) {  // changes when the file is rewritten
            std::uint64_t inode = 0;
#ifndef _WIN32
            struct stat info {};
            if (::stat((u.target / name).c_str(), &info) == 0) inode = info.st_ino;
#endif
            return std::pair(fs::last_write_time(u.target / name), inode);
        };
        std::map<fs::path, decltype(identity(""))> before;
        for (const fs::path& name : c.unchanged) before[name] = identity(name);
        const TransactionResult result = u.run();
        for (const fs::path& name : c.unchanged) {
            EXPECT_EQ(identity(name), before[name]) << name;
            EXPECT_FALSE(fs::exists(u.backup / "files" / name)) << name;
        }
        std::vector<fs::path> order;  // install order without the files left out
        std::copy_if(u.order.begin(), u.order.end(), std::back_inserter(order),
                     [&c](const fs::path& name) { return !c.unchanged.count(name); });
        const bool committed = c.status == "COMMITTED",
                   undo_failed = c.status == "RECOVERY_REQUIRED";
        EXPECT_EQ(std::tuple(result.committed, result.rolled_back,
                             read_file(u.backup / "transaction.status")),
                  std::tuple(committed, !undo_failed && c.status != "APPLYING",
                             c.status.empty() ? "" : c.status + "\n"));
        EXPECT_TRUE(c.error == "*" ? !result.error.empty() : result.error == c.error)
            << result.error;
        EXPECT_EQ(result.failed_restores, std::vector<fs::path>(undo_failed, "bin/core.dll"));
        std::string journal;  // derived from the tree before
        for (const auto& name : order) {
            journal += (tree.count(name.generic_u8string()) ? "restore\t" : "remove\t") +
                       name.generic_u8string() + "\n";
            if (committed) tree[name.generic_u8string()] = "new";
        }
        if (undo_failed && !u.copy.fail_calls.empty()) tree["bin/core.dll"] = "partial";
        EXPECT_EQ(snapshot(u / "install"), tree);
        if (committed) {
            EXPECT_EQ(read_file(u.backup / "files.tsv"), journal);
        }
        // Each destination is checked as it is installed, then again as it is undone.
        const std::size_t applied = std::min(c.applied, order.size());
        std::vector<fs::path> steps(order.begin(), order.begin() + applied);
        if (!committed) steps.insert(steps.end(), order.rend() - applied, order.rend());
        const auto written = [&u](const char* word) {
            return std::count(u.words.begin(), u.words.end(), word);
        };
        if (written("APPLYING")) {
            EXPECT_EQ(u.checked, steps);
        }
        // "COMMITTED" only once everything is installed and on the disk
        EXPECT_EQ(written("COMMITTED"), committed || u.failing_words.count("COMMITTED"));
    }
    if (!not_set_up.empty()) GTEST_SKIP() << "rows not set up here" << not_set_up;
}

// A virus scanner or indexer holding a file for a moment must not fail the update; a file held
// longer than the retries (30 x 100 ms) still does, and a copy names both paths. POSIX has no
// sharing modes: there a copy from a missing file stands for the long hold.
TEST(HeldByAnotherProcess, ShortHoldOutwaitedLongHoldFails) {
    Sandbox dir;
    write_file(dir / "new.exe", "new");
    const fs::path exe = dir / "Lumetra.exe", status = dir / "transaction.status",
                   source = dir / (kWindowsNames ? "new.exe" : "missing");
    const std::function<bool()> operations[] = {
        [&] { return copy_file_with_retry(source, exe), read_file(exe) == "new"; },
        [&] { return platform::flush_file(exe); },
        [&] {
            return write_transaction_status(dir.path, "COMMITTED"),
                   read_file(status) == "COMMITTED\n";
        },
    };
    // Row i: operation i / 2 under a short hold when i is even, a long one when odd.
    for (int i = !kWindowsNames; i < (kWindowsNames ? 6 : 2); ++i) {
        SCOPED_TRACE(i);
        write_file(exe, "old");
        write_transaction_status(dir.path, "APPLYING");
#ifdef _WIN32
        const auto child = hold_file(i < 4 ? exe : status, i % 2 ? 5000 : 1000);
#endif
        bool done = false;
        try {
            done = operations[i / 2]();
        } catch (const fs::filesystem_error& e) {
            EXPECT_EQ(std::tuple(e.path1(), e.path2(), !std::strstr(e.what(), "copy failed")),
                      std::tuple(source, exe, false));
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(i / 2, 2) << e.what();
        }
        EXPECT_EQ(done, i % 2 == 0);
    }
}
