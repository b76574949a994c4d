#pragma once
// What the burn engine and the port watchers tell the window: small typed
// events of one channel, queued to the window's thread, which folds them into
// the channel rows (StationState::OnEvent). Nothing here carries a row: the
// station state alone turns a channel into a row.
#include <cstdint>

namespace kestrow::engine {

enum class EventKind : std::uint8_t {
    Status,       // value: a status code of status_codes.h
    Progress,     // value: bytes transferred so far in the channel's burn
    RefreshList,  // the port search has finished: rebuild the rows (no channel, no value)
    Armed,        // the channel's port watches for its next board again (no value)
};

struct StationEvent {
    EventKind kind = EventKind::Status;
    unsigned channel = 0;  // 1-based channel number; 0 for RefreshList
    unsigned value = 0;
    bool operator==(const StationEvent&) const = default;
};

inline constexpr StationEvent StatusEvent(unsigned channel, unsigned code) {
    return {EventKind::Status, channel, code};
}
inline constexpr StationEvent ProgressEvent(unsigned channel, unsigned bytes) {
    return {EventKind::Progress, channel, bytes};
}
inline constexpr StationEvent RefreshListEvent() { return {EventKind::RefreshList, 0, 0}; }
inline constexpr StationEvent ArmedEvent(unsigned channel) { return {EventKind::Armed, channel, 0}; }

}  // namespace kestrow::engine
