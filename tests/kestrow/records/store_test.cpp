// The record store on both backends: schema migrations, pool allocation,
// records, interrupted burns and queries.
#include "kestrow/records/schema.h"
#include "kestrow/records/sql_connection.h"
#include "tests/kestrow/records/store_fixture.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <set>

namespace kestrow::records::testing {
namespace {

class RecordStoreTest : public StoreFixture {
protected:
    std::unique_ptr<SqlConnection> Connect() {
        return location.backend == RecordsLocation::Backend::Postgres ? OpenPostgres(location.target)
                                                                      : OpenSqlite(location.target, true);
    }
    static PoolState Pool(RecordStore& store, PoolKind kind) {
        StoreResult<std::vector<PoolState>> pools = store.Pools();
        EXPECT_TRUE(pools) << pools.error().message;
        return pools ? (*pools)[static_cast<std::size_t>(kind)] : PoolState{};
    }
};

INSTANTIATE_TEST_SUITE_P(Backends, RecordStoreTest, ::testing::Values(Backend::Sqlite, Backend::Postgres), BackendName);

TEST_P(RecordStoreTest, SchemaMigratesFromEmptyStepByStepAndOnlyOnce) {
    std::unique_ptr<SqlConnection> db = Connect();
    EXPECT_EQ(SchemaVersion(*db), 0);
    EXPECT_EQ(MigrateSchema(*db, 1), 1);
    EXPECT_EQ(SchemaVersion(*db), 1);
    const std::string storeId = StoreId(*db);
    EXPECT_EQ(storeId.size(), 32u);
    EXPECT_EQ(MigrateSchema(*db), 1);  // version 2 only
    EXPECT_EQ(SchemaVersion(*db), 2);
    EXPECT_EQ(MigrateSchema(*db), 0);
    EXPECT_EQ(StoreId(*db), storeId);
    EXPECT_EQ(db->Scalar("SELECT COUNT(*) FROM schema_migrations"), "2");

    // A fresh store holds the general page's defaults, every pool off.
    std::unique_ptr<RecordStore> store = Open();
    StoreResult<std::vector<PoolState>> pools = store->Pools();
    ASSERT_TRUE(pools) << pools.error().message;
    const PoolState& mac = (*pools)[0];
    EXPECT_EQ(FormatMac(mac.range.start), "01:02:03:00:00:00");
    EXPECT_EQ(FormatMac(mac.range.end), "01:02:03:FF:FF:FF");
    EXPECT_EQ(mac.next, mac.range.start);
    const PoolState& serial = (*pools)[1];
    EXPECT_EQ(FormatSerial(serial.range.prefix, serial.range.start), "AABBCCXXDDEEFFGGHH11223344556677000000");
    EXPECT_EQ(FormatSerial(serial.range.prefix, serial.range.end), "AABBCCXXDDEEFFGGHH11223344556677999999");
    const PoolState& bt = (*pools)[2];
    EXPECT_EQ(FormatBluetooth(bt.range.start), "44A6E6000000");
    EXPECT_EQ(FormatBluetooth(bt.range.end), "44A6E6FFFFFF");
    for (const PoolState& p : *pools) EXPECT_FALSE(p.enabled);
}

TEST_P(RecordStoreTest, AStoreFromANewerProgramIsRefused) {
    std::unique_ptr<SqlConnection> db = Connect();
    MigrateSchema(*db);
    db->Exec("INSERT INTO schema_migrations (version, applied_at) VALUES (7, 'later')");
    StoreStatus status = Open()->CheckReachable();
    ASSERT_FALSE(status);
    EXPECT_EQ(status.error().kind, StoreErrorKind::Failed);
    EXPECT_NE(status.error().message.find("the store's schema is at version 7, newer than this program knows (2)"),
              std::string::npos)
        << status.error().message;
}

TEST_P(RecordStoreTest, EachBoardGetsTheNextAddressesWrittenIntoItsRecord) {
    std::unique_ptr<RecordStore> store = Open();
    UseTestPools(*store);
    ASSERT_TRUE(store->SetPoolEnabled(PoolKind::Serial, false));
    std::vector<Identity> given;
    for (unsigned board = 0; board < 3; ++board) {
        StoreResult<RecordId> id = store->BeginRecord(TestStart("/dev/pts/7", 1));
        ASSERT_TRUE(id) << id.error().message;
        StoreResult<Identity> got = store->AllocateIdentity(*id, PoolSet::All());
        ASSERT_TRUE(got) << got.error().message;
        given.push_back(*got);
        ASSERT_TRUE(store->FinishRecord(*id, TestEnd(board == 1 ? BurnResult::Failed : BurnResult::Passed, 0, "")));
    }
    EXPECT_EQ(given[0].mac, "00:11:22:00:00:00");
    EXPECT_EQ(given[1].mac, "00:11:22:00:00:01");  // the failed board keeps its address
    EXPECT_EQ(given[2].mac, "00:11:22:00:00:02");
    EXPECT_EQ(given[2].bluetooth, "44A6E6000002");
    EXPECT_EQ(given[2].serial, "");  // pool off
    StoreResult<std::vector<BurnRecord>> records = store->Records({});
    ASSERT_TRUE(records);
    ASSERT_EQ(records->size(), 3u);
    EXPECT_EQ((*records)[1].identity.mac, "00:11:22:00:00:01");
    EXPECT_EQ((*records)[1].identity.bluetooth, "44A6E6000001");
    EXPECT_EQ((*records)[1].identity.serial, "");
    EXPECT_EQ((*records)[1].end.result, BurnResult::Failed);
    EXPECT_EQ(Pool(*store, PoolKind::Mac).handed_out, 3u);

    // A board may take only some pools (an image without a BTADDR partition).
    PoolSet macOnly;
    macOnly.mac = true;
    StoreResult<Identity> got = store->AllocateIdentity(std::nullopt, macOnly);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->mac, "00:11:22:00:00:03");
    EXPECT_EQ(got->bluetooth, "");
    EXPECT_EQ(FormatBluetooth(Pool(*store, PoolKind::Bluetooth).next), "44A6E6000003");
}

TEST_P(RecordStoreTest, AUsedUpPoolRefusesWithItsMessageAndTakesNothing) {
    struct Case {
        PoolKind kind;
        PoolRange range;  // one value
        std::size_t entry;
        const char* message;
    };
    const Case cases[] = {
        {PoolKind::Mac, {PoolKind::Mac, "", kMacStart, kMacStart}, 252,
         "Burnt MAC address exceed the maximum (MAC pool 00:11:22:00:00:00 .. 00:11:22:00:00:00: every value has "
         "been handed out)"},
        {PoolKind::Serial, {PoolKind::Serial, kSerialPrefix, 7, 7}, 254,
         "Burnt serial number address exceed the maximum (serial number pool AABBCCXXDDEEFFGGHH11223344556677000007 "
         ".. AABBCCXXDDEEFFGGHH11223344556677000007: every value has been handed out)"},
        {PoolKind::Bluetooth, {PoolKind::Bluetooth, "", kBtStart, kBtStart}, 364,
         "Bluetooth address is bigger than end address (Bluetooth pool 44A6E6000000 .. 44A6E6000000: every value "
         "has been handed out)"},
    };
    std::unique_ptr<RecordStore> store = Open();
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(PoolKey(c.kind)));
        UseTestPools(*store);
        ASSERT_TRUE(store->SetPoolRange(c.range));
        ASSERT_TRUE(store->AllocateIdentity(std::nullopt, PoolSet::All()));
        const std::vector<PoolState> before = *store->Pools();

