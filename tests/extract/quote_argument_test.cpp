#include <gtest/gtest.h>

#include <random>

#include "extract/runner.h"
#include "platform/platform.h"

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#endif

namespace {

// The arguments the portable splitter and, on Windows, the system itself read.
std::vector<std::vector<std::wstring>> split_by_every_reader(const std::wstring& line) {
    std::vector<std::vector<std::wstring>> results = {platform::split_command_line(line)};
#ifdef _WIN32
    int count = 0;
    wchar_t** argv = CommandLineToArgvW(line.c_str(), &count);
    results.emplace_back(argv, argv + (argv ? count : 0));
    LocalFree(argv);
#endif
    return results;
}

}  // namespace

TEST(QuoteArgument, EveryReaderGetsTheValueBack) {
    std::vector<std::wstring> values = {L"C:\\Temp\\pkg.zip", L"a\"b", L"\"", L"", L"D:\\My App", L"a\\\\b",
                                        L"D:\\App\\", L"x\\\\", L"a\\\"b", L"升级 包\t"};
    EXPECT_EQ(quote_argument(L"D:\\App\\"), L"\"D:\\App\\\\\"");
    std::mt19937 random(20250101);
    const std::wstring alphabet = L"a Z\t\"\\\\\\/:.升é\u00a0-";
    for (int round = 0; round < 3000; ++round) {
        std::wstring value;
        for (std::size_t n = random() % 15; n > 0; --n) value += alphabet[random() % alphabet.size()];
        values.push_back(value);
    }
    for (std::size_t i = 0; i + 2 < values.size(); ++i) {
        const std::wstring line = L"\"C:\\Program Files\\prog.exe\" " + quote_argument(values[i]) + L" " +
                                  quote_argument(values[i + 1]) + L" " + quote_argument(values[i + 2]);
        for (const auto& read : split_by_every_reader(line)) {
            ASSERT_EQ(read, (std::vector<std::wstring>{L"C:\\Program Files\\prog.exe", values[i], values[i + 1], values[i + 2]}))
                << "value " << i;
        }
    }
}
