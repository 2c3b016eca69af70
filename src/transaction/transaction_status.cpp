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
            return;
        }
    } catch (...) {
        // reported below like any other failed write
    }
    std::error_code ignored;
    fs::remove(temporary, ignored);
    throw std::runtime_error("cannot persist update transaction status");
}

std::string read_transaction_status(const fs::path& backup_directory) {
    std::ifstream in(backup_directory / "transaction.status");
    std::string line;
    if (in) std::getline(in, line);
    return line;
}
