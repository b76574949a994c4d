#pragma once
// The windowed program from start to end: the single-copy check, the station's
// start-up (configuration, tables, library, language), the main window with
// its port threads, and what is saved when it closes.
#include "kestrow/app/prompter.h"
#include "kestrow/config/burn_config.h"
#include "kestrow/config/language_table.h"
#include "kestrow/engine/board_link.h"

#include <string>
#include <vector>

namespace kestrow::app {

// Runs the window on the station folder `station` with the board link `link`;
// the program's exit status. A second copy on the same station brings the
// first copy's window to the front and returns 0 without opening a window.
int RunStationWindow(int argc, char** argv, const std::string& station, engine::BoardLink& link);

// At exit: the language, the closed mark and the active configuration file in
// burn.ini, the configuration file itself, the boot loader's command-line
// block and the language file. Every write that failed is returned, for the
// operator to be told.
std::vector<SaveFailure> SaveStationAtExit(config::BurnConfig& config, config::LanguageTable& language,
                                           const std::string& configFile);

}  // namespace kestrow::app
