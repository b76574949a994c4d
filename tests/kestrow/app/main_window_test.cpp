// The main window over a scripted board link: rows, attach, a whole burn to
// "Completion", a failure, every status of the table, the language switch, the
// close question, Enter, the baud list and the port buttons.
#include "window_fixture.h"
#include "tests/kestrow/engine/expected_statuses.h"

#include "kestrow/app/channel_model.h"
#include "kestrow/engine/port_watcher.h"
#include "kestrow/engine/progress.h"
#include "kestrow/engine/status_codes.h"

#include <QApplication>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QTimer>
#include <QTableView>
#include <QMessageBox>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>
#include <QDialog>
#include <QApplication>
#include <QAction>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace kestrow::app::testing {
namespace {

using engine::StatusEvent;

class MainWindowTest : public WindowFixture {
protected:
    QString Cell(MainWindow& w, int row, int column) {
        return w.Model().data(w.Model().index(row, column), Qt::DisplayRole).toString();
    }
    QColor Bar(MainWindow& w, int row) {
        return w.Model().data(w.Model().index(row, kColumnProgress), kBarColourRole).value<QColor>();
    }
    int Percent(MainWindow& w, int row) {
        return w.Model().data(w.Model().index(row, kColumnProgress), kPercentRole).toInt();
    }
    QString English(int index) { return QString::fromUtf8(config::BuiltinEnglishTexts()[index].data()); }
};

// Four channels: each row watches its own port-name entry.
TEST_F(MainWindowTest, FourChannelsShowDevicesEachWithItsPortAndTheListLayout) {
    config_.device_channel = 4;
    for (int row = 0; row < 4; ++row) config_.uart_com[row] = "/dev/ttyUSB" + std::to_string(row + 3);
    auto w = OpenWindow();
    ASSERT_EQ(w->Model().rowCount(), 4);
    for (int row = 0; row < 4; ++row) {
        EXPECT_EQ(Cell(*w, row, kColumnItem), QString("Device%1").arg(row));
        EXPECT_EQ(Cell(*w, row, kColumnPort), QString("/dev/ttyUSB%1").arg(row + 3));
        EXPECT_EQ(Cell(*w, row, kColumnTimer), "0:00:00");
    }
    QStringList headers;
    for (int c = 0; c < kColumnCount; ++c) {
        headers << w->Model().headerData(c, Qt::Horizontal, Qt::DisplayRole).toString();
        if (c != kColumnStatus && c != kColumnPort) {
            EXPECT_EQ(w->ChannelList()->columnWidth(c), kColumnWidth[c]);
        }
    }
    EXPECT_EQ(headers, QStringList({"Item", "Result", "COM", "Progress", "Status Description", "Timer"}));
    EXPECT_EQ(w->ChannelList()->verticalHeader()->defaultSectionSize(), 44);
    EXPECT_EQ(w->size(), QSize(800, 600));
    EXPECT_EQ(w->windowTitle(), "Morvo_Uart_Kestrow_V1.1.26");
    EXPECT_EQ(w->CheckInfo()->text(), "Part Number = PN05, CPU_CLK = 800MHz, DDR2_CLK = 533MHz");
}

// Gang mode: four rows, each attached and burning its own board at once.
TEST_F(MainWindowTest, FourRowsBurnAtOnce) {
    config_.device_channel = 4;
    for (int row = 0; row < 4; ++row) config_.uart_com[row] = "/dev/pts/" + std::to_string(20 + row);
    auto w = OpenWindow();
    w->show();
    std::mutex mutex;
    std::vector<std::thread> workers;
    std::atomic<bool> release{false};
    link_.OnCall("StartChannel", [&](unsigned channel) {
        std::lock_guard lock(mutex);
        workers.emplace_back([&, channel] { w->Engine().BurnChannel(channel); });
    });
    const auto total = static_cast<unsigned>(w->State().TransferTotal());
    link_.OnCall("DownloadProducer", [&](unsigned ch) { engine::BurnEngine::ProgressEntry(ch, (total * ch + 4) / 5); });
    link_.OnCall("DownloadBoot", [&](unsigned) {
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    });
    for (unsigned channel = 1; channel <= 4; ++channel)
        ASSERT_TRUE(w->GetStation().Watcher(channel).Attach(config_.uart_com[channel - 1], channel - 1));
    ASSERT_TRUE(ProcessUntil([&] {
        for (int row = 0; row < 4; ++row)
            if (Cell(*w, row, kColumnStatus) != English(227) || Percent(*w, row) != 20 * (row + 1)) return false;
        return true;
    }));
    for (int row = 0; row < 4; ++row) EXPECT_EQ(Cell(*w, row, kColumnPort), QString("/dev/pts/%1").arg(20 + row));
    EXPECT_EQ(w->State().WorkNumber(), 4);
    EXPECT_FALSE(w->CloseButton()->isVisibleTo(w.get()));
    SaveScreenshot(w.get(), "main_window_four_rows_burning");

    release = true;
    ASSERT_TRUE(ProcessUntil([&] {
        for (int row = 0; row < 4; ++row)
            if (Cell(*w, row, kColumnStatus) != "Completion") return false;
        return true;
    }));
    for (std::thread& worker : workers) worker.join();
    EXPECT_EQ(w->State().WorkNumber(), 0);
    EXPECT_TRUE(ProcessUntil([&] { return w->Bar()->isEnabled() && w->CloseButton()->isVisibleTo(w.get()); }));
    std::vector<unsigned> started;
    for (const engine::testing::LinkCall& c : link_.CallsNamed("StartChannel")) started.push_back(c.channel);
    std::sort(started.begin(), started.end());
    EXPECT_EQ(started, (std::vector<unsigned>{1, 2, 3, 4}));  // each row's board alone
    SaveScreenshot(w.get(), "main_window_four_rows_done");
}

// Gang mode: the search gives every row a port, the configured ones first and
// in their rows; choosing a port in the list assigns it to the selected row,
// and a row whose port it was takes the selected row's.
TEST_F(MainWindowTest, SearchFillsTheRowsAndTheOperatorAssignsPortsToRows) {
    config_.device_channel = 3;
    config_.uart_com = {};
    config_.uart_com[1] = "/dev/serial/by-id/usb-Line_Adapter_2-if00-port0";  // row 1's, not plugged in now
    ports_.Add("/dev/ttyUSB0", engine::PortState::Usable, "/dev/serial/by-id/usb-Line_Adapter_0-if00-port0")
        .Add("/dev/ttyUSB1")
        .Add("/dev/ttyUSB2");
    link_.SetResult("ChooseBaud", engine::kLinkNoPrompt);
    auto w = OpenWindow();
    w->StartPortThreads();
    ASSERT_TRUE(ProcessUntil([&] { return w->PortSearchFinished(); }));
    EXPECT_EQ(std::vector<std::string>(config_.uart_com.begin(), config_.uart_com.begin() + 4),
              (std::vector<std::string>{"/dev/ttyUSB0", "/dev/serial/by-id/usb-Line_Adapter_2-if00-port0",
                                        "/dev/ttyUSB1", "/dev/ttyUSB2"}));
    EXPECT_EQ(Cell(*w, 2, kColumnPort), "/dev/ttyUSB1");
    ASSERT_TRUE(ProcessUntil([&] {
        std::set<std::string> watched;
        for (const auto& c : link_.CallsNamed("StartRead")) watched.insert(c.text);
        return watched.size() == 3;
    }));

    w->ChannelList()->setCurrentIndex(w->Model().index(2, 0));
    EXPECT_EQ(w->PortList()->currentText(), "/dev/ttyUSB1");
    const int usb0 = w->PortList()->findText("/dev/ttyUSB0");
    ASSERT_GE(usb0, 0);
    w->PortList()->setCurrentIndex(usb0);
    emit w->PortList()->activated(usb0);
    EXPECT_EQ(config_.uart_com[2], "/dev/ttyUSB0");
    EXPECT_EQ(config_.uart_com[0], "/dev/ttyUSB1");  // no two rows watch one port
    EXPECT_EQ(Cell(*w, 0, kColumnPort), "/dev/ttyUSB1");
    EXPECT_EQ(w->GetStation().Ports(),
              (std::vector<std::string>{"/dev/ttyUSB1", "/dev/serial/by-id/usb-Line_Adapter_2-if00-port0",
                                        "/dev/ttyUSB0"}));

    config_.Save("config.txt");
    config::BurnConfig saved;
    ASSERT_EQ(saved.Load("config.txt"), 1);
    EXPECT_EQ(saved.uart_com, config_.uart_com);  // every row's port is kept
}

TEST_F(MainWindowTest, TitleCarriesTheModeSuffixes) {
    auto w = OpenWindow();
    w->State().spi_nor_read_back = true;
    w->State().erase_mode = true;
    EXPECT_EQ(WindowTitle(language_, w->State()), "Morvo_Uart_Kestrow_V1.1.26upload spi nor flashErase mode");
}

TEST_F(MainWindowTest, AttachedBoardBurnsToCompletionWithTheTimerCounting) {
    config_.device_channel = 1;
    config_.uart_com[0] = "/dev/pts/7";
    auto w = OpenWindow();
    w->show();
    const std::uint64_t total = w->State().TransferTotal();
    ASSERT_GT(total, 0u);

    std::thread worker;
    std::atomic<bool> release{false};
    link_.OnCall("StartChannel", [&](unsigned) { worker = std::thread([&] { w->Engine().BurnChannel(1); }); });
    link_.OnCall("DownloadProducer",
                 [&](unsigned ch) { engine::BurnEngine::ProgressEntry(ch, static_cast<unsigned>(total / 2)); });
    link_.OnCall("DownloadBoot", [&](unsigned) {
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    });

    // What the attach thread does when the board answers.
    ASSERT_TRUE(w->GetStation().Watcher(1).Attach("/dev/pts/7", 0));
    ASSERT_TRUE(ProcessUntil([&] { return !link_.CallsNamed("DownloadBoot").empty(); }));
    ASSERT_TRUE(ProcessUntil([&] { return Cell(*w, 0, kColumnStatus) == English(227) && Percent(*w, 0) == 50; }));
    EXPECT_FALSE(w->Bar()->isEnabled());
    EXPECT_FALSE(w->CloseButton()->isVisibleTo(w.get()));
    EXPECT_EQ(Bar(*w, 0), QColor(0, 0, 255));  // blue since Ready
    EXPECT_TRUE(ProcessUntil([&] { return Cell(*w, 0, kColumnTimer) != "0:00:00"; }));
    SaveScreenshot(w.get(), "main_window_mid_burn");

    release = true;
    worker.join();
    ASSERT_TRUE(ProcessUntil([&] { return Cell(*w, 0, kColumnStatus) == "Completion"; }));
    EXPECT_EQ(Percent(*w, 0), 100);
    EXPECT_EQ(Bar(*w, 0), QColor(0, 200, 0));
    EXPECT_TRUE(ProcessUntil([&] { return w->Bar()->isEnabled() && w->CloseButton()->isVisibleTo(w.get()); }));
    EXPECT_FALSE(w->State().AutoStart());
    EXPECT_EQ(link_.CallsNamed("DetachUart").back().text, "/dev/pts/7");
    SaveScreenshot(w.get(), "main_window_success");
}

TEST_F(MainWindowTest, FailingBoardTurnsRedAndGivesTheCloseButtonBack) {
    config_.device_channel = 1;
    config_.uart_com[0] = "/dev/pts/7";
    auto w = OpenWindow();
    w->show();
    std::thread worker;
    link_.OnCall("StartChannel", [&](unsigned) { worker = std::thread([&] { w->Engine().BurnChannel(1); }); });
    link_.SetResult("DownloadProducer", 0);

    ASSERT_TRUE(w->GetStation().Watcher(1).Attach("/dev/pts/7", 0));
    // The status, and beneath it the cause the channel log gives.
    ASSERT_TRUE(ProcessUntil(
        [&] { return Cell(*w, 0, kColumnStatus) == "Failed to download producer\ndownload producer fail."; }));
    worker.join();
    EXPECT_EQ(Bar(*w, 0), QColor(255, 0, 0));
    EXPECT_TRUE(Cell(*w, 0, kColumnResult).startsWith("FAIL  ")) << Cell(*w, 0, kColumnResult).toStdString();
    EXPECT_TRUE(Cell(*w, 0, kColumnResult).endsWith("\nreplace the board"));
    EXPECT_EQ(w->Model().data(w->Model().index(0, kColumnResult), kResultColourRole).value<QColor>(),
              QColor(kFailColour));
    EXPECT_TRUE(ProcessUntil([&] { return w->Bar()->isEnabled() && w->CloseButton()->isVisibleTo(w.get()); }));
    EXPECT_FALSE(w->State().AutoStart());
    EXPECT_EQ(w->State().WorkNumber(), 0);
    EXPECT_EQ(link_.CallsNamed("DetachUart").back().text, "/dev/pts/7");
    SaveScreenshot(w.get(), "main_window_failure");
}

TEST_F(MainWindowTest, EveryPostedStatusShowsItsTextAndColour) {
    config_.device_channel = 1;
    for (int chipMode : {config::kModeSpiNor, config::kModeSpiNand}) {
        config_.chip_mode = chipMode;
        auto w = OpenWindow();
        for (const engine::testing::ExpectedStatus& e : engine::testing::kExpectedStatuses) {
            if (e.kind == engine::StatusKind::Command) continue;
            SCOPED_TRACE(std::to_string(e.code) + " in chip mode " + std::to_string(chipMode));
            w->Post(engine::RefreshListEvent());  // fresh rows
            w->Post(StatusEvent(1, e.code));
            ProcessUntil([] { return false; }, 30);
            EXPECT_EQ(Cell(*w, 0, kColumnStatus).toStdString(),
                      chipMode == config::kModeSpiNor ? e.nor_text : e.nand_text);
            QColor expected = e.kind == engine::StatusKind::Failure   ? QColor(255, 0, 0)
                              : e.kind == engine::StatusKind::Success ? QColor(0, 200, 0)
                                                                       : QColor(0, 0, 255);
            EXPECT_EQ(Bar(*w, 0), expected);
        }
    }
}

// While a board burns its worker reads the configuration: nothing may change
// it, neither the bar, the menus, nor a command reached some other way.
TEST_F(MainWindowTest, NothingChangesTheConfigurationWhileABoardBurns) {
    config_.device_channel = 1;
    config_.uart_com[0] = "/dev/pts/7";
    auto w = OpenWindow();
    w->show();
    std::atomic<bool> release{false};
    std::thread worker;
    link_.OnCall("StartChannel", [&](unsigned) { worker = std::thread([&] { w->Engine().BurnChannel(1); }); });
    link_.OnCall("DownloadBoot", [&](unsigned) {
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    });
    ASSERT_TRUE(w->GetStation().Watcher(1).Attach("/dev/pts/7", 0));
    ASSERT_TRUE(ProcessUntil([&] { return !link_.CallsNamed("DownloadBoot").empty() && !w->Bar()->isEnabled(); }));
    EXPECT_FALSE(w->SettingsAction()->isEnabled());
    EXPECT_FALSE(w->PasswordAction()->isEnabled());

    // Were a dialog to open, it is closed again so that the test goes on to fail.
    bool dialogOpened = false;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            dialogOpened = true;
            modal->close();
        }
    });
    closer.start(20);
    const std::string burnFile = config_.path_nandboot;
    prompter_.next_file = "/elsewhere/other.bin";
    w->OpenSettings();
    w->OpenPasswordDialog();
    w->ChooseBurnFile();
    emit w->BaudList()->activated(7);
    closer.stop();
    EXPECT_FALSE(dialogOpened);
    EXPECT_TRUE(prompter_.filters.empty());  // no file dialog either
    EXPECT_EQ(config_.path_nandboot, burnFile);
    EXPECT_EQ(config_.uart_baud, 115200);

    release = true;
    worker.join();
    ASSERT_TRUE(ProcessUntil([&] { return w->Bar()->isEnabled() && w->SettingsAction()->isEnabled(); }));
    EXPECT_TRUE(w->PasswordAction()->isEnabled());
}

