#include "safety/protected_paths.h"

#include <cstring>

#include "platform/platform.h"
#include "safety/path_checks.h"

namespace fs = std::filesystem;

namespace {

using Text = fs::path::string_type;

Text native_text(const char* ascii) { return Text(ascii, ascii + std::strlen(ascii)); }

}  // namespace

bool is_protected_path(const fs::path& relative_path) {
    // Native text throughout: no conversion, so no failure on any name.
    const Text& text = relative_path.native();
    if (text.empty()) return true;
    static const char* const kDirectories[] = {"config",      "projects",     "models",
                                               "logs",        "interaction",  "updates",
                                               "diagnostics", "alarm_history"};
    // Backslashes separate elements as forward slashes do, on every platform:
    // packages and journals come from Windows.
    const std::size_t separator = text.find_first_of(native_text("/\\"));
    const Text first = to_lower_native(separator == 0 ? relative_path.begin()->native()
                                                      : text.substr(0, separator));
    for (const char* name : kDirectories) {
        if (first == native_text(name)) return true;
    }
    if (separator != Text::npos || relative_path.has_parent_path()) return false;

    Text name = to_lower_native(relative_path.filename().native());
    if (name == native_text("release.json")) return false;
    // An alternate data stream suffix ("name.json:stream") is not part of the
    // extension; the stream still belongs to the protected file.
    name = name.substr(0, name.find(fs::path::value_type(':')));
    const Text extension = fs::path(name).extension().native();
    return extension == native_text(".json") || extension == native_text(".ini");
}

bool is_protected_destination(const fs::path& installation_root, const fs::path& relative_path) {
    if (is_protected_path(relative_path)) return true;
    const fs::path root = platform::long_path_form(installation_root);
    const fs::path destination = platform::long_path_form(installation_root / relative_path);
    if (!is_inside_root(destination, root)) return true;
    auto element = destination.begin();
    for (auto skipped = root.begin(); skipped != root.end(); ++skipped) ++element;
    fs::path opened;
    for (; element != destination.end(); ++element) opened /= *element;
    return is_protected_path(opened);
}
