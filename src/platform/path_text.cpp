// Paths hold wide text on Windows and UTF-8 bytes on POSIX; the standard
// library converts wide text on POSIX through the "C" locale, which refuses
// anything but ASCII, so conversions go through UTF-8 explicitly there.
#include <vector>

#include "platform/platform.h"

namespace platform {
namespace {

[[maybe_unused]] std::wstring native_to_wide(const std::wstring& native) { return native; }
[[maybe_unused]] std::wstring native_to_wide(const std::string& native) {
    return utf8_to_wide_replacing(native);
}

template <typename Char>
std::basic_string<Char> wide_to_native(const std::wstring& text);

template <>
[[maybe_unused]] std::wstring wide_to_native<wchar_t>(const std::wstring& text) {
    return text;
}

template <>
[[maybe_unused]] std::string wide_to_native<char>(const std::wstring& text) {
    return wide_to_utf8(text);
}

}  // namespace

std::wstring path_to_wide(const std::filesystem::path& path) {
    return native_to_wide(path.native());
}

std::filesystem::path wide_to_path(const std::wstring& text) {
    return std::filesystem::path(wide_to_native<std::filesystem::path::value_type>(text));
}

namespace {

bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

}  // namespace

std::wstring extended_length_text(std::wstring_view path) {
    // Below this length the system takes a plain path as it is; keeping those
    // keeps the system's own reading of ordinary paths.
    constexpr std::size_t kShortest = 248;
    if (path.size() < kShortest) return std::wstring(path);
    const bool unc = is_separator(path[0]) && is_separator(path[1]) && !is_separator(path[2]);
    const bool drive =
        path[1] == L':' && is_separator(path[2]) &&
        ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z'));
    // "\\?\", "\\.\", "\??\": already extended or a device.
    const bool device = (unc && (path[2] == L'?' || path[2] == L'.') && is_separator(path[3])) ||
                        (is_separator(path[0]) && path.substr(1, 3) == L"??\\");
    if (device || (!unc && !drive)) return std::wstring(path);

    std::vector<std::wstring_view> elements;
    for (std::size_t at = drive ? 3 : 2; at <= path.size();) {
        std::size_t end = at;
        while (end < path.size() && !is_separator(path[end])) ++end;
        const std::wstring_view element = path.substr(at, end - at);
        at = end + 1;
        if (element.empty() || element == L".") continue;
        // A UNC path's server and share are its root: ".." stops there, as at a drive's root.
        if (element == L"..") {
            if (elements.size() > (unc ? 2u : 0u)) elements.pop_back();
            continue;
        }
        if (element.back() == L'.' || element.back() == L' ') return std::wstring(path);
        elements.push_back(element);
    }
    if (unc && elements.size() < 2) return std::wstring(path);
    std::wstring out = unc ? L"\\\\?\\UNC" : std::wstring(L"\\\\?\\") + path[0] + L':';
    for (const std::wstring_view element : elements) (out += L'\\') += element;
    if (elements.empty() || is_separator(path.back())) out += L'\\';
    return out;
}

}  // namespace platform
