#include "kestrow/station/station.h"

#include <chrono>
#include <thread>

namespace kestrow::station {
namespace {

constexpr auto kBurnExitPoll = std::chrono::milliseconds(5);

}  // namespace

Station::Station(StationParts parts, engine::EngineOptions options)
    : config_(parts.config),
      link_(parts.link),
      state_(parts.config, parts.language, parts.link, parts.window),
      engine_(parts.config, parts.link, state_, parts.window, options),
      watcher_(parts.config, parts.link, state_, parts.window, parts.ports) {}

engine::TransferTotal Station::Open(int rows) {
    engine::BurnEngine::Install(&engine_);
    open_ = true;
    state_.OpenMainLog();
    engine::TransferTotal total = RecomputeTransferTotal();
    state_.RefreshRows(rows);
    return total;
}

void Station::Close() {
    if (!open_) return;
    StopWatching();
    // The library lets go of the watched port: it is free for other programs again.
    if (!config_.uart_com[0].empty()) link_.DetachUart(config_.uart_com[0]);
    engine::BurnEngine::Install(nullptr);
    // A burn whose result is in may still be on its way out of the engine,
    // which uses this station's state: it must leave first.
    while (engine_.RunningBurns() > 0) std::this_thread::sleep_for(kBurnExitPoll);
    state_.MainLog().Close();
    open_ = false;
}

engine::TransferTotal Station::RecomputeTransferTotal() {
    engine::TransferTotal total = engine::ComputeTransferTotal(config_);
    if (total.bytes) state_.SetTransferTotal(*total.bytes);
    return total;
}

void Station::StartWatching() { watcher_.Start(); }

void Station::StopWatching() { watcher_.Stop(); }

bool Station::Busy() const {
    return state_.AutoStart() || state_.WorkNumber() > 0 || engine_.RunningBurns() > 0;
}

}  // namespace kestrow::station
