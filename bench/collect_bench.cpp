// Time per file of the install set's collection, the phase that only reads,
// with the shipped path check, for destinations that are absent (nothing to
// compare), differ in size (the comparison stops at the sizes) or hold the
// same bytes (compared to the end, then left out); and, on the last tree, the
// time per file of each step the collection takes, to show where it goes, and
// of the two copies and flushes that leaving a file out saves.
// Portable: built for Linux and for Windows (run under Wine there).
// Usage: collect_bench [files] [bytes per file] [rounds] [directory]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "safety/protected_paths.h"
#include "transaction/install_set.h"

namespace fs = std::filesystem;

namespace {

void write_bytes(const fs::path& path, std::size_t size) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << std::string(size, 'n');
}

std::vector<fs::path> relative_paths(int files) {
    std::vector<fs::path> paths;
    for (int i = 0; i < files; ++i) {
        paths.push_back(fs::path("bin" + std::to_string(i / 50)) /
                        ("module" + std::to_string(i) + ".dll"));
    }
    return paths;
}

template <typename Step>
double median_seconds(int rounds, Step step) {
    std::vector<double> seconds;
    for (int round = 0; round < rounds; ++round) {
        const auto start = std::chrono::steady_clock::now();
        step();
        seconds.push_back(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(seconds.begin(), seconds.end());
    return seconds[seconds.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int files = argc > 1 ? std::atoi(argv[1]) : 2000;
    const std::size_t size = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 102400;
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 3;
    const fs::path work =
        fs::absolute(argc > 4 ? fs::path(argv[4]) : fs::temp_directory_path() / "collect_bench");
    const fs::path package = work / "stage/package", install = work / "install";
    const std::vector<fs::path> paths = relative_paths(files);

    fs::remove_all(work);
    for (const fs::path& relative : paths) write_bytes(package / relative, size);
    write_bytes(package / "release.json", 32);
    fs::create_directories(install);

    std::printf("%d files of %zu bytes, %d rounds, median microseconds per file\n", files, size,
                rounds);
    std::size_t installed = 0;
    const auto collect = [&] {
        installed = collect_install_set(package, install, install / "updates/backup_1",
                                        ensure_no_reparse_point)
                        .entries.size();
    };
    const std::pair<const char*, std::size_t> states[] = {
        {"destinations absent", 0}, {"sizes differ", size + 1}, {"same bytes", size}};
    for (const auto& [state, installed_size] : states) {
        if (installed_size != 0) {
            for (const fs::path& relative : paths) write_bytes(install / relative, installed_size);
        }
        const double seconds = median_seconds(rounds, collect);
        std::printf("collect_install_set, %-20s %9.1f us  (%zu to install)\n", state,
                    seconds * 1e6 / files, installed);
    }

    // The steps of one file, each over the whole tree of the last state.
    const fs::path source = fs::weakly_canonical(package), target = fs::weakly_canonical(install);
    const std::pair<const char*, std::function<void(const fs::path&)>> steps[] = {
        {"directory iteration", {}},
        {"path check, staged file",
         [&](const fs::path& r) { ensure_no_reparse_point(source / r); }},
        {"protected-path aliases", [&](const fs::path& r) { is_protected_destination(target, r); }},
        {"path check, destination",
         [&](const fs::path& r) { ensure_no_reparse_point(target / r); }},
        {"weakly_canonical", [&](const fs::path& r) { (void)fs::weakly_canonical(target / r); }},
        {"status", [&](const fs::path& r) { (void)fs::status(target / r); }},
        {"content comparison",
         [&](const fs::path& r) { platform::same_file_content(source / r, target / r); }},
        {"two copies and flushes",  // what a left-out file saves: its backup and its install
         [&](const fs::path& r) {
             const fs::path copy = work / "copies" / r;
             fs::create_directories(copy.parent_path());
             for (int i = 0; i < 2; ++i) {
                 platform::copy_file(source / r, copy);
                 platform::flush_file(copy);
             }
         }},
    };
    for (const auto& [name, step] : steps) {
        const double seconds = median_seconds(rounds, [&] {
            if (!step) {
                for (fs::recursive_directory_iterator it(source), end; it != end; ++it) {
                    (void)it->is_symlink(), (void)it->is_directory();
                }
                return;
            }
            for (const fs::path& relative : paths) step(relative);
        });
        std::printf("  step: %-24s %9.1f us\n", name, seconds * 1e6 / files);
    }
    fs::remove_all(work);
}
