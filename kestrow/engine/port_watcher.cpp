#include "kestrow/engine/port_watcher.h"

#include "kestrow/config/chip_types.h"
#include "kestrow/config/station_folder.h"
#include "kestrow/engine/progress.h"
#include "kestrow/engine/status_codes.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>

namespace kestrow::engine {
namespace {

// After waking the boot ROM, give it this long to print its prompt.
constexpr auto kPromptWait = std::chrono::milliseconds(100);
// Pause between two watch rounds.
constexpr auto kRoundPause = std::chrono::milliseconds(2);
constexpr std::size_t kMinPortNameChars = 3;
// Pause between two looks at the port of a failed board.
constexpr auto kDeparturePause = std::chrono::milliseconds(200);
// Looks in a row without an answer that tell a failed board has gone: a board
// that stays may miss one prompt wait on a busy host.
constexpr unsigned kSilentLooksToLeave = 2;
constexpr unsigned kBootRate = 115200;
// A port the library refused without opening it, right after a burn, is tried
// again this soon: the library lets go of a channel just after its burn has
// left the engine.
constexpr auto kReleasePause = std::chrono::milliseconds(10);

// Sleeps `time` unless `stop` is requested first; false when stopped.
bool SleepFor(std::stop_token stop, std::chrono::milliseconds time) {
    std::mutex m;
    std::condition_variable_any cv;
    std::unique_lock lock(m);
    return !cv.wait_for(lock, stop, time, [] { return false; }) && !stop.stop_requested();
}

}  // namespace

PortWatcher::PortWatcher(const config::BurnConfig& config, BoardLink& link, StationState& state,
                         StationWindow& window, unsigned channel, const PortProber* ports,
                         std::chrono::milliseconds unopenablePause)
    : config_(config),
      link_(link),
      state_(state),
      window_(window),
      channel_(channel),
      ports_(ports),
      unopenable_pause_(unopenablePause) {}

void PortWatcher::Start() {
    if (!thread_.joinable()) thread_ = std::jthread([this](std::stop_token stop) { Watch(stop); });
}

void PortWatcher::Stop() {
    if (!thread_.joinable()) return;
    thread_.request_stop();
    thread_.join();
}

void PortWatcher::Watch(std::stop_token stop) {
    const unsigned slot = channel_ - 1;
    while (!stop.stop_requested()) {
        if (!state_.WaitUntilChannelFree(channel_, stop)) return;
        const std::string port = state_.PortOfChannel(channel_);
        if (state_.AwaitingDeparture(channel_)) {
            attached_ = false;
            if (port.size() >= kMinPortNameChars) {
                ++departure_rounds_;
                const FailedBoard look = LookForFailedBoard(port, slot, stop);
                if (stop.stop_requested()) return;
                if (look != FailedBoard::NotLooked) silent_looks_ = look == FailedBoard::Silent ? silent_looks_ + 1 : 0;
                if (look == FailedBoard::Answers || look == FailedBoard::NotLooked ||
                    (look == FailedBoard::Silent && silent_looks_ < kSilentLooksToLeave)) {
                    if (!SleepFor(stop, kDeparturePause)) return;
                    continue;
                }
            }
            state_.BoardGone(channel_);
            window_.Post(ArmedEvent(channel_));
        } else {
            silent_looks_ = 0;
            if (std::exchange(attached_, false)) window_.Post(ArmedEvent(channel_));
        }
        if (port.size() >= kMinPortNameChars && !RecorderTakesBoards(port)) {
            // The port is left alone while boards wait for the store; a
            // problem of its own is still told, from a look that opens nothing.
            if (PortCondition look = link_.PortError(port, kLookAtPort); look.state != PortState::Usable)
                TellUnopenable(port, look);
            if (!SleepFor(stop, unopenable_pause_)) return;
            continue;
        }
        if (port.size() >= kMinPortNameChars) {
            if (link_.StartRead(port, slot, static_cast<unsigned>(config_.chip_type)) == 0) {
                const PortCondition why = link_.PortError(port, slot);
                if (why.state != PortState::Usable) {
                    refused_since_.reset();
                } else if (StillReleasing()) {
                    if (!SleepFor(stop, kReleasePause)) return;
                    continue;
                }
                // Missing, forbidden or held: said once, then tried about once a second.
                TellUnopenable(port, why);
                if (!SleepFor(stop, unopenable_pause_)) return;
                continue;
            }
            refused_since_.reset();
            TellOpen(port);
            if (!SleepFor(stop, kPromptWait)) return;
            attached_ = Attach(port, slot);
        }
        if (!SleepFor(stop, kRoundPause)) return;
    }
}

PortWatcher::FailedBoard PortWatcher::LookForFailedBoard(const std::string& port, unsigned slot,
                                                         std::stop_token stop) {
    if (link_.StartRead(port, slot, static_cast<unsigned>(config_.chip_type)) == 0) {
        // A port that is gone has lost its board (its adapter with it). One
        // that is there was not opened: the library may still be letting go
        // of the burn that failed, or the port cannot be used now; neither
        // tells whether the board is there.
        const PortCondition why = link_.PortError(port, kLookAtPort);
        if (why.state == PortState::Missing) return FailedBoard::PortGone;
        if (why.state != PortState::Usable) TellUnopenable(port, why);
        return FailedBoard::NotLooked;
    }
    TellOpen(port);
    if (!SleepFor(stop, kPromptWait)) return FailedBoard::Silent;
    // The boot rate asked again changes nothing on the board, which answers
    // only while it is there.
    unsigned answer = config_.boot_mode_flag == config::kSecureBootMode ? link_.CheckSecureEn(slot)
                                                                        : link_.ChooseBaud(port, slot, kBootRate);
    if (answer == kLinkNoPrompt) return FailedBoard::Silent;
    link_.DetachUart(port);
    return answer != 0 ? FailedBoard::Answers : FailedBoard::Silent;
}

bool PortWatcher::StillReleasing() {
    // Longer than a release takes even on a busy host; after that the refusal
    // is the port's own and is told.
    const auto now = std::chrono::steady_clock::now();
    if (!refused_since_) refused_since_ = now;
    return now - *refused_since_ < unopenable_pause_;
}

void PortWatcher::TellUnopenable(const std::string& port, PortCondition why) {
    // Opened, but the library could not start watching it.
    if (why.state == PortState::Usable) why.state = PortState::OpenFailed;
    if (told_problem_ && port == told_port_ && why == told_) return;
    told_problem_ = true;
    told_port_ = port;
    told_ = why;
    // Who holds the port is looked up once per change: the process table is
    // too long a read for every attempt.
    if (why.state == PortState::InUse && ports_ != nullptr) {
        PortInfo look = ports_->Inspect(port);
        if (look.condition.state == PortState::InUse && !look.condition.detail.empty())
            why.detail = look.condition.detail;
    }
    window_.ReportPortCondition(port, why);
}

bool PortWatcher::RecorderTakesBoards(const std::string& port) {
    if (recorder_ == nullptr) return true;
    std::string refusal = recorder_->MayTakeBoard();
    if (refusal != told_recorder_) window_.ReportPort(port, refusal.empty() ? "" : port + ": " + refusal);
    told_recorder_ = refusal;
    return refusal.empty();
}

void PortWatcher::TellOpen(const std::string& port) {
    if (!told_problem_) return;
    told_problem_ = false;
    window_.ReportPort(port, "");
}

bool PortWatcher::Attach(const std::string& port, unsigned slot) {
    if (config::ChipTypeOrReserved(config_.chip_type).ram == config::RamSetup::TestImage) {
        // The RAM image goes to the board on this slot's port.
        unsigned r = link_.DownloadRam(slot + 1, config::ResolveProgramPath(config_.path_ram), kRamCheckAddress);
        if (r == kLinkNoPrompt) return false;
        if (r != kLinkSuccess) {
            link_.DetachUart(port);
            return false;
        }
    }
    unsigned handshake = config_.boot_mode_flag == config::kSecureBootMode
                             ? link_.CheckSecureEn(slot)
                             : link_.ChooseBaud(port, slot, static_cast<unsigned>(config_.uart_baud));
    if (handshake == kLinkNoPrompt) return false;
    if (handshake == 0) {
        link_.DetachUart(port);
        return false;
    }
    unsigned channel = link_.AttachUart(port, static_cast<unsigned>(config_.uart_baud), slot);
    if (channel == 0) {
        link_.DetachUart(port);
        return false;
    }
    state_.SetAutoStart(channel);
    window_.ShowCloseButton(false);
    window_.Post(StatusEvent(channel, status::kReady));
    return true;
}

}  // namespace kestrow::engine
