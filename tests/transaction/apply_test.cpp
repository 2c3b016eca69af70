#include "transaction/apply.h"

#include <gtest/gtest.h>

#include "transaction/transaction_doubles.h"

namespace fs = std::filesystem;

namespace {

// An installation with user data, and a package of five files (three replace
// existing ones) that also carries files below protected paths.
struct Update {
    TempDir temp;
    fs::path payload = fs::weakly_canonical(temp / "stage/package");
    fs::path target = fs::weakly_canonical(temp / "install");
    fs::path backup = target / "updates/backup_1";
    EventLog log;
    RecordingCopy copy{log, {}};
    RecordingDurability durability{log, {}, {}, {}};
    const std::vector<std::string> order{"a.dll", "bin/core.dll", "bin/new.dll", "plugins/p.dll", "release.json"};
    std::map<std::string, std::string> old_tree;

    Update() {
        for (const char* name : {"a.dll", "bin/core.dll", "release.json", "config/app.xml", "settings.json"}) {
            write_file(target / name, std::string("old ") + name);
        }
        for (const auto& name : order) write_file(payload / name, "new " + name);
        for (const char* name : {"config/app.xml", "settings.json", "projects/p.txt"}) write_file(payload / name, "package");
        old_tree = snapshot(target);
    }
    TransactionResult run() {
        RecordingCheck check{log};
        return apply_update_transaction(payload, target, backup, copy.operation(), check.operation(),
                                        durability.service());
    }
    std::string status() const { return read_file(backup / "transaction.status"); }
    std::vector<fs::path> copies_into(const fs::path& directory) const {
        std::vector<fs::path> out;
        for (const Event& e : log) {
            if (e.kind == "copy" && e.first.parent_path().native().rfind(directory.native(), 0) == 0) {
                out.push_back(e.second.lexically_relative(target));
            }
        }
        return out;
    }
};

constexpr int kBackups = 3;

}  // namespace

TEST(ApplyUpdateTransaction, InstallsManifestLastWithEverythingOnDiskBeforeEachWord) {
    Update update;
    const TransactionResult result = update.run();
    EXPECT_TRUE(result.committed);
    EXPECT_EQ(result.error, "");
    EXPECT_EQ(update.status(), "COMMITTED\n");
    EXPECT_EQ(read_file(update.backup / "files.tsv"),
              "restore\ta.dll\nrestore\tbin/core.dll\nremove\tbin/new.dll\nremove\tplugins/p.dll\nrestore\trelease.json\n");
    EXPECT_EQ(read_file(update.backup / "files/bin/core.dll"), "old bin/core.dll");
    auto expected = update.old_tree;
    for (const auto& name : update.order) expected[name] = "new " + name;
    EXPECT_EQ(snapshot(update.target), expected);
    EXPECT_EQ(update.copies_into(update.payload),
              std::vector<fs::path>(update.order.begin(), update.order.end()));

    const EventLog& log = update.log;
    const std::size_t applying = status_index(log, "APPLYING"), committed = status_index(log, "COMMITTED");
    ASSERT_LT(status_index(log, "PREPARING"), applying);
    ASSERT_LT(applying, committed);
    ASSERT_LT(committed, log.size());
    EXPECT_TRUE(flushed_before(log, "flush_file", update.backup / "files.tsv", applying));
    for (const char* name : {"a.dll", "bin/core.dll", "release.json"}) {
        EXPECT_TRUE(flushed_before(log, "flush_file", update.backup / "files" / name, applying)) << name;
    }
    for (const fs::path& dir : {update.backup / "files/bin", update.backup / "files", update.backup, update.target / "updates"}) {
        EXPECT_TRUE(flushed_before(log, "flush_directory", dir, applying)) << dir;
    }
    for (const auto& name : update.order) {
        EXPECT_TRUE(flushed_before(log, "flush_file", update.target / name, committed)) << name;
    }
    for (const fs::path& dir : {update.target / "plugins", update.target / "bin", update.target}) {
        EXPECT_TRUE(flushed_before(log, "flush_directory", dir, committed)) << dir;
    }
    for (std::size_t i = 1; i < log.size(); ++i) {  // each word: a flushed temporary file moved over the status
        if (log[i].kind != "status") continue;
        EXPECT_EQ(log[i].second, update.backup / "transaction.status");
        EXPECT_EQ(log[i - 1].kind, "flush_file");
        EXPECT_EQ(log[i - 1].first, log[i].first);
    }
}

// The k-th apply copy fails: entries k to 1 are undone, in that order, and on disk before "ROLLED_BACK".
TEST(ApplyUpdateTransaction, AFailedCopyUndoesTheTouchedEntriesInReverse) {
    for (int k = 1; k <= 5; ++k) {
        for (const bool locked : {false, true}) {
            SCOPED_TRACE("copy " + std::to_string(k) + (locked ? ", destination locked" : ""));
            Update update;
            if (locked && !update.old_tree.count(update.order[k - 1])) continue;
            // A locked file refuses the copy untouched, and again when it is put back.
            update.copy.fail_calls = {kBackups + k};
            if (locked) update.copy.fail_calls.insert(kBackups + k + 1);
            update.copy.leave_partial = !locked;
            const TransactionResult result = update.run();
            EXPECT_FALSE(result.committed);
            EXPECT_TRUE(result.rolled_back);
            EXPECT_EQ(result.error, "injected copy failure");
            EXPECT_EQ(update.status(), "ROLLED_BACK\n");
            EXPECT_EQ(snapshot(update.target), update.old_tree);
            std::vector<fs::path> undone;
            const std::size_t rolled_back = status_index(update.log, "ROLLED_BACK");
            for (int i = k; i >= 1; --i) {
                const fs::path destination = update.target / update.order[i - 1];
                undone.push_back(destination);
                if (locked && i == k) continue;  // unchanged, nothing to make durable
                EXPECT_TRUE(flushed_before(update.log, "flush_directory", destination.parent_path(), rolled_back));
                if (update.old_tree.count(update.order[i - 1])) {
                    EXPECT_TRUE(flushed_before(update.log, "flush_file", destination, rolled_back));
                }
            }
            std::vector<fs::path> checks;
            for (std::size_t i = status_index(update.log, "APPLYING"); i < rolled_back; ++i) {
                if (update.log[i].kind == "check") checks.push_back(update.log[i].first);
            }
            EXPECT_EQ(std::vector<fs::path>(checks.begin() + k, checks.end()), undone);
        }
    }
}

