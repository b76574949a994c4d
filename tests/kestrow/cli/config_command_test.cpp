// kestrow config against the sample station and broken copies of it.
#include "kestrow/config/text_util.h"
#include "tests/kestrow/cli/run_program.h"
#include "tests/kestrow/config/temp_folder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace kestrow::config {
namespace {

using testing::TempFolder;

using cli::testing::RunResult;

RunResult RunConfig(const std::string& station) {
    return cli::testing::RunKestrow("config --station '" + station + "'");
}

class ConfigCommandTest : public ::testing::Test {
protected:
    TempFolder folder;
    void SetUp() override {
        const char* source = std::getenv("KESTROW_SOURCE_DIR");
        ASSERT_NE(source, nullptr);
        std::filesystem::copy(std::string(source) + "/station", folder.Dir(), std::filesystem::copy_options::recursive);
    }
    void SetConfigLine(const std::string& from, const std::string& to) {
        std::string text = Utf16ToUtf8(base::DecodeUtf16(folder.Read("config.txt").substr(2), base::ByteOrder::Little));
        text.replace(text.find(from), from.size(), to);
        folder.Write("config.txt", testing::Utf16File(text));
    }
};

TEST_F(ConfigCommandTest, SampleStationPrintsItsConfigurationWithoutWarning) {
    RunResult r = RunConfig(folder.Dir());
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output.find("warning"), std::string::npos) << r.output;
    for (const char* expected : {"Configuration:   config.txt", "Project:         NimbraP4", "Part number:     PN05",
                                 "Chip type:       8 SOC_FC_E1", "CPU 800 MHz, DDR 533 MHz", "Medium:          1 Spi Flash",
                                 "/producer_fa.bin  [ok, 4096 bytes]", "9 SPI NOR, 6 SPI NAND", "Language:        English"})
        EXPECT_NE(r.output.find(expected), std::string::npos) << expected << "\n" << r.output;
}

TEST_F(ConfigCommandTest, MissingChipTablesStopStartUp) {
    std::filesystem::remove(folder.Path("SDK_CPU_DDR2.ini"));
    RunResult r = RunConfig(folder.Dir());
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.output.find("warning: Error: Failed to find SDK_CPU_DDR2.ini,please check!"), std::string::npos)
        << r.output;
}

TEST_F(ConfigCommandTest, UnknownPartNumberAndChipTypeNameAreWarnings) {
    SetConfigLine("chip model = PN05", "chip model = PN77");
    SetConfigLine("chip type = SOC_FC_E1", "chip type = SOC_QQ");
    RunResult r = RunConfig(folder.Dir());
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.output.find("warning: part number \"PN77\" is not in the part-number list of SDK_CPU_DDR2.ini; "
                            "PN05 used"),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("chip type \"SOC_QQ\" is unknown"), std::string::npos) << r.output;
}

TEST_F(ConfigCommandTest, PartNumberOutsideTheProjectGivesTheMismatchMessage) {
    SetConfigLine("chip model = PN05", "chip model = PN13");
    std::string ini = folder.Read("SDK_CPU_DDR2.ini");
    ini.replace(ini.find("chip_type=PN05"), 14, "chip_type=PN13,PN05");
    folder.Write("SDK_CPU_DDR2.ini", ini);
    RunResult r = RunConfig(folder.Dir());
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.output.find("warning: Error: NimbraP4和PN13 is error，please check"), std::string::npos) << r.output;
}

