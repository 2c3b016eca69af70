#include "support/update_log.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "test_support.h"

namespace fs = std::filesystem;

namespace {

// Sets LOCALAPPDATA for one test and restores it afterwards.
class LocalAppData {
public:
    explicit LocalAppData(const fs::path* value) {
        if (const char* old = std::getenv("LOCALAPPDATA")) saved_ = old, had_ = true;
        if (value != nullptr) {
            set(value->string());
        } else {
            unset();
        }
    }
    ~LocalAppData() {
        if (had_) {
            set(saved_);
        } else {
            unset();
        }
    }

private:
    static void set(const std::string& v) {
        const std::string assignment = "LOCALAPPDATA=" + v;
        static std::string keep;
        keep = assignment;
        ::putenv(keep.data());
    }
    static void unset() {
        static std::string keep = "LOCALAPPDATA=";
        ::putenv(keep.data());
    }
    std::string saved_;
    bool had_ = false;
};

}  // namespace

TEST(UpdateLog, AppendsUtf8LinesToBothCopies) {
    TempDir install, local;
    const fs::path local_path = local.path();
    LocalAppData env(&local_path);
    write_update_log(install.path(), L"升级成功，备份目录：" + (install / "updates" / "backup_1").wstring());
    write_update_log(install.path(), L"second");
    const std::string expected = "\xe5\x8d\x87\xe7\xba\xa7\xe6\x88\x90\xe5\x8a\x9f\xef\xbc\x8c\xe5\xa4\x87"
                                 "\xe4\xbb\xbd\xe7\x9b\xae\xe5\xbd\x95\xef\xbc\x9a" +
                                 (install / "updates" / "backup_1").string() + "\nsecond\n";
    EXPECT_EQ(read_file(install / "logs" / "updater.log"), expected);
    EXPECT_EQ(read_file(local / "Veltrion" / "updater.log"), expected);
}

TEST(UpdateLog, NeverTruncatesAndSkipsTheSecondCopyWithoutLocalAppData) {
    TempDir install;
    LocalAppData env(nullptr);
    write_file(install / "logs" / "updater.log", "earlier run\n");
    write_update_log(install.path(), L"");
    write_update_log(install.path(), L"line");
    EXPECT_EQ(read_file(install / "logs" / "updater.log"), "earlier run\n\nline\n");
}

TEST(UpdateLog, AnUnwritableCopyIsSkippedSilently) {
    TempDir install, local;
    const fs::path local_path = local.path();
    LocalAppData env(&local_path);
    // A file where the logs directory should be makes the first copy fail.
    write_file(install / "logs", "not a directory");
    EXPECT_NO_THROW(write_update_log(install.path(), L"kept"));
    EXPECT_EQ(read_file(local / "Veltrion" / "updater.log"), "kept\n");
}
