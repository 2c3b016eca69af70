#pragma once

#include <filesystem>

#include "safety/path_checks.h"
#include "transaction/apply.h"
#include "transaction/file_operations.h"

// One validated journal line: the installation-relative path as the journal
// spells it, and whether undoing it copies the saved file back (restore) or
// deletes the file the update added (remove).
struct RecoveryEntry {
    std::filesystem::path relative_path;
    bool restore = false;
};

// Undoes an interrupted transaction from its journal and backups and records
// its final state. Never throws a standard exception; `rolled_back` tells
// whether the old files were restored. Nothing is changed and no status is
// written unless the locations, the status and every journal line are valid.
TransactionResult recover_interrupted_update(const std::filesystem::path& installation_root,
                                             const std::filesystem::path& backup_directory,
                                             const CopyOperation& copy,
                                             const PathCheck& path_check);
