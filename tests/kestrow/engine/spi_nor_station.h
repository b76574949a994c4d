#pragma once
// The configuration the engine tests and the burn benchmark start from: a
// chip type 8 board with one SPI NOR chip, burned at 115200 baud with
// producer.bin and boot.bin of the station folder.
#include "kestrow/config/burn_config.h"

#include <cstdint>

namespace kestrow::engine::testing {

inline void UseSpiNorStation(config::BurnConfig& c, int channels, std::uint32_t flashId, std::uint32_t flashSize,
                             std::uint32_t eraseSize) {
    c.device_channel = channels;
    c.uart_baud = 115200;
    c.chip_type = 8;
    c.chip_mode = 1;
    c.path_producer = "producer.bin";
    c.path_nandboot = "boot.bin";
    c.producer_run_addr = 0x80000000;
    config::SpiNorInfo nor{};
    nor.chip_id = flashId;
    nor.total_size = flashSize;
    nor.erase_size = eraseSize;
    c.spinor_list = {nor};
}

}  // namespace kestrow::engine::testing
