#include "transaction/install_set.h"

#include <algorithm>
#include <random>

#include <gtest/gtest.h>

#include "transaction/apply.h"
#include "transaction/transaction_doubles.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace fs = std::filesystem;

namespace {

const PathCheck accept_all = [](const fs::path&) {};
const PathCheck no_links = ensure_no_reparse_point;

// Whether this file system tells names apart by letter case (Windows does not).
bool case_sensitive_names(const fs::path& directory) {
    write_file(directory / "case_probe", "x");
    const bool sensitive = !fs::exists(directory / "CASE_PROBE");
    fs::remove(directory / "case_probe");
    return sensitive;
}

// Whether symbolic links can be made here (not under Wine, for one).
bool can_make_links(const fs::path& directory) {
    std::error_code ec;
    fs::create_directory_symlink(directory, directory / "link_probe", ec);
    if (ec) return false;
    fs::remove(directory / "link_probe");
    return true;
}

struct Dirs {
    TempDir temp;
    fs::path payload = fs::weakly_canonical(temp / "stage/package");
    fs::path target = fs::weakly_canonical(temp / "install");
    fs::path backup = target / "updates/backup_1";
    Dirs() {
        fs::create_directories(payload);
        fs::create_directories(target);
    }
};

std::vector<std::string> relative_paths(const InstallSet& set) {
    std::vector<std::string> paths;
    for (const InstallEntry& entry : set.entries) paths.push_back(entry.relative_path.generic_string());
    return paths;
}

std::string failure(const Dirs& dirs, const PathCheck& check) {
    try {
        collect_install_set(dirs.payload, dirs.target, dirs.backup, check);
    } catch (const std::exception& error) {
        return error.what();
    }
    return "";
}

}  // namespace

TEST(InstallOrder, ManifestLastEverythingElseByPath) {
    const std::vector<std::vector<std::string>> cases = {
        {"B.txt", "a/x.dll", "a.dll", "b/c/d.txt", "bin.dat", "release.json"},
        {"Zeta.dll", "sub/release.json", "sub/zz.dll", "Release.JSON"},
    };
    for (const auto& expected : cases) {
        std::vector<InstallEntry> entries;
        for (const auto& name : expected) entries.push_back({fs::path(name), false});
        std::shuffle(entries.begin(), entries.end(), std::mt19937(7));
        std::sort(entries.begin(), entries.end(), install_order_less);
        std::vector<std::string> sorted;
        for (const auto& entry : entries) sorted.push_back(entry.relative_path.generic_string());
        EXPECT_EQ(sorted, expected);
    }
}

TEST(CollectInstallSet, MapsFilesSortsAndLeavesOutProtectedPaths) {
    Dirs dirs;
    // A directory named like the manifest is walked into and sorts by plain
    // order; it can only sit beside release.json where case tells them apart.
    const bool both_cases = case_sensitive_names(dirs.temp.path());
    std::vector<std::string> names = {"B.txt", "a/x.dll", "a.dll", "b/c/d.txt", "bin.dat",
                                      "release.json", "config/app.xml", "settings.json"};
    std::vector<std::string> expected = {"B.txt", "a/x.dll", "a.dll", "b/c/d.txt", "bin.dat",
                                         "release.json"};
    if (both_cases) {
        names.push_back("Release.json/inner.txt");
        expected.insert(expected.begin() + 1, "Release.json/inner.txt");
    }
    for (const std::string& name : names) write_file(dirs.payload / name, name);
    fs::create_directories(dirs.payload / "empty/dir");
    write_file(dirs.target / "a.dll", "old");
    const InstallSet set = collect_install_set(dirs.payload, dirs.target, dirs.backup, no_links);
    EXPECT_EQ(relative_paths(set), expected);
    for (const InstallEntry& entry : set.entries) {
        EXPECT_EQ(entry.existed, entry.relative_path == "a.dll") << entry.relative_path;
    }
    EXPECT_EQ(set.source, dirs.payload);
    EXPECT_EQ(set.target, dirs.target);
    EXPECT_EQ(set.backup, dirs.backup);
}