        StoreResult<RecordId> id = store->BeginRecord(TestStart("/dev/pts/7", 1));
        StoreResult<Identity> refused = store->AllocateIdentity(*id, PoolSet::All());
        ASSERT_FALSE(refused);
        EXPECT_EQ(refused.error().kind, StoreErrorKind::PoolUsedUp);
        EXPECT_EQ(refused.error().pool, c.kind);
        EXPECT_EQ(refused.error().language_entry, c.entry);
        EXPECT_EQ(refused.error().message, c.message);
        // No pool moved, and the record carries no address.
        const std::vector<PoolState> after = *store->Pools();
        for (std::size_t i = 0; i < after.size(); ++i) EXPECT_EQ(after[i].next, before[i].next) << i;
        StoreResult<std::vector<BurnRecord>> records = store->Records({});
        EXPECT_EQ(records->back().identity.mac, "");
        EXPECT_EQ(records->back().identity.bluetooth, "");
        ASSERT_TRUE(store->ResetPool(c.kind));
    }
}

TEST_P(RecordStoreTest, TwoProcessesAtOnceNeverGetTheSameAddress) {
    constexpr int kPerProcess = 150;
    std::unique_ptr<RecordStore> store = Open();
    ASSERT_TRUE(store->SetPoolRange({PoolKind::Mac, "", kMacStart, kMacStart + 999}));
    ASSERT_TRUE(store->SetPoolEnabled(PoolKind::Mac, true));
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    struct Child {
        pid_t pid;
        FILE* out;
    };
    std::vector<Child> children;
    for (int c = 0; c < 2; ++c) {
        int values[2];
        ASSERT_EQ(pipe(values), 0);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            // A station process of its own: its own connection, nothing of the parent's used.
            close(go[1]);
            close(values[0]);
            char byte;
            if (read(go[0], &byte, 1) != 0) _exit(3);  // wait for the start: the parent closes the pipe
            std::unique_ptr<RecordStore> mine = RecordStore::Open(location, {"line-" + std::to_string(c), "host-a"});
            PoolSet mac;
            mac.mac = true;
            std::string lines;
            for (int i = 0; i < kPerProcess; ++i) {
                StoreResult<Identity> got = mine->AllocateIdentity(std::nullopt, mac);
                if (!got) {
                    lines += "error " + got.error().message + "\n";
                    break;
                }
                lines += got->mac + "\n";
            }
            if (write(values[1], lines.data(), lines.size()) != static_cast<ssize_t>(lines.size())) _exit(4);
            _exit(0);
        }
        close(values[1]);
        children.push_back({pid, fdopen(values[0], "r")});
    }
    close(go[0]);
    close(go[1]);
    std::multiset<std::string> all;
    for (Child& child : children) {
        char line[512];
        while (fgets(line, sizeof line, child.out)) all.insert(std::string(line, strcspn(line, "\n")));
        fclose(child.out);
        int status = 0;
        waitpid(child.pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::set<std::string> expected;
    for (int i = 0; i < 2 * kPerProcess; ++i) expected.insert(FormatMac(kMacStart + static_cast<std::uint64_t>(i)));
    EXPECT_EQ(all.size(), 2u * kPerProcess);
    EXPECT_EQ(std::set<std::string>(all.begin(), all.end()), expected);  // no value twice, none skipped
    EXPECT_EQ(Pool(*store, PoolKind::Mac).next, kMacStart + 2 * kPerProcess);
}

TEST_P(RecordStoreTest, NextIsRaisedNeverLoweredAndResetOnlyOnRequest) {
    std::unique_ptr<RecordStore> store = Open();
    UseTestPools(*store);
    EXPECT_TRUE(*store->RaiseNext(PoolKind::Mac, kMacStart + 10));
    EXPECT_FALSE(*store->RaiseNext(PoolKind::Mac, kMacStart + 5));
    EXPECT_EQ(Pool(*store, PoolKind::Mac).next, kMacStart + 10);
    // Beyond the end the pool is used up; next stays one past the end.
    EXPECT_TRUE(*store->RaiseNext(PoolKind::Mac, kMacStart + 1000));
    EXPECT_EQ(Pool(*store, PoolKind::Mac).next, kMacStart + 16);
    EXPECT_EQ(store->AllocateIdentity(std::nullopt, PoolSet::All()).error().kind, StoreErrorKind::PoolUsedUp);
    // "Current MAC Reset".
    ASSERT_TRUE(store->ResetPool(PoolKind::Mac));
    EXPECT_EQ(Pool(*store, PoolKind::Mac).next, kMacStart);
    EXPECT_EQ(Pool(*store, PoolKind::Mac).handed_out, 0u);
    EXPECT_EQ(store->AllocateIdentity(std::nullopt, PoolSet::All())->mac, "00:11:22:00:00:00");
}

TEST_P(RecordStoreTest, ANewRangeStartsAboveWhatBoardsAlreadyCarry) {
    std::unique_ptr<RecordStore> store = Open();
    UseTestPools(*store);
    for (int i = 0; i < 6; ++i) {
        StoreResult<RecordId> id = store->BeginRecord(TestStart("/dev/pts/7", 1));
        ASSERT_TRUE(store->AllocateIdentity(*id, PoolSet::All()));  // up to 00:11:22:00:00:05
    }
    ASSERT_TRUE(store->ResetPool(PoolKind::Mac));
    // Widened range around the addresses given: it goes on after them.
    ASSERT_TRUE(store->SetPoolRange({PoolKind::Mac, "", kMacStart, kMacStart + 255}));
    EXPECT_EQ(Pool(*store, PoolKind::Mac).next, kMacStart + 6);
    // A range elsewhere starts at its start.
    ASSERT_TRUE(store->SetPoolRange({PoolKind::Mac, "", kMacStart + 0x100, kMacStart + 0x1FF}));
    EXPECT_EQ(Pool(*store, PoolKind::Mac).next, kMacStart + 0x100);
    // A serial range under another prefix is another space.
    ASSERT_TRUE(store->SetPoolRange({PoolKind::Serial, "Q" + kSerialPrefix.substr(1), 100, 199}));
    EXPECT_EQ(Pool(*store, PoolKind::Serial).next, 100u);
    ASSERT_TRUE(store->SetPoolRange({PoolKind::Serial, kSerialPrefix, 0, 999}));
    EXPECT_EQ(Pool(*store, PoolKind::Serial).next, 106u);

    // The checks hold for the store too: no multicast range, and none is switched on.
    StoreStatus refused = store->SetPoolRange({PoolKind::Mac, "", 0x010203000000ULL, 0x0102030000FFULL});
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().kind, StoreErrorKind::InvalidInput);
    EXPECT_EQ(refused.error().message, "The MAC address is multicast address, please modify it.");
    std::unique_ptr<RecordStore> fresh = RecordStore::Open(
        {RecordsLocation::Backend::Sqlite, folder.Path("other.db"), folder.Path("other_outbox")}, {"line-1", "host-a"});
    StoreStatus multicastDefault = fresh->SetPoolEnabled(PoolKind::Mac, true);
    ASSERT_FALSE(multicastDefault);
    EXPECT_EQ(multicastDefault.error().message, "The MAC address is multicast address, please modify it.");
}

