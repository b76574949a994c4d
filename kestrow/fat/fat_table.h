#pragma once
// The file allocation table as bytes. FAT16 and FAT32 entries are 16- and
// 32-bit little-endian words; FAT12 packs two 12-bit entries into three bytes
// (an even entry takes a byte and the low nibble of the next one, an odd entry
// the high nibble and the byte after), so an entry may straddle a sector
// boundary: the codec works on the whole table, never on single sectors.
#include "kestrow/fat/fat_layout.h"

#include <cstddef>
#include <cstdint>

namespace kestrow::fat {

// Entry `n` of the table at `table`; FAT32 entries without their top four bits.
std::uint32_t GetFatEntry(FatType type, const std::uint8_t* table, std::size_t n);
// Stores entry `n`, leaving the neighbouring FAT12 entry's nibble as it was.
void SetFatEntry(FatType type, std::uint8_t* table, std::size_t n, std::uint32_t value);

}  // namespace kestrow::fat
