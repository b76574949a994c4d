#pragma once
// The station folder holds everything the station reads and writes for itself:
// config.txt, burn.ini, the tables, the address pools, Lang/, ramconfig/, log/.
#include <string>

namespace kestrow::config {

// The folder to use: `given` when not empty, else $KESTROW_STATION, else the
// folder of the running executable. Always an absolute path without a trailing slash.
std::string ResolveStationFolder(const std::string& given);

// Resolves the folder as above and exports it as KESTROW_STATION, so corvel
// (the transfer log, the console capture) writes into the same folder.
std::string UseStationFolder(const std::string& given);

// The folder chosen by the last UseStationFolder call, or resolved afresh.
const std::string& StationFolder();

}  // namespace kestrow::config

namespace kestrow::config {

// A file name of the station: returned unchanged when it is absolute ("/..."),
// carries a drive letter ("C:...") or begins with two backslashes; otherwise
// taken relative to the station folder. Backslashes of a relative name are
// folder separators.
std::string ResolveProgramPath(const std::string& name);

}  // namespace kestrow::config
