#pragma once

#include <filesystem>

// package_directory/app when it exists (any kind of object), else package_directory.
std::filesystem::path find_payload_root(const std::filesystem::path& package_directory);

// True when payload_root holds release.json and Lumetra.exe. Throws for a
// failed status query.
bool check_staged_layout(const std::filesystem::path& payload_root);
