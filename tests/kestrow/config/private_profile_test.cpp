#include "kestrow/config/private_profile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace kestrow::config {
namespace {

class PrivateProfileTest : public ::testing::Test {
protected:
    std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                ("kw_profile_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::string path = (dir / "burn.ini").string();
    void SetUp() override { std::filesystem::create_directories(dir); }
    void TearDown() override { std::filesystem::remove_all(dir); }
    void Write(const std::string& text) { std::ofstream(path, std::ios::binary) << text; }
    std::string Read() {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
};

TEST_F(PrivateProfileTest, MissingFileReadsDefaultsAndFirstWriteCreatesIt) {
    EXPECT_FALSE(PrivateProfile::Load(path).Exists());
    EXPECT_EQ(ReadProfileString(path, "Lang", "Lang", "dflt"), "dflt");
    ASSERT_TRUE(WriteProfileString(path, "Config", "File Name", "config.txt"));
    EXPECT_EQ(Read(), "[Config]\r\nFile Name=config.txt\r\n");
}

TEST_F(PrivateProfileTest, LookupIgnoresCaseTrimsAndUnquotes) {
    Write("; comment\r\n[Freq]\r\n  DDR_Freq =  400, 533 \r\ncpu_freq=\"800\"\r\n[other]\r\nddr_freq=1\r\n");
    PrivateProfile p = PrivateProfile::Load(path);
    EXPECT_EQ(p.GetString("freq", "ddr_freq"), "400, 533");
    EXPECT_EQ(p.GetString("FREQ", "CPU_FREQ"), "800");
    EXPECT_EQ(p.GetString("freq", "missing", "x"), "x");
    EXPECT_EQ(p.GetInt("Freq", "cpu_freq", -1), 800);
    EXPECT_EQ(p.GetInt("Freq", "nothing", -1), -1);
    EXPECT_EQ(p.Keys("Freq"), (std::vector<std::string>{"DDR_Freq", "cpu_freq"}));
}

TEST_F(PrivateProfileTest, ValueIsCutToTheCallersBuffer) {
    Write("[s]\nk=abcdefgh\n");
    EXPECT_EQ(ReadProfileString(path, "s", "k", "", 5), "abcd");
}

TEST_F(PrivateProfileTest, WritesReplaceInsertAndDeleteKeepingOtherLines) {
    Write("[a]\r\nx=1\r\n\r\n[b]\r\ny=2\r\n");
    ASSERT_TRUE(WriteProfileString(path, "A", "X", "9"));
    ASSERT_TRUE(WriteProfileString(path, "a", "z", "3"));
    ASSERT_TRUE(WriteProfileString(path, "b", "y", std::nullopt));
    ASSERT_TRUE(WriteProfileString(path, "c", "w", ""));
    EXPECT_EQ(Read(), "[a]\r\nX=9\r\nz=3\r\n\r\n[b]\r\n[c]\r\nw=\r\n");
}

TEST_F(PrivateProfileTest, FailedSaveLeavesTheOldFile) {
    Write("[a]\r\nx=1\r\n");
    PrivateProfile p = PrivateProfile::Load(path);
    p.Set("a", "x", "2");
    EXPECT_FALSE(p.Save((dir / "no_such_dir" / "burn.ini").string()));
    EXPECT_EQ(Read(), "[a]\r\nx=1\r\n");
}

}  // namespace
}  // namespace kestrow::config
