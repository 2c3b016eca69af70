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

std::string failure_text(const std::exception& failure) {
    std::string text = failure.what();
    if (const auto* system = dynamic_cast<const std::system_error*>(&failure)) {
        const std::string message = system->code().message();
        const std::size_t at = message.empty() ? std::string::npos : text.find(message);
        if (at != std::string::npos) {
            text.replace(at, message.size(),
                         platform::wide_to_utf8(platform::runtime_text_to_wide(message)));
        }
    }
    return text;
}

bool remove_if_present(const std::filesystem::path& file) {
    const std::error_code ec = platform::remove_path(file);
    if (!ec) return true;
    // ENOTDIR, or Windows' path not found: the file cannot exist.
    std::error_code ignored;
    if (platform::path_status(file, ignored).type() == std::filesystem::file_type::not_found) {
        return false;
    }
    throw std::filesystem::filesystem_error("remove", file, ec);
}

void make_directories(const std::filesystem::path& directory) {
    if (const std::error_code ec = platform::create_directories(directory)) {
        throw std::filesystem::filesystem_error("create_directories", directory, ec);
    }
}

void remove_tree(const std::filesystem::path& root) {
    try {
        const std::vector<platform::TreeEntry> entries = platform::list_tree(root);
        // What a directory holds comes after it in the listing, so backwards empties it first.
        for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
            platform::remove_path(entry->path);
        }
    } catch (const std::exception&) {
        // A directory that cannot be read keeps what it holds, and so does root.
    }
    platform::remove_path(root);
}

bool restore_file(const CopyOperation& copy, const std::filesystem::path& source,
                  const std::filesystem::path& destination) {
    try {
        copy(source, destination);
        return true;
    } catch (...) {
        if (platform::same_file_content(source, destination)) return false;
        throw;
    }
}
