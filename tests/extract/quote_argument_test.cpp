#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "extract/runner.h"
#include "platform/platform.h"

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#endif

namespace {

// The arguments the system itself reads from a command line; on builds
// without that call, the portable splitter alone.
std::vector<std::vector<std::wstring>> split_by_every_reader(const std::wstring& line) {
    std::vector<std::vector<std::wstring>> results = {platform::split_command_line(line)};
#ifdef _WIN32
    int count = 0;
    if (wchar_t** argv = CommandLineToArgvW(line.c_str(), &count)) {
        results.emplace_back(argv, argv + count);
        LocalFree(argv);
    } else {
        results.emplace_back();
    }
#endif
    return results;
}

std::wstring random_value(std::mt19937& random) {
    static const std::wstring alphabet = L"a Z\t\"\\\\\\/:.升é\u00a0-";
    std::uniform_int_distribution<std::size_t> length(0, 14);
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    std::wstring value;
    for (std::size_t n = length(random); n > 0; --n) value += alphabet[pick(random)];
    return value;
}

}  // namespace

TEST(QuoteArgument, WritesTheSimpleFormAndDoublesBackslashesBeforeQuotes) {
    const std::pair<std::wstring, std::wstring> cases[] = {
        {L"C:\\Temp\\pkg.zip", L"\"C:\\Temp\\pkg.zip\""},
        {L"Lumetra.exe", L"\"Lumetra.exe\""},
        {L"a\"b", L"\"a\\\"b\""},
        {L"\"", L"\"\\\"\""},
        {L"", L"\"\""},
        {L"D:\\My App", L"\"D:\\My App\""},
        {L"a\\\\b", L"\"a\\\\b\""},
        {L"D:\\App\\", L"\"D:\\App\\\\\""},
        {L"x\\\\", L"\"x\\\\\\\\\""},
        {L"a\\\"b", L"\"a\\\\\\\"b\""},
        {L"升级 包\t", L"\"升级 包\t\""},
    };
    for (const auto& [value, quoted] : cases) {
        EXPECT_EQ(quote_argument(value), quoted);
        for (const auto& read : split_by_every_reader(L"prog " + quoted)) {
            EXPECT_EQ(read, (std::vector<std::wstring>{L"prog", value}));
        }
    }
}

TEST(QuoteArgument, RandomValuesComeBackUnchanged) {
    std::mt19937 random(20250101);
    for (int round = 0; round < 3000; ++round) {
        const std::vector<std::wstring> values = {random_value(random), random_value(random),
                                                  random_value(random)};
        std::wstring line = L"\"C:\\Program Files\\prog.exe\"";
        for (const auto& value : values) line += L" " + quote_argument(value);
        std::vector<std::wstring> expected = {L"C:\\Program Files\\prog.exe"};
        expected.insert(expected.end(), values.begin(), values.end());
        for (const auto& read : split_by_every_reader(line)) {
            ASSERT_EQ(read, expected) << "round " << round;
        }
    }
}
