#pragma once

#include <filesystem>
#include <functional>
#include <string>

// Accepts a path by returning and refuses it by throwing a standard exception.
// Must not change anything on disk.
using PathCheck = std::function<void(const std::filesystem::path&)>;

// Folds the ASCII letters A-Z to lower case, unit by unit; nothing else changes.
std::wstring to_lower_copy(std::wstring text);

// to_lower_copy for the native text of a path (on POSIX the UTF-8 bytes, whose
// ASCII letters are the only units that fold). Never converts, never throws.
std::filesystem::path::string_type to_lower_native(std::filesystem::path::string_type text);

// True when the elements of root are a proper prefix of the elements of
// candidate, compared case-insensitively. Never touches the file system.
bool is_inside_root(const std::filesystem::path& candidate, const std::filesystem::path& root);

// Throws std::runtime_error("update path contains a reparse point") when the
// absolute form of target, or any existing prefix of it, is a reparse point
// (on POSIX: a symbolic link). Prefixes that cannot be queried are skipped.
// Throws filesystem_error ("absolute") when the path cannot be made absolute.
void ensure_no_reparse_point(const std::filesystem::path& target);

// Throws std::runtime_error(message) when the file at path has more than one
// name (hard links), so that writing it would change another file as well;
// filesystem_error ("link count") when that cannot be told. A missing path and
// a directory pass.
void ensure_single_link(const std::filesystem::path& path, const char* message);
