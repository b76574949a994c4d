#include "kestrow/fat/dir_entry.h"

#include "kestrow/base/little_endian.h"

#include <algorithm>
#include <cstring>
#include <ctime>

namespace kestrow::fat {
namespace {

// The current local time as FAT date and time words.
void DosNow(std::uint16_t& date, std::uint16_t& time) {
    const std::time_t now = std::time(nullptr);
    std::tm t{};
    localtime_r(&now, &t);
    const int year = std::clamp(t.tm_year + 1900, 1980, 2107);
    date = static_cast<std::uint16_t>(((year - 1980) << 9) | ((t.tm_mon + 1) << 5) | t.tm_mday);
    time = static_cast<std::uint16_t>((t.tm_hour << 11) | (t.tm_min << 5) | (t.tm_sec / 2));
}

}  // namespace

void WriteShortEntry(std::uint8_t* e, const ShortName& name, std::uint8_t attributes, std::uint32_t cluster,
                     std::uint32_t size) {
    using namespace short_entry;
    std::memset(e, 0, kDirEntryBytes);
    std::memcpy(e + kName, name.data(), name.size());
    e[kAttributes] = attributes;
    std::uint16_t date, time;
    DosNow(date, time);
    Put16(e + kCreateTime, time);
    Put16(e + kCreateDate, date);
    Put16(e + kAccessDate, date);
    Put16(e + kWriteTime, time);
    Put16(e + kWriteDate, date);
    SetEntryClusterAndSize(e, cluster, size);
}

void SetEntryClusterAndSize(std::uint8_t* e, std::uint32_t cluster, std::uint32_t size) {
    Put16(e + short_entry::kClusterHigh, cluster >> 16);
    Put16(e + short_entry::kClusterLow, cluster & 0xFFFF);
    Put32(e + short_entry::kSize, size);
}

std::uint32_t EntryCluster(const std::uint8_t* e) {
    return (Get16(e + short_entry::kClusterHigh) << 16) | Get16(e + short_entry::kClusterLow);
}

std::u16string ShortNameText(const std::uint8_t* e) {
    const std::uint8_t* n = e + short_entry::kName;
    std::u16string out;
    for (int i = 0; i < 8 && n[i] != ' '; ++i) out.push_back(i == 0 && n[0] == 0x05 ? 0xE5 : n[i]);
    if (n[8] != ' ') {
        out.push_back(u'.');
        for (int i = 8; i < 11 && n[i] != ' '; ++i) out.push_back(n[i]);
    }
    return out;
}

bool IsLongNameEntry(const std::uint8_t* e) { return (e[long_entry::kAttributes] & 0x3F) == kAttrLongName; }

void WriteLongEntry(std::uint8_t* e, std::u16string_view longName, std::uint32_t ordinal, bool lastPiece,
                    std::uint8_t checksum) {
    using namespace long_entry;
    std::memset(e, 0, kDirEntryBytes);
    e[kOrdinal] = static_cast<std::uint8_t>(ordinal | (lastPiece ? kLastPiece : 0));
    e[kAttributes] = kAttrLongName;
    e[kChecksum] = checksum;
    for (std::size_t i = 0; i < kLongNameUnitsPerEntry; ++i) {
        const std::size_t at = (ordinal - 1) * kLongNameUnitsPerEntry + i;
        const std::uint32_t unit = at < longName.size() ? longName[at] : at == longName.size() ? 0 : 0xFFFF;
        Put16(e + kUnitOffsets[i], unit);
    }
}

std::u16string LongEntryUnits(const std::uint8_t* e) {
    std::u16string units;
    for (std::size_t off : long_entry::kUnitOffsets) {
        const auto c = static_cast<char16_t>(Get16(e + off));
        if (c == 0) break;
        units.push_back(c);
    }
    return units;
}

}  // namespace kestrow::fat
