#pragma once
// The station behind the window, without widgets: the channel rows, the port
// each channel watches, the run bookkeeping shared with the burn threads (work
// number, timers, run flags), the handling of status and progress events, the
// Start command and the end of a run. The Qt window draws these rows; the
// command line prints them.
//
// Threads: OnEvent, Start, RefreshRows, SetPorts and TickTimers run on the
// window thread, which alone touches the rows and the window's log. The port
// table, the work number, the timer table and the run flags are shared with the
// port watchers and the burn threads and guarded as noted.
#include "kestrow/config/burn_config.h"
#include "kestrow/config/language_table.h"
#include "kestrow/engine/board_link.h"
#include "kestrow/engine/channel_log.h"
#include "kestrow/engine/result_tally.h"
#include "kestrow/engine/station_event.h"
#include "kestrow/engine/station_window.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <optional>
#include <semaphore>
#include <stop_token>
#include <string>
#include <vector>

namespace kestrow::engine {

inline constexpr std::uint32_t kColourReady = 0xFF0000;    // blue (0x00BBGGRR)
inline constexpr std::uint32_t kColourSuccess = 0x00C800;  // green
inline constexpr std::uint32_t kColourFailure = 0x0000FF;  // red
inline constexpr std::uint32_t kRowTextColour = 0x646464;

// Channels the transfer library has; the window shows at most kMaxStationChannels.
inline constexpr unsigned kMaxChannels = 32;

// Language entries of the success texts while a read-back flag is set.
inline constexpr int kTextBinReadBackDone = 337;
inline constexpr int kTextSpiNorReadBackDone = 339;

// The last result a row reached; it stays on the row until the next board attaches.
enum class RowResult : std::uint8_t { None, Passed, Failed };

struct RowRecord {
    int percent = 0;
    std::uint32_t text_colour = kRowTextColour;
    std::uint32_t bar_colour = kColourReady;
    std::uint32_t seconds = 0;
    std::string text;  // "Status Description"
    RowResult result = RowResult::None;
    std::time_t result_time = 0;  // when the result was reached (wall clock)
    std::string cause;            // why the board failed, as its channel log says
    // The port watches for the next board; the result shown is the last board's.
    bool waiting = false;
    // The failed board is still on the port: it is not burned again until it has gone.
    bool board_stays = false;
    unsigned retries = 0;  // automatic retries of the board on the port so far
};

class StationState {
public:
    StationState(config::BurnConfig& config, config::LanguageTable& language, BoardLink& link,
                 StationWindow& window);

    // ---- window thread ----
    // The window's log: creates the log folder, trims an oversized log, writes
    // the opening lines and cleans up old channel logs.
    void OpenMainLog();
    ChannelLog& MainLog() { return main_log_; }
    void RefreshRows(int count);
    const std::vector<RowRecord>& Rows() const { return rows_; }
    // The row that shows `channel` (1-based), or nullopt when it has none.
    std::optional<std::size_t> RowOfChannel(unsigned channel) const;
    // An event of the engine or a port watcher; one of a channel without a
    // row changes nothing.
    void OnEvent(const StationEvent& event);
    void OnBurnStatus(unsigned channel, unsigned code);
    void OnBurnProgress(unsigned channel, unsigned bytes);
    // Start command: starts the burn of `channel`, or with 0 of every channel
    // whose board is ready; the count started.
    unsigned Start(unsigned channel = 0);
    // One-second tick of the channel timers.
    void TickTimers();
    // The results of every burn since the station opened (each retry counts).
    const ResultTally& Tally() const { return tally_; }
    void SetTransferTotal(std::uint64_t bytes) { transfer_total_ = bytes; }
    std::uint64_t TransferTotal() const { return transfer_total_; }

    // The port each channel watches: channel i + 1 watches ports[i]. Changed
    // only while nothing watches or burns; a channel's result frees its port.
    void SetPorts(std::vector<std::string> ports);
    void SetPort(unsigned channel, std::string port);
    std::vector<std::string> Ports() const;
    // "" for a channel without a port (any thread).
    std::string PortOfChannel(unsigned channel) const;

    // ---- burn threads (and the window thread) ----
    // Arms the channel's timer and counts it as running; the new work number.
    int BeginChannel(unsigned channel);
    // Counts a successful channel as ended when a run is counted; the new work
    // number, or -1 when there was none. At 0 the caller ends the run.
    int EndChannel();
    void DisarmTimer(unsigned channel);
    int WorkNumber() const;
    // The last channel of a run has ended.
    void EndOfRun();
    // The engine's burn of `channel` has begun, and has returned.
    void EnterBurn(unsigned channel);
    void LeaveBurn(unsigned channel);

