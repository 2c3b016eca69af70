// The platform layer's contracts, checked on both builds (the Windows build under Wine).
#ifdef _WIN32
#include <windows.h>
// shellapi.h needs the types of windows.h first.
#include <shellapi.h>
#endif

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "test_support.h"
#include "transaction/file_operations.h"

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
    if (const char* expected = std::getenv("LUMETRA_EXPECT_ACP")) { ASSERT_EQ(::GetACP(), std::strtoul(expected, nullptr, 10)); }
    message.assign(512, L'\0');
    message.resize(::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 32, 0, message.data(), 512, nullptr));
    message = message.substr(0, message.find_last_not_of(L".。\r\n ") + 1);
#endif
    ASSERT_FALSE(message.empty());
    const fs::filesystem_error error("copy failed", platform::wide_to_path(L"C:\\升级\\a"), platform::wide_to_path(L"D:\\é"), code);
    const std::wstring text = platform::utf8_to_wide_strict(failure_text(error)).value_or(L"not UTF-8");
    for (const std::wstring part : {L"copy failed", message.c_str(), L"C:\\升级\\a", L"D:\\é"}) {
        EXPECT_NE(text.find(part), std::wstring::npos) << platform::wide_to_utf8(text);
    }
}

// The portable splitter keeps CommandLineToArgvW's rules where they are least
// obvious; the Windows build also holds it to the system's own splitter.
TEST(SplitCommandLine, KeepsTheSystemRulesForQuotesAndTheProgramName) {
    std::vector<std::pair<std::wstring, std::vector<std::wstring>>> cases = {
        {L"\"C:\\Program Files\\x.exe\" --target \"D:\\My App\"", {L"C:\\Program Files\\x.exe", L"--target", L"D:\\My App"}},
        {L"p \"a\\\"b\" a\\\\b", {L"p", L"a\"b", L"a\\\\b"}}, {L"p \"a\\\\\" b", {L"p", L"a\\", L"b"}}, {L"p \"\" \t x", {L"p", L"", L"x"}},
        {L"\"a b\"c d", {L"a b", L"c", L"d"}}, {L"a\"b c\" d", {L"a\"b", L"c d"}}, {L"p \"a\"\"b c\" d", {L"p", L"a\"b", L"c d"}},
        {L" x", {L"", L"x"}}, {L"\"unterminated program", {L"unterminated program"}}, {L"p \"\"\"\" x", {L"p", L"\" x"}},
        {L"p a\\\\\\\"b \"c\\\\\"", {L"p", L"a\\\"b", L"c\\"}}, {L"p 升级\\\"包\" \"é x\"", {L"p", L"升级\"包 é", L"x"}},
    };
    std::mt19937 random(20240611);
    const std::wstring alphabet = L"ab \t\"\"\\\\\\升é";
    for (int i = 0; kWindowsNames && i < 400; ++i) {  // compared with the system's splitter only
        std::wstring line;
        for (std::size_t n = 1 + random() % 24; n > 0; --n) line += alphabet[random() % alphabet.size()];
        cases.push_back({line, {}});
    }
    for (const auto& [line, expected] : cases) {
        const auto split = platform::split_command_line(line);
        if (!expected.empty()) { EXPECT_EQ(split, expected) << platform::wide_to_utf8(line); }
#ifdef _WIN32
        int count = 0;
        wchar_t** argv = ::CommandLineToArgvW(line.c_str(), &count);
        EXPECT_EQ(std::vector<std::wstring>(argv, argv + (argv ? count : 0)), split) << platform::wide_to_utf8(line);
        ::LocalFree(argv);
#endif
    }
}
