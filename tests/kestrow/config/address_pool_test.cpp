#include "kestrow/config/address_fields.h"
#include "kestrow/config/address_pool.h"
#include "kestrow/config/burn_config.h"
#include "kestrow/config/private_profile.h"
#include "kestrow/config/station_folder.h"
#include "tests/kestrow/config/message_recorder.h"
#include "tests/kestrow/config/temp_folder.h"

#include <gtest/gtest.h>

namespace kestrow::config {
namespace {

using testing::MessageRecorder;
using testing::TempFolder;

class AddressPoolTest : public ::testing::Test {
protected:
    TempFolder folder;
    BurnConfig config;
    MessageRecorder sink;
    std::string pool = folder.Path("config_addr.txt");

    void WritePool(const std::vector<std::pair<std::string, std::string>>& entries) {
        std::string text = "[config_addr]\r\n";
        for (std::size_t n = 0; n < entries.size(); ++n)
            if (!entries[n].first.empty())
                text += "mac_current_low_" + std::to_string(n) + "_F=" + entries[n].first + "\r\nmac_current_low_" +
                        std::to_string(n) + "_A=" + entries[n].second + "\r\n";
        folder.Write("config_addr.txt", text);
    }
    std::string Key(int n, char kind) {
        return ReadProfileString(pool, "config_addr", "mac_current_low_" + std::to_string(n) + "_" + kind, "<none>");
    }
};

TEST_F(AddressPoolTest, MissingOrEmptyPoolStartsAtTheStartValue) {
    config.mac_start_low = "00:00:20";
    config.mac_current_low = "11:11:11";
    EXPECT_EQ(config.LoadAddressPool(pool, kMacPoolPrefix, sink), 0);
    EXPECT_EQ(config.mac_current_low, "00:00:20");
    EXPECT_TRUE(sink.messages.empty());
}

TEST_F(AddressPoolTest, SingleConfirmedEntryGivesTheNextAddress) {
    WritePool({{"Y", "00:00:0f"}});
    EXPECT_EQ(config.LoadAddressPool(pool, kMacPoolPrefix, sink), 1);
    EXPECT_EQ(config.mac_current_low, "00:00:10");
    EXPECT_EQ(config.channel_mac_low[0], "");  // a confirmed entry is not given back
}

TEST_F(AddressPoolTest, EntriesBeyondTheChannelCountStayAndCount) {
    config.device_channel = 4;
    WritePool({{"N", "00:00:01"}, {"N", "00:00:02"}, {"Y", "00:00:03"}, {"N", "00:00:04"},
               {"N", "00:01:00"}, {"Y", "00:00:06"}});
    const std::string before = folder.Read("config_addr.txt");
    EXPECT_EQ(config.LoadAddressPool(pool, kMacPoolPrefix, sink), 1);
    EXPECT_EQ(config.mac_current_low, "00:01:01");
    EXPECT_EQ(folder.Read("config_addr.txt"), before);
    EXPECT_EQ(config.channel_mac_low[1], "00:00:02");
    EXPECT_EQ(config.channel_mac_low[2], "");
    EXPECT_EQ(config.channel_mac_low[4], "00:01:00");
    EXPECT_EQ(Key(4, 'F'), "N");
    EXPECT_EQ(Key(5, 'A'), "00:00:06");
}

TEST_F(AddressPoolTest, GapEndsTheScan) {
    WritePool({{"N", "00:00:01"}, {"N", "00:00:02"}, {"", ""}, {"N", "00:00:09"}});
    config.device_channel = 16;
    EXPECT_EQ(config.LoadAddressPool(pool, kMacPoolPrefix, sink), 1);
    EXPECT_EQ(config.mac_current_low, "00:00:03");
    EXPECT_EQ(config.channel_mac_low[3], "");
}

TEST_F(AddressPoolTest, StartAboveEveryEntryStays) {
    config.mac_start_low = "00:10:00";
    WritePool({{"Y", "00:00:05"}});
    EXPECT_EQ(config.LoadAddressPool(pool, kMacPoolPrefix, sink), 1);
    EXPECT_EQ(config.mac_current_low, "00:10:00");
}

TEST_F(AddressPoolTest, MalformedEntriesAndAnExhaustedPoolAreReported) {
    WritePool({{"Y", "00:00:05"}, {"Y", "zz"}});
    config.device_channel = 8;
    EXPECT_EQ(config.LoadAddressPool(pool, kMacPoolPrefix, sink), 1);
    EXPECT_EQ(config.mac_current_low, "00:00:06");
    ASSERT_EQ(sink.messages.size(), 1u);
    EXPECT_NE(sink.messages[0].text.find("mac_current_low_1_A"), std::string::npos);

    WritePool({{"Y", "FF:FF:FF"}});
    EXPECT_EQ(config.LoadAddressPool(pool, kMacPoolPrefix, sink), 1);
    EXPECT_EQ(config.mac_current_low, "FF:FF:FF");
    EXPECT_EQ(sink.messages.size(), 2u);
}

TEST_F(AddressPoolTest, SerialPoolAndUnknownPrefix) {
    folder.Write("config_addr.txt", "[config_addr]\nserial_current_low_0_F=Y\nserial_current_low_0_A=000041\n");
    EXPECT_EQ(config.LoadAddressPool(pool, kSerialPoolPrefix, sink), 1);
    EXPECT_EQ(config.serial_current_low, "000042");
    folder.Write("config_addr.txt", "[config_addr]\nother_0_F=Y\nother_0_A=1\n");
    EXPECT_EQ(config.LoadAddressPool(pool, "other", sink), 1);
    EXPECT_EQ(sink.Texts(), (std::vector<std::string>{"pBufAddr ERR!"}));
}

TEST_F(AddressPoolTest, ChannelAddressWriteAndReset) {
    ASSERT_TRUE(config.WriteChannelAddress(pool, kMacPoolPrefix, "Y", "00:00:07", 2));
    EXPECT_EQ(Key(2, 'F'), "Y");
    EXPECT_EQ(Key(2, 'A'), "00:00:07");
    // Reset works on config_addr.txt of the station folder.
    std::string previousStation = StationFolder();
    UseStationFolder(folder.Dir());
    ASSERT_TRUE(config.WriteChannelAddress(kPoolFile, kMacPoolPrefix, "N", "00:00:08", 1));
    config.ResetMacPool("00:00:30", sink);
    UseStationFolder(previousStation);
    EXPECT_EQ(config.mac_start_low, "00:00:30");
    EXPECT_EQ(config.mac_current_low, "00:00:30");
    EXPECT_EQ(Key(1, 'F'), "");
    EXPECT_EQ(Key(1, 'A'), "");
    EXPECT_EQ(Key(2, 'A'), "");
    EXPECT_EQ(sink.Texts(), (std::vector<std::string>{
                                "Success!Current MAC address have been reset, current value equals to start value!"}));
}

class BluetoothLogTest : public AddressPoolTest {};

TEST_F(BluetoothLogTest, MissingLogAndHighestRecord) {
    int found = 7;
    EXPECT_EQ(config.ScanBluetoothLog(folder.Path("blue_addr_log.txt"), found, sink), 0);
    EXPECT_EQ(found, 0);
    folder.Write("blue_addr_log.txt",
                 "# index, address, count\r\n\r\n1, 44A6E6000010, 1\r\n2,44a6e6000020 ,1\r\n"
                 "3, 44A6E6ZZ0030, 1\r\nbroken line\r\n4, 44A6E6000015, 1");
    EXPECT_EQ(config.ScanBluetoothLog(folder.Path("blue_addr_log.txt"), found, sink), 1);
    EXPECT_EQ(found, 1);
    EXPECT_EQ(config.blue_current, "44A6E6000020");
    EXPECT_TRUE(sink.messages.empty());
}

TEST_F(BluetoothLogTest, LogWithoutRecordsOrBeyondTheEnd) {
    int found = 1;
    folder.Write("blue_addr_log.txt", "# nothing yet\r\n");
    EXPECT_EQ(config.ScanBluetoothLog(folder.Path("blue_addr_log.txt"), found, sink), 1);
    EXPECT_EQ(found, 0);
    EXPECT_EQ(config.blue_current, "000000000000");
    folder.Write("blue_addr_log.txt", "1, 44A6E7000000, 1\n");
    EXPECT_EQ(config.ScanBluetoothLog(folder.Path("blue_addr_log.txt"), found, sink), -1);
    EXPECT_EQ(sink.Texts(), (std::vector<std::string>{"目前的蓝牙地址已超过设置的范围，请检查"}));
}

TEST(BluetoothRecord, CountersSumTheirDigitsOnly) {
    std::optional<BluetoothRecord> r = ParseBluetoothRecord(" 1x2 , 44a6e6000001, 3-4\r");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->first, 12u);
    EXPECT_EQ(r->address, "44A6E6000001");
    EXPECT_EQ(r->last, 34u);
    EXPECT_FALSE(ParseBluetoothRecord("1, 44A6E6000001"));
}

TEST(AddressFields, TypingRules) {
    struct Case {
        FilteredField got;
        const char* text;
        const char* message;
    };
    const Case cases[] = {
        {FilterMacField("0", "0a"), "0A", ""},
        {FilterMacField("0A", "0A:"), "0A:", ""},
        {FilterMacField("0A", "0A1"), "0A", "MAC Address format must be 00:00:00!"},
        {FilterMacField("0A:1", "0A:1g"), "0A:1", ""},
        {FilterUsbIdField("e101"), "e101", ""},
        {FilterUsbIdField("e1015"), "e101", "lenght more than 4"},
        {FilterUsbIdField("e1z"), "e1", ""},
        {FilterBluetoothField("44a6e6"), "44A6E6", ""},
        {FilterBluetoothField("44a6e6000000f"), "44A6E6000000", "blue addr len more than 12"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.got.text, c.text);
        EXPECT_EQ(c.got.message, c.message) << c.text;
    }
}

}  // namespace
}  // namespace kestrow::config
