#include "transaction/recovery.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "test_support.h"

namespace fs = std::filesystem;

namespace {

// Every file, directory and link below dir, with file contents and link targets.
std::map<std::string, std::string> snapshot(const fs::path& dir) {
    std::map<std::string, std::string> tree;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        const std::string key = entry.path().lexically_relative(dir).generic_u8string();
        if (entry.is_symlink()) {
            tree[key] = "link:" + fs::read_symlink(entry.path()).generic_u8string();
        } else if (entry.is_directory()) {
            tree[key] = "<dir>";
        } else {
            tree[key] = read_file(entry.path());
        }
    }
    return tree;
}

// An installation half way through an update of bin/a.dll (replaced),
// plugins/new.dll (added) and release.json (replaced), with user data beside.
struct Installation {
    TempDir temp;
    fs::path root = temp / "app";
    fs::path backup = root / "updates" / "backup_17356896000000000";

    Installation() {
        write_file(root / "bin/a.dll", "new a");
        write_file(root / "bin/keep.dll", "kept");
        write_file(root / "plugins/new.dll", "new plugin");
        write_file(root / "release.json", "new release");
        write_file(root / "config/app.json", "user settings");
        write_file(backup / "files/bin/a.dll", "old a");
        write_file(backup / "files/release.json", "old release");
        status("APPLYING\n");
        journal("restore\tbin/a.dll\nremove\tplugins/new.dll\nrestore\trelease.json\n");
    }
    void status(const std::string& text) const { write_file(backup / "transaction.status", text); }
    void journal(const std::string& text) const { write_file(backup / "files.tsv", text); }
    std::string status() const { return read_file(backup / "transaction.status"); }
    void expect_old_version() const {
        EXPECT_EQ(read_file(root / "bin/a.dll"), "old a");
        EXPECT_EQ(read_file(root / "release.json"), "old release");
        EXPECT_FALSE(fs::exists(root / "plugins/new.dll"));
        EXPECT_EQ(read_file(root / "bin/keep.dll"), "kept");
        EXPECT_EQ(read_file(root / "config/app.json"), "user settings");
    }
};

// Copies for real and records every destination in call order; refuses the
// destinations listed in `failing` as a file held open by another program would.
struct RecordingCopy {
    std::vector<fs::path> destinations;
    std::set<fs::path> failing;
    CopyOperation operation() {
        return [this](const fs::path& source, const fs::path& destination) {
            destinations.push_back(destination);
            if (failing.count(destination) != 0) throw std::runtime_error("copy failed");
            copy_over(source, destination);
        };
    }
};

struct RecordingCheck {
    std::vector<fs::path> paths;
    PathCheck operation() {
        return [this](const fs::path& path) { paths.push_back(path); };
    }
};

bool make_directory_link(const fs::path& target, const fs::path& link) {
    std::error_code ec;
    fs::create_directory_symlink(target, link, ec);
    return !ec;
}

TransactionResult recover(const Installation& app, RecordingCopy& copy) {
    return recover_interrupted_update(app.root, app.backup, copy.operation(),
                                      PathCheck(&ensure_no_reparse_point));
}

}  // namespace

TEST(Recovery, PreparingIsRolledBackWithoutReadingTheJournal) {
    Installation app;
    fs::remove(app.backup / "files.tsv");
    app.status("PREPARING\n");
    auto before = snapshot(app.temp.path());
    RecordingCopy copy;
    const TransactionResult result = recover(app, copy);
    EXPECT_TRUE(result.rolled_back);
    EXPECT_FALSE(result.committed);
    EXPECT_EQ(result.error, "");
    EXPECT_TRUE(result.failed_restores.empty());
    EXPECT_EQ(app.status(), "ROLLED_BACK\n");
    EXPECT_TRUE(copy.destinations.empty());
    before["app/updates/backup_17356896000000000/transaction.status"] = "ROLLED_BACK\n";
    EXPECT_EQ(snapshot(app.temp.path()), before);
}

