#pragma once
// The 31-byte command block that opens every producer command, over the serial
// link and over USB alike: length at 8, direction at 12, code at 16, param1 at
// 20, param2 at 24 (little-endian), every other byte zero.
#include "corvel/core/little_endian.h"
#include "corvel/include/corvel.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace corvel {

constexpr size_t kCommandBlockSize = 31;

inline void BuildCommandBlock(const T_USB_CORVEL& command, uint8_t block[kCommandBlockSize]) {
    std::memset(block, 0, kCommandBlockSize);
    PutLE32(block + 8, command.length);
    block[12] = static_cast<uint8_t>(command.direction);
    block[16] = static_cast<uint8_t>(command.code);
    PutLE32(block + 20, command.param1);
    PutLE32(block + 24, command.param2);
}

}  // namespace corvel
