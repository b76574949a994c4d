#pragma once
// What the station needs to know of each chip type (the chip_type of
// config.txt, the E_CHIP_TYPE value passed to the transfer library), one row
// each. Behaviour is chosen by these columns; no code asks for a chip type by
// its number. (The project tables that derive a chip type from a part number
// are chip_tables.h.)
#include <array>
#include <cstdint>
#include <string_view>

namespace kestrow::config {

// What the burn does for the board's RAM before the producer.
enum class RamSetup : std::uint8_t {
    None,       // nothing: the chip takes no RAM parameters
    Table,      // the RAM register table is sent
    TestImage,  // the RAM image of path_ram is run instead, and must report the RAM good
};

// How the burn's progress bar fills.
enum class ProgressScale : std::uint8_t {
    Transfer,            // bytes over the transfer total and the volumes' sizes
    FifthWithoutUpdate,  // bytes over the transfer total; a fifth of that without the update choice
};

// The boot header the SPI NOR image builder writes into the boot loader.
enum class SpiImageHeader : std::uint8_t {
    None,     // the header stays as it is in the file
    LayoutA,  // magic at 4, length at 12, divider at 16, load address at 32
    LayoutB,  // magic at 32, whole file size at 40, divider at 44
};

struct ChipTypeInfo {
    int type;
    std::string_view name;  // as config.txt stores it
    bool serialBoot;        // a boot ROM the station reaches over a serial port
    RamSetup ram;
    bool ramListFromTables;  // the RAM register list of the project tables applies to it
    bool ramConfigWord;      // an imported RAM configuration carries its word for the hardware page
    bool bootModeEditable;   // the settings offer normal, signed and secure boot
    ProgressScale progress;
    // The SPI NOR image builder.
    SpiImageHeader spiImageHeader;
    std::string_view spiImageMagic;
    std::uint32_t spiImageBaseClock;  // the flash clock divider is taken from this, in Hz
    std::uint32_t spiImageLoad;       // layout A: the load address at 32
    bool spiImageRamList;             // layout A: the RAM register list from offset 44
    bool spiImageIdentityAreas;       // the MAC and ENV areas are written (on a platform other than RTOS)
    bool quietPartitionCheckOnRtos;   // on RTOS a missing partition fails without a message
};

namespace chip_columns {
constexpr auto kNoRam = RamSetup::None, kRamTable = RamSetup::Table, kRamImage = RamSetup::TestImage;
constexpr auto kTransfer = ProgressScale::Transfer, kFifth = ProgressScale::FifthWithoutUpdate;
constexpr auto kNoHeader = SpiImageHeader::None, kA = SpiImageHeader::LayoutA, kB = SpiImageHeader::LayoutB;
}  // namespace chip_columns

// type, name, serial boot, RAM, RAM list from the tables, RAM configuration word, boot mode editable,
// progress; SPI image: header, magic, base clock, load address, RAM list, MAC/ENV areas, quiet partition check.
inline constexpr std::array<ChipTypeInfo, 13> kChipTypeTable = [] {
    using namespace chip_columns;
    return std::array<ChipTypeInfo, 13>{{
        {0, "SOC_FB_V1", false, kNoRam, false, false, false, kFifth,
         kNoHeader, "", 0, 0, false, false, false},
        {1, "SOC_FA_V9", false, kRamTable, false, true, false, kTransfer,
         kA, "MORVO_K6", 60'000'000, 0x80E00000, false, true, false},
        {2, "SOC_FA_V8", false, kRamTable, false, true, false, kTransfer,
         kA, "QMSH_P80", 60'000'000, 0x80E00000, false, true, true},
        {3, "SOC_FA_V7", false, kRamTable, false, true, false, kTransfer,
         kA, "QMSH_P80", 60'000'000, 0x80100000, false, true, true},
        {4, "SOC_FB_V2", false, kNoRam, false, false, false, kFifth,
         kB, "MORVO_N7", 240'000'000, 0, false, false, false},
        {5, "SOC_FA_V6", false, kRamTable, false, true, false, kTransfer,
         kA, "MORVO_K6", 60'000'000, 0x80E00000, false, true, true},
        {6, "SOC_FA_V5", true, kRamTable, true, true, false, kTransfer,
         kA, "MORVOK6D", 60'000'000, 0x80E00000, true, true, true},
        {7, "SOC_FA_V4", true, kRamTable, true, false, false, kTransfer,
         kNoHeader, "", 0, 0, false, true, false},
        {8, "SOC_FC_E1", true, kRamTable, true, false, false, kTransfer,
         kNoHeader, "", 0, 0, false, true, false},
        {9, "SOC_FA_V3", true, kRamTable, true, false, true, kTransfer,
         kNoHeader, "", 0, 0, false, true, false},
        {10, "SOC_FA_V2", true, kRamTable, true, false, false, kTransfer,
         kNoHeader, "", 0, 0, false, true, false},
        {11, "SOC_FA_V1", true, kRamImage, true, false, false, kTransfer,
         kNoHeader, "", 0, 0, false, true, false},
        {12, "RESERVER", false, kRamTable, false, false, false, kTransfer,
         kNoHeader, "", 0, 0, false, true, false},
    }};
}();

// The type of the row named `name`, for code that means one chip type; a
// name that is no row does not compile.
consteval int ChipTypeNamed(std::string_view name) {
    for (const ChipTypeInfo& row : kChipTypeTable)
        if (row.name == name) return row.type;
    throw "no chip type of this name";
}

// The first and last type of the rows `has` picks; they must follow each
// other in the table, else this does not compile.
struct ChipTypeRun {
    int first, last;
};
template <class Has>
consteval ChipTypeRun ChipTypesWhere(Has has) {
    int first = -1, last = -1;
    for (const ChipTypeInfo& row : kChipTypeTable) {
        if (!has(row)) continue;
        if (first < 0) first = row.type;
        else if (row.type != last + 1) throw "the chip types picked do not follow each other";
        last = row.type;
    }
    if (first < 0) throw "no chip type picked";
    return {first, last};
}

// The row of `type`, or nullptr for a value that is no chip type.
const ChipTypeInfo* FindChipType(int type);
// The row of `type`; RESERVER's for a value that is no chip type (a
// configuration can hold any number there).
const ChipTypeInfo& ChipTypeOrReserved(int type);

}  // namespace kestrow::config