TEST_P(RecordStoreTest, AStationStartMarksOnlyItsOwnRunningBurnsInterrupted) {
    StoreResult<RecordId> killed = 0, finished = 0, otherStation = 0;
    {
        std::unique_ptr<RecordStore> lineOne = Open({"line-1", "host-a"});
        UseTestPools(*lineOne);
        killed = lineOne->BeginRecord(TestStart("/dev/pts/7", 1));
        ASSERT_TRUE(lineOne->AllocateIdentity(*killed, PoolSet::All()));
        finished = lineOne->BeginRecord(TestStart("/dev/pts/8", 2));
        ASSERT_TRUE(lineOne->FinishRecord(*finished, TestEnd(BurnResult::Passed, 105, "Completion")));
        otherStation = Open({"line-2", "host-a"})->BeginRecord(TestStart("/dev/pts/9", 1));
        ASSERT_TRUE(otherStation);
    }  // line-1 "killed" with record `killed` running
    std::unique_ptr<RecordStore> restarted = Open({"line-1", "host-a"});
    StoreResult<std::uint64_t> marked = restarted->MarkInterrupted();
    ASSERT_TRUE(marked) << marked.error().message;
    EXPECT_EQ(*marked, 1u);
    EXPECT_EQ(*restarted->MarkInterrupted(), 0u);

    std::vector<BurnRecord> all = *restarted->Records({});
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].end.result, BurnResult::Interrupted);
    EXPECT_EQ(all[0].end.status, "the station stopped before this burn ended");
    EXPECT_EQ(all[0].identity.mac, "00:11:22:00:00:00");
    EXPECT_EQ(all[1].end.result, BurnResult::Passed);
    EXPECT_EQ(all[2].end.result, BurnResult::Running);  // line-2 is still burning
    // The interrupted board's address is not handed out again.
    EXPECT_EQ(restarted->AllocateIdentity(std::nullopt, PoolSet::All())->mac, "00:11:22:00:00:01");
}

