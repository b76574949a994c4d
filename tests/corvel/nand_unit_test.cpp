// The NAND transfer unit: the largest run of whole pages with their spare
// areas that fits in 64 KiB.
#include "corvel/core/library.h"

#include <gtest/gtest.h>

using namespace corvel;

namespace {

TEST(NandTransferUnit, WholePagesWithSpareWithin64KiB) {
    ASSERT_EQ(KW_Init(2, [](unsigned) { return 0; }, [](unsigned, unsigned) {}), 1u);
    BurnObject& ch = Lib().channels[0];
    // A handle that is no open port: the command itself cannot go out.
    ch.hDevice = reinterpret_cast<KW_HANDLE>(uintptr_t{0x1000});
    struct Case {
        uint16_t page, spare;
        unsigned unit;
    } cases[] = {{2048, 64, 65472}, {4096, 224, 64800}, {512, 16, 65472}};
    for (const Case& c : cases) {
        tag_Nand_Phy_Info info{};
        info.page_size = c.page;
        info.spare_size = c.spare;
        info.clock = 7;
        EXPECT_EQ(KW_Uart_SetNandParam(1, &info), 0u);
        EXPECT_EQ(ch.nandTransferUnit.load(), c.unit) << c.page << "+" << c.spare;
        EXPECT_EQ(ch.NandPhyInfo.clock, 7u);  // the whole record is kept
    }
    EXPECT_EQ(KW_Uart_SetNandParam(1, nullptr), 0u);
    ch.hDevice = KW_INVALID_HANDLE;
}

}  // namespace
