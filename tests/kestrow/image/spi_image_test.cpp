#include "kestrow/image/spi_image.h"

#include "kestrow/config/station_folder.h"
#include "kestrow/config/station_startup.h"
#include "kestrow/image/spi_image_inspect.h"
#include "tests/kestrow/config/temp_folder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace kestrow::image {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr uint32_t kMiB = 1024 * 1024;
constexpr uint32_t kFlashBlock = 65536;

class Recorder : public SpiImageReporter {
public:
    void ShowMessage(const std::string& text, Kind shown) override {
        messages.push_back(text);
        kind = shown;
    }
    void Diagnostic(const std::string& text) override { diagnostics.push_back(text); }
    std::vector<std::string> messages;
    std::vector<std::string> diagnostics;
    Kind kind = Kind::Done;
};

config::SpiNorInfo NorRecord(const char* name, uint32_t totalSize, uint32_t clock = 20'000'000) {
    config::SpiNorInfo r{};
    r.chip_id = 0xEF4018;
    r.total_size = totalSize;
    r.page_size = 256;
    r.program_size = 256;
    r.erase_size = kFlashBlock;
    r.clock = clock;
    r.flag = 0x12;
    r.ex_flag = 0x34;
    std::strncpy(r.part_number, name, sizeof r.part_number - 1);
    return r;
}

// A boot loader of `size` bytes: a counting pattern with the flash record
// marker at offset 200.
std::string BootLoader(size_t size) {
    std::string boot(size, '\0');
    for (size_t i = 0; i < size; ++i) boot[i] = char(i * 13 + 1);
    if (size >= 264) std::memcpy(boot.data() + 200, "SPIP", 4);
    return boot;
}

uint32_t Le32(const std::string& b, size_t at) {
    return uint32_t(uint8_t(b[at])) | uint32_t(uint8_t(b[at + 1])) << 8 | uint32_t(uint8_t(b[at + 2])) << 16 |
           uint32_t(uint8_t(b[at + 3])) << 24;
}
uint16_t Le16(const std::string& b, size_t at) { return uint16_t(uint8_t(b[at]) | uint8_t(b[at + 1]) << 8); }

// Reads a partition table straight from the bytes, without the library.
struct ParsedEntry {
    uint8_t type, flags;
    std::string name;
    uint32_t sizeKiB, start, length, loadAddress, backup;
    uint8_t verify, index, fsType, medium;
};
std::vector<ParsedEntry> ParseTable(const std::string& image, size_t at) {
    uint32_t count = Le32(image, at);
    if (count == 0xFFFFFFFF) count = 0;
    std::vector<ParsedEntry> entries;
    for (uint32_t i = 0; i < count; ++i) {
        const size_t e = at + 4 + 32 * i;
        ParsedEntry p{};
        p.type = uint8_t(image[e]);
        p.flags = uint8_t(image[e + 1]);
        p.name = std::string(image.c_str() + e + 2, strnlen(image.c_str() + e + 2, 6));
        p.sizeKiB = Le32(image, e + 8);
        p.start = Le32(image, e + 12);
        p.length = Le32(image, e + 16);
        if (p.type == 2) {
            p.verify = uint8_t(image[e + 20]);
            p.index = uint8_t(image[e + 21]);
            p.fsType = uint8_t(image[e + 22]);
            p.medium = uint8_t(image[e + 23]);
        } else {
            p.loadAddress = Le32(image, e + 20);
            p.backup = Le32(image, e + 24);
            p.verify = uint8_t(image[e + 28]);
            p.index = uint8_t(image[e + 29]);
            p.medium = uint8_t(image[e + 30]);
        }
        entries.push_back(p);
    }
    return entries;
}

class SpiImageTest : public ::testing::Test {
protected:
    SpiImageTest() {
        cfg.spinor_list = {NorRecord("W25Q16", 16 * kMiB), NorRecord("ODD", 3 * kMiB / 2)};
        cfg.path_nandboot = folder.Path("u-boot.bin");
        cfg.bin_downloads = {{"BIOS", "bios.bin", 0x80008000, 1, 1}, {"MAC", "mac.bin", 0, 0, 0},
                             {"ENV", "env.bin", 0, 0, 0}};
        cfg.fs_images = {{"A", "root.sqsh4"}, {"B", "user.jffs2"}};
        cfg.platform_type = 1;
        cfg.chip_type = 3;
        folder.Write("u-boot.bin", BootLoader(100000));
    }

