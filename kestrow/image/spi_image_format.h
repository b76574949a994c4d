#pragma once
// Facts of the SPI NOR image that the builder writes and the inspector reads:
// the flash record that follows the "SPIP" marker in the boot loader.
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kestrow::image {

inline constexpr size_t kFlashRecordSize = 60;
inline constexpr size_t kFlashRecordSearchSpan = 600;  // the marker lies in the boot loader's first bytes
inline constexpr size_t kFlashRecordReadSpan = kFlashRecordSearchSpan + kFlashRecordSize;
inline constexpr char kFlashRecordMarker[4] = {'S', 'P', 'I', 'P'};

// Byte offsets inside the flash record.
inline constexpr size_t kRecordTotalSize = 4;
inline constexpr size_t kRecordPageSize = 8;
inline constexpr size_t kRecordEraseSize = 16;
inline constexpr size_t kRecordClock = 20;
inline constexpr size_t kRecordBootBlocks = 27;
inline constexpr size_t kRecordName = 28;

// Offset of the first "SPIP" that starts within the first 600 bytes of `data`
// and is followed by a whole record inside `length`; -1 when there is none.
inline long FindFlashRecordMarker(const uint8_t* data, size_t length) {
    for (size_t at = 0; at + sizeof kFlashRecordMarker <= kFlashRecordSearchSpan; ++at) {
        if (at + sizeof kFlashRecordMarker + kFlashRecordSize > length) break;
        if (std::memcmp(data + at, kFlashRecordMarker, sizeof kFlashRecordMarker) == 0) return long(at);
    }
    return -1;
}

}  // namespace kestrow::image
