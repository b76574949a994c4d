#include "kestrow/app/spi_image_dialog.h"

#include "kestrow/config/station_folder.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QRadioButton>
#include <QVBoxLayout>

#include <cstring>

namespace kestrow::app {

namespace {

// The dialog's language entries.
constexpr int kCaption = 322, kChooseFlash = 323, kSpiLabel = 324, kNoSpiNorFlash = 325;

// Entry `index` of the station's language, or of the built-in English table
// when the dialog was given none.
QString DialogText(const config::LanguageTable* texts, int index) {
    const std::string text = texts != nullptr ? texts->GetString(static_cast<std::size_t>(index))
                                              : std::string(config::BuiltinEnglishTexts()[static_cast<std::size_t>(index)]);
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// Message boxes for the build's outcome; the diagnostics are not shown.
class MessageBoxReporter : public image::SpiImageReporter {
public:
    MessageBoxReporter(QWidget* parent, QString caption) : parent_(parent), caption_(std::move(caption)) {}
    void ShowMessage(const std::string& text, Kind kind) override {
        const QString message = QString::fromStdString(text);
        if (kind == Kind::Done) {
            QMessageBox::information(parent_, caption_, message);
        } else {
            QMessageBox::warning(parent_, caption_, message);
        }
    }
    void Diagnostic(const std::string&) override {}

private:
    QWidget* parent_;
    QString caption_;
};

// The button a chip type checks on opening: its own, else SOC_FB_V2's.
int InitialChipType(int chipType) {
    for (int type : SpiImageDialog::kChipTypes) {
        if (type == chipType) return type;
    }
    return config::ChipTypeNamed("SOC_FB_V2");
}

}  // namespace

SpiImageDialog::SpiImageDialog(const config::BurnConfig& config, const config::LanguageTable* texts, QWidget* parent)
    : QDialog(parent),
      config_(config),
      caption_(DialogText(texts, kCaption)),
      flashList_(new QComboBox(this)),
      chipButtons_(new QButtonGroup(this)),
      chooseFile_([caption = caption_](QWidget* owner) {
          // Like every other file dialog of the window, it opens in the station folder.
          QString path = QFileDialog::getSaveFileName(owner, caption, QString::fromStdString(config::StationFolder()),
                                                      "BIN Files(*.bin);;All Files (*.*)");
          if (!path.isEmpty() && QFileInfo(path).suffix().isEmpty()) path += ".bin";
          return path;
      }) {
    setWindowTitle(caption_);
    for (const config::SpiNorInfo& record : config_.spinor_list) {
        flashList_->addItem(QString::fromLocal8Bit(record.part_number,
                                                   int(strnlen(record.part_number, sizeof record.part_number))));
    }
    flashList_->setCurrentIndex(0);

    auto* flashRow = new QHBoxLayout;
    flashRow->addWidget(new QLabel(DialogText(texts, kSpiLabel), this));
    flashRow->addWidget(flashList_, 1);

    auto* chipGroup = new QGroupBox(this);
    auto* chipRow = new QHBoxLayout(chipGroup);
    const int checked = InitialChipType(config_.chip_type);
    for (int type : kChipTypes) {
        // The short name: the chip-type name without its family prefix.
        QString label = QString::fromUtf8(config::ChipTypeName(type).data(), int(config::ChipTypeName(type).size()));
        label.remove(QStringLiteral("SOC_"));
        auto* button = new QRadioButton(label, chipGroup);
        button->setChecked(type == checked);
        chipButtons_->addButton(button, type);
        chipRow->addWidget(button);
    }

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &SpiImageDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &SpiImageDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(DialogText(texts, kChooseFlash), this));
    layout->addLayout(flashRow);
    layout->addWidget(chipGroup);
    layout->addWidget(buttons);
}

void SpiImageDialog::accept() {
    const QString path = chooseFile_(this);
    if (!path.isEmpty()) {
        MessageBoxReporter boxes(this, caption_);
        image::SpiImageReporter& reporter = reporter_ != nullptr ? *reporter_ : boxes;
        config::BurnConfig chosen = config_;
        chosen.chip_type = chipButtons_->checkedId();
        image::MakeSpiImage(chosen, flashList_->currentText().toLocal8Bit().toStdString(), path.toStdString(),
                            reporter);
    }
    QDialog::accept();  // the dialog closes whether or not a file was chosen
}

void RunSpiImageCommand(const config::BurnConfig& config, const config::LanguageTable* texts, QWidget* parent,
                        const std::function<void(const QString&)>& showMessage) {
    if (config.spinor_list.empty()) {
        const QString text = DialogText(texts, kNoSpiNorFlash);
        if (showMessage) {
            showMessage(text);
        } else {
            QMessageBox::information(parent, DialogText(texts, kCaption), text);
        }
        return;
    }
    SpiImageDialog dialog(config, texts, parent);
    dialog.exec();
}

}  // namespace kestrow::app
