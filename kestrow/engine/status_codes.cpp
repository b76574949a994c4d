#include "kestrow/engine/status_codes.h"

#include <algorithm>

namespace kestrow::engine {

const StatusInfo* FindStatus(unsigned code) {
    auto it = std::find_if(kStatusTable.begin(), kStatusTable.end(),
                           [code](const StatusInfo& s) { return s.code == code; });
    return it == kStatusTable.end() ? nullptr : &*it;
}

std::optional<std::uint8_t> MediumCode(int chipMode) {
    switch (chipMode) {
        case 0: return 0;
        case 1: return 1;
        case 2: return 2;
        case 5: return 5;
        case 6: return 3;
        case 7: return 6;
        default: return std::nullopt;
    }
}

int StatusTextIndex(const StatusInfo& info, int chipMode) {
    if (info.nand_text == kNoText) return info.text;
    auto medium = MediumCode(chipMode);
    return medium && *medium == kMediumSpiNor ? info.text : info.nand_text;
}

bool IsSpiNorMedium(std::uint8_t medium) { return medium == 1 || medium == 3 || medium == 6; }

}  // namespace kestrow::engine
