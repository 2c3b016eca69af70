#pragma once

#include <cstdint>
#include <filesystem>

// Waits up to 120 s for the application's process. True when it ended or
// names no process.
bool wait_for_host_exit(std::uint32_t pid);

// Starts target/launch with target as working directory; returns the shell's
// value (above 32 means started).
std::intptr_t launch_application(const std::filesystem::path& target,
                                 const std::filesystem::path& launch);