    bool Build(const char* flash = "W25Q16") { return MakeSpiImage(cfg, flash, Output(), recorder); }
    std::string Output() const { return folder.Path("image.bin"); }
    std::string Image() const { return folder.Read("image.bin"); }
    bool OnlyTheBootLoaderInTheFolder() const {
        for (const auto& entry : std::filesystem::directory_iterator(folder.Dir())) {
            if (entry.path().filename() != "u-boot.bin") return false;
        }
        return true;
    }
    std::string LastMessage() const { return recorder.messages.empty() ? "" : recorder.messages.back(); }

    config::testing::TempFolder folder;
    config::BurnConfig cfg;
    Recorder recorder;
};

TEST(BootAreaBlocksTest, LoaderPlusATenthInWholeBlocks) {
    struct Case {
        uint64_t size;
        uint32_t blocks;
    };
    const Case cases[] = {{0, 0}, {100000, 2}, {59392, 1}, {59393, 2}, {1000000, 17}};
    for (const Case& c : cases) EXPECT_EQ(BootAreaBlocks(c.size, 256, 256), c.blocks) << c.size;
}

TEST_F(SpiImageTest, BuildsTheWholeLayout) {
    ASSERT_TRUE(Build()) << LastMessage();
    EXPECT_EQ(recorder.messages, std::vector<std::string>{kSpiImageDoneText});
    const std::string image = Image();
    ASSERT_EQ(image.size(), 16 * kMiB);

    // Boot loader with its patched header, then 0xFF to the end of the boot area.
    const std::string boot = BootLoader(100000);
    EXPECT_EQ(image.substr(4, 8), "QMSH_P80");
    EXPECT_EQ(Le32(image, 12), 100000u - 512);
    EXPECT_EQ(Le32(image, 32), 0x80100000u);
    EXPECT_EQ(image.substr(40, 160), boot.substr(40, 160));
    EXPECT_EQ(image.substr(264, 100000 - 264), boot.substr(264));
    EXPECT_EQ(image.substr(100000, 2 * kFlashBlock - 100000), std::string(2 * kFlashBlock - 100000, '\xFF'));
    // The flash record after the marker carries the boot block count.
    config::SpiNorInfo record{};
    std::memcpy(&record, image.data() + 204, sizeof record);
    EXPECT_STREQ(record.part_number, "W25Q16");
    EXPECT_EQ(record.total_size, 16 * kMiB);
    EXPECT_EQ(record.boot_blocks, 2);

    // Table at block 2, identical backup at block 3, partitions from block 4.
    const auto table = ParseTable(image, 131072);
    EXPECT_EQ(image.substr(131072, 4 + 32 * 5), image.substr(131072 + kFlashBlock, 4 + 32 * 5));
    ASSERT_EQ(table.size(), 5u);
    struct Expected {
        const char* name;
        uint8_t type;
        uint32_t sizeKiB, start;
    };
    const Expected expected[] = {{"BIOS", 1, 2048, 262144},
                                 {"MAC", 1, 64, 262144 + 2048 * 1024},
                                 {"ENV", 1, 64, 262144 + 2112 * 1024},
                                 {"A", 2, 2048, 262144 + 2176 * 1024},
                                 {"B", 2, 3072, 262144 + 4224 * 1024}};
    for (size_t i = 0; i < 5; ++i) {
        SCOPED_TRACE(expected[i].name);
        EXPECT_EQ(table[i].name, expected[i].name);
        EXPECT_EQ(table[i].type, expected[i].type);
        EXPECT_EQ(table[i].flags, 0x01);
        EXPECT_EQ(table[i].sizeKiB, expected[i].sizeKiB);
        EXPECT_EQ(table[i].start, expected[i].start);
        EXPECT_EQ(table[i].index, i + 1);
    }
    EXPECT_EQ(table[0].loadAddress, 0x80008000u);
    EXPECT_EQ(table[0].backup, 262144u + 1024 * 1024);  // BIN with backup: second half
    EXPECT_EQ(table[0].verify, 1);
    EXPECT_EQ(table[1].backup, 0xFFFFFFFFu);
    EXPECT_EQ(table[3].fsType, 0);  // sqsh4
    EXPECT_EQ(table[4].fsType, 1);  // jffs2

    // MAC and ENV hold their records; everything unwritten stays erased.
    const std::string mac = "01:02:03:00:00:00";
    EXPECT_EQ(table[1].length, 4 + mac.size());
    EXPECT_EQ(Le32(image, table[1].start), mac.size());
    EXPECT_EQ(image.substr(table[1].start + 4, mac.size()), mac);
    EXPECT_EQ(table[2].length, 591u);
    EXPECT_EQ(Le32(image, table[2].start), 587u);
    EXPECT_EQ(image.substr(table[2].start + 4, 587), std::string(kDefaultEnvironment));
    EXPECT_EQ(image.substr(table[2].start + 591, kFlashBlock - 591), std::string(kFlashBlock - 591, '\xFF'));
    EXPECT_EQ(image.substr(table[0].start, 2 * kMiB), std::string(2 * kMiB, '\xFF'));
    EXPECT_TRUE(image.find_first_not_of('\xFF', 262144 + 7296 * 1024) == std::string::npos);
}

