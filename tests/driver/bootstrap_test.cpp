#include "driver/bootstrap.h"

#include <gtest/gtest.h>

#include "platform/platform.h"

namespace fs = std::filesystem;

TEST(RelaunchParameters, SpellTheOptionsInTheFixedOrder) {
    UpdaterOptions options;
    options.package = L"C:\\Temp\\pkg.zip";
    options.target = L"D:\\App";
    options.pid = 4242;
    options.launch = L"Lumetra.exe";
    EXPECT_EQ(make_relaunch_parameters(options),
              L"--package \"C:\\Temp\\pkg.zip\" --target \"D:\\App\" --pid 4242 --launch "
              L"\"Lumetra.exe\" --detached 1");
}

TEST(RelaunchParameters, TheCopyReadsBackTheSameOptions) {
    struct Case {
        std::wstring package, target;
        std::uint32_t pid;
        std::wstring launch;
    };
    const Case cases[] = {
        {L"C:\\Temp\\pkg.zip", L"D:\\App", 4242, L"Lumetra.exe"},
        {L"/tmp/my pkg.zip", L"/opt/lumetra/", 0, L"Pannix.exe"},
        {L"C:\\Temp\\a \"b\" c.zip", L"D:\\My App\\", 4294967295u, L"Lumetra.exe"},
        {L"\\\\server\\share\\x\\\"y\\\\.zip", L"D:\\App\\\\", 1, L"Pannix.exe"},
        {L"C:\\t\tab.zip", L"D:\\\"quoted\"\\", 7, L"Lumetra.exe"},
    };
    for (const Case& c : cases) {
        UpdaterOptions options;
        options.package = c.package;
        options.target = c.target;
        options.pid = c.pid;
        options.launch = c.launch;
        const std::wstring line =
            L"C:\\Temp\\LumetraUpdaterBootstrap_1\\LumetraUpdater.exe " +
            make_relaunch_parameters(options);
        SCOPED_TRACE(platform::wide_to_utf8(line));
        const UpdaterOptions read = parse_arguments(platform::split_command_line(line));
        EXPECT_EQ(read.package.wstring(), c.package);
        EXPECT_EQ(read.target.wstring(), c.target);
        EXPECT_EQ(read.pid, c.pid);
        EXPECT_EQ(read.launch.wstring(), c.launch);
        EXPECT_TRUE(read.detached);
        EXPECT_FALSE(read.verify_extract);
    }
}
