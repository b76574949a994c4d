#pragma once
// The three identity pools a board draws from, as values: a MAC address is a
// 48-bit number shown "01:02:03:AA:00:00" (high part "01:02:03", low part
// "AA:00:00"), a serial number is a fixed prefix and a six-digit decimal low
// part, a Bluetooth address a 48-bit number shown as twelve hex digits.
#include "kestrow/config/pool_ranges.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrow::records {

enum class PoolKind { Mac, Serial, Bluetooth };
inline constexpr std::array<PoolKind, 3> kPoolKinds = {PoolKind::Mac, PoolKind::Serial, PoolKind::Bluetooth};

// The pool's key in the store and on the command line: "mac", "serial", "bt".
std::string_view PoolKey(PoolKind kind);
std::optional<PoolKind> PoolFromKey(std::string_view key);
// "MAC", "serial number", "Bluetooth".
std::string_view PoolTitle(PoolKind kind);

// Which pools a board takes an address from.
struct PoolSet {
    bool mac = false, serial = false, bluetooth = false;
    static PoolSet All() { return {true, true, true}; }
    bool Has(PoolKind kind) const;
    void Set(PoolKind kind, bool on);
};

inline constexpr std::uint64_t kMaxAddress = 0xFFFFFFFFFFFFULL;  // 48 bits
inline constexpr std::uint64_t kMaxSerialLow = 999999;

// "01:02:03:AA:00:00"; upper-case hex.
std::string FormatMac(std::uint64_t value);
// Accepts either case; nothing unless six two-digit hex groups joined by ":".
std::optional<std::uint64_t> ParseMac(std::string_view text);
std::string MacHighText(std::uint64_t value);  // "01:02:03"
std::string MacLowText(std::uint64_t value);   // "AA:00:00"
// prefix + "%06d".
std::string FormatSerial(const std::string& prefix, std::uint64_t low);
// Twelve upper-case hex digits.
std::string FormatBluetooth(std::uint64_t value);
std::optional<std::uint64_t> ParseBluetooth(std::string_view text);

// A pool's range: [start, end]; `prefix` is the serial number's fixed part
// (empty for the other pools).
struct PoolRange {
    PoolKind kind = PoolKind::Mac;
    std::string prefix;
    std::uint64_t start = 0, end = 0;
};

// What the store keeps of a pool.
struct PoolState {
    PoolRange range;
    std::uint64_t next = 0;        // the value the next board gets
    bool enabled = false;          // boards take an address from this pool
    std::uint64_t handed_out = 0;  // values given since the range was set or reset
    bool UsedUp() const { return next > range.end; }
    std::uint64_t Left() const { return UsedUp() ? 0 : range.end - next + 1; }
};

// A pool value as the board and the records show it.
std::string FormatPoolValue(PoolKind kind, const std::string& prefix, std::uint64_t value);
// The value of `text` in the pool (for the serial pool, `text` must begin with
// the prefix); nothing when it is not of the pool's form.
std::optional<std::uint64_t> ParsePoolValue(PoolKind kind, const std::string& prefix, std::string_view text);

// Ranges from the general page's fields, checked first (pool_ranges.h). On a
// problem `range` is left as it was.
std::optional<config::PoolRangeProblem> MacRangeFromFields(const config::MacRangeFields& fields, PoolRange& range);
std::optional<config::PoolRangeProblem> SerialRangeFromFields(const config::SerialRangeFields& fields,
                                                              PoolRange& range);
std::optional<config::PoolRangeProblem> BluetoothRangeFromFields(const config::BluetoothRangeFields& fields,
                                                                 PoolRange& range);

// The same checks on a range given as values (a range the store is asked to
// take, or one it holds): what the general page would say of its fields.
std::optional<config::PoolRangeProblem> CheckPoolRange(const PoolRange& range);

// The message a board gets when the pool it must take from is used up, the
// pool's language entry (English here).
std::string PoolUsedUpMessage(PoolKind kind);
std::size_t PoolUsedUpEntry(PoolKind kind);

}  // namespace kestrow::records
