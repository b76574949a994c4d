#pragma once
// "Hardware": the RAM configuration (type, bank, row and column of the
// configuration word, with Import... and Export... of RAM configuration
// files) and the "Config Command Line" option with its address and text,
// over HardwareSession, which holds the rules.
#include "kestrow/app/hardware_session.h"
#include "kestrow/app/prompter.h"
#include "kestrow/config/language_table.h"

#include <QDialog>

#include <array>

class QButtonGroup;
class QComboBox;
class QGroupBox;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace kestrow::app {

inline constexpr std::array<const char*, 8> kRamTypeNames = {"MCP",    "SDRAM", "DDR16",    "DDR2_32",
                                                             "DDR2_16", "DDR32", "m_DDR_16", "m_DDR_32"};

class HardwareDialog : public QDialog {
    Q_OBJECT
public:
    HardwareDialog(config::BurnConfig& config, config::RamConfigPorter& porter, const config::LanguageTable& language,
                   Prompter& prompter, QWidget* parent = nullptr);

    void accept() override;
    // "Import..." and "Export...": ask for the file, then import or export it.
    void Import();
    void Export();

    QRadioButton* RamTypeButton(int type) const { return ram_types_[static_cast<std::size_t>(type)]; }
    QComboBox* BankList() const { return bank_; }
    QComboBox* RowList() const { return row_; }
    QComboBox* ColumnList() const { return column_; }
    QLineEdit* DdrFrequency() const { return ddr_; }
    QPushButton* ImportButton() const { return import_; }
    QPushButton* ExportButton() const { return export_; }
    QGroupBox* CommandLineOption() const { return command_line_; }
    QLineEdit* CommandLineAddress() const { return address_; }
    QLineEdit* CommandLineData() const { return data_; }

private:
    // The word the choices make, into the session, and the page shown for it.
    void ReadChoices();
    void ShowWord();

    config::BurnConfig& config_;
    const config::LanguageTable& language_;
    Prompter& prompter_;
    PrompterSink sink_;
    HardwareSession session_;

    std::array<QRadioButton*, 8> ram_types_{};
    QButtonGroup* ram_group_ = nullptr;
    QComboBox* bank_ = nullptr;
    QComboBox* row_ = nullptr;
    QComboBox* column_ = nullptr;
    QLineEdit* ddr_ = nullptr;
    QPushButton* import_ = nullptr;
    QPushButton* export_ = nullptr;
    QGroupBox* command_line_ = nullptr;
    QLineEdit* address_ = nullptr;
    QLineEdit* data_ = nullptr;
};

}  // namespace kestrow::app
