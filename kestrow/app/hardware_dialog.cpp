#include "kestrow/app/hardware_dialog.h"

#include "kestrow/config/station_folder.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

namespace kestrow::app {
namespace {

// The dialog's language entries.
constexpr int kCommandLineText = 109, kAddressText = 110, kDataText = 111, kRamText = 159, kImportText = 163,
              kExportText = 164, kRowText = 165, kColumnText = 166, kRamTypeText = 171, kBankText = 173,
              kImportedText = 316, kExportedText = 319, kOkText = 328, kCancelText = 329;
constexpr const char* kRamFileFilter = "Text Files (*.txt);;All Files (*)";

QString Added(const config::LanguageTable& language, config::AddedText id) {
    return QString::fromStdString(language.GetAddedText(id));
}

QComboBox* NumberList(int count, QWidget* parent) {
    auto* list = new QComboBox(parent);
    for (int i = 0; i < count; ++i) list->addItem(QString::number(i));
    return list;
}

}  // namespace

HardwareDialog::HardwareDialog(config::BurnConfig& config, config::RamConfigPorter& porter,
                               const config::LanguageTable& language, Prompter& prompter, QWidget* parent)
    : QDialog(parent),
      config_(config),
      language_(language),
      prompter_(prompter),
      sink_(prompter, language, this),
      session_(config, porter, sink_) {
    setWindowTitle(WithoutMnemonic(Added(language_, config::AddedText::Hardware)));

    auto* ram = new QGroupBox(Text(language_, kRamText), this);
    auto* ramLayout = new QVBoxLayout(ram);
    auto* types = new QGridLayout;
    ram_group_ = new QButtonGroup(this);
    for (int type = 0; type < static_cast<int>(kRamTypeNames.size()); ++type) {
        auto* button = new QRadioButton(kRamTypeNames[static_cast<std::size_t>(type)], ram);
        ram_types_[static_cast<std::size_t>(type)] = button;
        ram_group_->addButton(button, type);
        types->addWidget(button, type / 4, type % 4);
    }
    auto* choices = new QFormLayout;
    bank_ = NumberList(2, ram);
    row_ = NumberList(8, ram);
    column_ = NumberList(8, ram);
    ddr_ = new QLineEdit(QString::number(config_.ddr_freq_param), ram);
    ddr_->setReadOnly(true);
    choices->addRow(Text(language_, kBankText), bank_);
    choices->addRow(Text(language_, kRowText), row_);
    choices->addRow(Text(language_, kColumnText), column_);
    choices->addRow(Added(language_, config::AddedText::DdrFrequency), ddr_);
    import_ = new QPushButton(Text(language_, kImportText), ram);
    export_ = new QPushButton(Text(language_, kExportText), ram);
    auto* files = new QHBoxLayout;
    files->addStretch();
    files->addWidget(import_);
    files->addWidget(export_);
    ramLayout->addWidget(new QLabel(Text(language_, kRamTypeText), ram));
    ramLayout->addLayout(types);
    ramLayout->addLayout(choices);
    ramLayout->addLayout(files);

    const CommandLineFields& opened = session_.OpenedCommandLine();
    command_line_ = new QGroupBox(Text(language_, kCommandLineText), this);
    command_line_->setCheckable(true);
    command_line_->setChecked(opened.enabled);
    auto* commandForm = new QFormLayout(command_line_);
    address_ = new QLineEdit(QString::fromStdString(opened.address), command_line_);
    data_ = new QLineEdit(QString::fromStdString(opened.data), command_line_);
    data_->setMaxLength(static_cast<int>(kCommandLineChars));
    commandForm->addRow(Text(language_, kAddressText), address_);
    commandForm->addRow(Text(language_, kDataText), data_);

    auto* buttons = new QDialogButtonBox(this);
    buttons->addButton(Text(language_, kOkText), QDialogButtonBox::AcceptRole);
    buttons->addButton(Text(language_, kCancelText), QDialogButtonBox::RejectRole);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(ram);
    layout->addWidget(command_line_);
    layout->addWidget(buttons);

    ShowWord();
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(import_, &QPushButton::clicked, this, &HardwareDialog::Import);
    connect(export_, &QPushButton::clicked, this, &HardwareDialog::Export);
    connect(ram_group_, &QButtonGroup::idClicked, this, [this] { ReadChoices(); });
    for (QComboBox* list : {bank_, row_, column_})
        connect(list, &QComboBox::activated, this, [this] { ReadChoices(); });
}

void HardwareDialog::ReadChoices() {
    session_.SetWord({ram_group_->checkedId(), bank_->currentIndex(), column_->currentIndex(), row_->currentIndex()});
    ShowWord();
}

void HardwareDialog::ShowWord() {
    const config::RamConfigWord& word = session_.Word();
    ram_types_[static_cast<std::size_t>(word.ram_type & 7)]->setChecked(true);
    for (auto [list, value] : {std::pair{bank_, word.bank}, std::pair{row_, word.row}, std::pair{column_, word.column}}) {
        QSignalBlocker block(list);
        list->setCurrentIndex(value);
    }
    ddr_->setEnabled(session_.DdrFrequencyEditable());
}

void HardwareDialog::Import() {
    const QString path = prompter_.ChooseFile(this, kRamFileFilter,
                                              QString::fromStdString(config::ResolveProgramPath("ramconfig")));
    // An empty choice is told as "Nothing import" by the session.
    if (!session_.Import(path.toStdString())) return;
    ShowWord();
    prompter_.Show(this, ProgramCaption(language_), Text(language_, kImportedText), config::MessageIcon::Information);
}

void HardwareDialog::Export() {
    const QString path =
        prompter_.ChooseSaveFile(this, kRamFileFilter, QString::fromStdString(session_.SuggestedExportPath()));
    if (!session_.Export(path.toStdString())) return;
    prompter_.Show(this, ProgramCaption(language_), Text(language_, kExportedText), config::MessageIcon::Information);
}

void HardwareDialog::accept() {
    session_.Accept({command_line_->isChecked(), address_->text().toStdString(), data_->text().toStdString()});
    QDialog::accept();
}

}  // namespace kestrow::app
