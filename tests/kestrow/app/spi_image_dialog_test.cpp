#include "kestrow/app/spi_image_dialog.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QComboBox>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace kestrow::app {
namespace {

class Recorder : public image::SpiImageReporter {
public:
    void ShowMessage(const std::string& text, Kind) override { messages.push_back(text); }
    void Diagnostic(const std::string&) override {}
    std::vector<std::string> messages;
};

config::SpiNorInfo Flash(const char* name) {
    config::SpiNorInfo r{};
    r.total_size = 2 * 1024 * 1024;
    r.page_size = 256;
    r.erase_size = 65536;
    r.clock = 20'000'000;
    std::strncpy(r.part_number, name, sizeof r.part_number - 1);
    return r;
}

TEST(SpiImageDialogTest, ListsTheFlashesAndChecksTheConfiguredChipType) {
    config::BurnConfig cfg;
    cfg.spinor_list = {Flash("FIRST"), Flash("SECOND")};
    const struct {
        int configured, checked;
    } cases[] = {{2, 2}, {3, 3}, {5, 5}, {6, 6}, {4, 4}, {0, 4}, {11, 4}};
    for (const auto& c : cases) {
        cfg.chip_type = c.configured;
        SpiImageDialog dialog(cfg);
        EXPECT_EQ(dialog.windowTitle(), "SPI NOR Flash Image");
        EXPECT_EQ(dialog.FlashList()->count(), 2);
        EXPECT_EQ(dialog.FlashList()->currentText(), "FIRST");
        EXPECT_EQ(dialog.ChipTypeButtons()->checkedId(), c.checked) << c.configured;
        EXPECT_EQ(cfg.chip_type, c.configured);  // opening changes nothing
    }
    // Button order; a click chooses the image's family, not the station's chip type.
    cfg.chip_type = 6;
    SpiImageDialog dialog(cfg);
    const auto buttons = dialog.ChipTypeButtons()->buttons();
    ASSERT_EQ(buttons.size(), 5);
    EXPECT_EQ(buttons[0]->text(), "FA_V8");
    EXPECT_EQ(dialog.ChipTypeButtons()->id(buttons[2]), 4);
    buttons[2]->click();
    EXPECT_EQ(dialog.ChipTypeButtons()->checkedId(), 4);
    EXPECT_EQ(cfg.chip_type, 6);
    dialog.reject();
    EXPECT_EQ(cfg.chip_type, 6);
}

TEST(SpiImageDialogTest, OkBuildsTheChosenFlashIntoTheChosenFile) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string boot = dir.filePath("u-boot.bin").toStdString();
    std::string loader(4096, '\x5A');
    loader.replace(200, 4, "SPIP");  // where the flash record goes
    std::ofstream(boot, std::ios::binary) << loader;

    config::BurnConfig cfg;
    cfg.spinor_list = {Flash("FIRST"), Flash("SECOND")};
    cfg.spinor_list[1].total_size = 4 * 1024 * 1024;
    cfg.path_nandboot = boot;
    cfg.partitions = {{"MAC", 4, config::kPartitionData, 1, 0, config::kMediumSpiNor},
                      {"ENV", 4, config::kPartitionData, 1, 0, config::kMediumSpiNor}};
    cfg.platform_type = 1;
    cfg.chip_type = 3;
    const QString output = dir.filePath("out.bin");

    Recorder recorder;
    {
        SpiImageDialog cancelled(cfg);
        cancelled.SetReporter(&recorder);
        cancelled.SetFileChooser([](QWidget*) { return QString(); });
        cancelled.accept();
        EXPECT_EQ(cancelled.result(), QDialog::Accepted);  // closes without building
        EXPECT_TRUE(recorder.messages.empty());
    }

    // The family the dialog shows goes into the boot header; the station keeps its chip type.
    const struct {
        int button;
        const char* magic;
    } families[] = {{3, "QMSH_P80"}, {5, "MORVO_K6"}};
    for (const auto& family : families) {
        SCOPED_TRACE(family.button);
        recorder.messages.clear();
        SpiImageDialog dialog(cfg);
        dialog.SetReporter(&recorder);
        dialog.SetFileChooser([&](QWidget*) { return output; });
        dialog.FlashList()->setCurrentIndex(1);
        dialog.ChipTypeButtons()->button(family.button)->click();
        dialog.accept();
        EXPECT_EQ(dialog.result(), QDialog::Accepted);
        ASSERT_EQ(recorder.messages, std::vector<std::string>{image::kSpiImageDoneText});
        EXPECT_EQ(QFileInfo(output).size(), 4 * 1024 * 1024);
        std::ifstream image(output.toStdString(), std::ios::binary);
        std::string head(12, '\0');
        image.read(head.data(), 12);
        EXPECT_EQ(head.substr(4, 8), family.magic);
        EXPECT_EQ(cfg.chip_type, 3);
    }
}

TEST(SpiImageDialogTest, CommandWithoutSpiNorFlashOnlyTellsSo) {
    config::BurnConfig cfg;
    QString shown;
    RunSpiImageCommand(cfg, nullptr, nullptr, [&](const QString& text) { shown = text; });
    EXPECT_EQ(shown, "No SPI NOR Flash to choose.");
}

TEST(SpiImageDialogTest, WordsComeFromTheActiveLanguage) {
    QTemporaryDir station;
    config::LanguageTable chinese(station.path().toStdString());
    ASSERT_TRUE(chinese.LoadLanguage(config::LanguageTable::kChinese));
    config::BurnConfig cfg;
    QString shown;
    RunSpiImageCommand(cfg, &chinese, nullptr, [&](const QString& text) { shown = text; });
    EXPECT_EQ(shown.toStdString(), chinese.GetString(325));

    cfg.spinor_list = {Flash("FIRST")};
    SpiImageDialog dialog(cfg, &chinese);
    EXPECT_EQ(dialog.windowTitle().toStdString(), chinese.GetString(322));
    EXPECT_NE(chinese.GetString(322), "SPI NOR Flash Image");
}

}  // namespace
}  // namespace kestrow::app
