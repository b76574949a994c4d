// A long run: consecutive burns on paced virtual boards, some with a fault
// drawn at random (fixed seed, so a failure can be replayed). The station's
// descriptors, threads and memory stay flat, and every board that got a result
// has its JSON record and its lines in the channel log.
// KESTROW_SOAK_BURNS sets the number of burns (200 by default).
#include "tests/e2e_faults/station_run.h"

#include <cstdlib>
#include <random>

namespace kestrow::e2e {
namespace {

size_t ResidentKiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stoul(line.substr(6));
    return 0;
}

TEST(Soak, ConsecutiveBurnsWithRandomFaultsKeepTheStationFlat) {
    const char* env = std::getenv("KESTROW_SOAK_BURNS");
    const unsigned burns = env != nullptr ? unsigned(std::atoi(env)) : 200;
    ASSERT_GE(burns, 10u);
    // Faults that end a burn with a result; a board without a result is the
    // fault matrix's business and would not count here.
    const std::vector<std::string> faults = {"disconnect=3000", "disconnect=30000", "fail-code=12", "garbage",
                                             "drop-ack=2"};
    std::mt19937 random(20261210);

    StationRun run(burns + 1, 3 * 3600);  // one more board ends the run once measured
    vboard::BoardOptions good = GoodBoard();
    good.pace = true;
    unsigned passed = 0, failed = 0, faulty = 0;
    Resources ceiling;
    size_t firstRss = 0;
    for (unsigned i = 0; i < burns; ++i) {
        SCOPED_TRACE("burn " + std::to_string(i + 1));
        vboard::BoardOptions options = good;
        if (random() % 4 == 0) {
            ASSERT_TRUE(vboard::ApplyFault(faults[random() % faults.size()], options));
            ++faulty;
        }
        const size_t logBefore = run.ChannelLog().size();
        run.Plug(options);
        auto record = run.NextRecord(120s);
        ASSERT_TRUE(record) << "no result";
        const bool ok = (*record)["result"] == "passed";
        (ok ? passed : failed)++;
        // The channel log has the burn's end: its count of running channels, or what failed.
        const std::string log = run.ChannelLog().substr(logBefore);
        EXPECT_NE(log.find(ok ? "end work number" : "fail"), std::string::npos) << log;
        run.Unplug();
        if (i == 4) {  // after a few burns the station holds all it keeps for good
            ceiling = run.IdleCeiling();
            firstRss = ResidentKiB(run.Pid());
        } else if (i > 4) {
            ASSERT_TRUE(run.SettlesWithin(ceiling));
        }
    }
    const size_t lastRss = ResidentKiB(run.Pid());
    // Memory may settle a little (allocator pools) but must not grow with the burns.
    EXPECT_LT(lastRss, firstRss + firstRss / 5 + 1024) << "resident memory grew from " << firstRss << " KiB";
    run.Plug(good);
    auto last = run.NextRecord(120s);
    EXPECT_TRUE(last && (*last)["result"] == "passed");
    EXPECT_EQ(run.Wait(60s), failed > 0 ? 1 : 0);
    EXPECT_EQ(passed + failed, burns);
    EXPECT_GT(faulty, 0u);
}

}  // namespace
}  // namespace kestrow::e2e
