// A line position end to end: the vboard program plays three boards one after
// another on one port, and `kestrow burn --boards 3` burns them all.
#include "tests/e2e_faults/station_run.h"

#include <fcntl.h>

namespace kestrow::e2e {
namespace {

TEST(Line, ThreeBoardsInARowOnOnePortAreEachBurnedCompletely) {
    constexpr unsigned kBoards = 3;
    StationRun run(kBoards, 180);
    const fs::path flash = run.Dir() / "flash.bin";
    VboardProcess vboard({"--chip-type", "8", "--flash-id", "0xef4017", "--flash-size", "8388608", "--boards",
                          std::to_string(kBoards), "--save-flash", flash.string()});
    ASSERT_FALSE(vboard.Port().empty()) << "vboard printed no port";
    run.PlugPort(vboard.Port());

    for (unsigned i = 1; i <= kBoards; ++i) {
        SCOPED_TRACE("board " + std::to_string(i));
        auto record = run.NextRecord(90s);
        ASSERT_TRUE(record) << "no result";
        EXPECT_EQ((*record)["result"], "passed") << (*record)["status"];
    }
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

}  // namespace
}  // namespace kestrow::e2e