// No board may start while the operator picks a burn file.
TEST_F(MainWindowTest, BrowsePausesTheAttachThread) {
    link_.SetResult("ChooseBaud", engine::kLinkNoPrompt);
    auto w = OpenWindow();
    w->StartPortThreads();
    ASSERT_TRUE(ProcessUntil([&] { return w->PortSearchFinished() && w->WatcherRunning(); }));
    bool watchingWhileChoosing = true;
    prompter_.while_choosing = [&] {
        ports_.Add("/dev/ttyACM9");  // an adapter plugged in meanwhile: the list waits for the dialog
        w->RescanPortsIfChanged();
        watchingWhileChoosing = w->WatcherRunning();
    };
    prompter_.next_file = QString::fromStdString(Path("u-boot.bin"));
    w->ChooseBurnFile();
    EXPECT_FALSE(watchingWhileChoosing);
    EXPECT_EQ(config_.path_nandboot, Path("u-boot.bin"));
    EXPECT_TRUE(w->WatcherRunning());
}

TEST_F(MainWindowTest, CancelledSettingsKeepTheResultRows) {
    config_.device_channel = 1;
    auto w = OpenWindow();
    w->Post(StatusEvent(1, engine::status::kTestFailed));
    ASSERT_TRUE(ProcessUntil([&] { return Cell(*w, 0, kColumnStatus) == "Failed to test"; }));
    QTimer::singleShot(0, [] {
        if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) dialog->reject();
    });
    w->OpenSettings();
    EXPECT_EQ(Cell(*w, 0, kColumnStatus), "Failed to test");
    EXPECT_EQ(Bar(*w, 0), QColor(255, 0, 0));
}

