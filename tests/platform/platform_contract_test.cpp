// The platform layer's contracts, checked against real processes, files and
// environment on both builds (the Windows build runs them under Wine too).
#ifdef _WIN32
#include <windows.h>
// shellapi.h needs the types of windows.h first.
#include <shellapi.h>
#else
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#endif

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "extract/runner.h"
#include "platform/platform.h"
#include "safety/path_checks.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

fs::path child_program() {
    const fs::path directory = platform::own_executable_path().parent_path();
#ifdef _WIN32
    return directory / L"lumetra_test_child.exe";
#else
    return directory / "lumetra_test_child";
#endif
}

std::wstring child_command(std::uint32_t sleep_ms, std::uint32_t exit_code) {
    return quote_argument(child_program().wstring()) + L" " + std::to_wstring(sleep_ms) + L" " +
           std::to_wstring(exit_code);
}

bool running_under_wine() {
#ifdef _WIN32
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

// A child started by the test itself, so that the test knows its pid and can
// end and reap it independently of the layer under test.
class Child {
public:
    Child(std::uint32_t sleep_ms, std::uint32_t exit_code) {
#ifdef _WIN32
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info{};
        std::wstring line = child_command(sleep_ms, exit_code);
        if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                              nullptr, nullptr, &startup, &info)) {
            throw std::runtime_error("cannot start the test child");
        }
        ::CloseHandle(info.hThread);
        process_ = info.hProcess;
        pid_ = info.dwProcessId;
#else
        const std::string program = child_program().string();
        const std::string a = std::to_string(sleep_ms);
        const std::string b = std::to_string(exit_code);
        char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>(a.c_str()),
                        const_cast<char*>(b.c_str()), nullptr};
        if (::posix_spawn(&process_, program.c_str(), nullptr, nullptr, argv, environ) != 0) {
            throw std::runtime_error("cannot start the test child");
        }
        pid_ = static_cast<std::uint32_t>(process_);
#endif
    }
    ~Child() {
        kill();
        reap();
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    std::uint32_t pid() const { return pid_; }

    void kill() {
#ifdef _WIN32
        if (process_ != nullptr) ::TerminateProcess(process_, 9);
#else
        if (process_ > 0) ::kill(process_, SIGKILL);
#endif
    }

    // Waits for the end and lets the system forget the process.
    void reap() {
#ifdef _WIN32
        if (process_ == nullptr) return;
        ::WaitForSingleObject(process_, INFINITE);
        ::CloseHandle(process_);
        process_ = nullptr;
#else
        if (process_ <= 0) return;
        int status = 0;
        ::waitpid(process_, &status, 0);
        process_ = -1;
#endif
    }

private:
    std::uint32_t pid_ = 0;
#ifdef _WIN32
    HANDLE process_ = nullptr;
#else
    pid_t process_ = -1;
#endif
};

void set_environment(const std::wstring& name, const std::optional<std::wstring>& value) {
#ifdef _WIN32
    ::SetEnvironmentVariableW(name.c_str(), value ? value->c_str() : nullptr);
#else
    const std::string narrow = platform::wide_to_utf8(name);
    if (value) {
        ::setenv(narrow.c_str(), platform::wide_to_utf8(*value).c_str(), 1);
    } else {
        ::unsetenv(narrow.c_str());
    }
#endif
}

fs::path source_root() {
    for (fs::path dir = platform::own_executable_path().parent_path(); !dir.empty();
         dir = dir.parent_path()) {
        if (fs::is_directory(dir / "src" / "extract" / "script")) return dir;
        if (dir == dir.parent_path()) break;
    }
    if (const auto root = platform::environment_value(L"LUMETRA_SOURCE")) return fs::path(*root);
    return {};
}

}  // namespace

TEST(WaitForProcess, EndedMissingAndStillRunning) {
    {
        Child child(200, 0);
        EXPECT_TRUE(platform::wait_for_process(child.pid(), 20000)) << "a child that exits";
    }
    std::uint32_t gone = 0;
    {
        Child child(0, 0);
        gone = child.pid();
        child.reap();
    }
    EXPECT_TRUE(platform::wait_for_process(gone, 20000)) << "a pid that names no process";

    Child sleeper(60000, 0);
    EXPECT_FALSE(platform::wait_for_process(sleeper.pid(), 300)) << "a child still running";
}

