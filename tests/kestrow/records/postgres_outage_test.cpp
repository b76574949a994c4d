// A fleet's PostgreSQL server going away mid-run and coming back: the station
// hears of it before it takes a board, keeps the results of burns that end
// meanwhile, and delivers them when the server answers again.
#include "tests/kestrow/records/store_fixture.h"

namespace kestrow::records::testing {
namespace {

class PostgresOutage : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::string why = PostgresServer::Unavailable(); !why.empty()) GTEST_SKIP() << "PostgreSQL: " << why;
        std::string error;
        ASSERT_TRUE(server.Start(error)) << error;
        location.backend = RecordsLocation::Backend::Postgres;
        location.target = server.NewDatabase(error);
        ASSERT_FALSE(location.target.empty()) << error;
        location.outbox_path = folder.Path("records_outbox.jsonl");
    }

    void RestartServer() {
        std::string error;
        ASSERT_TRUE(server.Start(error)) << error;
    }

    PostgresServer server;  // this test's own: it is stopped in the middle
    config::testing::TempFolder folder;
    RecordsLocation location;
};

TEST_F(PostgresOutage, ResultsWaitInTheOutboxAndArriveWhenTheServerIsBack) {
    std::unique_ptr<RecordStore> store = RecordStore::Open(location, {"line-1", "host-a"});
    UseTestPools(*store);
    StoreResult<RecordId> burning = store->BeginRecord(TestStart("/dev/pts/3", 1));
    ASSERT_TRUE(burning) << burning.error().message;
    StoreResult<Identity> given = store->AllocateIdentity(*burning, PoolSet::All());
    ASSERT_TRUE(given);

    server.Stop();  // the server goes away while the board burns

    StoreStatus reach = store->CheckReachable();
    ASSERT_FALSE(reach);
    EXPECT_EQ(reach.error().kind, StoreErrorKind::Unreachable);
    EXPECT_NE(reach.error().message.find("the records store " + location.Describe() + " cannot be reached: "),
              std::string::npos)
        << reach.error().message;
    // No new board: no record can be begun, no address taken.
    EXPECT_EQ(store->BeginRecord(TestStart("/dev/pts/4", 2)).error().kind, StoreErrorKind::Unreachable);
    EXPECT_EQ(store->AllocateIdentity(std::nullopt, PoolSet::All()).error().kind, StoreErrorKind::Unreachable);
    // The burn under way ends: its result is kept.
    StoreResult<Delivery> finished = store->FinishRecord(*burning, TestEnd(BurnResult::Passed, 105, "Completion"));
    ASSERT_TRUE(finished) << finished.error().message;
    EXPECT_EQ(*finished, Delivery::KeptLocally);
    EXPECT_EQ(store->OutboxPending(), 1u);

    RestartServer();
    ASSERT_TRUE(store->CheckReachable()) << store->CheckReachable().error().message;
    EXPECT_EQ(store->OutboxPending(), 0u);
    std::vector<BurnRecord> records = *store->Records({});
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].end.result, BurnResult::Passed);
    EXPECT_EQ(records[0].end.status, "Completion");
    EXPECT_EQ(records[0].identity.mac, given->mac);
    // The pool goes on where it was.
    EXPECT_EQ(store->AllocateIdentity(std::nullopt, PoolSet::All())->mac, "00:11:22:00:00:01");
}

TEST_F(PostgresOutage, ARestartedStationDeliversItsOutboxBeforeMarkingBurnsInterrupted) {
    StoreResult<RecordId> kept = 0, killed = 0;
    {
        std::unique_ptr<RecordStore> store = RecordStore::Open(location, {"line-1", "host-a"});
        kept = store->BeginRecord(TestStart("/dev/pts/3", 1));
        killed = store->BeginRecord(TestStart("/dev/pts/4", 2));
        ASSERT_TRUE(kept && killed);
        server.Stop();
        ASSERT_EQ(*store->FinishRecord(*kept, TestEnd(BurnResult::Failed, 94, "Failed to erase")),
                  Delivery::KeptLocally);
    }  // the station ends while the server is down, `killed` still burning
    RestartServer();
    std::unique_ptr<RecordStore> restarted = RecordStore::Open(location, {"line-1", "host-a"});
    StoreResult<std::uint64_t> marked = restarted->MarkInterrupted();
    ASSERT_TRUE(marked) << marked.error().message;
    EXPECT_EQ(*marked, 1u);
    std::vector<BurnRecord> records = *restarted->Records({});
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].end.result, BurnResult::Failed);
    EXPECT_EQ(records[0].end.status, "Failed to erase");
    EXPECT_EQ(records[1].end.result, BurnResult::Interrupted);
    EXPECT_FALSE(std::filesystem::exists(location.outbox_path));
}

}  // namespace
}  // namespace kestrow::records::testing
