#include "transaction/install_set.h"

#include <algorithm>
#include <stdexcept>

#include "platform/platform.h"
#include "safety/protected_paths.h"
#include "support/file_status.h"

namespace fs = std::filesystem;

namespace {

// The manifest at the payload's top level, in any letter case. Only ASCII
// letters fold, so comparing the native units is the same as folding first.
bool is_manifest(const fs::path& relative_path) {
    const auto& text = relative_path.native();
    static const char kManifest[] = "release.json";
    if (text.size() != sizeof kManifest - 1) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto unit = text[i];
        if (unit >= 'A' && unit <= 'Z') unit = static_cast<decltype(unit)>(unit - 'A' + 'a');
        if (unit != static_cast<decltype(unit)>(kManifest[i])) return false;
    }
    return true;
}

[[noreturn]] void refuse(const char* message) { throw std::runtime_error(message); }

}  // namespace

bool install_order_less(const InstallEntry& a, const InstallEntry& b) {
    const bool a_manifest = is_manifest(a.relative_path);
    const bool b_manifest = is_manifest(b.relative_path);
    if (a_manifest != b_manifest) return b_manifest;
    return a.relative_path.compare(b.relative_path) < 0;
}

InstallSet collect_install_set(const fs::path& payload_root, const fs::path& installation_root,
                               const fs::path& backup_directory, const PathCheck& path_check) {
    InstallSet set;
    set.source = fs::weakly_canonical(payload_root);
    set.target = fs::weakly_canonical(installation_root);
    set.backup = fs::weakly_canonical(backup_directory);

    const bool safe = fs::is_directory(set.source) && fs::is_directory(set.target) &&
                      set.target != set.target.root_path() && set.source != set.target &&
                      !is_inside_root(set.source, set.target) &&
                      !is_inside_root(set.target, set.source) &&
                      is_inside_root(set.backup, set.target / "updates") && !fs::exists(set.backup);
    if (!safe) refuse("unsafe update source/target/backup paths");

    path_check(payload_root);
    path_check(installation_root);
    path_check(backup_directory);

    std::vector<InstallEntry> unchanged;  // same bytes as their destination: left out
    for (const platform::TreeEntry& entry : platform::list_tree(set.source)) {
        path_check(entry.path);
        if (entry.type == fs::file_type::symlink) refuse("package contains a link");
        if (entry.type == fs::file_type::directory) continue;
        if (entry.type != fs::file_type::regular) refuse("package contains a special file");

        fs::path relative = entry.path.lexically_relative(set.source);
        if (relative.empty() || relative.is_absolute() || relative.has_root_path()) {
            refuse("invalid package path");
        }
        if (is_protected_destination(set.target, relative)) continue;

        const fs::path destination = set.target / relative;
        path_check(destination);
        if (!is_inside_root(fs::weakly_canonical(destination), set.target)) {
            refuse("destination escapes installation");
        }
        const fs::file_status status = query_status(destination);
        const bool existed = fs::exists(status);
        if (existed && !fs::is_regular_file(status)) refuse("destination is not a regular file");
        // The manifest is written even when unchanged: a committed update ends with it.
        // Sizes that differ are told from the directory data, without opening
        // either file (an open is slow on some systems, Wine above all); sizes
        // that cannot be read that way (a long path on Windows) leave it to the
        // comparison, which opens both through the platform layer.
        const auto sizes_differ = [&] {
            std::error_code source_error, destination_error;
            const auto source_size = fs::file_size(entry.path, source_error);
            const auto destination_size = fs::file_size(destination, destination_error);
            return !source_error && !destination_error && source_size != destination_size;
        };
        const bool same = existed && !is_manifest(relative) && !sizes_differ() &&
                          platform::same_file_content(entry.path, destination);
        // The copy writes into the existing file, and so into every other name of it;
        // a file left as it is is not written.
        if (existed && !same) ensure_single_link(destination, "destination has more than one link");
        (same ? unchanged : set.entries).push_back(InstallEntry{std::move(relative), existed});
    }

    // A payload without a manifest whose every file is unchanged installs as a
    // whole: a transaction always has a journal line to recover from.
    if (set.entries.empty()) set.entries = std::move(unchanged);
    std::sort(set.entries.begin(), set.entries.end(), install_order_less);
    if (set.entries.empty()) refuse("empty update payload");
    return set;
}
