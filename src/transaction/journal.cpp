#include "transaction/journal.h"

#include <algorithm>
#include <fstream>
#include <stdexcept>
#include <system_error>

#include "platform/platform.h"
#include "safety/protected_paths.h"

namespace fs = std::filesystem;

namespace {

[[noreturn]] void refuse(const char* message) { throw std::runtime_error(message); }

// UTF-8 keeps every byte of a multi-byte character above 0x7F, so a byte test
// finds every control character.
bool is_control(char c) { return static_cast<unsigned char>(c) < 0x20; }

void require_utf8(const std::string& text, const char* what) {
    if (!platform::utf8_to_wide_strict(text)) {
        throw std::system_error(std::make_error_code(std::errc::illegal_byte_sequence), what);
    }
}

bool has_traversal_element(const fs::path& path) {
    for (const fs::path& element : path) {
        if (element == "." || element == "..") return true;
    }
    return false;
}

// A NUL or carriage return in a path, or a colon (an NTFS stream name such as
// "config::$INDEX_ALLOCATION" opens the directory config), would let the
// protected-path test see another name than the file calls that act on it. No
// package name holds a colon.
RecoveryEntry parse_line(const std::string& line) {
    const std::size_t tab = line.find('\t');
    const auto controls = std::count_if(line.begin(), line.end(), is_control);
    if (tab == std::string::npos || controls != 1 || line.find(':') != std::string::npos) {
        refuse("invalid recovery journal");
    }
    const std::string kind = line.substr(0, tab);
    const std::string text = line.substr(tab + 1);
    require_utf8(text, "cannot convert recovery path");
    const fs::path relative = fs::u8path(text);
    if ((kind != "restore" && kind != "remove") || relative.empty() || relative.is_absolute() ||
        relative.has_root_name() || is_protected_path(relative)) {
        refuse("invalid recovery entry");
    }
    if (has_traversal_element(relative)) refuse("recovery path traversal");
    return RecoveryEntry{relative, kind == "restore"};
}

}  // namespace

std::string journal_line(const InstallEntry& entry) {
    std::string text = entry.relative_path.generic_u8string();
    // Where paths are bytes already, nothing above has checked them.
    require_utf8(text, "path is not valid unicode");
    std::replace(text.begin(), text.end(), '\\', '/');
    // The reader refuses these, so a journal holding one could never be recovered.
    if (std::any_of(text.begin(), text.end(), is_control) || text.find(':') != std::string::npos)
        throw std::runtime_error("invalid filename for recovery journal");
    return (entry.existed ? "restore\t" : "remove\t") + text + '\n';
}

std::vector<RecoveryEntry> read_journal(const fs::path& file,
                                        const std::function<void(const RecoveryEntry&)>& check) {
    std::ifstream in(file, std::ios::in | std::ios::binary);
    if (!in.is_open()) refuse("missing recovery journal");
    std::vector<RecoveryEntry> entries;
    std::string line;
    while (std::getline(in, line)) {
        // Every line the writer makes ends with a line feed: a last line
        // without one was cut short, and may name another file than it did.
        if (in.eof()) refuse("invalid recovery journal");
        entries.push_back(parse_line(line));
        check(entries.back());
    }
    if (in.bad() || entries.empty()) refuse("empty or unreadable recovery journal");
    return entries;
}
