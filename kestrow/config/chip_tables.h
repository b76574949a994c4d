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

// What makes the RAM table a burn sends fail, read again from the chip
// tables file `path`: the table of the selected clock pair in the size class
// of the part number. A burn sends it for the chip types with a serial boot
// (6 to 11); for others there is nothing to check. One message each for a
// section without reg_num, a reg_num that is no number, 0 or more than
// `maxRegisters`, a register pair that is missing or not "address,value" in
// hex (the table would hold 0, 0 for it), and entries beyond reg_num.
std::vector<std::string> ActiveRamTableProblems(const BurnConfig& config, const std::string& path,
                                                std::size_t maxRegisters);

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
