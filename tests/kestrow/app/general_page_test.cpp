// The "General" page on a copy of the sample station: reached from the
// Settings menu, its range checks and their messages, the field filters and
// "Current MAC Reset", over the station's own records store.
#include "window_fixture.h"

#include "kestrow/app/general_page.h"
#include "kestrow/records/record_store.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTest>

#include <fstream>
#include <sstream>

namespace kestrow::app::testing {
namespace {

using records::PoolKind;

constexpr const char* kPrefix = "KW17SERIALPREFIXABCDEFGHIJKLMNOP";  // 32 characters

class GeneralPageTest : public WindowFixture {
protected:
    GeneralPageTest() : store_(records::OpenStationStore(dir_.string(), "")) {}

    std::unique_ptr<GeneralPage> Open() { return std::make_unique<GeneralPage>(*store_, language_, prompter_); }
    records::PoolState Pool(PoolKind kind) {
        auto pools = store_->Pools();
        EXPECT_TRUE(pools);
        for (const records::PoolState& p : *pools)
            if (p.range.kind == kind) return p;
        return {};
    }
    // A page whose ranges are all good: the unicode MAC range, a serial range
    // with a full prefix, the default Bluetooth range.
    std::unique_ptr<GeneralPage> GoodPage() {
        auto page = Open();
        page->MacStartHigh()->setText("00:11:22");
        page->MacStartLow()->setText("AA:00:00");
        page->MacEndHigh()->setText("00:11:22");
        page->MacEndLow()->setText("AA:FF:FF");
        page->SerialStartPrefix()->setText(kPrefix);
        page->SerialEndPrefix()->setText(kPrefix);
        page->SerialStartLow()->setText("000001");
        page->SerialEndLow()->setText("000999");
        return page;
    }

