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

// Copies source over destination through copy. When the copy throws but
// destination already holds exactly source's bytes (a program still running
// from an unchanged file), returns false instead: there was nothing to undo.
// Returns true after a successful copy; rethrows otherwise.
bool restore_file(const CopyOperation& copy, const std::filesystem::path& source,
                  const std::filesystem::path& destination);
