#pragma once

#include <filesystem>
#include <string>

#include "transaction/durability.h"

// Writes `word` and a line feed as backup_directory/transaction.status: the
// text goes to a temporary file in backup_directory, is flushed to the disk and
// then replaces the status file in one step, so readers see the old word or the
// new one, never a partial file. The directory must exist (nothing is created
// when it does not). Throws std::runtime_error("cannot persist update
// transaction status"); the old status file is then unchanged.
void write_transaction_status(const std::filesystem::path& backup_directory,
                              const std::string& word);
void write_transaction_status(const std::filesystem::path& backup_directory,
                              const std::string& word, const Durability& durability);

enum class StatusWrite {
    durable,      // the new word is on the disk
    not_flushed,  // the new word replaced the old one, but its directory entry
                  // may not survive a power cut (the old word may come back)
    failed,       // the old status file is unchanged
};

// write_transaction_status without the exception, telling a replace whose
// directory could not be flushed apart from a write that did not happen.
StatusWrite try_write_transaction_status(const std::filesystem::path& backup_directory,
                                         const std::string& word, const Durability& durability);

// The first line of backup_directory/transaction.status, without its line
// feed; empty when the file cannot be read or is empty.
std::string read_transaction_status(const std::filesystem::path& backup_directory);
