// The operating-system services the updater uses, in the updater's own terms.
// platform_win32.cpp makes the Windows calls; platform_posix.cpp gives the
// same effects on Linux, where the updater is built and tested too.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace platform {

// --- Process and user ----------------------------------------------------

// The arguments of this process, element 0 being the program, split by the
// rules of CommandLineToArgvW. Empty when the command line cannot be split.
std::vector<std::wstring> command_line_arguments();

// Full path of the running executable, however long; empty when unknown.
std::filesystem::path own_executable_path();

// Message box flags and answers, as MessageBoxW knows them.
constexpr unsigned kMessageError = 16;
constexpr unsigned kMessageWarning = 48;
constexpr unsigned kMessageInformation = 64;
constexpr unsigned kMessageQuestion = 308;  // yes/no, warning icon, No as default
constexpr int kAnswerYes = 6;

// Shows a modal message box without owner window and returns the button
// pressed. POSIX: title and text go to stderr as UTF-8; for kMessageQuestion
// one line is read from stdin and only "y" or "yes" (any case) answers Yes.
int show_message(const std::wstring& text, const std::wstring& title, unsigned flags);

// The progress display between the start of a run and its closing message box.
// Shows it with `stage` (one line naming what the run does now), or changes
// the line when it is shown. Windows: a window of the updater's own, titled
// "Lumetra 升级", on a thread of its own, with a moving bar; it never takes
// the focus and ignores the user's attempts to close it. POSIX: the line on
// stderr. Failures to show it are ignored: the run goes on without it.
void show_progress(const std::wstring& stage);

// Removes the progress window and returns once it is gone; nothing when none
// is shown. show_message calls it first, so no box ever appears beside it.
void close_progress();

// Starts a program and does not wait for it (the shell's "open" verb). The
// parameters are split by the rules of CommandLineToArgvW. Returns a value
// above 32 on success, else a small error code (2 file not found, 3 path not
// found, 5 access denied, 8 out of memory, 31 anything else). On POSIX the
// program is detached: it keeps running after this process ends.
std::intptr_t open_program(const std::filesystem::path& file, const std::wstring& parameters,
                           const std::filesystem::path& working_directory);

// Waits up to timeout_ms for process pid to end. True when it ended in time
// or names no process; false on time-out or when it cannot be waited for.
bool wait_for_process(std::uint32_t pid, std::uint32_t timeout_ms);

// Starts command_line (program first, split by the rules of CommandLineToArgvW)
// without a window and without inheriting handles, and waits up to timeout_ms.
// Not started: returns false, exit_code untouched. Finished: exit_code is the
// child's, returns exit_code == 0. Time-out: the child is killed with exit code
// 1, waited for up to 5,000 ms more, exit_code is 1, returns false.
bool run_process(const std::wstring& command_line, std::uint32_t timeout_ms,
                 std::uint32_t& exit_code);

// The value of an environment variable; nullopt when it is unset, empty, or
// longer than 259 units (the 260-unit buffer of the Windows call).
std::optional<std::wstring> environment_value(const std::wstring& name);

void pause_milliseconds(std::uint32_t milliseconds);

// --- Text ---------------------------------------------------------------

// UTF-8 of a wide text. Unpaired surrogates become U+FFFD. Empty for empty.
std::string wide_to_utf8(const std::wstring& text);

// Strict UTF-8 decoding: nullopt on any invalid sequence.
std::optional<std::wstring> utf8_to_wide_strict(std::string_view bytes);

// Replacing UTF-8 decoding: each invalid sequence becomes U+FFFD.
std::wstring utf8_to_wide_replacing(std::string_view bytes);

// The text of a path as wide characters, and a path from wide text. Unlike the
// standard library's own conversions on POSIX, these keep non-ASCII text.
std::wstring path_to_wide(const std::filesystem::path& path);
std::filesystem::path wide_to_path(const std::wstring& text);

// Splits a command line by the rules of CommandLineToArgvW: the first element
// (the program) is quoted whole or ends at the first space or tab and takes no
// escapes; the others honour quotes, backslash escapes and runs of quotes (two
// quotes inside quotes give one literal quote and end the quoted part).
// Portable: the POSIX layer starts programs with it, and tests compare it with
// the Windows call.
std::vector<std::wstring> split_command_line(std::wstring_view command_line);

// --- File system -------------------------------------------------------
//
// Windows: every file call below, and the name queries further down, reach the
// system through extended_length_text, so a path beyond 260 characters works
// whether or not the system lifts that limit for the updater.

// The extended-length form of a Windows path text ("\\?\C:\...",
// "\\?\UNC\server\share\..."), with "/" turned into "\", runs of separators
// made one and "." and ".." resolved, as the system does for a plain path but
// not for this form. Left as it is: a text shorter than 248 units (the shortest
// that a directory call refuses), one already extended or naming a device
// ("\\?\", "\\.\", "\??\"), one not absolute (relative, "C:x", "\x"), and
// one with an element ending in a dot or a space, which the system trims from
// a plain path. Pure text: the same on every platform.
std::wstring extended_length_text(std::wstring_view path);

