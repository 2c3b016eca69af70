#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

// Exit codes of the process.
enum ExitCode : std::int32_t {
    kExitSuccess = 0,
    kExitIncompleteArguments = 2,
    kExitHostStillRunning = 3,
    kExitExtractionFailed = 4,
    kExitInvalidLayout = 5,
    kExitNotCommitted = 6,
    kExitRelaunchFailed = 7,
    kExitLaunchFailed = 8,
    kExitException = 9,
    kExitRecoveryDone = 10,
    kExitRecoveryFailed = 11,
};

// The current time as a decimal count of 100 ns intervals since 1970-01-01 UTC.
std::wstring make_tick_string();

// The first backup_* directory below target/updates whose status is neither
// COMMITTED nor ROLLED_BACK; nullopt when there is none. Throws for a reparse
// point on the way and for file-system errors of the scan.
std::optional<std::filesystem::path> find_unfinished_transaction(
    const std::filesystem::path& target);

// One whole updater run, from the command line to the exit code. Standard
// exceptions escape to the entry point.
std::int32_t run_update();
