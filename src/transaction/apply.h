#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "safety/path_checks.h"
#include "transaction/file_operations.h"

struct TransactionResult {
    bool committed = false;
    bool rolled_back = true;
    std::string error;
    std::vector<std::filesystem::path> failed_restores;
};

// Installs the payload into the installation inside a transaction recorded in
// backup_directory (status, journal, backups), release.json last; rolls back
// on any failure. Never throws a standard exception: every outcome is returned.
TransactionResult apply_update_transaction(const std::filesystem::path& payload_root,
                                           const std::filesystem::path& installation_root,
                                           const std::filesystem::path& backup_directory,
                                           const CopyOperation& copy, const PathCheck& path_check);