// The status of path, links followed (Windows: the file's information by
// handle). A missing path gives file_type::not_found with ec set to
// no_such_file_or_directory; any other failure sets ec.
std::filesystem::file_status path_status(const std::filesystem::path& path, std::error_code& ec);

// Creates directory and every missing parent. Clear when the directory exists
// afterwards.
std::error_code create_directories(const std::filesystem::path& directory);

// Removes a file, an empty directory or a link itself (never what it points
// to). A missing path gives no_such_file_or_directory.
std::error_code remove_path(const std::filesystem::path& path);

// One entry below a listed directory; its type is that of the entry itself,
// links not followed (on Windows every reparse point counts as a link).
struct TreeEntry {
    std::filesystem::path path;
    std::filesystem::file_type type;
};

// Every entry below root (root itself not included), each directory before what
// it holds; links to directories are listed, not entered. Throws
// filesystem_error "directory iterator" when a directory cannot be read.
std::vector<TreeEntry> list_tree(const std::filesystem::path& root);

enum class LinkQuery {
    unknown,        // the path could not be queried (missing, no access, ...)
    plain,          // exists and is not a reparse point
    reparse_point,  // symbolic link, junction, mount point or other reparse point
};

// Attributes of the path itself, links not followed (Windows: GetFileAttributesW
// & FILE_ATTRIBUTE_REPARSE_POINT; POSIX: lstat, a symbolic link counts).
LinkQuery query_link(const std::filesystem::path& path);

// How many names (hard links) the file at path has, the path itself not
// followed (Windows: nNumberOfLinks of GetFileInformationByHandle, opened with
// full sharing as the reparse point itself; POSIX: lstat's st_nlink). 0 when
// nothing is there; 0 and ec set when it cannot be queried.
std::uint64_t link_count(const std::filesystem::path& path, std::error_code& ec);

// Copies the regular file source over destination, creating or replacing it
// (Windows: CopyFileW without the fail-if-exists flag; POSIX: the standard copy,
// which gives the destination the source's permission bits). Returns the
// error of the attempt, clear on success.
std::error_code copy_file(const std::filesystem::path& source,
                          const std::filesystem::path& destination);

// True when a and b are regular files of the same size holding the same bytes,
// compared in streaming reads that stop at the first difference. Both are
// opened for reading only, denying other processes nothing (Windows: CreateFileW
// sharing read, write and delete), and a link is not followed. False when
// either cannot be opened or read, or is a link or not a regular file.
bool same_file_content(const std::filesystem::path& a, const std::filesystem::path& b);

// Writes a file's data and metadata through to the disk. False on failure.
// Windows retries a file held open by another process (30 x 100 ms).
bool flush_file(const std::filesystem::path& file);

// Makes the entries of a directory durable (POSIX: fsync of the directory;
// Windows: nothing to do, directory entries follow the files). False on failure.
bool flush_directory(const std::filesystem::path& directory);

// Moves `from` over `to` in one step, replacing it, and makes the new entry
// durable (Windows: MoveFileExW with MOVEFILE_REPLACE_EXISTING |
// MOVEFILE_WRITE_THROUGH; POSIX: rename, then fsync of the directory).
// False on failure; `to` is then untouched. Windows retries either file being
// held open by another process (30 x 100 ms).
bool replace_file(const std::filesystem::path& from, const std::filesystem::path& to);

// --- Extraction ---------------------------------------------------------

// The bytes of the extraction script carried by the executable (resource
// RCDATA 101 on Windows; compiled in on POSIX). nullopt when missing or empty.
std::optional<std::string> extraction_script();

// The PowerShell that runs the extraction script. Windows: the system directory
// joined with "WindowsPowerShell/v1.0/powershell.exe"; POSIX: the absolute path
// fixed when the program was built. nullopt when it cannot be determined.
std::optional<std::filesystem::path> powershell_path();

// --- Directory identity and runtime texts ---------------------------------

// True when a and b name the same existing directory, however they are
// spelled (letter case, 8.3 names, "." elements): Windows compares volume
// serial number and file index, POSIX device and inode. False when either
// cannot be opened or is not a directory.
bool same_directory(const std::filesystem::path& a, const std::filesystem::path& b);

// Wide form of a text that the C++ runtime composed from the system's
// messages (std::system_error): Windows decodes it from the ANSI code page,
// POSIX as UTF-8 with invalid sequences replaced.
std::wstring runtime_text_to_wide(std::string_view text);

// --- Name aliases -------------------------------------------------------

// The name under which the system opens path. Windows: every element loses its
// trailing dots and spaces (an element of nothing else names its parent), and
// the longest existing prefix takes its long form (GetLongPathNameW), so 8.3
// short names are expanded; elements below it stay as given. POSIX: path.
std::filesystem::path long_path_form(const std::filesystem::path& path);

}  // namespace platform
