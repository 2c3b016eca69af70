#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "safety/path_checks.h"
#include "transaction/durability.h"
#include "transaction/file_operations.h"

struct TransactionResult {
    bool committed = false;
    bool rolled_back = true;
    std::string error;
    std::vector<std::filesystem::path> failed_restores;
};

// Installs the payload into the installation inside a transaction recorded in
// backup_directory (status, journal, backups), release.json last; rolls back
// on any failure. Backups and journal are on the disk before "APPLYING", the
// installed files before "COMMITTED", the restored ones before "ROLLED_BACK";
// a failed flush fails the transaction like a failed copy. Never throws a
// standard exception: every outcome is returned.
TransactionResult apply_update_transaction(const std::filesystem::path& payload_root,
                                           const std::filesystem::path& installation_root,
                                           const std::filesystem::path& backup_directory,
                                           const CopyOperation& copy, const PathCheck& path_check);
TransactionResult apply_update_transaction(const std::filesystem::path& payload_root,
                                           const std::filesystem::path& installation_root,
                                           const std::filesystem::path& backup_directory,
                                           const CopyOperation& copy, const PathCheck& path_check,
                                           const Durability& durability);
