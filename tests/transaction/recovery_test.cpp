#include "transaction/recovery.h"

#include "test_support.h"

namespace {

const std::string kJournal = "restore\tbin/a.dll\nremove\tplugins/new.dll\nrestore\trelease.json\n";

std::string between_valid_lines(const std::string& line) {
    return "restore\tbin/a.dll\n" + line + "restore\trelease.json\n";
}

// Half way through an update of bin/a.dll, plugins/new.dll and release.json, with user data beside
// it and a hostile backup of settings.json.
struct Interrupted : Sandbox {
    std::vector<fs::path> checked;  // relative to the installation
    FailingCopy copy;
    Interrupted(const std::string& status, const std::string& journal) {
        for (const auto& [name, bytes] :
             std::map<fs::path, std::string>{{"bin/a.dll", "new"},
                                             {"plugins/new.dll", "new"},
                                             {"release.json", "new"},
                                             {"settings.json", "user"},
                                             {"alarm_history/x.db", "user"},
                                             {"updates/backup_1/files/bin/a.dll", "old a"},
                                             {"updates/backup_1/files/release.json", "old release"},
                                             {"updates/backup_1/files/settings.json", "hostile"},
                                             {"updates/backup_1/transaction.status", status}}) {
            write_file(target / name, bytes);
        }
        if (journal != "-") write_file(backup / "files.tsv", journal);
    }
};

}  // namespace

