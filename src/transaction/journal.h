// The recovery journal files.tsv: one line per installed file, in install
// order, "restore" or "remove", a tab, the installation-relative path in UTF-8
// with forward slashes, a line feed. Written before the first file changes,
// read back by recovery.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "transaction/install_set.h"

// One journal line read back: the relative path as the journal spells it, and
// whether undoing it copies the saved file back (restore) or deletes the file
// the update added (remove).
struct RecoveryEntry {
    std::filesystem::path relative_path;
    bool restore = false;
};

// The line of entry, ending with a line feed. Throws runtime_error "invalid
// filename for recovery journal" when the path holds a control character
// (U+0000 to U+001F) or a colon, and system_error when it is not valid Unicode.
std::string journal_line(const InstallEntry& entry);

// The entries of the journal file in file order; check is called on each as
// it is read and may throw to refuse it. Every refusal is a runtime_error:
// "missing recovery journal" (cannot be opened), "invalid recovery journal"
// (a line without a tab, with any other control character or a colon, or a
// last line without its line feed), "invalid recovery entry" (unknown kind;
// empty, absolute, drive-relative or protected path), "recovery path
// traversal" (a "." or ".." element), "empty or unreadable recovery journal"
// (no line, or a read error). A path that is not UTF-8 throws system_error.
std::vector<RecoveryEntry> read_journal(const std::filesystem::path& file,
                                        const std::function<void(const RecoveryEntry&)>& check);
