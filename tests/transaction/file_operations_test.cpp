#include "transaction/file_operations.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace fs = std::filesystem;

TEST(CopyFileWithRetry, ReplacesTheDestinationWithTheSourcesPermissions) {
    TempDir dir;
    write_file(dir / "new/Lumetra.exe", "new program");
    write_file(dir / "install/Lumetra.exe", "old program, longer than the new one");
    fs::permissions(dir / "new/Lumetra.exe", fs::perms(0755));
    fs::permissions(dir / "install/Lumetra.exe", fs::perms(0600));
    copy_file_with_retry(dir / "new/Lumetra.exe", dir / "install/Lumetra.exe");
    EXPECT_EQ(read_file(dir / "install/Lumetra.exe"), "new program");
    // Where the system keeps permission bits, a program stays executable.
    EXPECT_EQ(fs::status(dir / "install/Lumetra.exe").permissions(),
              fs::status(dir / "new/Lumetra.exe").permissions());
}

TEST(CopyFileWithRetry, GivesUpWithCopyFailedNamingBothPaths) {
    TempDir dir;
    try {
        copy_file_with_retry(dir / "missing", dir / "destination");
        FAIL() << "no exception";
    } catch (const fs::filesystem_error& error) {
        EXPECT_NE(std::string(error.what()).find("copy failed"), std::string::npos);
        EXPECT_EQ(error.path1(), dir / "missing");
        EXPECT_EQ(error.path2(), dir / "destination");
        EXPECT_TRUE(error.code());
    }
    EXPECT_FALSE(fs::exists(dir / "destination"));
}
