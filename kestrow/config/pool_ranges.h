#pragma once
// Checks of the address ranges the general page (and `kestrow pools`) accepts:
// the MAC range as high and low parts, the serial-number range as prefix and
// six-digit decimal low part, and the Bluetooth range as twelve hex digits.
// The page's field filters (address_fields.h) act on each keystroke; these
// checks run on the whole range before it is taken. The first problem found
// is reported, as the page shows one message at a time.
#include "kestrow/config/language_table.h"

#include <cstddef>
#include <optional>
#include <string>

namespace kestrow::config {

// Texts as typed; hex letters may be of either case.
struct MacRangeFields {
    std::string start_high, start_low, end_high, end_low;  // "01:02:03", "AA:00:00"
};
struct SerialRangeFields {
    std::string start_prefix, start_low, end_prefix, end_low;  // prefix of 32 characters, "000123"
};
struct BluetoothRangeFields {
    std::string start, end;  // "44A6E6000000"
};

inline constexpr std::size_t kMacPartChars = 8;
inline constexpr std::size_t kSerialPrefixChars = 32;
inline constexpr std::size_t kSerialLowDigits = 6;
inline constexpr std::size_t kBluetoothDigits = 12;

// What is wrong with a range. `entry` is the language entry of the message;
// a few cases that the page's field widths keep out (a prefix longer than 32
// characters, a low part of more than six digits) have no entry and carry
// only their English `text`. `text` always holds the English message.
struct PoolRangeProblem {
    static constexpr std::size_t kNoEntry = static_cast<std::size_t>(-1);
    std::size_t entry = kNoEntry;
    std::string text;
};

std::optional<PoolRangeProblem> CheckMacRange(const MacRangeFields& fields);
std::optional<PoolRangeProblem> CheckSerialRange(const SerialRangeFields& fields);
std::optional<PoolRangeProblem> CheckBluetoothRange(const BluetoothRangeFields& fields);

// The page's four MAC fields from two whole addresses ("01:02:03:AA:00:00"):
// the high part is the first eight characters, the low part what follows the
// ":" after them. An address whose ninth character is not ":" keeps its whole
// text in the high part, so the check reports its format.
MacRangeFields MacFieldsFromAddresses(const std::string& start, const std::string& end);

// The problem's message in the table's language (its English text when the
// entry is empty there or the problem has no entry).
std::string PoolRangeMessage(const PoolRangeProblem& problem, const LanguageTable& texts);

}  // namespace kestrow::config