TEST(ApplyUpdateTransaction, AFailedUndoStepIsNamedAndTheOthersAreStillUndone) {
    Update update;
    // Apply copies 4 to 8; the undo copies release.json back (9), then bin/core.dll (10).
    update.copy.fail_calls = {kBackups + 5, 10};
    const TransactionResult result = update.run();
    EXPECT_FALSE(result.rolled_back);
    EXPECT_EQ(result.error, "injected copy failure");
    EXPECT_EQ(result.failed_restores, std::vector<fs::path>{"bin/core.dll"});
    EXPECT_EQ(update.status(), "RECOVERY_REQUIRED\n");
    auto expected = update.old_tree;
    expected["bin/core.dll"] = "partial";
    EXPECT_EQ(snapshot(update.target), expected);
}

TEST(ApplyUpdateTransaction, StatusWordsThatFailOrMayNotLast) {
    struct Case {
        const char* name;
        std::set<std::string> failing, unflushed;
        bool committed, rolled_back;
        std::string error, status;
    };
    const std::string unpersisted = "cannot persist update transaction status";
    const Case cases[] = {
        {"COMMITTED not written", {"COMMITTED"}, {}, false, true, unpersisted, "ROLLED_BACK\n"},
        // Rolling back under a word that replaced "APPLYING" would contradict the tree.
        {"COMMITTED written, not flushed", {}, {"COMMITTED"}, true, true, "", "COMMITTED\n"},
        {"ROLLED_BACK written, not flushed", {"COMMITTED"}, {"ROLLED_BACK"}, false, true, unpersisted, "ROLLED_BACK\n"},
        {"APPLYING not flushed", {}, {"APPLYING"}, false, true, unpersisted, "ROLLED_BACK\n"},
        {"no final word", {"COMMITTED", "ROLLED_BACK"}, {}, false, false, unpersisted, "APPLYING\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Update update;
        update.durability.failing_status_words = c.failing;
        update.durability.unflushed_status_words = c.unflushed;
        const TransactionResult result = update.run();
        EXPECT_EQ(result.committed, c.committed);
        EXPECT_EQ(result.rolled_back, c.rolled_back);
        EXPECT_EQ(result.error, c.error);
        EXPECT_EQ(update.status(), c.status);
        EXPECT_EQ(snapshot(update.target) == update.old_tree, !c.committed);
    }
}

TEST(ApplyUpdateTransaction, FailuresThatEndInARollBack) {
    struct Case {
        const char* name;
        std::string bad_file, failing_flush, error;
    };
    const Case cases[] = {
        {"backup not flushed", "", "updates/backup_1/files/bin/core.dll", "cannot persist update backups"},
        {"journal not flushed", "", "updates/backup_1/files.tsv", "cannot persist recovery journal"},
        {"installed file not flushed", "", "bin/new.dll", "cannot persist installed files"},
        {"tab in a name", "bad\tname.dll", "", "invalid filename for recovery journal"},
        {"carriage return in a name", "bad\rname.dll", "", "invalid filename for recovery journal"},
        {"line feed in a name", "bad\nname.dll", "", "invalid filename for recovery journal"},
        {"escape character in a name", "bad\x1bname.dll", "", "invalid filename for recovery journal"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Update update;
        if (!c.bad_file.empty()) {
            try {
                write_file(update.payload / c.bad_file, "x");
            } catch (const std::exception&) {
                continue;  // this file system has no such names
            }
        }
        if (!c.failing_flush.empty()) update.durability.failing_files = {update.target / c.failing_flush};
        const TransactionResult result = update.run();
        EXPECT_FALSE(result.committed);
        EXPECT_TRUE(result.rolled_back);
        EXPECT_EQ(result.error, c.error);
        EXPECT_EQ(update.status(), "ROLLED_BACK\n");
        EXPECT_EQ(snapshot(update.target), update.old_tree);
    }
}

TEST(ApplyUpdateTransaction, NothingIsRecordedBeforeTheBackupAreaExists) {
    for (const bool only_protected : {false, true}) {
        Update update;
        if (only_protected) {
            fs::remove_all(update.payload);
            write_file(update.payload / "Settings.JSON", "package");
        } else {
            write_file(update.target / "updates", "a file where the backup area belongs");
        }
        const TransactionResult result = update.run();
        EXPECT_FALSE(result.committed);
        EXPECT_TRUE(result.rolled_back);
        EXPECT_EQ(result.error == "empty update payload", only_protected) << result.error;
        EXPECT_NE(result.error, "");
        EXPECT_FALSE(fs::exists(update.backup));
        EXPECT_EQ(update.copy.calls, 0);
    }
}
