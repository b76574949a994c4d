#pragma once
// The flash parameter records of the SPI NOR and SPI NAND lists, laid out byte
// for byte as the board's producer receives them (little-endian, natural alignment).
#include <cstddef>
#include <cstdint>

namespace kestrow::config {

// SPI NOR parameters, 60 bytes.
struct SpiNorInfo {
    std::uint32_t chip_id;       // lower 24 bits are compared with the board's ID
    std::uint32_t total_size;    // bytes
    std::uint32_t page_size;     // bytes
    std::uint32_t program_size;  // bytes
    std::uint32_t erase_size;    // bytes, the erase block
    std::uint32_t clock;         // Hz
    std::uint8_t flag;
    std::uint8_t protect_mask;
    std::uint8_t ex_flag;
    std::uint8_t boot_blocks;    // boot-area block count, written by the burn and the image builder
    char part_number[32];        // 8-bit text, at most 31 bytes and a zero
};
static_assert(sizeof(SpiNorInfo) == 60);
static_assert(offsetof(SpiNorInfo, clock) == 20 && offsetof(SpiNorInfo, flag) == 24 &&
              offsetof(SpiNorInfo, ex_flag) == 26 && offsetof(SpiNorInfo, boot_blocks) == 27 &&
              offsetof(SpiNorInfo, part_number) == 28);

// SPI NAND parameters (the raw NAND parameter layout), 64 bytes.
struct SpiNandInfo {
    std::uint32_t chip_id;             // compared whole with the board's ID
    std::uint16_t page_size;           // bytes
    std::uint16_t pages_per_block;
    std::uint16_t total_blocks;
    std::uint16_t group_blocks;
    std::uint16_t plane_blocks;
    std::uint8_t spare_size;           // bytes
    std::uint8_t column_cycles;
    std::uint8_t last_column_mask;
    std::uint8_t row_cycles;
    std::uint8_t last_row_mask;
    std::uint8_t custom_nand;
    std::uint32_t flag;
    std::uint32_t command_length;
    std::uint32_t clock;               // the data-length field of the raw layout carries the SPI clock
    char part_number[32];              // 8-bit text, at most 31 bytes and a zero
};
static_assert(sizeof(SpiNandInfo) == 64);
static_assert(offsetof(SpiNandInfo, plane_blocks) == 12 && offsetof(SpiNandInfo, spare_size) == 14 &&
              offsetof(SpiNandInfo, custom_nand) == 19 && offsetof(SpiNandInfo, flag) == 20 &&
              offsetof(SpiNandInfo, clock) == 28 && offsetof(SpiNandInfo, part_number) == 32);

}  // namespace kestrow::config
