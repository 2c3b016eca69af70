#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// Checks and extracts package into destination by running the embedded script
// in PowerShell. True on success (message untouched); false with a Chinese
// message otherwise. Removes a stale error file first. Throws nothing.
bool run_secure_extraction(const std::filesystem::path& package,
                           const std::filesystem::path& destination, std::wstring& message);

// Runs command_line and waits up to timeout_ms; kills it (exit code 1) on
// time-out. True only when it ended in time with exit code 0. exit_code is
// left as given when the process cannot be started.
bool run_process_with_timeout(std::wstring command_line, std::uint32_t timeout_ms,
                              std::uint32_t& exit_code);

// RFC 4648 Base64 with padding and no line breaks.
std::string encode_base64(const std::string& bytes);

// 'text' with every single-quote character PowerShell knows (U+0027,
// U+2018 to U+201B) doubled, so that no path can end the literal.
std::wstring quote_powershell_literal(const std::wstring& text);

// "text" for a command line, read back unchanged by the CommandLineToArgvW rules.
std::wstring quote_argument(const std::wstring& text);

// --- The pieces of run_secure_extraction --------------------------------

// The module text of the script resource: strict UTF-8, one leading BOM
// removed. nullopt when the bytes are invalid UTF-8 or decode to nothing.
std::optional<std::wstring> decode_extraction_module(std::string_view bytes);

// The error file the wrapper writes: destination's text + ".error.txt".
std::filesystem::path extraction_error_file(const std::filesystem::path& destination);

// Number of UTF-16 code units of text (characters above U+FFFF count two).
std::size_t utf16_length(const std::wstring& text);

// The PowerShell command line that runs module plus the call on package and
// destination, as an encoded command. nullopt when it would reach 32,760
// UTF-16 code units.
std::optional<std::wstring> extraction_command_line(const std::wstring& module,
                                                    const std::filesystem::path& package,
                                                    const std::filesystem::path& destination,
                                                    const std::filesystem::path& powershell);

// "安全解压失败或超时，exit=<exit_code>", plus "：" and the text of the error
// file's first 2,048 bytes (invalid UTF-8 replaced) when that text is not empty.
std::wstring extraction_failure_message(std::uint32_t exit_code,
                                        const std::filesystem::path& error_file);
