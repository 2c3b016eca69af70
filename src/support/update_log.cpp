#include "support/update_log.h"

#include <fstream>
#include <system_error>

#include "platform/platform.h"

std::string to_utf8(const std::wstring& text) {
    if (text.empty()) return {};
    return platform::wide_to_utf8(text);
}

namespace {

void append_line(const std::filesystem::path& directory, const std::string& line) {
    std::error_code ignored;
    std::filesystem::create_directories(directory, ignored);
    std::ofstream out(directory / "updater.log", std::ios::out | std::ios::app | std::ios::binary);
    out << line << '\n';
}

}  // namespace

void write_update_log(const std::filesystem::path& base, const std::wstring& text) {
    try {
        const std::string line = to_utf8(text);
        append_line(base / "logs", line);
        if (const auto local = platform::environment_value(L"LOCALAPPDATA")) {
            append_line(std::filesystem::path(*local) / "Veltrion", line);
        }
    } catch (...) {
        // A log line that cannot be written is lost; the update goes on.
    }
}