// Closing the window ends the station only once no burn thread is left in
// the engine, even when the work number has already dropped to 0.
TEST_F(MainWindowTest, WindowEndsOnlyWhenNoBurnIsLeftInsideTheEngine) {
    config_.device_channel = 1;
    auto w = OpenWindow();
    std::atomic<bool> release{false}, destroyed{false}, engineUsedAfterDestruction{false};
    link_.OnCall("DownloadBoot", [&](unsigned) {
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    });
    link_.OnCall("CloseProducer", [&](unsigned) { engineUsedAfterDestruction = destroyed.load(); });
    std::thread worker([] { engine::BurnEngine::BurnEntry(1); });
    ASSERT_TRUE(ProcessUntil([&] { return !link_.CallsNamed("DownloadBoot").empty(); }));
    // A failure already handled for the row drops the work number under the burn.
    w->Post(StatusEvent(1, engine::status::kDownloadBootFailed));
    ASSERT_TRUE(ProcessUntil([&] { return w->State().WorkNumber() == 0; }));
    EXPECT_EQ(w->Engine().RunningBurns(), 1);

    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        release = true;
    });
    w.reset();
    destroyed = true;
    releaser.join();
    worker.join();
    EXPECT_FALSE(engineUsedAfterDestruction);
}

// A configuration with which no board can pass is told at start and nothing
// is watched until the settings change.
TEST_F(MainWindowTest, ConfigurationThatCannotBurnIsToldAndNothingIsWatched) {
    config_.chip_mode = 0;
    auto w = OpenWindow();
    w->WarnAboutStation();
    const QString refusal =
        "config.txt: chip mode 0 (Nandflash) reads no flash ID, so no board can pass (use 1, 5, 6 or 7)";
    ASSERT_EQ(prompter_.shown.size(), 1u);
    EXPECT_EQ(prompter_.shown[0].text, refusal + "\nNo board is burned until the settings are changed.");
    EXPECT_EQ(prompter_.shown[0].icon, config::MessageIcon::Error);
    w->StartPortThreads();
    ASSERT_TRUE(ProcessUntil([&] { return w->PortSearchFinished(); }));
    EXPECT_FALSE(w->WatcherRunning());
    EXPECT_EQ(w->PortStatus()->text(), refusal);

    config_.chip_mode = 1;  // as the settings would set it
    w->SearchButton()->click();
    ASSERT_TRUE(ProcessUntil([&] { return w->PortSearchFinished(); }));
    EXPECT_TRUE(w->WatcherRunning());
    EXPECT_TRUE(ProcessUntil([&] { return !link_.CallsNamed("StartRead").empty(); }));
}

