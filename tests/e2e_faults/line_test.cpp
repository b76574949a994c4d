// A line position end to end: the vboard program plays three boards one after
// another on one port, and `kestrow burn --boards 3` burns them all.
#include "tests/e2e_faults/station_run.h"

#include <fcntl.h>

namespace kestrow::e2e {
namespace {

// vboard's arguments for `boards` boards in a row of the kind the sample
// station expects (chip type 8, its first SPI NOR), then `more`.
std::vector<std::string> SampleBoards(unsigned boards, std::vector<std::string> more) {
    std::vector<std::string> args = {"--chip-type",  "8",       "--flash-id", "0xef4017",
                                     "--flash-size", "8388608", "--boards",   std::to_string(boards)};
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

// The next `count` records of `run`; fewer when one does not come in time.
std::vector<nlohmann::json> Records(StationRun& run, unsigned count) {
    std::vector<nlohmann::json> records;
    while (records.size() < count)
        if (auto record = run.NextRecord(90s)) records.push_back(*record);
        else break;
    return records;
}

TEST(Line, ThreeBoardsInARowOnOnePortAreEachBurnedCompletely) {
    constexpr unsigned kBoards = 3;
    StationRun run(kBoards, 180);
    const fs::path flash = run.Dir() / "flash.bin";
    VboardProcess vboard(SampleBoards(kBoards, {"--save-flash", flash.string()}));
    ASSERT_FALSE(vboard.Port().empty()) << "vboard printed no port";
    run.PlugPort(vboard.Port());

    const std::vector<nlohmann::json> records = Records(run, kBoards);
    ASSERT_EQ(records.size(), kBoards) << "a board has no result";
    for (const nlohmann::json& record : records) EXPECT_EQ(record["result"], "passed") << record["status"];
    EXPECT_EQ(run.Wait(30s), 0);
    EXPECT_EQ(vboard.Wait(10s), 0) << "vboard did not end after its last board";

    // Behind the 512-byte boot header each flash holds the burn file, except
    // the flash parameters the station writes behind the file's "SPIP" marker.
    const std::string boot = ReadAll(run.Dir() / "u-boot.bin");
    const size_t params = boot.find("SPIP");
    ASSERT_NE(params, std::string::npos);
    const size_t paramsEnd = params + 4 + 60;
    for (unsigned i = 1; i <= kBoards; ++i) {
        SCOPED_TRACE("board " + std::to_string(i));
        const std::string content = ReadAll(flash.string() + "." + std::to_string(i));
        ASSERT_EQ(content.size(), 8388608u);
        EXPECT_EQ(content.compare(512, params + 4 - 512, boot, 512, params + 4 - 512), 0);
        EXPECT_EQ(content.compare(paramsEnd, boot.size() - paramsEnd, boot, paramsEnd, boot.size() - paramsEnd), 0);
        EXPECT_EQ(content.find_first_not_of('\xFF', boot.size()), std::string::npos) << "written past the file";
    }

    const std::string log = run.ChannelLog();
    size_t successes = 0;
    for (size_t at = log.find("++Burn success++"); at != std::string::npos; at = log.find("++Burn success++", at + 1))
        ++successes;
    EXPECT_EQ(successes, kBoards) << log;
}

// Boards that fail, in their boot ROM or in the producer, each leave the line
// when the station watches the port again, and the next one is burned: the
// line never stalls on a bad board, and vboard ends after the last.
TEST(Line, FailingBoardsMakeWayForTheNextOne) {
    constexpr unsigned kBoards = 2;
    struct Case {
        const char* fault;
        const char* status;
    } cases[] = {
        {"bad-checksum", "Failed to download producer"},
        {"fail-code=4", "Failed to get SPI NOR Flash chip ID"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        StationRun run(kBoards, 120);
        VboardProcess vboard(SampleBoards(kBoards, {"--fault", c.fault}));
        ASSERT_FALSE(vboard.Port().empty()) << "vboard printed no port";
        run.PlugPort(vboard.Port());
        const std::vector<nlohmann::json> records = Records(run, kBoards);
        ASSERT_EQ(records.size(), kBoards) << "the line stalled";
        for (const nlohmann::json& record : records) {
            EXPECT_EQ(record["result"], "failed");
            EXPECT_EQ(record["status"], c.status);
        }
        EXPECT_EQ(run.Wait(30s), 1);
        EXPECT_EQ(vboard.Wait(10s), 0) << "vboard did not end after its last board";
    }
}

}  // namespace
}  // namespace kestrow::e2e
