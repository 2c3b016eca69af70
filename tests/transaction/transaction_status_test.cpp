#include "transaction/transaction_status.h"

#include <gtest/gtest.h>

#include "transaction/transaction_doubles.h"

namespace fs = std::filesystem;

// A status write either stands whole in the directory or leaves the old word
// and no temporary file behind.
TEST(WriteTransactionStatus, ReplacesTheWordWholeOrLeavesTheOldOne) {
    enum Fault { none, missing_directory, failed_flush, failed_replace };
    struct Case { Fault fault; std::string after; };  // the file afterwards, "-": none
    const Case cases[] = {
        {none, "APPLYING\n"},  // 9 bytes over the 10 of "PREPARING"
        {missing_directory, "-"},
        {failed_flush, "PREPARING\n"},
        {failed_replace, "PREPARING\n"},
    };
    for (const auto& c : cases) {
        TempDir root;
        const fs::path dir = c.fault == missing_directory ? root / "backup_1" : root.path();
        EventLog log;
        RecordingDurability durability{log, {}, {}, {}};
        if (c.fault != missing_directory) write_transaction_status(dir, "PREPARING");
        if (c.fault == failed_flush) durability.failing_files = {dir / "transaction.status.tmp"};
        if (c.fault == failed_replace) durability.failing_status_words = {"APPLYING"};
        try {
            write_transaction_status(dir, "APPLYING", durability.service());
            EXPECT_EQ(c.fault, none);
        } catch (const std::runtime_error& error) {
            EXPECT_NE(c.fault, none);
            EXPECT_STREQ(error.what(), "cannot persist update transaction status");
        }
        EXPECT_EQ(fs::exists(dir / "transaction.status") ? read_file(dir / "transaction.status") : "-", c.after) << c.fault;
        EXPECT_FALSE(fs::exists(dir / "transaction.status.tmp")) << c.fault;
    }
}
