// Address pools: config_addr.txt (MAC and serial-number low parts handed out per
// channel) and blue_addr_log.txt (Bluetooth addresses already used).
#include "kestrow/config/address_pool.h"

#include "kestrow/config/burn_config.h"
#include "kestrow/config/file_io.h"
#include "kestrow/config/number_text.h"
#include "kestrow/config/private_profile.h"
#include "kestrow/config/station_folder.h"
#include "kestrow/config/text_util.h"

#include <cctype>
#include <cstdio>

namespace kestrow::config {
namespace {

constexpr std::size_t kPoolValueBuffer = 50;

std::string PoolKey(const std::string& prefix, int channel, char kind) {
    return prefix + "_" + std::to_string(channel) + "_" + kind;
}

}  // namespace

bool IsMacLowPart(const std::string& text) {
    if (text.size() != 8) return false;
    for (std::size_t i = 0; i < text.size(); ++i)
        if ((i == 2 || i == 5) ? text[i] != ':' : !IsHex(text[i])) return false;
    return true;
}

bool IsBluetoothAddress(const std::string& text) {
    if (text.size() != 12) return false;
    for (char c : text)
        if (!IsHex(c)) return false;
    return true;
}

std::optional<BluetoothRecord> ParseBluetoothRecord(const std::string& line) {
    std::vector<std::string> fields = Split(line, ',');
    if (fields.size() != 3) return std::nullopt;
    BluetoothRecord record{ReadDigitsFromEnd(fields[0]), ToUpperAscii(Trim(fields[1])), ReadDigitsFromEnd(fields[2])};
    if (!IsBluetoothAddress(record.address)) return std::nullopt;
    return record;
}

std::optional<std::string> NextMacLowPart(const std::string& low) {
    if (!IsMacLowPart(low)) return std::nullopt;
    std::uint32_t value = ReadHex(low.substr(0, 2) + low.substr(3, 2) + low.substr(6, 2)) + 1;
    if (value > 0xFFFFFF) return std::nullopt;
    char digits[8];
    std::snprintf(digits, sizeof digits, "%06X", value);
    return std::string{digits[0], digits[1], ':', digits[2], digits[3], ':', digits[4], digits[5]};
}

namespace {

// "<prefix>_<n>_F" or "<prefix>_<n>_A" of a pool, n from 0 to 31.
bool IsPoolKey(const std::string& key) {
    for (const char* prefix : {kMacPoolPrefix, kSerialPoolPrefix}) {
        const std::string start = std::string(prefix) + "_";
        if (!StartsWith(key, start) || key.size() < start.size() + 3) continue;
        const std::string rest = key.substr(start.size());
        const std::size_t underscore = rest.find('_');
        if (underscore == std::string::npos || underscore == 0 || underscore > 2) continue;
        const std::string number = rest.substr(0, underscore);
        if (number.find_first_not_of("0123456789") != std::string::npos) continue;
        const std::string kind = rest.substr(underscore + 1);
        if (std::stoi(number) < kPoolChannels && (kind == "F" || kind == "A")) return true;
    }
    return false;
}

std::string Quoted(const std::string& text) { return "\"" + TrimRight(text) + "\""; }

}  // namespace

std::vector<std::string> PoolFileProblems(const std::string& file) {
    std::vector<std::string> problems;
    const PrivateProfile pool = PrivateProfile::Load(ResolveProgramPath(file));
    for (const auto& [line, text] : pool.PassedOverLines())
        problems.push_back(file + " line " + std::to_string(line) + ": " + Quoted(text) + " is no \"key=value\" line");
    for (const std::string& key : pool.Keys(kPoolSection))
        if (!IsPoolKey(key))
            problems.push_back(file + ": [" + kPoolSection + "] " + Quoted(key) + " is no pool entry (" +
                               kMacPoolPrefix + "_N_F/_A or " + kSerialPoolPrefix + "_N_F/_A, N from 0 to 31)");
    return problems;
}

std::vector<std::string> BluetoothLogProblems(const std::string& file) {
    std::vector<std::string> problems;
    std::string bytes;
    if (!ReadWholeFile(ResolveProgramPath(file), bytes)) return problems;
    int number = 0;
    for (const std::string& line : Split(bytes, '\n')) {
        ++number;
        if (line.empty() || line[0] == '\r' || line[0] == '#' || ParseBluetoothRecord(line)) continue;
        problems.push_back(file + " line " + std::to_string(number) + ": " + Quoted(line) +
                           " is no record \"number, 12-digit address, number\"");
    }
    return problems;
}

int BurnConfig::LoadAddressPool(const std::string& file, const std::string& prefix, MessageSink& sink) {
    const bool macPool = prefix == kMacPoolPrefix;
    const std::string path = ResolveProgramPath(file);
    PrivateProfile pool = PrivateProfile::Load(path);
    std::string max;
    for (int n = 0; n < kPoolChannels; ++n) {
        std::string flag = pool.GetString(kPoolSection, PoolKey(prefix, n, 'F'), "", kPoolValueBuffer);
        if (flag.empty()) {
            if (n > 0) break;
            if (macPool) mac_current_low = mac_start_low;
            return 0;
        }
        std::string address =
            ToUpperAscii(pool.GetString(kPoolSection, PoolKey(prefix, n, 'A'), "", kPoolValueBuffer));
        // An entry that is not a low part of the pool never becomes its maximum.
        bool wellFormed = macPool ? IsMacLowPart(address) : !address.empty();
        if (!wellFormed) {
            sink.ShowMessage(kErrorCaption,
                             file + ": " + PoolKey(prefix, n, 'A') + " \"" + address + "\" is not a valid address; ignored",
                             MessageIcon::Warning);
        } else if (address > max) {
            max = address;
        }
        if (flag[0] != 'Y' && n < kMaxBurnChannels) channel_mac_low[static_cast<std::size_t>(n)] = address;
        // Entries of channels the configuration does not use stay: deleting
        // them would let the next start hand their addresses out again.
    }

    if (macPool) {
        if (max.empty()) {
            mac_current_low = mac_start_low;
        } else if (std::optional<std::string> next = NextMacLowPart(max)) {
            mac_current_low = *next > mac_start_low ? *next : mac_start_low;
        } else {
            // Every low part up to FF:FF:FF has been handed out: going on would repeat addresses.
            mac_current_low = max;
            sink.ShowMessage(kErrorCaption, "The MAC address pool is used up: " + max + " has been handed out.",
                             MessageIcon::Error);
        }
    } else if (prefix == kSerialPoolPrefix) {
        char text[16];
        std::snprintf(text, sizeof text, "%06d", ReadDecimal(max) + 1);
        serial_current_low = text;
    } else {
        sink.ShowMessage(kErrorCaption, "pBufAddr ERR!", MessageIcon::Error);
    }
    return 1;
}

bool BurnConfig::WriteChannelAddress(const std::string& file, const std::string& prefix, const std::string& flag,
                                     const std::string& address, int channel) {
    const std::string path = ResolveProgramPath(file);
    PrivateProfile pool = PrivateProfile::Load(path);
    pool.Set(kPoolSection, PoolKey(prefix, channel, 'F'), flag);
    pool.Set(kPoolSection, PoolKey(prefix, channel, 'A'), address);
    return pool.Save(path);
}

bool ForgetHandedOutMacs(const std::string& file) {
    const std::string path = ResolveProgramPath(file);
    PrivateProfile pool = PrivateProfile::Load(path);
    bool changed = false;
    for (int n = 0; n < kPoolChannels; ++n) {
        if (pool.GetString(kPoolSection, PoolKey(kMacPoolPrefix, n, 'F'), "", kPoolValueBuffer).empty()) continue;
        pool.Set(kPoolSection, PoolKey(kMacPoolPrefix, n, 'F'), "");
        pool.Set(kPoolSection, PoolKey(kMacPoolPrefix, n, 'A'), "");
        changed = true;
    }
    return !changed || pool.Save(path);
}

void BurnConfig::ResetMacPool(const std::string& startLowText, MessageSink& sink) {
    mac_start_low = startLowText;
    mac_current_low = startLowText;
    if (!ForgetHandedOutMacs(kPoolFile)) {
        sink.ShowMessage(kErrorCaption, kMacResetNotWritten, MessageIcon::Error);
        return;
    }
    sink.ShowMessage(kProgramCaption,
                     "Success!Current MAC address have been reset, current value equals to start value!",
                     MessageIcon::Information);
}

int BurnConfig::ScanBluetoothLog(const std::string& file, int& found, MessageSink& sink) {
    const std::string path = ResolveProgramPath(file);
    if (!IsRegularFile(path)) {
        found = 0;
        return 0;
    }
    std::string bytes;
    if (!ReadWholeFile(path, bytes)) return -1;
    std::string highest = blue_start;
    bool seen = false;
    for (const std::string& line : Split(bytes, '\n')) {
        if (line.empty() || line[0] == '\r' || line[0] == '#') continue;
        std::optional<BluetoothRecord> record = ParseBluetoothRecord(line);
        if (!record) continue;  // malformed lines are skipped
        seen = true;
        if (record->address > highest) highest = record->address;
        blue_current = highest;
    }
    found = seen ? 1 : 0;
    if (seen && blue_current > blue_end) {
        sink.ShowMessage(kProgramCaption, "目前的蓝牙地址已超过设置的范围，请检查", MessageIcon::Error);
        return -1;
    }
    return 1;
}

}  // namespace kestrow::config
