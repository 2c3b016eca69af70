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

TEST(WaitForProcess, EndedMissingAndStillRunning) {
    TempDir dir;
    write_file(dir / "f", "x");
    std::uint32_t gone = 0;
    {
        HeldFile ending(dir / "f", 200);
        EXPECT_TRUE(platform::wait_for_process(ending.pid(), 20000)) << "a child that exits";
        gone = ending.pid();
    }
    EXPECT_TRUE(platform::wait_for_process(gone, 20000)) << "a pid that names no process";
    HeldFile running(dir / "f", 60000);
    EXPECT_FALSE(platform::wait_for_process(running.pid(), 300)) << "a child still running";
}

// The script the program carries (RCDATA 101 on Windows) is the script file.
TEST(ExtractionScript, IsTheScriptFileByteForByte) {
    const auto root = platform::environment_value(L"LUMETRA_SOURCE");
    ASSERT_TRUE(root.has_value());
    const auto script = platform::extraction_script();
    ASSERT_TRUE(script.has_value());
    EXPECT_EQ(*script, read_file(platform::wide_to_path(*root) / "src" / "extract" / "script" /
                                 "Expand-LumetraPackage.ps1"));
}

TEST(Utf8, StrictAndReplacingDecodingAndEncoding) {
    const std::pair<std::string, std::wstring> valid[] = {
        {"", L""},
        {"\xe5\x8d\x87\xe7\xba\xa7", L"升级"},
        {"\xc3\xa9\xf0\x9f\x98\x80", L"é\U0001F600"},
    };
    for (const auto& [bytes, wide] : valid) {
        EXPECT_EQ(platform::utf8_to_wide_strict(bytes), wide) << bytes;
        EXPECT_EQ(platform::wide_to_utf8(wide), bytes) << bytes;
    }
    // lone continuation, overlong NUL, cut short, surrogate, beyond U+10FFFF
    for (const char* bytes : {"a\x80", "\xc0\x80", "\xe5\x8d", "\xed\xa0\x80", "\xf4\x90\x80\x80"}) {
        EXPECT_FALSE(platform::utf8_to_wide_strict(bytes).has_value()) << bytes;
        EXPECT_NE(platform::utf8_to_wide_replacing(bytes).find(L'\xFFFD'), std::wstring::npos)
            << bytes;
    }
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
    int rows = 0;
    for (const std::wstring wide : {L"€ é", L"替换文件失败"}) {
        BOOL lossy = FALSE;
        std::string bytes(64, '\0');
        bytes.resize(::WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, bytes.data(), 64, nullptr,
                                           &lossy) - 1);
        if (lossy) continue;
        ++rows;
        EXPECT_EQ(platform::runtime_text_to_wide(bytes), wide) << ::GetACP();
    }
    EXPECT_GT(rows, 0) << "no text fits code page " << ::GetACP();
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
    struct Case {
        std::wstring line;
        std::vector<std::wstring> expected;
    };
    const Case cases[] = {
        {L"\"C:\\Program Files\\x.exe\" --target \"D:\\My App\"",
         {L"C:\\Program Files\\x.exe", L"--target", L"D:\\My App"}},
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
        EXPECT_EQ(platform::split_command_line(c.line), c.expected)
            << platform::wide_to_utf8(c.line);
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
        EXPECT_EQ(platform::split_command_line(line), system_split(line))
            << platform::wide_to_utf8(line);
    }
#endif
}