TEST(Recovery, RefusesStatesThatAreNotPending) {
    for (const std::string status :
         {"COMMITTED\n", "ROLLED_BACK\n", "", "UNKNOWN\n", "applying\n", "APPLYING \n",
          "\nAPPLYING\n"}) {
        SCOPED_TRACE(status);
        Installation app;
        app.status(status);
        const auto before = snapshot(app.temp.path());
        RecordingCopy copy;
        const TransactionResult result = recover(app, copy);
        EXPECT_FALSE(result.rolled_back);
        EXPECT_EQ(result.error, "transaction is not pending recovery");
        EXPECT_EQ(snapshot(app.temp.path()), before);
    }
}

TEST(Recovery, UndoesTheJournalFromItsLastLine) {
    for (const std::string status : {"APPLYING\n", "RECOVERY_REQUIRED\n"}) {
        SCOPED_TRACE(status);
        Installation app;
        app.status(status);
        RecordingCopy copy;
        RecordingCheck check;
        const TransactionResult result =
            recover_interrupted_update(app.root, app.backup, copy.operation(), check.operation());
        EXPECT_TRUE(result.rolled_back);
        EXPECT_EQ(result.error, "");
        EXPECT_TRUE(result.failed_restores.empty());
        EXPECT_EQ(app.status(), "ROLLED_BACK\n");
        app.expect_old_version();
        EXPECT_EQ(read_file(app.backup / "files/bin/a.dll"), "old a");
        EXPECT_EQ(read_file(app.backup / "files.tsv"),
                  "restore\tbin/a.dll\nremove\tplugins/new.dll\nrestore\trelease.json\n");

        const fs::path root = fs::weakly_canonical(app.root);
        const std::vector<fs::path> restored = {root / "release.json", root / "bin/a.dll"};
        EXPECT_EQ(copy.destinations, restored);
        // Each undo step checks its destination first: the last three checks
        // give the order of all steps, removals included.
        ASSERT_GE(check.paths.size(), 3u);
        const std::vector<fs::path> steps(check.paths.end() - 3, check.paths.end());
        const std::vector<fs::path> expected = {root / "release.json", root / "plugins/new.dll",
                                                root / "bin/a.dll"};
        EXPECT_EQ(steps, expected);
    }
}

TEST(Recovery, RemovalsOfFilesAlreadyGoneSucceed) {
    Installation app;
    fs::remove(app.root / "plugins/new.dll");
    app.journal("remove\tplugins/new.dll\nremove\tnever/created.dll\nremove\tgone.txt");
    RecordingCopy copy;
    const TransactionResult result = recover(app, copy);
    EXPECT_TRUE(result.rolled_back);
    EXPECT_EQ(result.error, "");
    EXPECT_EQ(app.status(), "ROLLED_BACK\n");
    EXPECT_TRUE(copy.destinations.empty());
    EXPECT_FALSE(fs::exists(app.root / "never"));
}

