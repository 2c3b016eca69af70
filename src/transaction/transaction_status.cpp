#include "transaction/transaction_status.h"

#include <fstream>
#include <stdexcept>

void write_transaction_status(const std::filesystem::path& backup_directory,
                              const std::string& word) {
    std::ofstream out(backup_directory / "transaction.status",
                      std::ios::out | std::ios::trunc | std::ios::binary);
    out << word << '\n';
    out.flush();
    if (!out) throw std::runtime_error("cannot persist update transaction status");
}

std::string read_transaction_status(const std::filesystem::path& backup_directory) {
    std::ifstream in(backup_directory / "transaction.status");
    std::string line;
    if (in) std::getline(in, line);
    return line;
}
