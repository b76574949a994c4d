#pragma once
// Records as the command line and factory systems read them: one JSON object
// per line, CSV with a header row for spreadsheets, and the per-hour summary.
// Times are UTC.
#include "kestrow/records/record_store.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrow::records {

// "2024-05-01T10:00:00.123Z".
std::string FormatUtcTime(std::int64_t microseconds);
// A moment as --since takes it: "2024-05-01", "2024-05-01T10:00", "2024-05-01 10:00:30",
// with an optional "Z" (always UTC), or an age before `nowUs`: "90m", "12h", "7d".
std::optional<std::int64_t> ParseSinceTime(std::string_view text, std::int64_t nowUs);

// time, station, port, channel, flash_id, result, status, status_code, mac,
// serial, bluetooth, burn_file, burn_file_sha256, bytes, duration_s, then
// host, chip_type, medium, boot_mode, burn_file_size, log_file and id. An
// address the board did not get is null.
nlohmann::ordered_json RecordJson(const BurnRecord& record);
// The same columns in the same order; text quoted where it must be.
std::string CsvHeader();
std::string CsvRow(const BurnRecord& record);

// Passed, failed, interrupted and yield per hour, the totals, and the most
// frequent failure statuses. Yield = passed / (passed + failed + interrupted).
std::string FormatSummary(const RecordSummary& summary);

}  // namespace kestrow::records
