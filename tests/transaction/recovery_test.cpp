#include "transaction/recovery.h"

#include <gtest/gtest.h>

#include "transaction/transaction_doubles.h"


namespace fs = std::filesystem;

namespace {

const std::string kJournal = "restore\tbin/a.dll\nremove\tplugins/new.dll\nrestore\trelease.json\n";

// Half way through an update of bin/a.dll, plugins/new.dll and release.json,
// with user data beside it and a hostile backup of settings.json.
struct Installation {
    TempDir temp;
    fs::path root = fs::weakly_canonical(temp / "app");
    fs::path backup = root / "updates/backup_1";
    EventLog log;
    RecordingCopy copy{log, {}};

    Installation(const std::string& status, const std::string& journal) {
        for (const char* name : {"bin/a.dll", "plugins/new.dll", "release.json"}) write_file(root / name, "new");
        write_file(root / "settings.json", "user");
        write_file(root / "alarm_history/x.db", "user");
        write_file(backup / "files/bin/a.dll", "old a");
        write_file(backup / "files/release.json", "old release");
        write_file(backup / "files/settings.json", "hostile");
        write_file(backup / "transaction.status", status);
        if (journal != "-") write_file(backup / "files.tsv", journal);
    }
    TransactionResult recover(const fs::path& backup_directory) {
        return recover_interrupted_update(root, backup_directory, copy.operation(), ensure_no_reparse_point);
    }
    std::string status() const { return read_file(backup / "transaction.status"); }
};

std::string between_valid_lines(const std::string& line) { return "restore\tbin/a.dll\n" + line + "restore\trelease.json\n"; }


}  // namespace

