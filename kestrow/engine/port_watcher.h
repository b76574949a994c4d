#pragma once
// The attach thread of one channel: watches the channel's port (the station
// state's port table) and, when a board answers its boot ROM, binds it to the
// channel and posts Ready. While the board is attached (the channel's
// auto-start set) and burning, the port is left alone; once the board has its
// result and its burn has left the engine, watching resumes for the next board
// (and the window is told, Armed). A board that failed with no retry left is
// not attached again: its port is only looked at, each round, until two looks
// in a row get no answer or the port cannot be opened (the board has gone),
// and then watched for the next board.
// Each channel's watcher runs on its own: nothing one port does waits for another.
#include "kestrow/config/burn_config.h"
#include "kestrow/engine/board_link.h"
#include "kestrow/engine/burn_recorder.h"
#include "kestrow/engine/port_search.h"
#include "kestrow/engine/station_state.h"
#include "kestrow/engine/station_window.h"

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>

namespace kestrow::engine {

inline constexpr unsigned kRamCheckAddress = 0xD2800100;
// While the port cannot be opened it is tried again after this long, not every round.
inline constexpr std::chrono::milliseconds kUnopenablePortPause{1000};

class PortWatcher {
public:
    // Watches channel `channel`'s port; `ports`, when given, names who holds a
    // port that is in use.
    PortWatcher(const config::BurnConfig& config, BoardLink& link, StationState& state, StationWindow& window,
                unsigned channel, const PortProber* ports = nullptr,
                std::chrono::milliseconds unopenablePause = kUnopenablePortPause);
    ~PortWatcher() { Stop(); }
    PortWatcher(const PortWatcher&) = delete;
    PortWatcher& operator=(const PortWatcher&) = delete;

    void Start();
    // Asks the thread to end at its next wait, without waiting for it.
    void RequestStop() { thread_.request_stop(); }
    // Ends the thread at its next wait; returns when it has ended.
    void Stop();
    bool Running() const { return thread_.joinable(); }
    unsigned Channel() const { return channel_; }
    // Asked before each look for a board; none by default. While not running.
    void SetRecorder(BurnRecorder* recorder) { recorder_ = recorder; }

    // One attach attempt on `port` for channel slot `slot`: the RAM check of
    // chip type 11, the secure check or the baud handshake, the bind to a
    // channel and Ready. True when a board was attached.
    bool Attach(const std::string& port, unsigned slot);

    // Rounds that looked for a failed board to go (for tests and diagnostics).
    unsigned DepartureRounds() const { return departure_rounds_; }

private:
    void Watch(std::stop_token stop);
    // Tell the window why the port cannot be opened, and that it opens again,
    // each only when that changed.
    void TellUnopenable(const std::string& port, PortCondition why);
    void TellOpen(const std::string& port);
    // One look at the port of a failed board. Nothing is attached and the
    // board stays at the boot rate.
    // NotLooked: the port is there but was not opened, which tells nothing.
    enum class FailedBoard { Answers, Silent, PortGone, NotLooked };
    FailedBoard LookForFailedBoard(const std::string& port, unsigned slot, std::stop_token stop);
    // KW_Start_Read refused a usable port without opening it: true while that
    // has lasted less than the unopenable pause, as while the library still
    // lets go of the burn that just ended.
    bool StillReleasing();
    // The recorder takes boards now; tells the window when that changed.
    bool RecorderTakesBoards(const std::string& port);

    const config::BurnConfig& config_;
    BoardLink& link_;
    StationState& state_;
    StationWindow& window_;
    const unsigned channel_;
    const PortProber* ports_;
    std::chrono::milliseconds unopenable_pause_;
    // What the window was last told (the library's reason, before the holder
    // is looked up); only the watch thread touches these.
    bool told_problem_ = false;
    unsigned silent_looks_ = 0;  // looks in a row at a failed board's port that got no answer
    std::string told_port_;
    PortCondition told_;
    // When KW_Start_Read first refused the port without opening it.
    std::optional<std::chrono::steady_clock::time_point> refused_since_;
    bool attached_ = false;  // a board was attached since the port was last armed
    std::atomic<unsigned> departure_rounds_{0};
    BurnRecorder* recorder_ = nullptr;
    std::string told_recorder_;  // the recorder's last refusal the window was told
    std::jthread thread_;
};

}  // namespace kestrow::engine
