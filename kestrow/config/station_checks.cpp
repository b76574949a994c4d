#include "kestrow/config/station_checks.h"

#include "kestrow/config/address_pool.h"
#include "kestrow/config/password_file.h"
#include "kestrow/config/station_folder.h"
#include "kestrow/config/station_startup.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

namespace kestrow::config {
namespace {

constexpr const char* kBurningModes = "use 1, 5, 6 or 7";

// Why the station's user may not write `path` ("" when it may).
std::string WriteDenied(const std::string& path, int mode) {
    if (::faccessat(AT_FDCWD, path.c_str(), mode, AT_EACCESS) == 0) return "";
    return std::error_code(errno, std::generic_category()).message();
}

}  // namespace

std::vector<std::string> BurnRefusals(const BurnConfig& c, const std::string& configFile, const ConfigNotes* notes) {
    std::vector<std::string> refusals;
    const auto written = [notes](std::string_view key, std::int32_t held) {
        return notes != nullptr ? notes->ValueOf(key, std::to_string(held)) : std::to_string(held);
    };
    const std::string mode = configFile + ": chip mode " + written("chip mode", c.chip_mode);
    switch (c.chip_mode) {
        case kModeSpiNor:
        case kModeSpiNand:
        case kModeSpiSd:
        case kModeSpiNorAndNand: break;
        case kModeNand:
        case kModeSd:
            refusals.push_back(mode + " (" + std::string(ChipModeLabel(c.chip_mode)) +
                               ") reads no flash ID, so no board can pass (" + kBurningModes + ")");
            break;
        default: refusals.push_back(mode + " names no burn medium (" + kBurningModes + ")");
    }
    if (c.device_channel < 1)
        refusals.push_back(configFile + ": device channel " + written("device channel", c.device_channel) +
                           " leaves no channel to burn on (use 1 to " + std::to_string(kMaxBurnChannels) + ")");
    for (const MalformedEntry& m : c.malformed_entries)
        if (m.list == kSpiNorListKey || m.list == kSpiNandListKey)
            refusals.push_back(m.Describe() +
                               ": this flash record does not read whole, and a board with its flash would be "
                               "burned with the fields after the fault as zero");
    return refusals;
}

std::vector<WriteProblem> UnwritableStationFiles(const std::string& configFile, const std::string& logFolder,
                                                 const std::string& mainLog) {
    std::vector<WriteProblem> problems;
    const std::string folder = StationFolder();
    const std::string folderDenied = WriteDenied(folder, W_OK | X_OK);
    if (!folderDenied.empty())
        problems.push_back({"cannot write to the station folder " + folder + " (" + folderDenied +
                            "): no transfer log, and settings and address pools cannot be saved"});
    const std::string logs = ResolveProgramPath(logFolder);
    std::error_code ec;
    if (std::filesystem::exists(logs, ec)) {
        if (std::string why = WriteDenied(logs, W_OK | X_OK); !why.empty())
            problems.push_back({"cannot write to the log folder " + logs + " (" + why +
                                "): no channel or main logs will be kept", true});
    } else if (!folderDenied.empty()) {
        problems.push_back({"cannot make the log folder " + logs + ": no channel or main logs will be kept", true});
    }
    for (const std::string& path : {ResolveProgramPath(configFile), ResolveProgramPath(kBurnIniFile),
                                    ResolveProgramPath(kPoolFile), ResolveProgramPath(kBluetoothLogFile),
                                    PasswordFilePath(), ResolveProgramPath(mainLog)}) {
        if (!std::filesystem::exists(path, ec)) continue;
        if (std::string why = WriteDenied(path, W_OK); !why.empty())
            problems.push_back({"cannot write " + path + " (" + why + ")"});
    }
    return problems;
}

}  // namespace kestrow::config
