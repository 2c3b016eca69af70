#include "driver/bootstrap.h"
#include "driver/options.h"
#include "test_support.h"

// Exact names, the last counting, any value taken, flags set by "1" only, numbers read by wcstoul.
TEST(ParseArguments, Table) {
    struct Case {
        std::wstring line, package{}, target{}, launch = L"Lumetra.exe";
        std::uint32_t pid = 0;
        bool detached = false, verify = false;
    };
    const Case cases[] = {
        {L"u --package a --detached 1 --package b --Package c --detached 0 --pid 42x --target",
         L"b", L"", L"Lumetra.exe", 42},
        {L"u --detached 1 --verify-extract 1 --launch Pannix.exe --pid abc --target D:\\App", L"",
         L"D:\\App", L"Pannix.exe", 0, true, true},
        {L"u --package=a.zip --target D:\\App"},  // pairs from the first argument on
        {L"u --package --target --launch Pannix.exe --verify-extract true", L"--target", L"",
         L"Pannix.exe"},
        {L"C:\\Temp\\LumetraUpdater.exe " +
             make_relaunch_parameters({L"C:\\Temp\\a \"b\" c.zip", L"D:\\My App\\", 4294967295u,
                                       L"Pannix.exe", false, true}),
         L"C:\\Temp\\a \"b\" c.zip", L"D:\\My App\\", L"Pannix.exe", 4294967295u, true},
    };
    for (const auto& c : cases) {
        const UpdaterOptions o = parse_arguments(platform::split_command_line(c.line));
        EXPECT_EQ(std::tuple(o.package.wstring(), o.target.wstring(), o.launch.wstring(), o.pid,
                             o.detached, o.verify_extract),
                  std::tuple(c.package, c.target, c.launch, c.pid, c.detached, c.verify))
            << platform::wide_to_utf8(c.line);
    }
}

// Paths relative to a folder holding pkg.zip and app/sub; a valid run gets them absolute.
TEST(ValidateOptions, Table) {
    Sandbox dir;
    write_file(dir / "pkg.zip", "x");
    fs::create_directories(dir / "app/sub");
    enum Outcome { valid, incomplete, invalid };
    struct {
        fs::path package, target;
        Outcome outcome;
        fs::path launch = "Lumetra.exe";
    } const cases[] = {
        {"app/../pkg.zip", "app/sub/..", valid},
        {"app", "app", valid, "Pannix.exe"},
        {"pkg.zip", "", incomplete},
        {"", "app", incomplete},
        {"absent.zip", "app", incomplete},
        {"pkg.zip", "pkg.zip", invalid},  // the target is a file
        {"pkg.zip", "nowhere", invalid},
        {"pkg.zip", "/", invalid},  // a root
        {"pkg.zip", "app", invalid, "PannixRuntime.exe"},
        {"pkg.zip", "app", invalid, "lumetra.exe"},  // letter case counts
        {"pkg.zip", "app", invalid, "bin/Lumetra.exe"},
    };
    for (const auto& [package, target, outcome, launch] : cases) {
        const auto in_dir = [&dir](const fs::path& p) { return p.empty() ? p : dir / p; };
        UpdaterOptions o{in_dir(package), in_dir(target), 0, launch, false, false};
        SCOPED_TRACE(package.string() + " " + target.string() + " " + launch.string());
        try {
            EXPECT_EQ(validate_options(o) ? valid : incomplete, outcome);
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(e.what() + std::to_string(outcome),
                      "invalid installation directory or launch executable2");
        }
        if (outcome == valid) {
            EXPECT_EQ(std::pair(o.package, o.target), std::pair((dir / package).lexically_normal(),
                                                                (dir / target).lexically_normal()));
        }
    }
}

// Whenever the updater runs from the installation, however it is spelled, it must relaunch.
TEST(RunsFromInstallation, IdentityNotSpelling) {
    Sandbox dir;
    const fs::path app = dir / "Application Files";
    fs::create_directories(app / "tools");
    ASSERT_NE(short_name(app, ""), "Application Files");
    const std::pair<fs::path, bool> cases[] = {
        {app, true},
        {app / "tools/..", true},
        {dir / "application files", kWindowsNames},
        {dir / short_name(app, "Application Files"), true},
        {app / "tools", false},
        {dir.path, false},
        {dir / "Gone", false},
    };
    for (const auto& [target, relaunch] : cases) {
        EXPECT_EQ(runs_from_installation(app / "LumetraUpdater.exe", target), relaunch)
            << platform::wide_to_utf8(target.wstring());
    }
}
