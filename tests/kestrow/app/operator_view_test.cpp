// What an operator reads off the window: each row's PASS / FAIL with its time,
// the waiting state after a result, the counters since start, the selected
// channel's log and the way to its folder, in both languages.
#include "window_fixture.h"

#include "kestrow/app/channel_model.h"
#include "kestrow/app/flash_list_dialog.h"
#include "kestrow/app/settings_dialog.h"
#include "kestrow/engine/status_codes.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QRegularExpression>
#include <QDesktopServices>
#include <QGroupBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTableView>
#include <QUrl>

namespace kestrow::app::testing {
namespace {

using engine::StatusEvent;

// Takes the URLs the window hands to the desktop instead of opening them.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    UrlCatcher() { QDesktopServices::setUrlHandler("file", this, "Catch"); }
    ~UrlCatcher() override { QDesktopServices::unsetUrlHandler("file"); }
    Q_INVOKABLE void Catch(const QUrl& url) { urls.push_back(url); }
    std::vector<QUrl> urls;
};

class OperatorViewTest : public WindowFixture {
protected:
    QString Cell(MainWindow& w, int row, int column) {
        return w.Model().data(w.Model().index(row, column), Qt::DisplayRole).toString();
    }
    // Channel 1 passed and re-armed, channel 2 failed with its cause and its board still there.
    std::unique_ptr<MainWindow> TwoResults() {
        config_.device_channel = 2;
        auto w = OpenWindow();
        w->show();
        w->State().SetFailureCause(2, "flash ID 0x123456 is not in the SPI NOR list");
        w->Post(StatusEvent(1, engine::status::kCompletion));
        w->Post(StatusEvent(2, engine::status::kFlashParamFailed));
        w->Post(engine::ArmedEvent(1));
        ProcessUntil([&] { return w->State().Rows()[0].waiting && w->State().Rows()[1].result != engine::RowResult::None; });
        return w;
    }
};

TEST_F(OperatorViewTest, ResultsWaitForTheNextBoardAndAreCounted) {
    auto w = TwoResults();
    const QRegularExpression passed("^PASS  \\d\\d:\\d\\d:\\d\\d\\nwaiting for the next board$");
    const QRegularExpression failed("^FAIL  \\d\\d:\\d\\d:\\d\\d\\nreplace the board$");
    EXPECT_TRUE(passed.match(Cell(*w, 0, kColumnResult)).hasMatch()) << Cell(*w, 0, kColumnResult).toStdString();
    EXPECT_TRUE(failed.match(Cell(*w, 1, kColumnResult)).hasMatch()) << Cell(*w, 1, kColumnResult).toStdString();
    EXPECT_EQ(Cell(*w, 1, kColumnStatus).section('\n', 1), "flash ID 0x123456 is not in the SPI NOR list");
    EXPECT_EQ(w->Counters()->PassedText(), "Passed: 1");
    EXPECT_EQ(w->Counters()->FailedText(), "Failed: 1");
    EXPECT_EQ(w->Counters()->YieldText(), "Yield: 50.0%");
    // The result stays readable on a selected row: its delegate fills it whatever the selection.
    w->ChannelList()->selectRow(0);
    ProcessUntil([] { return false; }, 50);  // the layout follows the new texts
    SaveScreenshot(w.get(), "operator_passed_failed_waiting");

    // The operator's retry count reaches the station.
    w->RetriesBox()->setValue(2);
    EXPECT_EQ(w->State().AutoRetries(), 2u);

    // The next board on channel 1 clears its result; the failure on channel 2 stays.
    w->Post(StatusEvent(1, engine::status::kReady));
    ASSERT_TRUE(ProcessUntil([&] { return Cell(*w, 0, kColumnResult).isEmpty(); }));
    EXPECT_TRUE(failed.match(Cell(*w, 1, kColumnResult)).hasMatch());
}

TEST_F(OperatorViewTest, LogPaneShowsTheSelectedChannelAndTheFolderOpensInOneClick) {
    auto w = TwoResults();
    const std::string log2 = w->GetStation().ChannelLogPath(2);
    engine::ChannelLog(log2).Write(0, "->flash ID 0x123456 is not in the SPI NOR list, fail\n");
    engine::ChannelLog(w->GetStation().ChannelLogPath(1)).Write(0, "++Burn success++\n");
    w->ChannelList()->selectRow(1);
    ProcessUntil([] { return false; }, 30);
    EXPECT_EQ(w->LogFrame()->title(), "Log of channel 2");
    EXPECT_TRUE(w->LogPane()->toPlainText().contains("not in the SPI NOR list"));
    EXPECT_FALSE(w->LogPane()->toPlainText().contains("Burn success"));
    SaveScreenshot(w.get(), "operator_log_pane");
    w->ChannelList()->selectRow(0);
    EXPECT_EQ(w->LogFrame()->title(), "Log of channel 1");
    EXPECT_TRUE(w->LogPane()->toPlainText().contains("++Burn success++"));

    UrlCatcher catcher;
    w->OpenLogFolderButton()->click();
    w->OpenLogFolderAction()->trigger();
    ASSERT_EQ(catcher.urls.size(), 2u);
    EXPECT_EQ(catcher.urls[0].toLocalFile().toStdString(), Path("log"));
    EXPECT_EQ(w->OpenLogFolderButton()->text(), "Open &log folder");
}

TEST_F(OperatorViewTest, ChineseWindowShowsResultsCountersAndLogInChinese) {
    auto w = TwoResults();
    ASSERT_TRUE(w->SwitchLanguage(config::LanguageTable::kChinese));
    EXPECT_TRUE(Cell(*w, 0, kColumnResult).startsWith("通过"));
    EXPECT_TRUE(Cell(*w, 1, kColumnResult).endsWith("请更换此板"));
    EXPECT_EQ(w->Model().headerData(kColumnResult, Qt::Horizontal, Qt::DisplayRole).toString(), "结果");
    EXPECT_EQ(w->Counters()->title(), "本次启动以来");
    EXPECT_EQ(w->Counters()->YieldText(), "良率：50.0%");
    EXPECT_EQ(w->LogFrame()->title(), "通道 1 的日志");
    ProcessUntil([] { return false; }, 50);
    SaveScreenshot(w.get(), "operator_chinese");
}

// A burn file that is missing keeps every port unwatched, said in the status line.
TEST_F(OperatorViewTest, MissingBurnFileIsRefusedBeforeAnyBoardIsTaken) {
    config_.path_nandboot = "gone.bin";
    auto w = OpenWindow();
    w->StartPortThreads();
    ASSERT_TRUE(ProcessUntil([&] { return w->PortSearchFinished(); }));
    EXPECT_FALSE(w->WatcherRunning());
    EXPECT_TRUE(link_.CallsNamed("StartRead").empty());
    EXPECT_TRUE(w->PortStatus()->text().contains("path nandboot = gone.bin"));
    EXPECT_TRUE(w->PortStatus()->text().endsWith("No board is burned until the file is there."));
}

// In Chinese the bar, the Burn Settings dialog and the list dialogs speak Chinese too.
TEST_F(OperatorViewTest, ChineseBarAndDialogs) {
    ASSERT_TRUE(language_.LoadLanguage(config::LanguageTable::kChinese));
    auto w = OpenWindow();
    EXPECT_EQ(w->CloseButton()->text(), "关闭(&C)");
    EXPECT_EQ(w->OpenLogFolderButton()->text(), "打开日志文件夹(&L)");
    BurnSettingsDialog settings(config_, language_, link_, prompter_);
    EXPECT_EQ(settings.windowTitle(), "烧录设置");
    settings.show();
    ProcessUntil([] { return false; }, 30);
    SaveScreenshot(&settings, "chinese_burn_settings");
    FlashListDialog list(config::FlashListKind::SpiNor, config_, language_, nullptr, &prompter_);
    EXPECT_EQ(list.windowTitle(), "SPI NOR 闪存");
    EXPECT_EQ(list.AddButton()->text(), "添加(&A)");
    EXPECT_EQ(list.RemoveButton()->text(), "删除(&R)");
    list.show();
    ProcessUntil([] { return false; }, 30);
    SaveScreenshot(&list, "chinese_spi_nor_list");
}

// Every menu, menu item and button of the window can be reached from the
// keyboard in both languages (the language list itself names languages).
TEST_F(OperatorViewTest, EveryMenuItemAndButtonHasAMnemonic) {
    const QRegularExpression mnemonic(QStringLiteral("&[^&]"));
    for (int language : {config::LanguageTable::kChinese, config::LanguageTable::kEnglish}) {
        ASSERT_TRUE(language_.LoadLanguage(language));
        auto w = OpenWindow();
        QStringList missing;
        for (QAction* top : w->menuBar()->actions()) {
            if (!top->text().contains(mnemonic)) missing << top->text();
            if (top->menu() == w->LanguageMenu()) continue;
            for (QAction* item : top->menu()->actions())
                if (!item->isSeparator() && !item->text().contains(mnemonic)) missing << item->text();
        }
        for (QPushButton* button : w->findChildren<QPushButton*>())
            if (!button->text().contains(mnemonic)) missing << button->text();
        EXPECT_TRUE(missing.isEmpty()) << "language " << language << ": " << missing.join(" | ").toStdString();
    }
    auto w = OpenWindow();
    // The system's own texts keep their letters; the mark goes before one of them.
    EXPECT_EQ(w->SettingsAction()->text(), "&Config Setting");
    EXPECT_EQ(w->PasswordMenu()->title(), "&Modify Password");
    EXPECT_EQ(w->LanguageMenu()->title(), "Lan&guage");
    EXPECT_EQ(w->SearchButton()->text(), "Se&arch");
    ASSERT_TRUE(language_.LoadLanguage(config::LanguageTable::kChinese));
    w = OpenWindow();
    EXPECT_EQ(w->PasswordMenu()->title(), "修改密码(&M)");
}

}  // namespace
}  // namespace kestrow::app::testing

#include "operator_view_test.moc"
