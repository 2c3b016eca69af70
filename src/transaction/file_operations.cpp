#include "transaction/file_operations.h"

#include <system_error>

#include "platform/platform.h"

void copy_file_with_retry(const std::filesystem::path& source,
                          const std::filesystem::path& destination) {
    std::error_code ec;
    for (int attempt = 0; attempt < 30; ++attempt) {
        ec = platform::copy_file(source, destination);
        if (!ec) return;
        platform::pause_milliseconds(100);
    }
    throw std::filesystem::filesystem_error("copy failed", source, destination, ec);
}
