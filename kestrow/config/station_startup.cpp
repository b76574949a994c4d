#include "kestrow/config/station_startup.h"

#include "kestrow/base/file_kind.h"
#include "kestrow/config/address_pool.h"
#include "kestrow/config/chip_tables.h"
#include "kestrow/config/chip_types.h"
#include "kestrow/config/file_io.h"
#include "kestrow/config/private_profile.h"
#include "kestrow/config/serial_link.h"
#include "kestrow/config/station_folder.h"
#include "kestrow/config/text_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
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

// Tells a file that is not there from one that cannot be read, and an empty
// file or a lone byte-order mark (UTF-16 either way, or UTF-8) from a file
// with settings. Nothing is read from a file that is not a regular one.
ConfigFileState ConfigFileStateOf(const std::string& path, std::string& error) {
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return ConfigFileState::Missing;
        error = std::strerror(errno);
        return ConfigFileState::Unreadable;
    }
    if (!S_ISREG(st.st_mode)) {
        error = std::string("it is ") + base::FileKindName(st.st_mode) + ", not a regular file";
        return ConfigFileState::Unreadable;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        error = std::strerror(errno);
        return ConfigFileState::Unreadable;
    }
    char head[4] = {};
    const ssize_t n = ::read(fd, head, sizeof head);
    const int readError = errno;
    ::close(fd);
    if (n < 0) {
        error = std::strerror(readError);
        return ConfigFileState::Unreadable;
    }
    const std::string_view start(head, static_cast<std::size_t>(n));
    if (start.empty()) return ConfigFileState::Empty;
    if (start == "\xFF\xFE" || start == "\xFE\xFF" || start == "\xEF\xBB\xBF") return ConfigFileState::OnlyByteOrderMark;
    return ConfigFileState::Read;
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

    set.chosen = chosen;
    auto active = std::find(set.names.begin(), set.names.end(), chosen);
    if (!chosen.empty() && active != set.names.end()) set.active = static_cast<std::size_t>(active - set.names.begin());
    return set;
}

