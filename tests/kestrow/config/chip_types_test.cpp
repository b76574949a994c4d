// The station's chip-type table against what each chip type requires,
// written out here on their own.
#include "kestrow/config/burn_config.h"
#include "kestrow/config/chip_types.h"

#include <gtest/gtest.h>

#include <string>

namespace kestrow::config {
namespace {

TEST(ChipTypeTable, OneRowPerChipTypeAndUnknownValuesReadAsReserved) {
    for (int type = 0; type <= 12; ++type) {
        const ChipTypeInfo* row = FindChipType(type);
        ASSERT_NE(row, nullptr) << type;
        EXPECT_EQ(row->type, type);
        EXPECT_EQ(&ChipTypeOrReserved(type), row);
    }
    for (int unknown : {-1, 13, 1000}) {
        EXPECT_EQ(FindChipType(unknown), nullptr) << unknown;
        EXPECT_EQ(ChipTypeOrReserved(unknown).name, "RESERVER") << unknown;
    }
    // config.txt stores the name and reads it back to the same type.
    for (const ChipTypeInfo& row : kChipTypeTable) EXPECT_EQ(ChipTypeFromName(row.name), row.type) << row.name;
    EXPECT_EQ(ChipTypeFromName("SOC_XX"), kChipTypeReserved);
    EXPECT_EQ(ChipTypeName(40), "RESERVER");
    // Code that means one chip type, or a run of them, names it.
    static_assert(ChipTypeNamed("SOC_FB_V1") == 0 && ChipTypeNamed("SOC_FC_E1") == 8 &&
                  ChipTypeNamed("RESERVER") == 12);
    constexpr ChipTypeRun serial = ChipTypesWhere([](const ChipTypeInfo& row) { return row.serialBoot; });
    static_assert(serial.first == 6 && serial.last == 11);
}

TEST(ChipTypeTable, EveryRowHasWhatItsChipRequires) {
    constexpr RamSetup kNo = RamSetup::None, kTable = RamSetup::Table, kImage = RamSetup::TestImage;
    constexpr ProgressScale kAll = ProgressScale::Transfer, kFifth = ProgressScale::FifthWithoutUpdate;
    struct Required {
        const char* name;
        bool serialBoot;
        RamSetup ram;
        bool ramList, ramWord, bootMode;
        ProgressScale progress;
    };
    const Required required[] = {
        {"SOC_FB_V1", false, kNo, false, false, false, kFifth},
        {"SOC_FA_V9", false, kTable, false, true, false, kAll},
        {"SOC_FA_V8", false, kTable, false, true, false, kAll},
        {"SOC_FA_V7", false, kTable, false, true, false, kAll},
        {"SOC_FB_V2", false, kNo, false, false, false, kFifth},
        {"SOC_FA_V6", false, kTable, false, true, false, kAll},
        {"SOC_FA_V5", true, kTable, true, true, false, kAll},
        {"SOC_FA_V4", true, kTable, true, false, false, kAll},
        {"SOC_FC_E1", true, kTable, true, false, false, kAll},
        {"SOC_FA_V3", true, kTable, true, false, true, kAll},
        {"SOC_FA_V2", true, kTable, true, false, false, kAll},
        {"SOC_FA_V1", true, kImage, true, false, false, kAll},
        {"RESERVER", false, kTable, false, false, false, kAll},
    };
    for (int type = 0; type <= 12; ++type) {
        const Required& r = required[type];
        SCOPED_TRACE(std::to_string(type) + " " + r.name);
        const ChipTypeInfo& row = *FindChipType(type);
        EXPECT_EQ(row.name, r.name);
        EXPECT_EQ(row.serialBoot, r.serialBoot);
        EXPECT_EQ(row.ram, r.ram);
        EXPECT_EQ(row.ramListFromTables, r.ramList);
        EXPECT_EQ(row.ramConfigWord, r.ramWord);
        EXPECT_EQ(row.bootModeEditable, r.bootMode);
        EXPECT_EQ(row.progress, r.progress);
    }
}

TEST(ChipTypeTable, SpiImageHeaderOfEveryRow) {
    constexpr SpiImageHeader kNone = SpiImageHeader::None, kA = SpiImageHeader::LayoutA, kB = SpiImageHeader::LayoutB;
    struct Required {
        SpiImageHeader header;
        const char* magic;
        std::uint32_t baseClock, load;
        bool ramList, identityAreas, quietOnRtos;
    };
    const Required required[] = {
        {kNone, "", 0, 0, false, false, false},                         // 0
        {kA, "MORVO_K6", 60000000, 0x80E00000, false, true, false},     // 1
        {kA, "QMSH_P80", 60000000, 0x80E00000, false, true, true},      // 2
        {kA, "QMSH_P80", 60000000, 0x80100000, false, true, true},      // 3
        {kB, "MORVO_N7", 240000000, 0, false, false, false},            // 4
        {kA, "MORVO_K6", 60000000, 0x80E00000, false, true, true},      // 5
        {kA, "MORVOK6D", 60000000, 0x80E00000, true, true, true},       // 6
        {kNone, "", 0, 0, false, true, false},                          // 7
        {kNone, "", 0, 0, false, true, false},                          // 8
        {kNone, "", 0, 0, false, true, false},                          // 9
        {kNone, "", 0, 0, false, true, false},                          // 10
        {kNone, "", 0, 0, false, true, false},                          // 11
        {kNone, "", 0, 0, false, true, false},                          // 12
    };
    for (int type = 0; type <= 12; ++type) {
        const Required& r = required[type];
        SCOPED_TRACE(type);
        const ChipTypeInfo& row = *FindChipType(type);
        EXPECT_EQ(row.spiImageHeader, r.header);
        EXPECT_EQ(row.spiImageMagic, r.magic);
        EXPECT_EQ(row.spiImageBaseClock, r.baseClock);
        EXPECT_EQ(row.spiImageLoad, r.load);
        EXPECT_EQ(row.spiImageRamList, r.ramList);
        EXPECT_EQ(row.spiImageIdentityAreas, r.identityAreas);
        EXPECT_EQ(row.quietPartitionCheckOnRtos, r.quietOnRtos);
    }
}

}  // namespace
}  // namespace kestrow::config
