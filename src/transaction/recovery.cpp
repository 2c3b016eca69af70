#include "transaction/recovery.h"

#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "platform/platform.h"
#include "safety/protected_paths.h"
#include "support/file_status.h"
#include "transaction/journal.h"
#include "transaction/transaction_status.h"

namespace fs = std::filesystem;

namespace {

[[noreturn]] void refuse(const char* message) { throw std::runtime_error(message); }

fs::path canonical_form(const fs::path& path) {
    std::error_code ec;
    fs::path result = fs::weakly_canonical(path, ec);
    if (ec) throw fs::filesystem_error("weakly_canonical", path, ec);
    return result;
}

// Where the entry may act: through no reparse point, below the installation,
// under a name that is no alias of a protected one, with its backup.
void check_location(const RecoveryEntry& entry, const fs::path& root, const fs::path& backup,
                    const PathCheck& path_check) {
    const fs::path& relative = entry.relative_path;
    path_check(root / relative);
    path_check(backup / "files" / relative);
    if (!is_inside_root(canonical_form(root / relative), root)) {
        refuse("recovery destination escapes installation");
    }
    if (is_protected_destination(root, relative)) refuse("invalid recovery entry");
    ensure_single_link(root / relative, "recovery destination has more than one link");
    if (entry.restore && !fs::is_regular_file(query_status(backup / "files" / relative))) {
        refuse("missing recovery original");
    }
}

void require_flushed(bool flushed, const fs::path& path) {
    if (!flushed) {
        throw fs::filesystem_error("flush", path, std::make_error_code(std::errc::io_error));
    }
}

// Creates the missing directories on the way to destination (a plugin folder
// deleted after the crash would otherwise fail its restore on every run) and
// makes each new entry durable. Called after the path check of destination,
// whose every existing element is then no link, and whose canonical form is
// checked again here: nothing is created outside the installation.
void recreate_directories(const fs::path& destination, const fs::path& root) {
    if (!is_inside_root(canonical_form(destination), root)) {
        refuse("recovery destination escapes installation");
    }
    const fs::path directory = destination.parent_path();
    if (fs::exists(query_status(directory))) return;
    make_directories(directory);
    for (fs::path made = directory; is_inside_root(made, root); made = made.parent_path()) {
        require_flushed(platform::flush_directory(made.parent_path()), made.parent_path());
    }
}

// Undoes one entry and makes the result durable, so that "ROLLED_BACK" is
// only ever written over files that a power loss cannot take back.
void undo(const RecoveryEntry& entry, const fs::path& root, const fs::path& backup,
          const CopyOperation& copy, const PathCheck& path_check) {
    const fs::path destination = root / entry.relative_path;
    const fs::path directory = destination.parent_path();
    path_check(destination);
    if (entry.restore) {
        recreate_directories(destination, root);
        if (restore_file(copy, backup / "files" / entry.relative_path, destination)) {
            require_flushed(platform::flush_file(destination), destination);
            require_flushed(platform::flush_directory(directory), directory);
        } else {
            platform::flush_file(destination);  // best effort, as in the roll-back
        }
        return;
    }
    const bool removed = remove_if_present(destination);
    // A file already gone may have been removed by a run that died before its
    // removal reached the disk.
    std::error_code ignored;
    if (removed || fs::is_directory(directory, ignored)) {
        require_flushed(platform::flush_directory(directory), directory);
    }
}

}  // namespace

TransactionResult recover_interrupted_update(const fs::path& installation_root,
                                             const fs::path& backup_directory,
                                             const CopyOperation& copy,
                                             const PathCheck& path_check) {
    TransactionResult result;
    try {
        path_check(installation_root);
        path_check(backup_directory);
        const fs::path root = canonical_form(installation_root);
        const fs::path backup = canonical_form(backup_directory);
        if (!fs::is_directory(query_status(root)) || !is_inside_root(backup, root / "updates")) {
            refuse("invalid recovery location");
        }

        const std::string status = read_transaction_status(backup);
        if (status == "PREPARING") {
            // Nothing in the installation had been changed yet.
            write_transaction_status(backup, "ROLLED_BACK");
            result.rolled_back = true;
            return result;
        }
        if (status != "APPLYING" && status != "RECOVERY_REQUIRED") {
            refuse("transaction is not pending recovery");
        }

        const std::vector<RecoveryEntry> entries = read_journal(
            backup / "files.tsv",
            [&](const RecoveryEntry& entry) { check_location(entry, root, backup, path_check); });
        for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
            try {
                undo(*entry, root, backup, copy, path_check);
            } catch (...) {
                result.failed_restores.push_back(entry->relative_path);
            }
        }
        result.rolled_back = result.failed_restores.empty();
        write_transaction_status(backup, result.rolled_back ? "ROLLED_BACK" : "RECOVERY_REQUIRED");
    } catch (const std::exception& error) {
        result.rolled_back = false;
        result.error = error.what();
    }
    return result;
}