TEST_F(SpiImageTest, InspectReadsBackWhatWasBuilt) {
    ASSERT_TRUE(Build()) << LastMessage();
    SpiImageLayout layout;
    std::string error;
    ASSERT_TRUE(ReadSpiImageLayout(Output(), layout, error)) << error;
    EXPECT_EQ(layout.bootBlocks, 2u);
    EXPECT_EQ(layout.table.offset, 131072u);
    ASSERT_EQ(layout.table.entries.size(), 5u);
    EXPECT_TRUE(layout.tablesAgree);
    const std::string report = FormatSpiImageLayout(layout);
    EXPECT_THAT(report, HasSubstr("Boot area:       2 blocks (131072 bytes)"));
    EXPECT_THAT(report, HasSubstr("Table and backup table agree."));

    // A damaged backup is reported.
    std::string image = Image();
    image[131072 + kFlashBlock + 4 + 8] ^= 0x01;
    folder.Write("image.bin", image);
    ASSERT_TRUE(ReadSpiImageLayout(Output(), layout, error)) << error;
    EXPECT_FALSE(layout.tablesAgree);
    EXPECT_THAT(FormatSpiImageLayout(layout), HasSubstr("DIFFER"));

    folder.Write("other.bin", std::string(4096, '\xFF'));
    EXPECT_FALSE(ReadSpiImageLayout(folder.Path("other.bin"), layout, error));
    EXPECT_THAT(error, HasSubstr("SPIP"));
}

TEST_F(SpiImageTest, TotalSizeMustBeWholeHalfMebibytes) {
    cfg.partitions = {{"MAC", 4, config::kPartitionBin, 1, 0, config::kMediumSpiNor},
                      {"ENV", 4, config::kPartitionBin, 1, 0, config::kMediumSpiNor}};
    ASSERT_TRUE(Build("ODD")) << LastMessage();  // 1.5 MiB
    EXPECT_EQ(Image().size(), 3 * kMiB / 2);

    cfg.spinor_list[1].total_size = kMiB + 4096;
    std::filesystem::remove(Output());
    EXPECT_FALSE(Build("ODD"));
    EXPECT_THAT(LastMessage(), StartsWith("spiflash total size is error\n"));
    EXPECT_TRUE(OnlyTheBootLoaderInTheFolder());
}

