#include "driver/bootstrap.h"

#ifdef _WIN32
#include <windows.h>

#include <cwctype>
#endif

#include <gtest/gtest.h>

#include <tuple>

#include "platform/platform.h"
#include "test_support.h"

namespace fs = std::filesystem;

// The relaunched copy reads its own command line back with the system's rules.
TEST(RelaunchParameters, TheCopyReadsBackTheSameOptions) {
    const UpdaterOptions cases[] = {
        {L"C:\\Temp\\pkg.zip", L"D:\\App", 4242, L"Lumetra.exe", false, false},
        {L"/tmp/my pkg.zip", L"/opt/lumetra/", 0, L"Pannix.exe", false, false},
        {L"C:\\Temp\\a \"b\" c.zip", L"D:\\My App\\", 4294967295u, L"Lumetra.exe", false, false},
        {L"\\\\server\\share\\x\\\"y\\\\.zip", L"D:\\App\\\\", 1, L"Pannix.exe", false, false},
        {L"C:\\t\tab.zip", L"D:\\\"quoted\"\\", 7, L"Lumetra.exe", false, false},
    };
    for (const UpdaterOptions& c : cases) {
        const std::wstring line = L"C:\\Temp\\LumetraUpdater.exe " + make_relaunch_parameters(c);
        SCOPED_TRACE(platform::wide_to_utf8(line));
        const UpdaterOptions read = parse_arguments(platform::split_command_line(line));
        EXPECT_EQ(std::tuple(read.package.wstring(), read.target.wstring(), read.pid, read.launch.wstring(),
                             read.detached, read.verify_extract),
                  std::tuple(c.package.wstring(), c.target.wstring(), c.pid, c.launch.wstring(), true, false));
    }
}

// The updater must relaunch whenever it runs from the installation itself,
// however the target is spelled, or it cannot replace its own file.
TEST(RunsFromInstallation, TheDirectoriesIdentityDecidesNotTheirSpelling) {
    TempDir dir;
    fs::create_directories(dir / "App" / "tools");
    const fs::path self = dir / "App" / "LumetraUpdater.exe";
    write_file(self, "x");
    struct Case { const char* what; fs::path target; bool relaunch; };
    std::vector<Case> cases = {
        {"the same spelling", dir / "App", true},
        {"a trailing dot element", dir / "App" / ".", true},
        {"a detour through the parent", dir / "App" / "tools" / "..", true},
        {"a subdirectory", dir / "App" / "tools", false},
        {"the parent", dir.path(), false},
        {"a missing directory", dir / "Gone", false},
    };
#ifdef _WIN32
    const std::wstring app = (dir / "App").wstring();
    std::wstring lower = app;
    for (wchar_t& c : lower) c = static_cast<wchar_t>(std::towlower(c));
    cases.push_back({"another letter case", lower, true});
    cases.push_back({"a trailing backslash and dot", app + L"\\.", true});
    std::wstring short_name(1024, L'\0');
    short_name.resize(::GetShortPathNameW(app.c_str(), short_name.data(), 1024));
    ASSERT_NE(short_name, app) << "no distinct short name";
    cases.push_back({"the 8.3 short name", short_name, true});
#endif
    for (const auto& c : cases) {
        EXPECT_EQ(runs_from_installation(self, c.target), c.relaunch)
            << c.what << ": " << platform::wide_to_utf8(c.target.wstring());
    }
}
