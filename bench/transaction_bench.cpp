// Cost of making an update durable: one update of many small files applied
// without any flush, with the shipped flushes (fsync of every written file and
// directory), and with one syncfs of the file system before each status write.
// Usage: transaction_bench [files] [bytes per file] [rounds] [directory]
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "transaction/apply.h"

namespace fs = std::filesystem;

namespace {

void write_bytes(const fs::path& path, std::size_t size, char fill) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << std::string(size, fill);
}

// An installation where two thirds of the package replace files and one third
// are new, 50 files per directory.
void make_update(const fs::path& root, int files, std::size_t size) {
    for (int i = 0; i < files; ++i) {
        const fs::path relative =
            fs::path("bin" + std::to_string(i / 50)) / ("module" + std::to_string(i) + ".dll");
        if (i % 3 != 0) write_bytes(root / "install" / relative, size, 'o');
        write_bytes(root / "package" / relative, size, 'n');
    }
    write_bytes(root / "install/release.json", 32, 'o');
    write_bytes(root / "package/release.json", 32, 'n');
}

bool sync_file_system(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return false;
    const bool ok = ::syncfs(fd) == 0;
    ::close(fd);
    return ok;
}

double run_once(const fs::path& work, int files, std::size_t size, const Durability& durability) {
    fs::remove_all(work);
    make_update(work, files, size);
    ::sync();  // the set-up's writes are not the update's cost
    const auto start = std::chrono::steady_clock::now();
    const TransactionResult result = apply_update_transaction(
        work / "package", work / "install", work / "install/updates/backup_1", copy_file_with_retry,
        ensure_no_reparse_point, durability);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    if (!result.committed) {
        std::fprintf(stderr, "update failed: %s\n", result.error.c_str());
        std::exit(1);
    }
    return elapsed.count();
}

}  // namespace

int main(int argc, char** argv) {
    const int files = argc > 1 ? std::atoi(argv[1]) : 2000;
    const std::size_t size = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 4096;
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 3;
    const fs::path work = fs::absolute(argc > 4 ? argv[4] : "transaction_bench.tmp");

    const auto accept = [](const fs::path&) { return true; };
    const Durability none{accept, accept, [](const fs::path& from, const fs::path& to) {
                              return ::rename(from.c_str(), to.c_str()) == 0;
                          }};
    const Durability syncfs_before_status{
        accept, accept, [&work](const fs::path& from, const fs::path& to) {
            return sync_file_system(work) && platform::replace_file(from, to);
        }};
    struct Variant {
        const char* name;
        const Durability* durability;
        std::vector<double> seconds;
    };
    Variant variants[] = {{"no flushes", &none, {}},
                          {"fsync per file (shipped)", &system_durability(), {}},
                          {"syncfs before each status", &syncfs_before_status, {}}};
    for (int round = 0; round < rounds; ++round) {
        for (Variant& variant : variants) {
            variant.seconds.push_back(run_once(work, files, size, *variant.durability));
        }
    }
    fs::remove_all(work);

    std::printf("%d files of %zu bytes (+ release.json), %d rounds, median seconds\n", files, size,
                rounds);
    double baseline = 0;
    for (Variant& variant : variants) {
        std::sort(variant.seconds.begin(), variant.seconds.end());
        const double median = variant.seconds[variant.seconds.size() / 2];
        if (baseline == 0) baseline = median;
        std::printf("%-28s %8.3f s  ratio %.2f\n", variant.name, median, median / baseline);
    }
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    std::printf("peak resident memory %.1f MiB\n", static_cast<double>(usage.ru_maxrss) / 1024.0);
}
