#pragma once
// Reads back what an SPI NOR image holds: the flash record embedded in the boot
// loader, the boot area it announces, the partition table and its backup.
#include "kestrow/image/partition.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kestrow::image {

struct SpiImageTable {
    uint64_t offset = 0;        // byte offset of the table in the image
    uint32_t countWord = 0;     // first word as stored
    bool countValid = false;    // at most 15 entries
    std::vector<PartitionEntry> entries;
    std::vector<uint8_t> raw;   // count word and entries as stored
};

struct SpiImageLayout {
    uint64_t fileSize = 0;
    uint32_t recordOffset = 0;  // offset of the flash record (just after "SPIP")
    std::string flashName;
    uint32_t totalSize = 0;
    uint32_t pageSize = 0;
    uint32_t eraseSize = 0;
    uint32_t bootBlocks = 0;
    SpiImageTable table;
    SpiImageTable backup;
    bool tablesAgree = false;   // both valid and byte for byte equal
};

// Reads `path`. False with a one-line reason in `error` when the file cannot
// be read or holds no usable flash record or table.
bool ReadSpiImageLayout(const std::string& path, SpiImageLayout& layout, std::string& error);

// The report printed by `kestrow spi-image --inspect`.
std::string FormatSpiImageLayout(const SpiImageLayout& layout);

}  // namespace kestrow::image
