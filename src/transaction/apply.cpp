#include "transaction/apply.h"

#include <algorithm>
#include <fstream>
#include <set>
#include <stdexcept>
#include <system_error>

#include "platform/platform.h"
#include "transaction/install_set.h"
#include "transaction/journal.h"
#include "transaction/transaction_status.h"

namespace fs = std::filesystem;

namespace {

// Adds directory and each parent up to and including root.
void add_directory_chain(std::set<fs::path>& directories, fs::path directory,
                         const fs::path& root) {
    while (directories.insert(directory).second && is_inside_root(directory, root)) {
        directory = directory.parent_path();
    }
}

void flush_or_throw(const Durability& durability, const std::vector<fs::path>& files,
                    const std::set<fs::path>& directories, const char* message) {
    for (const fs::path& file : files) {
        if (!durability.flush_file(file)) throw std::runtime_error(message);
    }
    for (const fs::path& directory : directories) {
        if (!durability.flush_directory(directory)) throw std::runtime_error(message);
    }
}

// Journal and backups, both on the disk when this returns.
void prepare(const InstallSet& set, const CopyOperation& copy, const Durability& durability) {
    const fs::path journal_file = set.backup / "files.tsv";
    std::vector<fs::path> written;
    std::set<fs::path> directories;
    add_directory_chain(directories, set.backup / "files", set.target);
    {
        std::ofstream journal(journal_file, std::ios::out | std::ios::binary);
        for (const InstallEntry& entry : set.entries) {
            journal << journal_line(entry);
            if (!entry.existed) continue;
            const fs::path backup_copy = set.backup / "files" / entry.relative_path;
            make_directories(backup_copy.parent_path());
            copy(set.target / entry.relative_path, backup_copy);
            written.push_back(backup_copy);
            add_directory_chain(directories, backup_copy.parent_path(), set.target);
        }
        journal.flush();
        if (!journal) throw std::runtime_error("cannot persist recovery journal");
    }
    if (!durability.flush_file(journal_file)) {
        throw std::runtime_error("cannot persist recovery journal");
    }
    flush_or_throw(durability, written, directories, "cannot persist update backups");
}

// Undoes entries [0, applied) from the last to the first; each restored or
// removed file is on the disk before the next step.
void roll_back(const InstallSet& set, std::size_t applied, const CopyOperation& copy,
               const PathCheck& path_check, const Durability& durability,
               TransactionResult& result) {
    std::set<fs::path> flushed_directories;
    for (std::size_t i = applied; i-- > 0;) {
        const InstallEntry& entry = set.entries[i];
        const fs::path destination = set.target / entry.relative_path;
        try {
            path_check(destination);
            const fs::path directory = destination.parent_path();
            bool flush_directory = false;
            if (entry.existed) {
                if (restore_file(copy, set.backup / "files" / entry.relative_path, destination)) {
                    if (!durability.flush_file(destination)) throw std::runtime_error("flush");
                    flush_directory = !flushed_directories.count(directory);
                } else {
                    // The old bytes are in place, perhaps written by a copy that
                    // failed only afterwards: put them on the disk if it can be
                    // done (a held file cannot be opened and was never changed).
                    durability.flush_file(destination);
                }
            } else {
                std::error_code ignored;
                flush_directory =
                    remove_if_present(destination) || fs::is_directory(directory, ignored);
            }
            if (flush_directory) {
                if (!durability.flush_directory(directory)) throw std::runtime_error("flush");
                flushed_directories.insert(directory);
            }
        } catch (...) {
            result.rolled_back = false;
            result.failed_restores.push_back(entry.relative_path);
        }
    }
}

}  // namespace

TransactionResult apply_update_transaction(const fs::path& payload_root,
                                           const fs::path& installation_root,
                                           const fs::path& backup_directory,
                                           const CopyOperation& copy, const PathCheck& path_check) {
    return apply_update_transaction(payload_root, installation_root, backup_directory, copy,
                                    path_check, system_durability());
}

TransactionResult apply_update_transaction(const fs::path& payload_root,
                                           const fs::path& installation_root,
                                           const fs::path& backup_directory,
                                           const CopyOperation& copy, const PathCheck& path_check,
                                           const Durability& durability) {
    TransactionResult result;
    InstallSet set;
    std::size_t applied_count = 0;
    bool journal_begun = false;
    try {
        set = collect_install_set(payload_root, installation_root, backup_directory, path_check);
        make_directories(set.backup / "files");
        journal_begun = true;
        write_transaction_status(set.backup, "PREPARING", durability);
        prepare(set, copy, durability);
        write_transaction_status(set.backup, "APPLYING", durability);

        std::vector<fs::path> installed;
        std::set<fs::path> directories;
        for (const InstallEntry& entry : set.entries) {
            const fs::path destination = set.target / entry.relative_path;
            path_check(destination);
            make_directories(destination.parent_path());
            ++applied_count;
            copy(set.source / entry.relative_path, destination);
            installed.push_back(destination);
            add_directory_chain(directories, destination.parent_path(), set.target);
        }
        flush_or_throw(durability, installed, directories, "cannot persist installed files");
        // Every installed file is on the disk: whether a power cut keeps this
        // word or brings back "APPLYING" (whose recovery restores the old
        // files), the record matches the tree. Only a word that never
        // replaced "APPLYING" is a failure to roll back from; rolling back
        // under a "COMMITTED" that stays would contradict the tree.
        if (try_write_transaction_status(set.backup, "COMMITTED", durability) ==
            StatusWrite::failed) {
            throw std::runtime_error("cannot persist update transaction status");
        }
        result.committed = true;
        return result;
    } catch (const std::exception& failure) {
        result.error = failure_text(failure);
    } catch (...) {
        // Not a standard exception, but the installation must be restored all the same.
        result.error = "unknown failure";
    }

    roll_back(set, applied_count, copy, path_check, durability, result);
    if (journal_begun) {
        // Every restored file is on the disk, so a final word that replaced the
        // old one but may fall back to it (a pending state, which recovery
        // repeats safely) still records the roll-back truthfully.
        const char* word = result.rolled_back ? "ROLLED_BACK" : "RECOVERY_REQUIRED";
        bool recorded = false;
        try {
            recorded =
                try_write_transaction_status(set.backup, word, durability) != StatusWrite::failed;
        } catch (...) {
        }
        if (!recorded) result.rolled_back = false;
    }
    return result;
}
