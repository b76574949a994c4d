// kestrow spi-image on a copy of the sample station: --chip-type chooses the
// boot header layout as the image dialog's buttons do; what the build cannot
// take is refused with exit 2 and its reason, and nothing is replaced.
#include "tests/kestrow/cli/run_program.h"
#include "tests/kestrow/config/temp_folder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdlib>
#include <filesystem>
#include <functional>

namespace kestrow::cli {
namespace {

TEST(SpiImageCommand, ChipTypeChoosesTheBootHeaderLayout) {
    config::testing::TempFolder folder;
    const char* source = std::getenv("KESTROW_SOURCE_DIR");
    ASSERT_NE(source, nullptr);
    std::filesystem::copy(std::string(source) + "/station", folder.Path("station"),
                          std::filesystem::copy_options::recursive);
    const std::string loader = folder.Read("station/u-boot.bin");
    struct Case {
        const char* chipType;  // "" for the station's own (8, whose header stays as shipped)
        std::size_t magicAt;
        std::string magic;
    };
    const Case cases[] = {
        {"", 4, loader.substr(4, 8)},
        {"2", 4, "QMSH_P80"},
        {"3", 4, "QMSH_P80"},
        {"4", 32, "MORVO_N7"},
        {"5", 4, "MORVO_K6"},
        {"6", 4, "MORVOK6D"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.chipType);
        const std::string args = "spi-image --station '" + folder.Path("station") + "' --flash W25Q128JV --output '" +
                                 folder.Path("image.bin") + "'" +
                                 (*c.chipType != '\0' ? std::string(" --chip-type ") + c.chipType : std::string());
        const testing::RunResult r = testing::RunKestrow(args);
        ASSERT_EQ(r.status, 0) << r.output;
        EXPECT_EQ(folder.Read("image.bin").substr(c.magicAt, c.magic.size()), c.magic);
    }
    const testing::RunResult refused = testing::RunKestrow("spi-image --station '" + folder.Path("station") +
                                                           "' --flash W25Q128JV --output '" + folder.Path("x.bin") +
                                                           "' --chip-type 7");
    EXPECT_NE(refused.status, 0);
    EXPECT_NE(refused.output.find("--chip-type"), std::string::npos) << refused.output;
    EXPECT_FALSE(std::filesystem::exists(folder.Path("x.bin")));
}

TEST(SpiImageCommand, RefusalsExitTwoWithTheirCauseAndReplaceNothing) {
    namespace fs = std::filesystem;
    config::testing::TempFolder folder;
    const char* source = std::getenv("KESTROW_SOURCE_DIR");
    ASSERT_NE(source, nullptr);
    const std::string station = folder.Path("station");
    fs::copy(std::string(source) + "/station", station, fs::copy_options::recursive);
    const std::string loader = folder.Read("station/u-boot.bin");
    folder.Write("previous.bin", "previous image");
    ASSERT_EQ(::mkfifo(folder.Path("pipe").c_str(), 0644), 0);
    // A device node needs the privilege to make one; a pipe stands in without it.
    const bool node = ::mknod(folder.Path("node").c_str(), S_IFCHR | 0644, ::makedev(1, 3)) == 0;
    const std::string list = "(W25Q64JV, W25Q128JV, W25Q256JV, MX25L6433F, MX25L12835F, GD25Q64C, GD25Q128C, "
                             "EN25QH128A, IS25LP128)";
    struct Case {
        const char* what;
        std::string args;
        std::string lines;  // the first line of the refusal and its cause
        std::function<void()> setUp = [] {};
    };
    std::vector<Case> cases = {
        {"flash in another case", "--flash w25q128jv --output '" + folder.Path("previous.bin") + "'",
         "not find the spiflash!\n\"w25q128jv\" is not in the SPI NOR list " + list + "; did you mean W25Q128JV?\n"},
        {"flash named by its beginning", "--flash W25Q128 --output '" + folder.Path("previous.bin") + "'",
         "not find the spiflash!\n\"W25Q128\" is not in the SPI NOR list " + list + "; did you mean W25Q128JV?\n"},
        {"partitions larger than the flash", "--flash W25Q64JV --output '" + folder.Path("previous.bin") + "'",
         "creat the partition fail\nthe partitions need 14592 KiB in whole 64 KiB blocks (KERNEL 2048, A 8192, B "
         "4096, MAC 64, SEQ 64, ENV 64, BTADDR 64 KiB); W25Q64JV has 7936 KiB for them (8192 KiB less 2 boot "
         "blocks and the two partition table blocks)\n"},
        {"output a named pipe", "--flash W25Q128JV --output '" + folder.Path("pipe") + "'",
         "creat spiimage CreateFile fail!\ncannot replace " + folder.Path("pipe") +
             ": it is a named pipe, not a regular file\n"},
        {"output in a missing folder", "--flash W25Q128JV --output '" + folder.Path("missing/image.bin") + "'",
         "creat spiimage CreateFile fail!\ncannot create a file in " + folder.Path("missing") +
             ": No such file or directory\n"},
        {"boot loader without its marker", "--flash W25Q128JV --output '" + folder.Path("previous.bin") + "'",
         "the boot loader " + station + "/u-boot.bin has no \"SPIP\" marker in its first 600 bytes: the flash record "
         "has no place in it, and no burn or --inspect could read the image back\nNo image file was written.\n",
         [&] { folder.Write("station/u-boot.bin", std::string(65536, '\xFF')); }},
        {"inspect a named pipe", "--inspect '" + folder.Path("pipe") + "'",
         "--inspect: " + folder.Path("pipe") + " is a named pipe, not a regular file\n"},
        {"no flash and no inspect", "", "spi-image: give --flash NAME --output FILE, or --inspect FILE\n"},
        {"chip type without a header layout", "--flash W25Q128JV --output x.bin --chip-type 7",
         "--chip-type: Value 7 not in range 1 to 6\n"},
    };
    if (node) {
        cases.push_back({"output a device node", "--flash W25Q128JV --output '" + folder.Path("node") + "'",
                         "creat spiimage CreateFile fail!\ncannot replace " + folder.Path("node") +
                             ": it is a character device, not a regular file\n"});
        cases.push_back({"inspect a device node", "--inspect '" + folder.Path("node") + "'",
                         "--inspect: " + folder.Path("node") + " is a character device, not a regular file\n"});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.setUp();
        const testing::RunResult r = testing::RunKestrow("spi-image --station '" + station + "' " + c.args);
        folder.Write("station/u-boot.bin", loader);
        EXPECT_EQ(r.status, 2) << r.output;
        EXPECT_EQ(r.output.substr(0, c.lines.size()), c.lines) << r.output;
        EXPECT_EQ(folder.Read("previous.bin"), "previous image");
        EXPECT_TRUE(fs::is_fifo(folder.Path("pipe")));
        if (node) {
            EXPECT_TRUE(fs::is_character_file(folder.Path("node")));
        }
    }
    EXPECT_FALSE(fs::exists(folder.Path("missing")));
}

}  // namespace
}  // namespace kestrow::cli
