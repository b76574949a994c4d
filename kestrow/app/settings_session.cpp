#include "kestrow/app/settings_session.h"

#include "kestrow/config/number_text.h"
#include "kestrow/config/text_util.h"

namespace kestrow::app {

std::string StationRelativePath(const std::string& path, const std::string& programDir) {
    if (programDir.empty() || path.size() <= programDir.size() || !path.starts_with(programDir)) return path;
    return path.substr(programDir.size());
}

SettingsSession::SettingsSession(config::BurnConfig& config, engine::BoardLink& link, config::MessageSink& sink)
    : config_(config),
      link_(link),
      sink_(sink),
      cpu_mhz_(config.cpu_freq_param),
      ddr_mhz_(config.ddr_freq_param),
      clock_index_(config.clock_index),
      chip_model_(config.chip_model),
      part_index_(config.part_index),
      chip_type_(config.chip_type),
      chip_mode_(config.chip_mode),
      active_ram_tables_(config.active_ram_tables) {
    for (std::size_t i = 0; i < config_.part_numbers.size(); ++i)
        if (config_.part_numbers[i] == config_.chip_model) config_.part_index = static_cast<int>(i);
    SettleBootMode();
    boot_mode_flag_ = config_.boot_mode_flag;  // as opening settled it for the chip type
    clocks_ = config::BuildClockList(config_);
    if (!clocks_.empty_message.empty()) sink_.ShowMessage(config::kProgramCaption, clocks_.empty_message,
                                                          config::MessageIcon::Warning);
}

int SettingsSession::SelectedClockLine() const { return config::SelectedClockLine(config_, clocks_); }

void SettingsSession::SettleBootMode() {
    if (!BootModeEditable()) config_.boot_mode_flag = 0;
    link_.SecureBootFlag(static_cast<unsigned>(config_.boot_mode_flag));
}

void SettingsSession::ChoosePart(int index) {
    if (index < 0 || index >= static_cast<int>(config_.part_numbers.size())) return;
    config_.chip_model = config_.part_numbers[static_cast<std::size_t>(index)];
    config_.part_index = index;
    clocks_ = config::BuildClockList(config_);
    config_.DeriveChipType(sink_);
    SettleBootMode();
}

void SettingsSession::ChooseClock(int line) {
    if (line < 0 || line >= static_cast<int>(clocks_.lines.size())) return;
    config::ChooseClockLine(config_, clocks_, line);
}

void SettingsSession::ChooseFlash(std::int32_t chipMode) { config_.chip_mode = chipMode; }

void SettingsSession::ChooseBootMode(std::int32_t mode) {
    if (!BootModeEditable()) return;
    config_.boot_mode_flag = mode;
    link_.SecureBootFlag(static_cast<unsigned>(mode));
}

void SettingsSession::Accept(const SettingsFields& fields) {
    config_.project_name = config::CutToChars(fields.project_name, config::kProjectNameChars);
    config_.path_producer = config::CutToChars(fields.producer, config::kPathChars);
    config_.path_1k_data = config::CutToChars(fields.signature_data, config::kPathChars);
    config_.producer_run_addr = config::ReadHex(fields.run_address);
    ChooseClock(fields.clock_line);
    if (RamPathUsed()) config_.path_ram = config::CutToChars(fields.ram_path, config::kPathChars);
    if (fields.spi_nor_checked) config_.chip_mode = config::kModeSpiNor;
    else if (fields.spi_nand_checked) config_.chip_mode = config::kModeSpiNand;
}

void SettingsSession::Cancel() {
    config_.cpu_freq_param = cpu_mhz_;
    config_.ddr_freq_param = ddr_mhz_;
    config_.clock_index = clock_index_;
    config_.chip_model = chip_model_;
    config_.part_index = part_index_;
    config_.chip_type = chip_type_;
    config_.chip_mode = chip_mode_;
    config_.active_ram_tables = active_ram_tables_;
    if (config_.boot_mode_flag != boot_mode_flag_) {
        config_.boot_mode_flag = boot_mode_flag_;
        link_.SecureBootFlag(static_cast<unsigned>(boot_mode_flag_));
    }
}

}  // namespace kestrow::app
