// kestrow pools: shows the identity pools of the station's records store
// (range, next value, how many handed out, burn flag) and sets them, with the
// general page's checks and messages. Every new value is checked before the
// first one is written. Exit status 0 when done, 1 when the store (or, for
// the MAC reset, config_addr.txt) cannot be used, 2 for a usage error or a
// range the checks refuse.
#include "kestrow/cli/command_registry.h"
#include "kestrow/config/address_pool.h"
#include "kestrow/config/language_table.h"
#include "kestrow/config/pool_ranges.h"
#include "kestrow/config/text_util.h"
#include "kestrow/records/identity_pools.h"
#include "kestrow/records/record_store.h"

#include <array>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// A namespace of its own: the subcommands compile as one unit.
namespace kestrow::cli::pools_setting {
namespace {

using records::PoolKind;
using records::PoolRange;
using records::PoolState;

constexpr int kExitDone = 0;
constexpr int kExitStoreError = 1;
constexpr int kExitRefused = 2;

struct PoolsOptions {
    std::string records;
    std::optional<std::string> mac_start, mac_end;
    std::optional<std::string> serial_prefix, serial_start, serial_end;
    std::optional<std::string> bt_start, bt_end;
    std::optional<std::string> enable;
    bool reset_mac = false;
};

int Refused(const std::string& why) {
    std::cerr << "kestrow pools: " << why << "\n";
    return kExitRefused;
}

int StoreFailed(const records::StoreError& error) {
    std::cerr << "kestrow pools: " << error.message << "\n";
    return error.kind == records::StoreErrorKind::InvalidInput ? kExitRefused : kExitStoreError;
}

// A serial low part given as a number: "42" is the page's "000042".
std::string SixDigits(const std::string& text) {
    if (text.empty() || text.size() >= config::kSerialLowDigits ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return text;
    return std::string(config::kSerialLowDigits - text.size(), '0') + text;
}

PoolState& PoolOf(std::vector<PoolState>& pools, PoolKind kind) { return pools[static_cast<std::size_t>(kind)]; }

// The ranges asked for, the missing halves taken from the store; a problem's message when refused.
std::optional<std::string> NewRanges(const PoolsOptions& o, std::vector<PoolState>& pools,
                                     std::vector<PoolRange>& changed, const config::LanguageTable& texts) {
    auto refuse = [&texts](const config::PoolRangeProblem& p) { return config::PoolRangeMessage(p, texts); };
    if (o.mac_start || o.mac_end) {
        const PoolRange& old = PoolOf(pools, PoolKind::Mac).range;
        PoolRange range;
        if (auto problem = records::MacRangeFromFields(
                config::MacFieldsFromAddresses(o.mac_start.value_or(records::FormatMac(old.start)),
                                               o.mac_end.value_or(records::FormatMac(old.end))),
                range))
            return refuse(*problem);
        changed.push_back(range);
    }
    if (o.serial_prefix || o.serial_start || o.serial_end) {
        const PoolRange& old = PoolOf(pools, PoolKind::Serial).range;
        const std::string prefix = o.serial_prefix.value_or(old.prefix);
        PoolRange range;
        if (auto problem = records::SerialRangeFromFields(
                {prefix, SixDigits(o.serial_start.value_or(records::FormatSerial("", old.start))), prefix,
                 SixDigits(o.serial_end.value_or(records::FormatSerial("", old.end)))},
                range))
            return refuse(*problem);
        changed.push_back(range);
    }
    if (o.bt_start || o.bt_end) {
        const PoolRange& old = PoolOf(pools, PoolKind::Bluetooth).range;
        PoolRange range;
        if (auto problem = records::BluetoothRangeFromFields(
                {config::ToUpperAscii(o.bt_start.value_or(records::FormatBluetooth(old.start))),
                 config::ToUpperAscii(o.bt_end.value_or(records::FormatBluetooth(old.end)))},
                range))
            return refuse(*problem);
        changed.push_back(range);
    }
    for (const PoolRange& range : changed) PoolOf(pools, range.kind).range = range;
    return std::nullopt;
}

// "--enable mac,serial,bt": exactly these pools on, the others off; "none": all off.
std::optional<std::string> ParseEnable(const std::string& list, records::PoolSet& on) {
    if (list == "none") return std::nullopt;
    std::string item;
    for (std::size_t i = 0; i <= list.size(); ++i) {
        if (i < list.size() && list[i] != ',') {
            item += list[i];
            continue;
        }
        std::optional<PoolKind> kind = records::PoolFromKey(item);
        if (!kind) return "--enable takes mac, serial and bt separated by commas, or none; not \"" + item + "\"";
        on.Set(*kind, true);
        item.clear();
    }
    return std::nullopt;
}

void PrintPools(const records::RecordStore& store, const std::vector<PoolState>& pools) {
    std::cout << "records store: " << store.Location().Describe() << "\n";
    for (const PoolState& p : pools) {
        const PoolKind kind = p.range.kind;
        auto text = [&p, kind](std::uint64_t v) { return records::FormatPoolValue(kind, p.range.prefix, v); };
        std::cout << records::PoolTitle(kind) << " pool (" << records::PoolKey(kind) << "): burn "
                  << (p.enabled ? "on" : "off") << "\n"
                  << "  range       " << text(p.range.start) << " .. " << text(p.range.end) << "\n"
                  << "  next        " << (p.UsedUp() ? "none, used up" : text(p.next)) << "\n"
                  << "  handed out  " << p.handed_out << ", " << p.Left() << " left\n";
    }
}

int RunPools(const PoolsOptions& o, const Context& context) {
    records::PoolSet enable;
    if (o.enable)
        if (auto why = ParseEnable(*o.enable, enable)) return Refused(*why);

    std::unique_ptr<records::RecordStore> store = records::OpenStationStore(context.station, o.records);
    records::StoreResult<std::vector<PoolState>> stored = store->Pools();
    if (!stored) return StoreFailed(stored.error());
    std::vector<PoolState> pools = *stored;

    config::LanguageTable texts(context.station);
    texts.SetLanguageFromBurnIni();
    std::vector<PoolRange> changed;
    if (auto why = NewRanges(o, pools, changed, texts)) return Refused(*why);
    // A pool is switched on only with a range the checks accept.
    if (o.enable)
        for (PoolKind kind : records::kPoolKinds)
            if (enable.Has(kind))
                if (auto problem = records::CheckPoolRange(PoolOf(pools, kind).range))
                    return Refused(config::PoolRangeMessage(*problem, texts));

    for (const PoolRange& range : changed)
        if (records::StoreStatus s = store->SetPoolRange(range); !s) return StoreFailed(s.error());
    if (o.enable)
        for (PoolKind kind : records::kPoolKinds)
            if (records::StoreStatus s = store->SetPoolEnabled(kind, enable.Has(kind)); !s) return StoreFailed(s.error());
    if (o.reset_mac) {
        // The pool file first, as the window does: start-up goes on after what it names.
        if (!config::ForgetHandedOutMacs(config::kPoolFile)) {
            std::cerr << "kestrow pools: " << config::kMacResetNotWritten << "\n";
            return kExitStoreError;
        }
        if (records::StoreStatus s = store->ResetPool(PoolKind::Mac); !s) return StoreFailed(s.error());
        std::cout << texts.GetString(276) << "\n";
    }

    stored = store->Pools();
    if (!stored) return StoreFailed(stored.error());
    PrintPools(*store, *stored);
    return kExitDone;
}

void SetupPoolsCommand(CLI::App& app, Context& context) {
    auto options = std::make_shared<PoolsOptions>();
    CLI::App* command = app.add_subcommand(
        "pools", "Show the MAC, serial-number and Bluetooth pools (range, next, handed out) and set them");
    command->add_option("--records", options->records, records::kRecordsOptionHelp);
    command->add_option("--mac-start", options->mac_start, "First MAC address, e.g. 00:11:22:AA:00:00");
    command->add_option("--mac-end", options->mac_end, "Last MAC address, e.g. 00:11:22:AA:FF:FF");
    command->add_option("--serial-prefix", options->serial_prefix, "Serial number prefix (32 characters)");
    command->add_option("--serial-start", options->serial_start, "First serial number low part (0 .. 999999)");
    command->add_option("--serial-end", options->serial_end, "Last serial number low part");
    command->add_option("--bt-start", options->bt_start, "First Bluetooth address, 12 hex digits");
    command->add_option("--bt-end", options->bt_end, "Last Bluetooth address");
    command->add_option("--enable", options->enable,
                        "The pools boards take addresses from: mac, serial, bt separated by commas; none for no pool");
    command->add_flag("--reset-mac", options->reset_mac, "Current MAC Reset: the next MAC address is the range's start again");
    command->callback([options, &context] {
        context.run = [options](const Context& c) { return RunPools(*options, c); };
    });
}

CommandRegistrar poolsRegistrar(SetupPoolsCommand);

}  // namespace
}  // namespace kestrow::cli::pools_setting
