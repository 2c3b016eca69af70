#pragma once

#include <exception>
#include <filesystem>
#include <functional>
#include <string>

// Copies the regular file at source over destination; throws on failure.
using CopyOperation = std::function<void(const std::filesystem::path& source,
                                         const std::filesystem::path& destination)>;

// Copies with overwrite, 30 attempts 100 ms apart. Throws filesystem_error
// "copy failed" (both paths, the last attempt's error) when every attempt failed.
void copy_file_with_retry(const std::filesystem::path& source,
                          const std::filesystem::path& destination);

// The failure's message as UTF-8. The system's description inside a
// std::system_error, which the runtime gives in its own code page (the ANSI
// code page on Windows), is converted; paths and the rest are kept as they are.
std::string failure_text(const std::exception& failure);

// Removes file. False when there was nothing to remove, also when a parent of
// it is missing or not a directory; throws filesystem_error "remove" when an
// existing file cannot be removed.
bool remove_if_present(const std::filesystem::path& file);

// Creates directory and its missing parents; throws filesystem_error
// "create_directories" when the directory does not exist afterwards.
void make_directories(const std::filesystem::path& directory);

// Removes root and everything below it; links go, never what they point to.
// Whatever cannot be removed stays, silently.
void remove_tree(const std::filesystem::path& root);

// Copies source over destination through copy. When the copy throws but
// destination already holds exactly source's bytes (a program still running
// from an unchanged file), returns false instead: there was nothing to undo.
// Returns true after a successful copy; rethrows otherwise.
bool restore_file(const CopyOperation& copy, const std::filesystem::path& source,
                  const std::filesystem::path& destination);
