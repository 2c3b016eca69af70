#pragma once

#include <filesystem>

// True for an installation-relative path that no update or recovery may write:
// the user-data directories (first element, any case), top-level *.json and
// *.ini files except release.json, and the empty path.
bool is_protected_path(const std::filesystem::path& relative_path);

// Whether installation_root / relative_path is protected by the name the system
// will open for it (platform::long_path_form: on Windows 8.3 short names and
// trailing dots or spaces are aliases) as well as by relative_path itself. A
// path whose resolved form is not below the resolved root counts as protected.
bool is_protected_destination(const std::filesystem::path& installation_root,
                              const std::filesystem::path& relative_path);
