#include <cstdlib>

#include "test_support.h"
#include "transaction/file_operations.h"

// System messages come in the ANSI code page (936 under Wine here), paths as UTF-8: both whole.
TEST(RuntimeText, MessageAndPathsWhole) {
    const std::error_code code(32, std::system_category());
    std::wstring message = platform::utf8_to_wide_replacing(code.message());
#ifdef _WIN32
    if (const char* page = std::getenv("LUMETRA_EXPECT_ACP")) {
        ASSERT_EQ(::GetACP(), std::stoul(page));
    }
    message.resize(512);
    message.resize(::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                    nullptr, 32, 0, message.data(), 512, nullptr));
    message.erase(message.find_last_not_of(L".。\r\n ") + 1);
#endif
    ASSERT_FALSE(message.empty());
    const std::wstring paths[] = {L"C:\\升级\\a", L"D:\\é"};
    const std::wstring text =
        platform::utf8_to_wide_strict(
            failure_text(fs::filesystem_error("copy failed", platform::wide_to_path(paths[0]),
                                              platform::wide_to_path(paths[1]), code)))
            .value_or(L"not UTF-8");
    for (const std::wstring& part : {message, paths[0], paths[1]}) {
        EXPECT_NE(text.find(part), std::wstring::npos) << platform::wide_to_utf8(text);
    }
}

// A long absolute path gets the extended form, normalised as the system would; others stay.
TEST(ExtendedLengthText, Table) {
    const std::wstring d(250, L'd'), x = L"\\\\?\\", e(244, L'e');
    const std::pair<std::wstring, std::wstring> cases[] = {
        {L"C:\\" + d, x + L"C:\\" + d},
        {L"c:/" + d + L"//x/", x + L"c:\\" + d + L"\\x\\"},
        {L"C:\\a\\.\\b\\..\\\\" + d + L"\\.", x + L"C:\\a\\" + d},
        {L"C:\\..\\..\\" + d, x + L"C:\\" + d},  // ".." stops at the drive's root
        {L"\\\\srv\\share\\" + d, x + L"UNC\\srv\\share\\" + d},
        {L"//srv/share/../" + d, x + L"UNC\\srv\\share\\" + d},  // and at the share
        {L"C:\\" + e + L"e", x + L"C:\\" + e + L"e"},            // 248 units
        {L"C:\\" + e, L""},                                      // 247
        {L"C:\\Lumetra\\bin\\..\\Lumetra.exe", L""},
        {x + L"C:\\" + d + L"\\..\\x", L""},
        {L"\\\\.\\pipe\\" + d, L""},
        {L"\\??\\C:\\" + d, L""},
        {d + L"\\x", L""},
        {L"C:" + d, L""},
        {L"\\" + d, L""},
        {L"C:\\" + d + L"\\name.", L""},  // the system trims a plain path's dots and spaces
        {L"C:\\dir \\" + d, L""},
    };
    for (const auto& [path, extended] : cases) {
        EXPECT_EQ(platform::extended_length_text(path), extended.empty() ? path : extended)
            << platform::wide_to_utf8(path);
    }
}
