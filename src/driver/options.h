#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

struct UpdaterOptions {
    std::filesystem::path package;
    std::filesystem::path target;
    std::uint32_t pid = 0;
    std::filesystem::path launch = L"Lumetra.exe";
    bool detached = false;
    bool verify_extract = false;
};

// Options from this process's command line.
UpdaterOptions parse_command_line();

// Options from split arguments (element 0, the program, is skipped; fewer
// than three elements parse nothing). Names are exact; last value wins.
UpdaterOptions parse_arguments(const std::vector<std::wstring>& arguments);

// Validates and normalises options in place. Returns false for incomplete
// arguments (package or target empty, package missing). Throws for a target
// behind a reparse point, a target that is no directory or is a root, or a
// launch name other than Lumetra.exe or Pannix.exe, and for failed queries.
bool validate_options(UpdaterOptions& options);

// The verification run: 0 when the package extracts into target, else 4.
int run_verify_extract(const UpdaterOptions& options);