TEST_F(MainWindowTest, ProgressAboveTheTotalShowsAHundred) {
    config_.device_channel = 1;
    auto w = OpenWindow();
    w->Post(engine::ProgressEvent(1, static_cast<unsigned>(w->State().TransferTotal() * 3)));
    ASSERT_TRUE(ProcessUntil([&] { return Percent(*w, 0) == 100; }));
}

TEST_F(MainWindowTest, LanguageSwitchRelabelsHeadersBarAndTitle) {
    auto w = OpenWindow();
    auto chinese = config::BuiltinChineseTexts();
    auto zh = [&](int i) { return QString::fromUtf8(chinese[i].data(), static_cast<qsizetype>(chinese[i].size())); };
    ASSERT_TRUE(w->SwitchLanguage(config::LanguageTable::kChinese));
    EXPECT_EQ(w->Model().headerData(kColumnStatus, Qt::Horizontal, Qt::DisplayRole).toString(), zh(26));
    EXPECT_EQ(w->PortLabel()->text(), zh(374));
    EXPECT_EQ(w->BaudLabel()->text(), zh(375));
    EXPECT_EQ(w->SearchButton()->text(), zh(376) + "(&A)");
    EXPECT_EQ(w->ToolsMenu()->title(), zh(11));
    EXPECT_TRUE(w->windowTitle().startsWith(zh(0)));
    EXPECT_TRUE(Cell(*w, 0, kColumnItem).startsWith(zh(28)));

    ASSERT_TRUE(w->SwitchLanguage(config::LanguageTable::kEnglish));
    EXPECT_EQ(w->SearchButton()->text(), "Se&arch");
    EXPECT_FALSE(w->SwitchLanguage(config::LanguageTable::kEnglish));  // already active
}