StationStartup StartStation(BurnConfig& config, MessageSink& sink) {
    StationStartup s;
    config.LoadAddressPool(kPoolFile, kMacPoolPrefix, sink);
    s.files = DiscoverConfigFiles(StationFolder());
    s.config_file_state = ConfigFileStateOf(ResolveProgramPath(s.files.ActiveName()), s.config_file_error);
    s.config_file_read = s.config_file_state != ConfigFileState::Missing &&
                         s.config_file_state != ConfigFileState::Unreadable &&
                         config.Load(s.files.ActiveName(), &s.notes) == 1;
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

std::string WrittenSetting(const StationStartup& s, std::string_view key, const std::string& held) {
    const std::string file = s.files.ActiveName();
    const ConfigNotes::Written* w = s.notes.Find(key);
    return (w ? file + " line " + std::to_string(w->line) + ": " : file + ": ") + std::string(key) + " " +
           s.notes.ValueOf(key, held);
}

std::string LinkRateProblem(const BurnConfig& c, const StationStartup& s) {
    if (IsLinkBaudRate(c.uart_baud)) return "";
    return WrittenSetting(s, "uart baud", std::to_string(c.uart_baud)) +
           " is not a rate the boot ROM and the link can switch to (" + LinkBaudRatesText() + ")";
}

std::vector<std::string> StationProblems(const BurnConfig& c, const StationStartup& s) {
    std::vector<std::string> problems;
    const std::string file = s.files.ActiveName();
    const std::string path = ResolveProgramPath(file);
    switch (s.config_file_state) {
        case ConfigFileState::Read: break;
        case ConfigFileState::Missing: problems.push_back("missing file: configuration " + path + " (defaults used)"); break;
        case ConfigFileState::Unreadable:
            problems.push_back("cannot read the configuration " + path + ": " + s.config_file_error + " (defaults used)");
            break;
        case ConfigFileState::Empty: problems.push_back("the configuration " + path + " is empty (defaults used)"); break;
        case ConfigFileState::OnlyByteOrderMark:
            problems.push_back("the configuration " + path + " holds only a byte-order mark (defaults used)");
            break;
    }
    // Without settings of its own, what the defaults lead to is no news.
    const bool ownSettings = s.config_file_state == ConfigFileState::Read;
    if (!s.files.chosen.empty() && s.files.chosen != file) {
        const std::string chosen = ResolveProgramPath(s.files.chosen);
        problems.push_back(std::string(kBurnIniFile) + " [Config] File Name = " + s.files.chosen + ": " +
                           (IsRegularFile(chosen) ? "not a configuration file (its name must hold \"config\" and end in .txt)"
                                                  : "there is no such file in the station folder") +
                           "; " + file + " used");
    }
    if (ownSettings)
        for (const std::string& note : s.notes.lines)
            problems.push_back((StartsWith(note, "line ") ? file + " " : "") + note);
    const auto setting = [&](std::string_view key, const std::string& held) { return WrittenSetting(s, key, held); };
    if (const std::string rate = LinkRateProblem(c, s); !rate.empty()) problems.push_back(rate);
    if (const std::string why = WhyNeverASerialPort(c.uart_com[0]); !why.empty() && !c.uart_com[0].empty())
        problems.push_back(setting("uart com", c.uart_com[0]) + ": " + why);
    for (const StationFile& f : StationFiles(c))
        if (f.required && !IsRegularFile(ResolveProgramPath(f.name)))
            problems.push_back("missing file: " + f.label + " " + ResolveProgramPath(f.name));
    for (const std::string& problem : PoolFileProblems(kPoolFile)) problems.push_back(problem);
    for (const std::string& problem : BluetoothLogProblems(kBluetoothLogFile)) problems.push_back(problem);
    if (!s.tables_loaded) return problems;

    if (c.part_numbers.empty())
        problems.push_back(std::string(kChipTablesFile) + ": [Chip_Type] chip_type lists no part number");
    else if (ownSettings && s.configured_chip_model != c.chip_model)
        problems.push_back("part number \"" + s.configured_chip_model + "\" is not in the part-number list of " +
                           kChipTablesFile + "; " + c.chip_model + " used");
    if (ownSettings && !c.ddr_freqs.empty() &&
        (s.configured_cpu_mhz != c.cpu_freq_param || s.configured_ddr_mhz != c.ddr_freq_param))
        problems.push_back("clock pair " + ClockText(s.configured_cpu_mhz, s.configured_ddr_mhz) + " replaced by " +
                           ClockText(c.cpu_freq_param, c.ddr_freq_param) +
                           (c.chip_model == kFixedClockPart ? " (fixed for " + c.chip_model + ")"
                                                            : " (not in " + std::string(kChipTablesFile) + ")"));
    if (c.ddr_freqs.empty()) problems.push_back(std::string(kChipTablesFile) + " has no clock pair");
    if (s.chip_type_derived && !ChipTypeOrReserved(c.chip_type).serialBoot)
        problems.push_back("chip type " + std::string(ChipTypeName(c.chip_type)) + " has no serial boot");
    if (ChipModeLabel(c.chip_mode).empty())
        problems.push_back(setting("chip mode", std::to_string(c.chip_mode)) + " is unknown");
    if (s.configured_channels > kMaxBurnChannels)
        problems.push_back(setting("device channel", std::to_string(s.configured_channels)) + " is cut to " +
                           std::to_string(kMaxBurnChannels));
    if (!ownSettings) return problems;
    bool nor = c.chip_mode == kModeSpiNor || c.chip_mode == kModeSpiSd || c.chip_mode == kModeSpiNorAndNand;
    bool nand = c.chip_mode == kModeSpiNand || c.chip_mode == kModeSpiNorAndNand;
    if (nor && c.spinor_list.empty()) problems.push_back("the SPI NOR list is empty: no SPI NOR chip can be burned");
    if (nand && c.spinand_list.empty()) problems.push_back("the SPI NAND list is empty: no SPI NAND chip can be burned");
    return problems;
}

}  // namespace kestrow::config
