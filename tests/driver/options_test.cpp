#include "driver/options.h"

#include <gtest/gtest.h>

#include <stdexcept>

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
    const std::wstring exe = L"Lumetra.exe";
    const Case cases[] = {
        // A complete update run: defaults for launch, pid and detached.
        {{L"u", L"--package", L"a.zip", L"--target", L"D:\\App"}, L"a.zip", L"D:\\App", exe, 0, false, false},
        // A name without its value leaves the field empty.
        {{L"u", L"--package", L"a.zip", L"--target"}, L"a.zip", L"", exe, 0, false, false},
        // Names are case-sensitive.
        {{L"u", L"--Package", L"a.zip", L"--target", L"T"}, L"", L"T", exe, 0, false, false},
        // No name=value form: the unknown name eats the next element.
        {{L"u", L"--package=a.zip", L"--target", L"D:\\App"}, L"", L"", exe, 0, false, false},
        // pid through wcstoul: text is 0, a leading number counts.
        {{L"u", L"--pid", L"abc", L"--target", L"T"}, L"", L"T", exe, 0, false, false},
        {{L"u", L"--pid", L"4242x", L"--target", L"T"}, L"", L"T", exe, 4242, false, false},
        // Flags take exactly "1".
        {{L"u", L"--detached", L"yes", L"--verify-extract", L"true"}, L"", L"", exe, 0, false, false},
        {{L"u", L"--detached", L"1", L"--verify-extract", L"1"}, L"", L"", exe, 0, true, true},
        // Last value wins, also for a flag cleared again.
        {{L"u", L"--detached", L"1", L"--detached", L"0", L"--package", L"a", L"--package", L"b"},
         L"b", L"", exe, 0, false, false},
        // A value that looks like an option is still a value.
        {{L"u", L"--package", L"--target", L"--launch", L"Pannix.exe"}, L"--target", L"", L"Pannix.exe", 0, false, false},
        // Fewer than three elements parse nothing.
        {{L"u", L"--package"}, L"", L"", exe, 0, false, false},
        {{}, L"", L"", exe, 0, false, false},
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

TEST(ValidateOptions, ValidationTable) {
    TempDir dir;
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
        {dir / "pkg.zip", dir.path().root_path(), L"Lumetra.exe", invalid},
        {dir / "pkg.zip", dir / "app", L"PannixRuntime.exe", invalid},
        {dir / "pkg.zip", dir / "app", L"lumetra.exe", invalid},  // letter case counts
        {dir / "pkg.zip", dir / "app", fs::path(L"bin") / L"Lumetra.exe", invalid},
    };
    for (const auto& c : cases) {
        UpdaterOptions o;
        o.package = c.package;
        o.target = c.target;
        o.launch = c.launch;
        SCOPED_TRACE(c.target.string() + " " + c.launch.string());
        try {
            EXPECT_EQ(validate_options(o) ? valid : incomplete, c.outcome);
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(c.outcome, invalid);
            EXPECT_STREQ(e.what(), "invalid installation directory or launch executable");
        }
        if (c.outcome == valid) {
            EXPECT_EQ(o.package, fs::absolute(c.package).lexically_normal());
            EXPECT_EQ(o.target, fs::absolute(c.target).lexically_normal());
        }
    }
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
            f.back() == '/' ? (void)fs::create_directories(package / f) : write_file(package / f, "x");
        }
        const fs::path root = find_payload_root(package);
        EXPECT_EQ(root, c.payload.empty() ? package : package / c.payload);
        EXPECT_EQ(check_staged_layout(root), c.valid) << c.files.front();
    }
}