// Every failing build reports its message and its cause, says that nothing
// was written, and leaves neither an image nor a temporary file behind. What
// the build is given is checked before the first byte is written (a refusal);
// a failure while writing removes the unfinished image.
TEST_F(SpiImageTest, FailuresLeaveNoFile) {
    struct Case {
        const char* what;
        std::function<void(config::BurnConfig&)> change;
        std::string message;
        SpiImageReporter::Kind kind = SpiImageReporter::Kind::Refused;
    };
    // A configuration file whose partition list has one line the reader does not take whole.
    const auto loadPartitionLine = [this](const std::string& line) {
        return [this, line](config::BurnConfig& c) {
            folder.Write("bad.txt", config::testing::Utf16File("partition count = 1\r\npartition 1 = " + line + "\r\n"));
            c.Load(folder.Path("bad.txt"));
        };
    };
    const auto bootLoader = [this](std::string bytes) {
        return [this, bytes](config::BurnConfig&) { folder.Write("u-boot.bin", bytes); };
    };
    const std::string boot = folder.Path("u-boot.bin");
    const std::string list = "\"W25Q16\" is not in the SPI NOR list (w25q16jv, ODD)";
    const Case cases[] = {
        {"misspelt medium", loadPartitionLine("A, 2048, FS, 1, 0, SPINADN"),
         "malformed configuration entry, " + folder.Path("bad.txt") + " line 2: partition 1 = A, 2048, FS, 1, 0, SPINADN"},
        {"unknown partition type", loadPartitionLine("A, 2048, EXT4, 1, 0, SPI_NOR"),
         "malformed configuration entry, " + folder.Path("bad.txt") + " line 2: partition 1 = A, 2048, EXT4, 1, 0, SPI_NOR"},
        {"no SPI NOR list", [](config::BurnConfig& c) { c.spinor_list.clear(); },
         "not find the spiflash!\n\"W25Q16\": the SPI NOR list is empty"},
        {"flash named in another case", [](config::BurnConfig& c) { std::strcpy(c.spinor_list[0].part_number, "w25q16jv"); },
         "not find the spiflash!\n" + list + "; did you mean w25q16jv?"},
        {"seven-character name", [](config::BurnConfig& c) { c.partitions[3].name = "ROOTFS7"; },
         "name len more than 7"},
        {"zero size", [](config::BurnConfig& c) { c.partitions[4].size_kib = 0; }, "partition size must be not zero"},
        {"BIN without download", [](config::BurnConfig& c) { c.bin_downloads.pop_back(); },
         "it not have the bin partition"},
        {"FS image of unknown kind", [](config::BurnConfig& c) { c.fs_images[1].path = "user.ext4"; },
         "check fs type fail"},
        {"missing boot loader", [](config::BurnConfig& c) { c.path_nandboot += ".missing"; },
         "creat spiimage fhalib_init fail!\nthe boot loader " + boot + ".missing does not exist (path nandboot)"},
        {"empty boot loader", bootLoader(""), "creat spiimage fhalib_init fail!\nthe boot loader " + boot + " is empty"},
        {"boot loader shorter than its header", bootLoader(BootLoader(511)),
         "read len error\nthe boot loader " + boot + " is 511 bytes, shorter than its 512-byte header"},
        {"boot loader without its flash record marker", bootLoader(std::string(100000, '\x11')),
         "the boot loader " + boot + " has no \"SPIP\" marker in its first 600 bytes: the flash record has no "
         "place in it, and no burn or --inspect could read the image back"},
        {"partitions beyond the flash", [](config::BurnConfig& c) { c.partitions[4].size_kib = 16 * 1024; },
         "creat the partition fail\nthe partitions need 20608 KiB in whole 64 KiB blocks (BIOS 2048, MAC 64, ENV "
         "64, A 2048, B 16384 KiB); W25Q16 has 16128 KiB for them (16384 KiB less 2 boot blocks and the two "
         "partition table blocks)"},
        {"one name twice", [](config::BurnConfig& c) { c.partitions[4].name = "A"; },
         "creat the partition fail\ntwo partitions are named A"},
        {"sixteen partitions",
         [](config::BurnConfig& c) {
             for (int i = 0; i < 11; ++i)
                 c.partitions.push_back({"D" + std::to_string(i), 4, config::kPartitionData, 1, 0, config::kMediumSpiNor});
         },
         "creat the partition fail\nthe list has 16 SPI NOR partitions; the partition table holds at most 15"},
        {"no ENV partition", [](config::BurnConfig& c) { c.partitions.erase(c.partitions.begin() + 2); },
         "the name is no in partition table\ncheck_size ENV fail"},
        {"serial pool without SEQ", [](config::BurnConfig& c) { c.serial_burn = 1; },
         "the name is no in partition table\ncheck_size SEQ fail"},
        {"RTOS serial pool without SEQ",
         [](config::BurnConfig& c) {
             c.platform_type = 2;
             c.serial_burn = 1;
         },
         "check_size SEQ fail"},
        {"Bluetooth pool without BTADDR", [](config::BurnConfig& c) { c.blue_burn = 1; },
         "the name is no in partition table\ncheck_size MAC fail"},
        // Blocks of one page leave no room for the tables: the partition
        // library refuses the flash once the image is being written.
        {"one-page erase blocks",
         [this](config::BurnConfig& c) {
             c.spinor_list[0].erase_size = 256;
             folder.Write("u-boot.bin", BootLoader(10000));
         },
         "creat spiimage fhalib_init fail!\nthe partition library refused the flash: Sflash_Init the partition "
         "table does not fit one block, page:256",
         SpiImageReporter::Kind::Failed},
    };
    folder.Write("image.bin", "previous image");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        config::BurnConfig saved = cfg;
        c.change(cfg);
        recorder.messages.clear();
        EXPECT_FALSE(Build());
        EXPECT_EQ(recorder.kind, c.kind);
        const char* ending =
            c.kind == SpiImageReporter::Kind::Refused ? kSpiImageRefusedText : kSpiImageRemovedText;
        EXPECT_EQ(LastMessage(), c.message + "\n" + ending);
        EXPECT_EQ(Image(), "previous image");  // an older image at the target is kept
        std::filesystem::remove(Output());
        std::filesystem::remove(folder.Path("bad.txt"));
        folder.Write("u-boot.bin", BootLoader(100000));
        EXPECT_TRUE(OnlyTheBootLoaderInTheFolder());
        folder.Write("image.bin", "previous image");
        cfg = saved;
    }
    EXPECT_THAT(recorder.diagnostics, ::testing::Contains(std::string("fhalib_init fail\n")));
}

