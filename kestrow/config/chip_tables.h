#pragma once
// Project, part-number and clock tables (SDK_CPU_DDR2.ini) and the rules that
// tie a part number and a project to a chip type and a RAM size class.
#include "kestrow/config/burn_config.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrow::config {

inline constexpr const char* kChipTablesFile = "SDK_CPU_DDR2.ini";

// 1 ("LINUX") or 2 ("RTOS") for a project of the table, nothing otherwise.
std::optional<std::int32_t> PlatformTypeOfProject(std::string_view project);
RamSizeClass RamSizeClassOf(std::string_view partNumber);
// The chip type that the first fitting rule gives, nothing when none fits.
std::optional<std::int32_t> ChipTypeOf(std::string_view partNumber, std::string_view project);

// The part number whose clock pair is fixed at CPU 800 MHz, DDR 400 MHz.
inline constexpr std::string_view kFixedClockPart = "PN01";
inline constexpr std::int32_t kFixedCpuMhz = 800;
inline constexpr std::int32_t kFixedDdrMhz = 400;

// The clock selector of the settings page.
struct ClockList {
    std::vector<std::string> lines;  // "CPU_CLK = %dMHz, DDR2_CLK = %dMHz"
    std::vector<int> pair_index;     // clock pair that each line selects
    std::string empty_message;       // shown when a table is empty
};
ClockList BuildClockList(const BurnConfig& config);
// The line to select for the current clock_index (a stale index shows line 0).
int SelectedClockLine(const BurnConfig& config, const ClockList& list);
// Selects the pair of a chosen line: clock_index and both clock parameters.
void ChooseClockLine(BurnConfig& config, const ClockList& list, int line);

}  // namespace kestrow::config
