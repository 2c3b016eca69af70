#pragma once

#include <filesystem>
#include <exception>
#include <functional>
#include <string>

// Copies the regular file at source over destination; throws on failure.
using CopyOperation =
    std::function<void(const std::filesystem::path& source, const std::filesystem::path& destination)>;

// Copies with overwrite, 30 attempts 100 ms apart. Throws filesystem_error
// "copy failed" (both paths, the last attempt's error) when every attempt failed.
void copy_file_with_retry(const std::filesystem::path& source,
                          const std::filesystem::path& destination);

// The failure's message as UTF-8. The system's description inside a
// std::system_error, which the runtime gives in its own code page (the ANSI
// code page on Windows), is converted; paths and the rest are kept as they are.
std::string failure_text(const std::exception& failure);
