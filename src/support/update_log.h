#pragma once

#include <filesystem>
#include <string>

// UTF-8 of a wide text; empty for an empty text or one that cannot be converted.
std::string to_utf8(const std::wstring& text);

// Appends text and a line feed, as UTF-8, to base/logs/updater.log and, when
// LOCALAPPDATA is set, to LOCALAPPDATA/Veltrion/updater.log. Never fails
// visibly: a copy that cannot be written is skipped.
void write_update_log(const std::filesystem::path& base, const std::wstring& text);