TEST(RunProcess, ExitCodesTimeOutAndStartFailure) {
    struct Case {
        const char* what;
        std::wstring command;
        std::uint32_t timeout_ms;
        bool result;
        std::uint32_t exit_code;
    };
    const Case cases[] = {
        {"exit 0", child_command(0, 0), 20000, true, 0},
        {"exit 3", child_command(0, 3), 20000, false, 3},
        {"killed at the limit", child_command(60000, 0), 300, false, 1},
    };
    for (const auto& c : cases) {
        std::uint32_t exit_code = 77;
        EXPECT_EQ(platform::run_process(c.command, c.timeout_ms, exit_code), c.result) << c.what;
        EXPECT_EQ(exit_code, c.exit_code) << c.what;
    }
    TempDir dir;
    std::uint32_t exit_code = 77;
    EXPECT_FALSE(platform::run_process(quote_argument((dir / "missing.exe").wstring()) + L" 0 0",
                                       20000, exit_code));
    EXPECT_EQ(exit_code, 77u) << "not started: the exit code is left as it was";
}

TEST(OpenProgram, ExistingStartsMissingReportsFileNotFound) {
    TempDir dir;
    EXPECT_GT(platform::open_program(child_program(), L"0 0", dir.path()), 32);
    EXPECT_EQ(platform::open_program(dir / "missing.exe", L"", dir.path()), 2);
}

TEST(QueryLink, PlainFilesDirectoriesAndMissingPaths) {
    TempDir dir;
    write_file(dir / "file.txt", "x");
    EXPECT_EQ(platform::query_link(dir.path()), platform::LinkQuery::plain);
    EXPECT_EQ(platform::query_link(dir / "file.txt"), platform::LinkQuery::plain);
    EXPECT_EQ(platform::query_link(dir / "missing"), platform::LinkQuery::unknown);
    EXPECT_EQ(platform::query_link(dir / "missing" / "deeper"), platform::LinkQuery::unknown);
}

TEST(QueryLink, SymlinkedDirectoryIsAReparsePointAndGuardsWhatLiesBelow) {
    if (running_under_wine()) {
        GTEST_SKIP() << "Wine does not report symbolic links as reparse points";
    }
    TempDir dir;
    fs::create_directories(dir / "real" / "below");
    std::error_code ec;
    fs::create_directory_symlink(dir / "real", dir / "link", ec);
    if (ec) GTEST_SKIP() << "cannot create a symbolic link here: " << ec.message();

    EXPECT_EQ(platform::query_link(dir / "link"), platform::LinkQuery::reparse_point);
    EXPECT_EQ(platform::query_link(dir / "link" / "below"), platform::LinkQuery::plain)
        << "the path itself is an ordinary directory";
    EXPECT_NO_THROW(ensure_no_reparse_point(dir / "real" / "below"));
    for (const fs::path& p : {dir / "link", dir / "link" / "below", dir / "link" / "new" / "x"}) {
        EXPECT_THROW(ensure_no_reparse_point(p), std::runtime_error) << p.string();
    }
}

TEST(FileDurability, FlushAndReplace) {
    TempDir dir;
    write_file(dir / "new", "new bytes");
    write_file(dir / "old", "old bytes");
    EXPECT_TRUE(platform::flush_file(dir / "new"));
    EXPECT_FALSE(platform::flush_file(dir / "missing"));
    EXPECT_TRUE(platform::flush_directory(dir.path()));

    EXPECT_TRUE(platform::replace_file(dir / "new", dir / "old"));
    EXPECT_EQ(read_file(dir / "old"), "new bytes");
    EXPECT_FALSE(fs::exists(dir / "new"));

    EXPECT_FALSE(platform::replace_file(dir / "missing", dir / "old"));
    EXPECT_EQ(read_file(dir / "old"), "new bytes") << "a failed replace leaves the target";
}

TEST(ProcessIdentity, OwnPathAndCommandLineNameThisProgram) {
    const fs::path self = platform::own_executable_path();
    EXPECT_TRUE(self.is_absolute()) << self.string();
    EXPECT_TRUE(fs::is_regular_file(self)) << self.string();
    const auto args = platform::command_line_arguments();
    ASSERT_FALSE(args.empty());
    EXPECT_EQ(to_lower_copy(fs::path(args[0]).stem().wstring()),
              to_lower_copy(self.stem().wstring()));
}

