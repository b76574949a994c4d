#include "kestrow/fat/fat_table.h"

#include "kestrow/base/little_endian.h"

namespace kestrow::fat {

std::uint32_t GetFatEntry(FatType type, const std::uint8_t* table, std::size_t n) {
    switch (type) {
        case FatType::Fat12: {
            const std::uint32_t pair = Get16(table + n + n / 2);
            return n % 2 == 0 ? pair & 0xFFF : pair >> 4;
        }
        case FatType::Fat16: return Get16(table + n * 2);
        case FatType::Fat32: return Get32(table + n * 4) & 0x0FFFFFFF;
    }
    return 0;
}

void SetFatEntry(FatType type, std::uint8_t* table, std::size_t n, std::uint32_t value) {
    switch (type) {
        case FatType::Fat12: {
            std::uint8_t* p = table + n + n / 2;
            if (n % 2 == 0) {
                p[0] = static_cast<std::uint8_t>(value);
                p[1] = static_cast<std::uint8_t>((p[1] & 0xF0) | ((value >> 8) & 0x0F));
            } else {
                p[0] = static_cast<std::uint8_t>((p[0] & 0x0F) | ((value << 4) & 0xF0));
                p[1] = static_cast<std::uint8_t>(value >> 4);
            }
            break;
        }
        case FatType::Fat16: Put16(table + n * 2, value); break;
        case FatType::Fat32: Put32(table + n * 4, value); break;
    }
}

}  // namespace kestrow::fat