    // Auto-start, one per channel: set by the channel's port watcher when a
    // board is ready, cleared by the board's result. The watcher waits here
    // while a board is on its port.
    void SetAutoStart(unsigned channel);
    bool AutoStart(unsigned channel) const;
    // Any channel's: a board is attached or burning somewhere.
    bool AutoStart() const;
    // Waits until the channel's board has its result and its burn has left
    // the engine, so that its port is free for the next board. False when
    // `stop` was requested first.
    bool WaitUntilChannelFree(unsigned channel, std::stop_token stop);

    // ---- a failed board ----
    // Automatic retries of a failed board before its port waits for it to go
    // (default 0: a failed board is never burned again until it has been replaced).
    void SetAutoRetries(unsigned retries) { auto_retries_ = retries; }
    unsigned AutoRetries() const { return auto_retries_; }
    // The channel's board failed and has no retry left: its port is watched
    // only for the board to go (any thread).
    bool AwaitingDeparture(unsigned channel) const;
    // The failed board no longer answers: the port watches for the next board.
    void BoardGone(unsigned channel);
    // The cause of the failure the engine is about to post for `channel`
    // (burn thread); the row shows it with the failure.
    void SetFailureCause(unsigned channel, std::string cause);

    bool RunActive() const { return run_active_; }
    unsigned TimerChannel(unsigned channel) const { return timers_[channel].channel; }
    std::uint32_t TimerSeconds(unsigned channel) const { return timers_[channel].seconds; }
    int PendingCount() const { return pending_; }

    // Set by the read-back features; cleared by every successful burn.
    std::atomic<bool> spi_nor_read_back{false};
    std::atomic<bool> bin_read_back{false};
    std::atomic<bool> erase_mode{false};
    std::atomic<int> udisk_burn_number{0};

private:
    void OnChannelFail(std::size_t row, const std::string& text);
    void OnChannelSuccess(std::size_t row);
    void OnReady(std::size_t row, const std::string& text);
    void OnArmed(std::size_t row);
    // Counts a failure against the channel's retries; true when none is left.
    bool FailureSticks(unsigned channel);
    // A ready board the library would not start.
    void Unstarted(unsigned channel);
    void ClearAutoStart(unsigned channel);
    bool ChannelFree(unsigned channel) const;  // under auto_start_mutex_
    // Sets one channel's flag of those a port watcher waits on.
    void SetChannelFlag(std::array<bool, kMaxChannels + 1>& flags, unsigned channel, bool value);
    void ClearRunFlags();
    std::string PortOfRow(std::size_t row) const;

    struct Timer {
        std::atomic<unsigned> channel{0};
        std::atomic<std::uint32_t> seconds{0};
    };

    config::BurnConfig& config_;
    config::LanguageTable& language_;
    BoardLink& link_;
    StationWindow& window_;
    ChannelLog main_log_;
    std::vector<RowRecord> rows_;
    ResultTally tally_;
    std::uint64_t transfer_total_ = 0;

    // g_workNumber and g_workTotalnum, changed only under work_semaphore_.
    mutable std::binary_semaphore work_semaphore_{1};
    int work_number_ = 0;
    int work_total_ = 0;
    std::array<Timer, kMaxChannels + 1> timers_;

    mutable std::mutex ports_mutex_;
    std::vector<std::string> ports_;

    std::atomic<bool> run_active_{false};
    std::atomic<bool> udisk_scan_{false};
    std::atomic<int> pending_{0};
    std::atomic<bool> restart_{false};

    // The flags a port watcher waits on, under auto_start_mutex_.
    mutable std::mutex auto_start_mutex_;
    std::condition_variable_any auto_start_changed_;
    std::array<bool, kMaxChannels + 1> auto_start_{};
    std::array<bool, kMaxChannels + 1> in_burn_{};
    std::array<bool, kMaxChannels + 1> await_departure_{};
    std::array<unsigned, kMaxChannels + 1> retries_used_{};
    std::atomic<unsigned> auto_retries_{0};
    std::array<std::string, kMaxChannels + 1> failure_causes_;  // under auto_start_mutex_
};

}  // namespace kestrow::engine
