#include "platform/platform.h"

#include <gtest/gtest.h>

TEST(SplitCommandLine, FollowsTheWindowsRules) {
    struct Case {
        std::wstring line;
        std::vector<std::wstring> expected;
    };
    const Case cases[] = {
        {L"prog a b", {L"prog", L"a", L"b"}},
        {L"\"C:\\Program Files\\x.exe\" --target \"D:\\My App\"",
         {L"C:\\Program Files\\x.exe", L"--target", L"D:\\My App"}},
        {L"p \"a\\\"b\"", {L"p", L"a\"b"}},
        {L"p a\\\\b", {L"p", L"a\\\\b"}},
        {L"p \"a\\\\\" b", {L"p", L"a\\", L"b"}},
        {L"p \"\"", {L"p", L""}},
        {L"p  \t x", {L"p", L"x"}},
        {L"p \"a\"\"b\"", {L"p", L"a\"b"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(platform::split_command_line(c.line), c.expected);
    }
}

TEST(Utf8, StrictRefusesInvalidAndReplacingSubstitutes) {
    EXPECT_EQ(platform::utf8_to_wide_strict("\xe5\x8d\x87"), std::wstring(L"升"));
    EXPECT_FALSE(platform::utf8_to_wide_strict("\xe5\x8d").has_value());
    EXPECT_FALSE(platform::utf8_to_wide_strict("\xc0\x80").has_value());
    EXPECT_EQ(platform::utf8_to_wide_replacing("a\xe5\x8d"), std::wstring(L"a\xFFFD"));
    EXPECT_EQ(platform::wide_to_utf8(L"升级"), "\xe5\x8d\x87\xe7\xba\xa7");
}
