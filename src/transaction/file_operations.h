#pragma once

#include <filesystem>
#include <functional>

// Copies the regular file at source over destination; throws on failure.
using CopyOperation =
    std::function<void(const std::filesystem::path& source, const std::filesystem::path& destination)>;

// Copies with overwrite, 30 attempts 100 ms apart. Throws filesystem_error
// "copy failed" (both paths, the last attempt's error) when every attempt failed.
void copy_file_with_retry(const std::filesystem::path& source,
                          const std::filesystem::path& destination);
