#pragma once
// Bringing a burning station up without the window: the configuration as
// start-up loads it, the secure-boot mode and the channel count handed to the
// transfer library, and the language.
#include "kestrow/config/burn_config.h"
#include "kestrow/config/language_table.h"
#include "kestrow/config/message_sink.h"
#include "kestrow/config/station_startup.h"
#include "kestrow/engine/board_link.h"

namespace kestrow::engine {

struct BurnStationStartup {
    config::StationStartup config;
    unsigned channels = 0;        // handed to the library (device_channel, at most 16)
    bool library_ready = false;   // the library took the channel count
    bool CanRun() const { return config.CanRun(); }
};

// Runs the start-up steps on `config`; the library's burn and progress entries
// are the installed BurnEngine's. Stops after the configuration when it cannot run.
BurnStationStartup StartBurnStation(config::BurnConfig& config, config::MessageSink& sink, BoardLink& link,
                                    config::LanguageTable& language);

}  // namespace kestrow::engine
