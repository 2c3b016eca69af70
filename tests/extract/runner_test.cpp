#include "extract/runner.h"

#include <gtest/gtest.h>

#include <chrono>

#include "platform/platform.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

std::string decode_base64(const std::string& text) {
    const std::string alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
        if (c == '=') break;
        bits = (bits << 6) | static_cast<std::uint32_t>(alphabet.find(c));
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xFF);
        }
    }
    return out;
}

// The script text carried by a command line, as UTF-16 code units.
std::u16string carried_script(const std::wstring& command) {
    const std::wstring marker = L"-EncodedCommand ";
    const std::wstring encoded = command.substr(command.find(marker) + marker.size());
    const std::string bytes = decode_base64(std::string(encoded.begin(), encoded.end()));
    std::u16string units;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        units += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                       static_cast<unsigned char>(bytes[i + 1]) << 8);
    }
    return units;
}

std::u16string utf16(const std::wstring& text) {
    std::u16string out;
    for (wchar_t c : text) {
        auto code = static_cast<std::uint32_t>(c);
        if (code > 0xFFFF) {
            code -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (code >> 10));
            out += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
        } else {
            out += static_cast<char16_t>(code);
        }
    }
    return out;
}

}  // namespace

TEST(EncodeBase64, Rfc4648Vectors) {
    const std::pair<std::string, std::string> vectors[] = {
        {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},     {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
        {std::string("\xff\xfe\x00", 3), "//4A"}, {std::string("\xfb\xff", 2), "+/8="},
    };
    for (const auto& [in, out] : vectors) EXPECT_EQ(encode_base64(in), out) << out;
}

TEST(QuotePowershellLiteral, DoublesApostrophesOnly) {
    EXPECT_EQ(quote_powershell_literal(L"it's"), L"'it''s'");
    EXPECT_EQ(quote_powershell_literal(L"''"), L"''''''");
    EXPECT_EQ(quote_powershell_literal(L"a\"$b`c\u2019"), L"'a\"$b`c\u2019'");
    EXPECT_EQ(quote_powershell_literal(L""), L"''");
}

TEST(DecodeExtractionModule, SameTextWithOrWithoutByteOrderMark) {
    EXPECT_EQ(decode_extraction_module("\xef\xbb\xbf" "function 升级 {}"), std::wstring(L"function 升级 {}"));
    EXPECT_EQ(decode_extraction_module("function 升级 {}"), std::wstring(L"function 升级 {}"));
    EXPECT_EQ(decode_extraction_module("\xef\xbb\xbf\xef\xbb\xbfx"), std::wstring(L"\xFEFFx"));
    EXPECT_FALSE(decode_extraction_module("function \xe5\x8d {}").has_value());
    EXPECT_FALSE(decode_extraction_module("").has_value());
}

TEST(ExtractionErrorFile, SuffixIsAppendedToThePathText) {
    EXPECT_EQ(extraction_error_file("/s/package"), fs::path("/s/package.error.txt"));
    EXPECT_EQ(extraction_error_file("/s/package/"), fs::path("/s/package/.error.txt"));
}

TEST(ExtractionCommandLine, CarriesModuleAndCallWithQuotedPaths) {
    const std::wstring module = L"function Expand-LumetraPackage {}";
    const auto command = extraction_command_line(module, fs::u8path(u8"/in/it's \U0001F600.zip"), L"/st/o'k",
                                                 L"/opt/p s/pwsh");
    ASSERT_TRUE(command.has_value());
    EXPECT_EQ(command->rfind(L"\"/opt/p s/pwsh\" -NoLogo -NoProfile -NonInteractive "
                             L"-ExecutionPolicy Bypass -EncodedCommand ",
                             0),
              0u);
    EXPECT_EQ(carried_script(*command),
              utf16(module +
                    L"\ntry { Expand-LumetraPackage -Package '/in/it''s \U0001F600.zip' "
                    L"-Destination '/st/o''k'; exit 0 } catch { [IO.File]::WriteAllText("
                    L"'/st/o''k.error.txt', $_.Exception.Message, "
                    L"[Text.UTF8Encoding]::new($false)); exit 1 }"));
}

TEST(ExtractionCommandLine, RefusedFrom32760CodeUnits) {
    const std::wstring module = L"function Expand-LumetraPackage {}";
    const auto base = extraction_command_line(module, L"/p.zip", L"/d", L"/");
    ASSERT_TRUE(base.has_value());
    // The PowerShell path adds one code unit per character, so any length can be hit.
    const std::size_t room = 32759 - utf16_length(*base);
    const std::wstring fits = L"/" + std::wstring(room, L'p');
    const auto longest = extraction_command_line(module, L"/p.zip", L"/d", fits);
    ASSERT_TRUE(longest.has_value());
    EXPECT_EQ(utf16_length(*longest), 32759u);
    EXPECT_FALSE(extraction_command_line(module, L"/p.zip", L"/d", fits + L"p").has_value());
    // A character above U+FFFF is two code units.
    const std::string pair = "/" + std::string(room - 2, 'p') + u8"\U0001F600";
    const auto with_pair = extraction_command_line(module, L"/p.zip", L"/d", fs::u8path(pair));
    ASSERT_TRUE(with_pair.has_value());
    EXPECT_EQ(utf16_length(*with_pair), 32759u);
    EXPECT_FALSE(extraction_command_line(module, L"/p.zip", L"/d", fs::u8path(pair + "p")).has_value());
}

TEST(ExtractionFailureMessage, AppendsTheErrorFileText) {
    TempDir dir;
    EXPECT_EQ(extraction_failure_message(1, dir / "none.error.txt"), L"安全解压失败或超时，exit=1");
    write_file(dir / "empty.error.txt", "");
    EXPECT_EQ(extraction_failure_message(1, dir / "empty.error.txt"), L"安全解压失败或超时，exit=1");
    write_file(dir / "rule.error.txt", "升级包路径越界");
    EXPECT_EQ(extraction_failure_message(1, dir / "rule.error.txt"),
              L"安全解压失败或超时，exit=1：升级包路径越界");
    // 2,047 bytes and a three-byte character: the cut one becomes U+FFFD.
    write_file(dir / "long.error.txt", std::string(2047, 'a') + "升");
    EXPECT_EQ(extraction_failure_message(4294967295u, dir / "long.error.txt"),
              L"安全解压失败或超时，exit=4294967295：" + std::wstring(2047, L'a') + L"\xFFFD");
}

TEST(RunSecureExtraction, TooLongCommandIsRefusedBeforeStarting) {
    TempDir dir;
    const fs::path destination = dir / fs::path(std::string(4000, 'd')) / std::string(4000, 'e');
    std::wstring message;
    EXPECT_FALSE(run_secure_extraction(dir / "p.zip", destination, message));
    EXPECT_EQ(message, L"安全解压命令超过系统长度限制");
}

// The remaining cases start POSIX programs (the Linux build's PowerShell, /bin/sh).
#ifndef _WIN32
TEST(RunSecureExtraction, RealPowerShellReportsTheRuleMessage) {
    TempDir dir;
    write_file(dir / "dest" / "leftover", "x");
    write_file(dir / "dest.error.txt", "stale");
    std::wstring message = L"untouched";
    EXPECT_FALSE(run_secure_extraction(dir / "missing.zip", dir / "dest", message));
    EXPECT_EQ(message, L"安全解压失败或超时，exit=1：解压目录必须已建立且为空");
}

TEST(RunProcessWithTimeout, ExitCodesAndTimeOut) {
    std::uint32_t code = 77;
    EXPECT_TRUE(run_process_with_timeout(L"/bin/sh -c \"exit 0\"", 10000, code));
    EXPECT_EQ(code, 0u);
    EXPECT_FALSE(run_process_with_timeout(L"/bin/sh -c \"exit 3\"", 10000, code));
    EXPECT_EQ(code, 3u);
    code = 77;
    EXPECT_FALSE(run_process_with_timeout(L"/nonexistent/program", 10000, code));
    EXPECT_EQ(code, 77u);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(run_process_with_timeout(L"/bin/sleep 30", 300, code));
    EXPECT_EQ(code, 1u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}
#endif