TEST(Recovery, RefusesInvalidInputBeforeChangingAnything) {
    struct Case {
        const char* name;
        std::string journal;  // between a valid first and a valid last line
        std::string error;
    };
    // A path with a root directory but no drive is absolute on POSIX only.
    const std::string rooted_error = fs::path("/x").is_absolute()
                                         ? "invalid recovery entry"
                                         : "recovery destination escapes installation";
    std::vector<Case> cases = {
        {"protected path", "remove\tconfig/app.json\n", "invalid recovery entry"},
        {"protected directory any case", "remove\tUpdates/x.dll\n", "invalid recovery entry"},
        {"upper-case kind", "Restore\tbin/a.dll\n", "invalid recovery entry"},
        {"unknown kind", "replace\tbin/a.dll\n", "invalid recovery entry"},
        {"empty kind", "\tbin/a.dll\n", "invalid recovery entry"},
        {"empty path", "remove\t\n", "invalid recovery entry"},
        {"kind with carriage return", "remove\r\tbin/x.dll\n", "invalid recovery entry"},
        {"rooted path", "remove\t/etc/x.dll\n", rooted_error},
        {"parent element", "remove\t../x.dll\n", "recovery path traversal"},
        {"dot element", "remove\ta/./b.dll\n", "recovery path traversal"},
        {"trailing parent", "remove\tbin/..\n", "recovery path traversal"},
        {"missing original", "restore\tbin/missing.dll\n", "missing recovery original"},
        {"original is a directory", "restore\tbin\n", "missing recovery original"},
        {"line without tab", "remove plugins/new.dll\n", "invalid recovery journal"},
        {"empty line", "\n", "invalid recovery journal"},
    };
    if (fs::path("C:x").has_root_name()) {
        cases.push_back({"drive-relative path", "remove\tC:x.dll\n", "invalid recovery entry"});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Installation app;
        fs::create_directories(app.backup / "files/bin");
        app.journal("restore\tbin/a.dll\n" + c.journal + "restore\trelease.json\n");
        const auto before = snapshot(app.temp.path());
        RecordingCopy copy;
        const TransactionResult result = recover(app, copy);
        EXPECT_FALSE(result.rolled_back);
        EXPECT_EQ(result.error, c.error);
        EXPECT_TRUE(result.failed_restores.empty());
        EXPECT_TRUE(copy.destinations.empty());
        EXPECT_EQ(snapshot(app.temp.path()), before);
    }
}

