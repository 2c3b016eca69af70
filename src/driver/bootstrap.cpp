#include "driver/bootstrap.h"

#include "extract/runner.h"
#include "platform/platform.h"
#include "support/file_status.h"
#include "support/update_log.h"
#include "transaction/file_operations.h"

std::wstring make_relaunch_parameters(const UpdaterOptions& options) {
    return L"--package " + quote_argument(platform::path_to_wide(options.package)) + L" --target " +
           quote_argument(platform::path_to_wide(options.target)) + L" --pid " +
           std::to_wstring(options.pid) + L" --launch " +
           quote_argument(platform::path_to_wide(options.launch)) + L" --detached 1";
}

bool runs_from_installation(const std::filesystem::path& self_path,
                            const std::filesystem::path& target) {
    return platform::same_directory(self_path.parent_path(), target);
}

std::int32_t bootstrap_relaunch(const UpdaterOptions& options,
                                const std::filesystem::path& self_path, const std::wstring& tick) {
    namespace fs = std::filesystem;
    const fs::path directory = fs::temp_directory_path() / (L"LumetraUpdaterBootstrap_" + tick);
    platform::create_directories(directory);
    copy_file_with_retry(self_path, directory / L"LumetraUpdater.exe");
    for (const wchar_t* library : {L"msvcp140.dll", L"vcruntime140.dll", L"vcruntime140_1.dll"}) {
        if (fs::exists(query_status(options.target / library))) {
            copy_file_with_retry(options.target / library, directory / library);
        }
    }
    const std::intptr_t started = platform::open_program(
        directory / L"LumetraUpdater.exe", make_relaunch_parameters(options), directory);
    if (started > 32) return 0;
    write_update_log(options.target, L"无法启动外置升级器，错误=" + std::to_wstring(started));
    return 7;
}
