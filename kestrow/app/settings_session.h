#pragma once
// The rules of the "Burn Settings" dialog without its widgets: what opening
// remembers and Cancel restores, the part-number and clock choices, the boot
// mode that only some chip types may change, and what OK copies from the fields.
// Cancel puts back everything the dialog changed: the clock pair, the part
// number, the chip type, the flash type, and also the RAM tables and the boot
// mode a part-number change brought with it, so the next burn sends what the
// configuration says.
#include "kestrow/config/burn_config.h"
#include "kestrow/config/chip_tables.h"
#include "kestrow/config/chip_types.h"
#include "kestrow/config/message_sink.h"
#include "kestrow/engine/board_link.h"

#include <string>

namespace kestrow::app {

// `path` with the station folder `programDir` (trailing "/") taken off its
// front, so files below the station are stored relative; other paths unchanged.
std::string StationRelativePath(const std::string& path, const std::string& programDir);

// The fields the dialog copies on OK.
struct SettingsFields {
    std::string project_name;
    std::string producer;
    std::string signature_data;
    std::string ram_path;
    std::string run_address;  // hex text, "0x" optional
    bool spi_nor_checked = false;
    bool spi_nand_checked = false;
    int clock_line = -1;      // the line the clock list shows; -1 when it is empty
};

class SettingsSession {
public:
    // Opening: remembers the clock pair, the part number, the chip type and
    // the flash type, and settles the boot mode for the chip type.
    SettingsSession(config::BurnConfig& config, engine::BoardLink& link, config::MessageSink& sink);

    const config::ClockList& Clocks() const { return clocks_; }
    int SelectedClockLine() const;
    bool BootModeEditable() const { return config::ChipTypeOrReserved(config_.chip_type).bootModeEditable; }
    bool RamPathUsed() const {
        return config::ChipTypeOrReserved(config_.chip_type).ram == config::RamSetup::TestImage;
    }

    // A part number chosen from the list: stored at once, the clock list
    // refilled and the chip type derived again (the mismatch message keeps the
    // previous chip type). The boot mode is settled for the chip type it gives.
    void ChoosePart(int index);
    void ChooseClock(int line);
    void ChooseFlash(std::int32_t chipMode);
    // Stored and passed to the library at once.
    void ChooseBootMode(std::int32_t mode);

    // Copies the fields, and the clock pair of the line the list shows
    // (for "PN01" the only line, chosen or not).
    void Accept(const SettingsFields& fields);
    // Puts back everything remembered on opening.
    void Cancel();

private:
    void SettleBootMode();

    config::BurnConfig& config_;
    engine::BoardLink& link_;
    config::MessageSink& sink_;
    config::ClockList clocks_;

    // Remembered on opening.
    std::int32_t cpu_mhz_, ddr_mhz_;
    int clock_index_;
    std::string chip_model_;
    int part_index_;
    std::int32_t chip_type_;
    std::int32_t chip_mode_;
    std::vector<config::RamTable> active_ram_tables_;
    std::int32_t boot_mode_flag_ = 0;
};

}  // namespace kestrow::app
