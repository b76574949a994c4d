// The files the station writes for its own state (config.txt, burn.ini,
// password.cfg, language files, config_addr.txt) when the disk fills up in the
// middle of a write: the writer says it failed, the previous file is left
// exactly as it was and no temporary file stays behind.
#include "kestrow/config/address_pool.h"
#include "kestrow/config/burn_config.h"
#include "kestrow/config/language_table.h"
#include "kestrow/config/password_file.h"
#include "kestrow/config/private_profile.h"
#include "kestrow/config/ram_config.h"
#include "tests/kestrow/config/disk_full.h"
#include "tests/kestrow/config/message_recorder.h"
#include "tests/kestrow/config/temp_folder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace kestrow::config {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> FolderListing(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) names.push_back(entry.path().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Each state file with the call that writes it.
struct StateFileWriter {
    const char* file;  // relative to the folder
    std::function<bool(const std::string& path)> write;
};

std::vector<StateFileWriter> StateFileWriters() {
    static const std::string longValue(400, 'v');
    return {
        {"config.txt",
         [](const std::string& path) {
             BurnConfig config;
             return config.Save(path) == 1;
         }},
        {"burn.ini", [](const std::string& path) { return WriteProfileString(path, "Lang", "Lang", longValue); }},
        {"password.cfg", [](const std::string& path) { return SavePasswordFile(path, "new", "new"); }},
        {"config_addr.txt",
         [](const std::string& path) {
             BurnConfig config;
             return config.WriteChannelAddress(path, kMacPoolPrefix, "N", longValue, 0);
         }},
        {"ramconfig_ddr.txt",
         [](const std::string& path) {
             BurnConfig config;
             testing::MessageRecorder sink;
             RamConfigPorter porter;
             return porter.Export(path, 0, config, sink) == 1;
         }},
    };
}

TEST(StateFileWrites, AFullDiskFailsTheWriteAndKeepsThePreviousFile) {
    testing::TempFolder folder;
    const std::string old = "previous content, byte for byte\r\n";
    const std::vector<StateFileWriter> cases = StateFileWriters();
    for (const StateFileWriter& c : cases) {
        SCOPED_TRACE(c.file);
        folder.Write(c.file, old);
        const std::vector<std::string> before = FolderListing(folder.Dir());
        bool written;
        {
            testing::DiskFullAfter full(old.size() + 16);
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

// Every state file is replaced through a temporary of its own beside it: a
// link at its place is followed, the file keeps its mode, and a file another
// writer has under the old fixed temporary name is left alone.
TEST(StateFileWrites, LinksModesAndOtherWritersAreRespected) {
    testing::TempFolder folder;
    const mode_t oldMask = ::umask(022);
    for (const StateFileWriter& c : StateFileWriters()) {
        SCOPED_TRACE(c.file);
        const std::string real = std::string("real/") + c.file;
        folder.Write(real, "old");
        fs::permissions(folder.Path(real), fs::perms(0640));
        fs::create_symlink(real, folder.Path(c.file));
        folder.Write(std::string(c.file) + ".tmp", "another writer's file");
        ASSERT_TRUE(c.write(folder.Path(c.file)));
        EXPECT_TRUE(fs::is_symlink(folder.Path(c.file)));
        EXPECT_NE(folder.Read(real), "old");
        EXPECT_EQ(fs::status(folder.Path(real)).permissions(), fs::perms(0640));
        EXPECT_EQ(folder.Read(std::string(c.file) + ".tmp"), "another writer's file");
    }
    // A new password file is readable by its owner only; other new files as the umask allows.
    ASSERT_TRUE(SavePasswordFile(folder.Path("fresh.cfg"), "a", "b"));
    EXPECT_EQ(fs::status(folder.Path("fresh.cfg")).permissions(), fs::perms(0600));
    ASSERT_TRUE(WriteProfileString(folder.Path("fresh.ini"), "Lang", "Lang", "English"));
    EXPECT_EQ(fs::status(folder.Path("fresh.ini")).permissions(), fs::perms(0644));
    ::umask(oldMask);
}

TEST(StateFileWrites, ALanguageFileCutShortByAFullDiskIsNotLeftBehind) {
    testing::TempFolder folder;
    LanguageTable table(folder.Dir());
    table.SetLanguage("English");
    fs::create_directories(folder.Path("Lang"));
    {
        testing::DiskFullAfter full(100);
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
