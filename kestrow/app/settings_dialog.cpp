#include "kestrow/app/settings_dialog.h"

#include "kestrow/config/station_folder.h"

#include "kestrow/app/flash_list_dialog.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include <algorithm>

namespace kestrow::app {
namespace {

constexpr const char* kBinFilter = "BIN Files (*.bin *.nb0);;All Files (*)";
constexpr std::array<config::AddedText, 3> kBootModeLabels = {config::AddedText::BootModeNonSecure,
                                                              config::AddedText::BootModeNonSecureToSecure,
                                                              config::AddedText::BootModeSecure};

}  // namespace

BurnSettingsDialog::BurnSettingsDialog(config::BurnConfig& config, config::LanguageTable& language,
                                       engine::BoardLink& link, Prompter& prompter, QWidget* parent)
    : QDialog(parent),
      config_(config),
      language_(language),
      prompter_(prompter),
      sink_(prompter, language, this),
      session_(config, link, sink_) {
    auto text = [this](config::AddedText id) { return Text(language_, id); };
    setWindowTitle(WithoutMnemonic(text(config::AddedText::BurnSettingsButton)));
    form_ = new QFormLayout;

    project_ = new QLineEdit(QString::fromStdString(config_.project_name), this);
    project_->setReadOnly(true);
    form_->addRow(text(config::AddedText::ProjectLabel), project_);

    part_list_ = new QComboBox(this);
    for (const std::string& part : config_.part_numbers) part_list_->addItem(QString::fromStdString(part));
    part_list_->setCurrentIndex(config_.part_index);
    form_->addRow(text(config::AddedText::PartNumberLabel), part_list_);
    clock_list_ = new QComboBox(this);
    form_->addRow(text(config::AddedText::FrequencyLabel), clock_list_);
    FillClocks();

    auto* flash = new QGroupBox(text(config::AddedText::FlashGroup), this);
    auto* flashLayout = new QHBoxLayout(flash);
    spi_nor_ = new QRadioButton(text(config::AddedText::SpiNorFlash), flash);
    spi_nand_ = new QRadioButton(text(config::AddedText::SpiNandFlash), flash);
    spi_nor_list_ = new QPushButton(text(config::AddedText::SupportList), flash);
    spi_nand_list_ = new QPushButton(text(config::AddedText::SupportList), flash);
    flashLayout->addWidget(spi_nor_);
    flashLayout->addWidget(spi_nor_list_);
    flashLayout->addWidget(spi_nand_);
    flashLayout->addWidget(spi_nand_list_);
    spi_nor_->setChecked(config_.chip_mode == config::kModeSpiNor);
    spi_nand_->setChecked(config_.chip_mode == config::kModeSpiNand);
    form_->addRow(flash);

    run_address_ = new QLineEdit(QString::asprintf("%08x", config_.producer_run_addr), this);
    // Hex digits only: "zz" would have been read as 0x00000000.
    run_address_->setValidator(
        new QRegularExpressionValidator(QRegularExpression("(0[xX])?[0-9a-fA-F]{1,8}"), run_address_));
    auto* runRow = new QHBoxLayout;
    runRow->addWidget(new QLabel("0x", this));
    runRow->addWidget(run_address_);
    form_->addRow(text(config::AddedText::RunAddressLabel), runRow);

    auto pathRow = [this, text](const std::string& value, QLineEdit*& edit) {
        auto* row = new QWidget(this);
        auto* layout = new QHBoxLayout(row);
        layout->setContentsMargins(0, 0, 0, 0);
        edit = new QLineEdit(QString::fromStdString(value), row);
        auto* browse = new QPushButton(text(config::AddedText::BrowseButton), row);
        layout->addWidget(edit, 1);
        layout->addWidget(browse);
        QLineEdit* target = edit;
        connect(browse, &QPushButton::clicked, this, [this, target] { Browse(target); });
        return row;
    };
    form_->addRow(text(config::AddedText::ProducerLabel), pathRow(config_.path_producer, producer_));
    form_->addRow(text(config::AddedText::SignatureLabel), pathRow(config_.path_1k_data, signature_));
    // Filled whatever the chip type: a part change can make the row appear.
    ram_row_ = pathRow(config_.path_ram, ram_path_);
    form_->addRow(text(config::AddedText::RamPathLabel), ram_row_);

    auto* boot = new QGroupBox(text(config::AddedText::BootModeGroup), this);
    auto* bootLayout = new QVBoxLayout(boot);
    boot_group_ = new QButtonGroup(this);
    for (int mode = 0; mode < 3; ++mode) {
        auto* button = new QRadioButton(text(kBootModeLabels[static_cast<std::size_t>(mode)]), boot);
        boot_buttons_[static_cast<std::size_t>(mode)] = button;
        boot_group_->addButton(button, mode);
        bootLayout->addWidget(button);
    }
    form_->addRow(boot);
    ShowChipTypeRules();

    auto* buttons = new QDialogButtonBox(this);
    buttons->addButton(Text(language_, 328), QDialogButtonBox::AcceptRole);
    buttons->addButton(Text(language_, 329), QDialogButtonBox::RejectRole);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form_);
    layout->addWidget(buttons);

    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(part_list_, &QComboBox::activated, this, [this](int index) {
        session_.ChoosePart(index);
        FillClocks();
        ShowChipTypeRules();
    });
    connect(clock_list_, &QComboBox::activated, this, [this](int line) { session_.ChooseClock(line); });
    connect(spi_nor_, &QRadioButton::clicked, this, [this] { session_.ChooseFlash(config::kModeSpiNor); });
    connect(spi_nand_, &QRadioButton::clicked, this, [this] { session_.ChooseFlash(config::kModeSpiNand); });
    connect(boot_group_, &QButtonGroup::idClicked, this, [this](int mode) { session_.ChooseBootMode(mode); });
    connect(spi_nor_list_, &QPushButton::clicked, this, [this] {
        FlashListDialog(config::FlashListKind::SpiNor, config_, language_, this, &prompter_).exec();
    });
    connect(spi_nand_list_, &QPushButton::clicked, this, [this] {
        FlashListDialog(config::FlashListKind::SpiNand, config_, language_, this, &prompter_).exec();
    });
}

