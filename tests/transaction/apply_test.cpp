#include "transaction/apply.h"

#include <gtest/gtest.h>

#include "transaction/transaction_doubles.h"

namespace fs = std::filesystem;

namespace {

// An installation at 1.0.0 with user data, and a five-file package for 1.1.0
// that also carries files below protected paths.
struct Update {
    TempDir temp;
    fs::path payload = fs::weakly_canonical(temp / "stage/package");
    fs::path target = fs::weakly_canonical(temp / "install");
    fs::path backup = target / "updates/backup_1";
    EventLog log;
    RecordingCopy copy{log, {}};
    RecordingCheck check{log};
    RecordingDurability durability{log, {}, {}, {}};
    // Install order; a.dll, bin/core.dll and release.json replace existing files.
    std::vector<std::string> order{"a.dll", "bin/core.dll", "bin/new.dll", "plugins/p.dll",
                                   "release.json"};
    std::map<std::string, std::string> old_tree;

    Update() {
        write_file(target / "a.dll", "old a");
        write_file(target / "bin/core.dll", "old core");
        write_file(target / "release.json", "{\"version\":\"1.0.0\"}");
        write_file(target / "Lumetra.exe", "unchanged program");
        write_file(target / "config/app.xml", "customer config");
        write_file(target / "settings.json", "customer settings");
        for (const auto& name : order) write_file(payload / name, "new " + name);
        write_file(payload / "config/app.xml", "package config");
        write_file(payload / "settings.json", "package settings");
        write_file(payload / "projects/demo/p.txt", "package project");
        old_tree = snapshot(target);
    }

    TransactionResult run() {
        return apply_update_transaction(payload, target, backup, copy.operation(),
                                        check.operation(), durability.service());
    }

    std::string status() const { return read_file(backup / "transaction.status"); }

    // Destinations checked after the first failing copy: the roll-back's visits.
    std::vector<fs::path> roll_back_checks() const {
        std::vector<fs::path> visited;
        bool failed = false;
        for (const Event& event : log) {
            if (event.kind == "copy" && copy.fail_calls.count(copy_number(event))) failed = true;
            if (failed && event.kind == "check") visited.push_back(event.first);
        }
        return visited;
    }

    int copy_number(const Event& target_event) const {
        int n = 0;
        for (const Event& event : log) {
            if (event.kind == "copy") ++n;
            if (&event == &target_event) return n;
        }
        return 0;
    }
};

constexpr int kBackupCopies = 3;

}  // namespace

TEST(ApplyUpdateTransaction, InstallsDurablyAndKeepsUserData) {
    Update update;
    const TransactionResult result = update.run();

    EXPECT_TRUE(result.committed);
    EXPECT_TRUE(result.rolled_back);
    EXPECT_EQ(result.error, "");
    EXPECT_TRUE(result.failed_restores.empty());
    EXPECT_EQ(update.status(), "COMMITTED\n");
    EXPECT_EQ(read_file(update.backup / "files.tsv"),
              "restore\ta.dll\nrestore\tbin/core.dll\nremove\tbin/new.dll\n"
              "remove\tplugins/p.dll\nrestore\trelease.json\n");
    EXPECT_EQ(read_file(update.backup / "files/a.dll"), "old a");
    EXPECT_EQ(read_file(update.backup / "files/bin/core.dll"), "old core");
    EXPECT_EQ(read_file(update.backup / "files/release.json"), "{\"version\":\"1.0.0\"}");
    EXPECT_FALSE(fs::exists(update.backup / "files/bin/new.dll"));
    EXPECT_FALSE(fs::exists(update.backup / "transaction.status.tmp"));

    auto expected = update.old_tree;
    for (const auto& name : update.order) expected[name] = "new " + name;
    EXPECT_EQ(snapshot(update.target), expected);  // config/, settings.json untouched

    // The apply copies, manifest last.
    std::vector<fs::path> applied;
    for (const Event& event : update.log) {
        if (event.kind == "copy" && event.first.string().rfind(update.payload.string(), 0) == 0) {
            applied.push_back(event.second);
        }
    }
    std::vector<fs::path> expected_applied;
    for (const auto& name : update.order) expected_applied.push_back(update.target / name);
    EXPECT_EQ(applied, expected_applied);

    const EventLog& log = update.log;
    const std::size_t applying = status_index(log, "APPLYING");
    const std::size_t committed = status_index(log, "COMMITTED");
    ASSERT_LT(status_index(log, "PREPARING"), applying);
    ASSERT_LT(applying, committed);
    ASSERT_LT(committed, log.size());
    for (const char* name : {"a.dll", "bin/core.dll", "release.json"}) {
        EXPECT_TRUE(flushed_before(log, "flush_file", update.backup / "files" / name, applying))
            << name;
    }
    EXPECT_TRUE(flushed_before(log, "flush_file", update.backup / "files.tsv", applying));
    for (const fs::path& directory :
         {update.backup / "files/bin", update.backup / "files", update.backup,
          update.target / "updates", update.target}) {
        EXPECT_TRUE(flushed_before(log, "flush_directory", directory, applying)) << directory;
    }
    for (const auto& name : update.order) {
        EXPECT_TRUE(flushed_before(log, "flush_file", update.target / name, committed)) << name;
    }
    for (const fs::path& directory :
         {update.target / "plugins", update.target / "bin", update.target}) {
        EXPECT_TRUE(flushed_before(log, "flush_directory", directory, committed)) << directory;
    }
    // Every status write: a flushed temporary file moved over the status file.
    int writes = 0;
    for (std::size_t i = 0; i < log.size(); ++i) {
        if (log[i].kind != "status") continue;
        ++writes;
        EXPECT_EQ(log[i].first, update.backup / "transaction.status.tmp");
        EXPECT_EQ(log[i].second, update.backup / "transaction.status");
        ASSERT_GT(i, 0u);
        EXPECT_EQ(log[i - 1].kind, "flush_file");
        EXPECT_EQ(log[i - 1].first, log[i].first);
    }
    EXPECT_EQ(writes, 3);
}

