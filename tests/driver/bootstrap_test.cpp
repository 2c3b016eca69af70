#include "driver/bootstrap.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <gtest/gtest.h>

#include <cwctype>
#include <tuple>

#include "test_support.h"

// The relaunched copy reads its own command line back with the system's rules.
TEST(RelaunchParameters, TheCopyReadsBackTheSameOptions) {
    const UpdaterOptions cases[] = {
        {L"/tmp/my pkg.zip", L"/opt/lumetra/", 0, L"Pannix.exe", false, false},
        {L"C:\\Temp\\a \"b\" c.zip", L"D:\\My App\\", 4294967295u, L"Lumetra.exe", false, false},
        {L"\\\\server\\share\\x\\\"y\\\\.zip", L"D:\\App\\\\", 1, L"Pannix.exe", false, false},
        {L"C:\\t\tab.zip", L"D:\\\"quoted\"\\", 7, L"Lumetra.exe", false, false},
    };
    for (const UpdaterOptions& c : cases) {
        const std::wstring line = L"C:\\Temp\\LumetraUpdater.exe " + make_relaunch_parameters(c);
        const UpdaterOptions read = parse_arguments(platform::split_command_line(line));
        EXPECT_EQ(std::tuple(read.package.wstring(), read.target.wstring(), read.pid, read.launch.wstring(), read.detached, read.verify_extract),
                  std::tuple(c.package.wstring(), c.target.wstring(), c.pid, c.launch.wstring(), true, false)) << platform::wide_to_utf8(line);
    }
}

// The updater must relaunch whenever it runs from the installation itself,
// however the target is spelled, or it cannot replace its own file.
TEST(RunsFromInstallation, TheDirectoriesIdentityDecidesNotTheirSpelling) {
    TempDir dir;
    fs::create_directories(dir / "App" / "tools");
    write_file(dir / "App" / "LumetraUpdater.exe", "x");
    const std::wstring app = (dir / "App").wstring();
    std::wstring lower = app, short_form(1024, L'\0');
    for (wchar_t& c : lower) c = static_cast<wchar_t>(std::towlower(c));
#ifdef _WIN32
    short_form.resize(::GetShortPathNameW(app.c_str(), short_form.data(), 1024));
    ASSERT_NE(short_form, app) << "no distinct short name";
#else
    short_form = app;
#endif
    const std::pair<fs::path, bool> cases[] = {
        {dir / "App", true}, {dir / "App" / ".", true}, {dir / "App" / "tools" / "..", true}, {app + L"\\.", kWindowsNames},
        {lower, kWindowsNames || lower == app}, {short_form, true},
        {dir / "App" / "tools", false}, {dir.path(), false}, {dir / "Gone", false},
    };
    for (const auto& [target, relaunch] : cases) {
        EXPECT_EQ(runs_from_installation(dir / "App" / "LumetraUpdater.exe", target), relaunch) << platform::wide_to_utf8(target.wstring());
    }
}
