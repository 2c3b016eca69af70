#pragma once

#include <filesystem>
#include <functional>

// How the transaction puts what it wrote onto the disk. Each callable returns
// false on failure; the transaction treats that like a failed write.
struct Durability {
    // Writes one file's data and metadata through to the disk.
    std::function<bool(const std::filesystem::path& file)> flush_file;
    // Makes a directory's entries (created, renamed, removed names) durable.
    std::function<bool(const std::filesystem::path& directory)> flush_directory;
    // Moves `from` over `to` in one step and makes the new entry durable.
    std::function<bool(const std::filesystem::path& from, const std::filesystem::path& to)>
        replace_file;
};

// The platform layer's flush_file, flush_directory and replace_file.
const Durability& system_durability();
