#include "kestrow/app/spi_image_dialog.h"

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

const char* const kCaption = "SPI NOR Flash Image";

// Message boxes for the build's outcome; the diagnostics are not shown.
class MessageBoxReporter : public image::SpiImageReporter {
public:
    explicit MessageBoxReporter(QWidget* parent) : parent_(parent) {}
    void ShowMessage(const std::string& text, Kind kind) override {
        const QString message = QString::fromStdString(text);
        if (kind == Kind::Done) {
            QMessageBox::information(parent_, kCaption, message);
        } else {
            QMessageBox::warning(parent_, kCaption, message);
        }
    }
    void Diagnostic(const std::string&) override {}

private:
    QWidget* parent_;
};

QString ChooseImageFile(QWidget* parent) {
    QString path = QFileDialog::getSaveFileName(parent, kCaption, QString(), "BIN Files(*.bin);;All Files (*.*)");
    if (!path.isEmpty() && QFileInfo(path).suffix().isEmpty()) path += ".bin";
    return path;
}

// The button a chip type checks on opening: its own, else the one of type 4.
int InitialChipType(int chipType) {
    for (int type : SpiImageDialog::kChipTypes) {
        if (type == chipType) return type;
    }
    return 4;
}

}  // namespace

SpiImageDialog::SpiImageDialog(config::BurnConfig& config, QWidget* parent)
    : QDialog(parent),
      config_(config),
      flashList_(new QComboBox(this)),
      chipButtons_(new QButtonGroup(this)),
      chooseFile_(ChooseImageFile) {
    setWindowTitle(kCaption);
    for (const config::SpiNorInfo& record : config_.spinor_list) {
        flashList_->addItem(QString::fromLocal8Bit(record.part_number,
                                                   int(strnlen(record.part_number, sizeof record.part_number))));
    }
    flashList_->setCurrentIndex(0);

    auto* flashRow = new QHBoxLayout;
    flashRow->addWidget(new QLabel("SPI", this));
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
    // A click sets the configured chip type at once; Cancel does not undo it.
    connect(chipButtons_, &QButtonGroup::idClicked, this, [this](int type) { config_.chip_type = type; });

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &SpiImageDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &SpiImageDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel("Please choose the flash:", this));
    layout->addLayout(flashRow);
    layout->addWidget(chipGroup);
    layout->addWidget(buttons);
}

void SpiImageDialog::accept() {
    const QString path = chooseFile_(this);
    if (!path.isEmpty()) {
        MessageBoxReporter boxes(this);
        image::SpiImageReporter& reporter = reporter_ != nullptr ? *reporter_ : boxes;
        image::MakeSpiImage(config_, flashList_->currentText().toLocal8Bit().toStdString(), path.toStdString(),
                            reporter);
    }
    QDialog::accept();  // the dialog closes whether or not a file was chosen
}

void RunSpiImageCommand(config::BurnConfig& config, QWidget* parent,
                        const std::function<void(const QString&)>& showMessage) {
    if (config.spinor_list.empty()) {
        const QString text = "No SPI NOR Flash to choose.";
        if (showMessage) {
            showMessage(text);
        } else {
            QMessageBox::information(parent, kCaption, text);
        }
        return;
    }
    SpiImageDialog dialog(config, parent);
    dialog.exec();
}

}  // namespace kestrow::app
