#include "kestrow/engine/burn_station.h"

#include "kestrow/engine/burn_engine.h"

#include <algorithm>

namespace kestrow::engine {

BurnStationStartup StartBurnStation(config::BurnConfig& config, config::MessageSink& sink, BoardLink& link,
                                    config::LanguageTable& language) {
    BurnStationStartup result;
    result.config = config::StartStation(config, sink);
    link.SecureBootFlag(static_cast<unsigned>(config.boot_mode_flag));
    if (!result.CanRun()) return result;
    result.channels = static_cast<unsigned>(std::clamp<std::int32_t>(config.device_channel, 0, kMaxStationChannels));
    result.library_ready =
        link.Init(result.channels, &BurnEngine::BurnEntry, &BurnEngine::ProgressEntry) == kLinkSuccess;
    language.SetLanguageFromBurnIni();
    return result;
}

}  // namespace kestrow::engine