// A refusal comes before anything changes; otherwise the journal is undone from its last line, and
// what is already in place counts as undone. Windows opens the alias rows' names as the protected
// files they alias.
TEST(Recovery, RefusesHostileInputOrUndoesFromTheLastLine) {
    const std::string entry = "invalid recovery entry", journal = "invalid recovery journal",
                      unpersisted = "cannot persist update transaction status";
    const std::string rooted = fs::path("/x").is_absolute()
                                   ? entry
                                   : "recovery destination escapes installation",
                      idle = "transaction is not pending recovery";
    struct Case {
        std::string name, journal, error, status = "APPLYING\n";
        void (*arrange)(Interrupted&) = nullptr;
        std::set<int> failing_copies = {};
        std::vector<fs::path> failed = {};
    };
    std::vector<Case> cases = {
        {"committed", kJournal, idle, "COMMITTED\n"},
        {"status with a space", kJournal, idle, "APPLYING \n"},
        {"backup is updates itself", kJournal, "invalid recovery location", "APPLYING\n",
         [](Interrupted& a) { a.backup = a.target / "updates"; }},
        {"backup beside updates", kJournal, "invalid recovery location", "APPLYING\n",
         [](Interrupted& a) { a.backup = a.target / "backup_1"; }},
        {"no journal", "-", "missing recovery journal"},
        {"empty journal", "", "empty or unreadable recovery journal"},
        {"protected directory in capitals", between_valid_lines("remove\tUpdates/x\n"), entry},
        {"upper-case kind", between_valid_lines("Restore\tbin/a.dll\n"), entry},
        {"empty path", between_valid_lines("remove\t\n"), entry},
        {"rooted path", between_valid_lines("remove\t/etc/x.dll\n"), rooted},
        {"parent element", between_valid_lines("remove\t../x.dll\n"), "recovery path traversal"},
        {"missing original", between_valid_lines("restore\tbin/gone.dll\n"),
         "missing recovery original"},
        {"original is a directory", between_valid_lines("restore\tbin\n"),
         "missing recovery original"},
        {"line without tab", between_valid_lines("remove plugins/new.dll\n"), journal},
        {"empty line", between_valid_lines("\n"), journal},
        {"NUL inside the path", between_valid_lines(std::string("restore\tsettings.json\0x\n", 24)),
         journal},
        {"carriage return ending the path", between_valid_lines("remove\tplugins/new.dll\r\n"),
         journal},
        {"second tab", between_valid_lines("remove\tbin/x\t.dll\n"), journal},
        {"escape character", between_valid_lines("remove\tbin/\x1b.dll\n"), journal},
        {"last line cut short", "restore\tbin/a.dll\nremove\tplugins/new.d", journal},
        {"stream name", between_valid_lines("restore\tconfig::$INDEX_ALLOCATION/app.xml\n"),
         journal},
        {"destination with a second link", kJournal, "recovery destination has more than one link",
         "APPLYING\n",
         [](Interrupted& a) {
             fs::remove(a.target / "bin/a.dll"),
                 fs::create_hard_link(a.target / "settings.json", a.target / "bin/a.dll");
         }},
        {"path not UTF-8", between_valid_lines("remove\tbin/\xff.dll\n"), "*"},
        {"overlong NUL", between_valid_lines("restore\tsettings.json\xc0\x80x\n"), "*"},
        {"surrogate", between_valid_lines("remove\tbin/\xed\xa0\x80.dll\n"), "*"},
        {"applying", kJournal, ""},
        {"recovery required", kJournal, "", "RECOVERY_REQUIRED\n"},
        {"preparing, no journal", "-", "", "PREPARING\n"},
        {"paths that cannot exist",
         "remove\tgone.dll\nremove\tnever/made.dll\nremove\tfile/b.txt\n", "", "APPLYING\n",
         [](Interrupted& a) { write_file(a.target / "file", "x"); }},
        {"old bytes in place, copy refused",
         kJournal,
         "",
         "APPLYING\n",
         [](Interrupted& a) { write_file(a.target / "bin/a.dll", "old a"); },
         {2}},
        {"new bytes in place, copy refused",
         kJournal,
         "",
         "APPLYING\n",
         nullptr,
         {2},
         {"bin/a.dll"}},
        {"restore into a directory that is gone", kJournal, "", "APPLYING\n",
         [](Interrupted& a) { fs::remove_all(a.target / "bin"); }},
        {"final status cannot be written", kJournal, unpersisted, "APPLYING\n",
         [](Interrupted& a) { write_file(a.backup / "transaction.status.tmp/x", ""); }},
    };
    const Interrupted names("", "");
    const std::string settings = short_name(names.target / "settings.json", ""),
                      history = short_name(names.target / "alarm_history", "");
    for (const std::string& alias : std::vector<std::string>{
             "settings.json.", "settings.json ", settings, "alarm_history./x.db",
             "alarm_history /x.db", history + "/x.db"}) {
        if (kWindowsNames)
            cases.push_back(
                {"alias " + alias, between_valid_lines("restore\t" + alias + "\n"), entry});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Interrupted app(c.status, c.journal);
        if (c.arrange) c.arrange(app);
        app.copy.fail_calls = c.failing_copies;
        app.copy.leave_partial = false;
        const auto before = snapshot(app.path);
        const auto check = [&app](const fs::path& path) {
            app.checked.push_back(path.lexically_relative(app.target));
        };
        const TransactionResult result =
            recover_interrupted_update(app.target, app.backup, app.copy.operation(), check);
        EXPECT_EQ(std::pair(result.rolled_back, result.failed_restores),
                  std::pair(c.failed.empty() && c.error.empty(), c.failed));
        EXPECT_TRUE(c.error == "*" ? !result.error.empty() : result.error == c.error)
            << result.error;
        if (!c.error.empty() && c.error != unpersisted) {
            EXPECT_EQ(std::pair(snapshot(app.path), app.copy.calls), std::pair(before, 0));
            continue;
        }
        EXPECT_EQ(read_file(app.backup / "transaction.status"), !c.error.empty() ? c.status
                                                                : c.failed.empty()
                                                                    ? "ROLLED_BACK\n"
                                                                    : "RECOVERY_REQUIRED\n");
        EXPECT_EQ(read_file(app.target / "settings.json"), "user");
        if (c.journal != kJournal) continue;
        EXPECT_EQ(read_file(app.target / "release.json") +
                      std::to_string(fs::exists(app.target / "plugins/new.dll")),
                  "old release0");
        EXPECT_EQ(read_file(app.target / "bin/a.dll") == "old a", c.failed.empty());
        const auto& checks =
            app.checked;  // the undo steps, each checking its destination, come last
        EXPECT_EQ(std::vector<fs::path>(checks.end() - std::min<std::size_t>(3, checks.size()),
                                        checks.end()),
                  (std::vector<fs::path>{"release.json", "plugins/new.dll", "bin/a.dll"}));
    }
}
