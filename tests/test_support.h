// Helpers shared by the unit tests: real temporary directories and files.
#pragma once

#include <filesystem>
#include <string>

// A fresh directory below the system's temporary directory, removed with
// everything in it when the object goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::filesystem::path& relative) const {
        return path_ / relative;
    }

private:
    std::filesystem::path path_;
};

// Writes bytes to path, creating its parent directories.
void write_file(const std::filesystem::path& path, const std::string& bytes);

// Copies source over destination as the updater's own copy does; throws
// filesystem_error on failure.
void copy_over(const std::filesystem::path& source, const std::filesystem::path& destination);

// The whole content of a file; empty when it cannot be read.
std::string read_file(const std::filesystem::path& path);

// The test child program built beside the test binary (tests/platform/test_child.cpp).
std::filesystem::path test_child_program();

// Another process holding an existing file open without sharing it (share
// mode 0) for the given milliseconds from construction on; Windows only, as
// POSIX has no sharing modes. Throws when the child cannot hold the file. The
// destructor ends the child if it still runs.
class HeldFile {
public:
    HeldFile(const std::filesystem::path& file, unsigned milliseconds);
    ~HeldFile();
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;

private:
    void end();
    long long process_ = -1;
};
