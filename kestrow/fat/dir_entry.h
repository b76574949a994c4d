#pragma once
// The 32-byte folder entries of a FAT volume, as named fields: the short (8.3)
// entry every file and folder has, and the long-name (VFAT) entries that come
// before it, each holding 13 UTF-16 units of the name.
#include "kestrow/fat/fat_names.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kestrow::fat {

inline constexpr std::uint32_t kDirEntryBytes = 32;

// Attribute byte values.
inline constexpr std::uint8_t kAttrVolumeLabel = 0x08;
inline constexpr std::uint8_t kAttrDirectory = 0x10;
inline constexpr std::uint8_t kAttrArchive = 0x20;
inline constexpr std::uint8_t kAttrLongName = 0x0F;  // the low six bits of a long-name entry
// First byte of a deleted entry; a zero first byte ends the folder.
inline constexpr std::uint8_t kDeletedEntry = 0xE5;

// Short entry fields (byte offsets).
namespace short_entry {
inline constexpr std::size_t kName = 0;  // 11 bytes: 8 name, 3 extension
inline constexpr std::size_t kAttributes = 11;
inline constexpr std::size_t kCreateTime = 14;
inline constexpr std::size_t kCreateDate = 16;
inline constexpr std::size_t kAccessDate = 18;
inline constexpr std::size_t kClusterHigh = 20;
inline constexpr std::size_t kWriteTime = 22;
inline constexpr std::size_t kWriteDate = 24;
inline constexpr std::size_t kClusterLow = 26;
inline constexpr std::size_t kSize = 28;
}  // namespace short_entry

// Long-name entry fields: the ordinal (with 0x40 on the last piece, which
// comes first), the attributes, the short name's checksum and the 13 units.
namespace long_entry {
inline constexpr std::size_t kOrdinal = 0;
inline constexpr std::size_t kAttributes = 11;
inline constexpr std::size_t kChecksum = 13;
inline constexpr std::size_t kUnitOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
inline constexpr std::uint8_t kLastPiece = 0x40;
}  // namespace long_entry
inline constexpr std::size_t kLongNameUnitsPerEntry = 13;

// A short entry for `name` stamped with the current local time.
void WriteShortEntry(std::uint8_t* e, const ShortName& name, std::uint8_t attributes, std::uint32_t cluster,
                     std::uint32_t size);
// First cluster and size of a file whose data has been written.
void SetEntryClusterAndSize(std::uint8_t* e, std::uint32_t cluster, std::uint32_t size);
std::uint32_t EntryCluster(const std::uint8_t* e);
// The short entry's name as text ("NAME.EXT"); a leading 0x05 stands for 0xE5.
std::u16string ShortNameText(const std::uint8_t* e);
bool IsLongNameEntry(const std::uint8_t* e);

// Long-name entry `ordinal` (1 for the name's first 13 units) of `longName`:
// units past the name's end are one 0x0000 and then 0xFFFF.
void WriteLongEntry(std::uint8_t* e, std::u16string_view longName, std::uint32_t ordinal, bool lastPiece,
                    std::uint8_t checksum);
// The units one long-name entry holds, up to the name's end.
std::u16string LongEntryUnits(const std::uint8_t* e);

}  // namespace kestrow::fat