TEST_F(MainWindowTest, LanguageWhoseFileIsRefusedIsToldAndTheTableStays) {
    std::filesystem::create_directories(dir_ / "Lang");
    std::ofstream(dir_ / "Lang" / "Deutsch.txt", std::ios::binary) << config::FormatLanguageFile({"nur eins"});
    language_.SetLanguage("English");  // lists the new file
    auto w = OpenWindow();
    EXPECT_FALSE(w->SwitchLanguage(2));
    ASSERT_EQ(prompter_.shown.size(), 1u);
    EXPECT_TRUE(prompter_.shown[0].text.startsWith("The language cannot be loaded: language file "));
    EXPECT_EQ(w->SearchButton()->text(), "Se&arch");
}

// OK in the settings dialog saves the configuration; a save that fails is shown.
TEST_F(MainWindowTest, FailedSaveAfterTheSettingsDialogIsShown) {
    auto w = OpenWindow();
    std::filesystem::remove(Path("config.txt"));
    std::filesystem::create_directory(Path("config.txt"));  // nothing can replace a folder
    QTimer::singleShot(0, [] { qobject_cast<QDialog*>(QApplication::activeModalWidget())->accept(); });
    w->OpenSettings();
    ASSERT_EQ(prompter_.shown.size(), 1u);
    EXPECT_EQ(prompter_.shown[0].text, QString::fromStdString("Failed to save " + Path("config.txt") + "\ncannot replace " +
                                                              Path("config.txt") + ": Is a directory"));
}

