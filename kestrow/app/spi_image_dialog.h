#pragma once
// The SPI NOR image dialog: pick a flash of the configuration's SPI NOR list
// and a chip family, choose the output file, and build the image. The chip
// family is the dialog's own choice for the image; the station's chip type,
// which wakes the boards on the line, stays as it is.
#include "kestrow/config/burn_config.h"
#include "kestrow/config/chip_types.h"
#include "kestrow/config/language_table.h"
#include "kestrow/image/spi_image.h"

#include <QDialog>

#include <functional>

class QButtonGroup;
class QComboBox;

namespace kestrow::app {

class SpiImageDialog : public QDialog {
    Q_OBJECT
public:
    // The chip types offered, in button order: those with a boot header layout
    // of the image builder, but SOC_FA_V9.
    static constexpr int kChipTypes[] = {
        config::ChipTypeNamed("SOC_FA_V8"), config::ChipTypeNamed("SOC_FA_V6"), config::ChipTypeNamed("SOC_FB_V2"),
        config::ChipTypeNamed("SOC_FA_V7"), config::ChipTypeNamed("SOC_FA_V5")};

    // `texts` gives the dialog's words in the station's language; without it
    // they are English.
    SpiImageDialog(const config::BurnConfig& config, const config::LanguageTable* texts = nullptr,
                   QWidget* parent = nullptr);

    // Asks for the output file; an empty result cancels. The default is a
    // save-file dialog that adds ".bin" to a name typed without an extension.
    void SetFileChooser(std::function<QString(QWidget*)> chooser) { chooseFile_ = std::move(chooser); }
    // Where the build's messages go; the default shows message boxes.
    void SetReporter(image::SpiImageReporter* reporter) { reporter_ = reporter; }

    QComboBox* FlashList() const { return flashList_; }
    QButtonGroup* ChipTypeButtons() const { return chipButtons_; }

    void accept() override;

private:
    const config::BurnConfig& config_;
    QString caption_;
    QComboBox* flashList_;
    QButtonGroup* chipButtons_;
    std::function<QString(QWidget*)> chooseFile_;
    image::SpiImageReporter* reporter_ = nullptr;
};

// The Tools command: the dialog, or the message "No SPI NOR Flash to choose."
// when the configuration lists no SPI NOR flash. `showMessage` defaults to a
// message box.
void RunSpiImageCommand(const config::BurnConfig& config, const config::LanguageTable* texts, QWidget* parent,
                        const std::function<void(const QString&)>& showMessage = {});

}  // namespace kestrow::app
