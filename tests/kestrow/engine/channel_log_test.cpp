#include "engine_fakes.h"
#include "kestrow/engine/channel_log.h"
#include "kestrow/engine/log_cleanup.h"

#include <sys/stat.h>

#include <cstring>

#include <utime.h>

namespace kestrow::engine {
namespace {

using testing::StationFolderFixture;

class ChannelLogTest : public StationFolderFixture {};

TEST_F(ChannelLogTest, FlagsChooseTheDateAndTimePrefixes) {
    struct Case {
        unsigned flags;
        const char* line;
    } cases[] = {
        {0, "text\n"},
        {kLogTime, "[09:26:53]text\n"},
        {kLogDate, "Date: 2026-3-14 text\n"},
        {kLogTime | kLogDate, "Date: 2026-3-14 [09:26:53]text\n"},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(Path("log/a.txt"));
        {
            ChannelLog log("log/a.txt");
            ASSERT_TRUE(log.IsOpen());
            EXPECT_EQ(log.Write(c.flags, "%s\n", "text"), static_cast<int>(std::strlen(c.line)));
        }
        std::string text = ReadFile("log/a.txt");
        EXPECT_EQ(text.substr(0, std::strlen(c.line)), c.line) << c.flags;
    }
}

TEST_F(ChannelLogTest, AppendsToExistingContentAndEndsWithTheClosingLine) {
    WriteFile("log/a.txt", "old\n");
    ChannelLog first("log/a.txt");
    first.Write(0, "one\n");
    {
        ChannelLog step("log/a.txt");  // a step's own instance on the same file
        step.Write(0, "two\n");
    }
    first.Write(0, "three\n");
    EXPECT_EQ(first.Close(), 1);
    EXPECT_EQ(first.Close(), 0);
    EXPECT_EQ(ReadFile("log/a.txt"),
              "old\none\ntwo\n[09:26:53]close file\r\n\r\n\r\n\r\nthree\n[09:26:53]close file\r\n\r\n\r\n\r\n");
}

TEST_F(ChannelLogTest, LongLinesAreCutTo300Bytes) {
    ChannelLog log("log/a.txt");
    std::string longText(400, 'x');
    EXPECT_EQ(log.Write(kLogTime, "%s", longText.c_str()), 300);
    log.Close();
    std::string text = ReadFile("log/a.txt");
    EXPECT_EQ(text.substr(0, 300), "[09:26:53]" + std::string(290, 'x'));
}

TEST_F(ChannelLogTest, AnUnopenableLogSkipsEveryWrite) {
    ChannelLog log("missing-folder/a.txt");
    EXPECT_FALSE(log.IsOpen());
    EXPECT_EQ(log.Write(kLogTime, "lost\n"), 0);
    EXPECT_EQ(log.Close(), 0);
    EXPECT_FALSE(std::filesystem::exists(Path("missing-folder")));
}

TEST_F(ChannelLogTest, DeleteIfLargerKeepsFilesAtTheLimit) {
    WriteFile("log/frm_log.txt", std::string(100, 'a'));
    EXPECT_FALSE(ChannelLog::DeleteIfLarger(kMainLogName, 100));
    EXPECT_TRUE(std::filesystem::exists(Path(kMainLogName)));
    EXPECT_TRUE(ChannelLog::DeleteIfLarger(kMainLogName, 99));
    EXPECT_FALSE(std::filesystem::exists(Path(kMainLogName)));
    EXPECT_FALSE(ChannelLog::DeleteIfLarger(kMainLogName, 0));
}

TEST_F(ChannelLogTest, ChannelLogNameCarriesChannelAndDate) {
    EXPECT_EQ(ChannelLogName(3, FixedNow()), "log/ch[3]_log2026_03_14.txt");
    EXPECT_EQ(ChannelLogName(12, FixedNow()), "log/ch[12]_log2026_03_14.txt");
}

class LogCleanupTest : public StationFolderFixture {
protected:
    // A channel log whose last write (UTC) lies `days` before the fixed today.
    void MakeLog(const std::string& name, int days) {
        WriteFile("log/" + name, "x");
        std::tm day = FixedNow();
        day.tm_mday -= days;
        day.tm_hour = 12;
        std::time_t when = timegm(&day);
        utimbuf times{when, when};
        ASSERT_EQ(::utime(Path("log/" + name).c_str(), &times), 0);
    }
};

TEST_F(LogCleanupTest, DeletesLogsOlderThanSixDaysOrFromTheFuture) {
    struct Case {
        const char* name;
        int days;
        bool kept;
    } cases[] = {
        {"ch[1]_log2026_03_07.txt", 7, false}, {"ch[2]_log2026_03_08.txt", 6, true},
        {"ch[3]_log2026_03_14.txt", 0, true},  {"ch[4]_log2026_03_15.txt", -1, false},
        {"ch[12]_log2026_01_01.txt", 72, true},  // channels 10+ do not match the name rule
        {"frm_log.txt", 72, true},            {"notes.txt", 72, true},
    };
    for (const Case& c : cases) MakeLog(c.name, c.days);
    ChannelLog main("log/main.txt");
    CleanOldChannelLogs(Path("log"), main, FixedNow());
    main.Close();
    for (const Case& c : cases) EXPECT_EQ(std::filesystem::exists(Path(std::string("log/") + c.name)), c.kept) << c.name;
    std::string text = ReadFile("log/main.txt");
    EXPECT_NE(text.find(std::string(50, '-') + "\r\n[09:26:53]Clear history logfiles:\r\n"), std::string::npos);
    EXPECT_NE(text.find("<ch[1]_log2026_03_07.txt>\r\nlast modify time: 2026-3-7\r\ndelete...\r\n.\r\n"), std::string::npos);
    EXPECT_NE(text.find("<ch[2]_log2026_03_08.txt>\r\nlast modify time: 2026-3-8\r\n.\r\n"), std::string::npos);
    EXPECT_EQ(text.find("ch[12]"), std::string::npos);
    EXPECT_NE(text.find("[09:26:53]End!\r\n" + std::string(50, '-') + "\r\n"), std::string::npos);
}

TEST_F(LogCleanupTest, AFolderWithoutTextFilesWritesNothing) {
    ChannelLog main("main.txt");
    CleanOldChannelLogs(Path("log"), main, FixedNow());
    main.Close();
    EXPECT_EQ(ReadFile("main.txt"), "[09:26:53]close file\r\n\r\n\r\n\r\n");
}

TEST_F(LogCleanupTest, ReadOnlyOldLogsAreDeletedToo) {
    MakeLog("ch[5]_log2026_02_01.txt", 41);
    ::chmod(Path("log/ch[5]_log2026_02_01.txt").c_str(), 0444);
    ChannelLog main("main.txt");
    CleanOldChannelLogs(Path("log"), main, FixedNow());
    EXPECT_FALSE(std::filesystem::exists(Path("log/ch[5]_log2026_02_01.txt")));
}

}  // namespace
}  // namespace kestrow::engine
