#include "extract/runner.h"

#include "platform/platform.h"

bool run_secure_extraction(const std::filesystem::path&, const std::filesystem::path&,
                           std::wstring& message) {
    message = L"安全解压模块缺失";
    return false;
}

bool run_process_with_timeout(std::wstring command_line, std::uint32_t timeout_ms,
                              std::uint32_t& exit_code) {
    return platform::run_process(command_line, timeout_ms, exit_code);
}

std::string encode_base64(const std::string&) { return {}; }

std::wstring quote_powershell_literal(const std::wstring& text) {
    std::wstring out = L"'";
    for (wchar_t c : text) {
        if (c == L'\'') out += L'\'';
        out += c;
    }
    return out + L"'";
}

std::wstring quote_argument(const std::wstring& text) {
    // A run of backslashes is literal unless a quote follows it; then the
    // reader halves it, so such a run (also the one before the closing quote)
    // is written doubled.
    std::wstring out = L"\"";
    std::size_t backslashes = 0;
    for (wchar_t c : text) {
        if (c == L'\\') {
            ++backslashes;
        } else {
            if (c == L'"') out.append(backslashes + 1, L'\\');
            backslashes = 0;
        }
        out += c;
    }
    out.append(backslashes, L'\\');
    return out + L"\"";
}
