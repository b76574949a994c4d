// The files the station writes for its own state (config.txt, burn.ini,
// password.cfg, language files, config_addr.txt) when the disk fills up in the
// middle of a write: the writer says it failed, the previous file is left
// exactly as it was and no temporary file stays behind.
#include "kestrow/config/address_pool.h"
#include "kestrow/config/burn_config.h"
#include "kestrow/config/language_table.h"
#include "kestrow/config/password_file.h"
#include "kestrow/config/private_profile.h"
#include "tests/kestrow/config/temp_folder.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace kestrow::config {
namespace {

namespace fs = std::filesystem;

// Writes past `bytes` fail as on a full disk (EFBIG instead of the signal).
class DiskFullAfter {
public:
    explicit DiskFullAfter(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        oldHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = saved_;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~DiskFullAfter() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, oldHandler_);
    }

private:
    rlimit saved_{};
    void (*oldHandler_)(int) = nullptr;
};

std::vector<std::string> FolderListing(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) names.push_back(entry.path().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(StateFileWrites, AFullDiskFailsTheWriteAndKeepsThePreviousFile) {
    testing::TempFolder folder;
    const std::string old = "previous content, byte for byte\r\n";
    struct Case {
        const char* file;  // relative to the folder; empty when the writer creates a new file only
        std::function<bool(const std::string& path)> write;
    };
    const std::string longValue(400, 'v');
    const Case cases[] = {
        {"config.txt",
         [](const std::string& path) {
             BurnConfig config;
             return config.Save(path) == 1;
         }},
        {"burn.ini", [&](const std::string& path) { return WriteProfileString(path, "Lang", "Lang", longValue); }},
        {"password.cfg", [](const std::string& path) { return SavePasswordFile(path, "new", "new"); }},
        {"config_addr.txt",
         [&](const std::string& path) {
             BurnConfig config;
             return config.WriteChannelAddress(path, kMacPoolPrefix, "N", longValue, 0);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        folder.Write(c.file, old);
        const std::vector<std::string> before = FolderListing(folder.Dir());
        bool written;
        {
            DiskFullAfter full(old.size() + 16);
            written = c.write(folder.Path(c.file));
        }
        EXPECT_FALSE(written);
        EXPECT_EQ(folder.Read(c.file), old);
        EXPECT_EQ(FolderListing(folder.Dir()), before);
        // With room again the same write goes through.
        EXPECT_TRUE(c.write(folder.Path(c.file)));
        EXPECT_NE(folder.Read(c.file), old);
    }
}

TEST(StateFileWrites, ALanguageFileCutShortByAFullDiskIsNotLeftBehind) {
    testing::TempFolder folder;
    LanguageTable table(folder.Dir());
    table.SetLanguage("English");
    fs::create_directories(folder.Path("Lang"));
    {
        DiskFullAfter full(100);
        EXPECT_FALSE(table.SaveCurrentLanguageFile());
    }
    EXPECT_NE(table.LastError(), "");
    EXPECT_TRUE(fs::is_empty(folder.Path("Lang")));
    // A later save writes the whole file, which then reads back complete.
    ASSERT_TRUE(table.SaveCurrentLanguageFile());
    std::vector<std::string> entries;
    std::string error;
    EXPECT_TRUE(ParseLanguageFile(folder.Path("Lang/English.txt"), entries, error)) << error;
}

}  // namespace
}  // namespace kestrow::config
