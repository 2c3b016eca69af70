#include "safety/protected_paths.h"

#include <string>

#include "safety/path_checks.h"

namespace fs = std::filesystem;

bool is_protected_path(const fs::path& relative_path) {
    const std::wstring text = relative_path.wstring();
    if (text.empty()) return true;
    static const wchar_t* const kDirectories[] = {L"config",      L"projects", L"models",
                                                  L"logs",        L"interaction", L"updates",
                                                  L"diagnostics", L"alarm_history"};
    // Backslashes separate elements as forward slashes do, on every platform:
    // packages and journals come from Windows.
    const std::size_t separator = text.find_first_of(L"/\\");
    const std::wstring first =
        to_lower_copy(separator == 0 ? relative_path.begin()->wstring() : text.substr(0, separator));
    for (const wchar_t* name : kDirectories) {
        if (first == name) return true;
    }
    if (separator != std::wstring::npos || relative_path.has_parent_path()) return false;

    std::wstring name = to_lower_copy(relative_path.filename().wstring());
    if (name == L"release.json") return false;
    // An alternate data stream suffix ("name.json:stream") is not part of the
    // extension; the stream still belongs to the protected file.
    name = name.substr(0, name.find(L':'));
    const std::wstring extension = fs::path(name).extension().wstring();
    return extension == L".json" || extension == L".ini";
}
