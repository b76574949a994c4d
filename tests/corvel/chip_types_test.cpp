// The library's chip-type table against what each chip's boot ROM and
// hardware require, written out here on their own.
#include "corvel/core/chip_types.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using corvel::AttachWrites;
using corvel::BootHeaderLayout;
using corvel::ChipType;
using corvel::FindChipType;
using corvel::kChipTypes;

TEST(ChipTypes, OneRowPerChipTypeFoundByItsValue) {
    ASSERT_EQ(kChipTypes.size(), 13u);
    for (unsigned type = 0; type <= 12; ++type) {
        const ChipType* chip = FindChipType(type);
        ASSERT_NE(chip, nullptr) << type;
        EXPECT_EQ(chip->type, type);
    }
    EXPECT_EQ(FindChipType(13), nullptr);
    EXPECT_EQ(FindChipType(0xFFFFFFFF), nullptr);
}

TEST(ChipTypes, EveryRowHasWhatItsChipRequires) {
    constexpr AttachWrites kNone = AttachWrites::None, kEnable = AttachWrites::BootEnable,
                           kUnlessSecure = AttachWrites::BootEnableUnlessSecure,
                           kClockFirst = AttachWrites::ClockThenBootEnable;
    struct Required {
        const char* name;
        const char* wake;
        const char* secureWake;
        const char* prompt;
        const char* securePrompt;
        bool ramTest;
        AttachWrites serial, usb;
        bool serialised, bootLoader, secureAsItStands, copiesFlashParameters, header;
    };
    const Required required[] = {
        {"SOC_FB_V1", "", "", "", "", false, kNone, kNone, false, true, false, false, false},
        {"SOC_FA_V9", "", "", "", "", false, kNone, kNone, true, true, false, false, false},
        {"SOC_FA_V8", "", "", "", "", false, kNone, kNone, true, true, false, false, false},
        {"SOC_FA_V7", "", "", "", "", false, kNone, kNone, true, true, false, false, false},
        {"SOC_FB_V2", "", "", "", "", false, kNone, kNone, false, true, false, false, false},
        {"SOC_FA_V6", "", "", "", "", false, kNone, kNone, true, true, false, false, false},
        {"SOC_FA_V5", "qm\r", "qm\r", "Q3D_UART_BOOT>#", "", false, kNone, kNone, true, true, false, true, true},
        {"SOC_FA_V4", "kkk", "", "Q3B_UART_BOOT>#", "", false, kEnable, kClockFirst, true, true, false, true, true},
        {"SOC_FC_E1", "kkk", "", "Q4_UART_BOOT>#", "", false, kEnable, kEnable, true, true, false, true, true},
        {"SOC_FA_V3", "kkk", "sss", "Q7_UART_BOOT>#", "Q7_SecureUART_BOOT>#", false, kUnlessSecure, kUnlessSecure,
         true, true, true, false, true},
        {"SOC_FA_V2", "kkk", "", "Q7L_UART_BOOT>#", "", false, kEnable, kEnable, true, true, false, false, true},
        {"SOC_FA_V1", "kkk", "", "Tarrow_UART_BOOT>#", "", true, kNone, kEnable, true, true, false, false, true},
        {"RESERVER", "", "", "", "", false, kNone, kNone, true, false, false, false, false},
    };
    for (unsigned type = 0; type < std::size(required); ++type) {
        const Required& r = required[type];
        SCOPED_TRACE(std::string("chip type ") + std::to_string(type) + " " + r.name);
        const ChipType& c = *FindChipType(type);
        EXPECT_EQ(c.name, r.name);
        EXPECT_EQ(c.wake, r.wake);
        EXPECT_EQ(c.secureWake, r.secureWake);
        EXPECT_EQ(c.prompt, r.prompt);
        EXPECT_EQ(c.securePrompt, r.securePrompt);
        EXPECT_EQ(c.SerialBoot(), type >= 6 && type <= 11);
        EXPECT_LE(c.wake.size(), 3u) << "three wake rounds";
        EXPECT_EQ(c.ramTest, r.ramTest);
        EXPECT_EQ(c.serialAttach, r.serial);
        EXPECT_EQ(c.usbAttach, r.usb);
        EXPECT_EQ(c.serialisedDownloads, r.serialised);
        EXPECT_EQ(c.takesBootLoader, r.bootLoader);
        EXPECT_EQ(c.secureAsItStands, r.secureAsItStands);
        EXPECT_EQ(c.copiesFlashParameters, r.copiesFlashParameters);
        EXPECT_EQ(c.header != nullptr, r.header);
    }
}

