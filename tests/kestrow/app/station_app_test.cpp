// One window per station folder, and what the program keeps when it ends.
#include "window_fixture.h"

#include "kestrow/app/single_copy.h"
#include "kestrow/app/station_app.h"
#include "kestrow/config/private_profile.h"

namespace kestrow::app::testing {
namespace {

class StationAppTest : public WindowFixture {
protected:
    std::string BurnIni(const std::string& section, const std::string& key) {
        return config::ReadProfileString(Path("burn.ini"), section, key);
    }
};

TEST_F(StationAppTest, SecondCopyWakesTheFirstInsteadOfStarting) {
    SingleCopy first(dir_.string());
    ASSERT_TRUE(first.Claim());
    EXPECT_EQ(BurnIni("Open", "Open"), "Y");
    EXPECT_EQ(BurnIni("Open", "Prop").size(), 10u);
    bool woken = false;
    QObject::connect(&first, &SingleCopy::activationRequested, [&] { woken = true; });

    SingleCopy second(dir_.string());
    EXPECT_FALSE(second.Claim());
    // The first copy answers from its event loop, which this thread runs below.
    std::thread asker([&] { EXPECT_TRUE(second.WakeRunningCopy()); });
    EXPECT_TRUE(ProcessUntil([&] { return woken; }));
    asker.join();
}

TEST_F(StationAppTest, CopyThatDiedLeavesAStaleMarkThatDoesNotBlock) {
    {
        SingleCopy crashed(dir_.string());
        ASSERT_TRUE(crashed.Claim());
    }  // the lock goes with the process; burn.ini still says "Y"
    EXPECT_EQ(BurnIni("Open", "Open"), "Y");
    SingleCopy next(dir_.string());
    EXPECT_TRUE(next.Claim());
}

// A station whose lock file cannot be written (a read-only folder; here the
// name is taken by a folder) still lets one window run, not two.
TEST_F(StationAppTest, LockThatCannotBeWrittenStillKeepsASecondCopyOut) {
    std::filesystem::create_directory(dir_ / kLockFile);
    SingleCopy first(dir_.string());
    ASSERT_TRUE(first.Claim());
    SingleCopy second(dir_.string());
    EXPECT_FALSE(second.Claim());
}

TEST_F(StationAppTest, ExitSavesLanguageMarkConfigurationFileAndLanguageFile) {
    language_.LoadLanguage(config::LanguageTable::kChinese);
    config_.uart_baud = 921600;
    SaveStationAtExit(config_, language_, "config.txt");
    EXPECT_EQ(BurnIni("Open", "Open"), "N");
    EXPECT_EQ(BurnIni("Config", "File Name"), "config.txt");
    EXPECT_EQ(BurnIni("Lang", "Lang"), language_.CurrentLanguageName());
    config::BurnConfig reread;
    ASSERT_EQ(reread.Load("config.txt"), 1);
    EXPECT_EQ(reread.uart_baud, 921600);
    EXPECT_TRUE(std::filesystem::exists(dir_ / "Lang" / (language_.CurrentLanguageName() + ".txt")));
}

}  // namespace
}  // namespace kestrow::app::testing
