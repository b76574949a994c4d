#include "kestrow/records/identity_pools.h"

#include "kestrow/config/language_table.h"
#include "kestrow/config/text_util.h"

#include <cstdio>

namespace kestrow::records {
namespace {

struct PoolRow {
    PoolKind kind;
    std::string_view key;
    std::string_view title;
    std::size_t used_up_entry;  // language entry shown when the pool is used up
};
constexpr std::array<PoolRow, 3> kPools = {{
    {PoolKind::Mac, "mac", "MAC", 252},
    {PoolKind::Serial, "serial", "serial number", 254},
    {PoolKind::Bluetooth, "bt", "Bluetooth", 364},
}};

const PoolRow& Row(PoolKind kind) { return kPools[static_cast<std::size_t>(kind)]; }

std::optional<std::uint64_t> ParseHexDigits(std::string_view digits) {
    std::uint64_t value = 0;
    for (char c : digits) {
        if (!config::IsHex(c)) return std::nullopt;
        value = value * 16 + static_cast<std::uint64_t>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
    }
    return value;
}

std::uint64_t ReadDecimalDigits(const std::string& digits) { return std::stoull(digits); }

}  // namespace

std::string_view PoolKey(PoolKind kind) { return Row(kind).key; }
std::string_view PoolTitle(PoolKind kind) { return Row(kind).title; }

std::optional<PoolKind> PoolFromKey(std::string_view key) {
    for (const PoolRow& row : kPools)
        if (row.key == key) return row.kind;
    return std::nullopt;
}

bool PoolSet::Has(PoolKind kind) const {
    switch (kind) {
        case PoolKind::Mac: return mac;
        case PoolKind::Serial: return serial;
        case PoolKind::Bluetooth: return bluetooth;
    }
    return false;
}

void PoolSet::Set(PoolKind kind, bool on) {
    switch (kind) {
        case PoolKind::Mac: mac = on; break;
        case PoolKind::Serial: serial = on; break;
        case PoolKind::Bluetooth: bluetooth = on; break;
    }
}

std::string FormatMac(std::uint64_t value) {
    char text[18];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", unsigned(value >> 40 & 0xFF),
                  unsigned(value >> 32 & 0xFF), unsigned(value >> 24 & 0xFF), unsigned(value >> 16 & 0xFF),
                  unsigned(value >> 8 & 0xFF), unsigned(value & 0xFF));
    return text;
}

std::optional<std::uint64_t> ParseMac(std::string_view text) {
    if (text.size() != 17) return std::nullopt;
    std::string digits;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (i % 3 == 2) {
            if (text[i] != ':') return std::nullopt;
        } else {
            digits += text[i];
        }
    }
    return ParseHexDigits(digits);
}

std::string MacHighText(std::uint64_t value) { return FormatMac(value).substr(0, 8); }
std::string MacLowText(std::uint64_t value) { return FormatMac(value).substr(9); }

std::string FormatSerial(const std::string& prefix, std::uint64_t low) {
    char text[24];
    std::snprintf(text, sizeof text, "%06llu", static_cast<unsigned long long>(low));
    return prefix + text;
}

std::string FormatBluetooth(std::uint64_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%012llX", static_cast<unsigned long long>(value & kMaxAddress));
    return text;
}

std::optional<std::uint64_t> ParseBluetooth(std::string_view text) {
    if (text.size() != config::kBluetoothDigits) return std::nullopt;
    return ParseHexDigits(text);
}

std::string FormatPoolValue(PoolKind kind, const std::string& prefix, std::uint64_t value) {
    switch (kind) {
        case PoolKind::Mac: return FormatMac(value);
        case PoolKind::Serial: return FormatSerial(prefix, value);
        case PoolKind::Bluetooth: return FormatBluetooth(value);
    }
    return {};
}

std::optional<std::uint64_t> ParsePoolValue(PoolKind kind, const std::string& prefix, std::string_view text) {
    switch (kind) {
        case PoolKind::Mac: return ParseMac(text);
        case PoolKind::Bluetooth: return ParseBluetooth(text);
        case PoolKind::Serial: {
            if (!config::StartsWith(text, prefix) || text.size() != prefix.size() + config::kSerialLowDigits)
                return std::nullopt;
            std::string low(text.substr(prefix.size()));
            for (char c : low)
                if (c < '0' || c > '9') return std::nullopt;
            return ReadDecimalDigits(low);
        }
    }
    return std::nullopt;
}

std::optional<config::PoolRangeProblem> MacRangeFromFields(const config::MacRangeFields& fields, PoolRange& range) {
    if (auto problem = config::CheckMacRange(fields)) return problem;
    using config::ToUpperAscii;
    range = {PoolKind::Mac, "", *ParseMac(ToUpperAscii(fields.start_high + ":" + fields.start_low)),
             *ParseMac(ToUpperAscii(fields.end_high + ":" + fields.end_low))};
    return std::nullopt;
}

std::optional<config::PoolRangeProblem> SerialRangeFromFields(const config::SerialRangeFields& fields,
                                                              PoolRange& range) {
    if (auto problem = config::CheckSerialRange(fields)) return problem;
    range = {PoolKind::Serial, fields.start_prefix, ReadDecimalDigits(fields.start_low),
             ReadDecimalDigits(fields.end_low)};
    return std::nullopt;
}

std::optional<config::PoolRangeProblem> BluetoothRangeFromFields(const config::BluetoothRangeFields& fields,
                                                                 PoolRange& range) {
    if (auto problem = config::CheckBluetoothRange(fields)) return problem;
    range = {PoolKind::Bluetooth, "", *ParseBluetooth(fields.start), *ParseBluetooth(fields.end)};
    return std::nullopt;
}

std::optional<config::PoolRangeProblem> CheckPoolRange(const PoolRange& range) {
    switch (range.kind) {
        case PoolKind::Mac:
            if (range.start > kMaxAddress || range.end > kMaxAddress) break;
            return config::CheckMacRange(
                {MacHighText(range.start), MacLowText(range.start), MacHighText(range.end), MacLowText(range.end)});
        case PoolKind::Serial:
            if (range.start > kMaxSerialLow || range.end > kMaxSerialLow) break;
            return config::CheckSerialRange({range.prefix, FormatSerial("", range.start), range.prefix,
                                             FormatSerial("", range.end)});
        case PoolKind::Bluetooth:
            if (range.start > kMaxAddress || range.end > kMaxAddress) break;
            return config::CheckBluetoothRange({FormatBluetooth(range.start), FormatBluetooth(range.end)});
    }
    return config::PoolRangeProblem{config::PoolRangeProblem::kNoEntry,
                                    std::string("The ") + std::string(PoolTitle(range.kind)) +
                                        " range lies beyond the largest value such a pool can hold!"};
}

std::size_t PoolUsedUpEntry(PoolKind kind) { return Row(kind).used_up_entry; }

std::string PoolUsedUpMessage(PoolKind kind) {
    return std::string(config::BuiltinEnglishTexts()[PoolUsedUpEntry(kind)]);
}

}  // namespace kestrow::records
