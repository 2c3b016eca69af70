#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "driver/options.h"

// The parameters the relaunched copy is started with.
std::wstring make_relaunch_parameters(const UpdaterOptions& options);

// True when the executable at self_path lies directly in the directory target,
// however either is spelled (the directories' identity decides, not the text);
// a subdirectory of target does not count.
bool runs_from_installation(const std::filesystem::path& self_path,
                            const std::filesystem::path& target);

// Copies the running updater (and the runtime libraries found in target) to a
// fresh bootstrap directory in the temporary directory and starts the copy with
// the same options and --detached 1. Returns 0 when started, 7 when not (one
// log line). Copy failures throw.
std::int32_t bootstrap_relaunch(const UpdaterOptions& options,
                                const std::filesystem::path& self_path, const std::wstring& tick);
