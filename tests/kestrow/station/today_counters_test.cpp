#include "kestrow/station/today_counters.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

namespace kestrow::station {
namespace {

constexpr std::int64_t kHour = 3600LL * 1'000'000;
constexpr std::int64_t kDay = 24 * kHour;
constexpr std::int64_t kMidnight = 20000 * kDay;  // some midnight UTC

TEST(TodayCountersTest, YieldAndBoardsPerHourFromTheHoursOfToday) {
    struct Case {
        const char* what;
        records::RecordSummary today;
        std::int64_t now;
        const char* shown;
    };
    const Case cases[] = {
        {"no board yet", {}, kMidnight + 5 * kHour, "Today: 0 passed, 0 failed, yield 0.0 %, 0.0 boards/h"},
        {"two hours of boards, interrupted ones count as failed",
         {{{kMidnight + 8 * kHour, 10, 1, 1}, {kMidnight + 9 * kHour, 8, 0, 0}}, {}},
         kMidnight + 10 * kHour,
         "Today: 18 passed, 2 failed, yield 90.0 %, 10.0 boards/h"},
        {"the first minute counts as a whole minute", {{{kMidnight + 8 * kHour, 1, 0, 0}}, {}},
         kMidnight + 8 * kHour + 1'000'000, "Today: 1 passed, 0 failed, yield 100.0 %, 60.0 boards/h"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(FormatTodayCounters(CountToday(c.today, c.now)), c.shown);
    }
}

TEST(TodayCountersTest, TodayStartsAtLocalMidnight) {
    const char* saved = std::getenv("TZ");
    const std::string before = saved ? saved : "";
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    EXPECT_EQ(LocalMidnightUs(kMidnight + 13 * kHour + 5), kMidnight);
    ::setenv("TZ", "XST-2", 1);  // two hours east of UTC, no zone files needed
    ::tzset();
    EXPECT_EQ(LocalMidnightUs(kMidnight + 23 * kHour), kMidnight + kDay - 2 * kHour);
    if (saved) ::setenv("TZ", before.c_str(), 1);
    else ::unsetenv("TZ");
    ::tzset();
}

}  // namespace
}  // namespace kestrow::station
