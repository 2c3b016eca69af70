#pragma once

#include <filesystem>

#include "safety/path_checks.h"
#include "transaction/apply.h"
#include "transaction/file_operations.h"
#include "transaction/journal.h"

// Undoes an interrupted transaction from its journal and backups and records
// its final state. Never throws a standard exception; `rolled_back` tells
// whether the old files were restored. Nothing is changed and no status is
// written unless the locations, the status and every journal line are valid
// (among them: no destination with a second hard link). A restore recreates
// the missing folders of its destination inside the installation.
TransactionResult recover_interrupted_update(const std::filesystem::path& installation_root,
                                             const std::filesystem::path& backup_directory,
                                             const CopyOperation& copy,
                                             const PathCheck& path_check);
