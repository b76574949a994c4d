#include "kestrow/config/chip_types.h"

namespace kestrow::config {

const ChipTypeInfo* FindChipType(int type) {
    for (const ChipTypeInfo& row : kChipTypeTable)
        if (row.type == type) return &row;
    return nullptr;
}

const ChipTypeInfo& ChipTypeOrReserved(int type) {
    const ChipTypeInfo* row = FindChipType(type);
    return row != nullptr ? *row : kChipTypeTable.back();
}

}  // namespace kestrow::config
