#pragma once

#include <filesystem>
#include <string>

// Writes `word` and a line feed as backup_directory/transaction.status.
// Throws std::runtime_error("cannot persist update transaction status").
void write_transaction_status(const std::filesystem::path& backup_directory,
                              const std::string& word);

// The first line of backup_directory/transaction.status, without its line
// feed; empty when the file cannot be read or is empty.
std::string read_transaction_status(const std::filesystem::path& backup_directory);
