// kestrow records: lists the station's burn records (or the fleet's, on a
// shared PostgreSQL store) as a table, JSON lines or CSV, or sums them up per
// hour. Exit status 0 when listed (also when there are none), 1 when the store
// cannot be read, 2 for a usage error.
#include "kestrow/cli/command_registry.h"
#include "kestrow/records/record_report.h"
#include "kestrow/records/record_store.h"

#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

// A namespace of its own: the subcommands compile as one unit.
namespace kestrow::cli::records_listing {
namespace {

using records::BurnRecord;
using records::BurnResultFromName;
using records::BurnResultName;
using records::FormatUtcTime;
using records::RecordFilter;
using records::RecordStore;
using records::RecordSummary;
using records::StoreErrorKind;
using records::StoreResult;
using records::StoreStatus;

constexpr int kExitListed = 0;
constexpr int kExitStoreError = 1;
constexpr int kExitUsage = 2;

struct RecordsOptions {
    std::string records, since, result, mac;
    bool json = false, csv = false, summary = false;
};

int Usage(const std::string& why) {
    std::cerr << "kestrow records: " << why << "\n";
    return kExitUsage;
}

std::int64_t NowUs() {
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

constexpr const char* kTableColumns = "%-19s  %-12s %-14s %2s  %-11s ";

void PrintTableHeader() {
    char head[160];
    std::snprintf(head, sizeof head, kTableColumns, "time (UTC)", "station", "port", "ch", "result");
    std::cout << head << "MAC / serial / Bluetooth / status\n";
}

void PrintTableLine(const BurnRecord& r) {
    auto orDash = [](const std::string& s) { return s.empty() ? std::string("-") : s; };
    char head[160];
    std::snprintf(head, sizeof head, kTableColumns, FormatUtcTime(r.start.start_time_us).substr(0, 19).c_str(),
                  r.station.c_str(), r.start.port.c_str(), std::to_string(r.start.channel).c_str(),
                  std::string(BurnResultName(r.end.result)).c_str());
    std::cout << head << orDash(r.identity.mac) << "  " << orDash(r.identity.serial) << "  "
              << orDash(r.identity.bluetooth) << "  " << r.end.status << "\n";
}

int ListRecords(const RecordsOptions& o, const Context& context) {
    if (o.json + o.csv + o.summary > 1) return Usage("--json, --csv and --summary exclude each other");
    RecordFilter filter;
    if (!o.since.empty()) {
        filter.since_us = records::ParseSinceTime(o.since, NowUs());
        if (!filter.since_us)
            return Usage("--since \"" + o.since +
                         "\" is no time: give 2024-05-01, 2024-05-01T10:00[:SS] (UTC) or an age such as 90m, 12h, 7d");
    }
    if (!o.result.empty()) {
        filter.result = BurnResultFromName(o.result);
        if (!filter.result) return Usage("--result must be passed, failed, interrupted or running, not \"" + o.result + "\"");
    }
    if (!o.mac.empty()) {
        if (!records::ParseMac(o.mac)) return Usage("--mac \"" + o.mac + "\" is no MAC address such as 01:02:03:AA:00:05");
        filter.mac = o.mac;
    }

    std::unique_ptr<RecordStore> store = records::OpenStationStore(context.station, o.records, {.create = false});
    if (o.summary) {
        StoreResult<RecordSummary> summary = store->Summarize(filter);
        if (!summary && summary.error().kind != StoreErrorKind::NotFound) {
            std::cerr << "kestrow records: " << summary.error().message << "\n";
            return kExitStoreError;
        }
        std::cout << records::FormatSummary(summary ? *summary : RecordSummary{});
        return kExitListed;
    }
    if (o.csv) std::cout << records::CsvHeader() << "\n";
    if (!o.json && !o.csv) PrintTableHeader();
    StoreStatus listed = store->ForEachRecord(filter, [&o](const BurnRecord& r) {
        if (o.json)
            std::cout << records::RecordJson(r).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
        else if (o.csv)
            std::cout << records::CsvRow(r) << "\n";
        else
            PrintTableLine(r);
    });
    std::cout.flush();
    if (listed) return kExitListed;
    std::cerr << "kestrow records: " << listed.error().message << "\n";
    // A station that has never burned has no records.db yet: nothing to list.
    return listed.error().kind == StoreErrorKind::NotFound ? kExitListed : kExitStoreError;
}

void SetupRecordsCommand(CLI::App& app, Context& context) {
    auto options = std::make_shared<RecordsOptions>();
    CLI::App* command = app.add_subcommand(
        "records", "List the burn records: one line per board (a table, JSON lines or CSV), or a summary per hour");
    command->add_option("--records", options->records, records::kRecordsOptionHelp);
    command->add_option("--since", options->since, "Only burns started at or after TIME (UTC: 2024-05-01T10:00) or within an age (12h, 7d)");
    command->add_option("--result", options->result, "Only burns with this result: passed, failed, interrupted (or running)");
    command->add_option("--mac", options->mac, "Only the board that got this MAC address");
    command->add_flag("--json", options->json, "One JSON object per record");
    command->add_flag("--csv", options->csv, "CSV with a header row");
    command->add_flag("--summary", options->summary, "Passed, failed and yield per hour, and the most frequent failures");
    command->callback([options, &context] {
        context.run = [options](const Context& c) { return ListRecords(*options, c); };
    });
}

CommandRegistrar recordsRegistrar(SetupRecordsCommand);

}  // namespace
}  // namespace kestrow::cli::records_listing
