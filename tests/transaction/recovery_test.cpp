#include "transaction/recovery.h"

#include "test_support.h"

namespace {

// The journal of an update of bin/a.dll, plugins/new.dll and release.json, or of other lines
// between the first and the last.
std::string journal(const std::string& middle = "remove\tplugins/new.dll\n") {
    return "restore\tbin/a.dll\n" + middle + "restore\trelease.json\n";
}

// Half way through that update, with user data beside it and a hostile backup of settings.json.
struct Interrupted : Sandbox {
    std::vector<fs::path> checked;  // relative to the installation
    FailingCopy copy;
    Interrupted(const std::string& status, const std::string& journal) {
        for (const auto& [name, bytes] : std::map<fs::path, std::string>{
                 {"bin/a.dll", "new"},
                 {"plugins/new.dll", "new"},
                 {"release.json", "new"},
                 {"settings.json", "user"},
                 {"alarm_history/x.db", "user"},
                 {"updates/backup_1/files/bin/a.dll", "old a"},
                 {"updates/backup_1/files/release.json", "old release"},
                 {"updates/backup_1/files/settings.json", "hostile"},
                 {"updates/backup_1/transaction.status", status + "\n"}})
            write_file(target / name, bytes);
        if (journal != "-") write_file(backup / "files.tsv", journal);
        copy.leave_partial = false;
    }
};

}  // namespace

// A refusal comes before anything changes; otherwise the journal is undone from its last line, and
// what is already in place counts as undone. Windows opens the alias rows' names as the protected
// files they alias.
TEST(Recovery, RefusesHostileInputOrUndoesFromTheLastLine) {
    const std::string entry = "invalid recovery entry", bad = "invalid recovery journal",
                      location = "invalid recovery location",
                      idle =
                          "transaction is not pending "
                          "recovery",
                      unpersisted = "cannot persist update transaction status",
                      rooted = kWindowsNames ? "recovery destination escapes installation" : entry;
    struct Case {
        std::string name, journal, error, status = "APPLYING";  // journal "-": none; error "*": any
        void (*arrange)(Interrupted&) = nullptr;
        bool a_not_restored = false;
    };
    std::vector<Case> cases = {
        {"committed", journal(), idle, "COMMITTED"},
        {"status with a space", journal(), idle, "APPLYING "},
        {"backup is updates", journal(), location, "APPLYING",
         [](Interrupted& a) { a.backup = a.target / "updates"; }},
        {"backup beside updates", journal(), location, "APPLYING",
         [](Interrupted& a) { a.backup = a.target / "backup_1"; }},
        {"no journal", "-", "missing recovery journal"},
        {"empty journal", "", "empty or unreadable recovery journal"},
        {"protected folder in capitals", journal("remove\tUpdates/x\n"), entry},
        {"upper-case kind", journal("Restore\tbin/a.dll\n"), entry},
        {"empty path", journal("remove\t\n"), entry},
        {"rooted path", journal("remove\t/etc/x.dll\n"), rooted},
        {"parent element", journal("remove\t../x.dll\n"), "recovery path traversal"},
        {"missing original", journal("restore\tbin/gone.dll\n"), "missing recovery original"},
        {"original is a folder", journal("restore\tbin\n"), "missing recovery original"},
        {"line without tab", journal("remove plugins/new.dll\n"), bad},
        {"empty line", journal("\n"), bad},
        {"NUL in the path", journal(std::string("restore\tsettings.json\0x\n", 24)), bad},
        {"carriage return ending the path", journal("remove\tplugins/new.dll\r\n"), bad},
        {"second tab", journal("remove\tbin/x\t.dll\n"), bad},
        {"escape character", journal("remove\tbin/\x1b.dll\n"), bad},
        {"path not UTF-8", journal("remove\tbin/\xff.dll\n"), "*"},
        {"overlong NUL", journal("restore\tsettings.json\xc0\x80x\n"), "*"},
        {"surrogate", journal("remove\tbin/\xed\xa0\x80.dll\n"), "*"},
        {"applying", journal(), ""},
        {"recovery required", journal(), "", "RECOVERY_REQUIRED"},
        {"preparing, no journal", "-", "", "PREPARING"},
        {"paths that cannot exist",
         "remove\tgone.dll\nremove\tnever/made.dll\nremove\tfile/b.txt\n", "", "APPLYING",
         [](Interrupted& a) { write_file(a.target / "file", "x"); }},
        {"old bytes in place, copy refused", journal(), "", "APPLYING",
         [](Interrupted& a) {
             write_file(a.target / "bin/a.dll", "old a"), a.copy.fail_calls = {2};
         }},
        {"new bytes in place, copy refused", journal(), "", "APPLYING",
         [](Interrupted& a) { a.copy.fail_calls = {2}; }, true},
        {"restore into a folder that is gone", journal(), "", "APPLYING",
         [](Interrupted& a) { fs::remove_all(a.target / "bin"); }, true},
        {"final status cannot be written", journal(), unpersisted, "APPLYING",
         [](Interrupted& a) { write_file(a.backup / "transaction.status.tmp/x", ""); }},
    };
    const Interrupted names("", "");
    for (const std::string& alias :
         {std::string("settings.json."), std::string("settings.json "),
          short_name(names.target / "settings.json", ""), std::string("alarm_history./x.db"),
          std::string("alarm_history /x.db"),
          short_name(names.target / "alarm_history", "") + "/x.db"}) {
        if (kWindowsNames)
            cases.push_back({"alias " + alias, journal("restore\t" + alias + "\n"), entry});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Interrupted app(c.status, c.journal);
        if (c.arrange) c.arrange(app);
        const auto before = snapshot(app.path);
        const TransactionResult result = recover_interrupted_update(
            app.target, app.backup, app.copy.operation(), [&app](const fs::path& path) {
                app.checked.push_back(path.lexically_relative(app.target));
            });
        EXPECT_EQ(std::pair(result.rolled_back, result.failed_restores),
                  std::pair(!c.a_not_restored && c.error.empty(),
                            std::vector<fs::path>(c.a_not_restored, "bin/a.dll")));
        EXPECT_TRUE(c.error == "*" ? !result.error.empty() : result.error == c.error)
            << result.error;
        if (!c.error.empty() && c.error != unpersisted) {
            EXPECT_EQ(std::pair(snapshot(app.path), app.copy.calls), std::pair(before, 0));
            continue;
        }
        EXPECT_EQ(read_file(app.backup / "transaction.status"),
                  (!c.error.empty()   ? c.status
                   : c.a_not_restored ? "RECOVERY_REQUIRED"
                                      : "ROLLED_BACK") +
                      "\n");
        EXPECT_EQ(read_file(app.target / "settings.json"), "user");
        if (c.journal != journal()) continue;
        EXPECT_EQ(read_file(app.target / "release.json") +
                      std::to_string(fs::exists(app.target / "plugins/new.dll")),
                  "old release0");
        EXPECT_EQ(read_file(app.target / "bin/a.dll") == "old a", !c.a_not_restored);
        // the undo steps, each checking its destination, come last
        const auto& checks = app.checked;
        EXPECT_EQ(std::vector<fs::path>(checks.end() - std::min<std::size_t>(3, checks.size()),
                                        checks.end()),
                  (std::vector<fs::path>{"release.json", "plugins/new.dll", "bin/a.dll"}));
    }
}
