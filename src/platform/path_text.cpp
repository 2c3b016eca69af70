// Paths hold wide text on Windows and UTF-8 bytes on POSIX; the standard
// library converts wide text on POSIX through the "C" locale, which refuses
// anything but ASCII, so conversions go through UTF-8 explicitly there.
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

}  // namespace platform
