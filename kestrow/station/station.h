#pragma once
// The station without widgets: the state behind the window, the burn engine
// and one port watcher per channel, behind one object that both fronts (the
// window, `kestrow burn`), the tests and the benchmarks build. Open() brings it
// up: the engine becomes the transfer library's burn entry, the main log
// opens, the transfer total is computed and the rows are built. Close() stops
// the watching, lets go of the watched ports and returns once no burn thread
// is inside the engine any more.
//
// Each port maps to one channel (SetPorts) and is watched, attached, burned
// and re-armed by itself: a board finishing, failing, unplugged or silent on
// one port never waits for another.
//
// Threads: Open, Close, SetPorts, the watching and the transfer total are the
// window thread's (the front's own thread); the engine runs on the library's
// workers, each watcher on a thread of its own.
#include "kestrow/config/burn_config.h"
#include "kestrow/config/language_table.h"
#include "kestrow/engine/board_link.h"
#include "kestrow/engine/burn_engine.h"
#include "kestrow/engine/port_search.h"
#include "kestrow/engine/port_watcher.h"
#include "kestrow/engine/progress.h"
#include "kestrow/engine/station_state.h"
#include "kestrow/engine/station_window.h"
#include "kestrow/station/board_records.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestrow::station {

// What a station is built from; all owned by the caller and outliving it.
struct StationParts {
    config::BurnConfig& config;
    config::LanguageTable& language;
    engine::BoardLink& link;
    engine::StationWindow& window;
    const engine::PortProber* ports = nullptr;  // names who holds a port in use
};

class Station {
public:
    explicit Station(StationParts parts, engine::EngineOptions options = {});
    ~Station() { Close(); }
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    // Installs the engine, opens the main log, computes the transfer total and
    // builds `rows` channel rows. The transfer total says which file, if any,
    // could not be measured.
    engine::TransferTotal Open(int rows);
    // Stops watching, lets go of the watched ports and waits until no burn is
    // inside the engine; then closes the main log. Does nothing when closed.
    void Close();
    bool IsOpen() const { return open_; }

    // Opens the station's records store (`records`: --records, may be empty;
    // else burn.ini [Records] Url, else records.db) and has every board
    // recorded and given its addresses from then on. Before StartWatching.
    // The problems to show (the store unreachable, ...); boards wait for the
    // store while it cannot be reached.
    std::vector<std::string> OpenRecords(const std::string& records);
    // The records, once opened.
    BoardRecords* Records() { return records_.get(); }

    // After the burn file or the settings changed.
    engine::TransferTotal RecomputeTransferTotal();

    // Channel i + 1 watches ports[i] (at most kMaxChannels); a channel
    // without a port name is not watched. Only while nothing is watched.
    void SetPorts(std::vector<std::string> ports);
    std::vector<std::string> Ports() const { return state_.Ports(); }

    // One watcher per channel with a port. StopWatching returns once all of
    // them have ended.
    void StartWatching();
    void StopWatching();
    bool Watching() const;

    // A board is attached or burning: it reads the configuration until its result.
    bool Busy() const;
    // The channels whose board is attached or burning, in order.
    std::vector<unsigned> BurningChannels() const;
    // Writes `why` (a line without its end) into the log of `channel`'s burn
    // and into the main log: the burn ends without its result.
    void NoteInterrupted(unsigned channel, const std::string& why);
    // The log file a channel's burn writes: its current or last burn's, else
    // the one today's burn would.
    std::string ChannelLogPath(unsigned channel) const;

    engine::StationState& State() { return state_; }
    const engine::StationState& State() const { return state_; }
    engine::BurnEngine& Engine() { return engine_; }
    // The watcher of `channel` (1 .. kMaxChannels).
    engine::PortWatcher& Watcher(unsigned channel) { return *watchers_.at(channel - 1); }

private:
    config::BurnConfig& config_;
    engine::BoardLink& link_;
    engine::StationState state_;
    engine::BurnEngine engine_;
    config::LanguageTable& language_;
    engine::StationWindow& window_;
    std::unique_ptr<BoardRecords> records_;
    std::vector<std::unique_ptr<engine::PortWatcher>> watchers_;  // channel i + 1 at i
    bool open_ = false;
};

// A file every burn needs (the producer, the burn file, and the signature data
// or RAM image where the configuration uses them) that is missing or empty:
// the message names `configFile`, the key and the path. Checked before any
// board is taken, since every burn would fail on it.
std::optional<std::string> MissingBurnFile(const config::BurnConfig& config, const std::string& configFile);

}  // namespace kestrow::station
