#include "kestrow/app/disk_image_dialog.h"

#include "kestrow/config/station_folder.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace kestrow::app {

using image::DiskImageText;

namespace {

constexpr int kTickMs = 1000;

QString FromUtf8(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

}  // namespace

DiskImageDialog::DiskImageDialog(int chipMode, const config::LanguageTable* texts, QWidget* parent)
    : QDialog(parent), chipMode_(chipMode), texts_(texts), maker_(*this) {
    setWindowTitle(Text(DiskImageText::Title));
    auto* fields = new QGridLayout;
    auto addRow = [&](int row, DiskImageText label, QWidget* field, QWidget* extra = nullptr) {
        fields->addWidget(new QLabel(Text(label)), row, 0);
        fields->addWidget(field, row, 1);
        if (extra != nullptr) fields->addWidget(extra, row, 2);
    };
    source_ = new QLineEdit;
    source_->setObjectName("source");
    target_ = new QLineEdit;
    target_->setObjectName("target");
    for (QLineEdit* edit : {source_, target_}) edit->setMaxLength(260);
    auto* browseSource = new QPushButton(Text(DiskImageText::Browse));
    auto* browseTarget = new QPushButton(Text(DiskImageText::Browse));
    connect(browseSource, &QPushButton::clicked, this, [this] { Browse(source_); });
    connect(browseTarget, &QPushButton::clicked, this, [this] { Browse(target_); });
    imageName_ = new QLineEdit;
    imageName_->setObjectName("imageName");
    imageName_->setMaxLength(260);
    capacity_ = new QLineEdit;
    capacity_->setObjectName("capacity");
    pageSize_ = new QComboBox;
    pageSize_->setObjectName("pageSize");
    for (const char* choice : image::kPageSizeChoices) pageSize_->addItem(choice);
    sectorSize_ = new QLineEdit;
    sectorSize_->setObjectName("sectorSize");
    sectorSize_->setEnabled(false);
    connect(pageSize_, &QComboBox::currentTextChanged, this, [this](const QString& page) {
        sectorSize_->setText(QString::number(image::SectorSizeForPage(page.toUInt())));
    });
    pageSize_->setCurrentIndex(-1);  // nothing chosen yet: the sector size stays empty
    addRow(0, DiskImageText::SourceFolder, source_, browseSource);
    addRow(1, DiskImageText::TargetFolder, target_, browseTarget);
    addRow(2, DiskImageText::ImageFilename, imageName_);
    addRow(3, DiskImageText::Capacity, capacity_);
    addRow(4, DiskImageText::PageSize, pageSize_);
    addRow(5, DiskImageText::SectorSize, sectorSize_);

    auto* info = new QGroupBox(Text(DiskImageText::MakeInformation));
    auto* infoLayout = new QVBoxLayout(info);
    status_ = new QLabel(Text(DiskImageText::Ready));
    status_->setObjectName("status");
    status_->setWordWrap(true);
    elapsed_ = new QLabel(FromUtf8(image::FormatElapsed(0)));
    elapsed_->setObjectName("elapsed");
    percent_ = new QLabel(FromUtf8(image::FormatPercent(0)));
    percent_->setObjectName("percent");
    progress_ = new QProgressBar;
    progress_->setObjectName("progress");
    progress_->setRange(0, 100);
    progress_->setValue(0);
    progress_->setTextVisible(false);
    auto* progressRow = new QHBoxLayout;
    progressRow->addWidget(progress_, 1);
    progressRow->addWidget(percent_);
    progressRow->addWidget(elapsed_);
    infoLayout->addWidget(status_);
    infoLayout->addLayout(progressRow);

    create_ = new QPushButton(Text(DiskImageText::Create));
    create_->setObjectName("create");
    auto* end = new QPushButton(Text(DiskImageText::End));
    end->setObjectName("end");
    connect(create_, &QPushButton::clicked, this, &DiskImageDialog::OnCreate);
    connect(end, &QPushButton::clicked, this, &QDialog::close);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(create_);
    buttons->addWidget(end);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(fields);
    layout->addWidget(info);
    layout->addLayout(buttons);

    timer_ = new QTimer(this);
    timer_->setInterval(kTickMs);
    connect(timer_, &QTimer::timeout, this, &DiskImageDialog::OnTick);
}

DiskImageDialog::~DiskImageDialog() { maker_.Cancel(); }

QString DiskImageDialog::Text(const image::DiskImageMessage& message) const {
    const image::DiskImageTextEntry& entry = image::TextEntry(message.text);
    std::string pattern = image::EnglishPattern(entry);
    if (texts_ != nullptr && entry.added) {
        pattern = texts_->GetAddedText(*entry.added);
    } else if (texts_ != nullptr && entry.languageIndex >= 0) {
        std::string translated = texts_->GetString(static_cast<std::size_t>(entry.languageIndex));
        if (!translated.empty()) pattern = std::move(translated);
    }
    return FromUtf8(image::MessageText(pattern, message));
}

void DiskImageDialog::Browse(QLineEdit* edit) {
    // An empty field starts from the station folder, not the working folder.
    const QString start = edit->text().isEmpty() ? QString::fromStdString(config::StationFolder()) : edit->text();
    const QString folder = QFileDialog::getExistingDirectory(this, Text(DiskImageText::ChoosePath), start);
    if (!folder.isEmpty()) edit->setText(folder);
}

void DiskImageDialog::OnCreate() {
    const image::DiskImageFields fields{source_->text().toStdString(),   target_->text().toStdString(),
                                        imageName_->text().toStdString(), capacity_->text().trimmed().toStdString(),
                                        pageSize_->currentText().toStdString(), sectorSize_->text().toStdString()};
    if (!maker_.Create(fields, chipMode_)) return;
    seconds_ = 0;
    elapsed_->setText(FromUtf8(image::FormatElapsed(0)));
    ShowProgress(0);
    timer_->start();
}

void DiskImageDialog::OnTick() {
    ShowProgress(maker_.Percent());
    elapsed_->setText(FromUtf8(image::FormatElapsed(++seconds_)));
}

void DiskImageDialog::ShowProgress(int percent) {
    progress_->setValue(percent);
    percent_->setText(FromUtf8(image::FormatPercent(percent)));
}

// The view calls arrive on the worker thread as well; each is carried to the
// window thread, where the widgets live.
void DiskImageDialog::ShowStatus(const image::DiskImageMessage& message) {
    QMetaObject::invokeMethod(this, [this, text = Text(message)] { status_->setText(text); });
}

void DiskImageDialog::ShowMessageBox(const image::DiskImageMessage& message) {
    // Boxes carry the program's caption (language entry 0), or "Error" without one.
    const std::string caption = texts_ != nullptr ? texts_->GetString(0) : std::string();
    QMetaObject::invokeMethod(this, [this, text = Text(message), caption = FromUtf8(caption.empty() ? "Error" : caption)] {
        if (messageBox_) messageBox_->close();
        messageBox_ = new QMessageBox(QMessageBox::Warning, caption, text, QMessageBox::Ok, this);
        messageBox_->setAttribute(Qt::WA_DeleteOnClose);
        messageBox_->open();
    });
}

void DiskImageDialog::SetCreateEnabled(bool enabled) {
    QMetaObject::invokeMethod(this, [this, enabled] { create_->setEnabled(enabled); });
}

void DiskImageDialog::BuildFinished(bool success, bool cancelled, const std::string& detail) {
    QString text;
    if (success) text = Text(DiskImageText::Success);
    else if (!cancelled) text = Text(DiskImageText::Failed) + (detail.empty() ? "" : "\n" + FromUtf8(detail));
    QMetaObject::invokeMethod(this, [this, success, text] {
        timer_->stop();
        if (success) ShowProgress(100);
        if (!text.isEmpty()) status_->setText(text);
    });
}

void DiskImageDialog::closeEvent(QCloseEvent* event) {
    maker_.Cancel();
    QDialog::closeEvent(event);
}

}  // namespace kestrow::app