TEST(Recovery, RefusesHostileInputBeforeChangingAnything) {
    const std::string entry = "invalid recovery entry", journal = "invalid recovery journal";
    const std::string rooted = fs::path("/x").is_absolute() ? entry : "recovery destination escapes installation";
    struct Case {
        const char* name;
        std::string status, journal, error, backup = "updates/backup_1";
    };
    const Case cases[] = {
        {"committed", "COMMITTED\n", kJournal, "transaction is not pending recovery"},
        {"empty status", "", kJournal, "transaction is not pending recovery"},
        {"status with a space", "APPLYING \n", kJournal, "transaction is not pending recovery"},
        {"backup is updates itself", "APPLYING\n", kJournal, "invalid recovery location", "updates"},
        {"backup beside updates", "APPLYING\n", kJournal, "invalid recovery location", "backup_1"},
        {"no journal", "APPLYING\n", "-", "missing recovery journal"},
        {"empty journal", "APPLYING\n", "", "empty or unreadable recovery journal"},
        {"protected path", "APPLYING\n", between_valid_lines("remove\tconfig/app.json\n"), entry},
        {"protected directory in capitals", "APPLYING\n", between_valid_lines("remove\tUpdates/x\n"), entry},
        {"upper-case kind", "APPLYING\n", between_valid_lines("Restore\tbin/a.dll\n"), entry},
        {"empty path", "APPLYING\n", between_valid_lines("remove\t\n"), entry},
        {"rooted path", "APPLYING\n", between_valid_lines("remove\t/etc/x.dll\n"), rooted},
        {"parent element", "APPLYING\n", between_valid_lines("remove\t../x.dll\n"), "recovery path traversal"},
        {"dot element", "APPLYING\n", between_valid_lines("remove\ta/./b.dll\n"), "recovery path traversal"},
        {"missing original", "APPLYING\n", between_valid_lines("restore\tbin/gone.dll\n"), "missing recovery original"},
        {"original is a directory", "APPLYING\n", between_valid_lines("restore\tbin\n"), "missing recovery original"},
        {"line without tab", "APPLYING\n", between_valid_lines("remove plugins/new.dll\n"), journal},
        {"empty line", "APPLYING\n", between_valid_lines("\n"), journal},
        {"NUL inside the path", "APPLYING\n", between_valid_lines(std::string("restore\tsettings.json\0x\n", 24)), journal},
        {"carriage return ending the path", "APPLYING\n", between_valid_lines("remove\tplugins/new.dll\r\n"), journal},
        {"carriage return in the kind", "APPLYING\n", between_valid_lines("remove\r\tbin/x.dll\n"), journal},
        {"second tab", "APPLYING\n", between_valid_lines("remove\tbin/x\t.dll\n"), journal},
        {"escape character", "APPLYING\n", between_valid_lines("remove\tbin/\x1b.dll\n"), journal},
        {"path not UTF-8", "APPLYING\n", between_valid_lines("remove\tbin/\xff.dll\n"), "*"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Installation app(c.status, c.journal);
        const auto before = snapshot(app.temp.path());
        const TransactionResult result = app.recover(app.root / c.backup);
        EXPECT_FALSE(result.rolled_back);
        EXPECT_EQ(c.error == "*" ? !result.error.empty() : result.error == c.error, true) << result.error;
        EXPECT_TRUE(result.failed_restores.empty());
        EXPECT_EQ(app.copy.calls, 0);
        EXPECT_EQ(snapshot(app.temp.path()), before);
    }
}

// Windows opens these names as the protected files they alias.
TEST(Recovery, NameAliasesCannotReachProtectedFiles) {
    for (int row = 0; row < 6; ++row) {
        Installation app("APPLYING\n", "");
        const std::string lines[] = {
            "restore\tsettings.json.\n", "remove\tsettings.json \n", "remove\talarm_history./x.db\n",
            "remove\talarm_history /x.db\n",
            "restore\t" + short_name(app.root / "settings.json", "SETTIN~1.JSO") + "\n",
            "remove\t" + short_name(app.root / "alarm_history", "ALARM_~1") + "/x.db\n"};
        SCOPED_TRACE(lines[row]);
        write_file(app.backup / "files.tsv", lines[row]);
        if (lines[row].rfind("restore", 0) == 0) {  // a restore needs its backup
            std::error_code same_file;  // the alias may name the backup itself
            fs::copy_file(app.backup / "files/settings.json", app.backup / "files" / fs::u8path(lines[row].substr(8, lines[row].size() - 9)),
                          fs::copy_options::skip_existing, same_file);
        }
        const TransactionResult result = app.recover(app.backup);
        EXPECT_EQ(read_file(app.root / "settings.json"), "user");
        EXPECT_EQ(read_file(app.root / "alarm_history/x.db"), "user");
        if (kWindowsNames) {
            EXPECT_EQ(result.error, "invalid recovery entry");
        }
    }
}

TEST(Recovery, UndoesFromTheLastLineAndCountsWhatIsAlreadyInPlace) {
    struct Case {
        const char* name;
        std::string status, journal;
        void (*arrange)(const fs::path& root);
        std::set<int> failing_copies;
        std::vector<fs::path> failed;  // empty: "ROLLED_BACK"
    };
    const auto none = [](const fs::path&) {};
    const Case cases[] = {
        {"applying", "APPLYING\n", kJournal, none, {}, {}},
        {"recovery required", "RECOVERY_REQUIRED\n", kJournal, none, {}, {}},
        {"preparing, no journal", "PREPARING\n", "-", none, {}, {}},
        {"paths that cannot exist", "APPLYING\n", "remove\tgone.dll\nremove\tnever/made.dll\nremove\tfile/b.txt\n",
         [](const fs::path& root) { write_file(root / "file", "kept"); }, {}, {}},
        {"old bytes in place, copy refused", "APPLYING\n", kJournal,
         [](const fs::path& root) { write_file(root / "bin/a.dll", "old a"); }, {2}, {}},
        {"new bytes in place, copy refused", "APPLYING\n", kJournal, none, {2}, {"bin/a.dll"}},
        {"restore into a directory that is gone", "APPLYING\n", kJournal,
         [](const fs::path& root) { fs::remove_all(root / "bin"); }, {}, {"bin/a.dll"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Installation app(c.status, c.journal);
        c.arrange(app.root);
        app.copy.fail_calls = c.failing_copies;
        app.copy.leave_partial = false;
        RecordingCheck check{app.log};
        const TransactionResult result =
            recover_interrupted_update(app.root, app.backup, app.copy.operation(), check.operation());
        EXPECT_EQ(result.rolled_back, c.failed.empty());
        EXPECT_EQ(result.error, "");
        EXPECT_EQ(result.failed_restores, c.failed);
        EXPECT_EQ(app.status(), c.failed.empty() ? "ROLLED_BACK\n" : "RECOVERY_REQUIRED\n");
        EXPECT_EQ(read_file(app.root / "settings.json"), "user");
        if (c.journal != kJournal) continue;
        EXPECT_EQ(read_file(app.root / "release.json"), "old release");
        EXPECT_FALSE(fs::exists(app.root / "plugins/new.dll"));
        EXPECT_EQ(read_file(app.root / "bin/a.dll") == "old a", c.failed.empty());
        std::vector<fs::path> steps;  // each undo step checks its destination first
        for (const Event& event : app.log) {
            if (event.kind == "check") steps.push_back(event.first.lexically_relative(app.root));
        }
        steps.erase(steps.begin(), steps.end() - 3);
        EXPECT_EQ(steps, (std::vector<fs::path>{"release.json", "plugins/new.dll", "bin/a.dll"}));
    }
}

TEST(Recovery, AFinalStatusThatCannotBeWrittenIsNoRecovery) {
    Installation app("APPLYING\n", kJournal);
    const CopyOperation copy = [&](const fs::path& source, const fs::path& destination) {
        copy_over(source, destination);
        fs::remove(app.backup / "transaction.status");
        fs::create_directories(app.backup / "transaction.status");
    };
    const TransactionResult result = recover_interrupted_update(app.root, app.backup, copy, ensure_no_reparse_point);
    EXPECT_FALSE(result.rolled_back);
    EXPECT_EQ(result.error, "cannot persist update transaction status");
}
