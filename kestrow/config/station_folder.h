#pragma once
// The station folder holds everything the station reads and writes for itself:
// config.txt, burn.ini, the tables, the address pools, Lang/, ramconfig/, log/.
#include <string>

namespace kestrow::config {

// Which folder the station uses and why.
struct StationFolderChoice {
    std::string folder;  // absolute, without a trailing slash
    std::string reason;  // for the operator: where the choice came from
    std::string error;   // set when the user's data folder could not be made from the sample station
};

// The folder to use: `given` when not empty, else $KESTROW_STATION, else, for
// an installed program (one with the sample station at
// `programFolder`/../share/kestrow/station), the user's data folder
// $XDG_DATA_HOME/kestrow/station (default ~/.local/share/kestrow/station),
// made from the sample station when it is missing or empty; else (a build
// tree) `programFolder` itself.
StationFolderChoice ChooseStationFolder(const std::string& given, const std::string& programFolder);

// ChooseStationFolder for the running executable; only the folder.
std::string ResolveStationFolder(const std::string& given);

// Chooses the folder as above and exports it as KESTROW_STATION, so corvel
// (the transfer log, the console capture) writes into the same folder. A
// sample station that cannot be copied is reported on stderr.
std::string UseStationFolder(const std::string& given);

// The folder chosen by the last UseStationFolder call, or resolved afresh.
const std::string& StationFolder();

// Why StationFolder() is the folder it is.
const std::string& StationFolderReason();

}  // namespace kestrow::config

namespace kestrow::config {

// A file name of the station: returned unchanged when it is absolute ("/..."),
// carries a drive letter ("C:...") or begins with two backslashes; otherwise
// taken relative to the station folder. Backslashes of a relative name are
// folder separators.
std::string ResolveProgramPath(const std::string& name);

}  // namespace kestrow::config
