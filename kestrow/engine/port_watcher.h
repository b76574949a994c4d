#pragma once
// The attach thread: watches the selected port (entry 0 of uart_com) and, when
// a board answers its boot ROM, binds it to a channel and posts Ready. While a
// board is attached (auto-start set) the port is left alone until the board's
// result clears the flag.
#include "kestrow/config/burn_config.h"
#include "kestrow/engine/board_link.h"
#include "kestrow/engine/station_state.h"
#include "kestrow/engine/station_window.h"

#include <string>
#include <thread>

namespace kestrow::engine {

inline constexpr unsigned kRamCheckChannel = 1;
inline constexpr unsigned kRamCheckAddress = 0xD2800100;

class PortWatcher {
public:
    PortWatcher(const config::BurnConfig& config, BoardLink& link, StationState& state, StationWindow& window);
    ~PortWatcher() { Stop(); }
    PortWatcher(const PortWatcher&) = delete;
    PortWatcher& operator=(const PortWatcher&) = delete;

    void Start();
    // Ends the thread at its next wait; returns when it has ended.
    void Stop();

    // One attach attempt on `port` for channel slot `slot`: the RAM check of
    // chip type 11, the secure check or the baud handshake, the bind to a
    // channel and Ready. True when a board was attached.
    bool Attach(const std::string& port, unsigned slot);

private:
    void Watch(std::stop_token stop);

    const config::BurnConfig& config_;
    BoardLink& link_;
    StationState& state_;
    StationWindow& window_;
    std::jthread thread_;
};

}  // namespace kestrow::engine