// Closing asks only while boards burn, says how many, and marks each of their
// logs; an idle station closes at once.
TEST_F(MainWindowTest, CloseAsksOnlyWhileBoardsBurnAndMarksTheirLogs) {
    config_.device_channel = 2;
    config_.uart_com[0] = "/dev/pts/7";
    config_.uart_com[1] = "/dev/pts/8";
    {
        auto idle = OpenWindow();
        idle->show();
        EXPECT_TRUE(idle->close());
        EXPECT_TRUE(prompter_.asked.empty());
    }
    auto w = OpenWindow();
    w->show();
    QApplication::setActiveWindow(w.get());
    // Both burns hold in the producer download until the window has closed.
    std::atomic<bool> release{false};
    std::vector<std::thread> burns;
    link_.OnCall("StartChannel", [&](unsigned channel) {
        burns.emplace_back([&w, channel] { w->Engine().BurnChannel(channel); });
    });
    link_.OnCall("DownloadProducer", [&](unsigned) {
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    });
    ASSERT_TRUE(w->GetStation().Watcher(1).Attach("/dev/pts/7", 0));
    ASSERT_TRUE(w->GetStation().Watcher(2).Attach("/dev/pts/8", 1));
    ASSERT_TRUE(ProcessUntil([&] { return w->Engine().RunningBurns() == 2; }));
    prompter_.answer = false;
    QTest::keyClick(w.get(), Qt::Key_Escape);
    EXPECT_TRUE(w->isVisible());
    ASSERT_EQ(prompter_.asked.size(), 1u);
    EXPECT_EQ(prompter_.asked[0], "Process is running, close it or not?\n2 board(s) burning: closing aborts their burns.");
    prompter_.answer = true;
    EXPECT_TRUE(w->close());
    EXPECT_FALSE(w->isVisible());
    for (unsigned channel : {1u, 2u})
        EXPECT_NE(ReadFile(w->GetStation().ChannelLogPath(channel)).find("aborted by the operator"), std::string::npos)
            << channel;
    EXPECT_NE(ReadFile(engine::kMainLogName).find("channel 2 aborted by the operator"), std::string::npos);
    release = true;
    for (std::thread& burn : burns) burn.join();
}

TEST_F(MainWindowTest, EnterRunsStartEvenWithNoBoardReady) {
    auto w = OpenWindow();
    w->show();
    QApplication::setActiveWindow(w.get());
    QTest::keyClick(w.get(), Qt::Key_Return);
    EXPECT_TRUE(link_.CallsNamed("StartChannel").empty());  // no board is ready
    EXPECT_TRUE(w->State().RunActive());
    EXPECT_EQ(w->State().PendingCount(), 0);
    EXPECT_NE(ReadFile(engine::kMainLogName).find("KW_Start \n"), std::string::npos);
}

TEST_F(MainWindowTest, BaudListReplacesAnUnknownRateAndStoresTheChoice) {
    config_.uart_baud = 777;
    auto w = OpenWindow();
    EXPECT_EQ(config_.uart_baud, 115200);
    EXPECT_EQ(w->BaudList()->currentText(), "115200");
    w->BaudList()->setCurrentIndex(7);
    emit w->BaudList()->activated(7);
    EXPECT_EQ(config_.uart_baud, 6000000);
}

TEST_F(MainWindowTest, CancelledBurnFileKeepsThePathAndRecountsTheTotal) {
    auto w = OpenWindow();
    const std::string before = config_.path_nandboot;
    std::filesystem::resize_file(dir_ / "producer_fa.bin", 10);
    prompter_.next_file.clear();
    w->ChooseBurnFile();
    EXPECT_EQ(config_.path_nandboot, before);
    EXPECT_EQ(w->State().TransferTotal(), 10 + std::filesystem::file_size(dir_ / "u-boot.bin"));
    EXPECT_EQ(prompter_.filters.back(), "BIN Files (*.bin)");
}

TEST_F(MainWindowTest, StartUpSearchSelectsTheRememberedPortThenWatches) {
    config_.uart_com[0] = "/dev/ttyUSB1";
    ports_.Add("/dev/ttyUSB0").Add("/dev/ttyUSB1");  // alike in their first ten characters
    link_.SetResult("ChooseBaud", engine::kLinkNoPrompt);  // no board answers
    auto w = OpenWindow();
    w->StartPortThreads();
    ASSERT_TRUE(ProcessUntil([&] { return w->PortSearchFinished(); }));
    EXPECT_EQ(w->PortList()->count(), 2);
    EXPECT_EQ(w->PortList()->currentText(), "/dev/ttyUSB1");
    EXPECT_EQ(config_.uart_com[0], "/dev/ttyUSB1");
    EXPECT_EQ(config_.uart_com[1], "/dev/ttyUSB0");
    EXPECT_TRUE(ProcessUntil([&] { return !link_.CallsNamed("StartRead").empty(); }));
    EXPECT_EQ(link_.CallsNamed("StartRead")[0].text, "/dev/ttyUSB1");
}

