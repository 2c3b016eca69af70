#include "transaction/transaction_status.h"

#include <gtest/gtest.h>

#include "transaction/transaction_doubles.h"

namespace fs = std::filesystem;

TEST(WriteTransactionStatus, WritesOneLineOfTheWord) {
    const std::pair<const char*, std::uintmax_t> cases[] = {
        {"PREPARING", 10}, {"APPLYING", 9}, {"COMMITTED", 10},
        {"ROLLED_BACK", 12}, {"RECOVERY_REQUIRED", 18}};
    TempDir dir;
    for (const auto& [word, size] : cases) {
        write_transaction_status(dir.path(), word);
        EXPECT_EQ(read_file(dir / "transaction.status"), std::string(word) + "\n");
        EXPECT_EQ(fs::file_size(dir / "transaction.status"), size) << word;
        EXPECT_EQ(read_transaction_status(dir.path()), word);
    }
    write_transaction_status(dir.path(), "PREPARING");
    write_transaction_status(dir.path(), "APPLYING");
    EXPECT_EQ(fs::file_size(dir / "transaction.status"), 9u);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

TEST(WriteTransactionStatus, MissingDirectoryFailsAndCreatesNothing) {
    TempDir dir;
    try {
        write_transaction_status(dir / "backup_1", "PREPARING");
        FAIL() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "cannot persist update transaction status");
    }
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

TEST(WriteTransactionStatus, FailedFlushOrReplaceKeepsTheOldState) {
    for (const bool fail_replace : {false, true}) {
        TempDir dir;
        EventLog log;
        RecordingDurability durability{log, {}, {}, {}};
        write_transaction_status(dir.path(), "APPLYING", durability.service());
        if (fail_replace) {
            durability.failing_status_words = {"COMMITTED"};
        } else {
            durability.failing_files = {dir / "transaction.status.tmp"};
        }
        EXPECT_THROW(write_transaction_status(dir.path(), "COMMITTED", durability.service()),
                     std::runtime_error);
        EXPECT_EQ(read_file(dir / "transaction.status"), "APPLYING\n");
        EXPECT_FALSE(fs::exists(dir / "transaction.status.tmp"));
    }
}
