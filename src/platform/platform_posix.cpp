// POSIX implementation of the platform services: the same effects as the
// Windows calls, so that the whole updater runs and is tested on Linux.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <iterator>

#include "platform/platform.h"

#ifndef LUMETRA_POWERSHELL
#define LUMETRA_POWERSHELL ""
#endif

extern "C" char** environ;
extern const unsigned char lumetra_extraction_script[];
extern const std::size_t lumetra_extraction_script_size;

namespace platform {
namespace {

int open_pidfd(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

// Polls a pidfd until the process ends; true when it did within the limit.
bool poll_pidfd(int fd, std::uint32_t timeout_ms) {
    struct pollfd p = {fd, POLLIN, 0};
    // poll takes an int; the largest limit used (180 s) fits easily.
    for (;;) {
        const int r = ::poll(&p, 1, static_cast<int>(timeout_ms));
        if (r > 0) return true;
        if (r == 0) return false;
        if (errno != EINTR) return false;
    }
}

struct Spawned {
    pid_t pid = -1;
    int error = 0;
};

// Starts argv[0] with the given arguments; stdin, stdout and stderr read from
// and write to /dev/null and no other descriptor is passed on, as a Windows
// child without inherited handles.
Spawned spawn(const std::vector<std::wstring>& args, bool new_session,
              const std::filesystem::path* working_directory) {
    Spawned result;
    if (args.empty() || args[0].empty()) {
        result.error = ENOENT;
        return result;
    }
    std::vector<std::string> narrow;
    narrow.reserve(args.size());
    for (const auto& a : args) narrow.push_back(wide_to_utf8(a));
    std::vector<char*> argv;
    for (auto& a : narrow) argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    if (working_directory != nullptr) {
        posix_spawn_file_actions_addchdir_np(&actions, working_directory->c_str());
    }
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (new_session) flags = static_cast<short>(flags | POSIX_SPAWN_SETSID);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGHUP);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, flags);

    pid_t pid = -1;
    result.error =
        ::posix_spawn(&pid, narrow[0].c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (result.error == 0) result.pid = pid;
    return result;
}

std::intptr_t shell_error_code(int error) {
    switch (error) {
        case ENOENT:
            return 2;
        case ENOTDIR:
            return 3;
        case EACCES:
        case EPERM:
            return 5;
        case ENOMEM:
            return 8;
        default:
            return 31;
    }
}

bool fsync_path(const std::filesystem::path& path, int flags) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::fsync(fd) == 0;
    return ::close(fd) == 0 && ok;
}

}  // namespace

std::vector<std::wstring> command_line_arguments() {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    if (!in) return {};
    const std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::wstring> args;
    std::size_t start = 0;
    while (start < raw.size()) {
        std::size_t end = raw.find('\0', start);
        if (end == std::string::npos) end = raw.size();
        args.push_back(utf8_to_wide_replacing(std::string_view(raw).substr(start, end - start)));
        start = end + 1;
    }
    return args;
}

std::filesystem::path own_executable_path() {
    std::error_code ec;
    auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path() : path;
}

int show_message(const std::wstring& text, const std::wstring& title, unsigned flags) {
    std::cerr << "[" << wide_to_utf8(title) << "] " << wide_to_utf8(text) << std::endl;
    if (flags != kMessageQuestion) return 1;  // IDOK
    std::cerr << "(y/N) " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer)) return 7;  // IDNO
    for (auto& c : answer) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    while (!answer.empty() && (answer.back() == '\r' || answer.back() == ' ')) answer.pop_back();
    return (answer == "y" || answer == "yes") ? kAnswerYes : 7;
}

void show_progress(const std::wstring& stage) { std::cerr << wide_to_utf8(stage) << std::endl; }

void close_progress() {}

std::intptr_t open_program(const std::filesystem::path& file, const std::wstring& parameters,
                           const std::filesystem::path& working_directory) {
    // Windows looks the file up itself; report its codes for the usual cases.
    std::error_code ec;
    if (!std::filesystem::is_directory(working_directory, ec)) return 3;
    std::vector<std::wstring> args = split_command_line(L"x " + parameters);
    args[0] = path_to_wide(file);  // the standard conversion throws on non-ASCII text here
    const Spawned child = spawn(args, true, &working_directory);
    if (child.error != 0) return shell_error_code(child.error);
    return 42;
}

bool wait_for_process(std::uint32_t pid, std::uint32_t timeout_ms) {
    const int fd = open_pidfd(static_cast<pid_t>(pid));
    if (fd < 0) return errno == ESRCH;
    const bool ended = poll_pidfd(fd, timeout_ms);
    ::close(fd);
    return ended;
}

