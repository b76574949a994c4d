#pragma once
// Bringing the station's configuration up as start-up does, in its order:
// address pools, the configuration-file set and the active file, the chip
// tables, the clock and part-number selection, the chip type and the Bluetooth
// log. Shared by the window's start-up and the command line.
#include "kestrow/config/burn_config.h"

#include <string>
#include <string_view>
#include <vector>

namespace kestrow::config {

inline constexpr const char* kBurnIniFile = "burn.ini";
inline constexpr std::size_t kMaxConfigFiles = 10;

// The configuration files of the station folder and the active one.
struct ConfigFileSet {
    std::vector<std::string> names;  // "*.txt" whose name holds "config"; config.txt first
    std::size_t active = 0;
    std::string chosen;  // burn.ini's [Config] "File Name" as written ("" when none)
    const std::string& ActiveName() const { return names[active]; }
};
// Scans `folder` (sorted by name) and picks burn.ini's [Config] "File Name".
ConfigFileSet DiscoverConfigFiles(const std::string& folder);

// How the active configuration file stood when start-up came to read it.
enum class ConfigFileState { Read, Missing, Unreadable, Empty, OnlyByteOrderMark };

// What start-up found, for the caller to act on or report.
struct StationStartup {
    ConfigFileSet files;
    bool config_file_read = false;   // the active file existed and was read
    ConfigFileState config_file_state = ConfigFileState::Missing;
    std::string config_file_error;   // for Unreadable: why
    ConfigNotes notes;               // problems in the configuration file and the tables
    // The values the configuration file asked for, before the tables replaced them.
    std::string configured_chip_model;
    std::int32_t configured_cpu_mhz = 0;
    std::int32_t configured_ddr_mhz = 0;
    std::int32_t configured_channels = 0;
    bool tables_loaded = false;      // false: start-up stops (message shown)
    bool chip_type_derived = false;  // false: start-up stops (message shown)
    int bluetooth_log = 0;           // ScanBluetoothLog's result
    // Start-up goes on to open the window only when both hold.
    bool CanRun() const { return tables_loaded && chip_type_derived; }
};

// A file the station reads, and whether burning needs it as configured.
struct StationFile {
    std::string label;
    std::string name;        // as configured; resolve with ResolveProgramPath
    bool required = false;
    std::string unused_why;  // for a file burning does not need: why
};
std::vector<StationFile> StationFiles(const BurnConfig& config);

// Every problem that keeps the station from burning as configured, beyond the
// messages start-up has already shown: a configuration file that is missing,
// unreadable, empty or only a byte-order mark (then nothing that follows from
// its defaults is told again), a burn.ini naming a configuration file that is
// not there, a configuration-file note, a missing file, a part number or
// clock pair the tables replaced, an empty part-number list, a chip type
// without a serial boot, a link rate the board cannot switch to, a port that
// can never be serial, an empty flash list for the medium, a channel count
// cut to 16, and lines the address pool or the Bluetooth log cannot read.
// Values are quoted as the configuration file wrote them.
std::vector<std::string> StationProblems(const BurnConfig& config, const StationStartup& startup);

// A setting as the configuration file wrote it, with its place:
// "config.txt line 9: uart baud 12345"; `held` stands in for a value the file
// did not write.
std::string WrittenSetting(const StationStartup& startup, std::string_view key, const std::string& held);
// Why the configured link rate cannot be used ("" when it can), in
// WrittenSetting's form.
std::string LinkRateProblem(const BurnConfig& config, const StationStartup& startup);

// Runs the start-up steps on `config`; `device_channel` is cut to 16 at the end.
// No station file is changed.
StationStartup StartStation(BurnConfig& config, MessageSink& sink);

}  // namespace kestrow::config
