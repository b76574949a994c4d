#include "kestrow/station/today_counters.h"

#include <cstdio>
#include <ctime>

namespace kestrow::station {
namespace {

constexpr std::int64_t kMicrosPerSecond = 1'000'000;
constexpr double kMicrosPerHour = 3600.0 * 1e6;

}  // namespace

std::int64_t LocalMidnightUs(std::int64_t nowUs) {
    std::time_t now = static_cast<std::time_t>(nowUs / kMicrosPerSecond);
    std::tm local{};
    localtime_r(&now, &local);
    local.tm_hour = local.tm_min = local.tm_sec = 0;
    local.tm_isdst = -1;
    return static_cast<std::int64_t>(std::mktime(&local)) * kMicrosPerSecond;
}

TodayCounters CountToday(const records::RecordSummary& today, std::int64_t nowUs) {
    TodayCounters c;
    for (const records::HourCounts& hour : today.hours) {
        c.passed += hour.passed;
        c.failed += hour.failed;
        c.interrupted += hour.interrupted;
    }
    const std::uint64_t ended = c.passed + c.failed + c.interrupted;
    if (ended == 0) return c;
    c.yield_percent = 100.0 * static_cast<double>(c.passed) / static_cast<double>(ended);
    const double hours = static_cast<double>(nowUs - today.hours.front().hour_start_us) / kMicrosPerHour;
    // Within the first minutes a rate says little; it counts as a full minute at least.
    c.boards_per_hour = static_cast<double>(ended) / (hours < 1.0 / 60 ? 1.0 / 60 : hours);
    return c;
}

std::string FormatTodayCounters(const TodayCounters& c) {
    char text[160];
    std::snprintf(text, sizeof text, "Today: %llu passed, %llu failed, yield %.1f %%, %.1f boards/h",
                  static_cast<unsigned long long>(c.passed),
                  static_cast<unsigned long long>(c.failed + c.interrupted), c.yield_percent, c.boards_per_hour);
    return text;
}

}  // namespace kestrow::station
