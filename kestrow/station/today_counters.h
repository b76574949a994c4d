#pragma once
// Today's passed and failed boards, the yield and the boards per hour, as the
// window shows them beside the channel list.
#include "kestrow/records/record_store.h"

#include <cstdint>
#include <string>

namespace kestrow::station {

struct TodayCounters {
    std::uint64_t passed = 0, failed = 0, interrupted = 0;
    double yield_percent = 0;   // passed of every ended board; 0 without boards
    double boards_per_hour = 0;  // since the start of the first hour with a board today
};

// Local midnight of the day `nowUs` falls in, in microseconds since 1970.
std::int64_t LocalMidnightUs(std::int64_t nowUs);

TodayCounters CountToday(const records::RecordSummary& today, std::int64_t nowUs);

// "Today: 12 passed, 1 failed, yield 92.3 %, 14.0 boards/h".
std::string FormatTodayCounters(const TodayCounters& counters);

}  // namespace kestrow::station
