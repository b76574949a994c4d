#pragma once
// What the library needs to know of each chip type (E_CHIP_TYPE), one row
// each: its boot ROM on the serial link, the register writes a freshly
// attached board needs, whether producer downloads wait for each other, and
// how its boot loader's header is laid out. Behaviour is chosen by these
// columns; no code asks for a chip type by its number.
#include "corvel/include/corvel.h"

#include <array>
#include <cstdint>
#include <string_view>

namespace corvel {

// Register writes a board needs once attached, before its producer runs.
enum class AttachWrites : uint8_t {
    None,
    BootEnable,              // 0xAA000000 to 0x080000E8
    BootEnableUnlessSecure,  // the same, except under secure boot (flag 2)
    ClockThenBootEnable,     // 0xC20003E0 to 0x08000034, then the boot enable
};

// A load address that depends on the boot loader's SP tag (bytes 508..511).
struct LoadAddress {
    uint32_t withSp, withoutSp;
};

// How the boot ROM reads the header of a boot loader in SPI NOR or NAND flash.
struct BootHeaderLayout {
    std::string_view magic;  // bytes 4..11
    uint32_t baseClock;      // the flash clock divider is taken from this, in Hz
    // SPI NOR.
    uint32_t spiLength;            // the word at 12; 0: the length reserved for the boot loader
    LoadAddress spiLoad;           // the word at 32
    uint32_t spiLoadFlag;          // the word at 36
    LoadAddress spiLoadBootMode0;  // the word at 32 while the secure-boot flag is 0; 0s: as spiLoad
    bool spiClockBlock;  // the controller's clock block from 44 on, instead of the RAM table
    // NAND.
    LoadAddress nandLoad;        // the word at 32
    uint32_t nandLoadFlag;       // the word at 36
    uint32_t nandPages;          // the 16-bit word at 40; 0: the file's page count
    uint32_t nandSpLoadPlatform2;  // with the SP tag on platform type 2 (RTOS); 0: as nandLoad
    uint32_t nandSpBigPageStep;    // added with the SP tag when the page is 4096 bytes
    // Both media: the DDR timing registers of the RAM table carry the boot
    // loader's divider, length and load address.
    bool timingRegisters;
};

struct ChipType {
    unsigned type;          // the E_CHIP_TYPE value
    std::string_view name;  // as the transfer log names it
    // The serial boot ROM: the wake character of each of three rounds (none
    // past the end), what is sent instead under secure boot, and the prompts
    // it prints when ready. An empty prompt: no serial boot.
    std::string_view wake, secureWake, prompt, securePrompt;
    bool ramTest;  // checks its RAM with a test program that prints a marker, instead of a RAM table
    AttachWrites serialAttach, usbAttach;
    bool serialisedDownloads;  // producer downloads of all channels one at a time
    // The boot loader: refused; sent as it stands (no header layout); or with
    // its header rewritten. A secure boot loader is signed: with
    // `secureAsItStands` it goes out unchanged under secure boot (flag 2).
    bool takesBootLoader;
    bool secureAsItStands;
    bool copiesFlashParameters;  // the flash record into the image (NAND at 512, SPI NOR after "SPIP")
    const BootHeaderLayout* header;  // nullptr: the header is left as it is

