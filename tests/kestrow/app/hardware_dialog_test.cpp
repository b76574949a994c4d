// The "Hardware" dialog on a copy of the sample station: reached from the
// Settings menu, RAM configuration import and export, and the "Config Command
// Line" option that the exit writes into the boot loader.
#include "window_fixture.h"

#include "kestrow/app/hardware_dialog.h"
#include "kestrow/app/station_app.h"
#include "kestrow/config/boot_cmdline.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QMenu>
#include <QRadioButton>

#include <cstring>
#include <fstream>

namespace kestrow::app::testing {
namespace {

class HardwareDialogTest : public WindowFixture {
protected:
    std::unique_ptr<HardwareDialog> Open() {
        return std::make_unique<HardwareDialog>(config_, porter_, language_, prompter_);
    }
    std::string ReadAll(const std::string& name) {
        std::ifstream in(Path(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    config::RamConfigPorter porter_;
};

TEST_F(HardwareDialogTest, ReachedFromTheSettingsMenu) {
    auto w = OpenWindow();
    QStringList items;
    for (QAction* action : w->SettingsMenu()->actions()) items << action->text();
    EXPECT_TRUE(items.contains("&Hardware")) << items.join(", ").toStdString();
}

// The configuration word of an imported file shows on the page (chip type 6);
// an export writes the imported pairs with the word the page then shows.
TEST_F(HardwareDialogTest, ImportShowsTheWordAndExportMergesThePageIntoTheControlRegister) {
    config_.chip_type = 6;
    std::ofstream(Path("board.txt"), std::ios::binary) << "# board RAM\r\n"
                                                         "[CONFIG_DATA]\r\n"
                                                         "0x21000000, 0x00004e05,\r\n"
                                                         "0x2000e000, 0xffffffff,\r\n"
                                                         "[END]\r\n";
    auto dialog = Open();
    prompter_.next_file = QString::fromStdString(Path("board.txt"));
    dialog->Import();
    // 0x4e05: RAM type 5 (DDR32), bank 1, column 3, row 2.
    EXPECT_TRUE(dialog->RamTypeButton(5)->isChecked());
    EXPECT_EQ(dialog->BankList()->currentIndex(), 1);
    EXPECT_EQ(dialog->ColumnList()->currentIndex(), 3);
    EXPECT_EQ(dialog->RowList()->currentIndex(), 2);
    EXPECT_TRUE(dialog->DdrFrequency()->isEnabled());
    ASSERT_FALSE(prompter_.shown.empty());
    EXPECT_EQ(prompter_.shown.back().text, "Success!You've imported a file.");

    dialog->RamTypeButton(3)->click();  // DDR2_32: both low bits set, no DDR clock to set
    EXPECT_FALSE(dialog->DdrFrequency()->isEnabled());
    prompter_.next_save_file = QString::fromStdString(Path("exported.txt"));
    dialog->Export();
    ASSERT_EQ(prompter_.suggested_files.size(), 1u);
    EXPECT_TRUE(prompter_.suggested_files[0].endsWith("/ramconfig/ramconfig_ddr2.txt"));
    const std::string exported = ReadAll("exported.txt");
    EXPECT_NE(exported.find("[CONFIG_DATA]\r\n0x21000000, 0x00004e05,    //remark\r\n"
                            "0x2000e000, 0xffff4ffb,    //remark\r\n[END]\r\n"),
              std::string::npos)
        << exported;

    prompter_.next_file.clear();
    dialog->Import();  // nothing chosen
    EXPECT_EQ(prompter_.shown.back().text, "Nothing import");
}

// With the option off the page starts from the block the boot loader holds;
// OK turns it on with the edited values, and the exit writes them.
TEST_F(HardwareDialogTest, CommandLineOptionReachesTheBootLoaderAtExit) {
    {
        auto cancelled = Open();
        EXPECT_FALSE(cancelled->CommandLineOption()->isChecked());
        EXPECT_EQ(cancelled->CommandLineAddress()->text(), "81f00000");
        EXPECT_EQ(cancelled->CommandLineData()->text(),
                  "console=ttySQM0,115200n8 root=/dev/mtdblock1 rootfstype=squashfs init=/sbin/init mem=64M");
        cancelled->CommandLineOption()->setChecked(true);
        cancelled->reject();
    }
    EXPECT_EQ(config_.cmdline_enable, 0u);

    auto dialog = Open();
    dialog->CommandLineOption()->setChecked(true);
    dialog->CommandLineAddress()->setText("0x82000000");
    dialog->CommandLineData()->setText("console=ttySQM0,115200n8 mem=32M");
    dialog->accept();
    EXPECT_EQ(config_.cmdline_enable, 1u);
    EXPECT_EQ(config_.cmdline_addr, 0x82000000u);
    EXPECT_STREQ(config_.cmdline_data.data(), "console=ttySQM0,115200n8 mem=32M");

    EXPECT_TRUE(SaveStationAtExit(config_, language_, "config.txt").empty());
    const std::string boot = ReadAll("u-boot.bin");
    ASSERT_GE(boot.size(), 300u);
    EXPECT_EQ(boot.substr(72, 8), std::string("CMDL\0\0\0\x82", 8));
    EXPECT_EQ(boot.substr(80, 128), std::string("console=ttySQM0,115200n8 mem=32M") + std::string(96, '\0'));
}

}  // namespace
}  // namespace kestrow::app::testing
