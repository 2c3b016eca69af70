#include "driver/bootstrap.h"
#include "driver/layout.h"
#include "driver/options.h"
#include "test_support.h"

TEST(ParseArguments, CommandLineTable) {
    struct Case {
        std::vector<std::wstring> args;
        std::wstring package, target, launch = L"Lumetra.exe";
        std::uint32_t pid = 0;
        bool detached = false, verify = false;
    };
    const Case cases[] = {
        {{L"u", L"--package", L"a.zip", L"--target", L"D:\\App"},
         L"a.zip",
         L"D:\\App"},                                                    // defaults
        {{L"u", L"--package", L"a.zip", L"--target"}, L"a.zip", L""},    // a name without value
        {{L"u", L"--Package", L"a.zip", L"--target", L"T"}, L"", L"T"},  // names are exact
        {{L"u", L"--package=a.zip", L"--target", L"D:\\App"}, L"", L""},
        {{L"u", L"--pid", L"abc", L"--target", L"T"}, L"", L"T"},
        {{L"u", L"--pid", L"4242x", L"--target", L"T"},
         L"",
         L"T",
         L"Lumetra.exe",
         4242},                                                                   // wcstoul
        {{L"u", L"--detached", L"yes", L"--verify-extract", L"true"}, L"", L""},  // flags take "1"
        {{L"u", L"--detached", L"1", L"--verify-extract", L"1"},
         L"",
         L"",
         L"Lumetra.exe",
         0,
         true,
         true},
        {{L"u", L"--detached", L"1", L"--detached", L"0", L"--package", L"a", L"--package", L"b"},
         L"b",
         L""},  // last wins
        {{L"u", L"--package", L"--target", L"--launch", L"Pannix.exe"},
         L"--target",
         L"",
         L"Pannix.exe"},
        {{L"u", L"--package"}, L"", L""},  // fewer than three elements
        {{}, L"", L""},
        // The relaunched copy reads its command line back with the system's rules, detached so that
        // it goes on with the update.
        {platform::split_command_line(
             L"C:\\Temp\\LumetraUpdater.exe " +
             make_relaunch_parameters({L"C:\\Temp\\a \"b\" c.zip", L"D:\\My App\\", 4294967295u,
                                       L"Pannix.exe", false, true})),
         L"C:\\Temp\\a \"b\" c.zip", L"D:\\My App\\", L"Pannix.exe", 4294967295u, true},
    };
    for (const auto& c : cases) {
        const UpdaterOptions o = parse_arguments(c.args);
        EXPECT_EQ(std::tuple(o.package.wstring(), o.target.wstring(), o.launch.wstring(), o.pid,
                             o.detached, o.verify_extract),
                  std::tuple(c.package, c.target, c.launch, c.pid, c.detached, c.verify));
    }
}

TEST(ValidateOptions, ValidationTable) {
    Sandbox dir;
    write_file(dir / "pkg.zip", "x");
    fs::create_directories(dir / "app" / "sub");
    enum Outcome { valid, incomplete, invalid };
    struct Case {
        fs::path package, target, launch;
        Outcome outcome;
    };
    const Case cases[] = {
        {dir / "app" / ".." / "pkg.zip", dir / "app" / "sub" / "..", L"Lumetra.exe", valid},
        {dir / "app", dir / "app", L"Pannix.exe", valid},  // extraction judges a directory package
        {dir / "pkg.zip", L"", L"Lumetra.exe", incomplete},
        {L"", dir / "app", L"Lumetra.exe", incomplete},
        {dir / "absent.zip", dir / "app", L"Lumetra.exe", incomplete},
        {dir / "pkg.zip", dir / "pkg.zip", L"Lumetra.exe", invalid},  // target is a file
        {dir / "pkg.zip", dir / "nowhere", L"Lumetra.exe", invalid},
        {dir / "pkg.zip", dir.path.root_path(), L"Lumetra.exe", invalid},
        {dir / "pkg.zip", dir / "app", L"PannixRuntime.exe", invalid},
        {dir / "pkg.zip", dir / "app", L"lumetra.exe", invalid},  // letter case counts
        {dir / "pkg.zip", dir / "app", fs::path(L"bin") / L"Lumetra.exe", invalid},
    };
    for (const auto& c : cases) {
        UpdaterOptions o{c.package, c.target, 0, c.launch, false, false};
        SCOPED_TRACE(c.target.string() + " " + c.launch.string());
        try {
            EXPECT_EQ(validate_options(o) ? valid : incomplete, c.outcome);
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()) + std::to_string(c.outcome),
                      "invalid installation directory or launch executable2");
        }
        if (c.outcome == valid) {
            EXPECT_EQ(std::pair(o.package, o.target),
                      std::pair(fs::absolute(c.package).lexically_normal(),
                                fs::absolute(c.target).lexically_normal()));
        }
    }
}

// An "app" folder is the payload root whatever it holds; Lumetra.exe is required whatever is
// launched.
TEST(StagedLayout, PayloadRootAndRequiredFiles) {
    const std::tuple<std::vector<std::string>, std::string, bool> cases[] = {
        // directories end with '/'
        {{"release.json", "Lumetra.exe"}, "", true},
        {{"app/release.json", "app/Lumetra.exe"}, "app", true},
        {{"release.json", "Lumetra.exe", "app/"}, "app", false},
        {{"release.json", "Pannix.exe"}, "", false},
        {{"Lumetra.exe"}, "", false},
    };
    for (const auto& [files, payload, valid] : cases) {
        Sandbox dir;
        for (const auto& f : files)
            f.back() == '/' ? (void)fs::create_directories(dir / f) : write_file(dir / f, "x");
        const fs::path root = find_payload_root(dir.path);
        EXPECT_EQ(std::pair(root, check_staged_layout(root)),
                  std::pair(payload.empty() ? dir.path : dir / payload, valid))
            << files.back();
    }
}

// The updater must relaunch whenever it runs from the installation, however the target is spelled,
// or it cannot replace its own file.
TEST(RunsFromInstallation, TheDirectoriesIdentityDecidesNotTheirSpelling) {
    Sandbox dir;
    const fs::path app = dir / "Application Files";
    fs::create_directories(app / "tools");
    ASSERT_TRUE(!kWindowsNames || short_name(app, "") != "Application Files")
        << "no distinct short name";
    const std::pair<fs::path, bool> cases[] = {
        {app, true},
        {app / ".", true},
        {app / "tools" / "..", true},
        {app.wstring() + L"\\.", kWindowsNames},
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
