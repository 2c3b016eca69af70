#include "transaction/apply.h"

#include <gtest/gtest.h>

#include <tuple>

#include "test_support.h"
#include "transaction/transaction_status.h"

namespace {

// An installation with user data, and a package of five files (three replace
// existing ones) that also carries files below protected paths.
struct Update {
    TempDir temp;
    fs::path payload = fs::weakly_canonical(temp / "stage/package"), target = fs::weakly_canonical(temp / "install");
    fs::path backup = target / "updates/backup_1";
    EventLog log;
    FailingCopy copy;
    std::set<std::string> failing_words, unflushed_words;  // not written; written, reported failed
    std::set<fs::path> failing_files;
    const std::vector<fs::path> order{"a.dll", "bin/core.dll", "bin/new.dll", "plugins/p.dll", "release.json"};
    std::map<std::string, std::string> old_tree;

    Update() {
        for (const char* name : {"a.dll", "bin/core.dll", "release.json", "config/app.xml", "settings.json"}) write_file(target / name, "old");
        for (const auto& name : order) write_file(payload / name, "new");
        for (const char* name : {"config/app.xml", "settings.json", "projects/p.txt"}) write_file(payload / name, "package");
        old_tree = snapshot(target);
    }
    TransactionResult run() {
        const Durability durability{[this](const fs::path& file) { return !failing_files.count(file) && platform::flush_file(file); },
                                    platform::flush_directory, [this](const fs::path& from, const fs::path& to) {
                                        const std::string word = read_file(from).substr(0, read_file(from).find('\n'));
                                        log.push_back("=" + word);
                                        return !failing_words.count(word) && platform::replace_file(from, to) && !unflushed_words.count(word);
                                    }};
        return apply_update_transaction(payload, target, backup, copy.operation(), recording_check(log), durability);
    }
    std::string status() const { return read_file(backup / "transaction.status"); }
};

constexpr int kBackups = 3;

}  // namespace

// The k-th apply copy fails, leaving a partial file or, when locked, refusing
// the copy and the first undo: entries k to 1 are undone, in that order.
TEST(ApplyUpdateTransaction, AFailedCopyUndoesTheTouchedEntriesInReverse) {
    for (int k = 1; k <= 5; ++k) {
        for (const bool locked : {false, true}) {
            SCOPED_TRACE(std::to_string(k) + (locked ? " locked" : ""));
            Update update;
            if (locked && !update.old_tree.count(update.order[k - 1].generic_u8string())) continue;
            update.copy.fail_calls = {kBackups + k, locked ? kBackups + k + 1 : 0};
            update.copy.leave_partial = !locked;
            const TransactionResult result = update.run();
            EXPECT_TRUE(!result.committed && result.rolled_back && result.error == "injected copy failure");
            EXPECT_EQ(update.status(), "ROLLED_BACK\n");
            EXPECT_EQ(snapshot(update.target), update.old_tree);
            std::vector<fs::path> expected(update.order.begin(), update.order.begin() + k);
            expected.insert(expected.end(), update.order.rend() - k, update.order.rend());
            EXPECT_EQ(checks_after(update.log, "APPLYING", update.target), expected);
        }
    }
}

