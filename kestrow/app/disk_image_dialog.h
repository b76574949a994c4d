#pragma once
// The "Image Create Box": fields for a disk image build, its progress, elapsed
// time and status. Everything it decides is in kestrow/image/disk_image_maker.h;
// this only renders it.
#include "kestrow/config/language_table.h"
#include "kestrow/image/disk_image_maker.h"

#include <QDialog>
#include <QMessageBox>
#include <QPointer>

#include <string>

class QComboBox;
class QLabel;
class QLineEdit;

class QProgressBar;
class QPushButton;
class QTimer;

namespace kestrow::app {

class DiskImageDialog final : public QDialog, private image::DiskImageView {
    Q_OBJECT

public:
    // `chipMode` is the station's configured burn medium; labels and messages
    // come from `texts` (English when it is null or lacks an entry).
    DiskImageDialog(int chipMode, const config::LanguageTable* texts = nullptr, QWidget* parent = nullptr);
    ~DiskImageDialog() override;

    // The most recent message box, while it is open (for tests and automation).
    QMessageBox* OpenMessageBox() const { return messageBox_; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    QString Text(const image::DiskImageMessage& message) const;
    QString Text(image::DiskImageText id) const { return Text({id, {}}); }
    void Browse(QLineEdit* edit);
    void OnCreate();
    void OnTick();
    void ShowProgress(int percent);

    // image::DiskImageView, called from the worker thread too.
    void ShowStatus(const image::DiskImageMessage& message) override;
    void ShowMessageBox(const image::DiskImageMessage& message) override;
    void SetCreateEnabled(bool enabled) override;
    void BuildFinished(bool success, bool cancelled, const std::string& detail) override;

    int chipMode_;
    const config::LanguageTable* texts_;
    QLineEdit* source_;
    QLineEdit* target_;
    QLineEdit* imageName_;
    QLineEdit* capacity_;
    QComboBox* pageSize_;
    QLineEdit* sectorSize_;
    QLabel* status_;
    QLabel* elapsed_;
    QLabel* percent_;
    QProgressBar* progress_;
    QPushButton* create_;
    QTimer* timer_;
    QPointer<QMessageBox> messageBox_;
    std::uint64_t seconds_ = 0;
    image::DiskImageMaker maker_;  // last member: its worker stops before the widgets go
};

}  // namespace kestrow::app
