// One window per station folder, and what the program keeps when it ends.
#include "window_fixture.h"

#include "kestrow/app/single_copy.h"
#include "kestrow/app/station_app.h"
#include "kestrow/config/private_profile.h"
#include "tests/kestrow/config/disk_full.h"

#include <fstream>
#include <iterator>

namespace kestrow::app::testing {
namespace {

class StationAppTest : public WindowFixture {
protected:
    std::string BurnIni(const std::string& section, const std::string& key) {
        return config::ReadProfileString(Path("burn.ini"), section, key);
    }
    std::string ReadAll(const std::string& name) {
        std::ifstream in(Path(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
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
    EXPECT_TRUE(SaveStationAtExit(config_, language_, "config.txt").empty());
    EXPECT_EQ(BurnIni("Open", "Open"), "N");
    EXPECT_EQ(BurnIni("Config", "File Name"), "config.txt");
    EXPECT_EQ(BurnIni("Lang", "Lang"), language_.CurrentLanguageName());
    config::BurnConfig reread;
    ASSERT_EQ(reread.Load("config.txt"), 1);
    EXPECT_EQ(reread.uart_baud, 921600);
    EXPECT_TRUE(std::filesystem::exists(dir_ / "Lang" / (language_.CurrentLanguageName() + ".txt")));
}

// On a station folder that has run full every exit-time write fails, and each
// failure comes back to be shown rather than being lost without a word.
TEST_F(StationAppTest, EveryFailedExitWriteIsReportedAndShown) {
    config_.cmdline_enable = 1;
    config_.cmdline_addr = 0x82000000;  // differs from the sample boot loader's block
    std::filesystem::remove_all(dir_ / "Lang");
    const std::string configBefore = ReadAll("config.txt"), bootBefore = ReadAll("u-boot.bin");
    std::vector<SaveFailure> failures;
    {
        config::testing::DiskFullAfter full(0);
        failures = SaveStationAtExit(config_, language_, "config.txt");
    }
    std::vector<std::string> files;
    for (const SaveFailure& f : failures) {
        files.push_back(f.file);
        EXPECT_FALSE(f.reason.empty()) << f.file;
    }
    EXPECT_EQ(files, (std::vector<std::string>{Path("burn.ini"), Path("config.txt"), Path("u-boot.bin"),
                                               "Lang/English.txt"}));
    EXPECT_EQ(ReadAll("config.txt"), configBefore);
    EXPECT_EQ(ReadAll("u-boot.bin"), bootBefore);

    ShowSaveFailures(prompter_, language_, failures);
    ASSERT_EQ(prompter_.shown.size(), 4u);
    EXPECT_TRUE(prompter_.shown[1].text.startsWith(QString::fromStdString("Failed to save " + Path("config.txt") + "\n")));
    EXPECT_EQ(prompter_.shown[1].icon, config::MessageIcon::Error);
}

// A language whose file is refused at start-up is shown as refused, and the
// exit keeps it as the operator's choice instead of writing English.
TEST_F(StationAppTest, RefusedLanguageIsShownAndStaysTheRememberedChoice) {
    std::filesystem::create_directories(dir_ / "Lang");
    std::ofstream(dir_ / "Lang" / "Deutsch.txt", std::ios::binary) << config::FormatLanguageFile({"nur eins"});
    language_.SetLanguage("Deutsch");
    ShowLanguageProblem(prompter_, language_);
    ASSERT_EQ(prompter_.shown.size(), 1u);
    EXPECT_TRUE(prompter_.shown[0].text.startsWith("The language cannot be loaded: language file "));
    EXPECT_TRUE(prompter_.shown[0].text.endsWith("holds 1 of 379 entries"));
    EXPECT_TRUE(SaveStationAtExit(config_, language_, "config.txt").empty());
    EXPECT_EQ(BurnIni("Lang", "Lang"), "Deutsch");
}

}  // namespace
}  // namespace kestrow::app::testing