TEST(CollectInstallSet, RefusesUnsafeDirectoryCombinations) {
    struct Case {
        const char* name;
        void (*arrange)(Dirs&);
    };
    const Case cases[] = {
        {"source missing", [](Dirs& d) { d.payload = d.temp / "missing"; }},
        {"target missing", [](Dirs& d) { d.target = d.temp / "missing"; d.backup = d.target / "updates/b"; }},
        {"target is a root", [](Dirs& d) { d.target = "/"; d.backup = "/updates/backup_1"; }},
        {"source is target", [](Dirs& d) { d.payload = d.target; }},
        {"source inside target", [](Dirs& d) { d.payload = d.target / "stage"; fs::create_directories(d.payload); }},
        {"target inside source", [](Dirs& d) { d.target = d.payload / "inst"; fs::create_directories(d.target); d.backup = d.target / "updates/b"; }},
        {"backup outside updates", [](Dirs& d) { d.backup = d.target / "backup_1"; }},
        {"backup is updates", [](Dirs& d) { d.backup = d.target / "updates"; }},
        {"backup exists", [](Dirs& d) { fs::create_directories(d.backup); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Dirs dirs;
        write_file(dirs.payload / "a.dll", "new");
        c.arrange(dirs);
        EventLog log;
        RecordingCopy copy{log, {}};
        const TransactionResult result = apply_update_transaction(
            dirs.payload, dirs.target, dirs.backup, copy.operation(), accept_all);
        EXPECT_EQ(result.error, "unsafe update source/target/backup paths");
        EXPECT_TRUE(result.rolled_back);
        EXPECT_EQ(copy.calls, 0);
        EXPECT_FALSE(fs::exists(dirs.backup / "transaction.status"));
    }
}

TEST(CollectInstallSet, RefusesLinksSpecialFilesAndBadDestinations) {
    struct Case {
        const char* name;
        void (*arrange)(Dirs&);
        const PathCheck& check;
        const char* error;
        bool needs_links = false;
    };
    const Case cases[] = {
        {"link in payload, checked", [](Dirs& d) { fs::create_symlink(d.temp / "stage", d.payload / "lnk"); },
         no_links, "update path contains a reparse point", true},
        {"link in payload", [](Dirs& d) { fs::create_symlink(d.temp / "stage", d.payload / "lnk"); },
         accept_all, "package contains a link", true},
#ifndef _WIN32  // no special files to make there
        {"fifo in payload", [](Dirs& d) { ASSERT_EQ(::mkfifo((d.payload / "pipe").c_str(), 0600), 0); },
         no_links, "package contains a special file"},
#endif
        {"destination through a link, checked",
         [](Dirs& d) { fs::create_directories(d.temp / "outside"); fs::create_symlink(d.temp / "outside", d.target / "bin"); },
         no_links, "update path contains a reparse point", true},
        {"destination through a link",
         [](Dirs& d) { fs::create_directories(d.temp / "outside"); fs::create_symlink(d.temp / "outside", d.target / "bin"); },
         accept_all, "destination escapes installation", true},
        {"destination is a directory", [](Dirs& d) { fs::create_directories(d.target / "bin/tool.exe"); },
         no_links, "destination is not a regular file"},
        {"nothing to install", [](Dirs& d) { fs::remove_all(d.payload / "bin"); write_file(d.payload / "logs/x.log", "x"); },
         no_links, "empty update payload"},
    };
    bool links_skipped = false;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Dirs dirs;
        if (c.needs_links && !can_make_links(dirs.temp.path())) {
            links_skipped = true;
            continue;
        }
        write_file(dirs.payload / "bin/tool.exe", "new");
        c.arrange(dirs);
        EXPECT_EQ(failure(dirs, c.check), c.error);
        EXPECT_FALSE(fs::exists(dirs.backup));
    }
    if (links_skipped) GTEST_SKIP() << "symbolic links cannot be made here; link cases not run";
}

TEST(CollectInstallSet, ChecksTheGivenPathsThenEveryEntryAndDestination) {
    Dirs dirs;
    write_file(dirs.payload / "bin/tool.exe", "new");
    EventLog log;
    RecordingCheck check{log};
    collect_install_set(dirs.payload, dirs.target, dirs.backup, check.operation());
    std::vector<fs::path> checked;
    for (const Event& event : log) checked.push_back(event.first);
    EXPECT_EQ(checked, (std::vector<fs::path>{dirs.payload, dirs.target, dirs.backup,
                                              dirs.payload / "bin", dirs.payload / "bin/tool.exe",
                                              dirs.target / "bin/tool.exe"}));
}
