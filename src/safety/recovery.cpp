#include "safety/recovery.h"

#include <fstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "platform/platform.h"
#include "safety/protected_paths.h"
#include "support/file_status.h"
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

fs::path decode_journal_path(const std::string& text) {
    if (!platform::utf8_to_wide_strict(text)) {
        throw std::system_error(std::make_error_code(std::errc::illegal_byte_sequence),
                                "cannot convert recovery path");
    }
    return fs::u8path(text);
}

bool has_traversal_element(const fs::path& path) {
    for (const fs::path& element : path) {
        if (element == "." || element == "..") return true;
    }
    return false;
}

RecoveryEntry validate_line(const std::string& line, const fs::path& root,
                            const fs::path& backup, const PathCheck& path_check) {
    const std::size_t tab = line.find('\t');
    if (tab == std::string::npos) refuse("invalid recovery journal");
    const std::string kind = line.substr(0, tab);
    const fs::path relative = decode_journal_path(line.substr(tab + 1));
    if ((kind != "restore" && kind != "remove") || relative.empty() || relative.is_absolute() ||
        relative.has_root_name() || is_protected_path(relative)) {
        refuse("invalid recovery entry");
    }
    if (has_traversal_element(relative)) refuse("recovery path traversal");
    path_check(root / relative);
    path_check(backup / "files" / relative);
    if (!is_inside_root(canonical_form(root / relative), root)) {
        refuse("recovery destination escapes installation");
    }
    const bool restore = kind == "restore";
    if (restore && !fs::is_regular_file(query_status(backup / "files" / relative))) {
        refuse("missing recovery original");
    }
    return RecoveryEntry{relative, restore};
}

// Every line is checked before anything is changed: one bad line refuses all.
std::vector<RecoveryEntry> read_journal(const fs::path& root, const fs::path& backup,
                                        const PathCheck& path_check) {
    std::ifstream in(backup / "files.tsv", std::ios::in | std::ios::binary);
    if (!in.is_open()) refuse("missing recovery journal");
    std::vector<RecoveryEntry> entries;
    std::string line;
    while (std::getline(in, line)) {
        entries.push_back(validate_line(line, root, backup, path_check));
    }
    if (in.bad() || entries.empty()) refuse("empty or unreadable recovery journal");
    return entries;
}

void require_flushed(bool flushed, const fs::path& path) {
    if (!flushed) {
        throw fs::filesystem_error("flush", path, std::make_error_code(std::errc::io_error));
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
        copy(backup / "files" / entry.relative_path, destination);
        require_flushed(platform::flush_file(destination), destination);
        require_flushed(platform::flush_directory(directory), directory);
        return;
    }
    std::error_code ec;
    const bool removed = fs::remove(destination, ec);
    if (ec) throw fs::filesystem_error("remove", destination, ec);
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

        const std::vector<RecoveryEntry> entries = read_journal(root, backup, path_check);
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
