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

}  // namespace

// Both copies and the line format are checked end to end; here, a copy that
// cannot be written (read-only media, a file in the way) costs only itself.
TEST(UpdateLog, AnUnwritableCopyIsSkippedSilentlyAndTheOtherStillAppended) {
    const std::string line = u8"升级成功，备份目录：D:\\App\\updates\\backup_1\n";
    const auto saved = platform::environment_value(L"LOCALAPPDATA");
    TempDir install, local;
    set_local_app_data(local.path().wstring());
    write_file(install / "logs", "a file where the logs directory belongs");
    write_file(local / "Veltrion" / "updater.log", "earlier run\n");
    for (int i = 0; i < 2; ++i) EXPECT_NO_THROW(write_update_log(install.path(), L"升级成功，备份目录：D:\\App\\updates\\backup_1"));
    set_local_app_data(saved);
    EXPECT_EQ(read_file(local / "Veltrion" / "updater.log"), "earlier run\n" + line + line);
    EXPECT_EQ(read_file(install / "logs"), "a file where the logs directory belongs");
}
