#include "extract/runner.h"

#include "test_support.h"  // windows.h before shellapi.h
#ifdef _WIN32
#include <shellapi.h>
#endif

// Values come back from the portable splitter and, on Windows, the system's, which it must match.
TEST(QuoteArgument, ReadBackWhole) {
    std::mt19937 random(20250101);
    const std::wstring alphabet = L"a Z\t\"\\\\\\/:.升é\u00a0-";
    for (int i = 0; i < 3000; ++i) {
        std::vector<std::wstring> args{L"C:\\Program Files\\prog.exe", L"", L"", L""};
        std::wstring line = L"\"" + args[0] + L"\"";
        for (std::size_t k = 1; k < 4; ++k) {
            for (auto n = random() % 15; n > 0; --n)
                args[k] += alphabet[random() % alphabet.size()];
            line += L" " + quote_argument(args[k]);
        }
        ASSERT_EQ(platform::split_command_line(line), args) << i;
#ifdef _WIN32
        for (const std::wstring& raw : {line, args[1] + L" " + args[2]}) {
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

// Each unit of the PowerShell path counts; two 1,000-character paths still fit.
TEST(ExtractionCommandLine, RefusedFrom32760Units) {
    const auto length = [](const std::string& powershell) {
        const auto line = extraction_command_line(L"function Expand-LumetraPackage {}", L"/p.zip",
                                                  L"/d", fs::u8path(powershell));
        return line ? utf16_length(*line) : 0;
    };
    const std::string fits = "/" + std::string(32759 - length("/"), 'p');
    for (const std::string& powershell : {fits, fits.substr(2) + u8"\U0001F600"}) {  // 2 units
        EXPECT_EQ(length(powershell), 32759u);
        EXPECT_EQ(length(powershell + "p"), 0u);
    }
    EXPECT_TRUE(extraction_command_line(
        *decode_extraction_module(*platform::extraction_script()),
        L"C:\\" + std::wstring(997, L'p'), L"C:\\" + std::wstring(997, L'd'),
        L"C:\\Windows\\system32\\WindowsPowerShell/v1.0/powershell.exe"));
}

// The error file (named by the code; "-": none) adds at most 2,048 bytes, a cut character U+FFFD.
TEST(ExtractionFailureMessage, Table) {
    Sandbox dir;
    const std::tuple<std::string, std::uint32_t, std::wstring> cases[] = {
        {"-", 1, L""},
        {"", 0, L""},
        {std::string(2048, 'a') + "b", 2, L"：" + std::wstring(2048, L'a')},
        {std::string(2047, 'a') + "升", 4294967295u, L"：" + std::wstring(2047, L'a') + L"\xFFFD"},
    };
    for (const auto& [bytes, code, text] : cases) {
        const fs::path file = dir / std::to_string(code);
        if (bytes != "-") write_file(file, bytes);
        EXPECT_EQ(extraction_failure_message(code, file),
                  L"安全解压失败或超时，exit=" + std::to_wstring(code) + text);
    }
    std::wstring message;
    EXPECT_FALSE(run_secure_extraction(
        dir / "p.zip", dir / std::string(4000, 'd') / std::string(4000, 'e'), message));
    EXPECT_EQ(message, L"安全解压命令超过系统长度限制");
}

#ifndef _WIN32
TEST(RunProcessWithTimeout, Table) {
    const std::tuple<const wchar_t*, std::uint32_t, std::uint32_t> cases[] = {
        {L"/bin/sh -c \"exit 0\"", 10000, 0},
        {L"/bin/sh -c \"exit 3\"", 10000, 3},
        {L"/nonexistent/program", 10000, 77},  // untouched
        {L"/bin/sh -c \"sleep 1; touch killed\"", 300, 1}};
    for (const auto& [line, timeout, code] : cases) {
        std::uint32_t got = 77;
        EXPECT_EQ(std::pair(run_process_with_timeout(line, timeout, got), got),
                  std::pair(code == 0, code))
            << line;
    }
    EXPECT_FALSE(fs::remove("killed"));  // made unless killed
}
#endif
