#include "driver/layout.h"

#include <system_error>

namespace fs = std::filesystem;

namespace {

// Existence following links; a failed query other than "not found" throws.
bool exists_or_throw(const fs::path& path) {
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (ec && ec != std::errc::no_such_file_or_directory && ec != std::errc::not_a_directory) {
        throw fs::filesystem_error("status", path, ec);
    }
    return fs::exists(status);
}

}  // namespace

fs::path find_payload_root(const fs::path& package_directory) {
    const fs::path app = package_directory / "app";
    return exists_or_throw(app) ? app : package_directory;
}

bool check_staged_layout(const fs::path& payload_root) {
    return exists_or_throw(payload_root / "release.json") &&
           exists_or_throw(payload_root / "Lumetra.exe");
}
