#include "support/update_log.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>

#include "platform/platform.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

void set_local_app_data(const std::optional<std::wstring>& value) {
#ifdef _WIN32
    ::SetEnvironmentVariableW(L"LOCALAPPDATA", value ? value->c_str() : nullptr);
#else
    value ? ::setenv("LOCALAPPDATA", platform::wide_to_utf8(*value).c_str(), 1) : ::unsetenv("LOCALAPPDATA");
#endif
}

std::string content_or_dash(const fs::path& file) {
    std::error_code ec;
    return fs::is_regular_file(file, ec) ? read_file(file) : "-";
}

}  // namespace

TEST(UpdateLog, AppendsTheUtf8LineToEveryCopyThatCanBeWritten) {
    const std::string line = u8"升级成功，备份目录：D:\\App\\updates\\backup_1\n";
    struct Case { const char* what; bool local_set, logs_blocked; std::string install, local; };  // "-": no file
    const Case cases[] = {
        {"both copies, appended", true, false, "earlier run\n" + line + line, line + line},
        {"no LOCALAPPDATA", false, false, "earlier run\n" + line + line, "-"},
        {"the installation copy cannot be written", true, true, "-", line + line},
    };
    const auto saved = platform::environment_value(L"LOCALAPPDATA");
    for (const auto& c : cases) {
        TempDir install, local;
        set_local_app_data(c.local_set ? std::optional(local.path().wstring()) : std::nullopt);
        write_file(c.logs_blocked ? install / "logs" : install / "logs" / "updater.log",
                   "earlier run\n");
        for (int i = 0; i < 2; ++i) EXPECT_NO_THROW(write_update_log(install.path(), L"升级成功，备份目录：D:\\App\\updates\\backup_1"));
        EXPECT_EQ(content_or_dash(install / "logs" / "updater.log"), c.install) << c.what;
        EXPECT_EQ(content_or_dash(local / "Veltrion" / "updater.log"), c.local) << c.what;
    }
    set_local_app_data(saved);
}
