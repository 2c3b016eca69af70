#include "driver/layout.h"

#include "support/file_status.h"

namespace fs = std::filesystem;

namespace {

bool exists_or_throw(const fs::path& path) { return fs::exists(query_status(path)); }

}  // namespace

fs::path find_payload_root(const fs::path& package_directory) {
    const fs::path app = package_directory / "app";
    return exists_or_throw(app) ? app : package_directory;
}

bool check_staged_layout(const fs::path& payload_root) {
    return exists_or_throw(payload_root / "release.json") &&
           exists_or_throw(payload_root / "Lumetra.exe");
}
