#pragma once

#include <filesystem>
#include <vector>

#include "safety/path_checks.h"

struct InstallEntry {
    std::filesystem::path relative_path;  // relative to payload and installation root
    bool existed = false;                 // destination existed as a regular file
};

struct InstallSet {
    std::filesystem::path source;       // canonical payload root
    std::filesystem::path target;       // canonical installation root
    std::filesystem::path backup;       // canonical backup directory
    std::vector<InstallEntry> entries;  // in install order, release.json last
};

// The install order: the top-level manifest (release.json, any case) last,
// everything else by path comparison.
bool install_order_less(const InstallEntry& a, const InstallEntry& b);

// Checks the three paths, scans the payload and returns the ordered install
// set. Reads only. A file whose destination is a regular file with the same
// bytes is left out (a destination that cannot be read counts as changed),
// except the top-level release.json, and except when that would leave nothing.
// Throws the exceptions listed by the transaction's design ("unsafe update
// source/target/backup paths", "package contains a link", ...).
InstallSet collect_install_set(const std::filesystem::path& payload_root,
                               const std::filesystem::path& installation_root,
                               const std::filesystem::path& backup_directory,
                               const PathCheck& path_check);
