#include "transaction/apply.h"

#include <future>

#include "test_support.h"
#include "transaction/transaction_status.h"
#ifndef _WIN32
#include <sys/stat.h>
#endif

using namespace std::string_literals;

namespace {

#ifdef _WIN32
// Holds file unshared for the given time, as a virus scanner would.
std::future<void> hold_file(const fs::path& file, DWORD milliseconds) {
    const HANDLE held = ::CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    if (held == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot hold the file");
    return std::async(std::launch::async, [=] { ::Sleep(milliseconds), ::CloseHandle(held); });
}
#endif

// A package in install order (byte order element by element, the manifest last), protected files
// and their Windows aliases, and an installation.
struct Update : Sandbox {
    const std::vector<std::string> order{"Zeta.dll", "bin/core.dll", "bin/release.json", "bin.dat",
                                         "Release.JSON"};
    std::set<std::string> unwritten, unflushed;  // status words
    std::set<fs::path> unflushable;
    FailingCopy copy;  // calls 1 to 3 make the backups
    fs::path held;     // while the update runs, on Windows

    Update() {
        for (int i : {0, 1, 4}) write_file(target / order[i], "old");
        for (const char* name : {"config/app.xml", "settings.json", "alarm_history/x.db"})
            write_file(target / name, "user");
        for (const auto& name : order) write_file(payload / name, "new");
        for (const std::string& name :
             {"config/app.xml"s, "station.ini"s,
              short_name(target / "settings.json", "settings.json"),
              short_name(target / "alarm_history", "alarm_history") + "/x.db"})
            write_file(payload / name, "package");
    }
};

}  // namespace

// Committed, or undone from the last entry applied, or refused before anything changes; a regular
// file holding the package's bytes, but the manifest, is left out.
TEST(ApplyUpdateTransaction, OutcomeTable) {
    struct Case {
        std::function<void(Update&)> arrange;
        std::string error, status = "ROLLED_BACK";  // error "*": any; status "": no status file
        int applied = 5;                            // entries copied before the failure
    };
    const std::string unpersisted = "cannot persist update transaction status",
                      bad_name = "invalid filename for recovery journal",
                      unsafe = "unsafe update source/target/backup paths",
                      reparse = "update path contains a reparse point";
    const auto link_bin = [](Update& u) {
        fs::rename(u.target / "bin", u / "out");
        fs::create_directory_symlink(u / "out", u.target / "bin");
    };
    std::vector<Case> cases = {
        // the same bytes, the last byte differing, the size differing
        {[](Update& u) {
             write_file(u.target / "Zeta.dll", "new"), write_file(u.target / "bin/core.dll", "nex");
             write_file(u.target / "bin.dat", "new!");
         },
         "", "COMMITTED"},
        {[](Update& u) {
             for (const auto& name : u.order) write_file(u.target / name, "new");
         },
         "", "COMMITTED"},
#ifdef _WIN32
        // unreadable to compare, as to the backup copy
        {[](Update& u) {
             write_file(u.target / "Zeta.dll", "new");
             u.held = u.target / "Zeta.dll";
         },
         "*"},
#else
        // a link is not followed to compare
        {[](Update& u) {
             write_file(u.target / "same", "new");
             fs::remove(u.target / "Zeta.dll"), fs::create_symlink("same", u.target / "Zeta.dll");
         },
         "", "COMMITTED"},
#endif
        // a "COMMITTED" that replaced "APPLYING" stands
        {[](Update& u) { u.unflushed = {"COMMITTED"}; }, "", "COMMITTED"},
        {[](Update& u) { u.unwritten = {"COMMITTED"}, u.unflushed = {"ROLLED_BACK"}; },
         unpersisted},
        {[](Update& u) {
             u.unwritten = {"COMMITTED", "ROLLED_BACK"};
         },
         unpersisted, "APPLYING"},
        {[](Update& u) { u.unflushed = {"APPLYING"}; }, unpersisted, "ROLLED_BACK", 0},
        {[](Update& u) { u.unflushable = {u.backup / "files/bin/core.dll"}; },
         "cannot persist update backups"},
        {[](Update& u) { u.unflushable = {u.backup / "files.tsv"}; },
         "cannot persist recovery journal"},
        {[](Update& u) { u.unflushable = {u.target / "bin/core.dll"}; },
         "cannot persist installed files", "RECOVERY_REQUIRED"},
        // the last copy (8) fails, then the undo of bin/core.dll (10)
        {[](Update& u) {
             u.copy.fail = {8, 10};
         },
         "injected copy failure", "RECOVERY_REQUIRED"},
        {[](Update& u) { write_file(u.payload / "a\x1b", ""); }, bad_name},
        {[](Update& u) { write_file(u.target / "updates", ""); }, "*", ""},
        {[](Update& u) { u.payload = u / "missing"; }, unsafe, ""},
        {[](Update& u) { u.target = u / "missing", u.backup = u.target / "updates/b"; }, unsafe,
         ""},
        {[](Update& u) { u.payload = u.target; }, unsafe, ""},
        {[](Update& u) { fs::rename(u.payload, u.target / "s"), u.payload = u.target / "s"; },
         unsafe, ""},
        {[](Update& u) { u.target = u.payload / "bin", u.backup = u.target / "updates/b"; }, unsafe,
         ""},
        {[](Update& u) { u.backup = u.target / "backup_1"; }, unsafe, ""},
        {[](Update& u) { fs::create_directories(u.backup); }, unsafe, ""},
        {[](Update& u) {
             fs::create_directory_symlink(u.target, u / "lnk");
             u.target = u / "lnk";
         },
         reparse, ""},
        {[](Update& u) { fs::create_symlink(u / "stage", u.payload / "lnk"); }, reparse, ""},
        {[](Update& u) { fs::create_symlink(u / "stage", u.payload / "lnk"); },
         "package contains a link", ""},
#ifndef _WIN32
        {[](Update& u) { ::mkfifo((u.payload / "pipe").c_str(), 0600); },
         "package contains a special file", ""},
        {[](Update& u) { write_file(u.payload / "bad:name", "x"); }, bad_name},
#endif
        {link_bin, reparse, ""},
        {link_bin, "destination escapes installation", ""},
        {[](Update& u) {
             fs::remove(u.target / "bin/core.dll");
             fs::create_hard_link(u.target / "config/app.xml", u.target / "bin/core.dll");
         },
         "destination has more than one link", ""},
        // left out whatever other names it has
        {[](Update& u) {
             write_file(u / "twin", "new"), fs::remove(u.target / "bin/core.dll");
             fs::create_hard_link(u / "twin", u.target / "bin/core.dll");
         },
         "", "COMMITTED"},
        {[](Update& u) { fs::create_directory(u.target / "bin.dat"); },
         "destination is not a regular file", ""},
        {[](Update& u) {
             for (const auto& name : u.order) fs::remove(u.payload / name);
         },
         "empty update payload", ""},
    };
    // The k-th copy fails, leaving a partial file, or, locked, refusing the first undo too.
    for (int k = 1; k <= 5; ++k) {
        for (int locked = 0; locked <= (k != 3 && k != 4); ++locked) {  // an old file only
            cases.push_back({[=](Update& u) {
                                 u.copy.fail = {3 + k, 3 + k + locked};
                                 u.copy.partial = !locked;
                             },
                             "injected copy failure", "ROLLED_BACK", k});
        }
    }
    std::string not_set_up;  // rows this system cannot arrange
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
        const bool committed = c.status == "COMMITTED",
                   undo_failed = c.status == "RECOVERY_REQUIRED";
        std::vector<std::string> steps;  // checked as installed (not left out), then as undone
        std::string journal;
        for (const auto& name : u.order) {
            const auto old = tree.find(name);
            if (old == tree.end() || old->second != "new" || fs::is_symlink(u.target / name) ||
                name == u.order.back()) {
                steps.push_back(name);
                journal += (old == tree.end() ? "remove\t" : "restore\t") + name + "\n";
            }
            if (committed) tree[name] = "new";
        }
        if (undo_failed && !u.copy.fail.empty()) tree["bin/core.dll"] = "partial";
        std::multiset<std::string> words;  // status words written
        std::vector<std::string> checked;  // since "APPLYING"
        const auto replace = [&](const fs::path& from, const fs::path& to) {
            std::string word = read_file(from);
            word.pop_back();  // the line feed
            if (words.insert(word), word == "APPLYING") checked.clear();
            return !u.unwritten.count(word) && platform::replace_file(from, to) &&
                   !u.unflushed.count(word);
        };
        const PathCheck record = [&](const fs::path& file) {
            checked.push_back(file.lexically_relative(u.target).generic_u8string());
        };
        const auto flush = [&u](const fs::path& file) {
            return !u.unflushable.count(file) && platform::flush_file(file);
        };
        const TransactionResult result = [&] {
#ifdef _WIN32
            const auto held = u.held.empty() ? std::future<void>() : hold_file(u.held, 1000);
#endif
            return apply_update_transaction(
                u.payload, u.target, u.backup, u.copy.operation(),
                c.error == reparse ? PathCheck(ensure_no_reparse_point) : record,
                {flush, platform::flush_directory, replace});
        }();
        EXPECT_EQ(std::tuple(result.committed, result.rolled_back, result.failed_restores,
                             read_file(u.backup / "transaction.status")),
                  std::tuple(committed, !undo_failed && c.status != "APPLYING",
                             std::vector<fs::path>(undo_failed, "bin/core.dll"),
                             c.status.empty() ? "" : c.status + "\n"));
        EXPECT_TRUE(c.error == "*" ? !result.error.empty() : result.error == c.error)
            << result.error;
        EXPECT_EQ(snapshot(u / "install"), tree);
        if (committed) {
            EXPECT_EQ(read_file(u.backup / "files.tsv"), journal);
        }
        if (!committed) {
            steps.resize(c.applied);
            for (int k = c.applied; k-- > 0;) steps.push_back(steps[k]);
        }
        if (words.count("APPLYING")) {
            EXPECT_EQ(checked, steps);
        }
        // "COMMITTED" only once everything is installed and on the disk
        EXPECT_EQ(words.count("COMMITTED"), committed || u.unwritten.count("COMMITTED"));
    }
    if (!not_set_up.empty()) GTEST_SKIP() << "rows not set up here" << not_set_up;
}