// The installation ends new when committed, else as it was; a failed undo step is
// named and leaves "RECOVERY_REQUIRED"; a status is recorded only once the
// backup area exists.
TEST(ApplyUpdateTransaction, OutcomeTable) {
    struct Case {
        const char* name;
        void (*arrange)(Update&);
        std::string error, status;
        bool committed = false, rolled_back = true;
    };
    const std::string unpersisted = "cannot persist update transaction status", bad_name = "invalid filename for recovery journal";
    const Case cases[] = {
        // apply copies 4 to 8; the undo copies release.json back (9), then bin/core.dll (10)
        {"failed undo step", [](Update& u) { u.copy.fail_calls = {kBackups + 5, 10}; }, "injected copy failure", "RECOVERY_REQUIRED\n", false, false},
        {"COMMITTED not written", [](Update& u) { u.failing_words = {"COMMITTED"}; }, unpersisted, "ROLLED_BACK\n"},
        // rolling back under a word that replaced "APPLYING" would contradict the tree
        {"no fault", [](Update&) {}, "", "COMMITTED\n", true},
        {"COMMITTED not flushed", [](Update& u) { u.unflushed_words = {"COMMITTED"}; }, "", "COMMITTED\n", true},
        {"ROLLED_BACK not flushed", [](Update& u) { u.failing_words = {"COMMITTED"}; u.unflushed_words = {"ROLLED_BACK"}; },
         unpersisted, "ROLLED_BACK\n"},
        {"APPLYING not flushed", [](Update& u) { u.unflushed_words = {"APPLYING"}; }, unpersisted, "ROLLED_BACK\n"},
        {"no final word", [](Update& u) { u.failing_words = {"COMMITTED", "ROLLED_BACK"}; }, unpersisted, "APPLYING\n", false, false},
        {"backup not flushed", [](Update& u) { u.failing_files = {u.backup / "files/bin/core.dll"}; }, "cannot persist update backups", "ROLLED_BACK\n"},
        {"journal not flushed", [](Update& u) { u.failing_files = {u.backup / "files.tsv"}; }, "cannot persist recovery journal", "ROLLED_BACK\n"},
        {"installed file not flushed", [](Update& u) { u.failing_files = {u.target / "bin/new.dll"}; }, "cannot persist installed files", "ROLLED_BACK\n"},
        {"tab in a name", [](Update& u) { write_file(u.payload / "bad\tname", "x"); }, bad_name, "ROLLED_BACK\n"},
        {"carriage return in a name", [](Update& u) { write_file(u.payload / "bad\rname", "x"); }, bad_name, "ROLLED_BACK\n"},
        {"line feed in a name", [](Update& u) { write_file(u.payload / "bad\nname", "x"); }, bad_name, "ROLLED_BACK\n"},
        {"escape in a name", [](Update& u) { write_file(u.payload / "bad\x1bname", "x"); }, bad_name, "ROLLED_BACK\n"},
        {"only protected files", [](Update& u) { fs::remove_all(u.payload); write_file(u.payload / "Settings.JSON", "x"); }, "empty update payload", ""},
        {"backup area cannot be made", [](Update& u) { write_file(u.target / "updates", "a file"); }, "*", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Update update;
        try {
            c.arrange(update);
        } catch (const std::exception&) {
            continue;  // no such names on this file system
        }
        const TransactionResult result = update.run();
        EXPECT_EQ(std::tuple(result.committed, result.rolled_back, update.status()), std::tuple(c.committed, c.rolled_back, c.status));
        EXPECT_TRUE(c.error == "*" ? !result.error.empty() : result.error == c.error) << result.error;
        EXPECT_EQ(result.failed_restores, std::vector<fs::path>(c.status == "RECOVERY_REQUIRED\n", "bin/core.dll"));
        auto expected = update.old_tree;
        if (!result.failed_restores.empty()) expected["bin/core.dll"] = "partial";
        if (c.committed) for (const auto& name : update.order) expected[name.generic_u8string()] = "new";
        EXPECT_EQ(snapshot(update.target), expected);
        if (!c.committed) continue;  // installed in order, manifest last, every entry journaled and the old bytes kept
        EXPECT_EQ(checks_after(update.log, "APPLYING", update.target), update.order);
        EXPECT_EQ(read_file(update.backup / "files.tsv"), "restore\ta.dll\nrestore\tbin/core.dll\nremove\tbin/new.dll\nremove\tplugins/p.dll\nrestore\trelease.json\n");
        EXPECT_EQ(read_file(update.backup / "files/bin/core.dll"), "old");
    }
}

TEST(CopyFileWithRetry, GivesUpNamingBothPaths) {
    TempDir dir;
    try {
        copy_file_with_retry(dir / "missing", dir / "destination");
        ADD_FAILURE() << "no exception";
    } catch (const fs::filesystem_error& error) {
        EXPECT_EQ(std::tuple(std::string(error.what()).find("copy failed") != std::string::npos, error.path1(), error.path2()), std::tuple(true, dir / "missing", dir / "destination"));
    }
    EXPECT_FALSE(fs::exists(dir / "destination"));
}

// A virus scanner or indexer holding a file for a moment must not fail the
// update; a file held for longer than the retries (30 x 100 ms) still does.
TEST(HeldByAnotherProcess, EveryFileChangingOperationOutwaitsAShortHold) {
    if (!kWindowsNames) GTEST_SKIP() << "POSIX has no sharing modes";
    for (const std::string operation : {"copy", "status replace", "flush"}) {
        for (const unsigned hold_ms : {1000u, 10000u}) {
            SCOPED_TRACE(operation + ", held " + std::to_string(hold_ms) + " ms");
            TempDir dir;
            write_file(dir / "new.exe", "new");
            write_file(dir / "Lumetra.exe", "old");
            write_transaction_status(dir.path(), "APPLYING");
            const fs::path file = dir / (operation == "status replace" ? "transaction.status" : "Lumetra.exe");
            HeldFile held(file, hold_ms);
            ASSERT_EQ(read_file(file), "") << "the file is not held";
            bool done = false;
            try {
                if (operation == "flush") done = platform::flush_file(file);
                if (operation == "status replace") write_transaction_status(dir.path(), "COMMITTED"), done = read_file(file) == "COMMITTED\n";
                if (operation == "copy") copy_file_with_retry(dir / "new.exe", file), done = read_file(file) == "new";
            } catch (const std::exception&) {
            }
            EXPECT_EQ(done, hold_ms == 1000u);
        }
    }
}
