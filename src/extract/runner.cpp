#include "extract/runner.h"

#include <fstream>
#include <system_error>

#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kLongestCommandLine = 32759;
constexpr std::uint32_t kTimeLimitMs = 180000;
constexpr std::size_t kErrorFileBytes = 2048;

// Only where wide characters are UTF-32 (POSIX) can one lie above U+FFFF.
bool above_bmp(std::uint32_t code) { return code > 0xFFFF; }

// UTF-16LE without BOM; wide characters above U+FFFF (UTF-32 platforms)
// become surrogate pairs.
std::string utf16le_bytes(const std::wstring& text) {
    std::string out;
    out.reserve(text.size() * 2);
    auto put = [&out](std::uint32_t unit) {
        out += static_cast<char>(unit & 0xFF);
        out += static_cast<char>((unit >> 8) & 0xFF);
    };
    for (wchar_t c : text) {
        auto code = static_cast<std::uint32_t>(c);
        if (above_bmp(code)) {
            code -= 0x10000;
            put(0xD800 + (code >> 10));
            put(0xDC00 + (code & 0x3FF));
        } else {
            put(code);
        }
    }
    return out;
}

}  // namespace

std::optional<std::wstring> decode_extraction_module(std::string_view bytes) {
    auto text = platform::utf8_to_wide_strict(bytes);
    if (!text || text->empty()) return std::nullopt;
    if ((*text)[0] == L'\xFEFF') text->erase(0, 1);
    return text;
}

fs::path extraction_error_file(const fs::path& destination) {
    fs::path file = destination;
    file += ".error.txt";
    return file;
}

std::size_t utf16_length(const std::wstring& text) {
    std::size_t units = text.size();
    for (wchar_t c : text) {
        if (above_bmp(static_cast<std::uint32_t>(c))) ++units;
    }
    return units;
}

std::optional<std::wstring> extraction_command_line(const std::wstring& module,
                                                    const fs::path& package,
                                                    const fs::path& destination,
                                                    const fs::path& powershell) {
    const std::wstring script =
        module + L"\ntry { Expand-LumetraPackage -Package " +
        quote_powershell_literal(platform::path_to_wide(package)) + L" -Destination " +
        quote_powershell_literal(platform::path_to_wide(destination)) +
        L"; exit 0 } catch { [IO.File]::WriteAllText(" +
        quote_powershell_literal(platform::path_to_wide(extraction_error_file(destination))) +
        L", $_.Exception.Message, [Text.UTF8Encoding]::new($false)); exit 1 }";
    const std::string encoded = encode_base64(utf16le_bytes(script));
    std::wstring command = quote_argument(platform::path_to_wide(powershell)) +
                           L" -NoLogo -NoProfile -NonInteractive -ExecutionPolicy Bypass "
                           L"-EncodedCommand ";
    command.append(encoded.begin(), encoded.end());
    if (utf16_length(command) > kLongestCommandLine) return std::nullopt;
    return command;
}

std::wstring extraction_failure_message(std::uint32_t exit_code, const fs::path& error_file) {
    std::wstring message = L"安全解压失败或超时，exit=" + std::to_wstring(exit_code);
    std::string bytes(kErrorFileBytes, '\0');
    std::ifstream in(error_file, std::ios::binary);
    std::streamsize got = 0;
    if (in) {
        in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        got = in.gcount();
    }
    bytes.resize(static_cast<std::size_t>(got));
    const std::wstring text = platform::utf8_to_wide_replacing(bytes);
    if (!text.empty()) message += L"：" + text;
    return message;
}

bool run_secure_extraction(const fs::path& package, const fs::path& destination,
                           std::wstring& message) {
    try {
        const auto bytes = platform::extraction_script();
        if (!bytes || bytes->empty()) {
            message = L"安全解压模块缺失";
            return false;
        }
        const auto module = decode_extraction_module(*bytes);
        if (!module) {
            message = L"安全解压模块编码错误";
            return false;
        }
        const auto powershell = platform::powershell_path();
        if (!powershell) {
            message = L"无法确定系统PowerShell路径";
            return false;
        }
        const auto command = extraction_command_line(*module, package, destination, *powershell);
        if (!command) {
            message = L"安全解压命令超过系统长度限制";
            return false;
        }
        // An earlier run's error file would otherwise pass for this run's.
        const fs::path error_file = extraction_error_file(destination);
        std::error_code ignored;
        fs::remove(error_file, ignored);
        std::uint32_t exit_code = 1;
        if (run_process_with_timeout(*command, kTimeLimitMs, exit_code)) return true;
        message = extraction_failure_message(exit_code, error_file);
    } catch (const std::exception&) {
        // Only allocation or path conversion can fail here; report it like a
        // PowerShell that could not be started.
        message = L"安全解压失败或超时，exit=1";
    }
    return false;
}

bool run_process_with_timeout(std::wstring command_line, std::uint32_t timeout_ms,
                              std::uint32_t& exit_code) {
    return platform::run_process(command_line, timeout_ms, exit_code);
}

std::string encode_base64(const std::string& bytes) {
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve(4 * ((bytes.size() + 2) / 3));
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const std::uint32_t v =
            static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16 |
            static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8 |
            static_cast<unsigned char>(bytes[i + 2]);
        out += alphabet[v >> 18];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
        out += alphabet[v & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        std::uint32_t v = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
        if (rest == 2)
            v |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        out += alphabet[v >> 18];
        out += alphabet[(v >> 12) & 63];
        out += rest == 2 ? alphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::wstring quote_powershell_literal(const std::wstring& text) {
    // PowerShell ends a single-quoted string at any of these five characters
    // and reads any of them written twice as one.
    static const std::wstring kQuotes = L"\x27\x2018\x2019\x201A\x201B";
    std::wstring out = L"'";
    for (wchar_t c : text) {
        if (kQuotes.find(c) != std::wstring::npos) out += c;
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
