#include "transaction/install_set.h"

#include "test_support.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

// Each refusal comes before the backup area is made.
TEST(CollectInstallSet, RefusesUnsafeDirectoriesLinksSpecialFilesAndBadDestinations) {
    const PathCheck accept_all = [](const fs::path&) {}, no_links = ensure_no_reparse_point;
    struct Case { const char* name; void (*arrange)(Sandbox&); const PathCheck& check; std::string error; };
    const auto link_in_payload = [](Sandbox& d) { fs::create_symlink(d / "stage", d.payload / "lnk"); };
    const auto linked_destination = [](Sandbox& d) { fs::create_directories(d / "out"), fs::create_symlink(d / "out", d.target / "bin"); };
    const std::string unsafe = "unsafe update source/target/backup paths", reparse = "update path contains a reparse point";
    const Case cases[] = {
        {"missing payload", [](Sandbox& d) { d.payload = d / "missing"; }, accept_all, unsafe},
        {"missing target", [](Sandbox& d) { d.target = d / "missing"; d.backup = d.target / "updates/b"; }, accept_all, unsafe},
        {"target is a root", [](Sandbox& d) { d.target = d.target.root_path(); d.backup = d.target / "updates/backup_1"; }, accept_all, unsafe},
        {"payload is the target", [](Sandbox& d) { d.payload = d.target; }, accept_all, unsafe},
        {"payload inside the target", [](Sandbox& d) { d.payload = d.target / "stage"; fs::create_directories(d.payload); }, accept_all, unsafe},
        {"target in the payload", [](Sandbox& d) { d.target = d.payload / "i"; fs::create_directories(d.target); d.backup = d.target / "updates/b"; }, accept_all, unsafe},
        {"backup beside updates", [](Sandbox& d) { d.backup = d.target / "backup_1"; }, accept_all, unsafe},
        {"backup is updates", [](Sandbox& d) { d.backup = d.target / "updates"; }, accept_all, unsafe},
        {"backup exists", [](Sandbox& d) { fs::create_directories(d.backup); }, accept_all, unsafe},
        {"target through a link, checked", [](Sandbox& d) { fs::create_directory_symlink(d.target, d / "lnk"), d.target = d / "lnk"; }, no_links, reparse},
        {"link in payload, checked", link_in_payload, no_links, reparse},
        {"link in payload", link_in_payload, accept_all, "package contains a link"},
#ifndef _WIN32
        {"fifo in payload", [](Sandbox& d) { ::mkfifo((d.payload / "pipe").c_str(), 0600); }, no_links, "package contains a special file"},
#endif
        {"destination through a link, checked", linked_destination, no_links, reparse},
        {"destination through a link", linked_destination, accept_all, "destination escapes installation"},
        {"destination is a directory", [](Sandbox& d) { fs::create_directories(d.target / "bin/tool.exe"); }, no_links, "destination is not a regular file"},
        {"only protected files", [](Sandbox& d) { fs::remove_all(d.payload / "bin"); write_file(d.payload / "logs/x", "x"); }, no_links, "empty update payload"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox d;
        write_file(d.payload / "bin/tool.exe", "new");
        fs::create_directories(d.target);
        try {
            c.arrange(d);
        } catch (const fs::filesystem_error&) {
            continue;  // no symbolic links here (Wine)
        }
        const bool had_backup = fs::exists(d.backup);
        try {
            collect_install_set(d.payload, d.target, d.backup, c.check);
            ADD_FAILURE() << "accepted";
        } catch (const std::exception& error) {
            EXPECT_EQ(error.what(), c.error);
        }
        EXPECT_EQ(fs::exists(d.backup), had_backup);
    }
}
