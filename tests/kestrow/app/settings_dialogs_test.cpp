// The "Burn Settings" dialog, the two flash list dialogs and "Change Password"
// on a copy of the sample station (part numbers PN05, PN01, PN30, PN29; clock
// pairs 800/400, 800/533, 600/400, 500/333; PN05 at 800/533, chip type 8).
#include "window_fixture.h"

#include <QTest>

#include "kestrow/app/flash_list_dialog.h"
#include "kestrow/app/password_dialog.h"
#include "kestrow/app/settings_dialog.h"
#include "kestrow/config/password_file.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>

namespace kestrow::app::testing {
namespace {

class SettingsDialogTest : public WindowFixture {
protected:
    std::unique_ptr<BurnSettingsDialog> Open() {
        return std::make_unique<BurnSettingsDialog>(config_, language_, link_, prompter_);
    }
    static void Choose(QComboBox* list, int entry) {
        list->setCurrentIndex(entry);
        emit list->activated(entry);
    }
};

TEST_F(SettingsDialogTest, CancelRestoresEverythingTheDialogChanged) {
    ASSERT_EQ(config_.chip_model, "PN05");
    ASSERT_EQ(config_.clock_index, 1);
    const std::vector<config::RamTable> tables = config_.active_ram_tables;  // PN05: the 64 MB tables
    ASSERT_FALSE(tables.empty());
    auto dialog = Open();
    Choose(dialog->PartList(), 2);  // PN30
    Choose(dialog->ClockList(), 3);
    dialog->SpiNandButton()->click();
    EXPECT_EQ(config_.chip_model, "PN30");  // reaches the configuration at once
    EXPECT_EQ(config_.chip_mode, config::kModeSpiNand);
    EXPECT_NE(config_.active_ram_tables, tables);  // PN30 brings the 128 MB tables
    dialog->reject();
    EXPECT_EQ(config_.active_ram_tables, tables);
    EXPECT_EQ(config_.chip_model, "PN05");
    EXPECT_EQ(config_.part_index, 0);
    EXPECT_EQ(config_.cpu_freq_param, 800);
    EXPECT_EQ(config_.ddr_freq_param, 533);
    EXPECT_EQ(config_.clock_index, 1);
    EXPECT_EQ(config_.chip_type, 8);
    EXPECT_EQ(config_.chip_mode, config::kModeSpiNor);
}

// A part change that settles the boot mode for another chip type is undone
// by Cancel, and the library hears the restored mode.
TEST_F(SettingsDialogTest, CancelGivesBackTheBootModeAPartChangeSettled) {
    config_.chip_type = 9;
    config_.boot_mode_flag = 2;
    auto dialog = Open();
    Choose(dialog->PartList(), 2);  // PN30: chip type 8, no boot mode choice
    EXPECT_EQ(config_.boot_mode_flag, 0);
    EXPECT_EQ(link_.CallsNamed("SecureBootFlag").back().values[0], 0u);
    dialog->reject();
    EXPECT_EQ(config_.chip_type, 9);
    EXPECT_EQ(config_.boot_mode_flag, 2);
    EXPECT_EQ(link_.CallsNamed("SecureBootFlag").back().values[0], 2u);
}

TEST_F(SettingsDialogTest, OkKeepsTheChoicesAndCopiesTheFields) {
    auto dialog = Open();
    Choose(dialog->PartList(), 2);
    Choose(dialog->ClockList(), 2);
    dialog->SpiNandButton()->click();
    dialog->RunAddressEdit()->setText("0x81000000");
    dialog->ProducerEdit()->setText("producers/p2.bin");
    SaveScreenshot(dialog.get(), "settings_dialog");
    dialog->accept();
    EXPECT_EQ(config_.chip_model, "PN30");
    EXPECT_EQ(config_.cpu_freq_param, 600);
    EXPECT_EQ(config_.ddr_freq_param, 400);
    EXPECT_EQ(config_.chip_mode, config::kModeSpiNand);
    EXPECT_EQ(config_.producer_run_addr, 0x81000000u);
    EXPECT_EQ(config_.path_producer, "producers/p2.bin");
}

// A run address that is not hex is refused where it is typed: OK keeps the
// dialog open and the address as it was ("zz" used to save 0x00000000).
TEST_F(SettingsDialogTest, RunAddressTakesHexOnly) {
    const std::uint32_t before = config_.producer_run_addr;
    for (const char* typed : {"zz", "", "123456789", "0x"}) {
        SCOPED_TRACE(typed);
        auto dialog = Open();
        dialog->show();
        dialog->RunAddressEdit()->setText(typed);
        dialog->accept();
        EXPECT_TRUE(dialog->isVisible());
        EXPECT_EQ(config_.producer_run_addr, before);
        dialog->reject();
    }
    auto dialog = Open();
    dialog->RunAddressEdit()->clear();
    QTest::keyClicks(dialog->RunAddressEdit(), "8g1z0");  // what is not hex cannot be typed
    EXPECT_EQ(dialog->RunAddressEdit()->text(), "810");
}

TEST_F(SettingsDialogTest, PartNumberPN01OffersOneClockLineAndOkTakesIt) {
    for (bool clickLine : {true, false}) {
        SCOPED_TRACE(clickLine ? "line clicked" : "line left alone");
        ASSERT_EQ(config_.cpu_freq_param, 800);
        ASSERT_EQ(config_.ddr_freq_param, 533);
        auto dialog = Open();
        EXPECT_EQ(dialog->ClockList()->count(), 4);
        Choose(dialog->PartList(), 1);
        ASSERT_EQ(dialog->ClockList()->count(), 1);
        EXPECT_EQ(dialog->ClockList()->itemText(0), "CPU_CLK = 800MHz, DDR2_CLK = 400MHz");
        if (clickLine) Choose(dialog->ClockList(), 0);
        dialog->accept();
        // What the list shows is what Check_Info, config.txt and the RAM table get.
        EXPECT_EQ(config_.chip_model, "PN01");
        EXPECT_EQ(config_.cpu_freq_param, 800);
        EXPECT_EQ(config_.ddr_freq_param, 400);
        EXPECT_EQ(config_.clock_index, 0);
        // Back to PN05 at 800/533 for the next round.
        auto back = Open();
        Choose(back->PartList(), 0);
        Choose(back->ClockList(), 1);
        back->accept();
    }
}

// A part change that makes the chip type 11 shows the RAM Path row with the
// configured path, and OK keeps that path.
TEST_F(SettingsDialogTest, RamPathRowAppearingAfterAPartChangeHoldsThePath) {
    config_.project_name = "NimbraP1";
    config_.part_numbers.push_back("PN18");
    config_.path_ram = "ram/ddr_720.bin";
    auto dialog = Open();
    EXPECT_FALSE(dialog->RamPathEdit()->isVisibleTo(dialog.get()));
    Choose(dialog->PartList(), 4);
    ASSERT_EQ(config_.chip_type, 11);
    EXPECT_TRUE(dialog->RamPathEdit()->isVisibleTo(dialog.get()));
    EXPECT_EQ(dialog->RamPathEdit()->text(), "ram/ddr_720.bin");
    dialog->accept();
    EXPECT_EQ(config_.path_ram, "ram/ddr_720.bin");
}

TEST_F(SettingsDialogTest, BootModeOnlyForChipType9AndRamPathOnlyFor11) {
    struct Case {
        int chip_type;
        int boot_mode;
        bool boot_editable;
        int boot_mode_after;
        bool ram_path;
    };
    const Case cases[] = {{9, 2, true, 2, false}, {7, 2, false, 0, false}, {11, 1, false, 0, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.chip_type);
        config_.chip_type = c.chip_type;
        config_.boot_mode_flag = c.boot_mode;
        auto dialog = Open();
        for (int mode = 0; mode < 3; ++mode) EXPECT_EQ(dialog->BootModeButton(mode)->isEnabled(), c.boot_editable);
        EXPECT_TRUE(dialog->BootModeButton(c.boot_mode_after)->isChecked());
        EXPECT_EQ(config_.boot_mode_flag, c.boot_mode_after);
        EXPECT_EQ(link_.CallsNamed("SecureBootFlag").back().values[0], static_cast<unsigned>(c.boot_mode_after));
        EXPECT_EQ(dialog->RamPathEdit()->isVisibleTo(dialog.get()), c.ram_path);
        dialog->reject();
    }
    config_.chip_type = 9;
    auto dialog = Open();
    dialog->BootModeButton(1)->click();
    EXPECT_EQ(config_.boot_mode_flag, 1);
    EXPECT_EQ(link_.CallsNamed("SecureBootFlag").back().values[0], 1u);
}

TEST_F(SettingsDialogTest, BrowsedFilesBelowTheStationAreStoredRelative) {
    auto dialog = Open();
    prompter_.next_file = QString::fromStdString(config_.program_dir + "images/prod.bin");
    dialog->Browse(dialog->ProducerEdit());
    EXPECT_EQ(dialog->ProducerEdit()->text(), "images/prod.bin");
    prompter_.next_file = "/opt/elsewhere/prod.bin";
    dialog->Browse(dialog->ProducerEdit());
    EXPECT_EQ(dialog->ProducerEdit()->text(), "/opt/elsewhere/prod.bin");
    // A folder that merely contains the station's name is not below it.
    const std::string station = config_.program_dir.substr(0, config_.program_dir.size() - 1);
    EXPECT_EQ(StationRelativePath(station + "-old/prod.bin", config_.program_dir), station + "-old/prod.bin");
}

TEST_F(SettingsDialogTest, FlashListWritesBackExactlyTheRowsShown) {
    const std::size_t before = config_.spinor_list.size();
    ASSERT_GE(before, 2u);
    const auto secondId = config_.spinor_list[1].chip_id;
    FlashListDialog dialog(config::FlashListKind::SpiNor, config_, language_, nullptr, &prompter_);
    EXPECT_EQ(dialog.Table()->rowCount(), static_cast<int>(before));
    dialog.AddButton()->click();
    const int added = dialog.Table()->rowCount() - 1;
    // Add + OK alone saves nothing: the empty row's cells are said wrong.
    dialog.accept();
    EXPECT_EQ(config_.spinor_list.size(), before);
    EXPECT_TRUE(dialog.Problems()->text().startsWith(QString("row %1: Chip ID \"0x0\" must not be 0").arg(added + 1)))
        << dialog.Problems()->text().toStdString();
    dialog.Table()->item(added, 2)->setText("8MB");
    EXPECT_TRUE(dialog.Problems()->text().contains("Total Size \"8MB\" is not a whole number up to 2147483647"));
    SaveScreenshot(&dialog, "spi_nor_list_dialog_problems");
    const char* typed[] = {nullptr, "1c3017" /* hex without "0x" */, "8388608", "256", "256", "65536", "20000000"};
    for (int column = 1; column < 7; ++column) dialog.Table()->item(added, column)->setText(typed[column]);
    EXPECT_TRUE(dialog.Problems()->text().isEmpty()) << dialog.Problems()->text().toStdString();
    // Remove asks first; No keeps the row.
    dialog.Table()->setCurrentCell(0, 1);
    prompter_.answer = false;
    dialog.RemoveButton()->click();
    EXPECT_EQ(dialog.Table()->rowCount(), added + 1);
    ASSERT_EQ(prompter_.asked.size(), 1u);
    EXPECT_TRUE(prompter_.asked[0].startsWith("Remove 1 (")) << prompter_.asked[0].toStdString();
    prompter_.answer = true;
    dialog.RemoveButton()->click();
    SaveScreenshot(&dialog, "spi_nor_list_dialog");
    dialog.accept();
    ASSERT_EQ(config_.spinor_list.size(), before);
    EXPECT_EQ(config_.spinor_list.front().chip_id, secondId);
    EXPECT_EQ(config_.spinor_list.back().chip_id, 0x1c3017u);
}

TEST_F(SettingsDialogTest, FlashListCancelLeavesTheListAndAnEmptiedListStaysEmpty) {
    const auto nand = config_.spinand_list;
    {
        FlashListDialog dialog(config::FlashListKind::SpiNand, config_, language_, nullptr, &prompter_);
        dialog.AddButton()->click();
        dialog.reject();
    }
    EXPECT_EQ(config_.spinand_list.size(), nand.size());
    FlashListDialog dialog(config::FlashListKind::SpiNand, config_, language_, nullptr, &prompter_);
    while (dialog.Table()->rowCount() > 0) {
        dialog.Table()->setCurrentCell(0, 0);
        dialog.RemoveButton()->click();
    }
    dialog.accept();
    EXPECT_TRUE(config_.spinand_list.empty());
}

TEST_F(SettingsDialogTest, PasswordChangeOutcomes) {
    struct Case {
        const char* old_password;
        const char* new_password;
        const char* confirmation;
        const char* shown;
        const char* stored;
    };
    const Case cases[] = {
        {"qelvo", "qelvo", "qelvo", "Modify Password Success", "qelvo"},
        {"qelvo", "line7", "line8", "Confirm Password Error!", "qelvo"},
        {"wrong", "line7", "line7", "Error Password!", "qelvo"},
        {"qelvo", "abcdefghijklmnopqrstuvwxy", "abcdefghijklmnopqrstuvwxy", "Modify Password Success",
         "abcdefghijklmnopqrst"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.new_password);
        config_.producer_password = "qelvo";
        std::filesystem::remove(config::PasswordFilePath());
        prompter_.shown.clear();
        ChangePasswordDialog dialog(config_, language_, prompter_);
        dialog.OldPassword()->setText(c.old_password);
        dialog.NewPassword()->setText(c.new_password);
        dialog.Confirmation()->setText(c.confirmation);
        dialog.accept();
        ASSERT_EQ(prompter_.shown.size(), 1u);
        EXPECT_EQ(prompter_.shown[0].text, c.shown);
        EXPECT_EQ(config_.producer_password, c.stored);
        std::string producer, researcher;
        bool saved = config::LoadPasswordFile(config::PasswordFilePath(), producer, researcher);
        EXPECT_EQ(saved, std::string(c.shown) == "Modify Password Success");
        if (saved) {
            EXPECT_EQ(producer, c.stored);
        }
    }
}

}  // namespace
}  // namespace kestrow::app::testing
