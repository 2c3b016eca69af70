// Windows implementation of the platform services: the system calls themselves.
#include <windows.h>
// shellapi.h needs the types of windows.h first.
#include <shellapi.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "platform/platform.h"

namespace platform {
namespace {

constexpr DWORD kSynchronize = 0x100000;
constexpr DWORD kInvalidParameter = 87;  // what OpenProcess reports for a pid naming no process
constexpr DWORD kPathBuffer = 260;
constexpr DWORD kLongestPath = 32768 * 2;
constexpr int kScriptResource = 101;

// Closes a handle when it goes out of scope; null and INVALID_HANDLE_VALUE are ignored.
struct HandleCloser {
    HANDLE handle;
    ~HandleCloser() {
        if (handle != nullptr && handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
    }
};

std::optional<std::wstring> utf8_to_wide(std::string_view bytes, DWORD flags) {
    if (bytes.empty()) return std::wstring();
    if (bytes.size() > static_cast<std::size_t>(INT_MAX)) return std::nullopt;
    const int length = static_cast<int>(bytes.size());
    const int needed = ::MultiByteToWideChar(CP_UTF8, flags, bytes.data(), length, nullptr, 0);
    if (needed <= 0) return std::nullopt;
    std::wstring out(static_cast<std::size_t>(needed), L'\0');
    const int written =
        ::MultiByteToWideChar(CP_UTF8, flags, bytes.data(), length, out.data(), needed);
    if (written <= 0) return std::nullopt;
    out.resize(static_cast<std::size_t>(written));
    return out;
}

// A virus scanner or an indexer may hold a file open without sharing it for a
// moment; such failures are retried as copies are (30 attempts, 100 ms apart).
// A replace meets a held target as ERROR_ACCESS_DENIED.
template <typename Attempt>
bool retrying_sharing_violations(Attempt attempt) {
    for (int tries = 0; tries < 30; ++tries) {
        const DWORD error = attempt();
        if (error == ERROR_SUCCESS) return true;
        if (error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION &&
            error != ERROR_ACCESS_DENIED) {
            return false;
        }
        ::Sleep(100);
    }
    return false;
}

// The name a file call is given: the extended-length form of a long path.
std::wstring system_name(const std::filesystem::path& path) {
    return extended_length_text(path.native());
}

// The information of the file or directory at path, links followed unless
// flags hold FILE_FLAG_OPEN_REPARSE_POINT; nullopt with the system's error in
// `error` when it cannot be opened or read.
std::optional<BY_HANDLE_FILE_INFORMATION> file_information(const std::filesystem::path& path,
                                                           DWORD& error, DWORD flags = 0) {
    // FILE_FLAG_BACKUP_SEMANTICS lets CreateFileW open a directory; FILE_READ_ATTRIBUTES
    // is granted even on a file that another process holds without sharing.
    const HandleCloser handle{::CreateFileW(system_name(path).c_str(), FILE_READ_ATTRIBUTES,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                            nullptr, OPEN_EXISTING,
                                            FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr)};
    BY_HANDLE_FILE_INFORMATION info;
    if (handle.handle == INVALID_HANDLE_VALUE ||
        !::GetFileInformationByHandle(handle.handle, &info)) {
        error = ::GetLastError();
        return std::nullopt;
    }
    return info;
}

// A failed file call's error in the standard library's terms; the errors that
// the C runtime reports as a missing file are one.
std::error_code file_error(DWORD error) {
    for (const DWORD missing :
         {ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_INVALID_DRIVE, ERROR_BAD_NETPATH,
          ERROR_BAD_NET_NAME, ERROR_INVALID_NAME, ERROR_BAD_PATHNAME, ERROR_FILENAME_EXCED_RANGE}) {
        if (error == missing) return std::make_error_code(std::errc::no_such_file_or_directory);
    }
    return std::error_code(static_cast<int>(error), std::system_category());
}

}  // namespace

std::vector<std::wstring> command_line_arguments() {
    int count = 0;
    LPWSTR* argv = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (argv == nullptr) return {};
    std::vector<std::wstring> args(argv, argv + count);
    ::LocalFree(argv);
    return args;
}

std::filesystem::path own_executable_path() {
    // A path that fills the buffer may have been cut short: grow it and ask again.
    for (DWORD size = kPathBuffer; size <= kLongestPath; size *= 2) {
        std::wstring buffer(size, L'\0');
        const DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), size);
        if (length == 0) return {};
        if (length < size) return std::filesystem::path(buffer.substr(0, length));
    }
    return {};
}

