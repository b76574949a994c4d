#pragma once
// Transfer total and the percentage shown for a progress message.
#include "kestrow/config/burn_config.h"

#include <cstdint>
#include <optional>
#include <string>

namespace kestrow::engine {

struct TransferTotal {
    std::optional<std::uint64_t> bytes;  // nullopt: nothing computed (chip_mode 4) or a file is missing
    std::string missing_file;            // the file that could not be measured, if any
};

// Bytes a serial burn transfers: the producer, the burn file (unless chip_mode
// is 3) and, for a chip type that runs a RAM test image, that image. Also copies the producer's version
// block into `config.producer_version` (zeroed when the producer has none).
TransferTotal ComputeTransferTotal(config::BurnConfig& config);

// Percentage for `bytes` transferred out of `total`, by the chip type's progress scale;
// truncated, and never above 100. A zero total shows 0.
int ProgressPercent(std::uint64_t bytes, std::uint64_t total, int chipType, bool updateChoice);

}  // namespace kestrow::engine
