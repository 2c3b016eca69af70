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
    // The destinations checked between two status words, relative to the installation.
    std::vector<fs::path> checks(const std::string& from, const std::string& to) const {
        std::vector<fs::path> out;
        for (std::size_t i = status_index(log, from); i < status_index(log, to); ++i) {
            if (log[i].kind == "check") out.push_back(log[i].first.lexically_relative(target));
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
    EXPECT_EQ(update.checks("APPLYING", "COMMITTED"), std::vector<fs::path>(update.order.begin(), update.order.end()));
    const std::size_t preparing = status_index(update.log, "PREPARING"), applying = status_index(update.log, "APPLYING");
    ASSERT_LT(preparing, applying);
    ASSERT_LT(status_index(update.log, "COMMITTED"), update.log.size());
    for (std::size_t i = preparing + 1; i < applying; ++i) {
        EXPECT_FALSE(update.log[i].kind == "copy" && is_inside_root(update.log[i].first, update.payload)) << i;
    }
    EXPECT_TRUE(durable_before(update.log, applying));
    EXPECT_TRUE(durable_before(update.log, status_index(update.log, "COMMITTED")));
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
            std::vector<fs::path> expected(update.order.begin(), update.order.begin() + k);
            expected.insert(expected.end(), update.order.rend() - k, update.order.rend());
            EXPECT_EQ(update.checks("APPLYING", "ROLLED_BACK"), expected);
            EXPECT_TRUE(durable_before(update.log, status_index(update.log, "ROLLED_BACK")));
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

// The installation ends as it was; a status is recorded only once the backup area exists.
TEST(ApplyUpdateTransaction, FailuresThatEndInARollBack) {
    struct Case {
        const char* name;
        void (*arrange)(Update&);
        std::string error, status = "ROLLED_BACK\n";
    };
    const std::string bad_name = "invalid filename for recovery journal";
    const Case cases[] = {
        {"backup not flushed", [](Update& u) { u.durability.failing_files = {u.backup / "files/bin/core.dll"}; },
         "cannot persist update backups"},
        {"journal not flushed", [](Update& u) { u.durability.failing_files = {u.backup / "files.tsv"}; },
         "cannot persist recovery journal"},
        {"installed file not flushed", [](Update& u) { u.durability.failing_files = {u.target / "bin/new.dll"}; },
         "cannot persist installed files"},
        {"tab in a name", [](Update& u) { write_file(u.payload / "bad\tname", "x"); }, bad_name},
        {"carriage return in a name", [](Update& u) { write_file(u.payload / "bad\rname", "x"); }, bad_name},
        {"line feed in a name", [](Update& u) { write_file(u.payload / "bad\nname", "x"); }, bad_name},
        {"escape character in a name", [](Update& u) { write_file(u.payload / "bad\x1bname", "x"); }, bad_name},
        {"only protected files", [](Update& u) { fs::remove_all(u.payload); write_file(u.payload / "Settings.JSON", "x"); },
         "empty update payload", ""},
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
        EXPECT_FALSE(result.committed);
        EXPECT_TRUE(result.rolled_back);
        EXPECT_EQ(c.error == "*" ? !result.error.empty() : result.error == c.error, true) << result.error;
        EXPECT_EQ(update.status(), c.status);
        EXPECT_EQ(snapshot(update.target), update.old_tree);
    }
}
