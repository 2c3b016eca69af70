#include "driver/options.h"

#include <cwchar>
#include <stdexcept>

#include "extract/runner.h"
#include "platform/platform.h"
#include "safety/path_checks.h"
#include "support/file_status.h"

namespace fs = std::filesystem;

UpdaterOptions parse_command_line() { return parse_arguments(platform::command_line_arguments()); }

UpdaterOptions parse_arguments(const std::vector<std::wstring>& arguments) {
    UpdaterOptions options;
    if (arguments.size() < 3) return options;
    for (std::size_t i = 1; i + 1 < arguments.size(); i += 2) {
        const std::wstring& name = arguments[i];
        const std::wstring& value = arguments[i + 1];
        if (name == L"--package") {
            options.package = platform::wide_to_path(value);
        } else if (name == L"--target") {
            options.target = platform::wide_to_path(value);
        } else if (name == L"--pid") {
            options.pid = static_cast<std::uint32_t>(std::wcstoul(value.c_str(), nullptr, 10));
        } else if (name == L"--launch") {
            options.launch = platform::wide_to_path(value);
        } else if (name == L"--detached") {
            options.detached = value == L"1";
        } else if (name == L"--verify-extract") {
            options.verify_extract = value == L"1";
        }
    }
    return options;
}

namespace {

[[noreturn]] void throw_invalid() {
    throw std::runtime_error("invalid installation directory or launch executable");
}

}  // namespace

bool validate_options(UpdaterOptions& options) {
    if (options.package.empty() || options.target.empty()) return false;

    if (!fs::exists(query_status(options.package, "exists"))) return false;

    options.package = fs::absolute(options.package).lexically_normal();
    options.target = fs::absolute(options.target).lexically_normal();

    ensure_no_reparse_point(options.target);

    if (!fs::is_directory(query_status(options.target))) throw_invalid();
    if (options.target == options.target.root_path()) throw_invalid();
    if (options.launch != fs::path(L"Lumetra.exe") && options.launch != fs::path(L"Pannix.exe")) {
        throw_invalid();
    }
    return true;
}

int run_verify_extract(const UpdaterOptions& options) {
    std::wstring message;
    return run_secure_extraction(options.package, options.target, message) ? 0 : 4;
}