    bool SerialBoot() const { return !prompt.empty(); }
};

namespace chip_layouts {

constexpr uint32_t kK6Load = 0x48000000;
constexpr LoadAddress kQSpiLoad{0x80F00000, 0x80E00000};
constexpr LoadAddress kNandLoad{0x81000000, 0x80F00000};
constexpr LoadAddress kSame{0, 0};

inline constexpr BootHeaderLayout kType6{"MORVOK6D", 60000000, 4096, {kK6Load, kK6Load}, 0, kSame, false,
                                         {kK6Load, kK6Load}, 0, 2, 0, 0, true};
inline constexpr BootHeaderLayout kType7{"MORVOK6B", 60000000, 4096, {kK6Load, kK6Load}, 0, kSame, false,
                                         {kK6Load, kK6Load}, 0, 2, 0, 0, true};
inline constexpr BootHeaderLayout kType8{"MORVOQ4D", 60000000, 0, kQSpiLoad, 1, kSame, false,
                                         kNandLoad, 1, 0, 0x80F00000, 0x800, false};
inline constexpr BootHeaderLayout kType9{"MORVOQ7A", 240000000, 0, kQSpiLoad, 1, {0x80EFFC00, 0x80DFFC00}, false,
                                         kNandLoad, 1, 0, 0, 0, false};
inline constexpr BootHeaderLayout kType10{"QM_Q7L_B", 240000000, 0, kQSpiLoad, 1, kSame, false,
                                          kNandLoad, 1, 0, 0, 0, false};
inline constexpr BootHeaderLayout kType11{"MORVO_TA", 120000000, 8192, {0xD2800100, 0xD2800100}, 0, kSame, true,
                                          kNandLoad, 1, 0, 0, 0, false};

}  // namespace chip_layouts

inline constexpr std::array kChipTypes = std::to_array<ChipType>({
    {SOC_FB_V1, "SOC_FB_V1", "", "", "", "", false, AttachWrites::None, AttachWrites::None, false, true, false, false,
     nullptr},
    {SOC_FA_V9, "SOC_FA_V9", "", "", "", "", false, AttachWrites::None, AttachWrites::None, true, true, false, false,
     nullptr},
    {SOC_FA_V8, "SOC_FA_V8", "", "", "", "", false, AttachWrites::None, AttachWrites::None, true, true, false, false,
     nullptr},
    {SOC_FA_V7, "SOC_FA_V7", "", "", "", "", false, AttachWrites::None, AttachWrites::None, true, true, false, false,
     nullptr},
    {SOC_FB_V2, "SOC_FB_V2", "", "", "", "", false, AttachWrites::None, AttachWrites::None, false, true, false, false,
     nullptr},
    {SOC_FA_V6, "SOC_FA_V6", "", "", "", "", false, AttachWrites::None, AttachWrites::None, true, true, false, false,
     nullptr},
    {SOC_FA_V5, "SOC_FA_V5", "qm\r", "qm\r", "Q3D_UART_BOOT>#", "", false, AttachWrites::None, AttachWrites::None,
     true, true, false, true, &chip_layouts::kType6},
    {SOC_FA_V4, "SOC_FA_V4", "kkk", "", "Q3B_UART_BOOT>#", "", false, AttachWrites::BootEnable,
     AttachWrites::ClockThenBootEnable, true, true, false, true, &chip_layouts::kType7},
    {SOC_FC_E1, "SOC_FC_E1", "kkk", "", "Q4_UART_BOOT>#", "", false, AttachWrites::BootEnable,
     AttachWrites::BootEnable, true, true, false, true, &chip_layouts::kType8},
    {SOC_FA_V3, "SOC_FA_V3", "kkk", "sss", "Q7_UART_BOOT>#", "Q7_SecureUART_BOOT>#", false,
     AttachWrites::BootEnableUnlessSecure, AttachWrites::BootEnableUnlessSecure, true, true, true, false,
     &chip_layouts::kType9},
    {SOC_FA_V2, "SOC_FA_V2", "kkk", "", "Q7L_UART_BOOT>#", "", false, AttachWrites::BootEnable,
     AttachWrites::BootEnable, true, true, false, false, &chip_layouts::kType10},
    {SOC_FA_V1, "SOC_FA_V1", "kkk", "", "Tarrow_UART_BOOT>#", "", true, AttachWrites::None, AttachWrites::BootEnable,
     true, true, false, false, &chip_layouts::kType11},
    {RESERVER, "RESERVER", "", "", "", "", false, AttachWrites::None, AttachWrites::None, true, false, false, false,
     nullptr},
});

// The row of `type`, or nullptr for a value that is no chip type.
constexpr const ChipType* FindChipType(unsigned type) {
    for (const ChipType& c : kChipTypes)
        if (c.type == type) return &c;
    return nullptr;
}

// The secure-boot flag value of a secure boot ROM.
constexpr unsigned kSecureBoot = 2;

}  // namespace corvel