TEST(ApplyUpdateTransaction, FailedCopyUndoesExactlyTheTouchedEntriesInReverse) {
    for (int k = 1; k <= 5; ++k) {
        SCOPED_TRACE("failing apply copy " + std::to_string(k));
        Update update;
        update.copy.fail_calls = {kBackupCopies + k};
        const TransactionResult result = update.run();

        EXPECT_FALSE(result.committed);
        EXPECT_TRUE(result.rolled_back);
        EXPECT_EQ(result.error, "injected copy failure");
        EXPECT_TRUE(result.failed_restores.empty());
        EXPECT_EQ(update.status(), "ROLLED_BACK\n");
        EXPECT_EQ(snapshot(update.target), update.old_tree);
        if (k >= 4) {
            EXPECT_TRUE(fs::is_empty(update.target / "plugins"));
        }

        std::vector<fs::path> expected;
        for (int i = k; i >= 1; --i) expected.push_back(update.target / update.order[i - 1]);
        EXPECT_EQ(update.roll_back_checks(), expected);

        const std::size_t rolled_back = status_index(update.log, "ROLLED_BACK");
        for (int i = 1; i <= k; ++i) {
            const fs::path destination = update.target / update.order[i - 1];
            const bool existed = update.old_tree.count(update.order[i - 1]) > 0;
            if (existed) {
                EXPECT_TRUE(flushed_before(update.log, "flush_file", destination, rolled_back));
            }
            EXPECT_TRUE(flushed_before(update.log, "flush_directory", destination.parent_path(),
                                       rolled_back));
        }
    }
}

TEST(ApplyUpdateTransaction, FailedUndoStepIsNamedAndRequiresRecovery) {
    Update update;
    // Apply copies are calls 4 to 8 (release.json last); the undo then copies
    // release.json back (9), removes two new files, restores bin/core.dll (10).
    update.copy.fail_calls = {kBackupCopies + 5, 10};
    const TransactionResult result = update.run();

    EXPECT_FALSE(result.committed);
    EXPECT_FALSE(result.rolled_back);
    EXPECT_EQ(result.error, "injected copy failure");
    EXPECT_EQ(result.failed_restores, std::vector<fs::path>{"bin/core.dll"});
    EXPECT_EQ(update.status(), "RECOVERY_REQUIRED\n");
    auto expected = update.old_tree;
    expected["bin/core.dll"] = "partial";
    EXPECT_EQ(snapshot(update.target), expected);  // every other entry was still undone
}

TEST(ApplyUpdateTransaction, FailedCommitWriteUndoesEverything) {
    Update update;
    update.durability.failing_status_words = {"COMMITTED"};
    const TransactionResult result = update.run();

    EXPECT_FALSE(result.committed);
    EXPECT_TRUE(result.rolled_back);
    EXPECT_EQ(result.error, "cannot persist update transaction status");
    EXPECT_EQ(update.status(), "ROLLED_BACK\n");
    EXPECT_EQ(snapshot(update.target), update.old_tree);
}

TEST(ApplyUpdateTransaction, StatusReplacedButNotFlushedStillMatchesTheTree) {
    // A "COMMITTED" that replaced "APPLYING" stands: rolling back under it
    // would leave a record that contradicts the tree.
    Update committed;
    committed.durability.unflushed_status_words = {"COMMITTED"};
    const TransactionResult result = committed.run();
    EXPECT_TRUE(result.committed);
    EXPECT_EQ(committed.status(), "COMMITTED\n");
    EXPECT_EQ(read_file(committed.target / "release.json"), "new release.json");

    // A final "ROLLED_BACK" in the same state still reports the roll-back.
    Update rolled_back;
    rolled_back.durability.failing_status_words = {"COMMITTED"};
    rolled_back.durability.unflushed_status_words = {"ROLLED_BACK"};
    const TransactionResult undone = rolled_back.run();
    EXPECT_FALSE(undone.committed);
    EXPECT_TRUE(undone.rolled_back);
    EXPECT_EQ(rolled_back.status(), "ROLLED_BACK\n");
    EXPECT_EQ(snapshot(rolled_back.target), rolled_back.old_tree);

    // "APPLYING" must be durable before anything is touched.
    Update applying;
    applying.durability.unflushed_status_words = {"APPLYING"};
    const TransactionResult refused = applying.run();
    EXPECT_FALSE(refused.committed);
    EXPECT_EQ(refused.error, "cannot persist update transaction status");
    EXPECT_EQ(snapshot(applying.target), applying.old_tree);
}

