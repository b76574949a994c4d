// kestrow spi-image on a copy of the sample station: --chip-type chooses the
// boot header layout as the image dialog's buttons do.
#include "tests/kestrow/cli/run_program.h"
#include "tests/kestrow/config/temp_folder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

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

}  // namespace
}  // namespace kestrow::cli
