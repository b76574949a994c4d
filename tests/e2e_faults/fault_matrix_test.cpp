// Faults of a board at every stage of a burn, end to end through `kestrow burn`
// on virtual boards. For each fault the board's result is the right failure
// (or none, for a board that never completes its handshake), the channel log
// says what failed, the station holds no more descriptors or threads than
// before, and the next good board on the same port burns.
#include "tests/e2e_faults/station_run.h"

#include <set>

namespace kestrow::e2e {
namespace {

struct FaultCase {
    std::string what;
    std::vector<std::string> faults;  // vboard --fault values
    std::optional<std::string> status;  // the board's result; nothing: the board is never attached
    bool passes = false;
    std::string logText;  // a line of the channel log that says what failed
};

// Every board here answers one burn only, as one taken off the line once its
// result shows. The operator swaps it once the station has looked at its port
// three times after the result: a failed board is taken for gone after two
// silent looks, so the third is the station watching for the next board.
// Swapped sooner, the station's looks could meet the next board and take it
// for the failed one still there.
constexpr unsigned kLooksBeforeSwap = 3;

bool StationLookedAgain(const vboard::VirtualBoard& board, unsigned looksAtResult) {
    const auto until = Clock::now() + 60s;
    while (board.HostLooks() < looksAtResult + kLooksBeforeSwap) {
        if (Clock::now() >= until) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

vboard::BoardOptions OneBurn(vboard::BoardOptions options) {
    options.oneBurn = true;
    return options;
}

vboard::BoardOptions WithFaults(const std::vector<std::string>& faults) {
    vboard::BoardOptions options = OneBurn(GoodBoard());
    for (const std::string& f : faults) EXPECT_TRUE(vboard::ApplyFault(f, options)) << f;
    return options;
}

// What the failure of each producer command of an SPI NOR burn shows: the
// board's status and the line of the channel log that says what failed.
struct CommandFailure {
    unsigned code;
    const char* status;
    const char* logText;
};
constexpr CommandFailure kCommandFailures[] = {
    {2, "Failed to test", "->connetion fail!"},
    {3, "Failed to set burn mode", "->set mode fail!"},
    {4, "Failed to get SPI NOR Flash chip ID", "burn_spiflash fail."},
    {12, "Failed to download boot", "burn_spiflash fail."},
    {13, "Failed to download boot", "burn_spiflash fail."},
    {34, "Failed to terminate burn process", "burn_spiflash fail."},
    {49, "Failed to set SPI NOR Flash chip parameters", "burn_spiflash fail."},
    {104, "Failed to set parameter for producer", "->Set Burned Param fail"},
};

const CommandFailure* FindCommandFailure(unsigned code) {
    for (const CommandFailure& f : kCommandFailures)
        if (f.code == code) return &f;
    return nullptr;
}

// The producer commands a good SPI NOR burn sends, in order of first use.
std::vector<unsigned> CommandsOfAGoodBurn() {
    StationRun run(1, 60);
    vboard::VirtualBoard& board = run.Plug(GoodBoard());
    auto record = run.NextRecord(60s);
    EXPECT_TRUE(record && (*record)["result"] == "passed");
    std::vector<unsigned> codes;
    std::set<unsigned> seen;
    for (const auto& c : board.ProducerCommands())
        if (seen.insert(c.code).second) codes.push_back(c.code);
    EXPECT_EQ(run.Wait(10s), 0);
    return codes;
}

// The cases are dealt out to a few stations that run side by side, each on
// its own port and folder, so the whole matrix takes a fraction of the time.
constexpr unsigned kShards = 3;

class FaultMatrix : public ::testing::TestWithParam<unsigned> {};

TEST_P(FaultMatrix, EveryFaultFailsItsBoardCleanlyAndTheNextBoardBurns) {
    std::vector<FaultCase> all = {
        {"a board that never answers", {"silent"}, std::nullopt, false, ""},
        {"no boot prompt", {"no-prompt"}, std::nullopt, false, ""},
        {"unplugged during the handshake", {"disconnect=30"}, std::nullopt, false, ""},
        {"boot ROM refuses every command", {"err-comm"}, std::nullopt, false, ""},
        {"unplugged while the RAM table goes out", {"disconnect=150"}, "Failed to download producer", false,
         "download producer fail"},
        {"unplugged during the producer upload", {"disconnect=3000"}, "Failed to download producer", false,
         "download producer fail"},
        {"unplugged in the middle of the image", {"disconnect=30000"}, "Failed to download boot", false,
         "burn_spiflash fail."},
        {"load and go commands not echoed", {"bad-echo"}, "Failed to download producer", false,
         "download producer fail"},
        {"a lost acknowledgement", {"drop-ack=1"}, "Failed to download boot", false, "burn_spiflash fail."},
        {"upload checksum refused", {"bad-checksum"}, "Failed to download producer", false, "download producer fail"},
        {"garbage between reply frames", {"garbage"}, "Completion", true, ""},
    };
    for (unsigned code : CommandsOfAGoodBurn()) {
        const CommandFailure* failure = FindCommandFailure(code);
        if (failure == nullptr) {
            ADD_FAILURE() << "a good burn sends producer command " << code << ", which has no expected failure here";
            continue;
        }
        all.push_back({"producer command " + std::to_string(code) + " answers with failure",
                       {"fail-code=" + std::to_string(code)}, failure->status, false, failure->logText});
    }
    ASSERT_GT(all.size(), 8u) << "a good burn sent no producer commands";
    std::vector<FaultCase> cases;
    for (size_t i = GetParam(); i < all.size(); i += kShards) cases.push_back(all[i]);

    unsigned records = 2;  // the warm-up board, and the last one that ends the run
    for (const FaultCase& c : cases) records += c.status ? 2 : 1;
    StationRun run(records, 1200);

    // A first good board opens whatever the station keeps open for good (logs).
    run.Plug(OneBurn(GoodBoard()));
    auto warmUp = run.NextRecord(60s);
    ASSERT_TRUE(warmUp && (*warmUp)["result"] == "passed");
    run.Unplug();
    const Resources before = run.IdleCeiling();

    for (const FaultCase& c : cases) {
        SCOPED_TRACE(c.what);
        const size_t logBefore = run.ChannelLog().size();
        const vboard::VirtualBoard& board = run.Plug(WithFaults(c.faults));
        if (c.status) {
            auto record = run.NextRecord(90s);
            ASSERT_TRUE(record) << "no result";
            const unsigned looksAtResult = board.HostLooks();
            EXPECT_EQ((*record)["result"], c.passes ? "passed" : "failed");
            EXPECT_EQ((*record)["status"], *c.status);
            const std::string log = run.ChannelLog().substr(logBefore);
            if (!c.logText.empty()) {
                EXPECT_NE(log.find(c.logText), std::string::npos) << log;
            }
            // A board that unplugged itself has gone already, its port with it.
            if (fs::exists(board.PortPath())) {
                EXPECT_TRUE(StationLookedAgain(board, looksAtResult)) << "the station stopped looking at the port";
            }
        } else {
            EXPECT_FALSE(run.NextRecord(4s)) << "a board that never attached got a result";
        }
        run.Unplug();
        EXPECT_TRUE(run.SettlesWithin(before)) << "descriptors or threads left behind";

        run.Plug(OneBurn(GoodBoard()));
        auto next = run.NextRecord(60s);
        ASSERT_TRUE(next) << "the next good board was not burned";
        EXPECT_EQ((*next)["result"], "passed") << (*next)["status"];
        run.Unplug();
        EXPECT_TRUE(run.SettlesWithin(before)) << "descriptors or threads left behind after the good board";
    }
    run.Plug(OneBurn(GoodBoard()));
    auto last = run.NextRecord(60s);
    EXPECT_TRUE(last && (*last)["result"] == "passed");
    EXPECT_EQ(run.Wait(30s), 1);  // some boards failed
}

INSTANTIATE_TEST_SUITE_P(Shards, FaultMatrix, ::testing::Range(0u, kShards));

}  // namespace
}  // namespace kestrow::e2e
