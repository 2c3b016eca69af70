#include "transaction/transaction_status.h"

#include <fstream>
#include <stdexcept>
#include <system_error>

namespace fs = std::filesystem;

void write_transaction_status(const fs::path& backup_directory, const std::string& word) {
    write_transaction_status(backup_directory, word, system_durability());
}

void write_transaction_status(const fs::path& backup_directory, const std::string& word,
                              const Durability& durability) {
    if (try_write_transaction_status(backup_directory, word, durability) != StatusWrite::durable) {
        throw std::runtime_error("cannot persist update transaction status");
    }
}

StatusWrite try_write_transaction_status(const fs::path& backup_directory, const std::string& word,
                                         const Durability& durability) {
    // Rewriting the status in place could leave an empty file after a crash;
    // a flushed temporary file renamed over it cannot.
    const fs::path temporary = backup_directory / "transaction.status.tmp";
    bool written = false;
    {
        std::ofstream out(temporary, std::ios::out | std::ios::trunc | std::ios::binary);
        out << word << '\n';
        out.flush();
        out.close();
        written = !out.fail();
    }
    try {
        if (written && durability.flush_file(temporary) &&
            durability.replace_file(temporary, backup_directory / "transaction.status")) {
            return StatusWrite::durable;
        }
    } catch (...) {
        // reported below like any other failed write
    }
    // Only the replace removes the temporary file: when it is gone, the new
    // word stands in the directory and only its flush failed.
    std::error_code ec;
    if (written && !fs::exists(temporary, ec) && !ec) return StatusWrite::not_flushed;
    fs::remove(temporary, ec);
    return StatusWrite::failed;
}

std::string read_transaction_status(const fs::path& backup_directory) {
    std::ifstream in(backup_directory / "transaction.status");
    std::string line;
    if (in) std::getline(in, line);
    return line;
}
