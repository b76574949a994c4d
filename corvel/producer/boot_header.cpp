#include "corvel/producer/boot_header.h"

#include "corvel/core/chip_types.h"
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
constexpr unsigned kRtosPlatform = 2;

// The word at 16: the flash clock divider, from the layout's base clock.
uint32_t Divider(const BootHeaderLayout& layout, uint32_t clock) {
    clock = std::min(clock, kMaxFlashClock);
    if (clock == 0) return 0;  // no clock given: run the flash at the base divider
    uint32_t d = layout.baseClock / clock;
    return d < 2 ? 0 : d / 2 - 1;
}

uint32_t Pick(LoadAddress load, bool sp) { return sp ? load.withSp : load.withoutSp; }

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
    const ChipType* chip = FindChipType(in.chipType);
    if (chip == nullptr || chip->header == nullptr) return;
    const BootHeaderLayout& layout = *chip->header;
    HeaderWriter w(header);
    bool sp = HasSpTag(header, true);
    uint32_t divider = Divider(layout, in.flashClock);
    w.PutBytes(4, layout.magic.data(), 8);
    w.Put32(12, layout.spiLength != 0 ? layout.spiLength : in.reserveLength);
    w.Put32(16, divider);
    w.Put32(24, 1);
    w.Put32(28, 6);
    bool bootMode0 = in.secureBoot == 0 && layout.spiLoadBootMode0.withSp != 0;
    w.Put32(32, Pick(bootMode0 ? layout.spiLoadBootMode0 : layout.spiLoad, sp));
    w.Put32(36, layout.spiLoadFlag);
    if (layout.spiClockBlock) {
        w.Put32(44, 0xC00A0000);
        w.Put32(48, divider + 0x1300);
        w.Put32(52, 0xC00A1000);
        w.Put32(56, in.reserveLength);
        w.Put32(60, 0xC00A2000);
        w.Put32(64, 0x40000000);
        return;
    }
    w.PutRamTable(44, in.ramTable, [&](T_RAM_REG reg) {
        if (layout.timingRegisters) {
            if (reg.addr == kRegDivider) reg.value = divider + 70400;
            else if (reg.addr == kRegLength) reg.value = in.reserveLength;
            else if (reg.addr == kRegLoad) reg.value = sp ? 0x80F01000 : 0x80E01000;
        }
        return reg;
    });
}

void RewriteNandBootHeader(std::span<uint8_t> header, const BootHeaderInput& in) {
    const ChipType* chip = FindChipType(in.chipType);
    if (chip == nullptr || chip->header == nullptr) return;
    const BootHeaderLayout& layout = *chip->header;
    HeaderWriter w(header);
    bool sp = HasSpTag(header, false);
    uint32_t divider = Divider(layout, in.flashClock);
    uint32_t pages = in.pageCount & 0xFF;
    w.PutBytes(4, layout.magic.data(), 8);
    w.Put16(16, divider);
    w.Put32(12, 0);
    w.Put32(20, in.pageSize / 512);
    w.Put32(24, 0);
    w.Put32(28, 1);
    uint32_t load = Pick(layout.nandLoad, sp);
    if (sp && layout.nandSpLoadPlatform2 != 0 && in.platformType == kRtosPlatform) load = layout.nandSpLoadPlatform2;
    if (sp && in.pageSize == 4096) load += layout.nandSpBigPageStep;
    w.Put32(32, load);
    w.Put32(36, layout.nandLoadFlag);
    w.Put16(40, layout.nandPages != 0 ? layout.nandPages : pages);
    w.PutRamTable(52, in.ramTable, [&](T_RAM_REG reg) {
        if (layout.timingRegisters) {
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
