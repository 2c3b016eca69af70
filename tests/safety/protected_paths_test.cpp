#include "safety/protected_paths.h"

#include <gtest/gtest.h>

namespace fs = std::filesystem;

TEST(IsProtectedPath, FollowsTheUserDataRules) {
    struct Case {
        const char* path;
        bool protected_path;
    };
    const Case cases[] = {
        {"", true},
        {"config", true},
        {"Config", true},
        {"CONFIG\\app.xml", true},
        {"config/app.xml", true},
        {"logs\\updater.log", true},
        {"models", true},  // a top-level file: the first element decides
        {"projects/a/b.prj", true},
        {"interaction/x", true},
        {"diagnostics/x", true},
        {"Alarm_History/2024.db", true},
        {"Updates\\backup_1\\files.tsv", true},
        {"updates/backup_1/transaction.status", true},
        {"configs\\x.dll", false},
        {"config.bak", false},
        {"bin\\config\\x.dll", false},
        {"bin/logs/x.dll", false},
        {"settings.json", true},
        {"Settings.JSON", true},
        {"station.ini", true},
        {"settings.json:stream", true},
        {"release.json", false},
        {"Release.JSON", false},
        {"bin\\plugin.json", false},
        {"bin/plugin.json", false},
        {"plugins\\settings.ini", false},
        {".json", false},
        {"data.json.bak", false},
        {"settings.", false},
        {"Lumetra.exe", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(is_protected_path(fs::path(c.path)), c.protected_path) << '"' << c.path << '"';
    }
}

TEST(IsProtectedPath, NonAsciiNamesAreJudgedWithoutConversion) {
    EXPECT_FALSE(is_protected_path(fs::u8path(u8"Prüfung/图像.dll")));
    EXPECT_TRUE(is_protected_path(fs::u8path(u8"config/图像.xml")));
    EXPECT_TRUE(is_protected_path(fs::u8path(u8"Einstellungen-ü.json")));
}
