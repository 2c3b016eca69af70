// Paths hold wide text on Windows and UTF-8 bytes on POSIX; the standard
// library converts wide text on POSIX through the "C" locale, which refuses
// anything but ASCII, so conversions go through UTF-8 explicitly there.
#include <type_traits>

#include "platform/platform.h"

namespace platform {

namespace {
constexpr bool kWidePaths = std::is_same_v<std::filesystem::path::value_type, wchar_t>;
}

std::wstring path_to_wide(const std::filesystem::path& path) {
    if constexpr (kWidePaths) {
        return std::wstring(path.native().begin(), path.native().end());
    } else {
        return utf8_to_wide_replacing(path.native());
    }
}

std::filesystem::path wide_to_path(const std::wstring& text) {
    if constexpr (kWidePaths) {
        return std::filesystem::path(text);
    } else {
        return std::filesystem::path(wide_to_utf8(text));
    }
}

}  // namespace platform
