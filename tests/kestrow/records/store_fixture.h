#pragma once
// A fresh store for each test, on either backend: records.db in a temporary
// station folder, or a database of its own on the test process's PostgreSQL
// server (skipped, with the reason, when the machine has no server).
#include "kestrow/records/record_store.h"
#include "tests/kestrow/config/temp_folder.h"
#include "tests/kestrow/records/postgres_server.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace kestrow::records::testing {

enum class Backend { Sqlite, Postgres };

inline std::string BackendName(const ::testing::TestParamInfo<Backend>& info) {
    return info.param == Backend::Sqlite ? "sqlite" : "postgres";
}
inline void PrintTo(Backend backend, std::ostream* os) { *os << (backend == Backend::Sqlite ? "SQLite" : "PostgreSQL"); }

// Test ranges: 16 MAC addresses, 100 serial numbers, 16 Bluetooth addresses.
inline constexpr std::uint64_t kMacStart = 0x001122000000ULL;  // 00:11:22:00:00:00
inline constexpr std::uint64_t kBtStart = 0x44A6E6000000ULL;
inline const std::string kSerialPrefix = "AABBCCXXDDEEFFGGHH11223344556677";

// The test ranges, every pool on.
inline void UseTestPools(RecordStore& store) {
    ASSERT_TRUE(store.SetPoolRange({PoolKind::Mac, "", kMacStart, kMacStart + 15}));
    ASSERT_TRUE(store.SetPoolRange({PoolKind::Serial, kSerialPrefix, 100, 199}));
    ASSERT_TRUE(store.SetPoolRange({PoolKind::Bluetooth, "", kBtStart, kBtStart + 15}));
    for (PoolKind kind : kPoolKinds) ASSERT_TRUE(store.SetPoolEnabled(kind, true));
}

inline BurnStart TestStart(const std::string& port, unsigned channel, std::int64_t timeUs = 0) {
    BurnStart start;
    start.port = port;
    start.channel = channel;
    start.start_time_us = timeUs;
    start.chip_type = 8;
    start.medium = 1;
    start.boot_mode = 0;
    start.burn_file = "images/whole_flash.bin";
    start.burn_file_size = 16777216;
    start.burn_file_sha256 = "5f3c0d6a0e0b7c1f2a4b6c8d0e1f2a3b4c5d6e7f8091a2b3c4d5e6f708192a3b";
    start.log_file = "log/ch[1]_log24_05_01.txt";
    return start;
}

inline BurnEnd TestEnd(BurnResult result, unsigned code, const std::string& status) {
    BurnEnd end;
    end.result = result;
    end.status_code = code;
    end.status = status;
    end.bytes = 70522;
    end.duration_s = 1.6;
    end.flash_id = 0xef4017;
    return end;
}

class StoreFixture : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        location.outbox_path = folder.Path("records_outbox.jsonl");
        if (GetParam() == Backend::Sqlite) {
            location.target = folder.Path("records.db");
            return;
        }
        if (std::string why = PostgresServer::Unavailable(); !why.empty()) GTEST_SKIP() << "PostgreSQL: " << why;
        std::string why;
        PostgresServer* server = SharedPostgresServer(why);
        ASSERT_NE(server, nullptr) << why;
        location.backend = RecordsLocation::Backend::Postgres;
        location.target = server->NewDatabase(why);
        ASSERT_FALSE(location.target.empty()) << why;
    }

    std::unique_ptr<RecordStore> Open(StationIdentity who = {"line-1", "host-a"}) {
        return RecordStore::Open(location, who);
    }

    config::testing::TempFolder folder;
    RecordsLocation location;
};

}  // namespace kestrow::records::testing
