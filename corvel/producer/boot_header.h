#pragma once
// Rewrites the boot header at the start of a boot-loader image so the chip's
// boot ROM can load it from SPI NOR or NAND flash: magic, length, clock
// divider, load address and the DDR register table.
#include "corvel/include/corvel.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace corvel::producer {

struct BootHeaderInput {
    unsigned chipType;        // E_CHIP_TYPE; one without a header layout leaves the header alone
    uint32_t reserveLength;   // the download record's length (B)
    uint32_t flashClock;      // SPI or NAND clock in Hz
    unsigned platformType;    // 1 LINUX, 2 RTOS
    unsigned secureBoot;      // the secure-boot flag
    uint32_t pageSize;        // NAND page size (P)
    uint32_t pageCount;       // NAND: pages of the file, rounded up (n)
    std::span<const T_RAM_REG> ramTable;
};

// `header` is the part of the image read before the rewrite; nothing is
// written beyond it.
void RewriteSpiBootHeader(std::span<uint8_t> header, const BootHeaderInput& in);
void RewriteNandBootHeader(std::span<uint8_t> header, const BootHeaderInput& in);

// Whether bytes 508..511 carry one of the given SP tags.
bool HasSpTag(std::span<const uint8_t> header, bool acceptSpB);

}  // namespace corvel::producer