int show_message(const std::wstring& text, const std::wstring& title, unsigned flags) {
    close_progress();
    return ::MessageBoxW(nullptr, text.c_str(), title.c_str(), flags);
}

std::intptr_t open_program(const std::filesystem::path& file, const std::wstring& parameters,
                           const std::filesystem::path& working_directory) {
    const HINSTANCE result = ::ShellExecuteW(
        nullptr, L"open", file.c_str(), parameters.empty() ? nullptr : parameters.c_str(),
        working_directory.empty() ? nullptr : working_directory.c_str(), SW_SHOWNORMAL);
    return reinterpret_cast<std::intptr_t>(result);
}

bool wait_for_process(std::uint32_t pid, std::uint32_t timeout_ms) {
    const HANDLE process = ::OpenProcess(kSynchronize, FALSE, pid);
    if (process == nullptr) return ::GetLastError() == kInvalidParameter;
    const DWORD waited = ::WaitForSingleObject(process, timeout_ms);
    ::CloseHandle(process);
    return waited == WAIT_OBJECT_0;
}

bool run_process(const std::wstring& command_line, std::uint32_t timeout_ms,
                 std::uint32_t& exit_code) {
    STARTUPINFOW startup;
    ::ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process;
    ::ZeroMemory(&process, sizeof(process));

    // CreateProcessW may write into the command line, so it gets its own copy.
    std::vector<wchar_t> buffer(command_line.begin(), command_line.end());
    buffer.push_back(L'\0');

    if (!::CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                          nullptr, nullptr, &startup, &process)) {
        return false;
    }
    const DWORD waited = ::WaitForSingleObject(process.hProcess, timeout_ms);
    exit_code = 1;
    if (waited != WAIT_OBJECT_0) {
        ::TerminateProcess(process.hProcess, 1);
        ::WaitForSingleObject(process.hProcess, 5000);
        ::CloseHandle(process.hThread);
        ::CloseHandle(process.hProcess);
        return false;
    }
    DWORD code = 1;
    ::GetExitCodeProcess(process.hProcess, &code);
    exit_code = code;
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return exit_code == 0;
}

std::optional<std::wstring> environment_value(const std::wstring& name) {
    wchar_t buffer[kPathBuffer] = {};
    const DWORD length = ::GetEnvironmentVariableW(name.c_str(), buffer, kPathBuffer);
    // 0: unset or empty; 260 or more: the size needed, nothing copied.
    if (length == 0 || length >= kPathBuffer) return std::nullopt;
    return std::wstring(buffer, length);
}

void pause_milliseconds(std::uint32_t milliseconds) { ::Sleep(milliseconds); }

std::string wide_to_utf8(const std::wstring& text) {
    if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX)) return {};
    const int length = static_cast<int>(text.size());
    const int needed =
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return {};
    std::string out(static_cast<std::size_t>(needed), '\0');
    const int written = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, out.data(), needed,
                                              nullptr, nullptr);
    if (written <= 0) return {};
    out.resize(static_cast<std::size_t>(written));
    return out;
}

std::optional<std::wstring> utf8_to_wide_strict(std::string_view bytes) {
    return utf8_to_wide(bytes, MB_ERR_INVALID_CHARS);
}

