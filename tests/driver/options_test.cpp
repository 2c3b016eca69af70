#include "driver/options.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <tuple>

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
        {{L"u", L"--package", L"a.zip", L"--target", L"D:\\App"}, L"a.zip", L"D:\\App", exe, 0, false, false},  // defaults
        {{L"u", L"--package", L"a.zip", L"--target"}, L"a.zip", L"", exe, 0, false, false},  // a name without value
        {{L"u", L"--Package", L"a.zip", L"--target", L"T"}, L"", L"T", exe, 0, false, false},  // names are exact
        {{L"u", L"--package=a.zip", L"--target", L"D:\\App"}, L"", L"", exe, 0, false, false},  // no name=value
        {{L"u", L"--pid", L"abc", L"--target", L"T"}, L"", L"T", exe, 0, false, false},  // wcstoul
        {{L"u", L"--pid", L"4242x", L"--target", L"T"}, L"", L"T", exe, 4242, false, false},
        {{L"u", L"--detached", L"yes", L"--verify-extract", L"true"}, L"", L"", exe, 0, false, false},  // flags take "1"
        {{L"u", L"--detached", L"1", L"--verify-extract", L"1"}, L"", L"", exe, 0, true, true},
        {{L"u", L"--detached", L"1", L"--detached", L"0", L"--package", L"a", L"--package", L"b"}, L"b", L"", exe, 0, false, false},  // last wins
        {{L"u", L"--package", L"--target", L"--launch", L"Pannix.exe"}, L"--target", L"", L"Pannix.exe", 0, false, false},
        {{L"u", L"--package"}, L"", L"", exe, 0, false, false},  // fewer than three elements
        {{}, L"", L"", exe, 0, false, false},
    };
    for (const auto& c : cases) {
        const UpdaterOptions o = parse_arguments(c.args);
        EXPECT_EQ(std::tuple(o.package.wstring(), o.target.wstring(), o.launch.wstring(), o.pid, o.detached, o.verify_extract),
                  std::tuple(c.package, c.target, c.launch, c.pid, c.detached, c.verify));
    }
}

TEST(ValidateOptions, ValidationTable) {
    TempDir dir;
    write_file(dir / "pkg.zip", "x");
    fs::create_directories(dir / "app" / "sub");
    enum Outcome { valid, incomplete, invalid };
    struct Case { fs::path package, target, launch; Outcome outcome; };
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
        UpdaterOptions o{c.package, c.target, 0, c.launch, false, false};
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
        {{"release.json", "Lumetra.exe", "app/"}, "app", false},  // app decides where to look
        {{"release.json"}, "", false},
        {{"Lumetra.exe"}, "", false},
        {{"release.json", "Pannix.exe"}, "", false},  // Lumetra.exe whatever is launched
    };
    for (const auto& c : cases) {
        TempDir dir;
        const fs::path package = dir / "package";
        for (const auto& f : c.files) {
            f.back() == '/' ? (void)fs::create_directories(package / f) : write_file(package / f, "x");
        }
        const fs::path root = find_payload_root(package);
        EXPECT_EQ(root, c.payload.empty() ? package : package / c.payload);
        EXPECT_EQ(check_staged_layout(root), c.valid) << c.files.front();
    }
}