// Settings with which no board can ever pass stop the station up front, in
// kestrow config and kestrow burn alike, naming the file and the value.
TEST_F(ConfigCommandTest, ConfigurationsThatCanNeverBurnAreRefused) {
    struct Case {
        const char* line;
        const char* changed;
        std::string refusal;
    } cases[] = {
        {"chip mode = 1", "chip mode = 0",
         "chip mode 0 (Nandflash) reads no flash ID, so no board can pass (use 1, 5, 6 or 7)"},
        {"chip mode = 1", "chip mode = 2",
         "chip mode 2 (SD) reads no flash ID, so no board can pass (use 1, 5, 6 or 7)"},
        {"chip mode = 1", "chip mode = 4", "chip mode 4 names no burn medium (use 1, 5, 6 or 7)"},
        {"device channel = 1", "device channel = 0", "device channel 0 leaves no channel to burn on (use 1 to 16)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.changed);
        SetConfigLine(c.line, c.changed);
        RunResult r = RunConfig(folder.Dir());
        EXPECT_EQ(r.status, 2) << r.output;
        EXPECT_NE(r.output.find("warning: config.txt: " + c.refusal + "\n"), std::string::npos) << r.output;
        r = cli::testing::RunKestrow("burn --timeout 1 --port /dev/null --station '" + folder.Dir() + "'");
        EXPECT_EQ(r.status, 2) << r.output;
        EXPECT_NE(r.output.find("kestrow burn: " + folder.Path("config.txt") + ": " + c.refusal + "\n"),
                  std::string::npos)
            << r.output;
        SetConfigLine(c.changed, c.line);
    }
}

// A station folder the station's user cannot write keeps no logs: said up front.
TEST_F(ConfigCommandTest, StationFolderThatCannotBeWrittenIsAProblem) {
    std::string why;
    const std::string nobody = cli::testing::AsNobody(why);
    if (nobody.empty()) GTEST_SKIP() << "cannot test as an unprivileged user: " << why;
    const std::string station = folder.Dir();  // root's, and not writable for nobody
    RunResult r = cli::testing::RunKestrow("config --station '" + station + "'", nobody);
    EXPECT_EQ(r.status, 2) << r.output;
    for (const std::string& expected :
         {"warning: cannot write to the station folder " + station +
              " (Permission denied): no transfer log, and settings and address pools cannot be saved\n",
          "warning: cannot make the log folder " + station + "/log: no channel or main logs will be kept\n",
          "warning: cannot write " + station + "/config.txt (Permission denied)\n"})
        EXPECT_NE(r.output.find(expected), std::string::npos) << expected << "\n" << r.output;

    r = cli::testing::RunKestrow("burn --timeout 1 --port /dev/null --station '" + station + "'", nobody);
    EXPECT_EQ(r.status, 3) << r.output;
    EXPECT_NE(r.output.find("warning: cannot make the log folder " + station + "/log"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("watching /dev/null for 1 board (no logs are kept)\n"), std::string::npos) << r.output;
}

// What the window's Hardware dialog does, from the command line: a RAM
// configuration file read, written with a configuration word, and the boot
// loader's command-line block written now.
TEST_F(ConfigCommandTest, RamConfigurationImportExportAndTheBootCommandLine) {
    folder.Write("board.txt", "[CONFIG_DATA]\r\n0x21000000, 0x00004e05,\r\n0x2000e000, 0xffffffff,\r\n[END]\r\n");
    const std::string station = " --station '" + folder.Dir() + "'";
    RunResult r = cli::testing::RunKestrow("config" + station + " --import-ram '" + folder.Path("board.txt") +
                                           "' --export-ram '" + folder.Path("out.txt") + "' --ram-word 4e03");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("board.txt, 2 register pairs"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("configuration word 0x00004e03 (RAM type DDR2_32, bank 1, column 3, row 2)"),
              std::string::npos)
        << r.output;
    EXPECT_NE(folder.Read("out.txt").find("0x2000e000, 0xffff4ffb,    //remark\r\n"), std::string::npos);

    folder.Write("broken.txt", "not a RAM configuration\r\n");
    r = cli::testing::RunKestrow("config" + station + " --import-ram '" + folder.Path("broken.txt") + "'");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.output.find("kestrow config: Import file fail,the file is not valid!"), std::string::npos) << r.output;

    EXPECT_NE(RunConfig(folder.Dir()).output.find("Command line:    0x81f00000 \"console=ttySQM0,115200n8 root="),
              std::string::npos);
    r = cli::testing::RunKestrow("config" + station + " --cmdline-addr 82000000 --cmdline-data 'mem=32M'");
    EXPECT_EQ(r.status, 0) << r.output;
    const std::string boot = folder.Read("u-boot.bin");
    EXPECT_EQ(boot.substr(72, 8), std::string("CMDL\0\0\0\x82", 8));
    EXPECT_EQ(boot.substr(80, 8), std::string("mem=32M\0", 8));
    r = cli::testing::RunKestrow("config" + station + " --cmdline-addr 82000000 --cmdline-data 'mem=32M'");
    EXPECT_NE(r.output.find("Command line:    already in "), std::string::npos) << r.output;
}

}  // namespace
}  // namespace kestrow::config