TEST(ApplyUpdateTransaction, UnwritableFinalStateReportsRecoveryNeeded) {
    Update update;
    update.durability.failing_status_words = {"COMMITTED", "ROLLED_BACK"};
    const TransactionResult result = update.run();

    EXPECT_FALSE(result.committed);
    EXPECT_FALSE(result.rolled_back);
    EXPECT_TRUE(result.failed_restores.empty());
    EXPECT_EQ(update.status(), "APPLYING\n");
    EXPECT_EQ(snapshot(update.target), update.old_tree);
}

TEST(ApplyUpdateTransaction, FlushFailuresFailTheTransaction) {
    struct Case {
        std::string file;  // relative to the temporary directory's install/
        std::string error;
        bool applied;
    };
    for (const Case& c : {Case{"updates/backup_1/files/bin/core.dll", "cannot persist update backups", false},
                          Case{"updates/backup_1/files.tsv", "cannot persist recovery journal", false},
                          Case{"bin/new.dll", "cannot persist installed files", true}}) {
        SCOPED_TRACE(c.file);
        Update update;
        update.durability.failing_files = {update.target / c.file};
        const TransactionResult result = update.run();

        EXPECT_FALSE(result.committed);
        EXPECT_TRUE(result.rolled_back);
        EXPECT_EQ(result.error, c.error);
        EXPECT_EQ(update.status(), "ROLLED_BACK\n");
        EXPECT_EQ(snapshot(update.target), update.old_tree);
        EXPECT_EQ(update.copy.calls > kBackupCopies, c.applied);
    }
}

TEST(ApplyUpdateTransaction, JournalSpellsNestedAndNonAsciiPathsInUtf8) {
    Update update;
    fs::remove_all(update.payload);
    write_file(update.payload / "a/b/c.txt", "c");
    write_file(update.payload / fs::u8path(u8"Prüfung/图像.dll"), "x");
    write_file(update.payload / "release.json", "{}");
    const TransactionResult result = update.run();
    ASSERT_TRUE(result.committed) << result.error;
    EXPECT_EQ(read_file(update.backup / "files.tsv"),
              "remove\tPr\xC3\xBC" "fung/\xE5\x9B\xBE\xE5\x83\x8F.dll\n"
              "remove\ta/b/c.txt\n"
              "restore\trelease.json\n");
}

TEST(ApplyUpdateTransaction, ControlCharacterInNameStopsBeforeAnyChange) {
    for (const char* bad : {"bad\tname.dll", "bad\rname.dll", "bad\nname.dll"}) {
        SCOPED_TRACE(::testing::PrintToString(bad));
        Update update;
        try {
            write_file(update.payload / bad, "x");
        } catch (const std::exception&) {
            GTEST_SKIP() << "this file system refuses control characters in names";
        }
        const TransactionResult result = update.run();

        EXPECT_FALSE(result.committed);
        EXPECT_TRUE(result.rolled_back);
        EXPECT_EQ(result.error, "invalid filename for recovery journal");
        EXPECT_EQ(update.status(), "ROLLED_BACK\n");
        EXPECT_EQ(snapshot(update.target), update.old_tree);
        EXPECT_EQ(update.copy.calls, 1);  // only a.dll's backup, sorted before the bad name
    }
}

TEST(ApplyUpdateTransaction, FailureBeforeTheBackupAreaLeavesNoStatus) {
    {
        Update update;  // "updates" is a file: the backup area cannot be created
        write_file(update.target / "updates", "not a directory");
        const TransactionResult result = update.run();
        EXPECT_FALSE(result.committed);
        EXPECT_TRUE(result.rolled_back);
        EXPECT_NE(result.error, "");
        EXPECT_EQ(status_index(update.log, "PREPARING"), update.log.size());
        EXPECT_EQ(update.copy.calls, 0);
        EXPECT_EQ(snapshot(update.target), update.old_tree);
    }
    {
        Update update;  // only protected files
        fs::remove_all(update.payload);
        write_file(update.payload / "config/app.xml", "package config");
        write_file(update.payload / "Settings.JSON", "package settings");
        const TransactionResult result = update.run();
        EXPECT_FALSE(result.committed);
        EXPECT_TRUE(result.rolled_back);
        EXPECT_EQ(result.error, "empty update payload");
        EXPECT_FALSE(fs::exists(update.backup));
        EXPECT_EQ(snapshot(update.target), update.old_tree);
    }
}
