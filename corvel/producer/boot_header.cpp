#include "corvel/producer/boot_header.h"

#include "corvel/core/little_endian.h"

#include <algorithm>
#include <cstring>

namespace corvel::producer {
namespace {

constexpr uint32_t kMaxFlashClock = 20000000;
constexpr uint32_t kRamPauseShort = 0x66668881;  // written as an address word alone
constexpr uint32_t kRamEnd = KW_RAM_END;
constexpr uint32_t kRegDivider = 0x080000B4;
constexpr uint32_t kRegLength = 0x080000BC;
constexpr uint32_t kRegLoad = 0x080000C4;
constexpr uint32_t kRegNandTiming = 0x080000CC;

const char* Magic(unsigned chip) {
    switch (chip) {
        case 6: return "MORVOK6D";
        case 7: return "MORVOK6B";
        case 8: return "MORVOQ4D";
        case 9: return "MORVOQ7A";
        case 10: return "QM_Q7L_B";
        default: return "MORVO_TA";
    }
}

uint32_t BaseClock(unsigned chip) {
    if (chip <= 8) return 60000000;
    if (chip <= 10) return 240000000;
    return 120000000;
}

uint32_t Divider(unsigned chip, uint32_t clock) {
    clock = std::min(clock, kMaxFlashClock);
    if (clock == 0) return 0;  // no clock given: run the flash at the base divider
    uint32_t d = BaseClock(chip) / clock;
    return d < 2 ? 0 : d / 2 - 1;
}

// Writes little-endian words into the header, silently dropping any beyond its end.
class HeaderWriter {
public:
    explicit HeaderWriter(std::span<uint8_t> bytes) : bytes_(bytes) {}
    void Put32(size_t offset, uint32_t v) { Put(offset, v, 4); }
    void Put16(size_t offset, uint32_t v) { Put(offset, v, 2); }
    void PutBytes(size_t offset, const char* text, size_t n) {
        for (size_t i = 0; i < n && offset + i < bytes_.size(); ++i) bytes_[offset + i] = static_cast<uint8_t>(text[i]);
    }
    // The RAM table from `offset`: address and value, or the address alone for
    // markers. The boot ROM reads it up to its end marker, so a table without
    // one gets it after its last entry (as on the wire); an empty table leaves
    // the image as it is.
    void PutRamTable(size_t offset, std::span<const T_RAM_REG> table, const auto& adjust) {
        bool ended = false;
        for (const T_RAM_REG& entry : table) {
            T_RAM_REG reg = adjust(entry);
            Put32(offset, reg.addr);
            offset += 4;
            ended = ended || entry.addr == kRamEnd;
            if (entry.addr == kRamPauseShort || entry.addr == kRamEnd) continue;
            Put32(offset, reg.value);
            offset += 4;
        }
        if (!table.empty() && !ended) Put32(offset, kRamEnd);
    }

private:
    void Put(size_t offset, uint32_t v, size_t size) {
        uint8_t word[4];
        PutLE32(word, v);
        for (size_t i = 0; i < size && offset + i < bytes_.size(); ++i) bytes_[offset + i] = word[i];
    }
    std::span<uint8_t> bytes_;
};

}  // namespace

bool HasSpTag(std::span<const uint8_t> header, bool acceptSpB) {
    if (header.size() < 512) return false;
    const char* tag = reinterpret_cast<const char*>(header.data() + 508);
    return std::memcmp(tag, "SP_L", 4) == 0 || (acceptSpB && std::memcmp(tag, "SP_B", 4) == 0);
}

void RewriteSpiBootHeader(std::span<uint8_t> header, const BootHeaderInput& in) {
    HeaderWriter w(header);
    unsigned chip = in.chipType;
    bool sp = HasSpTag(header, true);
    uint32_t divider = Divider(chip, in.flashClock);
    w.PutBytes(4, Magic(chip), 8);
    w.Put32(12, chip == 6 || chip == 7 ? 4096 : chip == 11 ? 8192 : in.reserveLength);
    w.Put32(16, divider);
    w.Put32(24, 1);
    w.Put32(28, 6);
    if (chip == 6 || chip == 7) {
        w.Put32(32, 0x48000000);
        w.Put32(36, 0);
    } else if (chip == 11) {
        w.Put32(32, 0xD2800100);
        w.Put32(36, 0);
        w.Put32(44, 0xC00A0000);
        w.Put32(48, divider + 0x1300);
        w.Put32(52, 0xC00A1000);
        w.Put32(56, in.reserveLength);
        w.Put32(60, 0xC00A2000);
        w.Put32(64, 0x40000000);
        return;
    } else {
        uint32_t load = sp ? 0x80F00000 : 0x80E00000;
        if (chip == 9 && in.secureBoot == 0) load = sp ? 0x80EFFC00 : 0x80DFFC00;
        w.Put32(32, load);
        w.Put32(36, 1);
    }
    w.PutRamTable(44, in.ramTable, [&](T_RAM_REG reg) {
        if (chip == 6 || chip == 7) {
            if (reg.addr == kRegDivider) reg.value = divider + 70400;
            else if (reg.addr == kRegLength) reg.value = in.reserveLength;
            else if (reg.addr == kRegLoad) reg.value = sp ? 0x80F01000 : 0x80E01000;
        }
        return reg;
    });
}

void RewriteNandBootHeader(std::span<uint8_t> header, const BootHeaderInput& in) {
    HeaderWriter w(header);
    unsigned chip = in.chipType;
    bool sp = HasSpTag(header, false);
    uint32_t divider = Divider(chip, in.flashClock);
    uint32_t pages = in.pageCount & 0xFF;
    w.PutBytes(4, Magic(chip), 8);
    w.Put16(16, divider);
    w.Put32(12, 0);
    w.Put32(20, in.pageSize / 512);
    w.Put32(24, 0);
    w.Put32(28, 1);
    uint32_t load, flag, count;
    if (chip == 6 || chip == 7) {
        load = 0x48000000, flag = 0, count = 2;
    } else if (!sp) {
        load = 0x80F00000, flag = 1, count = pages;
    } else if (chip == 8) {
        bool rtos = in.platformType == 2;
        if (in.pageSize == 4096) load = rtos ? 0x80F00800 : 0x81000800;
        else load = rtos ? 0x80F00000 : 0x81000000;
        flag = 1, count = pages;
    } else {
        load = 0x81000000, flag = 1, count = pages;
    }
    w.Put32(32, load);
    w.Put32(36, flag);
    w.Put16(40, count);
    w.PutRamTable(52, in.ramTable, [&](T_RAM_REG reg) {
        if (chip == 6 || chip == 7) {
            if (reg.addr == kRegDivider) {
                reg.addr = kRegNandTiming;
                reg.value = ((in.pageSize / 512 + 65792) * 256) | divider;
            } else if (reg.addr == kRegLength) {
                reg.value = pages;
            } else if (reg.addr == kRegLoad) {
                reg.value = sp ? 0x81001000 : 0x80F01000;
            }
        }
        return reg;
    });
}

}  // namespace corvel::producer
