// kestrow config against the sample station and broken copies of it.
#include "kestrow/config/text_util.h"
#include "tests/kestrow/cli/run_program.h"
#include "tests/kestrow/config/temp_folder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>
#include <sys/stat.h>
#include <vector>

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
    void SetUp() override { CopySampleStation(); }
    void CopySampleStation() {
        const char* source = std::getenv("KESTROW_SOURCE_DIR");
        ASSERT_NE(source, nullptr);
        for (const auto& entry : std::filesystem::directory_iterator(folder.Dir())) std::filesystem::remove_all(entry);
        std::filesystem::copy(std::string(source) + "/station", folder.Dir(), std::filesystem::copy_options::recursive);
    }
    void SetConfigLine(const std::string& from, const std::string& to) {
        std::string text = Utf16ToUtf8(base::DecodeUtf16(folder.Read("config.txt").substr(2), base::ByteOrder::Little));
        ASSERT_NE(text.find(from), std::string::npos) << from;
        text.replace(text.find(from), from.size(), to);
        folder.Write("config.txt", testing::Utf16File(text));
    }
    // Replaces the first `from` after `after` in an 8-bit station file.
    void Replace(const std::string& file, const std::string& from, const std::string& to, const std::string& after = "") {
        std::string text = folder.Read(file);
        const std::size_t at = text.find(from, text.find(after));
        ASSERT_NE(at, std::string::npos) << file << ": " << from;
        text.replace(at, from.size(), to);
        folder.Write(file, text);
    }
};

// The "warning: " lines of an output, without their prefix.
std::vector<std::string> Warnings(const std::string& output) {
    std::vector<std::string> warnings;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);)
        if (line.rfind("warning: ", 0) == 0) warnings.push_back(line.substr(9));
    return warnings;
}

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

// A flash record cut short would burn its boards with zeros after the fault:
// kestrow burn refuses the station as kestrow config warns of it.
TEST_F(ConfigCommandTest, AFlashRecordThatDoesNotReadWholeStopsTheBurn) {
    SetConfigLine("spinand 1 = 0xefaa21, 2048,  64, 1024, 1024,  64, 0x0, 0x0, 20000000, W25N01GV",
                  "spinand 1 = 0xefaa21, 2048,  64");
    const std::string refusal = "config.txt line 28: spinand 1 = 0xefaa21, 2048,  64: this flash record does not "
                                "read whole, and a board with its flash would be burned with the fields after the "
                                "fault as zero\n";
    RunResult r = RunConfig(folder.Dir());
    EXPECT_EQ(r.status, 2) << r.output;
    EXPECT_NE(r.output.find(refusal), std::string::npos) << r.output;
    r = cli::testing::RunKestrow("burn --timeout 1 --port /dev/null --station '" + folder.Dir() + "'");
    EXPECT_EQ(r.status, 2) << r.output;
    EXPECT_NE(r.output.find("kestrow burn: " + refusal), std::string::npos) << r.output;
}