TEST_P(RecordStoreTest, FinishingAWrongRecordIsRefusedNotKept) {
    std::unique_ptr<RecordStore> store = Open();
    StoreResult<RecordId> id = store->BeginRecord(TestStart("/dev/pts/7", 1));
    ASSERT_TRUE(store->FinishRecord(*id, TestEnd(BurnResult::Passed, 105, "Completion")));
    struct Case {
        const char* what;
        RecordId id;
        BurnResult result;
        StoreErrorKind kind;
    };
    const Case cases[] = {
        {"finished twice", *id, BurnResult::Failed, StoreErrorKind::InvalidInput},
        {"no such record", *id + 100, BurnResult::Passed, StoreErrorKind::NotFound},
        {"ending as running", *id, BurnResult::Running, StoreErrorKind::InvalidInput},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        StoreResult<Delivery> refused = store->FinishRecord(c.id, TestEnd(c.result, 1, "x"));
        ASSERT_FALSE(refused);
        EXPECT_EQ(refused.error().kind, c.kind);
    }
    EXPECT_EQ(store->OutboxPending(), 0u);
    EXPECT_EQ(store->Records({})->front().end.status, "Completion");
}

TEST_P(RecordStoreTest, FiltersAndTheHourlySummary) {
    std::unique_ptr<RecordStore> store = Open();
    UseTestPools(*store);
    const std::int64_t hour = 3600LL * 1000000;
    const std::int64_t t0 = 1714557600LL * 1000000;  // 2024-05-01T10:00:00Z
    struct Board {
        std::int64_t time;
        BurnResult result;
        unsigned code;
        const char* status;
    };
    const Board boards[] = {
        {t0 + 60000000, BurnResult::Passed, 105, "Completion"},
        {t0 + 120000000, BurnResult::Failed, 98, "Failed to download file"},
        {t0 + 180000000, BurnResult::Passed, 105, "Completion"},
        {t0 + hour + 1, BurnResult::Failed, 98, "Failed to download file"},
        {t0 + hour + 2, BurnResult::Failed, 94, "Failed to erase"},
        {t0 + 3 * hour, BurnResult::Interrupted, 0, ""},
    };
    for (const Board& b : boards) {
        StoreResult<RecordId> id = store->BeginRecord(TestStart("/dev/pts/7", 1, b.time));
        ASSERT_TRUE(store->AllocateIdentity(*id, PoolSet::All()));
        ASSERT_TRUE(store->FinishRecord(*id, TestEnd(b.result, b.code, b.status)));
    }

    auto count = [&](const RecordFilter& filter) { return store->Records(filter)->size(); };
    EXPECT_EQ(count({}), 6u);
    EXPECT_EQ(count({.since_us = t0 + hour}), 3u);
    EXPECT_EQ(count({.result = BurnResult::Failed}), 3u);
    EXPECT_EQ(count({.since_us = t0 + hour, .result = BurnResult::Failed}), 2u);
    StoreResult<std::vector<BurnRecord>> byMac = store->Records({.mac = "00:11:22:00:00:04"});
    ASSERT_EQ(byMac->size(), 1u);
    EXPECT_EQ(byMac->front().end.status, "Failed to erase");
    EXPECT_EQ(count({.mac = "00:11:22:00:00:0f"}), 0u);

    StoreResult<RecordSummary> summary = store->Summarize({});
    ASSERT_TRUE(summary) << summary.error().message;
    ASSERT_EQ(summary->hours.size(), 3u);
    const HourCounts expected[] = {{t0, 2, 1, 0}, {t0 + hour, 0, 2, 0}, {t0 + 3 * hour, 0, 0, 1}};
    for (std::size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(summary->hours[i].hour_start_us, expected[i].hour_start_us);
        EXPECT_EQ(summary->hours[i].passed, expected[i].passed);
        EXPECT_EQ(summary->hours[i].failed, expected[i].failed);
        EXPECT_EQ(summary->hours[i].interrupted, expected[i].interrupted);
    }
    ASSERT_EQ(summary->failures.size(), 2u);
    EXPECT_EQ(summary->failures[0].status_code, 98u);
    EXPECT_EQ(summary->failures[0].status, "Failed to download file");
    EXPECT_EQ(summary->failures[0].count, 2u);
    EXPECT_EQ(summary->failures[1].status, "Failed to erase");
    EXPECT_EQ(store->Summarize({.since_us = t0 + hour})->failures[0].count, 1u);
}

}  // namespace
}  // namespace kestrow::records::testing
