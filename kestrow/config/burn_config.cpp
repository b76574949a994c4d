#include "kestrow/config/burn_config.h"

#include "kestrow/config/chip_types.h"
#include "kestrow/config/station_folder.h"

namespace kestrow::config {

int ChipTypeFromName(std::string_view name) {
    for (const ChipTypeInfo& row : kChipTypeTable)
        if (row.name == name) return row.type;
    return kChipTypeReserved;
}

std::string_view ChipTypeName(int chipType) { return ChipTypeOrReserved(chipType).name; }

std::string_view ChipModeLabel(std::int32_t chipMode) {
    static constexpr std::array<std::string_view, 8> kLabels = {
        "Nandflash", "Spi Flash", "SD", "Debug", "JTAG", "Spi_Nand", "Spi_SD", "spi_nor and spinand"};
    if (chipMode < 0 || chipMode >= static_cast<std::int32_t>(kLabels.size())) return "";
    return kLabels[static_cast<std::size_t>(chipMode)];
}

BurnConfig::BurnConfig() {
    SetDefaults();
    Apply();
}

void BurnConfig::SetDefaults() {
    project_name = "nimbraP0";
    device_channel = 1;
    uart_com = {};
    uart_com[0] = "COM1";
    uart_baud = 115200;
    path_producer = "producer_fa.bin";
    path_nandboot = "u-boot.bin";
    path_1k_data = "init_1k_data.bin";
    path_ram = "DDR3_PHY0_720MHZ.bin";
    producer_run_addr = 0x80000000u;
    ddr_freq_param = 0;
    cpu_freq_param = 0;
    chip_type = 6;
    chip_model.clear();
    chip_mode = kModeSpiNor;
    boot_mode_flag = 0;
    burned_mode = 1;
    spinand_list.clear();
    spinor_list.clear();
    partitions = {
        {"BIOS", 2048, kPartitionBin, 1, 0, kMediumSpiNor},
        {"MAC", 4, kPartitionBin, 1, 0, kMediumSpiNor},
        {"ENV", 4, kPartitionBin, 1, 0, kMediumSpiNor},
        {"A", 2048, kPartitionFs, 1, 0, kMediumSpiNor},
        {"B", 3072, kPartitionFs, 1, 0, kMediumSpiNor},
    };
    bin_downloads.clear();
    fs_images.clear();

    blue_log_missing = 0;
    producer_version = {1, 13, 10, 1};
    program_dir = StationFolder() + "/";
    path_bios = "bios.bin";
    platform_type = 2;
    platform_name = "LINUX";
    event_time = 30;
    usb_pid = 0xE101;
    usb_vid = 0x04D6;
    cmdline_enable = 0;
    cmdline_addr = 0;
    cmdline_data = {};
    usb20 = update = ram_type = burned_param = 0;
    hardware_values = {};

    producer_password = "qelvo";
    researcher_password = "qelvo";

    mac_start_high = "01:02:03";
    mac_start_low = "00:00:00";
    mac_end_high = "01:02:03";
    mac_end_low = "FF:FF:FF";
    mac_current_high = mac_start_high;
    mac_current_low = mac_start_low;
    serial_prefix = "AABBCCXXDDEEFFGGHH11223344556677";
    serial_start_low.clear();
    serial_end_low.clear();
    serial_current_low.clear();
    channel_mac_low = {};
    blue_start = "44A6E6000000";
    blue_end = "44A6E6FFFFFF";
    blue_current = "000000000000";
    mac_burn = mac_force_write = serial_burn = serial_force_write = blue_burn = blue_force_write = 0;

    part_numbers.clear();
    ddr_freqs.clear();
    cpu_freqs.clear();
    ram_tables.clear();
    active_ram_tables.clear();
    clock_index = 0;
    part_index = 0;
    // The program's built-in SPI NAND table holds only its end entry, so it is empty.
    builtin_nand_list.clear();
}

void BurnConfig::Apply() {
    saved.platform_name = platform_name;
    saved.chip_type = chip_type;
    saved.chip_mode = chip_mode;
    saved.burned_mode = burned_mode;
    saved.usb20 = usb20;
    saved.update = update;
    saved.ram_type = ram_type;
    saved.burned_param = burned_param;
    saved.hardware_values = hardware_values;
}

BurnConfig& TheBurnConfig() {
    static BurnConfig config;
    return config;
}

}  // namespace kestrow::config
