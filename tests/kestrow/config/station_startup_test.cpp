#include "kestrow/config/boot_cmdline.h"
#include "kestrow/config/chip_tables.h"
#include "kestrow/config/station_folder.h"
#include "kestrow/config/station_startup.h"
#include "tests/kestrow/config/message_recorder.h"
#include "tests/kestrow/config/temp_folder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace kestrow::config {
namespace {

using testing::MessageRecorder;
using testing::TempFolder;

std::string SourceDir() {
    const char* dir = std::getenv("KESTROW_SOURCE_DIR");  // set by ctest
    EXPECT_NE(dir, nullptr) << "KESTROW_SOURCE_DIR names the source tree";
    return dir ? dir : "";
}

// Start-up against a copy of the sample station, so nothing in the tree changes.
class SampleStationTest : public ::testing::Test {
protected:
    TempFolder folder;
    MessageRecorder sink;
    BurnConfig config;
    std::string previous = StationFolder();

    void SetUp() override {
        std::filesystem::copy(SourceDir() + "/station", folder.Dir(), std::filesystem::copy_options::recursive);
        UseStationFolder(folder.Dir());
    }
    void TearDown() override { UseStationFolder(previous); }
    void ReplaceInConfig(const std::string& from, const std::string& to) {
        std::u16string text = base::DecodeUtf16(folder.Read("config.txt").substr(2), base::ByteOrder::Little);
        std::string utf8 = Utf16ToUtf8(text);
        utf8.replace(utf8.find(from), from.size(), to);
        folder.Write("config.txt", testing::Utf16File(utf8));
    }
};

TEST_F(SampleStationTest, StartsWithoutAnyProblem) {
    StationStartup startup = StartStation(config, sink);
    EXPECT_TRUE(startup.CanRun());
    EXPECT_TRUE(sink.messages.empty());
    EXPECT_EQ(StationProblems(config, startup), std::vector<std::string>{});
    // The virtual board plays the serial-boot chip types.
    EXPECT_GE(config.chip_type, 6);
    EXPECT_LE(config.chip_type, 11);
    EXPECT_EQ(config.uart_baud, 115200);
    EXPECT_EQ(config.boot_mode_flag, 0);
}

TEST_F(SampleStationTest, ConfigurationIsExactlyWhatTheStationWrites) {
    std::string committed = folder.Read("config.txt");
    ASSERT_EQ(config.Load("config.txt"), 1);
    ASSERT_EQ(config.Save("config.txt"), 1);
    EXPECT_EQ(folder.Read("config.txt"), committed);
}

TEST_F(SampleStationTest, TablesCoverEveryClockPairAndSizeClass) {
    ASSERT_EQ(config.LoadChipTables(kChipTablesFile, sink), 1);
    ASSERT_GE(config.ddr_freqs.size(), 2u);
    for (const auto& classes : config.ram_tables)
        for (const RamTable& table : classes) {
            EXPECT_FALSE(table.empty());
            for (const RamRegister& r : table) EXPECT_NE(r.address, 0u);
        }
    // Every part number fits the project.
    for (const std::string& part : config.part_numbers) EXPECT_TRUE(ChipTypeOf(part, config.project_name)) << part;
}

TEST_F(SampleStationTest, FlashListsAndPartitionsMakeA16MiBImage) {
    ASSERT_EQ(config.Load("config.txt"), 1);
    const SpiNorInfo* chip16 = nullptr;
    for (const SpiNorInfo& r : config.spinor_list) {
        EXPECT_NE(r.chip_id & 0xFFFFFF, 0u);
        EXPECT_EQ(r.total_size % r.erase_size, 0u) << r.part_number;
        EXPECT_EQ(r.erase_size % r.page_size, 0u) << r.part_number;
        if (r.total_size == 16u << 20 && !chip16) chip16 = &r;
    }
    ASSERT_NE(chip16, nullptr);
    // Boot area (the boot loader plus a tenth, in whole erase blocks), two table blocks, the partitions.
    std::uint64_t boot = folder.Read("u-boot.bin").size();
    std::uint64_t pages = (boot + chip16->page_size - 1) / chip16->page_size +
                          (boot / 10 + chip16->page_size - 1) / chip16->page_size;
    std::uint64_t perBlock = chip16->erase_size / chip16->page_size;
    std::uint64_t used = ((pages + perBlock - 1) / perBlock + 2) * chip16->erase_size;
    bool hasKernel = false, hasSquashfs = false;
    for (const PartitionEntry& p : config.partitions) {
        EXPECT_LE(p.name.size(), 6u);
        used += (p.size_kib * 1024ull + chip16->erase_size - 1) / chip16->erase_size * chip16->erase_size;
        hasKernel |= p.type == kPartitionBin && !config.bin_downloads.empty() && config.bin_downloads[0].partition == p.name;
        for (const FsImage& fs : config.fs_images)
            hasSquashfs |= fs.partition == p.name && p.type == kPartitionFs && fs.path.ends_with("sqsh4");
    }
    EXPECT_LE(used, chip16->total_size);
    EXPECT_TRUE(hasKernel);
    EXPECT_TRUE(hasSquashfs);
}

TEST_F(SampleStationTest, ProducerAndBootLoaderCarryTheirBlocks) {
    std::string producer = folder.Read("producer_fa.bin");
    ASSERT_GE(producer.size(), 60u);
    EXPECT_EQ(producer.substr(32, 4), "BURN");
    std::string boot = folder.Read("u-boot.bin");
    ASSERT_GE(boot.size(), 300u);
    std::size_t spip = boot.substr(0, 600).find("SPIP");
    ASSERT_NE(spip, std::string::npos);
    EXPECT_LE(spip + 4 + 60, 600u);
    std::optional<BootCommandLine> block = ReadBootCommandLine(folder.Path("u-boot.bin"));
    ASSERT_TRUE(block);
    EXPECT_EQ(std::string(block->data.data()).rfind("console=", 0), 0u);
}

TEST_F(SampleStationTest, GeneratorReproducesTheCommittedFiles) {
    std::string out = folder.Path("generated");
    std::string command = "python3 '" + SourceDir() + "/station/make_station.py' --out '" + out + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    for (const char* name : {"config.txt", "burn.ini", "SDK_CPU_DDR2.ini", "producer_fa.bin", "u-boot.bin"})
        EXPECT_EQ(folder.Read(std::string("generated/") + name), folder.Read(name)) << name;
}

// The MAC pool across starts: four channels configured, entries of channels
// 0 to 5 handed out. No start may lower the next address or forget an entry.
TEST_F(SampleStationTest, TwoStartsNeverLowerTheNextMacAddress) {
    ReplaceInConfig("device channel = 1", "device channel = 4");
    std::string pool = "[config_addr]\r\n";
    const char* lows[] = {"00:00:01", "00:00:02", "00:00:03", "00:00:04", "00:00:07", "00:00:05"};
    for (int n = 0; n < 6; ++n)
        pool += "mac_current_low_" + std::to_string(n) + "_F=Y\r\nmac_current_low_" + std::to_string(n) +
                "_A=" + lows[n] + "\r\n";
    folder.Write("config_addr.txt", pool);
    for (int start = 1; start <= 2; ++start) {
        SCOPED_TRACE(start);
        BurnConfig station;
        ASSERT_TRUE(StartStation(station, sink).CanRun());
        EXPECT_EQ(station.device_channel, 4);
        EXPECT_EQ(station.mac_current_low, "00:00:08");
        EXPECT_EQ(folder.Read("config_addr.txt"), pool);
    }
}

TEST_F(SampleStationTest, MissingChipTablesStopStartUp) {
    std::filesystem::remove(folder.Path("SDK_CPU_DDR2.ini"));
    StationStartup startup = StartStation(config, sink);
    EXPECT_FALSE(startup.CanRun());
    EXPECT_EQ(sink.Texts(), (std::vector<std::string>{"Failed to find SDK_CPU_DDR2.ini,please check!"}));
    EXPECT_EQ(StationProblems(config, startup).size(), 1u);  // the missing file
}

TEST_F(SampleStationTest, ReplacedSettingsAreProblems) {
    ReplaceInConfig("chip model = PN05", "chip model = PN77");
    ReplaceInConfig("cpu_freq_param = 800", "cpu_freq_param = 700");
    ReplaceInConfig("chip type = SOC_FC_E1", "chip type = SOC_QQ");
    ReplaceInConfig("device channel = 1", "device channel = 20");
    StationStartup startup = StartStation(config, sink);
    EXPECT_TRUE(startup.CanRun());
    EXPECT_EQ(config.device_channel, 16);
    std::vector<std::string> problems = StationProblems(config, startup);
    ASSERT_EQ(problems.size(), 4u);
    EXPECT_EQ(problems[3], "config.txt line 5: device channel 20 is cut to 16");
    EXPECT_NE(problems[0].find("SOC_QQ"), std::string::npos);
    EXPECT_EQ(problems[1], "part number \"PN77\" is not in the part-number list of SDK_CPU_DDR2.ini; PN05 used");
    EXPECT_EQ(problems[2], "clock pair CPU 700 MHz, DDR 533 MHz replaced by CPU 800 MHz, DDR 400 MHz "
                           "(not in SDK_CPU_DDR2.ini)");
}

TEST_F(SampleStationTest, PartNumberOutsideTheProjectStopsStartUp) {
    ReplaceInConfig("chip model = PN05", "chip model = PN13");
    std::string ini = folder.Read("SDK_CPU_DDR2.ini");
    ini.replace(ini.find("chip_type=PN05"), 14, "chip_type=PN13,PN05");
    folder.Write("SDK_CPU_DDR2.ini", ini);
    StationStartup startup = StartStation(config, sink);
    EXPECT_FALSE(startup.CanRun());
    EXPECT_EQ(sink.Texts(), (std::vector<std::string>{"NimbraP4和PN13 is error，please check"}));
}

TEST(ConfigFileSet, CandidatesAndTheActiveFile) {
    TempFolder folder;
    for (const char* name : {"a_config_b.txt", "config.txt", "MyConfig1.txt", "config1.TXT", "notes.txt",
                             "xconfig.txt", "configs.ini"})
        folder.Write(name, "");
    ConfigFileSet set = DiscoverConfigFiles(folder.Dir());
    // Sorted by name, then config.txt swapped to the front; ".TXT" counts too.
    EXPECT_EQ(set.names, (std::vector<std::string>{"config.txt", "a_config_b.txt", "MyConfig1.txt", "config1.TXT",
                                                   "xconfig.txt"}));
    EXPECT_EQ(set.ActiveName(), "config.txt");
    folder.Write("burn.ini", "[Config]\r\nFile Name=a_config_b.txt\r\n");
    EXPECT_EQ(DiscoverConfigFiles(folder.Dir()).ActiveName(), "a_config_b.txt");
    folder.Write("burn.ini", "[Config]\r\nFile Name=gone.txt\r\n");
    EXPECT_EQ(DiscoverConfigFiles(folder.Dir()).active, 0u);

    TempFolder empty;
    EXPECT_EQ(DiscoverConfigFiles(empty.Dir()).names, std::vector<std::string>{"config.txt"});
}

TEST(ConfigFileSet, AtMostTenCandidatesButConfigTxtAndTheChosenOneAlways) {
    TempFolder folder;
    for (int i = 0; i < 12; ++i) folder.Write("config_" + std::to_string(10 + i) + ".txt", "");
    EXPECT_EQ(DiscoverConfigFiles(folder.Dir()).names.size(), 10u);

    // Ten decoys sort before both config.txt and the file burn.ini names.
    TempFolder decoys;
    for (int i = 0; i < 10; ++i) decoys.Write("aconfig" + std::to_string(i) + ".txt", "");
    decoys.Write("config.txt", "");
    decoys.Write("zz_config.txt", "");
    decoys.Write("burn.ini", "[Config]\r\nFile Name=zz_config.txt\r\n");
    ConfigFileSet set = DiscoverConfigFiles(decoys.Dir());
    EXPECT_EQ(set.names, (std::vector<std::string>{"config.txt", "aconfig1.txt", "aconfig2.txt", "aconfig3.txt",
                                                   "aconfig4.txt", "aconfig5.txt", "aconfig6.txt", "aconfig7.txt",
                                                   "zz_config.txt", "aconfig0.txt"}));
    EXPECT_EQ(set.ActiveName(), "zz_config.txt");
}

TEST(BootCommandLine, RewrittenOnlyWhenTheOptionIsOnAndValuesDiffer) {
    TempFolder folder;
    std::string image(400, '\x5a');
    image.replace(72, 4, "CMDL");
    image.replace(76, 4, std::string("\x00\x00\xf0\x81", 4));
    std::string line(128, '\0');
    line.replace(0, 9, "mem=64M x");
    image.replace(80, 128, line);
    folder.Write("u-boot.bin", image);

    BurnConfig config;
    config.path_nandboot = folder.Path("u-boot.bin");
    config.cmdline_addr = 0x82000000;
    std::strcpy(config.cmdline_data.data(), "mem=32M");
    EXPECT_EQ(UpdateBootCommandLine(config), 0);  // option off: never touched
    EXPECT_EQ(folder.Read("u-boot.bin"), image);

    config.cmdline_enable = 1;
    EXPECT_EQ(UpdateBootCommandLine(config), 1);
    std::string after = folder.Read("u-boot.bin");
    EXPECT_EQ(after.size(), image.size());
    EXPECT_EQ(after.substr(76, 4), std::string("\x00\x00\x00\x82", 4));
    EXPECT_EQ(after.substr(80, 128), std::string("mem=32M") + std::string(121, '\0'));
    EXPECT_EQ(after.substr(0, 72), image.substr(0, 72));
    EXPECT_EQ(after.substr(208), image.substr(208));
    EXPECT_EQ(UpdateBootCommandLine(config), 0);  // equal now

    folder.Write("short.bin", image.substr(0, 299));
    config.path_nandboot = folder.Path("short.bin");
    EXPECT_EQ(UpdateBootCommandLine(config), 0);
    EXPECT_EQ(folder.Read("short.bin"), image.substr(0, 299));
}

}  // namespace
}  // namespace kestrow::config