// A rebuilt image replaces the file a link at the target names and keeps
// that file's mode.
TEST_F(SpiImageTest, RebuildKeepsTheLinkAndTheModeOfTheOlderImage) {
    folder.Write("images/older.bin", "older image");
    std::filesystem::permissions(folder.Path("images/older.bin"), std::filesystem::perms(0600));
    std::filesystem::create_symlink("images/older.bin", Output());
    ASSERT_TRUE(Build()) << LastMessage();
    EXPECT_TRUE(std::filesystem::is_symlink(Output()));
    EXPECT_EQ(std::filesystem::file_size(folder.Path("images/older.bin")), 16 * kMiB);
    EXPECT_EQ(std::filesystem::status(folder.Path("images/older.bin")).permissions(), std::filesystem::perms(0600));
}

TEST_F(SpiImageTest, PartitionListRules) {
    // Names of six characters pass; SPI NAND entries are skipped and later
    // entries keep their list position as index.
    cfg.partitions[3].name = "ROOTFS";
    cfg.fs_images[0].partition = "ROOTFS";
    cfg.partitions.insert(cfg.partitions.begin() + 3, {"NANDFS", 1024, config::kPartitionData, 1, 0,
                                                       config::kMediumSpiNand});
    cfg.chip_mode = config::kModeSpiNorAndNand;
    ASSERT_TRUE(Build()) << LastMessage();
    const auto table = ParseTable(Image(), 131072);
    ASSERT_EQ(table.size(), 5u);
    EXPECT_EQ(table[3].name, "ROOTFS");
    EXPECT_EQ(table[3].index, 5);
    EXPECT_EQ(table[3].medium, 1);  // the chip carries both media
    EXPECT_EQ(table[4].name, "B");

    // RTOS platform on a chip that needs no MAC or ENV: neither partition is
    // required; SEQ and BTADDR are filled when their pools are on.
    cfg = config::BurnConfig(cfg);
    cfg.chip_mode = config::kModeSpiNor;
    cfg.platform_type = 2;
    cfg.partitions = {{"SEQ", 4, config::kPartitionData, 1, 0, config::kMediumSpiNor},
                      {"BTADDR", 4, config::kPartitionData, 1, 0, config::kMediumSpiNor}};
    cfg.serial_burn = 1;
    cfg.serial_current_low = "000042";
    cfg.blue_burn = 1;
    cfg.blue_current = "44A6E6000010";
    std::filesystem::remove(Output());
    ASSERT_TRUE(Build()) << LastMessage();
    const std::string image = Image();
    const auto rtos = ParseTable(image, 131072);
    ASSERT_EQ(rtos.size(), 2u);
    EXPECT_EQ(image.substr(rtos[0].start + 4, Le32(image, rtos[0].start)),
              "AABBCCXXDDEEFFGGHH11223344556677000042");
    EXPECT_EQ(image.substr(rtos[1].start + 4, Le32(image, rtos[1].start)), "44A6E6000010");
}

