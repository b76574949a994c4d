#include "kestrow/engine/station_state.h"

#include "kestrow/config/station_folder.h"
#include "kestrow/engine/log_cleanup.h"
#include "kestrow/engine/progress.h"
#include "kestrow/engine/status_codes.h"

#include <algorithm>
#include <filesystem>
#include <utility>

namespace kestrow::engine {
namespace {

constexpr int kTextCompletion = 67;

// Holds g_workSemaphore for one scope.
class WorkLock {
public:
    explicit WorkLock(std::binary_semaphore& s) : s_(s) { s_.acquire(); }
    ~WorkLock() { s_.release(); }
    WorkLock(const WorkLock&) = delete;
    WorkLock& operator=(const WorkLock&) = delete;

private:
    std::binary_semaphore& s_;
};

}  // namespace

StationState::StationState(config::BurnConfig& config, config::LanguageTable& language, BoardLink& link,
                           StationWindow& window)
    : config_(config), language_(language), link_(link), window_(window) {}

void StationState::OpenMainLog() {
    std::error_code ec;
    std::filesystem::create_directories(config::ResolveProgramPath(kLogFolder), ec);
    ChannelLog::DeleteIfLarger(kMainLogName, kMainLogLimit);
    main_log_.Open(kMainLogName);
    main_log_.Write(0, "%s\r\n", std::string(81, '*').c_str());
    main_log_.Write(kLogTime | kLogDate, "Open kestrow.exe\r\n");
    CleanOldChannelLogs(config::ResolveProgramPath(kLogFolder), main_log_, ChannelLog::Now());
}

void StationState::RefreshRows(int count) {
    rows_.assign(static_cast<std::size_t>(std::max(count, 0)), RowRecord{});
}

std::string StationState::PortOfRow(std::size_t row) const { return PortOfChannel(static_cast<unsigned>(row + 1)); }

void StationState::SetPorts(std::vector<std::string> ports) {
    {
        std::lock_guard lock(ports_mutex_);
        ports_ = std::move(ports);
    }
    // Other ports: a board that failed on the old ones is no reason to wait.
    std::lock_guard lock(auto_start_mutex_);
    await_departure_.fill(false);
    retries_used_.fill(0);
}

void StationState::SetPort(unsigned channel, std::string port) {
    if (channel == 0) return;
    std::lock_guard lock(ports_mutex_);
    if (ports_.size() < channel) ports_.resize(channel);
    ports_[channel - 1] = std::move(port);
}

std::vector<std::string> StationState::Ports() const {
    std::lock_guard lock(ports_mutex_);
    return ports_;
}

std::string StationState::PortOfChannel(unsigned channel) const {
    std::lock_guard lock(ports_mutex_);
    return channel >= 1 && channel <= ports_.size() ? ports_[channel - 1] : std::string();
}

std::optional<std::size_t> StationState::RowOfChannel(unsigned channel) const {
    if (channel == 0 || channel > rows_.size()) return std::nullopt;
    return channel - 1;
}

void StationState::OnEvent(const StationEvent& event) {
    switch (event.kind) {
        case EventKind::Status: OnBurnStatus(event.channel, event.value); break;
        case EventKind::Progress: OnBurnProgress(event.channel, event.value); break;
        case EventKind::RefreshList: RefreshRows(config_.device_channel); break;
        case EventKind::Armed:
            if (std::optional<std::size_t> row = RowOfChannel(event.channel)) OnArmed(*row);
            break;
    }
}

void StationState::OnBurnStatus(unsigned channel, unsigned code) {
    const StatusInfo* info = FindStatus(code);
    std::optional<std::size_t> row = RowOfChannel(channel);
    if (!info || !row) return;
    std::string text = language_.GetString(static_cast<std::size_t>(StatusTextIndex(*info, config_.chip_mode)));
    switch (info->kind) {
        case StatusKind::Progress: rows_[*row].text = text; break;
        case StatusKind::Failure: OnChannelFail(*row, text); break;
        case StatusKind::Success: OnChannelSuccess(*row); break;
        case StatusKind::Command:
            if (code == status::kReady) OnReady(*row, text);
            break;
    }
}

void StationState::OnChannelFail(std::size_t row, const std::string& text) {
    const auto channel = static_cast<unsigned>(row + 1);
    RowRecord& record = rows_[row];
    record.text = text;
    record.bar_colour = kColourFailure;
    record.result = RowResult::Failed;
    record.result_time = std::time(nullptr);
    ++tally_.failed;
    record.waiting = false;
    {
        std::lock_guard lock(auto_start_mutex_);
        record.cause = std::exchange(failure_causes_[channel], {});
    }
    // Decided before the watcher is woken below, so that it sees the decision,
    // and before the result is told: a board whose port went with its failure
    // (its adapter pulled) has left already, and one plugged in right after
    // the result is the next board, not the failed one still answering.
    if (link_.PortError(PortOfRow(row), kLookAtPort).state == PortState::Missing) {
        BoardGone(channel);
        record.board_stays = false;
    } else {
        record.board_stays = FailureSticks(channel);
    }
    {
        std::lock_guard lock(auto_start_mutex_);
        record.retries = retries_used_[channel];
    }
    link_.DetachUart(PortOfRow(row));
    bool runEnded = false;
    {
        WorkLock lock(work_semaphore_);
        if (work_number_ != 0) {
            main_log_.Write(0, "!!terminate\n");
            --work_number_;
            if (work_total_ != 0) --work_total_;
            if (pending_ > 0) --pending_;
            DisarmTimer(static_cast<unsigned>(row + 1));
            runEnded = work_number_ == 0;
        }
    }
    if (runEnded) EndOfRun();
    ClearAutoStart(static_cast<unsigned>(row + 1));
    window_.ShowCloseButton(!AutoStart());
    window_.RefreshTitle();
}

void StationState::OnChannelSuccess(std::size_t row) {
    int text = kTextCompletion;
    if (bin_read_back) text = kTextBinReadBackDone;
    if (spi_nor_read_back) text = kTextSpiNorReadBackDone;
    rows_[row].text = language_.GetString(static_cast<std::size_t>(text));
    rows_[row].bar_colour = kColourSuccess;
    rows_[row].percent = 100;
    rows_[row].result = RowResult::Passed;
    rows_[row].result_time = std::time(nullptr);
    ++tally_.passed;
    rows_[row].cause.clear();
    rows_[row].waiting = false;
    rows_[row].board_stays = false;
    {
        std::lock_guard lock(auto_start_mutex_);
        retries_used_[row + 1] = 0;
        failure_causes_[row + 1].clear();
    }
    link_.DetachUart(PortOfRow(row));
    ClearAutoStart(static_cast<unsigned>(row + 1));
    window_.ShowCloseButton(!AutoStart());
    main_log_.Write(0, "!!sucesss\n");
}

void StationState::OnReady(std::size_t row, const std::string& text) {
    const unsigned channel = static_cast<unsigned>(row + 1);
    // A new board (or a retry of the failed one): the last result goes.
    RowRecord& record = rows_[row];
    record.text = text;
    record.percent = 0;
    record.bar_colour = kColourReady;
    record.seconds = 0;
    record.result = RowResult::None;
    record.result_time = 0;
    record.cause.clear();
    record.waiting = false;
    record.board_stays = false;
    {
        std::lock_guard lock(auto_start_mutex_);
        record.retries = retries_used_[channel];
    }
    bool runWasActive = run_active_;
    if (AutoStart(channel)) {
        if (Start(channel) == 0) Unstarted(channel);
    } else if (runWasActive) {
        // A board attached during a run joins it at once.
        main_log_.Write(0, "OnTbtnStart \n");
        restart_ = true;
        Start(channel);
    }
}

void StationState::OnArmed(std::size_t row) {
    rows_[row].waiting = true;
    rows_[row].board_stays = false;
}

bool StationState::FailureSticks(unsigned channel) {
    if (channel == 0 || channel > kMaxChannels) return false;
    std::lock_guard lock(auto_start_mutex_);
    if (retries_used_[channel] < auto_retries_) {
        ++retries_used_[channel];
        return false;
    }
    await_departure_[channel] = true;
    return true;
}

bool StationState::AwaitingDeparture(unsigned channel) const {
    std::lock_guard lock(auto_start_mutex_);
    return channel >= 1 && channel <= kMaxChannels && await_departure_[channel];
}

void StationState::BoardGone(unsigned channel) {
    if (channel == 0 || channel > kMaxChannels) return;
    std::lock_guard lock(auto_start_mutex_);
    await_departure_[channel] = false;
    retries_used_[channel] = 0;
}

void StationState::SetFailureCause(unsigned channel, std::string cause) {
    if (channel == 0 || channel > kMaxChannels) return;
    std::lock_guard lock(auto_start_mutex_);
    failure_causes_[channel] = std::move(cause);
}

void StationState::Unstarted(unsigned channel) {
    // The library no longer holds the board (its worker let go of the port
    // meanwhile): the board is woken and attached afresh.
    main_log_.Write(0, "channel %u was not started; its port is watched again\n", channel);
    link_.DetachUart(PortOfChannel(channel));
    ClearAutoStart(channel);
    window_.ShowCloseButton(!AutoStart());
}

void StationState::OnBurnProgress(unsigned channel, unsigned bytes) {
    if (std::optional<std::size_t> row = RowOfChannel(channel))
        rows_[*row].percent = ProgressPercent(bytes, transfer_total_, config_.chip_type, config_.update != 0);
}

unsigned StationState::Start(unsigned channel) {
    pending_ = 0;
    run_active_ = true;
    udisk_scan_ = true;
    main_log_.Write(0, "KW_Start \n");
    // One channel at a time: every watched port counts as attached in the
    // library while it waits for its board's prompt.
    unsigned started = 0;
    if (channel != 0) started = link_.StartChannel(channel);
    for (unsigned c = 1; channel == 0 && c <= kMaxChannels; ++c)
        if (AutoStart(c)) started += link_.StartChannel(c);
    {
        WorkLock lock(work_semaphore_);
        work_total_ = static_cast<int>(started);
    }
    if (started > 0) {
        pending_ += static_cast<int>(started);
        main_log_.Write(0, "KW_Start_g_workTotalnum :%u \n", started);
    }
    restart_ = false;
    return started;
}

void StationState::TickTimers() {
    for (std::size_t i = 0; i < rows_.size() && i + 1 < timers_.size(); ++i) {
        unsigned channel = timers_[i + 1].channel;
        if (channel == 0 || channel >= timers_.size()) continue;
        std::uint32_t seconds = ++timers_[channel].seconds;
        if (std::optional<std::size_t> row = RowOfChannel(channel)) rows_[*row].seconds = seconds;
    }
}

int StationState::BeginChannel(unsigned channel) {
    if (channel < timers_.size()) {
        timers_[channel].seconds = 0;
        timers_[channel].channel = channel;
    }
    WorkLock lock(work_semaphore_);
    return ++work_number_;
}

int StationState::EndChannel() {
    WorkLock lock(work_semaphore_);
    if (work_number_ == 0) return -1;
    return --work_number_;
}

void StationState::DisarmTimer(unsigned channel) {
    if (channel < timers_.size()) timers_[channel].channel = 0;
}

int StationState::WorkNumber() const {
    WorkLock lock(work_semaphore_);
    return work_number_;
}

void StationState::ClearRunFlags() {
    erase_mode = false;
    run_active_ = false;
    udisk_scan_ = false;
    pending_ = 0;
}

void StationState::EndOfRun() {
    ClearRunFlags();
    window_.EnableBar(true);
    for (std::size_t i = 1; i < timers_.size(); ++i) timers_[i].channel = 0;
    window_.EndOfRun();
}

void StationState::SetChannelFlag(std::array<bool, kMaxChannels + 1>& flags, unsigned channel, bool value) {
    if (channel == 0 || channel > kMaxChannels) return;
    {
        std::lock_guard lock(auto_start_mutex_);
        flags[channel] = value;
    }
    auto_start_changed_.notify_all();
}

void StationState::SetAutoStart(unsigned channel) { SetChannelFlag(auto_start_, channel, true); }

void StationState::ClearAutoStart(unsigned channel) { SetChannelFlag(auto_start_, channel, false); }

bool StationState::AutoStart(unsigned channel) const {
    std::lock_guard lock(auto_start_mutex_);
    return channel >= 1 && channel <= kMaxChannels && auto_start_[channel];
}

bool StationState::AutoStart() const {
    std::lock_guard lock(auto_start_mutex_);
    return std::find(auto_start_.begin(), auto_start_.end(), true) != auto_start_.end();
}

void StationState::EnterBurn(unsigned channel) { SetChannelFlag(in_burn_, channel, true); }

void StationState::LeaveBurn(unsigned channel) { SetChannelFlag(in_burn_, channel, false); }

bool StationState::ChannelFree(unsigned channel) const { return !auto_start_[channel] && !in_burn_[channel]; }

bool StationState::WaitUntilChannelFree(unsigned channel, std::stop_token stop) {
    if (channel == 0 || channel > kMaxChannels) return !stop.stop_requested();
    std::unique_lock lock(auto_start_mutex_);
    return auto_start_changed_.wait(lock, stop, [this, channel] { return ChannelFree(channel); });
}

}  // namespace kestrow::engine
