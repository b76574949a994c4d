#include "kestrow/config/station_startup.h"

#include "kestrow/config/address_pool.h"
#include "kestrow/config/chip_tables.h"
#include "kestrow/config/chip_types.h"
#include "kestrow/config/file_io.h"
#include "kestrow/config/private_profile.h"
#include "kestrow/config/station_folder.h"
#include "kestrow/config/text_util.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace kestrow::config {
namespace {

// A name holds "config" in any case at a position before its last six characters.
bool IsConfigFileName(const std::string& name) {
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    std::size_t at = lower.find("config");
    return at != std::string::npos && at + 6 < name.size();
}

}  // namespace

ConfigFileSet DiscoverConfigFiles(const std::string& folder) {
    std::vector<std::string> found;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        std::string name = entry.path().filename().string();
        std::string lower = name;
        std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
        if (lower.size() > 4 && lower.ends_with(".txt") && entry.is_regular_file(ec)) found.push_back(name);
    }
    std::sort(found.begin(), found.end());

    std::vector<std::string> candidates;
    for (const std::string& name : found)
        if (IsConfigFileName(name)) candidates.push_back(name);

    // At most ten are held, but config.txt and the file burn.ini names are
    // always among them: dropping either would load, save and record another file.
    const std::string chosen = ReadProfileString(folder + "/" + kBurnIniFile, "Config", "File Name", "", 256);
    const auto mustHold = [&chosen](const std::string& name) {
        return name == "config.txt" || (!chosen.empty() && name == chosen);
    };
    ConfigFileSet set;
    set.names.assign(candidates.begin(), candidates.begin() + std::min(candidates.size(), kMaxConfigFiles));
    for (std::size_t i = set.names.size(); i < candidates.size(); ++i) {
        if (!mustHold(candidates[i])) continue;
        auto other = std::find_if(set.names.rbegin(), set.names.rend(), [&](const std::string& n) { return !mustHold(n); });
        if (other != set.names.rend()) *other = candidates[i];
    }
    auto config = std::find(set.names.begin(), set.names.end(), "config.txt");
    if (config != set.names.end()) std::iter_swap(set.names.begin(), config);
    if (set.names.empty()) set.names.push_back("config.txt");

    auto active = std::find(set.names.begin(), set.names.end(), chosen);
    if (!chosen.empty() && active != set.names.end()) set.active = static_cast<std::size_t>(active - set.names.begin());
    return set;
}

StationStartup StartStation(BurnConfig& config, MessageSink& sink) {
    StationStartup s;
    config.LoadAddressPool(kPoolFile, kMacPoolPrefix, sink);
    s.files = DiscoverConfigFiles(StationFolder());
    s.config_file_read = config.Load(s.files.ActiveName(), &s.notes) == 1;
    s.configured_chip_model = config.chip_model;
    s.configured_cpu_mhz = config.cpu_freq_param;
    s.configured_ddr_mhz = config.ddr_freq_param;
    s.configured_channels = config.device_channel;
    s.tables_loaded = config.LoadChipTables(kChipTablesFile, sink, &s.notes) == 1;
    if (!s.tables_loaded) return s;
    config.SelectClockAndPart();
    s.chip_type_derived = config.DeriveChipType(sink) == 1;
    if (!s.chip_type_derived) return s;
    int found = 1;
    s.bluetooth_log = config.ScanBluetoothLog(kBluetoothLogFile, found, sink);
    config.blue_log_missing = (s.bluetooth_log == 0 && found == 0) ? 1 : 0;
    config.device_channel = std::min(config.device_channel, kMaxBurnChannels);
    return s;
}

}  // namespace kestrow::config

namespace kestrow::config {
namespace {

std::string ClockText(std::int32_t cpu, std::int32_t ddr) {
    return "CPU " + std::to_string(cpu) + " MHz, DDR " + std::to_string(ddr) + " MHz";
}

}  // namespace

std::vector<StationFile> StationFiles(const BurnConfig& c) {
    bool bootImage = c.chip_mode != kModeDebug && c.chip_mode != kModeJtag;
    return {
        {"producer", c.path_producer, true, ""},
        {"boot loader", c.path_nandboot, bootImage, "medium " + std::to_string(c.chip_mode)},
        {"signature data", c.path_1k_data, c.boot_mode_flag == kSecureBootMode, "boot mode " + std::to_string(c.boot_mode_flag)},
        {"RAM file", c.path_ram, ChipTypeOrReserved(c.chip_type).ram == RamSetup::TestImage,
         "chip type " + std::to_string(c.chip_type)},
        {"chip tables", kChipTablesFile, true, ""},
        {"address pool", kPoolFile, false, ""},
        {"Bluetooth log", kBluetoothLogFile, false, ""},
    };
}

std::vector<std::string> StationProblems(const BurnConfig& c, const StationStartup& s) {
    std::vector<std::string> problems;
    if (!s.config_file_read)
        problems.push_back("missing file: configuration " + ResolveProgramPath(s.files.ActiveName()) +
                           " (defaults used)");
    for (const std::string& note : s.notes.lines)
        problems.push_back((StartsWith(note, "line ") ? s.files.ActiveName() + " " : "") + note);
    for (const StationFile& f : StationFiles(c))
        if (f.required && !IsRegularFile(ResolveProgramPath(f.name)))
            problems.push_back("missing file: " + f.label + " " + ResolveProgramPath(f.name));
    if (!s.tables_loaded) return problems;

    if (s.configured_chip_model != c.chip_model)
        problems.push_back("part number \"" + s.configured_chip_model + "\" is not in the part-number list of " +
                           kChipTablesFile + "; " + c.chip_model + " used");
    if (!c.ddr_freqs.empty() && (s.configured_cpu_mhz != c.cpu_freq_param || s.configured_ddr_mhz != c.ddr_freq_param))
        problems.push_back("clock pair " + ClockText(s.configured_cpu_mhz, s.configured_ddr_mhz) + " replaced by " +
                           ClockText(c.cpu_freq_param, c.ddr_freq_param) +
                           (c.chip_model == kFixedClockPart ? " (fixed for " + c.chip_model + ")"
                                                            : " (not in " + std::string(kChipTablesFile) + ")"));
    if (c.ddr_freqs.empty()) problems.push_back(std::string(kChipTablesFile) + " has no clock pair");
    if (s.chip_type_derived && !ChipTypeOrReserved(c.chip_type).serialBoot)
        problems.push_back("chip type " + std::string(ChipTypeName(c.chip_type)) + " has no serial boot");
    if (ChipModeLabel(c.chip_mode).empty()) problems.push_back("chip mode " + std::to_string(c.chip_mode) + " is unknown");
    if (s.configured_channels > kMaxBurnChannels)
        problems.push_back("device channel " + std::to_string(s.configured_channels) + " is cut to " +
                           std::to_string(kMaxBurnChannels));
    bool nor = c.chip_mode == kModeSpiNor || c.chip_mode == kModeSpiSd || c.chip_mode == kModeSpiNorAndNand;
    bool nand = c.chip_mode == kModeSpiNand || c.chip_mode == kModeSpiNorAndNand;
    if (nor && c.spinor_list.empty()) problems.push_back("the SPI NOR list is empty: no SPI NOR chip can be burned");
    if (nand && c.spinand_list.empty()) problems.push_back("the SPI NAND list is empty: no SPI NAND chip can be burned");
    return problems;
}

}  // namespace kestrow::config