bool run_process(const std::wstring& command_line, std::uint32_t timeout_ms,
                 std::uint32_t& exit_code) {
    const Spawned child = spawn(split_command_line(command_line), false, nullptr);
    if (child.error != 0) return false;
    const int fd = open_pidfd(child.pid);
    bool finished = fd >= 0 ? poll_pidfd(fd, timeout_ms) : true;
    exit_code = 1;
    if (!finished) {
        ::kill(child.pid, SIGKILL);
        poll_pidfd(fd, 5000);
    }
    if (fd >= 0) ::close(fd);
    int status = 0;
    while (::waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!finished) return false;
    exit_code = WIFEXITED(status) ? static_cast<std::uint32_t>(WEXITSTATUS(status)) : 1u;
    return exit_code == 0;
}

std::optional<std::wstring> environment_value(const std::wstring& name) {
    const char* value = std::getenv(wide_to_utf8(name).c_str());
    if (value == nullptr || *value == '\0') return std::nullopt;
    std::wstring wide = utf8_to_wide_replacing(value);
    if (wide.size() > 259) return std::nullopt;
    return wide;
}

void pause_milliseconds(std::uint32_t milliseconds) {
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(milliseconds / 1000);
    ts.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

LinkQuery query_link(const std::filesystem::path& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return LinkQuery::unknown;
    return S_ISLNK(st.st_mode) ? LinkQuery::reparse_point : LinkQuery::plain;
}

std::uint64_t link_count(const std::filesystem::path& path, std::error_code& ec) {
    ec.clear();
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0) return static_cast<std::uint64_t>(st.st_nlink);
    if (errno != ENOENT && errno != ENOTDIR) ec = std::error_code(errno, std::generic_category());
    return 0;
}

std::error_code copy_file(const std::filesystem::path& source,
                          const std::filesystem::path& destination) {
    std::error_code ec;
    std::filesystem::copy_file(source, destination,
                               std::filesystem::copy_options::overwrite_existing, ec);
    return ec;
}

std::filesystem::file_status path_status(const std::filesystem::path& path, std::error_code& ec) {
    return std::filesystem::status(path, ec);
}

std::error_code create_directories(const std::filesystem::path& directory) {
    std::error_code ec;
    std::filesystem::create_directories(directory, ec);
    return ec;
}

std::error_code remove_path(const std::filesystem::path& path) {
    if (::remove(path.c_str()) == 0) return {};
    return std::error_code(errno, std::generic_category());
}

std::vector<TreeEntry> list_tree(const std::filesystem::path& root) {
    namespace fs = std::filesystem;
    std::vector<TreeEntry> entries;
    for (fs::recursive_directory_iterator it(root), end; it != end; ++it) {
        entries.push_back(TreeEntry{it->path(), it->symlink_status().type()});
    }
    return entries;
}

namespace {

// The size of the regular file open as fd; -1 for anything else.
off_t regular_size(int fd) {
    struct stat info;
    return fd >= 0 && ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) ? info.st_size : -1;
}

// Reads exactly size bytes; false on an error or an early end.
bool read_exactly(int fd, char* buffer, std::size_t size) {
    while (size > 0) {
        const ssize_t got = ::read(fd, buffer, size);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        buffer += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

bool same_file_content(const std::filesystem::path& a, const std::filesystem::path& b) {
    const FdCloser x{::open(a.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC)};
    const FdCloser y{::open(b.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC)};
    off_t left = regular_size(x.fd);
    if (left < 0 || left != regular_size(y.fd)) return false;
    std::vector<char> first(1 << 16), second(first.size());
    while (left > 0) {
        const std::size_t size =
            static_cast<std::size_t>(std::min<off_t>(left, static_cast<off_t>(first.size())));
        if (!read_exactly(x.fd, first.data(), size) || !read_exactly(y.fd, second.data(), size) ||
            std::memcmp(first.data(), second.data(), size) != 0) {
            return false;
        }
        left -= static_cast<off_t>(size);
    }
    return true;
}

bool flush_file(const std::filesystem::path& file) { return fsync_path(file, O_RDONLY); }

bool flush_directory(const std::filesystem::path& directory) {
    return fsync_path(directory, O_RDONLY | O_DIRECTORY);
}

bool replace_file(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (::rename(from.c_str(), to.c_str()) != 0) return false;
    const auto parent = to.parent_path();
    return flush_directory(parent.empty() ? std::filesystem::path(".") : parent);
}

std::optional<std::string> extraction_script() {
    if (lumetra_extraction_script_size == 0) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(lumetra_extraction_script),
                       lumetra_extraction_script_size);
}

std::optional<std::filesystem::path> powershell_path() {
    const std::filesystem::path path = LUMETRA_POWERSHELL;
    if (path.empty()) return std::nullopt;
    return path;
}

// --- Directory identity and runtime texts ---------------------------------

bool same_directory(const std::filesystem::path& a, const std::filesystem::path& b) {
    struct stat first;
    struct stat second;
    return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 &&
           S_ISDIR(first.st_mode) && S_ISDIR(second.st_mode) && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

std::wstring runtime_text_to_wide(std::string_view text) { return utf8_to_wide_replacing(text); }

// --- Name aliases -------------------------------------------------------

std::filesystem::path long_path_form(const std::filesystem::path& path) { return path; }

}  // namespace platform