// A station whose burns would fail for a reason of configuration, or a port
// that can never be serial, is refused before kestrow burn takes any board:
// exit status 2, and first the line kestrow config prints for it.
TEST_F(ConfigCommandTest, BurnRefusesWhatWouldFailEveryBoard) {
    const std::string kTable = "[64M_Ram_Param2]";  // the table a burn of the sample station sends
    const std::string rates = "(115200, 921600, 1000000, 1500000, 2000000, 3000000, 4000000, 6000000)";
    struct Case {
        const char* what;
        std::function<void()> change;
        std::string ports;  // kestrow burn's port arguments; "": the configuration's
        std::string refusal;
        bool configWarns;  // kestrow config warns the same line
    };
    const Case cases[] = {
        {"--port a null device", [] {}, "--port /dev/null",
         "--port /dev/null: /dev/null is a character device but no terminal, so not a serial port", false},
        {"--port a folder", [] {}, "--port /tmp", "--port /tmp: /tmp is a folder, not a serial port", false},
        {"--port COM0 after a good port", [] {}, "--port /dev/ttyUSB-kestrow-absent --port COM0",
         "--port COM0: COM0 names no port: COM ports count from COM1", false},
        {"uart com a null device", [&] { SetConfigLine("uart com = COM1", "uart com = /dev/null"); }, "",
         "config.txt line 8: uart com /dev/null: /dev/null is a character device but no terminal, so not a serial port",
         true},
        {"a further port a folder",
         [&] {
             SetConfigLine("device channel = 1", "device channel = 2");
             SetConfigLine("uart com = COM1", "uart com = COM1\r\nuart com 2 = /tmp");
         },
         "", "config.txt line 9: uart com 2 /tmp: /tmp is a folder, not a serial port", false},
        {"link rate the boot ROM has not", [&] { SetConfigLine("uart baud = 115200", "uart baud = 12345"); },
         "--port /dev/ttyUSB-kestrow-absent",
         "config.txt line 9: uart baud 12345 is not a rate the boot ROM and the link can switch to " + rates, true},
        {"RAM table reg_num over the limit",
         [&] { Replace("SDK_CPU_DDR2.ini", "reg_num=13", "reg_num=65", kTable); }, "--port /dev/ttyUSB-kestrow-absent",
         folder.Path("SDK_CPU_DDR2.ini") +
             " [64M_Ram_Param2] (PN05, 800/533 MHz): reg_num 65 is more than the 64 registers a burn can send",
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CopySampleStation();
        c.change();
        const RunResult r =
            cli::testing::RunKestrow("burn --timeout 5 " + c.ports + " --station '" + folder.Dir() + "'");
        EXPECT_EQ(r.status, 2) << r.output;
        EXPECT_EQ(r.output.substr(0, r.output.find('\n')), "kestrow burn: " + c.refusal) << r.output;
        EXPECT_EQ(r.output.find("watching"), std::string::npos) << r.output;
        if (c.configWarns) {
            EXPECT_EQ(Warnings(RunConfig(folder.Dir()).output), std::vector<std::string>{c.refusal});
        }
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

    // A port not plugged in yet: the burn watches it until the time-out.
    const std::string absent = "/dev/ttyUSB-kestrow-absent";
    r = cli::testing::RunKestrow("burn --timeout 1 --port " + absent + " --station '" + station + "'", nobody);
    EXPECT_EQ(r.status, 3) << r.output;
    EXPECT_NE(r.output.find("warning: cannot make the log folder " + station + "/log"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("watching " + absent + " for 1 board (no logs are kept)\n"), std::string::npos) << r.output;
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

// Everything in the station's files that would fail a burn for a reason of
// configuration: exit status 2 and exactly one warning that names the file,
// the place and the value as written (no knock-on warnings after it).
TEST_F(ConfigCommandTest, EveryConfigurationFaultIsOneWarning) {
    // The RAM table a burn of the sample station sends: 64 MB part PN05, clock pair 2.
    const std::string kTable = "[64M_Ram_Param2]";
    const std::string tables = folder.Path("SDK_CPU_DDR2.ini") + " [64M_Ram_Param2] (PN05, 800/533 MHz): ";
    const std::string config = folder.Path("config.txt");
    struct Case {
        const char* what;
        std::function<void()> change;
        std::string warning;
    };
    const Case cases[] = {
        {"reg_num beyond its entries", [&] { Replace("SDK_CPU_DDR2.ini", "reg_num=13", "reg_num=14", kTable); },
         tables + "reg_addr_value14 is missing (reg_num is 14), so the burn would write 0x00000000 to 0x00000000"},
        {"entries beyond reg_num", [&] { Replace("SDK_CPU_DDR2.ini", "reg_num=13", "reg_num=12", kTable); },
         tables + "reg_num is 12 but the section holds 1 more register pair that the burn would leave out"},
        {"reg_num 0", [&] { Replace("SDK_CPU_DDR2.ini", "reg_num=13", "reg_num=0", kTable); },
         tables + "reg_num is 0, so no RAM register would be set"},
        {"reg_num over the limit", [&] { Replace("SDK_CPU_DDR2.ini", "reg_num=13", "reg_num=65", kTable); },
         tables + "reg_num 65 is more than the 64 registers a burn can send"},
        {"pair without its comma",
         [&] { Replace("SDK_CPU_DDR2.ini", "reg_addr_value1=0x08000004,0x00012b41", "reg_addr_value1=0x08000004 0x00012b41",
                     kTable); },
         tables + "reg_addr_value1 \"0x08000004 0x00012b41\" is not \"address,value\" in hex, so the burn would write "
                  "0x00000000 to 0x00000000"},
        {"pair value not hex",
         [&] { Replace("SDK_CPU_DDR2.ini", "reg_addr_value1=0x08000004,0x00012b41", "reg_addr_value1=0x08000004,pll", kTable); },
         tables + "reg_addr_value1 \"0x08000004,pll\" is not \"address,value\" in hex, so the burn would write "
                  "0x00000000 to 0x08000004"},
        {"link rate the boot ROM has not", [&] { SetConfigLine("uart baud = 115200", "uart baud = 12345"); },
         "config.txt line 9: uart baud 12345 is not a rate the boot ROM and the link can switch to (115200, 921600, "
         "1000000, 1500000, 2000000, 3000000, 4000000, 6000000)"},
        {"link rate beyond 32 bits", [&] { SetConfigLine("uart baud = 115200", "uart baud = 99999999999"); },
         "config.txt line 9: uart baud 99999999999 is not a rate the boot ROM and the link can switch to (115200, "
         "921600, 1000000, 1500000, 2000000, 3000000, 4000000, 6000000)"},
        {"run address not hex", [&] { SetConfigLine("producer run addr = 0x80000000", "producer run addr = zz"); },
         "config.txt line 16: producer run addr \"zz\" is not a hex number; 0x00000000 used"},
        {"run address wider than 32 bits",
         [&] { SetConfigLine("producer run addr = 0x80000000", "producer run addr = 0x180000000"); },
         "config.txt line 16: producer run addr \"0x180000000\" is not a hex number; 0x80000000 used"},
        {"channel count as written", [&] { SetConfigLine("device channel = 1", "device channel = 99999999999"); },
         "config.txt line 5: device channel 99999999999 is cut to 16"},
        {"list count as written",
         [&] { SetConfigLine("spinand supported count = 6", "spinand supported count = 99999999999"); },
         "config.txt line 27: spinand supported count 99999999999 is out of range 0..1024"},
        {"port that is a null device", [&] { SetConfigLine("uart com = COM1", "uart com = /dev/null"); },
         "config.txt line 8: uart com /dev/null: /dev/null is a character device but no terminal, so not a serial port"},
        {"port that is a folder", [&] { SetConfigLine("uart com = COM1", "uart com = /tmp"); },
         "config.txt line 8: uart com /tmp: /tmp is a folder, not a serial port"},
        {"port COM0", [&] { SetConfigLine("uart com = COM1", "uart com = COM0"); },
         "config.txt line 8: uart com COM0: COM0 names no port: COM ports count from COM1"},
        {"empty part-number list", [&] { Replace("SDK_CPU_DDR2.ini", "chip_type=PN05,PN01,PN30,PN29", "chip_type="); },
         "SDK_CPU_DDR2.ini: [Chip_Type] chip_type lists no part number"},
        {"burn.ini names a missing file", [&] { Replace("burn.ini", "File Name=config.txt", "File Name=configB.txt"); },
         "burn.ini [Config] File Name = configB.txt: there is no such file in the station folder; config.txt used"},
        {"burn.ini names no configuration file",
         [&] {
             Replace("burn.ini", "File Name=config.txt", "File Name=line7.txt");
             folder.Write("line7.txt", folder.Read("config.txt"));
         },
         "burn.ini [Config] File Name = line7.txt: not a configuration file (its name must hold \"config\" and end in "
         ".txt); config.txt used"},
        {"refused language file",
         [&] {
             Replace("burn.ini", "Lang=English", "Lang=Deutsch");
             folder.Write("Lang/Deutsch.txt", "not a language file\r\n");
         },
         "burn.ini [Lang] Lang = Deutsch: language file " + folder.Path("Lang/Deutsch.txt") + " holds 0 of 379 entries"},
        {"garbage line in the address pool",
         [&] { folder.Write("config_addr.txt", "[config_addr]\r\nmac_current_low_0_F=Y\r\nmac_current_low_0_A=00:00:0F\r\nMAC 00:00:10\r\n"); },
         "config_addr.txt line 4: \"MAC 00:00:10\" is no \"key=value\" line"},
        {"unknown key in the address pool",
         [&] { folder.Write("config_addr.txt", "[config_addr]\r\nmac_current_low_0_F=Y\r\nmac_current_low_0_A=00:00:0F\r\nmac_current_low_32_A=00:00:20\r\n"); },
         "config_addr.txt: [config_addr] \"mac_current_low_32_A\" is no pool entry (mac_current_low_N_F/_A or "
         "serial_current_low_N_F/_A, N from 0 to 31)"},
        {"garbage line in the Bluetooth log",
         [&] { folder.Write("blue_addr_log.txt", "# used\n1,44A6E6000001,2\n44A6E6000002\n"); },
         "blue_addr_log.txt line 3: \"44A6E6000002\" is no record \"number, 12-digit address, number\""},
        {"empty config.txt", [&] { folder.Write("config.txt", ""); },
         "the configuration " + config + " is empty (defaults used)"},
        {"config.txt of a byte-order mark", [&] { folder.Write("config.txt", "\xFF\xFE"); },
         "the configuration " + config + " holds only a byte-order mark (defaults used)"},
        {"config.txt of a UTF-8 byte-order mark", [&] { folder.Write("config.txt", "\xEF\xBB\xBF"); },
         "the configuration " + config + " holds only a byte-order mark (defaults used)"},
        {"config.txt that is a folder",
         [&] {
             std::filesystem::remove(config);
             std::filesystem::create_directory(config);
         },
         "cannot read the configuration " + config + ": it is a folder, not a regular file (defaults used)"},
        {"config.txt that is a named pipe",
         [&] {
             std::filesystem::remove(config);
             ASSERT_EQ(::mkfifo(config.c_str(), 0644), 0);
         },
         "cannot read the configuration " + config + ": it is a named pipe, not a regular file (defaults used)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CopySampleStation();
        c.change();
        const RunResult r = RunConfig(folder.Dir());
        EXPECT_EQ(r.status, 2) << r.output;
        EXPECT_EQ(Warnings(r.output), std::vector<std::string>{c.warning}) << r.output;
    }
}

// A station file nobody may read is said as such, not as missing.
TEST_F(ConfigCommandTest, ConfigurationFileThatCannotBeReadIsSaidAsSuch) {
    std::string why;
    const std::string nobody = cli::testing::AsNobody(why);
    if (nobody.empty()) GTEST_SKIP() << "cannot test as an unprivileged user: " << why;
    std::filesystem::permissions(folder.Dir(), std::filesystem::perms(0755));
    std::filesystem::permissions(folder.Path("config.txt"), std::filesystem::perms(0600));
    const RunResult r = cli::testing::RunKestrow("config --station '" + folder.Dir() + "'", nobody);
    EXPECT_EQ(r.status, 2) << r.output;
    EXPECT_NE(r.output.find("warning: cannot read the configuration " + folder.Path("config.txt") +
                            ": Permission denied (defaults used)\n"),
              std::string::npos)
        << r.output;
    EXPECT_EQ(r.output.find("part number"), std::string::npos) << r.output;
}

}  // namespace
}  // namespace kestrow::config
