#include "transaction/file_operations.h"

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "test_support.h"
#include "transaction/transaction_status.h"

namespace fs = std::filesystem;

TEST(CopyFileWithRetry, ReplacesWithTheSourcesPermissionsOrGivesUpNamingBothPaths) {
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
    try {
        copy_file_with_retry(dir / "missing", dir / "destination");
        ADD_FAILURE() << "no exception";
    } catch (const fs::filesystem_error& error) {
        EXPECT_NE(std::string(error.what()).find("copy failed"), std::string::npos);
        EXPECT_EQ(error.path1(), dir / "missing");
        EXPECT_EQ(error.path2(), dir / "destination");
    }
    EXPECT_FALSE(fs::exists(dir / "destination"));
}

// A virus scanner or indexer holding a file for a moment must not fail the
// update; a file held for longer than the retries (30 x 100 ms) still does.
TEST(HeldByAnotherProcess, EveryFileChangingOperationOutwaitsAShortHold) {
#ifndef _WIN32
    GTEST_SKIP() << "POSIX has no sharing modes: nothing can hold a file against a write";
#endif
    struct Case { std::string operation; unsigned hold_ms; bool succeeds; };
    const Case cases[] = {
        {"copy", 1000, true}, {"copy", 10000, false},
        {"status replace", 1000, true}, {"status replace", 10000, false},
        {"flush", 1000, true}, {"flush", 10000, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.operation + ", held " + std::to_string(c.hold_ms) + " ms");
        TempDir dir;
        write_file(dir / "new.exe", "new");
        write_file(dir / "Lumetra.exe", "old");
        write_transaction_status(dir.path(), "APPLYING");
        const fs::path file = dir / (c.operation == "status replace" ? "transaction.status" : "Lumetra.exe");
        HeldFile held(file, c.hold_ms);
        ASSERT_EQ(read_file(file), "") << "the file is not held";
        bool done = false;
        try {
            if (c.operation == "flush") {
                done = platform::flush_file(dir / "Lumetra.exe");
            } else if (c.operation == "status replace") {
                write_transaction_status(dir.path(), "COMMITTED");
                done = read_file(dir / "transaction.status") == "COMMITTED\n";
            } else {
                copy_file_with_retry(dir / "new.exe", dir / "Lumetra.exe");
                done = read_file(dir / "Lumetra.exe") == "new";
            }
        } catch (const std::exception&) {
        }
        EXPECT_EQ(done, c.succeeds);
    }
}
