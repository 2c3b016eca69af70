#include "transaction/install_set.h"

#include <gtest/gtest.h>

#include "transaction/transaction_doubles.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace fs = std::filesystem;

namespace {

const PathCheck accept_all = [](const fs::path&) {};
const PathCheck no_links = ensure_no_reparse_point;

struct Dirs {
    TempDir temp;
    fs::path payload = fs::weakly_canonical(temp / "stage/package");
    fs::path target = fs::weakly_canonical(temp / "install");
    fs::path backup = target / "updates/backup_1";
    Dirs() {
        write_file(payload / "bin/tool.exe", "new");
        fs::create_directories(target);
    }
    std::string failure(const PathCheck& check) const {
        try {
            collect_install_set(payload, target, backup, check);
        } catch (const std::exception& error) {
            return error.what();
        }
        return "";
    }
};

std::vector<std::string> paths(const std::vector<InstallEntry>& entries) {
    std::vector<std::string> out;
    for (const InstallEntry& entry : entries) out.push_back(entry.relative_path.generic_u8string() + (entry.existed ? "*" : ""));
    return out;
}


}  // namespace

TEST(InstallOrder, ManifestLastEverythingElseByPath) {
    for (const std::vector<std::string>& expected :
         {std::vector<std::string>{"B.txt", "a/x.dll", "a.dll", "b/c/d.txt", "bin.dat", "release.json"},
          std::vector<std::string>{"Zeta.dll", "sub/release.json", "sub/zz.dll", "Release.JSON"}}) {
        std::vector<InstallEntry> entries;
        for (auto name = expected.rbegin(); name != expected.rend(); ++name) entries.push_back({*name, false});
        std::sort(entries.begin(), entries.end(), install_order_less);
        EXPECT_EQ(paths(entries), expected);
    }
}

TEST(CollectInstallSet, LeavesOutProtectedPathsAndTheirAliases) {
    Dirs dirs;
    for (const char* name : {"a.dll", "settings.json", "alarm_history/x.db"}) write_file(dirs.target / name, "old");
    const std::string aliases[] = {short_name(dirs.target / "settings.json", "SETTIN~1.JSO"),
                                   short_name(dirs.target / "alarm_history", "ALARM_~1") + "/x.db"};
    // Settings.JSON stays out: in one directory it would own the same short name.
    for (const std::string& name : {std::string("a.dll"), std::string("release.json"), std::string("config/app.xml"),
                                    std::string("station.ini"), aliases[0], aliases[1]}) {
        write_file(dirs.payload / fs::u8path(name), "new");
    }
    fs::create_directories(dirs.payload / "empty/dir");
    const InstallSet set = collect_install_set(dirs.payload, dirs.target, dirs.backup, no_links);
    std::vector<std::string> expected = {"a.dll*", "bin/tool.exe", "release.json"};
    if (!kWindowsNames) {  // there these are names of their own
        expected.insert(expected.begin(), {"ALARM_~1/x.db", "SETTIN~1.JSO"});
    }
    EXPECT_EQ(paths(set.entries), expected);
    EXPECT_EQ(set.target, dirs.target);
}

TEST(CollectInstallSet, RefusesUnsafeDirectoryCombinations) {
    const std::vector<void (*)(Dirs&)> cases = {
        [](Dirs& d) { d.payload = d.temp / "missing"; },
        [](Dirs& d) { d.target = d.temp / "missing"; d.backup = d.target / "updates/b"; },
        [](Dirs& d) { d.target = d.target.root_path(); d.backup = d.target / "updates/backup_1"; },
        [](Dirs& d) { d.payload = d.target; },
        [](Dirs& d) { d.payload = d.target / "stage"; fs::create_directories(d.payload); },
        [](Dirs& d) { d.target = d.payload / "inst"; fs::create_directories(d.target); d.backup = d.target / "updates/b"; },
        [](Dirs& d) { d.backup = d.target / "backup_1"; },
        [](Dirs& d) { d.backup = d.target / "updates"; },
        [](Dirs& d) { fs::create_directories(d.backup); },
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        Dirs dirs;
        cases[i](dirs);
        EXPECT_EQ(dirs.failure(accept_all), "unsafe update source/target/backup paths") << "row " << i;
    }
}

TEST(CollectInstallSet, RefusesLinksSpecialFilesAndBadDestinations) {
    struct Case {
        const char* name;
        void (*arrange)(Dirs&);
        const PathCheck& check;
        const char* error;
    };
    const auto link_in_payload = [](Dirs& d) { fs::create_symlink(d.temp / "stage", d.payload / "lnk"); };
    const auto linked_destination = [](Dirs& d) {
        fs::create_directories(d.temp / "outside");
        fs::create_symlink(d.temp / "outside", d.target / "bin");
    };
    const Case cases[] = {
        {"link in payload, checked", link_in_payload, no_links, "update path contains a reparse point"},
        {"link in payload", link_in_payload, accept_all, "package contains a link"},
#ifndef _WIN32
        {"fifo in payload", [](Dirs& d) { ::mkfifo((d.payload / "pipe").c_str(), 0600); }, no_links,
         "package contains a special file"},
#endif
        {"destination through a link, checked", linked_destination, no_links, "update path contains a reparse point"},
        {"destination through a link", linked_destination, accept_all, "destination escapes installation"},
        {"destination is a directory", [](Dirs& d) { fs::create_directories(d.target / "bin/tool.exe"); }, no_links,
         "destination is not a regular file"},
        {"only protected files", [](Dirs& d) { fs::remove_all(d.payload / "bin"); write_file(d.payload / "logs/x", "x"); },
         no_links, "empty update payload"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Dirs dirs;
        try {
            c.arrange(dirs);
        } catch (const fs::filesystem_error&) {
            continue;  // no symbolic links here (Wine)
        }
        EXPECT_EQ(dirs.failure(c.check), c.error);
        EXPECT_FALSE(fs::exists(dirs.backup));
    }
}

TEST(CollectInstallSet, ChecksTheGivenPathsThenEveryEntryAndDestination) {
    Dirs dirs;
    EventLog log;
    RecordingCheck check{log};
    collect_install_set(dirs.payload, dirs.target, dirs.backup, check.operation());
    std::vector<fs::path> checked;
    for (const Event& event : log) checked.push_back(event.first);
    EXPECT_EQ(checked, (std::vector<fs::path>{dirs.payload, dirs.target, dirs.backup, dirs.payload / "bin",
                                              dirs.payload / "bin/tool.exe", dirs.target / "bin/tool.exe"}));
}
