#include "kestrow/base/unicode.h"
#include "kestrow/config/burn_config.h"
#include "tests/kestrow/config/temp_folder.h"

#include <gtest/gtest.h>

#include <cstring>

namespace kestrow::config {
namespace {

using testing::TempFolder;
using testing::Utf16File;

class ConfigFileTest : public ::testing::Test {
protected:
    TempFolder folder;
    BurnConfig config;
    ConfigNotes notes;
    std::string path = folder.Path("config.txt");

    int LoadText(const std::string& text) {
        folder.Write("config.txt", Utf16File(text));
        return config.Load(path, &notes);
    }
};

SpiNorInfo Nor(std::uint32_t id, std::uint32_t size, const char* name, std::uint8_t exFlag) {
    SpiNorInfo r{};
    r.chip_id = id;
    r.total_size = size;
    r.page_size = 256;
    r.program_size = 256;
    r.erase_size = 65536;
    r.clock = 20000000;
    r.flag = 0x3;
    r.protect_mask = 0x1c;
    r.ex_flag = exFlag;
    std::strcpy(r.part_number, name);
    return r;
}

TEST_F(ConfigFileTest, SaveLoadSaveIsByteIdentical) {
    config.project_name = "NimbraP4 样机";
    config.device_channel = 3;
    config.uart_com[0] = "/dev/ttyS0";
    config.chip_type = 11;
    config.chip_model = "PN05";
    config.boot_mode_flag = 2;
    config.spinor_list = {Nor(0xef4018, 16777216, "W25Q128JV", 0), Nor(0xc22018, 16777216, "MX25L12835F", 0x21)};
    SpiNandInfo nand{};
    nand.chip_id = 0xefaa21;
    nand.page_size = 2048;
    nand.pages_per_block = 64;
    nand.total_blocks = 1024;
    nand.plane_blocks = 1024;
    nand.spare_size = 64;
    nand.custom_nand = 0x2;
    nand.flag = 0x80000001u;
    nand.clock = 3000000000u;  // beyond the signed range, still kept bit for bit
    std::strcpy(nand.part_number, "W25N01GV");
    config.spinand_list = {nand};
    config.partitions = {{"KERNEL", 2048, kPartitionBin, 1, 0, kMediumSpiNor},
                         {"A", 8192, kPartitionFs, 1, 1, kMediumSpiNand}};
    config.bin_downloads = {{"KERNEL", "images/kernel, v2.bin", 0x82008000u, 1, 0}};
    config.fs_images = {{"A", "rootfs.sqsh4"}};
    ASSERT_EQ(config.Save(path), 1);
    std::string first = folder.Read("config.txt");

    BurnConfig loaded;
    ASSERT_EQ(loaded.Load(path, &notes), 1);
    EXPECT_TRUE(notes.lines.empty()) << notes.lines.front();
    ASSERT_EQ(loaded.spinor_list.size(), 2u);
    EXPECT_EQ(std::memcmp(&loaded.spinor_list[1], &config.spinor_list[1], sizeof(SpiNorInfo)), 0);
    EXPECT_EQ(std::memcmp(&loaded.spinand_list[0], &config.spinand_list[0], sizeof(SpiNandInfo)), 0);
    EXPECT_EQ(loaded.partitions, config.partitions);
    EXPECT_EQ(loaded.bin_downloads, config.bin_downloads);
    EXPECT_EQ(loaded.fs_images, config.fs_images);
    EXPECT_EQ(loaded.project_name, config.project_name);
    ASSERT_EQ(loaded.Save(path), 1);
    EXPECT_EQ(folder.Read("config.txt"), first);
}

TEST_F(ConfigFileTest, FileIsUtf16LeWithByteOrderMarkAndCrLf) {
    config.project_name = "NimbraP4";
    ASSERT_EQ(config.Save(path), 1);
    std::string bytes = folder.Read("config.txt");
    std::string head("\xFF\xFE#\0#\0#\0P\0r\0o\0j\0e\0c\0t\0 \0N\0a\0m\0e\0\r\0\n\0p\0", 38);
    EXPECT_EQ(bytes.substr(0, head.size()), head);
    // The third line is empty: a bare CR LF straight after the second line's CR LF.
    EXPECT_NE(bytes.find(std::string("P\0""4\0\r\0\n\0\r\0\n\0#\0", 14)), std::string::npos);
    EXPECT_EQ(bytes.size() % 2, 0u);
    EXPECT_EQ(bytes.substr(bytes.size() - 4), std::string("\r\0\n\0", 4));
}

TEST_F(ConfigFileTest, ListLinesUseTheirFixedFormats) {
    config.spinor_list = {Nor(0xef4018, 16777216, "W25Q128JV", 0)};
    std::string text = config.FormatConfigText();
    EXPECT_NE(text.find("\r\nsflash supported count = 1\r\n"
                        "sflash 1 = 0xef4018, 16777216,  256, 256, 65536, 20000000, 0x3, 0x1c, W25Q128JV, 0x0\r\n"),
              std::string::npos);
    EXPECT_NE(text.find("\r\nproducer run addr = 0x80000000\r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\nspinand supported count = 0\r\n\r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\npartition 1 = BIOS, 2048, BIN, 1, 0, SPI_NOR\r\n"), std::string::npos);
}

TEST_F(ConfigFileTest, OnlyAByteOrderMarkKeepsEveryDefault) {
    folder.Write("config.txt", "\xFF\xFE");
    ASSERT_EQ(config.Load(path), 1);
    BurnConfig defaults;
    EXPECT_EQ(config.FormatConfigText(), defaults.FormatConfigText());
}

TEST_F(ConfigFileTest, EightBitTextIsReadAsUtf8AndNoted) {
    folder.Write("config.txt", "\xEF\xBB\xBFproject name = NimbraP3\r\nchip model = PN04\n");
    ASSERT_EQ(config.Load(path, &notes), 1);
    EXPECT_EQ(config.project_name, "NimbraP3");
    EXPECT_EQ(config.chip_model, "PN04");
    EXPECT_EQ(notes.lines.size(), 1u);
}

TEST_F(ConfigFileTest, BigEndianFileIsReadByItsByteOrderMarkAndSavedLittleEndian) {
    const std::string text = "project name = NimbraP3\r\nchip model = PN04\r\nsflash supported count = 1\r\n"
                             "sflash 1 = 0xef4018, 16777216, 256, 256, 65536, 20000000, 0x3, 0x1c, W25Q128JV\r\n";
    folder.Write("config.txt", "\xFE\xFF" + base::EncodeUtf16(Utf8ToUtf16(text), base::ByteOrder::Big));
    ASSERT_EQ(config.Load(path, &notes), 1);
    EXPECT_EQ(config.project_name, "NimbraP3");
    EXPECT_EQ(config.chip_model, "PN04");
    ASSERT_EQ(config.spinor_list.size(), 1u);
    EXPECT_STREQ(config.spinor_list[0].part_number, "W25Q128JV");
    ASSERT_EQ(notes.lines.size(), 1u);
    EXPECT_NE(notes.lines[0].find("big-endian"), std::string::npos);
    ASSERT_EQ(config.Save(path), 1);
    EXPECT_EQ(folder.Read("config.txt").substr(0, 4), std::string("\xFF\xFE#\0", 4));
    BurnConfig again;
    ASSERT_EQ(again.Load(path), 1);
    EXPECT_EQ(again.FormatConfigText(), config.FormatConfigText());
}

// A list line the reader cannot take whole is remembered with its place and
// written back as the operator wrote it, never as the entry it half became.
TEST_F(ConfigFileTest, MalformedListEntriesAreNamedAndSavedAsWritten) {
    ASSERT_EQ(LoadText("partition count = 2\r\n"
                       "partition 1 = A, 2048, FS, 1, 0, SPINADN\r\n"
                       "partition 2 = B, 4, EXT4, 1, 0, SPI_NOR\r\n"
                       "sflash supported count = 1\r\n"
                       "sflash 1 = 0xef4018, 16777216, 256\r\n"),
              1);
    ASSERT_EQ(config.malformed_entries.size(), 3u);
    EXPECT_EQ(config.malformed_entries[0].Describe(), path + " line 2: partition 1 = A, 2048, FS, 1, 0, SPINADN");
    EXPECT_EQ(config.FindMalformedEntry(kPartitionListKey, 1)->line, 3);
    EXPECT_EQ(config.FindMalformedEntry(kPartitionListKey, 2), nullptr);
    const std::string text = config.FormatConfigText();
    EXPECT_NE(text.find("\r\npartition 1 = A, 2048, FS, 1, 0, SPINADN\r\npartition 2 = B, 4, EXT4, 1, 0, SPI_NOR\r\n"),
              std::string::npos);
    EXPECT_NE(text.find("\r\nsflash 1 = 0xef4018, 16777216, 256\r\n"), std::string::npos);

    // A good line for the same entry, or a new count line, ends it.
    ASSERT_EQ(LoadText("partition 2 = B, 4, DATA, 1, 0, SPI_NOR\r\nsflash supported count = 0\r\n"), 1);
    ASSERT_EQ(config.malformed_entries.size(), 1u);
    EXPECT_EQ(config.malformed_entries[0].index, 0u);
}

TEST_F(ConfigFileTest, MissingFileReturnsZeroAndKeepsValues) {
    config.device_channel = 7;
    EXPECT_EQ(config.Load(folder.Path("nothing.txt")), 0);
    EXPECT_EQ(config.device_channel, 7);
}

TEST_F(ConfigFileTest, ValuesAndKeysAreReadAsTheFileHasAlwaysBeenRead) {
    ASSERT_EQ(LoadText("producer run addr = 80000000\r\n"
                       "device channel = 20\r\n"
                       "chip type = SOC_FA_V1\r\n"
                       "Project Name = ignored\r\n"       // keys are case-sensitive
                       "#project name = comment\r\n"
                       "  project name = NimbraP3  \r\n"  // a leading blank is no comment
                       " #chip model = PN99\r\n"          // not a comment either: key "#chip model" fits nothing
                       "uart baud=921600\r\n"
                       "uart com = /dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0\r\n"
                       "boot mode flag = 2\r\n"
                       "no separator here\r\n"),
              1);
    EXPECT_EQ(config.producer_run_addr, 0x80000000u);
    EXPECT_EQ(config.device_channel, 20);
    EXPECT_EQ(config.chip_type, 11);
    EXPECT_EQ(config.project_name, "NimbraP3");
    EXPECT_EQ(config.chip_model, "");
    EXPECT_EQ(config.uart_baud, 921600);
    EXPECT_EQ(config.uart_com[0], "/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0");  // a whole device path
    EXPECT_EQ(config.boot_mode_flag, 2);
    EXPECT_EQ(config.saved.chip_type, 11);  // Load ends with Apply
    EXPECT_NE(config.FormatConfigText().find("\r\nchip type = SOC_FA_V1\r\n"), std::string::npos);
    EXPECT_TRUE(notes.lines.empty());
}

// A station with several channels keeps every row's port beside "uart com";
// a file without them reads as before.
TEST_F(ConfigFileTest, FurtherPortEntriesAreKeptBesideUartCom) {
    config.uart_com[0] = "/dev/ttyUSB0";
    config.uart_com[1] = "/dev/serial/by-id/usb-FTDI_FT232R_A1-if00-port0";
    config.uart_com[15] = "/dev/ttyUSB15";
    ASSERT_EQ(config.Save(path), 1);
    BurnConfig loaded;
    ASSERT_EQ(loaded.Load(path, &notes), 1);
    EXPECT_EQ(loaded.uart_com, config.uart_com);
    EXPECT_NE(loaded.FormatConfigText().find("uart com = /dev/ttyUSB0\r\n"
                                             "uart com 2 = /dev/serial/by-id/usb-FTDI_FT232R_A1-if00-port0\r\n"
                                             "uart com 16 = /dev/ttyUSB15\r\nuart baud = "),
              std::string::npos);

    config = BurnConfig{};
    notes.lines.clear();
    ASSERT_EQ(LoadText("uart com = COM3\r\nuart com 17 = /dev/ttyUSB9\r\nuart com 1 = /dev/ttyUSB8\r\n"), 1);
    EXPECT_EQ(config.uart_com, (std::array<std::string, kMaxBurnChannels>{"COM3"}));
    ASSERT_EQ(notes.lines.size(), 2u);
    EXPECT_NE(notes.lines[0].find("uart com 17 names no port-name entry (2..16)"), std::string::npos);
    EXPECT_NE(notes.lines[1].find("uart com 1 names no port-name entry"), std::string::npos);
}

TEST_F(ConfigFileTest, UnknownChipTypeNameSelectsReserverAndIsNoted) {
    ASSERT_EQ(LoadText("chip type = SOC_XX\r\n"), 1);
    EXPECT_EQ(config.chip_type, kChipTypeReserved);
    ASSERT_EQ(notes.lines.size(), 1u);
    EXPECT_NE(notes.lines[0].find("SOC_XX"), std::string::npos);
}

TEST_F(ConfigFileTest, SpiNorEntries) {
    ASSERT_EQ(LoadText("sflash 1 = 0x1, 1, 1, 1, 1, 1, 0x0, 0x0, BEFORE_COUNT\r\n"
                       "sflash supported count = 2\r\n"
                       "sflash 1 = 0xc84018, 16777216, 256, 256, 65536, 20000000, 0x1, 0x3c, GD25Q128C\r\n"
                       "sflash 2 = 0xef4017, 8388608, 256, 256, 65536\r\n"
                       "sflash 3 = 0xef4019, 33554432, 256, 256, 65536, 20000000, 0x0, 0x0, W25Q256JV, 0x2\r\n"),
              1);
    ASSERT_EQ(config.spinor_list.size(), 2u);
    const SpiNorInfo& gd = config.spinor_list[0];
    EXPECT_EQ(gd.chip_id, 0xc84018u);
    EXPECT_EQ(gd.total_size, 16777216u);
    EXPECT_EQ(gd.clock, 20000000u);
    EXPECT_EQ(gd.flag, 0x1);
    EXPECT_EQ(gd.protect_mask, 0x3c);
    EXPECT_STREQ(gd.part_number, "GD25Q128C");
    EXPECT_EQ(gd.ex_flag, 0);  // no trailing Ex_Flag
    // An incomplete entry keeps the fields before its missing separator.
    const SpiNorInfo& cut = config.spinor_list[1];
    EXPECT_EQ(cut.chip_id, 0xef4017u);
    EXPECT_EQ(cut.program_size, 256u);
    EXPECT_EQ(cut.erase_size, 0u);
    ASSERT_EQ(notes.lines.size(), 3u);  // before the count, incomplete, beyond the count
}

TEST_F(ConfigFileTest, SecondCountLineDiscardsEarlierEntries) {
    ASSERT_EQ(LoadText("spinand supported count = 1\r\n"
                       "spinand 1 = 0xc8d1, 2048, 64, 1024, 1024, 128, 0x0, 0x0, 20000000, GD5F1GQ4UB\r\n"
                       "spinand supported count = 2\r\n"),
              1);
    ASSERT_EQ(config.spinand_list.size(), 2u);
    EXPECT_EQ(config.spinand_list[0].chip_id, 0u);
}

TEST_F(ConfigFileTest, SpiNandEntryFillsItsFields) {
    ASSERT_EQ(LoadText("spinand supported count = 1\r\n"
                       "spinand 1 = c8d1, 2048, 64, 1024, 1024, 128, 0x2, 0x80000000, 20000000,  GD5F1GQ4UB, rev B \r\n"),
              1);
    const SpiNandInfo& r = config.spinand_list.at(0);
    EXPECT_EQ(r.chip_id, 0xc8d1u);
    EXPECT_EQ(r.page_size, 2048);
    EXPECT_EQ(r.pages_per_block, 64);
    EXPECT_EQ(r.total_blocks, 1024);
    EXPECT_EQ(r.plane_blocks, 1024);
    EXPECT_EQ(r.spare_size, 128);
    EXPECT_EQ(r.custom_nand, 2);
    EXPECT_EQ(r.flag, 0x80000000u);
    EXPECT_EQ(r.clock, 20000000u);
    EXPECT_STREQ(r.part_number, "GD5F1GQ4UB, rev B");  // the rest of the value
}

TEST_F(ConfigFileTest, PartNumberIsCutTo31Bytes) {
    ASSERT_EQ(LoadText("sflash supported count = 1\r\n"
                       "sflash 1 = 1, 2, 3, 4, 5, 6, 7, 8, ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789\r\n"),
              1);
    EXPECT_STREQ(config.spinor_list.at(0).part_number, "ABCDEFGHIJKLMNOPQRSTUVWXYZ01234");
}

TEST_F(ConfigFileTest, AbsurdCountIsHeldAndNegativeCountEmptiesTheList) {
    ASSERT_EQ(LoadText("sflash supported count = 2000000000\r\nspinand supported count = -5\r\n"), 1);
    EXPECT_EQ(config.spinor_list.size(), 1024u);
    EXPECT_TRUE(config.spinand_list.empty());
    EXPECT_EQ(notes.lines.size(), 2u);
}

TEST_F(ConfigFileTest, LinesLongerThan1023CodeUnitsAreReadWhole) {
    std::string longPath(1500, 'p');
    ASSERT_EQ(LoadText("path ram = " + longPath + "\r\nchip model = PN05\r\n"), 1);
    EXPECT_EQ(config.path_ram, longPath.substr(0, 260));
    EXPECT_EQ(config.chip_model, "PN05");
}

TEST_F(ConfigFileTest, OlderFileWithoutImageListsKeepsDefaultPartitions) {
    ASSERT_EQ(LoadText("project name = NimbraP4\r\n"), 1);
    EXPECT_EQ(config.partitions.size(), 5u);
    EXPECT_EQ(config.partitions[0], (PartitionEntry{"BIOS", 2048, kPartitionBin, 1, 0, kMediumSpiNor}));
    EXPECT_TRUE(config.bin_downloads.empty());
    EXPECT_TRUE(config.fs_images.empty());
}

TEST_F(ConfigFileTest, ImageListEntries) {
    ASSERT_EQ(LoadText("partition count = 3\r\n"
                       "partition 1 = ROOTFS, 6144, fs, 1, 0, spi_nor\r\n"
                       "partition 2 = ENV, 4, 0, 1, 1, 1\r\n"
                       "partition 3 = BAD, 4, EXT4, 1, 0, SPI_NOR\r\n"
                       "bin download count = 1\r\n"
                       "bin download 1 = KERNEL, 82008000, 1, 1, /opt/images/uImage\r\n"
                       "fs image count = 2\r\n"
                       "fs image 1 = ROOTFS, rootfs.sqsh4\r\n"
                       "fs image 2 = ROOTFS\r\n"),
              1);
    ASSERT_EQ(config.partitions.size(), 3u);
    EXPECT_EQ(config.partitions[0], (PartitionEntry{"ROOTFS", 6144, kPartitionFs, 1, 0, kMediumSpiNor}));
    EXPECT_EQ(config.partitions[1], (PartitionEntry{"ENV", 4, kPartitionData, 1, 1, kMediumSpiNand}));
    EXPECT_EQ(config.bin_downloads.at(0), (BinDownload{"KERNEL", "/opt/images/uImage", 0x82008000u, 1, 1}));
    EXPECT_EQ(config.fs_images.at(0), (FsImage{"ROOTFS", "rootfs.sqsh4"}));
    ASSERT_EQ(notes.lines.size(), 2u);  // the unknown type and the image without a path
    EXPECT_NE(notes.lines[0].find("partition entry 3"), std::string::npos);
}

}  // namespace
}  // namespace kestrow::config
