#include "driver/options.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "driver/driver.h"
#include "driver/layout.h"
#include "test_support.h"

namespace fs = std::filesystem;

TEST(ParseArguments, CommandLineTable) {
    struct Case {
        std::vector<std::wstring> args;
        std::wstring package, target, launch;
        std::uint32_t pid;
        bool detached, verify;
    };
    const Case cases[] = {
        // A complete update run: defaults for launch, pid and detached.
        {{L"u", L"--package", L"a.zip", L"--target", L"D:\\App"},
         L"a.zip", L"D:\\App", L"Lumetra.exe", 0, false, false},
        // A name without its value leaves the field empty.
        {{L"u", L"--package", L"a.zip", L"--target"}, L"a.zip", L"", L"Lumetra.exe", 0, false, false},
        // Names are case-sensitive.
        {{L"u", L"--Package", L"a.zip", L"--target", L"T"}, L"", L"T", L"Lumetra.exe", 0, false, false},
        // No name=value form: the unknown name eats the next element.
        {{L"u", L"--package=a.zip", L"--target", L"D:\\App"}, L"", L"", L"Lumetra.exe", 0, false, false},
        // pid through wcstoul: text is 0, a leading number counts.
        {{L"u", L"--pid", L"abc", L"--target", L"T"}, L"", L"T", L"Lumetra.exe", 0, false, false},
        {{L"u", L"--pid", L"4242x", L"--target", L"T"}, L"", L"T", L"Lumetra.exe", 4242, false, false},
        // Flags take exactly "1".
        {{L"u", L"--detached", L"yes", L"--verify-extract", L"true"}, L"", L"", L"Lumetra.exe", 0, false, false},
        {{L"u", L"--detached", L"1", L"--verify-extract", L"1"}, L"", L"", L"Lumetra.exe", 0, true, true},
        // Last value wins, also for a flag cleared again.
        {{L"u", L"--detached", L"1", L"--detached", L"0", L"--package", L"a", L"--package", L"b"},
         L"b", L"", L"Lumetra.exe", 0, false, false},
        // A value that looks like an option is still a value.
        {{L"u", L"--package", L"--target", L"--launch", L"Pannix.exe"},
         L"--target", L"", L"Pannix.exe", 0, false, false},
        // Fewer than three elements parse nothing.
        {{L"u", L"--package"}, L"", L"", L"Lumetra.exe", 0, false, false},
        {{}, L"", L"", L"Lumetra.exe", 0, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args.size()) + " args");
        const UpdaterOptions o = parse_arguments(c.args);
        EXPECT_EQ(o.package.wstring(), c.package);
        EXPECT_EQ(o.target.wstring(), c.target);
        EXPECT_EQ(o.launch.wstring(), c.launch);
        EXPECT_EQ(o.pid, c.pid);
        EXPECT_EQ(o.detached, c.detached);
        EXPECT_EQ(o.verify_extract, c.verify);
    }
}

TEST(ValidateOptions, IncompleteArgumentsAreAResultNotAnError) {
    TempDir dir;
    write_file(dir / "pkg.zip", "x");
    UpdaterOptions missing_target;
    missing_target.package = dir / "pkg.zip";
    EXPECT_FALSE(validate_options(missing_target));

    UpdaterOptions missing_package;
    missing_package.package = dir / "absent.zip";
    missing_package.target = dir.path();
    EXPECT_FALSE(validate_options(missing_package));
}

TEST(ValidateOptions, NormalisesAndChecksTargetAndLaunch) {
    TempDir dir;
    write_file(dir / "pkg.zip", "x");
    fs::create_directories(dir / "app" / "sub");
    write_file(dir / "file.txt", "x");

    UpdaterOptions ok;
    ok.package = dir / "app" / ".." / "pkg.zip";
    ok.target = dir / "app" / "sub" / "..";
    ASSERT_TRUE(validate_options(ok));
    EXPECT_EQ(ok.package, (dir / "pkg.zip").lexically_normal());
    EXPECT_EQ(ok.target, (dir / "app" / "").lexically_normal());

    // A package that is a directory passes; extraction decides later.
    UpdaterOptions directory_package;
    directory_package.package = dir / "app";
    directory_package.target = dir / "app";
    directory_package.launch = L"Pannix.exe";
    EXPECT_TRUE(validate_options(directory_package));

    struct Invalid {
        fs::path target;
        fs::path launch;
    };
    const Invalid invalid[] = {
        {dir / "file.txt", L"Lumetra.exe"},          // target is a file
        {dir / "nowhere", L"Lumetra.exe"},           // target missing
        {dir.path().root_path(), L"Lumetra.exe"},    // a root directory
        {dir / "app", L"PannixRuntime.exe"},         // not one of the two names
        {dir / "app", L"lumetra.exe"},               // letter case counts
        {dir / "app", fs::path(L"bin") / L"Lumetra.exe"},  // no directory part
    };
    for (const auto& c : invalid) {
        UpdaterOptions o;
        o.package = dir / "pkg.zip";
        o.target = c.target;
        o.launch = c.launch;
        try {
            validate_options(o);
            ADD_FAILURE() << "accepted " << c.target << " " << c.launch;
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "invalid installation directory or launch executable");
        }
    }
}

TEST(TickString, DecimalHundredNanosecondsSince1970) {
    const std::wstring tick = make_tick_string();
    ASSERT_FALSE(tick.empty());
    for (wchar_t c : tick) EXPECT_TRUE(c >= L'0' && c <= L'9') << "non-digit in " << tick.size();
    // 2025-01-01 is 17356896000000000; a clock in this century gives 17 digits.
    EXPECT_EQ(tick.size(), 17u);
    EXPECT_GT(std::stoll(tick), 17356896000000000LL);
}

TEST(StagedLayout, PayloadRootAndRequiredFiles) {
    struct Case {
        std::vector<std::string> files;  // directories end with '/'
        std::string payload;             // "" for the package directory itself
        bool valid;
    };
    const Case cases[] = {
        {{"release.json", "Lumetra.exe"}, "", true},
        {{"app/release.json", "app/Lumetra.exe"}, "app", true},
        // The mere existence of app decides where the files are looked for.
        {{"release.json", "Lumetra.exe", "app/"}, "app", false},
        {{"release.json"}, "", false},
        {{"Lumetra.exe"}, "", false},
        // Lumetra.exe is required whatever is launched afterwards.
        {{"release.json", "Pannix.exe"}, "", false},
    };
    for (const auto& c : cases) {
        TempDir dir;
        const fs::path package = dir / "package";
        fs::create_directories(package);
        for (const auto& f : c.files) {
            if (f.back() == '/') {
                fs::create_directories(package / f);
            } else {
                write_file(package / f, "x");
            }
        }
        const fs::path root = find_payload_root(package);
        EXPECT_EQ(root, c.payload.empty() ? package : package / c.payload);
        EXPECT_EQ(check_staged_layout(root), c.valid) << c.files.front();
    }
}
