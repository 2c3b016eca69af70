// The platform layer's contracts, checked against real processes and files on
// both builds (the Windows build runs them under Wine too).
#ifdef _WIN32
#include <windows.h>
// shellapi.h needs the types of windows.h first.
#include <shellapi.h>
#endif

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "test_support.h"
#include "transaction/file_operations.h"

namespace fs = std::filesystem;

// The script the program carries (RCDATA 101 on Windows) is the script file.
TEST(ExtractionScript, IsTheScriptFileByteForByte) {
    const auto root = platform::environment_value(L"LUMETRA_SOURCE");
    ASSERT_TRUE(root.has_value());
    const auto script = platform::extraction_script();
    ASSERT_TRUE(script.has_value());
    EXPECT_EQ(*script, read_file(platform::wide_to_path(*root) / "src" / "extract" / "script" /
                                 "Expand-LumetraPackage.ps1"));
}

// Hostile bytes never decode strictly and become U+FFFD when replaced: a lone
// continuation, an overlong NUL, a cut sequence, a surrogate, beyond U+10FFFF.
TEST(Utf8, InvalidSequencesAreRefusedOrReplaced) {
    for (const char* bytes : {"a\x80", "\xc0\x80", "\xe5\x8d", "\xed\xa0\x80", "\xf4\x90\x80\x80"}) {
        EXPECT_FALSE(platform::utf8_to_wide_strict(bytes).has_value()) << bytes;
        EXPECT_NE(platform::utf8_to_wide_replacing(bytes).find(L'\xFFFD'), std::wstring::npos) << bytes;
    }
    EXPECT_EQ(platform::utf8_to_wide_strict("\xe5\x8d\x87\xf0\x9f\x98\x80"), L"升\U0001F600");
}

// The runtime describes system errors in its own code page (936 on Chinese
// Windows) but gives paths as UTF-8; the log must show both whole.
TEST(RuntimeText, SystemMessagesAndPathsComeThroughWhole) {
    const std::error_code code(32, std::system_category());
    std::wstring message = platform::utf8_to_wide_replacing(code.message());
#ifdef _WIN32
    if (const char* expected = std::getenv("LUMETRA_EXPECT_ACP")) {
        ASSERT_EQ(::GetACP(), std::strtoul(expected, nullptr, 10));
    }
    message.assign(512, L'\0');
    message.resize(::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                    nullptr, 32, 0, message.data(), 512, nullptr));
    message = message.substr(0, message.find_last_not_of(L".。\r\n ") + 1);
#endif
    ASSERT_FALSE(message.empty());
    const fs::filesystem_error error("copy failed", platform::wide_to_path(L"C:\\升级\\a"),
                                     platform::wide_to_path(L"D:\\é"), code);
    const std::wstring text =
        platform::utf8_to_wide_strict(failure_text(error)).value_or(L"not UTF-8");
    for (const std::wstring& part : {std::wstring(L"copy failed"), message,
                                     std::wstring(L"C:\\升级\\a"), std::wstring(L"D:\\é")}) {
        EXPECT_NE(text.find(part), std::wstring::npos) << platform::wide_to_utf8(text);
    }
}

#ifdef _WIN32
namespace {

std::vector<std::wstring> system_split(const std::wstring& line) {
    int count = 0;
    LPWSTR* argv = ::CommandLineToArgvW(line.c_str(), &count);
    if (argv == nullptr) return {};
    std::vector<std::wstring> args(argv, argv + count);
    ::LocalFree(argv);
    return args;
}

}  // namespace
#endif

// The portable splitter keeps CommandLineToArgvW's rules where they are least
// obvious; the Windows build also holds it to the system's own splitter.
TEST(SplitCommandLine, KeepsTheSystemRulesForQuotesAndTheProgramName) {
    struct Case { std::wstring line; std::vector<std::wstring> expected; };
    const Case cases[] = {
        {L"\"C:\\Program Files\\x.exe\" --target \"D:\\My App\"", {L"C:\\Program Files\\x.exe", L"--target", L"D:\\My App"}},
        {L"p \"a\\\"b\"", {L"p", L"a\"b"}},
        {L"p a\\\\b", {L"p", L"a\\\\b"}},
        {L"p \"a\\\\\" b", {L"p", L"a\\", L"b"}},
        {L"p \"\"", {L"p", L""}},
        {L"p  \t x", {L"p", L"x"}},
        {L"\"a b\"c d", {L"a b", L"c", L"d"}},
        {L"a\"b c\" d", {L"a\"b", L"c d"}},
        {L"p \"a\"\"b c\" d", {L"p", L"a\"b", L"c d"}},
        {L"p \"\"\"\" x", {L"p", L"\" x"}},
        {L"p a\\\\\\\"b \"c\\\\\"", {L"p", L"a\\\"b", L"c\\"}},
        {L" x", {L"", L"x"}},
        {L"\"unterminated program", {L"unterminated program"}},
        {L"p \"unterminated  quote", {L"p", L"unterminated  quote"}},
        {L"p 升级\\\"包\" \"é x\"", {L"p", L"升级\"包 é", L"x"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(platform::split_command_line(c.line), c.expected) << platform::wide_to_utf8(c.line);
#ifdef _WIN32
        EXPECT_EQ(system_split(c.line), c.expected) << platform::wide_to_utf8(c.line);
#endif
    }
#ifdef _WIN32
    std::mt19937 random(20240611);
    const std::wstring alphabet = L"ab \t\"\"\\\\\\升é";
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    std::uniform_int_distribution<std::size_t> length(1, 24);
    for (int i = 0; i < 400; ++i) {
        std::wstring line;
        for (std::size_t n = length(random); n > 0; --n) line += alphabet[pick(random)];
        EXPECT_EQ(platform::split_command_line(line), system_split(line)) << platform::wide_to_utf8(line);
    }
#endif
}