TEST(BootHeaderTest, LayoutPerChipType) {
    struct Case {
        int chip;
        std::map<size_t, std::string> strings;
        std::map<size_t, uint32_t> words;
        std::map<size_t, uint16_t> halves;
    };
    const uint32_t size = 4096;
    const Case cases[] = {
        {1, {{4, "MORVO_K6"}}, {{12, size - 512}, {32, 0x80E00000}, {36, 1}}, {{16, 0}, {24, 1}, {28, 6}}},
        {2, {{4, "QMSH_P80"}}, {{12, size - 512}, {32, 0x80E00000}}, {{16, 0}}},
        {3, {{4, "QMSH_P80"}}, {{32, 0x80100000}}, {{16, 0}}},
        {5, {{4, "MORVO_K6"}}, {{32, 0x80E00000}}, {{24, 1}}},
        {6,
         {{4, "MORVOK6D"}},
         {{32, 0x80E00000}, {44, 0x20000000}, {48, 0x11}, {52, 0x66668881}, {56, 0x20000004}, {60, 0x22},
          {64, 0x88888888}},
         {}},
        {4, {{32, "MORVO_N7"}}, {{40, size}, {60, 0x00800000}}, {{44, 5}, {52, 0}}},
    };
    config::BurnConfig cfg;
    cfg.active_ram_tables = {{{0x20000000, 0x11}, {0x66668881, 0x99}, {0x20000004, 0x22}}};
    const config::SpiNorInfo record = NorRecord("REC", 16 * kMiB, 50'000'000);  // capped at 20 MHz
    const std::string original = BootLoader(size);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.chip);
        cfg.chip_type = c.chip;
        std::vector<uint8_t> boot(original.begin(), original.end());
        std::string error;
        ASSERT_TRUE(PatchBootLoader(boot, cfg, record, error)) << error;
        const std::string patched(boot.begin(), boot.end());
        for (const auto& [at, text] : c.strings) EXPECT_EQ(patched.substr(at, text.size()), text) << at;
        for (const auto& [at, word] : c.words) EXPECT_EQ(Le32(patched, at), word) << at;
        for (const auto& [at, half] : c.halves) EXPECT_EQ(Le16(patched, at), half) << at;
        EXPECT_EQ(patched.substr(264), original.substr(264));  // beyond header and record
    }

    // Chip type 0 keeps the header as it is but still carries the flash record.
    cfg.chip_type = 0;
    std::vector<uint8_t> boot(original.begin(), original.end());
    std::string error;
    ASSERT_TRUE(PatchBootLoader(boot, cfg, record, error));
    EXPECT_EQ(std::string(boot.begin(), boot.begin() + 204), original.substr(0, 204));
    EXPECT_EQ(std::memcmp(boot.data() + 204, &record, sizeof record), 0);
    EXPECT_EQ(std::string(boot.begin() + 264, boot.end()), original.substr(264));

    // A slower clock gives a larger divider.
    cfg.chip_type = 6;
    boot.assign(original.begin(), original.end());
    ASSERT_TRUE(PatchBootLoader(boot, cfg, NorRecord("REC", 16 * kMiB, 10'000'000), error));
    EXPECT_EQ(Le16(std::string(boot.begin(), boot.end()), 16), 2);

    // A table that has its end marker keeps it where it is and gets no second one.
    cfg.active_ram_tables = {{{0x20000000, 0x11}, {0x88888888, 0x99}, {0x20000004, 0x22}}};
    boot.assign(original.begin(), original.end());
    ASSERT_TRUE(PatchBootLoader(boot, cfg, record, error)) << error;
    const std::string ended(boot.begin(), boot.end());
    EXPECT_EQ(Le32(ended, 52), 0x88888888u);
    EXPECT_EQ(Le32(ended, 56), 0x20000004u);
    EXPECT_EQ(ended.substr(64, 8), original.substr(64, 8));

    // A RAM list that does not fit the header, with or without the end
    // marker it needs, is refused rather than cut.
    struct Oversized {
        std::size_t pairs;
        bool withShortEntry;  // one 4-byte 0x66668881 entry after the pairs
        bool fits;
    };
    for (const Oversized& o : {Oversized{58, false, true}, Oversized{58, true, false}, Oversized{60, false, false}}) {
        SCOPED_TRACE(o.pairs);
        cfg.active_ram_tables[0].assign(o.pairs, {0x20000000, 1});
        if (o.withShortEntry) cfg.active_ram_tables[0].push_back({0x66668881, 0});
        boot.assign(original.begin(), original.end());
        EXPECT_EQ(PatchBootLoader(boot, cfg, record, error), o.fits);
        if (o.fits) {
            EXPECT_EQ(Le32(std::string(boot.begin(), boot.end()), 508), 0x88888888u);
        } else {
            EXPECT_THAT(error, HasSubstr("512-byte boot header"));
        }
    }
}

