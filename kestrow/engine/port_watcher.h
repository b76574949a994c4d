#pragma once
// The attach thread: watches the selected port (entry 0 of uart_com) and, when
// a board answers its boot ROM, binds it to a channel and posts Ready. While a
// board is attached (auto-start set) the port is left alone until the board's
// result clears the flag.
#include "kestrow/config/burn_config.h"
#include "kestrow/engine/board_link.h"
#include "kestrow/engine/port_search.h"
#include "kestrow/engine/station_state.h"
#include "kestrow/engine/station_window.h"

#include <chrono>
#include <string>
#include <thread>

namespace kestrow::engine {

inline constexpr unsigned kRamCheckChannel = 1;
inline constexpr unsigned kRamCheckAddress = 0xD2800100;
// While the port cannot be opened it is tried again after this long, not every round.
inline constexpr std::chrono::milliseconds kUnopenablePortPause{1000};

class PortWatcher {
public:
    // `ports`, when given, names who holds a port that is in use.
    PortWatcher(const config::BurnConfig& config, BoardLink& link, StationState& state, StationWindow& window,
                const PortProber* ports = nullptr, std::chrono::milliseconds unopenablePause = kUnopenablePortPause);
    ~PortWatcher() { Stop(); }
    PortWatcher(const PortWatcher&) = delete;
    PortWatcher& operator=(const PortWatcher&) = delete;

    void Start();
    // Ends the thread at its next wait; returns when it has ended.
    void Stop();
    bool Running() const { return thread_.joinable(); }

    // One attach attempt on `port` for channel slot `slot`: the RAM check of
    // chip type 11, the secure check or the baud handshake, the bind to a
    // channel and Ready. True when a board was attached.
    bool Attach(const std::string& port, unsigned slot);

private:
    void Watch(std::stop_token stop);
    // Tell the window why the port cannot be opened, and that it opens again,
    // each only when that changed.
    void TellUnopenable(const std::string& port);
    void TellOpen(const std::string& port);

    const config::BurnConfig& config_;
    BoardLink& link_;
    StationState& state_;
    StationWindow& window_;
    const PortProber* ports_;
    std::chrono::milliseconds unopenable_pause_;
    // What the window was last told (the library's reason, before the holder
    // is looked up); only the watch thread touches these.
    bool told_problem_ = false;
    std::string told_port_;
    PortCondition told_;
    std::jthread thread_;
};

}  // namespace kestrow::engine
