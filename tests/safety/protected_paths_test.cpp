#include "safety/protected_paths.h"

#include <gtest/gtest.h>

TEST(IsProtectedPath, Table) {
    for (const char* path :
         {"", "config", "CONFIG\\app.xml", "logs\\updater.log", "models", "projects/a/b.prj",
          "interaction/x", "diagnostics/x", "Alarm_History/2024.db", "Updates\\backup_1\\files.tsv",
          "settings.json", "Settings.JSON", "station.ini", "settings.json:stream",
          u8"Einstellungen-ü.json", u8"config/图像.xml"})
        EXPECT_TRUE(is_protected_path(std::filesystem::u8path(path))) << path;
    for (const char* path :
         {"configs\\x.dll", "config.bak", "bin\\config\\x.dll", "bin/logs/x.dll", "release.json",
          "Release.JSON", "bin\\plugin.json", "plugins/settings.ini", ".json", "data.json.bak",
          "settings.", "Lumetra.exe", u8"Prüfung/图像.dll"})
        EXPECT_FALSE(is_protected_path(std::filesystem::u8path(path))) << path;
}