// An adapter plugged in later, or a stable by-id name: the configured port
// stays selected, watched and saved, and later searches keep it too.
TEST_F(MainWindowTest, ConfiguredPortAbsentAtStartUpIsKept) {
    const std::string configured = "/dev/serial/by-id/usb-Line_Adapter_7-if00-port0";
    config_.uart_com[0] = configured;
    ports_.Add("/dev/ttyS0");
    link_.SetResult("ChooseBaud", engine::kLinkNoPrompt);
    auto w = OpenWindow();
    w->StartPortThreads();
    ASSERT_TRUE(ProcessUntil([&] { return w->PortSearchFinished(); }));
    EXPECT_EQ(w->PortList()->currentText().toStdString(), configured);
    EXPECT_EQ(w->PortList()->count(), 2);
    EXPECT_EQ(config_.uart_com[0], configured);
    EXPECT_TRUE(ProcessUntil([&] { return !link_.CallsNamed("StartRead").empty(); }));
    EXPECT_EQ(link_.CallsNamed("StartRead")[0].text, configured);
    w->SearchButton()->click();
    ASSERT_TRUE(ProcessUntil([&] { return w->PortSearchFinished(); }));
    EXPECT_EQ(config_.uart_com[0], configured);
}

TEST_F(MainWindowTest, PortThatCannotBeOpenedIsToldOnceInTheStatusLine) {
    config_.uart_com[0] = "/dev/ttyUSB0";
    ports_.Add("/dev/ttyUSB0");
    link_.SetResult("StartRead", 0);
    link_.SetPortError(0, {engine::PortState::NoPermission, "Permission denied"});
    link_.SetResult("ChooseBaud", engine::kLinkNoPrompt);
    auto w = OpenWindow();
    w->StartPortThreads();
    const QString problem =
        "no permission to open /dev/ttyUSB0; add the station's user to the dialout group (then log in again)";
    ASSERT_TRUE(ProcessUntil([&] { return w->PortStatus()->text() == problem; }));
    // Told in the window's language; the main log keeps English.
    ASSERT_TRUE(w->SwitchLanguage(config::LanguageTable::kChinese));
    EXPECT_EQ(w->PortStatus()->text(), "无权打开 /dev/ttyUSB0；请把本工作站的用户加入 dialout 组（然后重新登录）");
    ASSERT_TRUE(w->SwitchLanguage(config::LanguageTable::kEnglish));
    EXPECT_EQ(w->PortStatus()->text(), problem);
    ASSERT_TRUE(ProcessUntil([&] { return link_.CallsNamed("StartRead").size() >= 2; }));
    link_.SetResult("StartRead", 1);
    ASSERT_TRUE(ProcessUntil([&] { return w->PortStatus()->text().isEmpty(); }));
    const std::string log = ReadFile(engine::kMainLogName);
    const std::size_t first = log.find(problem.toStdString());
    ASSERT_NE(first, std::string::npos) << log;
    EXPECT_EQ(log.find(problem.toStdString(), first + 1), std::string::npos) << log;  // one line, not one per try
    EXPECT_NE(log.find("/dev/ttyUSB0 opens again"), std::string::npos) << log;
}

TEST_F(MainWindowTest, SearchTellsWhyAPortIsNotListed) {
    config_.uart_com[0] = "/dev/ttyS0";
    ports_.Add("/dev/ttyUSB0", engine::PortState::NoPermission).Add("/dev/ttyS0");
    auto w = OpenWindow();
    w->SearchButton()->click();
    ASSERT_TRUE(ProcessUntil([&] { return w->PortSearchFinished(); }));
    EXPECT_EQ(w->PortList()->count(), 1);
    EXPECT_EQ(w->PortStatus()->text(),
              "no permission to open /dev/ttyUSB0; add the station's user to the dialout group (then log in again)");
    ASSERT_TRUE(w->SwitchLanguage(config::LanguageTable::kChinese));
    EXPECT_EQ(w->PortStatus()->text(), "无权打开 /dev/ttyUSB0；请把本工作站的用户加入 dialout 组（然后重新登录）");
}

TEST_F(MainWindowTest, ListFollowsSerialDevicesThatComeAndGo) {
    config_.uart_com[0] = "/dev/ttyUSB0";
    ports_.Add("/dev/ttyUSB0");
    link_.SetResult("ChooseBaud", engine::kLinkNoPrompt);
    auto w = OpenWindow();
    w->StartPortThreads();
    ASSERT_TRUE(ProcessUntil([&] { return w->PortSearchFinished(); }));
    ASSERT_EQ(w->PortList()->count(), 1);
    ports_.Add("/dev/ttyACM0");
    w->RescanPortsIfChanged();
    ASSERT_TRUE(ProcessUntil([&] { return w->PortSearchFinished(); }));
    EXPECT_EQ(w->PortList()->count(), 2);
    EXPECT_EQ(config_.uart_com[1], "/dev/ttyACM0");
    ports_.ports.erase(ports_.ports.begin());  // the watched adapter is unplugged: it stays chosen
    w->RescanPortsIfChanged();
    ASSERT_TRUE(ProcessUntil([&] { return w->PortSearchFinished(); }));
    EXPECT_EQ(config_.uart_com[0], "/dev/ttyUSB0");
    EXPECT_EQ(w->PortList()->currentText(), "/dev/ttyUSB0");
}

