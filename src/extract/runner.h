#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

// Checks and extracts package into destination by running the embedded script
// in PowerShell. True on success (message untouched); false with a Chinese
// message otherwise. Throws nothing.
bool run_secure_extraction(const std::filesystem::path& package,
                           const std::filesystem::path& destination, std::wstring& message);

// Runs command_line and waits up to timeout_ms; kills it (exit code 1) on
// time-out. True only when it ended in time with exit code 0. exit_code is
// left as given when the process cannot be started.
bool run_process_with_timeout(std::wstring command_line, std::uint32_t timeout_ms,
                              std::uint32_t& exit_code);

// RFC 4648 Base64 with padding and no line breaks.
std::string encode_base64(const std::string& bytes);

// 'text' with every apostrophe doubled.
std::wstring quote_powershell_literal(const std::wstring& text);

// "text" for a command line, read back unchanged by the CommandLineToArgvW rules.
std::wstring quote_argument(const std::wstring& text);
