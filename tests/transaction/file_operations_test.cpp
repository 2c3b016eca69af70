#include "transaction/file_operations.h"

#include <gtest/gtest.h>

#include "test_support.h"
#include "transaction/transaction_status.h"

TEST(CopyFileWithRetry, GivesUpNamingBothPaths) {
    TempDir dir;
    try {
        copy_file_with_retry(dir / "missing", dir / "destination");
        ADD_FAILURE() << "no exception";
    } catch (const fs::filesystem_error& error) {
        EXPECT_EQ(std::tuple(std::string(error.what()).find("copy failed") != std::string::npos, error.path1(), error.path2()), std::tuple(true, dir / "missing", dir / "destination"));
    }
    EXPECT_FALSE(fs::exists(dir / "destination"));
}

// A virus scanner or indexer holding a file for a moment must not fail the
// update; a file held for longer than the retries (30 x 100 ms) still does.
TEST(HeldByAnotherProcess, EveryFileChangingOperationOutwaitsAShortHold) {
    if (!kWindowsNames) GTEST_SKIP() << "POSIX has no sharing modes";
    for (const std::string operation : {"copy", "status replace", "flush"}) {
        for (const unsigned hold_ms : {1000u, 6000u}) {
            SCOPED_TRACE(operation + ", held " + std::to_string(hold_ms) + " ms");
            TempDir dir;
            write_file(dir / "new.exe", "new");
            write_file(dir / "Lumetra.exe", "old");
            write_transaction_status(dir.path(), "APPLYING");
            const fs::path file = dir / (operation == "status replace" ? "transaction.status" : "Lumetra.exe");
            HeldFile held(file, hold_ms);
            ASSERT_EQ(read_file(file), "") << "the file is not held";
            bool done = false;
            try {
                if (operation == "flush") done = platform::flush_file(file);
                if (operation == "status replace") write_transaction_status(dir.path(), "COMMITTED"), done = read_file(file) == "COMMITTED\n";
                if (operation == "copy") copy_file_with_retry(dir / "new.exe", file), done = read_file(file) == "new";
            } catch (const std::exception&) {
            }
            EXPECT_EQ(done, hold_ms == 1000u);
        }
    }
}