TEST(Recovery, RefusesBadJournalsAndLocations) {
    struct Case {
        const char* name;
        void (*prepare)(Installation&);
        std::string error;
    };
    const Case cases[] = {
        {"no journal", [](Installation& app) { fs::remove(app.backup / "files.tsv"); },
         "missing recovery journal"},
        {"empty journal", [](Installation& app) { app.journal(""); },
         "empty or unreadable recovery journal"},
        {"installation is a file",
         [](Installation& app) {
             fs::rename(app.root, app.temp / "moved");
             write_file(app.root, "not a directory");
         },
         "invalid recovery location"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Installation app;
        c.prepare(app);
        const auto before = snapshot(app.temp.path());
        RecordingCopy copy;
        const TransactionResult result = recover(app, copy);
        EXPECT_FALSE(result.rolled_back);
        EXPECT_EQ(result.error, c.error);
        EXPECT_EQ(snapshot(app.temp.path()), before);
    }

    // A backup directory that is the updates directory itself, or lies beside it.
    Installation app;
    fs::create_directories(app.temp / "elsewhere");
    fs::copy(app.backup, app.temp / "elsewhere/backup_1", fs::copy_options::recursive);
    write_file(app.temp / "elsewhere/backup_1/transaction.status", "APPLYING\n");
    write_file(app.root / "updates/transaction.status", "APPLYING\n");
    write_file(app.root / "updates/files.tsv", "restore\tbin/a.dll\n");
    const auto before = snapshot(app.temp.path());
    for (const fs::path& backup :
         {app.root / "updates", app.temp / "elsewhere/backup_1", app.root / "backup_1"}) {
        SCOPED_TRACE(backup.string());
        RecordingCopy copy;
        const TransactionResult result = recover_interrupted_update(
            app.root, backup, copy.operation(), PathCheck(&ensure_no_reparse_point));
        EXPECT_FALSE(result.rolled_back);
        EXPECT_EQ(result.error, "invalid recovery location");
        EXPECT_EQ(snapshot(app.temp.path()), before);
    }
    // Lying deeper below updates is allowed.
    fs::create_directories(app.root / "updates/old");
    fs::rename(app.backup, app.root / "updates/old/backup_2");
    RecordingCopy copy;
    EXPECT_TRUE(recover_interrupted_update(app.root, app.root / "updates/old/backup_2",
                                           copy.operation(), PathCheck(&ensure_no_reparse_point))
                    .rolled_back);
    app.expect_old_version();
}

TEST(Recovery, RefusesInvalidUtf8InAPath) {
    Installation app;
    app.journal("restore\tbin/a.dll\nremove\tplugins/\xff\xfe.dll\nrestore\trelease.json\n");
    const auto before = snapshot(app.temp.path());
    RecordingCopy copy;
    const TransactionResult result = recover(app, copy);
    EXPECT_FALSE(result.rolled_back);
    EXPECT_NE(result.error, "");
    EXPECT_TRUE(copy.destinations.empty());
    EXPECT_EQ(snapshot(app.temp.path()), before);
}

TEST(Recovery, RestoresNonAsciiPaths) {
    Installation app;
    write_file(app.root / fs::u8path("插件/模块.dll"), "new module");
    write_file(app.backup / fs::u8path("files/插件/模块.dll"), "old module");
    app.journal("restore\t插件/模块.dll\nremove\tplugins/new.dll\n");
    RecordingCopy copy;
    const TransactionResult result = recover(app, copy);
    EXPECT_TRUE(result.rolled_back) << result.error;
    EXPECT_EQ(read_file(app.root / fs::u8path("插件/模块.dll")), "old module");
}

TEST(Recovery, RefusesLinksOnTheWayBeforeUndoingAnything) {
    Installation app;
    write_file(app.temp / "outside/new.dll", "outside");
    fs::remove_all(app.root / "plugins");
    if (!make_directory_link(app.temp / "outside", app.root / "plugins")) {
        GTEST_SKIP() << "symbolic links cannot be made here";
    }
    const auto before = snapshot(app.temp.path());
    RecordingCopy copy;
    const TransactionResult result = recover(app, copy);
    EXPECT_FALSE(result.rolled_back);
    EXPECT_EQ(result.error, "update path contains a reparse point");
    EXPECT_TRUE(copy.destinations.empty());
    EXPECT_EQ(snapshot(app.temp.path()), before);

    // With a check that lets links pass, the canonical destination still has
    // to lie inside the installation.
    RecordingCheck permissive;
    const TransactionResult escaped = recover_interrupted_update(
        app.root, app.backup, copy.operation(), permissive.operation());
    EXPECT_EQ(escaped.error, "recovery destination escapes installation");
    EXPECT_TRUE(copy.destinations.empty());
    EXPECT_EQ(snapshot(app.temp.path()), before);
}

TEST(Recovery, RefusesALinkedInstallationOrBackup) {
    Installation app;
    if (!make_directory_link(app.root, app.temp / "linked")) {
        GTEST_SKIP() << "symbolic links cannot be made here";
    }
    const auto before = snapshot(app.temp.path());
    for (const auto& [root, backup] :
         {std::pair{app.temp / "linked", app.temp / "linked/updates/backup_17356896000000000"},
          std::pair{app.root, app.temp / "linked/updates/backup_17356896000000000"}}) {
        RecordingCopy copy;
        const TransactionResult result = recover_interrupted_update(
            root, backup, copy.operation(), PathCheck(&ensure_no_reparse_point));
        EXPECT_EQ(result.error, "update path contains a reparse point");
        EXPECT_EQ(snapshot(app.temp.path()), before);
    }
}

TEST(Recovery, OneFileThatCannotBeRestoredLeavesRecoveryRequired) {
    Installation app;
    RecordingCopy copy;
    const fs::path root = fs::weakly_canonical(app.root);
    copy.failing.insert(root / "bin/a.dll");
    const TransactionResult result = recover(app, copy);
    EXPECT_FALSE(result.rolled_back);
    EXPECT_FALSE(result.committed);
    EXPECT_EQ(result.error, "");
    EXPECT_EQ(result.failed_restores, std::vector<fs::path>{"bin/a.dll"});
    EXPECT_EQ(app.status(), "RECOVERY_REQUIRED\n");
    EXPECT_EQ(read_file(app.root / "release.json"), "old release");
    EXPECT_FALSE(fs::exists(app.root / "plugins/new.dll"));
    EXPECT_EQ(read_file(app.root / "bin/a.dll"), "new a");

    copy.failing.clear();
    const TransactionResult again = recover(app, copy);
    EXPECT_TRUE(again.rolled_back);
    EXPECT_TRUE(again.failed_restores.empty());
    EXPECT_EQ(app.status(), "ROLLED_BACK\n");
    app.expect_old_version();
}

TEST(Recovery, RunsAgainOnceARealObstacleIsGone) {
    Installation app;
    // The update had replaced bin/a.dll by a directory of that name, and a
    // whole directory the old version had is gone.
    fs::remove(app.root / "bin/a.dll");
    write_file(app.root / "bin/a.dll/inner.txt", "in the way");
    write_file(app.backup / "files/tools/t.exe", "old tool");
    app.journal("restore\tbin/a.dll\nremove\tplugins/new.dll\nrestore\ttools/t.exe\n"
                "restore\trelease.json\n");
    const CopyOperation plain_copy = [](const fs::path& source, const fs::path& destination) {
        copy_over(source, destination);
    };
    const PathCheck check(&ensure_no_reparse_point);
    const TransactionResult first =
        recover_interrupted_update(app.root, app.backup, plain_copy, check);
    EXPECT_FALSE(first.rolled_back);
    EXPECT_EQ(first.error, "");
    const std::vector<fs::path> failed = {"tools/t.exe", "bin/a.dll"};
    EXPECT_EQ(first.failed_restores, failed);
    EXPECT_EQ(app.status(), "RECOVERY_REQUIRED\n");
    EXPECT_FALSE(fs::exists(app.root / "tools")) << "recovery creates no directory";

    fs::remove_all(app.root / "bin/a.dll");
    fs::create_directory(app.root / "tools");
    const TransactionResult second =
        recover_interrupted_update(app.root, app.backup, plain_copy, check);
    EXPECT_TRUE(second.rolled_back);
    EXPECT_EQ(app.status(), "ROLLED_BACK\n");
    app.expect_old_version();
    EXPECT_EQ(read_file(app.root / "tools/t.exe"), "old tool");
}

TEST(Recovery, ARestoreThatCannotBeFlushedIsAFailedStep) {
    Installation app;
    const fs::path root = fs::weakly_canonical(app.root);
    // Reports success without leaving a file behind to flush.
    const CopyOperation vanishing = [&](const fs::path& source, const fs::path& destination) {
        copy_over(source, destination);
        if (destination == root / "release.json") fs::remove(destination);
    };
    const TransactionResult result = recover_interrupted_update(
        app.root, app.backup, vanishing, PathCheck(&ensure_no_reparse_point));
    EXPECT_FALSE(result.rolled_back);
    EXPECT_EQ(result.failed_restores, std::vector<fs::path>{"release.json"});
    EXPECT_EQ(app.status(), "RECOVERY_REQUIRED\n");
}

TEST(Recovery, AFinalStatusThatCannotBeWrittenIsNoRecovery) {
    Installation app;
    // Once the undo has started the status file is replaced by a directory.
    const CopyOperation copy = [&](const fs::path& source, const fs::path& destination) {
        copy_over(source, destination);
        fs::remove(app.backup / "transaction.status");
        fs::create_directories(app.backup / "transaction.status");
    };
    const TransactionResult result = recover_interrupted_update(
        app.root, app.backup, copy, PathCheck(&ensure_no_reparse_point));
    EXPECT_FALSE(result.rolled_back);
    EXPECT_EQ(result.error, "cannot persist update transaction status");
    EXPECT_TRUE(result.failed_restores.empty());
    app.expect_old_version();
}