class QuietSink : public config::MessageSink {
public:
    void ShowMessage(const std::string&, const std::string& text, config::MessageIcon) override {
        ADD_FAILURE() << text;
    }
};

// The sample station's own configuration, loaded as start-up does, built into
// a 16 MiB image and read back field by field.
TEST(SampleStationImageTest, SixteenMebibyteImageReadsBackFieldByField) {
    const char* source = std::getenv("KESTROW_SOURCE_DIR");
    ASSERT_NE(source, nullptr);
    const std::string station = std::string(source) + "/station";
    config::UseStationFolder(station);
    config::BurnConfig cfg;
    QuietSink sink;
    ASSERT_TRUE(config::StartStation(cfg, sink).CanRun());

    config::testing::TempFolder folder;
    Recorder recorder;
    const std::string output = folder.Path("W25Q128JV.bin");
    ASSERT_TRUE(MakeSpiImage(cfg, "W25Q128JV", output, recorder)) << recorder.messages.back();
    const std::string image = folder.Read("W25Q128JV.bin");
    ASSERT_EQ(image.size(), 16u * kMiB);

    // Boot area: the loader as shipped (this chip family keeps its header),
    // with the flash record after "SPIP", then 0xFF.
    std::ifstream in(station + "/u-boot.bin", std::ios::binary);
    const std::string loader((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(loader.size(), 65536u);
    const size_t marker = loader.find("SPIP");
    ASSERT_LT(marker, 600u);
    const uint32_t bootBlocks = 2;  // 256 pages of loader + 26 pages for the tenth: two blocks
    EXPECT_EQ(image.substr(0, marker + 4), loader.substr(0, marker + 4));
    const size_t record = marker + 4;
    EXPECT_EQ(Le32(image, record), 0xEF4018u);
    EXPECT_EQ(Le32(image, record + 4), 16u * kMiB);
    EXPECT_EQ(Le32(image, record + 8), 256u);
    EXPECT_EQ(Le32(image, record + 12), 256u);
    EXPECT_EQ(Le32(image, record + 16), kFlashBlock);
    EXPECT_EQ(Le32(image, record + 20), 20000000u);
    EXPECT_EQ(uint8_t(image[record + 24]), 0x00);
    EXPECT_EQ(uint8_t(image[record + 25]), 0x1C);
    EXPECT_EQ(uint8_t(image[record + 27]), bootBlocks);
    EXPECT_EQ(std::string(image.c_str() + record + 28), "W25Q128JV");
    EXPECT_EQ(image.substr(record + 60, loader.size() - record - 60), loader.substr(record + 60));
    EXPECT_EQ(image.substr(loader.size(), bootBlocks * kFlashBlock - loader.size()),
              std::string(bootBlocks * kFlashBlock - loader.size(), '\xFF'));

    // Both tables, equal, with the partitions of config.txt back to back.
    const size_t tableAt = bootBlocks * kFlashBlock;
    EXPECT_EQ(image.substr(tableAt, 4 + 7 * 32), image.substr(tableAt + kFlashBlock, 4 + 7 * 32));
    const auto table = ParseTable(image, tableAt);
    ASSERT_EQ(table.size(), 7u);
    struct Expected {
        const char* name;
        uint8_t type, flags;
        uint32_t sizeKiB;
    };
    const Expected expected[] = {{"KERNEL", 1, 0x01, 2048}, {"A", 2, 0x01, 8192}, {"B", 2, 0x01, 4096},
                                 {"MAC", 0, 0x01, 64},      {"SEQ", 0, 0x01, 64}, {"ENV", 0, 0x01, 64},
                                 {"BTADDR", 0, 0x11, 64}};
    uint32_t start = (bootBlocks + 2) * kFlashBlock;
    for (size_t i = 0; i < 7; ++i) {
        SCOPED_TRACE(expected[i].name);
        EXPECT_EQ(table[i].name, expected[i].name);
        EXPECT_EQ(table[i].type, expected[i].type);
        EXPECT_EQ(table[i].flags, expected[i].flags);
        EXPECT_EQ(table[i].sizeKiB, expected[i].sizeKiB);
        EXPECT_EQ(table[i].start, start);
        EXPECT_EQ(table[i].index, i + 1);
        EXPECT_EQ(table[i].medium, 0);
        if (table[i].type != 2) {
            EXPECT_EQ(table[i].backup, 0xFFFFFFFFu);
        }
        start += expected[i].sizeKiB * 1024;
    }
    EXPECT_EQ(table[0].loadAddress, 0x82008000u);
    EXPECT_EQ(table[0].verify, 1);
    EXPECT_EQ(table[1].fsType, 0);  // rootfs.sqsh4
    EXPECT_EQ(table[2].fsType, 1);  // usr.jffs2

    // MAC and ENV carry their records; SEQ and BTADDR stay empty with their
    // pools off; every byte not accounted for is erased.
    const std::string mac = "01:02:03:00:00:00";  // the pool's start: the sample station has handed out none
    EXPECT_EQ(table[3].length, 4 + mac.size());
    EXPECT_EQ(Le32(image, table[3].start), mac.size());
    EXPECT_EQ(image.substr(table[3].start + 4, mac.size()), mac);
    EXPECT_EQ(table[4].length, 0u);
    EXPECT_EQ(table[5].length, 591u);
    EXPECT_EQ(Le32(image, table[5].start), 587u);
    EXPECT_EQ(image.substr(table[5].start + 4, 587), std::string(kDefaultEnvironment));
    std::string erased = image;  // boot area and tables blanked, then the two records
    erased.replace(0, tableAt + kFlashBlock + 4 + 7 * 32, tableAt + kFlashBlock + 4 + 7 * 32, '\xFF');
    erased.replace(table[3].start, 4 + mac.size(), 4 + mac.size(), '\xFF');
    erased.replace(table[5].start, 591, 591, '\xFF');
    EXPECT_EQ(erased.find_first_not_of('\xFF'), std::string::npos);

    // The inspector reads the same.
    SpiImageLayout layout;
    std::string error;
    ASSERT_TRUE(ReadSpiImageLayout(output, layout, error)) << error;
    EXPECT_EQ(layout.bootBlocks, bootBlocks);
    EXPECT_EQ(layout.flashName, "W25Q128JV");
    EXPECT_TRUE(layout.tablesAgree);
    ASSERT_EQ(layout.table.entries.size(), 7u);
    for (size_t i = 0; i < 7; ++i) {
        EXPECT_EQ(layout.table.entries[i].name, table[i].name);
        EXPECT_EQ(layout.table.entries[i].start, table[i].start);
        EXPECT_EQ(layout.table.entries[i].dataLength, table[i].length);
    }
}

TEST(EnvironmentTextTest, IsTheFixedDefault) {
    EXPECT_EQ(kDefaultEnvironment.size(), 587u);
    EXPECT_THAT(std::string(kDefaultEnvironment), StartsWith("sf_hz=20000000\r\nkernel_addr=0x23000\r\n"));
}

}  // namespace
}  // namespace kestrow::image
