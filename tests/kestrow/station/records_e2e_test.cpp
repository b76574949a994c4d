// Burn records of a station over the transfer library, against virtual
// boards: what a finished burn's record holds, and a station closed while a
// board burns (the end of `kestrow burn --timeout`) leaves that record
// "interrupted".
#include "tests/kestrow/engine/station_harness.h"

#include "kestrow/records/record_store.h"

namespace kestrow::engine::testing {
namespace {

using namespace std::chrono_literals;

class StationRecordsTest : public StationE2eTest {
protected:
    std::vector<records::BurnRecord> Records() {
        auto store = records::OpenStationStore(dir_.string(), "");
        auto all = store->Records({});
        EXPECT_TRUE(all) << all.error().message;
        return all ? *all : std::vector<records::BurnRecord>{};
    }
};

TEST_F(StationRecordsTest, AFinishedBurnsRecordNamesBoardFileAndResult) {
    vboard::VirtualBoard board(NorBoard());
    StartStation();
    EXPECT_TRUE(station_.OpenRecords("").empty());
    ChannelOutcome outcome = BurnOneBoard(board);
    ASSERT_TRUE(outcome.passed);
    station_.Close();

    const std::vector<records::BurnRecord> records = Records();
    ASSERT_EQ(records.size(), 1u);
    const records::BurnRecord& r = records[0];
    EXPECT_EQ(r.end.result, records::BurnResult::Passed);
    EXPECT_EQ(r.end.status_code, status::kCompletion);
    EXPECT_EQ(r.end.status, "Completion");
    EXPECT_EQ(r.end.flash_id, kE2eNorId);
    EXPECT_GT(r.end.bytes, 70000u);
    EXPECT_EQ(r.start.port, board.PortPath());
    EXPECT_EQ(r.start.channel, 1u);
    EXPECT_EQ(r.start.chip_type, config_.chip_type);
    EXPECT_EQ(r.start.medium, config_.chip_mode);
    EXPECT_EQ(r.start.boot_mode, config_.boot_mode_flag);
    EXPECT_EQ(r.start.burn_file, (dir_ / "boot.bin").string());
    EXPECT_EQ(r.start.burn_file_size, 70000u);
    EXPECT_EQ(r.start.burn_file_sha256.size(), 64u);
    EXPECT_EQ(std::filesystem::path(r.start.log_file).parent_path(), dir_ / "log");
    EXPECT_EQ(std::filesystem::path(r.start.log_file).filename().string().rfind("ch[1]_log", 0), 0u) << r.start.log_file;
    EXPECT_TRUE(std::filesystem::exists(r.start.log_file));
    // A boot-loader burn takes no address.
    EXPECT_TRUE(r.identity.mac.empty());
    EXPECT_EQ(r.station, dir_.filename().string());
}

TEST_F(StationRecordsTest, ClosingWhileABoardBurnsLeavesItsRecordInterrupted) {
    vboard::BoardOptions slow = NorBoard();
    slow.pace = true;  // 70,000 bytes at 115200 baud: several seconds
    vboard::VirtualBoard board(slow);
    StartStation();
    EXPECT_TRUE(station_.OpenRecords("").empty());
    station_.SetPorts({board.PortPath()});
    station_.StartWatching();
    // Until the boot loader streams.
    bool streaming = false;
    for (auto until = std::chrono::steady_clock::now() + 60s; !streaming;) {
        auto m = window_.Pop(until);
        ASSERT_TRUE(m) << "the boot loader never started";
        if (!m->event) continue;
        state_.OnEvent(*m->event);
        streaming = m->event->kind == EventKind::Status && m->event->value == status::kDownloadBoot;
    }
    station_.Close();

    const std::vector<records::BurnRecord> records = Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].end.result, records::BurnResult::Interrupted);
}

}  // namespace
}  // namespace kestrow::engine::testing
