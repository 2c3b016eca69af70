#include "support/file_status.h"

#include <system_error>

#include "platform/platform.h"

std::filesystem::file_status query_status(const std::filesystem::path& path,
                                          const char* operation) {
    std::error_code ec;
    const std::filesystem::file_status status = platform::path_status(path, ec);
    if (ec && ec != std::errc::no_such_file_or_directory && ec != std::errc::not_a_directory) {
        throw std::filesystem::filesystem_error(operation, path, ec);
    }
    return status;
}