TEST(PowerShellPath, NamesAnExistingProgram) {
    const auto path = platform::powershell_path();
    ASSERT_TRUE(path.has_value());
    EXPECT_TRUE(path->is_absolute()) << path->string();
    EXPECT_TRUE(fs::is_regular_file(*path)) << path->string();
#ifdef _WIN32
    wchar_t system[MAX_PATH] = {};
    ASSERT_GT(::GetSystemDirectoryW(system, MAX_PATH), 0u);
    EXPECT_EQ(path->wstring(), std::wstring(system) + L"\\WindowsPowerShell/v1.0/powershell.exe");
#endif
}

TEST(ExtractionScript, IsTheScriptFileByteForByte) {
    const fs::path root = source_root();
    ASSERT_FALSE(root.empty()) << "source tree not found above the test binary";
    const std::string expected =
        read_file(root / "src" / "extract" / "script" / "Expand-LumetraPackage.ps1");
    ASSERT_FALSE(expected.empty());
    const auto script = platform::extraction_script();
    ASSERT_TRUE(script.has_value());
    EXPECT_EQ(*script, expected);
}

#ifdef _WIN32
// The shipped program, not only this test binary, carries the script: read
// RCDATA 101 out of LumetraUpdater.exe, built beside this binary.
TEST(ExtractionScript, TheProgramCarriesItAsRcdata101) {
    const fs::path root = source_root();
    ASSERT_FALSE(root.empty()) << "source tree not found above the test binary";
    const fs::path program =
        platform::own_executable_path().parent_path() / L"LumetraUpdater.exe";
    HMODULE module = ::LoadLibraryExW(program.c_str(), nullptr,
                                      LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module, nullptr) << program.string();
    HRSRC found = ::FindResourceExW(module, MAKEINTRESOURCEW(10), MAKEINTRESOURCEW(101),
                                    MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    ASSERT_NE(found, nullptr);
    HGLOBAL loaded = ::LoadResource(module, found);
    const auto* bytes = static_cast<const char*>(::LockResource(loaded));
    const std::string carried(bytes, ::SizeofResource(module, found));
    ::FreeLibrary(module);
    EXPECT_EQ(carried,
              read_file(root / "src" / "extract" / "script" / "Expand-LumetraPackage.ps1"));
}
#endif

TEST(EnvironmentValue, UnsetEmptyAndTheLengthLimit) {
    const std::wstring name = L"LUMETRA_PLATFORM_TEST_VALUE";
    struct Case {
        const char* what;
        std::optional<std::wstring> value;
        std::optional<std::wstring> expected;
    };
    const Case cases[] = {
        {"unset", std::nullopt, std::nullopt},
        {"empty", std::wstring(), std::nullopt},
        {"ordinary", std::wstring(L"C:\\Users\\操作员\\AppData\\Local"),
         std::wstring(L"C:\\Users\\操作员\\AppData\\Local")},
        {"259 units", std::wstring(259, L'a'), std::wstring(259, L'a')},
        {"260 units", std::wstring(260, L'a'), std::nullopt},
        {"259 Chinese units", std::wstring(259, L'升'), std::wstring(259, L'升')},
        {"260 Chinese units", std::wstring(260, L'升'), std::nullopt},
    };
    for (const auto& c : cases) {
        set_environment(name, c.value);
        EXPECT_EQ(platform::environment_value(name), c.expected) << c.what;
    }
    set_environment(name, std::nullopt);
}

TEST(Utf8, StrictAndReplacingDecodingAndEncoding) {
    const std::pair<std::string, std::wstring> valid[] = {
        {"", L""},
        {"plain ascii", L"plain ascii"},
        {"\xe5\x8d\x87\xe7\xba\xa7", L"升级"},
        {"\xc3\xa9\xf0\x9f\x98\x80", L"é\U0001F600"},
        {"\xef\xbb\xbfx", L"\xFEFFx"},
    };
    for (const auto& [bytes, wide] : valid) {
        EXPECT_EQ(platform::utf8_to_wide_strict(bytes), wide) << bytes;
        EXPECT_EQ(platform::utf8_to_wide_replacing(bytes), wide) << bytes;
        EXPECT_EQ(platform::wide_to_utf8(wide), bytes) << bytes;
    }
    const char* const invalid[] = {
        "\x80",              // lone continuation byte
        "\xc0\x80",          // overlong encoding of NUL
        "\xe5\x8d",          // cut short
        "\xed\xa0\x80",      // encoded surrogate
        "\xf4\x90\x80\x80",  // beyond U+10FFFF
        "ok\xff",
    };
    for (const char* bytes : invalid) {
        EXPECT_FALSE(platform::utf8_to_wide_strict(bytes).has_value()) << bytes;
        EXPECT_NE(platform::utf8_to_wide_replacing(bytes).find(L'\xFFFD'), std::wstring::npos)
            << bytes;
    }
    EXPECT_EQ(platform::utf8_to_wide_replacing("a\x80"
                                               "b"),
              L"a\xFFFD"
              L"b");
    EXPECT_EQ(platform::utf8_to_wide_replacing("\xff\xfe"), L"\xFFFD\xFFFD");
}

// What CommandLineToArgvW gives for lines where the rules are least obvious,
// so that the portable splitter is held to them on every build.
TEST(SplitCommandLine, KeepsTheSystemRulesForQuotesAndTheProgramName) {
    struct Case {
        std::wstring line;
        std::vector<std::wstring> expected;
    };
    const Case cases[] = {
        {L"prog a b", {L"prog", L"a", L"b"}},
        {L"\"C:\\Program Files\\x.exe\" --target \"D:\\My App\"",
         {L"C:\\Program Files\\x.exe", L"--target", L"D:\\My App"}},
        {L"p \"a\\\"b\"", {L"p", L"a\"b"}},
        {L"p a\\\\b", {L"p", L"a\\\\b"}},
        {L"p \"a\\\\\" b", {L"p", L"a\\", L"b"}},
        {L"p \"\"", {L"p", L""}},
        {L"p  \t x", {L"p", L"x"}},
        {L"\"a b\"c d", {L"a b", L"c", L"d"}},
        {L"a\"b c\" d", {L"a\"b", L"c d"}},
        {L"p \"a\"\"b c\" d", {L"p", L"a\"b", L"c d"}},
        {L"p \"\"\"\" x", {L"p", L"\" x"}},
        {L"p a\\\\\\\"b \"c\\\\\"", {L"p", L"a\\\"b", L"c\\"}},
        {L" x", {L"", L"x"}},
        {L"\"unterminated program", {L"unterminated program"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(platform::split_command_line(c.line), c.expected)
            << platform::wide_to_utf8(c.line);
    }
}

#ifdef _WIN32
namespace {

std::vector<std::wstring> system_split(const std::wstring& line) {
    int count = 0;
    LPWSTR* argv = ::CommandLineToArgvW(line.c_str(), &count);
    if (argv == nullptr) return {};
    std::vector<std::wstring> args(argv, argv + count);
    ::LocalFree(argv);
    return args;
}

}  // namespace
#endif

TEST(SplitCommandLine, AgreesWithCommandLineToArgvW) {
#ifndef _WIN32
    GTEST_SKIP() << "CommandLineToArgvW exists only in the Windows build";
#else
    const std::wstring table[] = {
        L"prog",
        L"prog a b",
        L"\"C:\\Program Files\\x.exe\" --target \"D:\\My App\\\\\"",
        L"\"a b\"c d",
        L"a\"b c\" d",
        L"p \"a\"\"b c\" d",
        L"p \"a\"\"\"b\"",
        L"p \"\"\"\" x",
        L"p a\\\\\\\"b \\\\\\\\\" c\"",
        L"p \\\\server\\share\\ \"x\\\\\"",
        L"p \t \"\" \t",
        L" leading space",
        L"p \"unterminated  quote",
        L"\"unterminated program",
        L"p 升级\\\"包\" \"é x\"",
    };
    for (const auto& line : table) {
        EXPECT_EQ(platform::split_command_line(line), system_split(line))
            << platform::wide_to_utf8(line);
    }

    std::mt19937 random(20240611);
    const std::wstring alphabet = L"ab \t\"\"\\\\\\升é";
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    std::uniform_int_distribution<std::size_t> length(1, 24);
    for (int i = 0; i < 400; ++i) {
        std::wstring line;
        for (std::size_t n = length(random); n > 0; --n) line += alphabet[pick(random)];
        EXPECT_EQ(platform::split_command_line(line), system_split(line))
            << platform::wide_to_utf8(line);
    }
#endif
}