TEST(ChipTypes, BootHeaderLayoutsAreWhatEachBootRomReads) {
    constexpr uint32_t kK6 = 0x48000000;
    struct Required {
        unsigned type;
        const char* magic;
        uint32_t baseClock, spiLength, spiLoadSp, spiLoadNoSp, spiFlag, mode0Sp, mode0NoSp;
        bool clockBlock;
        uint32_t nandLoadSp, nandLoadNoSp, nandFlag, nandPages, nandRtos, nandBigPage;
        bool timing;
    };
    const Required required[] = {
        {6, "MORVOK6D", 60000000, 4096, kK6, kK6, 0, 0, 0, false, kK6, kK6, 0, 2, 0, 0, true},
        {7, "MORVOK6B", 60000000, 4096, kK6, kK6, 0, 0, 0, false, kK6, kK6, 0, 2, 0, 0, true},
        {8, "MORVOQ4D", 60000000, 0, 0x80F00000, 0x80E00000, 1, 0, 0, false, 0x81000000, 0x80F00000, 1, 0,
         0x80F00000, 0x800, false},
        {9, "MORVOQ7A", 240000000, 0, 0x80F00000, 0x80E00000, 1, 0x80EFFC00, 0x80DFFC00, false, 0x81000000,
         0x80F00000, 1, 0, 0, 0, false},
        {10, "QM_Q7L_B", 240000000, 0, 0x80F00000, 0x80E00000, 1, 0, 0, false, 0x81000000, 0x80F00000, 1, 0, 0, 0,
         false},
        {11, "MORVO_TA", 120000000, 8192, 0xD2800100, 0xD2800100, 0, 0, 0, true, 0x81000000, 0x80F00000, 1, 0, 0, 0,
         false},
    };
    for (const Required& r : required) {
        SCOPED_TRACE(r.type);
        const BootHeaderLayout* h = FindChipType(r.type)->header;
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(h->magic, r.magic);
        EXPECT_EQ(h->magic.size(), 8u);
        EXPECT_EQ(h->baseClock, r.baseClock);
        EXPECT_EQ(h->spiLength, r.spiLength);
        EXPECT_EQ(h->spiLoad.withSp, r.spiLoadSp);
        EXPECT_EQ(h->spiLoad.withoutSp, r.spiLoadNoSp);
        EXPECT_EQ(h->spiLoadFlag, r.spiFlag);
        EXPECT_EQ(h->spiLoadBootMode0.withSp, r.mode0Sp);
        EXPECT_EQ(h->spiLoadBootMode0.withoutSp, r.mode0NoSp);
        EXPECT_EQ(h->spiClockBlock, r.clockBlock);
        EXPECT_EQ(h->nandLoad.withSp, r.nandLoadSp);
        EXPECT_EQ(h->nandLoad.withoutSp, r.nandLoadNoSp);
        EXPECT_EQ(h->nandLoadFlag, r.nandFlag);
        EXPECT_EQ(h->nandPages, r.nandPages);
        EXPECT_EQ(h->nandSpLoadPlatform2, r.nandRtos);
        EXPECT_EQ(h->nandSpBigPageStep, r.nandBigPage);
        EXPECT_EQ(h->timingRegisters, r.timing);
    }
}

}  // namespace
