#pragma once
// Address pools: the MAC and serial-number low parts handed out per channel
// (config_addr.txt) and the Bluetooth addresses already used (blue_addr_log.txt).
// The pool operations themselves are members of BurnConfig.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestrow::config {

inline constexpr const char* kPoolFile = "config_addr.txt";
inline constexpr const char* kPoolSection = "config_addr";
inline constexpr const char* kMacPoolPrefix = "mac_current_low";
inline constexpr const char* kSerialPoolPrefix = "serial_current_low";
inline constexpr const char* kBluetoothLogFile = "blue_addr_log.txt";

// "XX:XX:XX" with hex digits.
bool IsMacLowPart(const std::string& text);
// Twelve hex digits.
bool IsBluetoothAddress(const std::string& text);
// The low part after `low`, upper-case; nothing when `low` is malformed or FF:FF:FF.
std::optional<std::string> NextMacLowPart(const std::string& low);

// One line of the Bluetooth log: "number, address, number". The numbers are
// read by summing their digits from the end; the address is upper-cased.
struct BluetoothRecord {
    std::uint32_t first = 0;
    std::string address;
    std::uint32_t last = 0;
};
// Nothing unless the line has three fields and a twelve-digit address.
std::optional<BluetoothRecord> ParseBluetoothRecord(const std::string& line);

// "Current MAC Reset" on the pool file: empties every MAC entry, so a later
// start-up, which goes on after the highest entry, does not undo the reset.
// False when the file could not be written.
bool ForgetHandedOutMacs(const std::string& file);
inline constexpr const char* kMacResetNotWritten = "config_addr.txt could not be written; the MAC pool was not reset";

// What the pool file holds that start-up passes over without a word: lines
// that are no "key=value" line, and keys of its section that are no pool
// entry ("<prefix>_<channel>_F" or "_A", channels 0 to 31). Each message
// names the file and the line or key as written.
std::vector<std::string> PoolFileProblems(const std::string& file);
// Lines of the Bluetooth log that are neither skipped (empty, "#") nor a
// record; each message names the file, the line and its text.
std::vector<std::string> BluetoothLogProblems(const std::string& file);

}  // namespace kestrow::config
