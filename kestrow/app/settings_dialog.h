#pragma once
// "Burn Settings": part number, clock pair, flash type, producer files, run
// address and secure-boot mode, over SettingsSession, which holds the rules.
#include "kestrow/app/prompter.h"
#include "kestrow/app/settings_session.h"
#include "kestrow/config/language_table.h"

#include <QDialog>

#include <array>

class QButtonGroup;
class QComboBox;
class QFormLayout;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QWidget;

namespace kestrow::app {

class BurnSettingsDialog : public QDialog {
    Q_OBJECT
public:
    BurnSettingsDialog(config::BurnConfig& config, config::LanguageTable& language, engine::BoardLink& link,
                       Prompter& prompter, QWidget* parent = nullptr);

    void accept() override;
    void reject() override;

    QComboBox* PartList() const { return part_list_; }
    QComboBox* ClockList() const { return clock_list_; }
    QRadioButton* BootModeButton(int mode) const { return boot_buttons_[static_cast<std::size_t>(mode)]; }
    QRadioButton* SpiNorButton() const { return spi_nor_; }
    QRadioButton* SpiNandButton() const { return spi_nand_; }
    QLineEdit* ProducerEdit() const { return producer_; }
    QLineEdit* RamPathEdit() const { return ram_path_; }
    QLineEdit* RunAddressEdit() const { return run_address_; }
    QPushButton* SpiNorListButton() const { return spi_nor_list_; }
    QPushButton* SpiNandListButton() const { return spi_nand_list_; }
    // "Browse" of a path field: puts the chosen file into `edit`.
    void Browse(QLineEdit* edit);

private:
    void FillClocks();
    void ShowChipTypeRules();

    config::BurnConfig& config_;
    config::LanguageTable& language_;
    Prompter& prompter_;
    PrompterSink sink_;
    SettingsSession session_;

    QFormLayout* form_ = nullptr;
    QLineEdit* project_ = nullptr;
    QComboBox* part_list_ = nullptr;
    QComboBox* clock_list_ = nullptr;
    QRadioButton* spi_nor_ = nullptr;
    QRadioButton* spi_nand_ = nullptr;
    QPushButton* spi_nor_list_ = nullptr;
    QPushButton* spi_nand_list_ = nullptr;
    QLineEdit* run_address_ = nullptr;
    QLineEdit* producer_ = nullptr;
    QLineEdit* signature_ = nullptr;
    QWidget* ram_row_ = nullptr;
    QLineEdit* ram_path_ = nullptr;
    std::array<QRadioButton*, 3> boot_buttons_{};
    QButtonGroup* boot_group_ = nullptr;
};

}  // namespace kestrow::app