void BurnSettingsDialog::FillClocks() {
    QSignalBlocker block(clock_list_);
    clock_list_->clear();
    for (const std::string& line : session_.Clocks().lines) clock_list_->addItem(QString::fromStdString(line));
    if (clock_list_->count() > 0) clock_list_->setCurrentIndex(session_.SelectedClockLine());
}

void BurnSettingsDialog::ShowChipTypeRules() {
    const bool editable = session_.BootModeEditable();
    boot_buttons_[static_cast<std::size_t>(std::clamp(config_.boot_mode_flag, 0, 2))]->setChecked(true);
    for (QRadioButton* button : boot_buttons_) button->setEnabled(editable);
    form_->setRowVisible(ram_row_, session_.RamPathUsed());
    ram_row_->setEnabled(session_.RamPathUsed());
}

void BurnSettingsDialog::Browse(QLineEdit* edit) {
    // A relative path is the station folder's: the dialog opens there.
    QString chosen =
        prompter_.ChooseFile(this, kBinFilter, QString::fromStdString(config::ResolveProgramPath(edit->text().toStdString())));
    if (chosen.isEmpty()) return;
    edit->setText(QString::fromStdString(StationRelativePath(chosen.toStdString(), config_.program_dir)));
}

void BurnSettingsDialog::accept() {
    if (!run_address_->hasAcceptableInput()) {
        run_address_->setFocus();
        run_address_->setStyleSheet("background: #ffc8c8");
        return;
    }
    SettingsFields fields;
    fields.project_name = project_->text().toStdString();
    fields.producer = producer_->text().toStdString();
    fields.signature_data = signature_->text().toStdString();
    fields.ram_path = ram_path_->text().toStdString();
    fields.run_address = run_address_->text().toStdString();
    fields.spi_nor_checked = spi_nor_->isChecked();
    fields.spi_nand_checked = spi_nand_->isChecked();
    fields.clock_line = clock_list_->currentIndex();
    session_.Accept(fields);
    QDialog::accept();
}

void BurnSettingsDialog::reject() {
    session_.Cancel();
    QDialog::reject();
}

}  // namespace kestrow::app
