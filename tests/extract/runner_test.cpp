#include "extract/runner.h"

#include "test_support.h"  // windows.h, whose types shellapi.h needs
#ifdef _WIN32
#include <shellapi.h>
#endif

// Quoted values come back whole from the portable splitter, by which the POSIX layer starts
// programs, and on Windows from the system's own, which the portable one must match on any line.
TEST(QuoteArgument, EveryReaderGetsTheValueBack) {
    std::vector<std::wstring> values = {
        L"C:\\Temp\\pkg.zip", L"a\"b",  L"\"",     L"",         L"a\\\\b",
        L"D:\\App\\",         L"x\\\\", L"a\\\"b", L"升级 包\t"};
    std::mt19937 random(20250101);
    const std::wstring alphabet = L"a Z\t\"\\\\\\/:.升é\u00a0-";
    while (values.size() < 3000) {
        values.emplace_back();
        for (std::size_t n = random() % 15; n > 0; --n)
            values.back() += alphabet[random() % alphabet.size()];
    }
    for (std::size_t i = 0; i + 2 < values.size(); ++i) {
        std::vector<std::wstring> args{L"C:\\Program Files\\prog.exe"};
        std::wstring line = L"\"" + args[0] + L"\"";
        for (std::size_t k = i; k < i + 3; ++k)
            line += L" " + quote_argument(values[k]), args.push_back(values[k]);
        ASSERT_EQ(platform::split_command_line(line), args) << "value " << i;
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

// The PowerShell path adds one code unit a character, so any length can be reached; the longest
// command must still leave room for two 1,000-character paths.
TEST(ExtractionCommandLine, RefusedFrom32760CodeUnitsAndRoomForTwo1000CharacterPaths) {
    const auto length = [](const std::string& powershell) {
        const auto line = extraction_command_line(L"function Expand-LumetraPackage {}", L"/p.zip",
                                                  L"/d", fs::u8path(powershell));
        return line ? utf16_length(*line) : 0;
    };
    const std::string fits = "/" + std::string(32759 - length("/"), 'p');
    for (const std::string& powershell : {fits, fits.substr(2) + u8"\U0001F600"}) {  // 2 units
        EXPECT_EQ(std::pair(length(powershell), length(powershell + "p")),
                  (std::pair<std::size_t, std::size_t>(32759, 0)));
    }
    EXPECT_TRUE(extraction_command_line(
        *decode_extraction_module(*platform::extraction_script()),
        L"C:\\" + std::wstring(997, L'p'), L"C:\\" + std::wstring(997, L'd'),
        L"C:\\Windows\\system32\\WindowsPowerShell/v1.0/powershell.exe"));
}

// At most 2,048 bytes of the error file are appended; a character cut there becomes U+FFFD.
TEST(ExtractionFailureMessage, AppendsAtMost2048BytesOfTheErrorFileAndRefusesATooLongCommand) {
    Sandbox dir;
    const std::wstring prefix = L"安全解压失败或超时，exit=";
    const std::tuple<const char*, std::string, std::uint32_t, std::wstring> cases[] = {
        {"none", "-", 1, L"1"},
        {"empty", "", 1, L"1"},
        {"long", std::string(2048, 'a') + "b", 2, L"2：" + std::wstring(2048, L'a')},
        {"cut", std::string(2047, 'a') + "升", 4294967295u,
         L"4294967295：" + std::wstring(2047, L'a') + L"\xFFFD"},
    };
    for (const auto& [name, bytes, code, text] : cases) {
        if (bytes != "-") write_file(dir / name, bytes);
        EXPECT_EQ(extraction_failure_message(code, dir / name), prefix + text) << name;
    }
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
        {L"/nonexistent/program", 10000, false, 77},  // left as it was
        {L"/bin/sleep 30", 300, false, 1}};
    for (const auto& [line, timeout, finished, code] : cases) {
        std::uint32_t got = 77;
        EXPECT_EQ(std::pair(run_process_with_timeout(line, timeout, got), got),
                  std::pair(finished, code))
            << line;
    }
}
#endif