// A file held for a moment is outwaited, one held longer than the retries (30 x 100 ms) is not; a
// failed copy names both paths. POSIX has no sharing modes: a missing source stands for the hold.
TEST(HeldFile, ShortHoldOutwaitedLongHoldFails) {
    Sandbox dir;
    const fs::path exe = dir / "Lumetra.exe",
                   source = dir / (kWindowsNames ? "new.exe" : "missing");
    write_file(exe, ""), write_file(dir / "new.exe", "");
    write_transaction_status(dir.path, "APPLYING");
    // Row i: copy, flush or status replace (i / 2), under a long hold when i is odd.
    for (int i = !kWindowsNames; i < (kWindowsNames ? 6 : 2); ++i) {
        SCOPED_TRACE(i);
#ifdef _WIN32
        const auto child = hold_file(i < 4 ? exe : dir / "transaction.status", i % 2 ? 5000 : 1000);
#endif
        try {
            if (i < 2) copy_file_with_retry(source, exe);
            if (i / 2 == 1 && !platform::flush_file(exe)) throw std::runtime_error("flush");
            if (i > 3) write_transaction_status(dir.path, "COMMITTED");
            EXPECT_EQ(i % 2, 0);
        } catch (const fs::filesystem_error& e) {
            EXPECT_EQ(std::tuple(e.path1(), e.path2(), i % 2), std::tuple(source, exe, 1));
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(i % 2, 1) << e.what();
        }
    }
}
