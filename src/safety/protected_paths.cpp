#include "safety/protected_paths.h"

#include <string>

#include "platform/platform.h"
#include "safety/path_checks.h"

bool is_protected_path(const std::filesystem::path& relative_path) {
    if (relative_path.empty()) return true;
    static const wchar_t* const kDirectories[] = {L"config",      L"projects", L"models",
                                                  L"logs",        L"interaction", L"updates",
                                                  L"diagnostics", L"alarm_history"};
    // Both separators split elements, as a journal line spells paths with '/'.
    std::wstring text = platform::path_to_wide(relative_path);
    const std::size_t first_separator = text.find_first_of(L"/\\");
    const std::wstring first = to_lower_copy(platform::path_to_wide(*relative_path.begin()));
    for (const wchar_t* name : kDirectories) {
        if (first == name) return true;
        if (first_separator != std::wstring::npos &&
            to_lower_copy(text.substr(0, first_separator)) == name) {
            return true;
        }
    }
    if (first_separator != std::wstring::npos || !relative_path.parent_path().empty()) return false;
    const std::wstring name = to_lower_copy(platform::path_to_wide(relative_path.filename()));
    if (name == L"release.json") return false;
    const std::wstring extension = to_lower_copy(platform::path_to_wide(relative_path.filename().extension()));
    return extension == L".json" || extension == L".ini";
}
