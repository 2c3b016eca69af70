// What an update costs with and without leaving unchanged files out, and what
// making it durable costs. One generated update is applied with
// apply_update_transaction (real copy, real path check) several ways,
// interleaved round by round, each on a fresh tree. For each fraction F of
// changed files (every third changed file is new, the others differ):
//   every file, F changed  the unchanged files are one byte longer in the
//                          installation, so all are installed and the
//                          comparison stops at the sizes: the work of an
//                          update that installs every file of the package
//   only changed, F        the unchanged files hold the package's bytes and
//                          are left out
// with the shipped flushes (fsync of every written file and directory), every
// flush delayed by delay_ms first (a model of a disk whose cache flush is
// slow). Without a delay also, for the whole package: no flushes at all, and
// one syncfs of the file system before each status write.
// Usage: transaction_bench [files] [bytes per file] [rounds] [directory]
//                          [fractions, default 1,0.1,0] [delay_ms, default 0]
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
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "transaction/apply.h"

namespace fs = std::filesystem;

namespace {

void write_bytes(const fs::path& path, std::size_t size, char fill) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << std::string(size, fill);
}

// A package of `files` files, 50 per directory, and an installation holding
// each of them: a `changed` fraction (spread evenly) differ, every third of
// these being absent instead; the others hold the same bytes, or one byte
// more when `all_differ`.
void make_update(const fs::path& root, int files, std::size_t size, double changed,
                 bool all_differ) {
    for (int i = 0, picked = 0; i < files; ++i) {
        const fs::path relative =
            fs::path("bin" + std::to_string(i / 50)) / ("module" + std::to_string(i) + ".dll");
        write_bytes(root / "package" / relative, size, 'n');
        const bool differs = static_cast<int>((i + 1) * changed) != static_cast<int>(i * changed);
        if (differs && picked++ % 3 == 0) continue;
        write_bytes(root / "install" / relative, size + (all_differ && !differs),
                    differs ? 'o' : 'n');
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

std::uintmax_t tree_bytes(const fs::path& root) {
    std::uintmax_t total = 0;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file()) total += entry.file_size();
    }
    return total;
}

struct Counts {
    std::uintmax_t bytes_written = 0;  // copies, journal and status texts
    long flushes = 0;                  // flush_file, flush_directory and replace_file calls
    std::uintmax_t backup_bytes = 0;   // the backup directory afterwards
    long copies = 0;
};

struct Variant {
    std::string name;
    double changed;
    bool all_differ;
    const Durability* durability;
    std::vector<double> seconds;
    Counts counts;
};

double run_once(const fs::path& work, int files, std::size_t size, Variant& variant, int delay_ms) {
    fs::remove_all(work);
    make_update(work, files, size, variant.changed, variant.all_differ);
    ::sync();  // the set-up's writes are not the update's cost
    Counts counts;
    const auto delay = [delay_ms, &counts] {
        ++counts.flushes;
        if (delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
    };
    const Durability& inner = *variant.durability;
    const Durability durability{[&](const fs::path& file) {
                                    delay();
                                    return inner.flush_file(file);
                                },
                                [&](const fs::path& directory) {
                                    delay();
                                    return inner.flush_directory(directory);
                                },
                                [&](const fs::path& from, const fs::path& to) {
                                    delay();
                                    std::error_code ec;
                                    counts.bytes_written += fs::file_size(from, ec);
                                    return inner.replace_file(from, to);
                                }};
    const CopyOperation copy = [&counts](const fs::path& source, const fs::path& destination) {
        copy_file_with_retry(source, destination);
        counts.bytes_written += fs::file_size(destination);
        ++counts.copies;
    };
    const fs::path backup = work / "install/updates/backup_1";
    const auto start = std::chrono::steady_clock::now();
    const TransactionResult result = apply_update_transaction(
        work / "package", work / "install", backup, copy, ensure_no_reparse_point, durability);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    if (!result.committed) {
        std::fprintf(stderr, "update failed: %s\n", result.error.c_str());
        std::exit(1);
    }
    counts.bytes_written += fs::file_size(backup / "files.tsv");
    counts.backup_bytes = tree_bytes(backup);
    variant.counts = counts;
    return elapsed.count();
}

}  // namespace

int main(int argc, char** argv) {
    const int files = argc > 1 ? std::atoi(argv[1]) : 2000;
    const std::size_t size = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 4096;
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 3;
    const fs::path work = fs::absolute(argc > 4 ? argv[4] : "transaction_bench.tmp");
    std::vector<double> fractions;
    for (const char* text = argc > 5 ? argv[5] : "1,0.1,0"; *text;) {
        char* end = nullptr;
        fractions.push_back(std::strtod(text, &end));
        text = *end == ',' ? end + 1 : end;
        if (end == text && *text) break;
    }
    const int delay_ms = argc > 6 ? std::atoi(argv[6]) : 0;

    const auto accept = [](const fs::path&) { return true; };
    const Durability none{accept, accept, [](const fs::path& from, const fs::path& to) {
                              return ::rename(from.c_str(), to.c_str()) == 0;
                          }};
    const Durability syncfs_before_status{
        accept, accept, [&work](const fs::path& from, const fs::path& to) {
            return sync_file_system(work) && platform::replace_file(from, to);
        }};
    const Durability& shipped = system_durability();
    std::vector<Variant> variants;
    for (const double f : fractions) {
        const std::string percent = std::to_string(static_cast<int>(f * 100 + 0.5)) + "%";
        variants.push_back({"every file, " + percent + " changed", f, true, &shipped, {}, {}});
        variants.push_back({"only changed, " + percent, f, false, &shipped, {}, {}});
    }
    if (delay_ms == 0) {
        variants.push_back({"every file, no flushes", 1, true, &none, {}, {}});
        variants.push_back(
            {"every file, syncfs per status", 1, true, &syncfs_before_status, {}, {}});
    }
    for (int round = 0; round < rounds; ++round) {
        for (Variant& variant : variants) {
            variant.seconds.push_back(run_once(work, files, size, variant, delay_ms));
        }
    }
    fs::remove_all(work);

    std::printf(
        "%d files of %zu bytes (+ release.json), %d rounds, flush delay %d ms; median "
        "seconds, ratio to the line above (every file installed: to the first line)\n",
        files, size, rounds, delay_ms);
    std::printf("%-30s %9s %6s %7s %10s %8s %10s\n", "variant", "seconds", "ratio", "copies",
                "MB written", "flushes", "backup MB");
    double first = 0, previous = 0;
    for (Variant& variant : variants) {
        std::sort(variant.seconds.begin(), variant.seconds.end());
        const double median = variant.seconds[variant.seconds.size() / 2];
        if (first == 0) first = median;
        const bool paired = variant.name.rfind("only changed", 0) == 0;
        std::printf("%-30s %9.3f %6.2f %7ld %10.1f %8ld %10.1f\n", variant.name.c_str(), median,
                    median / (paired ? previous : first), variant.counts.copies,
                    static_cast<double>(variant.counts.bytes_written) / 1e6, variant.counts.flushes,
                    static_cast<double>(variant.counts.backup_bytes) / 1e6);
        previous = median;
    }
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    std::printf("peak resident memory %.1f MiB\n", static_cast<double>(usage.ru_maxrss) / 1024.0);
}
