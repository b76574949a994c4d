#include "kestrow/config/flash_lists.h"

#include <gtest/gtest.h>

#include <cstring>

namespace kestrow::config {
namespace {

TEST(FlashLists, RowsShowTheRecordsAndWriteBackUnchanged) {
    BurnConfig config;
    SpiNorInfo nor{};
    nor.chip_id = 0xef4018;
    nor.total_size = 16777216;
    nor.page_size = 256;
    nor.program_size = 256;
    nor.erase_size = 65536;
    nor.clock = 20000000;
    nor.flag = 0x3;
    nor.protect_mask = 0x1c;
    nor.ex_flag = 0x5;
    std::strcpy(nor.part_number, "W25Q128JV");
    SpiNandInfo nand{};
    nand.chip_id = 0xefaa21;
    nand.page_size = 2048;
    nand.pages_per_block = 64;
    nand.total_blocks = 1024;
    nand.plane_blocks = 1024;
    nand.spare_size = 64;
    nand.custom_nand = 18;
    nand.flag = 0x1;
    nand.clock = 20000000;
    std::strcpy(nand.part_number, "W25N01GV");
    config.spinor_list = {nor};
    config.spinand_list = {nand};

    FlashListEditor norList(FlashListKind::SpiNor, config);
    EXPECT_EQ(norList.Rows().at(0), (std::vector<std::string>{"1", "0xef4018", "16777216", "256", "256", "65536",
                                                              "20000000", "0x3", "0x1c", "W25Q128JV", "0x05"}));
    FlashListEditor nandList(FlashListKind::SpiNand, config);
    EXPECT_EQ(nandList.Rows().at(0), (std::vector<std::string>{"1", "0xefaa21", "2048", "64", "1024", "1024", "64",
                                                               "18", "0x00000001", "20000000", "W25N01GV"}));
    BurnConfig back;
    norList.WriteBack(back);
    nandList.WriteBack(back);
    ASSERT_EQ(back.spinor_list.size(), 1u);
    EXPECT_EQ(std::memcmp(&back.spinor_list[0], &nor, sizeof nor), 0);
    EXPECT_EQ(std::memcmp(&back.spinand_list[0], &nand, sizeof nand), 0);
}

TEST(FlashLists, EditedCellsAreReadLikeTheConfigurationFile) {
    BurnConfig config;
    FlashListEditor list(FlashListKind::SpiNor, config);
    list.AddRow();
    list.AddRow();
    list.SetCell(1, 1, "c22018");  // no 0x: still hex
    list.SetCell(1, 2, " 16777216 bytes");
    list.SetCell(1, 9, "MX25L12835F-THIS-NAME-IS-FAR-TOO-LONG");
    list.RemoveRow(0);
    EXPECT_EQ(list.Rows().at(0).at(0), "1");
    EXPECT_THROW(list.SetCell(0, 0, "9"), std::out_of_range);
    list.WriteBack(config);
    ASSERT_EQ(config.spinor_list.size(), 1u);
    EXPECT_EQ(config.spinor_list[0].chip_id, 0xc22018u);
    EXPECT_EQ(config.spinor_list[0].total_size, 16777216u);
    EXPECT_STREQ(config.spinor_list[0].part_number, "MX25L12835F-THIS-NAME-IS-FAR-TO");
    // An emptied list reaches the file as a count of 0 and no entries.
    FlashListEditor(FlashListKind::SpiNand, config).WriteBack(config);
    EXPECT_NE(config.FormatConfigText().find("spinand supported count = 0\r\n\r\nsflash"), std::string::npos);
}

// Each cell is checked as its column reads it: "8MB" was read as 8 and "zz"
// as 0, and an added row of zeros was saved as a flash entry.
TEST(FlashLists, CellsThatDoNotReadAsTheirColumnAreNamed) {
    struct Case {
        FlashListKind kind;
        std::size_t column;
        const char* typed;
        const char* problem;  // "" when the cell is fine
    } cases[] = {
        {FlashListKind::SpiNor, 1, "1c3017", ""},
        {FlashListKind::SpiNor, 1, "0xEF4018", ""},
        {FlashListKind::SpiNor, 1, "zz", "Chip ID \"zz\" is not a hex number up to 0xFFFFFFFF"},
        {FlashListKind::SpiNor, 1, "0x123456789", "Chip ID \"0x123456789\" is not a hex number up to 0xFFFFFFFF"},
        {FlashListKind::SpiNor, 1, "0", "Chip ID \"0\" must not be 0"},
        {FlashListKind::SpiNor, 2, "8MB", "Total Size \"8MB\" is not a whole number up to 2147483647"},
        {FlashListKind::SpiNor, 2, " 8388608 ", ""},
        {FlashListKind::SpiNor, 2, "-1", "Total Size \"-1\" is not a whole number up to 2147483647"},
        {FlashListKind::SpiNor, 5, "0", "Erase Size \"0\" must not be 0"},
        {FlashListKind::SpiNor, 6, "0", ""},
        {FlashListKind::SpiNor, 7, "0x100", "Flag \"0x100\" is not a hex number up to 0xFF"},
        {FlashListKind::SpiNor, 9, "", ""},
        {FlashListKind::SpiNand, 2, "70000", "Page Size \"70000\" is not a whole number up to 65535"},
        {FlashListKind::SpiNand, 6, "256", "Spare Size \"256\" is not a whole number up to 255"},
        {FlashListKind::SpiNand, 8, "0x0000FFFF", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.typed) + " in column " + std::to_string(c.column));
        BurnConfig config;
        FlashListEditor editor(c.kind, config);
        editor.AddRow();
        editor.SetCell(0, c.column, c.typed);
        EXPECT_EQ(editor.CellProblem(0, c.column), c.problem);
    }
    BurnConfig config;
    FlashListEditor editor(FlashListKind::SpiNor, config);
    editor.AddRow();
    EXPECT_EQ(editor.Problems(), (std::vector<std::string>{
                                     "row 1: Chip ID \"0x0\" must not be 0", "row 1: Total Size \"0\" must not be 0",
                                     "row 1: Page Size \"0\" must not be 0", "row 1: Program Size \"0\" must not be 0",
                                     "row 1: Erase Size \"0\" must not be 0"}));
}

}  // namespace
}  // namespace kestrow::config
