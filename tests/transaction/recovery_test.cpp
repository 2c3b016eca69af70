#include "transaction/recovery.h"

#include "test_support.h"

namespace {

// The journal of an update of bin/a.dll, plugins/new.dll and release.json, or another middle.
std::string journal(const std::string& middle = "remove\tplugins/new.dll") {
    return "restore\tbin/a.dll\n" + middle + "\nrestore\trelease.json\n";
}

// Half way through that update, with user data and a hostile backup of settings.json.
struct Interrupted : Sandbox {
    std::vector<fs::path> checked;
    FailingCopy copy{{}, false};
    Interrupted(const std::string& status, const std::string& journal) {
        for (const char* name : {"bin/a.dll", "plugins/new.dll", "release.json"})
            write_file(target / name, "new");
        for (const char* name : {"bin/a.dll", "release.json", "settings.json"})
            write_file(backup / "files" / name, name);  // backups hold their own names
        write_file(target / "settings.json", "user");
        write_file(target / "alarm_history/x.db", "user");
        write_file(backup / "transaction.status", status + "\n");
        if (journal != "-") write_file(backup / "files.tsv", journal);
    }
};

}  // namespace

// Refused before anything changes, or undone from the last line; what is in place counts as undone.
TEST(Recovery, RefusesHostileInputOrUndoesFromTheLastLine) {
    const std::string entry = "invalid recovery entry", bad = "invalid recovery journal",
                      location = "invalid recovery location", missing = "missing recovery original",
                      unpersisted = "cannot persist update transaction status";
    struct Case {
        std::string journal, error;  // journal "-": none; error "*": any
        void (*arrange)(Interrupted&) = nullptr;
        std::string status = "APPLYING";
        bool a_not_restored = false;
    };
    std::vector<Case> cases = {
        {journal(), "transaction is not pending recovery", nullptr, "COMMITTED"},
        {journal(), location, [](Interrupted& a) { a.backup = a.target / "updates"; }},
        {journal(), location, [](Interrupted& a) { a.backup = a.target / "backup_1"; }},
        {"-", "missing recovery journal"},
        {"", "empty or unreadable recovery journal"},
        {journal("remove\tUpdates/x"), entry},
        {journal("Restore\tbin/a.dll"), entry},
        {journal("remove\t"), entry},
        {journal("remove\t/etc/x.dll"),
         kWindowsNames ? "recovery destination escapes installation" : entry},
        {journal("remove\t../x.dll"), "recovery path traversal"},
        {journal("restore\tbin/gone.dll"), missing},
        {journal("restore\tbin"), missing},
        {journal(""), bad},
        {journal(std::string("restore\tsettings.json\0x", 23)), bad},
        {journal("remove\tplugins/new.dll\r"), bad},
        {journal("remove\tbin/x\t.dll"), bad},
        {journal("remove\tbin/\x1b.dll"), bad},
        {"restore\tbin/a.dll\nremove\tplugins/new.d", bad},            // last line cut short
        {journal("restore\tconfig::$INDEX_ALLOCATION/app.xml"), bad},  // a stream name
        {journal(), "recovery destination has more than one link",
         [](Interrupted& a) {
             fs::remove(a.target / "bin/a.dll");
             fs::create_hard_link(a.target / "settings.json", a.target / "bin/a.dll");
         }},
        {journal("remove\tbin/\xff.dll"), "*"},             // not UTF-8
        {journal("restore\tsettings.json\xc0\x80x"), "*"},  // an overlong NUL
        {journal("remove\tbin/\xed\xa0\x80.dll"), "*"},     // a surrogate
        {journal(), ""},
        {journal(), "", nullptr, "RECOVERY_REQUIRED"},
        {"-", "", nullptr, "PREPARING"},
        {"remove\tgone.dll\nremove\tnever/made.dll\nremove\tfile/b.txt\n", "",
         [](Interrupted& a) { write_file(a.target / "file", "x"); }},  // paths that cannot exist
        {journal(), "",
         [](Interrupted& a) {
             write_file(a.target / "bin/a.dll", "bin/a.dll"), a.copy.fail = {2};
         }},
        {journal(), "", [](Interrupted& a) { a.copy.fail = {2}; }, "APPLYING", true},
        {journal(), "", [](Interrupted& a) { fs::remove_all(a.target / "bin"); }},
        {journal(), unpersisted,
         [](Interrupted& a) { write_file(a.backup / "transaction.status.tmp/x", ""); }},
    };
    for (const std::string alias : {"settings.json.", "alarm_history /x.db"}) {
        if (kWindowsNames) cases.push_back({journal("restore\t" + alias), entry});
    }
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(i);
        Interrupted app(c.status, c.journal);
        if (c.arrange) c.arrange(app);
        auto tree = snapshot(app.path);  // as a refusal leaves it
        const TransactionResult result = recover_interrupted_update(
            app.target, app.backup, app.copy.operation(), [&app](const fs::path& path) {
                app.checked.push_back(path.lexically_relative(app.target));
            });
        EXPECT_EQ(std::pair(result.rolled_back, result.failed_restores),
                  std::pair(!c.a_not_restored && c.error.empty(),
                            std::vector<fs::path>(c.a_not_restored, "bin/a.dll")));
        EXPECT_TRUE(c.error == "*" ? !result.error.empty() : result.error == c.error)
            << result.error;
        if (c.error.empty()) {
            tree["install/updates/backup_1/transaction.status"] =
                c.a_not_restored ? "RECOVERY_REQUIRED\n" : "ROLLED_BACK\n";
        }
        if ((c.error.empty() || c.error == unpersisted) && c.journal == journal()) {
            tree.erase("install/plugins/new.dll"), tree["install/release.json"] = "release.json";
            if (!c.a_not_restored) tree["install/bin/a.dll"] = "bin/a.dll";
            EXPECT_EQ(std::vector<fs::path>(app.checked.end() - 3, app.checked.end()),
                      (std::vector<fs::path>{"release.json", "plugins/new.dll", "bin/a.dll"}));
        }
        EXPECT_EQ(snapshot(app.path), tree);
    }
}
