#include "extract/runner.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "platform/platform.h"
#include "test_support.h"

namespace fs = std::filesystem;

TEST(ExtractionCommandLine, RefusedFrom32760CodeUnitsAndRoomForTwo1000CharacterPaths) {
    const std::wstring module = L"function Expand-LumetraPackage {}";
    const std::size_t base = utf16_length(*extraction_command_line(module, L"/p.zip", L"/d", L"/"));
    // The PowerShell path adds one code unit per character, so any length can be hit.
    const std::string fits = "/" + std::string(32759 - base, 'p');
    EXPECT_EQ(utf16_length(*extraction_command_line(module, L"/p.zip", L"/d", fs::u8path(fits))), 32759u);
    EXPECT_FALSE(extraction_command_line(module, L"/p.zip", L"/d", fs::u8path(fits + "p")));
    const std::string pair = fits.substr(2) + u8"\U0001F600";  // one character, two code units
    EXPECT_EQ(utf16_length(*extraction_command_line(module, L"/p.zip", L"/d", fs::u8path(pair))), 32759u);
    EXPECT_FALSE(extraction_command_line(module, L"/p.zip", L"/d", fs::u8path(pair + "p")));

    const std::wstring shipped = *decode_extraction_module(*platform::extraction_script());
    const auto longest = extraction_command_line(shipped, L"C:\\" + std::wstring(997, L'p'), L"C:\\" + std::wstring(997, L'd'),
                                                 L"C:\\Windows\\system32\\WindowsPowerShell/v1.0/powershell.exe");
    ASSERT_TRUE(longest);
    std::printf("command with two 1,000-character paths: %zu of 32,759 code units\n", utf16_length(*longest));
}

TEST(ExtractionFailureMessage, AppendsAtMost2048BytesOfTheErrorFile) {
    TempDir dir;
    const std::wstring prefix = L"安全解压失败或超时，exit=";
    EXPECT_EQ(extraction_failure_message(1, dir / "none.error.txt"), prefix + L"1");
    write_file(dir / "empty.error.txt", "");
    EXPECT_EQ(extraction_failure_message(1, dir / "empty.error.txt"), prefix + L"1");
    // 2,047 bytes and a three-byte character: the cut one becomes U+FFFD.
    write_file(dir / "long.error.txt", std::string(2047, 'a') + "升");
    EXPECT_EQ(extraction_failure_message(4294967295u, dir / "long.error.txt"),
              prefix + L"4294967295：" + std::wstring(2047, L'a') + L"\xFFFD");
}

TEST(RunSecureExtraction, RefusesATooLongCommandAndReportsTheScriptsOwnMessage) {
    TempDir dir;
    std::wstring message;
    EXPECT_FALSE(run_secure_extraction(dir / "p.zip", dir / std::string(4000, 'd') / std::string(4000, 'e'), message));
    EXPECT_EQ(message, L"安全解压命令超过系统长度限制");
#ifndef _WIN32  // the Linux build's PowerShell; a stale error file is not this run's
    write_file(dir / "dest/leftover", "x");
    write_file(dir / "dest.error.txt", "stale");
    EXPECT_FALSE(run_secure_extraction(dir / "missing.zip", dir / "dest", message));
    EXPECT_EQ(message, L"安全解压失败或超时，exit=1：解压目录必须已建立且为空");
#endif
}

#ifndef _WIN32
TEST(RunProcessWithTimeout, ExitCodesAndTimeOut) {
    std::uint32_t code = 77;
    EXPECT_TRUE(run_process_with_timeout(L"/bin/sh -c \"exit 0\"", 10000, code));
    EXPECT_EQ(code, 0u);
    EXPECT_FALSE(run_process_with_timeout(L"/bin/sh -c \"exit 3\"", 10000, code));
    EXPECT_EQ(code, 3u);
    code = 77;
    EXPECT_FALSE(run_process_with_timeout(L"/nonexistent/program", 10000, code));
    EXPECT_EQ(code, 77u);
    EXPECT_FALSE(run_process_with_timeout(L"/bin/sleep 30", 300, code));
    EXPECT_EQ(code, 1u);
}
#endif
