#pragma once

#include <filesystem>

// True for an installation-relative path that no update or recovery may write:
// the user-data directories (first element, any case), top-level *.json and
// *.ini files except release.json, and the empty path.
bool is_protected_path(const std::filesystem::path& relative_path);
