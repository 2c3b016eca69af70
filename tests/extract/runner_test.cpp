#include "extract/runner.h"

#include <random>

#include "test_support.h"  // windows.h, whose types shellapi.h needs
#ifdef _WIN32
#include <shellapi.h>
#endif

// Every reader gets each quoted value back: the portable splitter, by which the POSIX layer starts
// programs, and on Windows the system's own, which the portable one must also match on arbitrary
// lines.
TEST(QuoteArgument, EveryReaderGetsTheValueBack) {
    std::vector<std::wstring> values = {
        L"C:\\Temp\\pkg.zip", L"a\"b",  L"\"",     L"",         L"D:\\My App", L"a\\\\b",
        L"D:\\App\\",         L"x\\\\", L"a\\\"b", L"升级 包\t"};
    std::mt19937 random(20250101);
    const std::wstring alphabet = L"a Z\t\"\\\\\\/:.升é\u00a0-";
    for (int round = 0; round < 3000; ++round) {
        std::wstring value;
        for (std::size_t n = random() % 15; n > 0; --n)
            value += alphabet[random() % alphabet.size()];
        values.push_back(value);
    }
    for (std::size_t i = 0; i + 2 < values.size(); ++i) {
        const std::wstring line = L"\"C:\\Program Files\\prog.exe\" " + quote_argument(values[i]) +
                                  L" " + quote_argument(values[i + 1]) + L" " +
                                  quote_argument(values[i + 2]);
        ASSERT_EQ(platform::split_command_line(line),
                  (std::vector<std::wstring>{L"C:\\Program Files\\prog.exe", values[i],
                                             values[i + 1], values[i + 2]}))
            << "value " << i;
#ifdef _WIN32
        for (const std::wstring& raw : {line, values[i] + L" " + values[i + 1]}) {
            int count = 0;
            wchar_t** argv = ::CommandLineToArgvW(raw.c_str(), &count);
            EXPECT_EQ(std::vector<std::wstring>(argv, argv + (argv ? count : 0)),
                      platform::split_command_line(raw))
                << platform::wide_to_utf8(raw);
            ::LocalFree(argv);
        }
#endif
    }
}

// The PowerShell path adds one code unit per character, so any length can be
// hit; the longest command must still leave room for two 1,000-character paths.
TEST(ExtractionCommandLine, RefusedFrom32760CodeUnitsAndRoomForTwo1000CharacterPaths) {
    const std::wstring module = L"function Expand-LumetraPackage {}";
    const std::size_t base = utf16_length(*extraction_command_line(module, L"/p.zip", L"/d", L"/"));
    const std::string fits = "/" + std::string(32759 - base, 'p'),
                      pair = fits.substr(2) + u8"\U0001F600";  // two code units
    for (const std::string& powershell : {fits, pair}) {
        EXPECT_EQ(utf16_length(
                      *extraction_command_line(module, L"/p.zip", L"/d", fs::u8path(powershell))),
                  32759u);
        EXPECT_FALSE(
            extraction_command_line(module, L"/p.zip", L"/d", fs::u8path(powershell + "p")));
    }
    EXPECT_TRUE(extraction_command_line(
        *decode_extraction_module(*platform::extraction_script()),
        L"C:\\" + std::wstring(997, L'p'), L"C:\\" + std::wstring(997, L'd'),
        L"C:\\Windows\\system32\\WindowsPowerShell/v1.0/powershell.exe"));
}

TEST(ExtractionFailureMessage, AppendsAtMost2048BytesOfTheErrorFileAndRefusesATooLongCommand) {
    Sandbox dir;
    const std::wstring prefix = L"安全解压失败或超时，exit=";
    write_file(dir / "empty.error.txt", "");
    write_file(dir / "long.error.txt", std::string(2048, 'a') + "b");
    write_file(dir / "cut.error.txt",
               std::string(2047, 'a') + "升");  // the cut character becomes U+FFFD
    EXPECT_EQ(extraction_failure_message(1, dir / "none.error.txt"), prefix + L"1");
    EXPECT_EQ(extraction_failure_message(1, dir / "empty.error.txt"), prefix + L"1");
    EXPECT_EQ(extraction_failure_message(2, dir / "long.error.txt"),
              prefix + L"2：" + std::wstring(2048, L'a'));
    EXPECT_EQ(extraction_failure_message(4294967295u, dir / "cut.error.txt"),
              prefix + L"4294967295：" + std::wstring(2047, L'a') + L"\xFFFD");
    std::wstring message;
    EXPECT_FALSE(run_secure_extraction(
        dir / "p.zip", dir / std::string(4000, 'd') / std::string(4000, 'e'), message));
    EXPECT_EQ(message, L"安全解压命令超过系统长度限制");
}

#ifndef _WIN32
TEST(RunProcessWithTimeout, ExitCodesNotStartedAndTimeOut) {
    const std::tuple<const wchar_t*, std::uint32_t, bool, std::uint32_t> cases[] = {
        {L"/bin/sh -c \"exit 0\"", 10000, true, 0},
        {L"/bin/sh -c \"exit 3\"", 10000, false, 3},
        {L"/nonexistent/program", 10000, false, 77},
        {L"/bin/sleep 30", 300, false, 1}};
    for (const auto& [line, timeout, finished, code] : cases) {
        std::uint32_t got = 77;
        EXPECT_EQ(std::pair(run_process_with_timeout(line, timeout, got), got),
                  std::pair(finished, code))
            << line;
    }
}
#endif
