#include "corvel/core/transfer_log.h"
#include "corvel/platform/os.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

namespace fs = std::filesystem;

namespace {

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class TransferLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        corvel::CloseTransferLog();
        folder_ = fs::temp_directory_path() / ("corvel-log-" + std::to_string(::getpid()));
        fs::create_directories(folder_);
        ::setenv("KESTROW_STATION", folder_.c_str(), 1);
    }
    void TearDown() override {
        corvel::CloseTransferLog();
        ::unsetenv("KESTROW_STATION");
        fs::remove_all(folder_);
    }
    fs::path folder_;
};

TEST_F(TransferLogTest, DailyFileInTheStationFolderWithHeaderAndStampedLines) {
    corvel::TransferLog("first\r\n");
    corvel::TransferLog("plain\r\n", 0);
    corvel::TransferLog("last\r\n", corvel::kLogClose);
    auto now = corvel::platform::Now();
    char name[64];
    std::snprintf(name, sizeof name, "_log%04d_%02d_%02d.txt", now.year, now.month, now.day);
    fs::path expected = folder_ / name;
    ASSERT_TRUE(fs::exists(expected)) << expected;
    EXPECT_EQ(corvel::TransferLogPath(), expected.string());

    std::string text = ReadFile(expected);
    std::regex layout(
        "\r\n\r\n=============Corvel Information =============\r\n"
        "Print Time: \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\r\n\r\n"
        "\\[\\d\\d:\\d\\d:\\d\\d\\]first\r\n"
        "plain\r\n"
        "\\[\\d\\d:\\d\\d:\\d\\d\\]last\r\nclose file\n");
    EXPECT_TRUE(std::regex_match(text, layout)) << text;
}

TEST_F(TransferLogTest, ReopeningAfterACloseWritesANewHeader) {
    corvel::TransferLog("one\r\n");
    corvel::CloseTransferLog();
    corvel::TransferLog("two\r\n");
    corvel::CloseTransferLog();
    std::string text = ReadFile(corvel::TransferLogPath());
    size_t first = text.find("Corvel Information");
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(text.find("Corvel Information", first + 1), std::string::npos);
    EXPECT_NE(text.find("]two\r\n"), std::string::npos);
}

TEST_F(TransferLogTest, WithoutTheVariableTheLogGoesNextToTheExecutable) {
    ::unsetenv("KESTROW_STATION");
    fs::path exe = fs::read_symlink("/proc/self/exe");
    EXPECT_EQ(corvel::platform::StationFolder(), exe.parent_path().string());
}

TEST(PortNames, ComNamesMapToSerialDevicesAndPathsStayAsTheyAre) {
    using corvel::platform::PortPath;
    EXPECT_EQ(PortPath("COM1"), "/dev/ttyS0");
    EXPECT_EQ(PortPath("COM12"), "/dev/ttyS11");
    EXPECT_EQ(PortPath("/dev/pts/4"), "/dev/pts/4");
    EXPECT_EQ(PortPath("COM0"), "COM0");
    EXPECT_EQ(PortPath("COMX"), "COMX");
}

}  // namespace
