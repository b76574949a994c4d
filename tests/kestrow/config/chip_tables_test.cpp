#include "kestrow/config/chip_tables.h"
#include "tests/kestrow/config/message_recorder.h"
#include "tests/kestrow/config/temp_folder.h"

#include <gtest/gtest.h>

namespace kestrow::config {
namespace {

using testing::MessageRecorder;
using testing::TempFolder;

class ChipTablesTest : public ::testing::Test {
protected:
    TempFolder folder;
    BurnConfig config;
    MessageRecorder sink;
    ConfigNotes notes;

    int LoadIni(const std::string& text) {
        folder.Write("SDK_CPU_DDR2.ini", text);
        return config.LoadChipTables(folder.Path("SDK_CPU_DDR2.ini"), sink, &notes);
    }
};

constexpr const char* kTables =
    "[Project_Name]\r\nproject_name=NimbraP4\r\n"
    "[Chip_Type]\r\nchip_type= PN05 ,PN01, PN30\r\n"
    "[Freq]\r\nddr_freq=533,400,400\r\ncpu_freq=800,600,800\r\n"
    "[64M_Ram_Param1]\r\nreg_num=3\r\nreg_addr_value1=0x2000e000, 0x1234\r\n"
    "reg_addr_value2=no comma\r\nreg_addr_value3= 21000000 ,0X3\r\n"
    "[16M_Ram_Param3]\r\nreg_num=1\r\nreg_addr_value1=0x20000000,0x1\r\n";

TEST_F(ChipTablesTest, LoadsProjectPartsClocksAndRegisterTables) {
    ASSERT_EQ(LoadIni(kTables), 1);
    EXPECT_TRUE(sink.messages.empty());
    EXPECT_EQ(config.project_name, "NimbraP4");
    EXPECT_EQ(config.platform_type, 1);
    EXPECT_EQ(config.part_numbers, (std::vector<std::string>{"PN05", "PN01", "PN30"}));
    EXPECT_EQ(config.ddr_freqs, (std::vector<std::int32_t>{533, 400, 400}));
    EXPECT_EQ(config.cpu_freqs, (std::vector<std::int32_t>{800, 600, 800}));
    ASSERT_EQ(config.ram_tables.size(), 3u);
    // A pair without "," stays zero and the count is kept.
    EXPECT_EQ(config.ram_tables[0][kRam64M],
              (RamTable{{0x2000e000, 0x1234}, {0, 0}, {0x21000000, 0x3}}));
    EXPECT_TRUE(config.ram_tables[0][kRam16M].empty());
    EXPECT_EQ(config.ram_tables[2][kRam16M], (RamTable{{0x20000000, 0x1}}));
    EXPECT_TRUE(notes.lines.empty());
}

TEST_F(ChipTablesTest, PartNumberListWithoutCommaHoldsOneEntry) {
    ASSERT_EQ(LoadIni("[Project_Name]\nproject_name=BriskP3\n[Chip_Type]\nchip_type=PN04\n"), 1);
    EXPECT_EQ(config.platform_type, 2);
    EXPECT_EQ(config.part_numbers, (std::vector<std::string>{"PN04"}));
    EXPECT_TRUE(config.ddr_freqs.empty());
}

TEST_F(ChipTablesTest, StartUpStopsWithItsMessages) {
    EXPECT_EQ(config.LoadChipTables(folder.Path("SDK_CPU_DDR2.ini"), sink), 0);
    EXPECT_EQ(LoadIni("[Project_Name]\nproject_name=nimbraP4\n"), 0);  // names are case-sensitive
    ASSERT_EQ(sink.messages.size(), 2u);
    EXPECT_EQ(sink.messages[0].text, "Failed to find SDK_CPU_DDR2.ini,please check!");
    EXPECT_EQ(sink.messages[1].text,
              "The Project Name is not support\n" + folder.Path("SDK_CPU_DDR2.ini") +
                  ": [Project_Name] project_name \"nimbraP4\" is none of NimbraP6, BriskP6, NimbraP5, BriskP5, "
                  "NimbraP4, BriskP4, NimbraP3, BriskP3, NimbraP2, BriskP2, NimbraP1, BriskP1; did you mean NimbraP4?");
    for (const auto& m : sink.messages) {
        EXPECT_EQ(m.caption, "Error");
        EXPECT_EQ(m.icon, MessageIcon::Error);
    }
}

TEST_F(ChipTablesTest, OverlongListsAreCutAndNoted) {
    std::string parts, freqs;
    for (int i = 1; i <= 20; ++i) {
        parts += (i > 1 ? "," : "") + std::string("PN0") + std::to_string(i % 10);
        freqs += (i > 1 ? "," : "") + std::to_string(100 + i);
    }
    ASSERT_EQ(LoadIni("[Project_Name]\nproject_name=NimbraP4\n[Chip_Type]\nchip_type=" + parts +
                      "\n[Freq]\nddr_freq=" + freqs + "\ncpu_freq=800\n"),
              1);
    EXPECT_EQ(config.part_numbers.size(), 16u);
    EXPECT_EQ(config.ddr_freqs.size(), 16u);
    EXPECT_EQ(config.cpu_freqs.size(), 16u);
    EXPECT_EQ(notes.lines.size(), 3u);
}

TEST(ChipTypeRules, PartNumberAndProjectGiveTheChipType) {
    struct Case {
        const char* part;
        const char* project;
        int chip_type;  // -1: no rule fits
    };
    const Case cases[] = {
        {"PN19", "BriskP1", 2},  {"PN12", "BriskP6", 6},  {"PN13", "NimbraP6", 6}, {"PN13", "NimbraP5", -1},
        {"PN12", "NimbraP6", -1}, {"PN23", "BriskP5", 7}, {"PN26", "NimbraP5", 7}, {"PN01", "NimbraP4", 8},
        {"PN29", "BriskP4", 8},  {"PN02", "BriskP3", 9},  {"PN22", "NimbraP3", 9}, {"PN18", "NimbraP1", 11},
        {"PN18", "BriskP1", -1}, {"PN17", "BriskP2", 10}, {"pn17", "BriskP2", -1}, {"", "NimbraP4", -1},
    };
    for (const Case& c : cases) {
        std::optional<std::int32_t> type = ChipTypeOf(c.part, c.project);
        EXPECT_EQ(type.value_or(-1), c.chip_type) << c.part << " " << c.project;
    }
}

TEST(ChipTypeRules, PartNumberChoosesTheRamSizeClass) {
    const std::pair<const char*, RamSizeClass> cases[] = {
        {"PN01", kRam16M}, {"PN20", kRam32M}, {"PN19", kRam32M}, {"PN18", kRam128M},
        {"PN32", kRam128M}, {"PN21", kRam128M}, {"PN05", kRam64M}, {"PN17", kRam64M}, {"XYZ", kRam64M},
    };
    for (const auto& [part, sizeClass] : cases) EXPECT_EQ(RamSizeClassOf(part), sizeClass) << part;
}

TEST_F(ChipTablesTest, DeriveCopiesTheSizeClassTablesAndSetsTheChipType) {
    ASSERT_EQ(LoadIni(kTables), 1);
    config.chip_model = "PN01";
    ASSERT_EQ(config.DeriveChipType(sink), 1);
    EXPECT_EQ(config.chip_type, 8);
    ASSERT_EQ(config.active_ram_tables.size(), 3u);
    EXPECT_TRUE(config.active_ram_tables[0].empty());
    EXPECT_EQ(config.active_ram_tables[2], (RamTable{{0x20000000, 0x1}}));
    config.chip_model = "PN05";
    ASSERT_EQ(config.DeriveChipType(sink), 1);
    EXPECT_EQ(config.active_ram_tables[0].size(), 3u);
}

TEST_F(ChipTablesTest, MismatchShowsProjectAndPartNumber) {
    config.project_name = "NimbraP5";
    config.chip_model = "PN13";
    config.chip_type = 3;
    EXPECT_EQ(config.DeriveChipType(sink), 0);
    EXPECT_EQ(config.chip_type, 3);
    ASSERT_EQ(sink.messages.size(), 1u);
    EXPECT_EQ(sink.messages[0].text, "NimbraP5和PN13 is error，please check");
    config.project_name = "NimbraP6";
    EXPECT_EQ(config.DeriveChipType(sink), 1);
    EXPECT_EQ(config.chip_type, 6);
}

TEST_F(ChipTablesTest, SelectClockAndPart) {
    ASSERT_EQ(LoadIni(kTables), 1);
    struct Case {
        const char* model;
        int cpu, ddr;
        const char* want_model;
        int want_index, want_cpu, want_ddr;
    };
    const Case cases[] = {
        {"PN05", 600, 400, "PN05", 1, 600, 400},  // configured pair found
        {"PN05", 700, 400, "PN05", 0, 800, 533},  // not in the table: pair 0
        {"PN99", 600, 400, "PN05", 1, 600, 400},  // unknown part number: the first one
        {"PN01", 600, 400, "PN01", 2, 800, 400},  // PN01 takes 800/400 even when its own pair exists
    };
    for (const Case& c : cases) {
        config.chip_model = c.model;
        config.cpu_freq_param = c.cpu;
        config.ddr_freq_param = c.ddr;
        config.SelectClockAndPart();
        EXPECT_EQ(config.chip_model, c.want_model) << c.model;
        EXPECT_EQ(config.clock_index, c.want_index) << c.model;
        EXPECT_EQ(config.cpu_freq_param, c.want_cpu) << c.model;
        EXPECT_EQ(config.ddr_freq_param, c.want_ddr) << c.model;
    }
}

TEST_F(ChipTablesTest, Pn01WithoutItsPairKeepsOrdinaryMatching) {
    ASSERT_EQ(LoadIni("[Project_Name]\nproject_name=NimbraP4\n[Chip_Type]\nchip_type=PN01\n"
                      "[Freq]\nddr_freq=533,333\ncpu_freq=800,600\n"),
              1);
    config.chip_model = "PN01";
    config.cpu_freq_param = 600;
    config.ddr_freq_param = 333;
    config.SelectClockAndPart();
    EXPECT_EQ(config.clock_index, 1);
    EXPECT_EQ(BuildClockList(config).lines.size(), 0u);
}

TEST_F(ChipTablesTest, EmptyTablesKeepTheConfiguredValues) {
    ASSERT_EQ(LoadIni("[Project_Name]\nproject_name=NimbraP4\n"), 1);
    config.chip_model = "PN05";
    config.cpu_freq_param = 600;
    config.SelectClockAndPart();
    EXPECT_EQ(config.chip_model, "PN05");
    EXPECT_EQ(config.cpu_freq_param, 600);
    EXPECT_EQ(BuildClockList(config).empty_message, "配置文件不存在芯片类型");
    config.part_numbers = {"PN05"};
    EXPECT_EQ(BuildClockList(config).empty_message, "配置文件不存在ddr频率");
}

TEST_F(ChipTablesTest, ClockSelector) {
    ASSERT_EQ(LoadIni(kTables), 1);
    config.chip_model = "PN05";
    ClockList list = BuildClockList(config);
    EXPECT_EQ(list.lines, (std::vector<std::string>{"CPU_CLK = 800MHz, DDR2_CLK = 533MHz",
                                                   "CPU_CLK = 600MHz, DDR2_CLK = 400MHz",
                                                   "CPU_CLK = 800MHz, DDR2_CLK = 400MHz"}));
    config.clock_index = 7;  // stale
    EXPECT_EQ(SelectedClockLine(config, list), 0);
    ChooseClockLine(config, list, 1);
    EXPECT_EQ(config.clock_index, 1);
    EXPECT_EQ(config.cpu_freq_param, 600);

    config.chip_model = "PN01";
    list = BuildClockList(config);
    EXPECT_EQ(list.lines, (std::vector<std::string>{"CPU_CLK = 800MHz, DDR2_CLK = 400MHz"}));
    ChooseClockLine(config, list, 0);
    EXPECT_EQ(config.clock_index, 2);
}

}  // namespace
}  // namespace kestrow::config