std::wstring utf8_to_wide_replacing(std::string_view bytes) {
    return utf8_to_wide(bytes, 0).value_or(std::wstring());
}

LinkQuery query_link(const std::filesystem::path& path) {
    const DWORD attributes = ::GetFileAttributesW(system_name(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return LinkQuery::unknown;
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? LinkQuery::reparse_point
                                                            : LinkQuery::plain;
}

std::uint64_t link_count(const std::filesystem::path& path, std::error_code& ec) {
    ec.clear();
    DWORD error = 0;
    if (const auto info = file_information(path, error, FILE_FLAG_OPEN_REPARSE_POINT)) {
        return info->nNumberOfLinks;
    }
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
        ec = std::error_code(static_cast<int>(error), std::system_category());
    }
    return 0;
}

std::error_code copy_file(const std::filesystem::path& source,
                          const std::filesystem::path& destination) {
    // The standard library's overwrite in this runtime compares file identities
    // that Windows does not fill in and refuses every existing destination.
    // CopyFileW rather than CopyFile2: same effect, and Wine implements it.
    if (::CopyFileW(system_name(source).c_str(), system_name(destination).c_str(), FALSE)) {
        return {};
    }
    return std::error_code(static_cast<int>(::GetLastError()), std::system_category());
}

namespace {

// Opens for reading without denying anyone anything (the C runtime's _wfopen
// denies deletion); a link is opened itself, not followed.
HANDLE open_shared_for_reading(const std::filesystem::path& file) {
    return ::CreateFileW(system_name(file).c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN,
                         nullptr);
}

// The size of the regular file open as handle; nullopt for anything else.
std::optional<ULONGLONG> regular_size(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION info;
    if (handle == INVALID_HANDLE_VALUE || !::GetFileInformationByHandle(handle, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        return std::nullopt;
    }
    return (static_cast<ULONGLONG>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
}

// Reads exactly size bytes; false on an error or an early end.
bool read_exactly(HANDLE handle, char* buffer, DWORD size) {
    while (size > 0) {
        DWORD got = 0;
        if (!::ReadFile(handle, buffer, size, &got, nullptr) || got == 0) return false;
        buffer += got;
        size -= got;
    }
    return true;
}

}  // namespace

bool same_file_content(const std::filesystem::path& a, const std::filesystem::path& b) {
    const HandleCloser x{open_shared_for_reading(a)};
    const HandleCloser y{open_shared_for_reading(b)};
    const auto size = regular_size(x.handle);
    if (!size || size != regular_size(y.handle)) return false;
    std::vector<char> first(1 << 16), second(first.size());
    for (ULONGLONG left = *size; left > 0;) {
        const DWORD chunk = static_cast<DWORD>(std::min<ULONGLONG>(left, first.size()));
        if (!read_exactly(x.handle, first.data(), chunk) ||
            !read_exactly(y.handle, second.data(), chunk) ||
            std::memcmp(first.data(), second.data(), chunk) != 0) {
            return false;
        }
        left -= chunk;
    }
    return true;
}

bool flush_file(const std::filesystem::path& file) {
    return retrying_sharing_violations([&file]() -> DWORD {
        const HandleCloser handle{
            ::CreateFileW(system_name(file).c_str(), GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
        if (handle.handle == INVALID_HANDLE_VALUE) return ::GetLastError();
        return ::FlushFileBuffers(handle.handle) ? ERROR_SUCCESS : ::GetLastError();
    });
}

// Windows cannot flush a directory; MOVEFILE_WRITE_THROUGH makes a new entry durable.
bool flush_directory(const std::filesystem::path&) { return true; }

bool replace_file(const std::filesystem::path& from, const std::filesystem::path& to) {
    return retrying_sharing_violations([&]() -> DWORD {
        return ::MoveFileExW(system_name(from).c_str(), system_name(to).c_str(),
                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
                   ? ERROR_SUCCESS
                   : ::GetLastError();
    });
}

std::filesystem::file_status path_status(const std::filesystem::path& path, std::error_code& ec) {
    namespace fs = std::filesystem;
    DWORD error = ERROR_SUCCESS;
    const auto info = file_information(path, error);
    if (!info) {
        ec = file_error(error);
        return fs::file_status(ec == std::errc::no_such_file_or_directory ? fs::file_type::not_found
                                                                          : fs::file_type::none);
    }
    ec.clear();
    return fs::file_status((info->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0
                               ? fs::file_type::directory
                               : fs::file_type::regular);
}

std::error_code create_directories(const std::filesystem::path& directory) {
    std::error_code ec;
    if (std::filesystem::is_directory(path_status(directory, ec))) return {};
    const std::filesystem::path parent = directory.parent_path();
    if (!parent.empty() && parent != directory) {
        if (const std::error_code failed = platform::create_directories(parent)) return failed;
    }
    if (::CreateDirectoryW(system_name(directory).c_str(), nullptr)) return {};
    const DWORD error = ::GetLastError();
    // Made by someone else meanwhile, or the root of a drive.
    if (std::filesystem::is_directory(path_status(directory, ec))) return {};
    return file_error(error);
}

std::error_code remove_path(const std::filesystem::path& path) {
    const std::wstring name = system_name(path);
    const DWORD attributes = ::GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return file_error(::GetLastError());
    // A link to a directory is a directory entry: RemoveDirectoryW takes the link alone.
    const BOOL removed = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0
                             ? ::RemoveDirectoryW(name.c_str())
                             : ::DeleteFileW(name.c_str());
    return removed ? std::error_code() : file_error(::GetLastError());
}

std::vector<TreeEntry> list_tree(const std::filesystem::path& root) {
    namespace fs = std::filesystem;
    std::vector<TreeEntry> entries;
    std::vector<fs::path> pending{root};
    while (!pending.empty()) {
        const fs::path directory = pending.back();
        pending.pop_back();
        WIN32_FIND_DATAW found;
        const HANDLE search =
            ::FindFirstFileExW(system_name(directory / L"*").c_str(), FindExInfoBasic, &found,
                               FindExSearchNameMatch, nullptr, 0);
        if (search == INVALID_HANDLE_VALUE) {
            // A drive's empty root has not even "." and "..".
            if (::GetLastError() == ERROR_FILE_NOT_FOUND) continue;
            throw fs::filesystem_error("directory iterator", directory,
                                       file_error(::GetLastError()));
        }
        const std::size_t first = entries.size();
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            const DWORD attributes = found.dwFileAttributes;
            const fs::file_type type =
                (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? fs::file_type::symlink
                : (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0   ? fs::file_type::directory
                                                                 : fs::file_type::regular;
            entries.push_back(TreeEntry{directory / name, type});
        } while (::FindNextFileW(search, &found));
        const DWORD error = ::GetLastError();
        ::FindClose(search);
        if (error != ERROR_NO_MORE_FILES) {
            throw fs::filesystem_error("directory iterator", directory, file_error(error));
        }
        for (std::size_t i = entries.size(); i-- > first;) {
            if (entries[i].type == fs::file_type::directory) pending.push_back(entries[i].path);
        }
    }
    return entries;
}

std::optional<std::string> extraction_script() {
    const HRSRC resource = ::FindResourceW(nullptr, MAKEINTRESOURCEW(kScriptResource), RT_RCDATA);
    if (resource == nullptr) return std::nullopt;
    const HGLOBAL loaded = ::LoadResource(nullptr, resource);
    if (loaded == nullptr) return std::nullopt;
    const void* bytes = ::LockResource(loaded);
    const DWORD size = ::SizeofResource(nullptr, resource);
    if (bytes == nullptr || size == 0) return std::nullopt;
    return std::string(static_cast<const char*>(bytes), size);
}

std::optional<std::filesystem::path> powershell_path() {
    wchar_t buffer[kPathBuffer] = {};
    const UINT length = ::GetSystemDirectoryW(buffer, kPathBuffer);
    if (length == 0 || length >= kPathBuffer) return std::nullopt;
    return std::filesystem::path(std::wstring(buffer, length)) /
           L"WindowsPowerShell/v1.0/powershell.exe";
}

// --- Directory identity and runtime texts ---------------------------------

namespace {

std::optional<BY_HANDLE_FILE_INFORMATION> directory_information(const std::filesystem::path& path) {
    DWORD ignored = ERROR_SUCCESS;
    const auto info = file_information(path, ignored);
    if (!info || (info->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return std::nullopt;
    return info;
}

}  // namespace

bool same_directory(const std::filesystem::path& a, const std::filesystem::path& b) {
    const auto first = directory_information(a);
    const auto second = directory_information(b);
    return first && second && first->dwVolumeSerialNumber == second->dwVolumeSerialNumber &&
           first->nFileIndexHigh == second->nFileIndexHigh &&
           first->nFileIndexLow == second->nFileIndexLow;
}

std::wstring runtime_text_to_wide(std::string_view text) {
    if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX)) return {};
    const int length = static_cast<int>(text.size());
    const int needed = ::MultiByteToWideChar(CP_ACP, 0, text.data(), length, nullptr, 0);
    if (needed <= 0) return {};
    std::wstring out(static_cast<std::size_t>(needed), L'\0');
    const int written = ::MultiByteToWideChar(CP_ACP, 0, text.data(), length, out.data(), needed);
    out.resize(static_cast<std::size_t>(written > 0 ? written : 0));
    return out;
}

// --- Name aliases -------------------------------------------------------

std::filesystem::path long_path_form(const std::filesystem::path& path) {
    namespace fs = std::filesystem;
    // Win32 path normalization drops trailing dots and spaces, so "config ."
    // opens "config"; an element made only of them adds nothing.
    std::vector<std::wstring> elements;
    for (const fs::path& element : path.relative_path()) {
        std::wstring name = element.native();
        if (name != L"." && name != L"..") {
            const std::size_t last = name.find_last_not_of(L". ");
            name.erase(last == std::wstring::npos ? 0 : last + 1);
        }
        if (!name.empty()) elements.push_back(std::move(name));
    }
    std::size_t existing = elements.size();
    fs::path prefix;
    for (;; --existing) {
        prefix = path.root_path();
        for (std::size_t i = 0; i < existing; ++i) prefix /= elements[i];
        if (existing == 0 ||
            ::GetFileAttributesW(system_name(prefix).c_str()) != INVALID_FILE_ATTRIBUTES) {
            break;
        }
    }
    // Each call looks up every element in its directory, which is slow (under
    // Wine above all): ask once with room to spare, again only when too short.
    const std::wstring name = system_name(prefix);
    DWORD size =
        static_cast<DWORD>(std::min<std::size_t>(name.size() * 2 + kPathBuffer, kLongestPath));
    std::wstring buffer(size, L'\0');
    DWORD written = ::GetLongPathNameW(name.c_str(), buffer.data(), size);
    if (written >= size) {
        size = written;
        buffer.assign(size, L'\0');
        written = ::GetLongPathNameW(name.c_str(), buffer.data(), size);
    }
    if (written != 0 && written < size) {
        buffer.resize(written);
        // Callers compare and show plain paths: the extended prefix goes again.
        if (name != prefix.native()) {
            buffer = buffer.rfind(L"\\\\?\\UNC\\", 0) == 0 ? L"\\\\" + buffer.substr(8)
                                                           : buffer.substr(4);
        }
        prefix = fs::path(buffer);
    }
    for (std::size_t i = existing; i < elements.size(); ++i) prefix /= elements[i];
    return prefix;
}

}  // namespace platform