    std::unique_ptr<records::RecordStore> store_;
};

TEST_F(GeneralPageTest, ReachedFromTheSettingsMenu) {
    auto w = OpenWindow();
    QStringList items;
    for (QAction* action : w->SettingsMenu()->actions()) items << action->text();
    EXPECT_TRUE(items.contains("&General")) << items.join(", ").toStdString();
}

TEST_F(GeneralPageTest, SpeaksChinese) {
    ASSERT_TRUE(language_.LoadLanguage(config::LanguageTable::kChinese));
    auto page = GoodPage();
    page->accept();
    auto again = Open();
    EXPECT_EQ(again->windowTitle(), "常规");
    EXPECT_EQ(again->ResetMacButton()->text(), "重置当前MAC");
    EXPECT_EQ(again->BurnMac()->text(), "烧录MAC地址");
    EXPECT_EQ(again->MacNext()->text(), "下一个 00:11:22:AA:00:00，已分配 0，剩余 65536");
    again->show();
    ProcessUntil([] { return false; }, 30);
    SaveScreenshot(again.get(), "chinese_general_page");
}

// Each refused range shows its own message, the page stays open and the
// store keeps every pool as it was.
TEST_F(GeneralPageTest, RefusedRangesShowTheirMessageAndStoreNothing) {
    struct Case {
        const char* what;
        std::function<void(GeneralPage&)> edit;
        const char* message;
    };
    const Case cases[] = {
        {"short MAC start high part", [](GeneralPage& p) { p.MacStartHigh()->setText("00:11:2"); },
         "Word length of MAC start address high-order bit is less than 8!"},
        {"different high parts", [](GeneralPage& p) { p.MacEndHigh()->setText("00:11:23"); },
         "The high-order bit of MAC start address is not the same as end address!"},
        {"start above end", [](GeneralPage& p) { p.MacStartLow()->setText("AB:00:00"); },
         "The low-order bit of MAC start address is bigger than end address!"},
        {"multicast range",
         [](GeneralPage& p) {
             p.MacStartHigh()->setText("01:02:03");
             p.MacEndHigh()->setText("01:02:03");
         },
         "The MAC address is multicast address, please modify it."},
        {"all-zero start",
         [](GeneralPage& p) {
             p.MacStartHigh()->setText("00:00:00");
             p.MacEndHigh()->setText("00:00:00");
             p.MacStartLow()->setText("00:00:00");
         },
         "At least one of the MAC address should be numbers (except 0)."},
        {"short serial prefix, serial burned",
         [](GeneralPage& p) {
             p.SerialStartPrefix()->setText("SN");
             p.BurnSerial()->setChecked(true);
         },
         "Word length of serial number start address high-order bit is less than 32!"},
        {"serial start above end", [](GeneralPage& p) { p.SerialStartLow()->setText("001000"); },
         "The low-order bit of serial number start address is bigger than end address!"},
        {"Bluetooth start above end", [](GeneralPage& p) { p.BluetoothStart()->setText("44A6E7000000"); },
         "Bluetooth address is bigger than end address"},
    };
    const records::PoolState mac = Pool(PoolKind::Mac), serial = Pool(PoolKind::Serial), bt = Pool(PoolKind::Bluetooth);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        prompter_.shown.clear();
        auto page = GoodPage();
        page->BurnMac()->setChecked(true);
        c.edit(*page);
        page->accept();
        EXPECT_NE(page->result(), QDialog::Accepted);
        ASSERT_EQ(prompter_.shown.size(), 1u);
        EXPECT_EQ(prompter_.shown[0].text.toStdString(), c.message);
        EXPECT_EQ(Pool(PoolKind::Mac).range.start, mac.range.start);
        EXPECT_FALSE(Pool(PoolKind::Mac).enabled);
        EXPECT_EQ(Pool(PoolKind::Serial).range.prefix, serial.range.prefix);
        EXPECT_EQ(Pool(PoolKind::Bluetooth).range.start, bt.range.start);
    }
}

TEST_F(GeneralPageTest, GoodRangesAndBurnFlagsAreStoredAndShownAgain) {
    auto page = GoodPage();
    page->BurnMac()->setChecked(true);
    page->BurnSerial()->setChecked(true);
    page->accept();
    EXPECT_EQ(page->result(), QDialog::Accepted);
    EXPECT_TRUE(prompter_.shown.empty());
    const records::PoolState mac = Pool(PoolKind::Mac), serial = Pool(PoolKind::Serial);
    EXPECT_EQ(records::FormatMac(mac.range.start), "00:11:22:AA:00:00");
    EXPECT_EQ(records::FormatMac(mac.range.end), "00:11:22:AA:FF:FF");
    EXPECT_TRUE(mac.enabled);
    EXPECT_EQ(serial.range.prefix, kPrefix);
    EXPECT_EQ(serial.range.start, 1u);
    EXPECT_EQ(serial.range.end, 999u);
    EXPECT_TRUE(serial.enabled);
    EXPECT_FALSE(Pool(PoolKind::Bluetooth).enabled);

    auto again = Open();
    EXPECT_EQ(again->MacStartLow()->text(), "AA:00:00");
    EXPECT_EQ(again->SerialEndLow()->text(), "000999");
    EXPECT_TRUE(again->BurnMac()->isChecked());
    EXPECT_EQ(again->MacNext()->text(), "next 00:11:22:AA:00:00, 0 handed out, 65536 left");
}

// A MAC field takes hex digits with ":" at positions 2 and 5, raised to upper
// case; anything else is put back, a missing ":" with its message.
TEST_F(GeneralPageTest, MacFieldsFilterEachKeystroke) {
    auto page = Open();
    QLineEdit* field = page->MacStartLow();
    field->clear();
    field->setProperty("before", "");
    QTest::keyClicks(field, "aa:0g");
    EXPECT_EQ(field->text(), "AA:0");
    EXPECT_TRUE(prompter_.shown.empty());
    QTest::keyClicks(field, "1");
    EXPECT_EQ(field->text(), "AA:01");
    QTest::keyClicks(field, "5");
    EXPECT_EQ(field->text(), "AA:01");
    ASSERT_EQ(prompter_.shown.size(), 1u);
    EXPECT_EQ(prompter_.shown[0].text, "MAC Address format must be 00:00:00!");
}

TEST_F(GeneralPageTest, CurrentMacResetStartsThePoolAgain) {
    auto page = GoodPage();
    page->BurnMac()->setChecked(true);
    page->accept();
    ASSERT_TRUE(store_->AllocateIdentity(std::nullopt, records::PoolSet{true, false, false}));
    ASSERT_TRUE(store_->AllocateIdentity(std::nullopt, records::PoolSet{true, false, false}));
    EXPECT_EQ(records::FormatMac(Pool(PoolKind::Mac).next), "00:11:22:AA:00:02");

    // The burns' entries in config_addr.txt go too: start-up would go on after them.
    std::ofstream(dir_ / "config_addr.txt") << "[config_addr]\nmac_current_low_0_F=Y\nmac_current_low_0_A=AA:00:01\n";
    auto reset = Open();
    QTest::mouseClick(reset->ResetMacButton(), Qt::LeftButton);
    EXPECT_EQ(records::FormatMac(Pool(PoolKind::Mac).next), "00:11:22:AA:00:00");
    std::stringstream pool;
    pool << std::ifstream(dir_ / "config_addr.txt").rdbuf();
    EXPECT_EQ(pool.str().find("AA:00:01"), std::string::npos) << pool.str();
    ASSERT_FALSE(prompter_.shown.empty());
    EXPECT_EQ(prompter_.shown.back().text,
              "Success!Current MAC address have been reset, current value equals to start value!");
    EXPECT_EQ(reset->MacNext()->text(), "next 00:11:22:AA:00:00, 0 handed out, 65536 left");
}

}  // namespace
}  // namespace kestrow::app::testing
