// The "Image Create Box" offscreen: it shows what the maker reports and keeps
// Create off while a build runs.
#include "kestrow/app/disk_image_dialog.h"
#include "tests/kestrow/fat/outside_tools.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>

#include <gtest/gtest.h>

namespace kestrow::app {
namespace {

namespace fs = std::filesystem;

template <typename T>
T* Child(QWidget& dialog, const char* name) {
    T* child = dialog.findChild<T*>(name);
    EXPECT_NE(child, nullptr) << name;
    return child;
}

QString StatusOf(DiskImageDialog& d) { return Child<QLabel>(d, "status")->text(); }

// Lets queued reports from the worker arrive until `done` holds or time runs out.
template <typename Done>
bool ProcessUntil(Done done) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < 30000) QApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

TEST(DiskImageDialog, StartsReadyAndSectorSizeFollowsThePage) {
    DiskImageDialog d(1);
    EXPECT_EQ(StatusOf(d), "Ready.....");
    EXPECT_EQ(Child<QLabel>(d, "elapsed")->text(), "00:00:00");
    EXPECT_EQ(Child<QLabel>(d, "percent")->text(), "0%");
    auto* sector = Child<QLineEdit>(d, "sectorSize");
    EXPECT_FALSE(sector->isEnabled());
    auto* page = Child<QComboBox>(d, "pageSize");
    const std::pair<const char*, const char*> cases[] = {{"8192", "4096"}, {"1024", "1024"}, {"16384", "4096"}, {"512", "512"}};
    for (auto [chosen, shown] : cases) {
        page->setCurrentText(chosen);
        EXPECT_EQ(sector->text(), shown) << chosen;
    }
}

TEST(DiskImageDialog, EmptyFieldShowsInTheStatusInTheActiveLanguage) {
    kestrow::testing::TempFolder station;
    config::LanguageTable chinese(station.path().string());
    ASSERT_TRUE(chinese.LoadLanguage(config::LanguageTable::kChinese));
    const QString expected = QString::fromStdString(chinese.GetString(300));
    ASSERT_FALSE(expected.isEmpty());
    DiskImageDialog d(1, &chinese);
    EXPECT_EQ(d.windowTitle().toStdString(), chinese.GetString(280));
    Child<QPushButton>(d, "create")->click();
    EXPECT_TRUE(ProcessUntil([&] { return StatusOf(d) == expected; })) << StatusOf(d).toStdString();
}

TEST(DiskImageDialog, ConfigurationErrorOpensAMessageBox) {
    DiskImageDialog d(1);
    Child<QLineEdit>(d, "source")->setText("/s");
    Child<QLineEdit>(d, "target")->setText("/t");
    Child<QLineEdit>(d, "imageName")->setText("n");
    Child<QLineEdit>(d, "capacity")->setText("eight");
    Child<QComboBox>(d, "pageSize")->setCurrentText("2048");
    Child<QPushButton>(d, "create")->click();
    ASSERT_TRUE(ProcessUntil([&] { return d.OpenMessageBox() != nullptr; }));
    EXPECT_EQ(d.OpenMessageBox()->text(),
              "Configuration info error!\nCapacity(MByte) \"eight\" is not a whole number from 1 to 4294967295");
}

TEST(DiskImageDialog, BuildRunsWithCreateOffAndEndsAtOneHundredPercent) {
    kestrow::testing::TempFolder tmp;
    kestrow::testing::WriteBytes(tmp.path() / "src" / "sub" / "firmware.bin", 3u << 20, 1);
    DiskImageDialog d(5);
    Child<QLineEdit>(d, "source")->setText(QString::fromStdString((tmp.path() / "src").string()));
    Child<QLineEdit>(d, "target")->setText(QString::fromStdString((tmp.path() / "out").string()));
    Child<QLineEdit>(d, "imageName")->setText("fs");
    Child<QLineEdit>(d, "capacity")->setText("8");
    Child<QComboBox>(d, "pageSize")->setCurrentText("2048");
    auto* create = Child<QPushButton>(d, "create");
    create->click();
    bool sawDisabled = false;
    ASSERT_TRUE(ProcessUntil([&] {
        sawDisabled = sawDisabled || !create->isEnabled();
        return StatusOf(d) == "Success!You've made a Image.";
    })) << StatusOf(d).toStdString();
    EXPECT_TRUE(sawDisabled);
    EXPECT_TRUE(ProcessUntil([&] { return create->isEnabled(); }));
    EXPECT_EQ(Child<QLabel>(d, "percent")->text(), "100%");
    EXPECT_EQ(Child<QProgressBar>(d, "progress")->value(), 100);
    kestrow::testing::ExpectImageHolds(tmp.path() / "out" / "fs.img", tmp.path() / "src", tmp.path());
}

}  // namespace
}  // namespace kestrow::app
