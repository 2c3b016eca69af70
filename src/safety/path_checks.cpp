#include "safety/path_checks.h"

#include <cwctype>
#include <stdexcept>

#include "platform/platform.h"

std::wstring to_lower_copy(std::wstring text) {
    // towlower in the default "C" locale folds exactly A-Z; doing it by hand
    // keeps that true whatever locale a library might have set.
    for (auto& c : text) {
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    }
    return text;
}

std::filesystem::path::string_type to_lower_native(std::filesystem::path::string_type text) {
    using Unit = std::filesystem::path::value_type;
    for (auto& c : text) {
        if (c >= Unit('A') && c <= Unit('Z')) c = static_cast<Unit>(c - Unit('A') + Unit('a'));
    }
    return text;
}

bool is_inside_root(const std::filesystem::path& candidate, const std::filesystem::path& root) {
    auto c = candidate.begin();
    auto r = root.begin();
    for (;; ++c, ++r) {
        if (r == root.end()) return c != candidate.end();
        if (c == candidate.end()) return false;
        // Native text: a wide conversion of a non-ASCII name can fail on POSIX.
        if (to_lower_native(c->native()) != to_lower_native(r->native())) return false;
    }
}

void ensure_no_reparse_point(const std::filesystem::path& target) {
    const std::filesystem::path normal = std::filesystem::absolute(target).lexically_normal();
    std::filesystem::path built;
    for (const auto& element : normal) {
        built /= element;
        if (platform::query_link(built) == platform::LinkQuery::reparse_point) {
            throw std::runtime_error("update path contains a reparse point");
        }
    }
}

void ensure_single_link(const std::filesystem::path& path, const char* message) {
    std::error_code ec;
    const std::uint64_t links = platform::link_count(path, ec);
    if (ec) throw std::filesystem::filesystem_error("link count", path, ec);
    // A POSIX directory counts its subdirectories' ".." entries as links.
    if (links > 1 && !std::filesystem::is_directory(std::filesystem::symlink_status(path))) {
        throw std::runtime_error(message);
    }
}