TEST_F(MainWindowTest, CloseAndOpenButtonsFreeAndGuardThePort) {
    config_.uart_com[0] = "/dev/ttyUSB0";
    auto w = OpenWindow();
    ports_.Add("/dev/ttyUSB0", engine::PortState::InUse);  // held by the library's last watch round
    w->CloseButton()->click();
    EXPECT_FALSE(w->Watching());
    EXPECT_EQ(w->CloseButton()->text(), "&Open");
    ASSERT_FALSE(link_.CallsNamed("DetachUart").empty());
    EXPECT_EQ(link_.CallsNamed("DetachUart").back().text, "/dev/ttyUSB0");

    // Still held (now by another program): reopening is refused.
    w->CloseButton()->click();
    EXPECT_FALSE(w->Watching());
    ASSERT_EQ(prompter_.shown.size(), 1u);
    EXPECT_EQ(prompter_.shown[0].text, "Serial port occupied, please check it!");
    ASSERT_TRUE(w->SwitchLanguage(config::LanguageTable::kChinese));
    w->CloseButton()->click();
    ASSERT_EQ(prompter_.shown.size(), 2u);
    EXPECT_EQ(prompter_.shown[1].text, "串口被占用，请检查！");
    ASSERT_TRUE(w->SwitchLanguage(config::LanguageTable::kEnglish));

    ports_.ports.clear();
    w->CloseButton()->click();
    EXPECT_TRUE(w->Watching());
    EXPECT_EQ(w->CloseButton()->text(), "&Close");
}

TEST_F(MainWindowTest, SearchButtonDetachesEveryPortAndListsThemAgain) {
    config_.uart_com[0] = "/dev/ttyUSB0";
    config_.uart_com[1] = "/dev/ttyS4";
    ports_.Add("/dev/ttyACM0").Add("/dev/ttyUSB0");
    auto w = OpenWindow();
    w->SearchButton()->click();
    EXPECT_FALSE(w->SearchButton()->isEnabled());  // while the search runs off the window thread
    ASSERT_TRUE(ProcessUntil([&] { return w->PortSearchFinished(); }));
    std::vector<std::string> detached;
    for (const auto& call : link_.CallsNamed("DetachUart")) detached.push_back(call.text);
    EXPECT_EQ(detached, (std::vector<std::string>{"/dev/ttyUSB0", "/dev/ttyS4"}));
    EXPECT_EQ(w->PortList()->count(), 2);
    EXPECT_EQ(w->PortList()->currentText(), "/dev/ttyUSB0");
    EXPECT_EQ(config_.uart_com[0], "/dev/ttyUSB0");
    EXPECT_TRUE(w->SearchButton()->isEnabled());
}

TEST_F(MainWindowTest, AboutBoxShowsTheVersionLine) {
    auto w = OpenWindow();
    config_.producer_version = {2, 3, 4, 0};  // opening the window read the sample producer's
    QMessageBox* box = w->ShowAbout();
    EXPECT_TRUE(box->text().contains(QRegularExpression(
        R"(V1\.1\.26 \( CorvelLib V\d+\.\d+\.\d\d; USBLib V1\.0; Producer V2\.3\.04 \))")))
        << box->text().toStdString();
    EXPECT_EQ(box->button(QMessageBox::Ok)->text(), "OK");
    box->close();
    ASSERT_TRUE(w->SwitchLanguage(config::LanguageTable::kChinese));
    box = w->ShowAbout();
    EXPECT_EQ(box->button(QMessageBox::Ok)->text(), "确定");
    box->close();
}

// A file the transfer total needs is named in the window's language.
TEST_F(MainWindowTest, MissingFileOfTheTransferTotalIsNamed) {
    ASSERT_TRUE(language_.LoadLanguage(config::LanguageTable::kChinese));
    config_.path_producer = "gone_producer.bin";
    auto w = OpenWindow();
    ASSERT_FALSE(prompter_.shown.empty());
    EXPECT_TRUE(prompter_.shown[0].text.startsWith("找不到文件 ")) << prompter_.shown[0].text.toStdString();
    EXPECT_TRUE(prompter_.shown[0].text.contains("gone_producer.bin"));
}

}  // namespace
}  // namespace kestrow::app::testing
