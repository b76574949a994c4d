#pragma once
// What keeps a station from working as configured, checked up front by the
// window, `kestrow burn` and `kestrow config` alike: settings with which no
// board can ever pass, and station files the station cannot write.
#include "kestrow/config/burn_config.h"

#include <string>
#include <vector>

namespace kestrow::config {

// Settings that make every burn fail: a chip mode without a burn path (0 and
// 2 read no flash ID, 3 and 4 and unknown modes name no medium) and a device
// channel count below 1, and a SPI NOR or SPI NAND record the file did not
// read whole (a board with that flash would be burned with the fields after
// the fault as zero). Each message names the file and the value, as the file
// wrote it when the reader's `notes` are given.
std::vector<std::string> BurnRefusals(const BurnConfig& config, const std::string& configFile,
                                      const ConfigNotes* notes = nullptr);

struct WriteProblem {
    std::string text;        // names the folder or file and why
    bool logs_lost = false;  // the channel logs cannot be written
};
// What the station cannot write: its folder (transfer log, console capture,
// the window's lock, saved settings), the log folder `logFolder` (channel and
// main logs), the main log `mainLog` and the station files it rewrites. Empty
// when all is writable.
std::vector<WriteProblem> UnwritableStationFiles(const std::string& configFile, const std::string& logFolder,
                                                 const std::string& mainLog);

}  // namespace kestrow::config
