// What the records store costs a station, and how a fleet shares one pool:
//   1. a board's store work (begin the record, take MAC + serial + Bluetooth,
//      finish the record) on SQLite and on PostgreSQL;
//   2. four processes taking 2,500 MAC addresses each at once from one
//      PostgreSQL pool: duplicates and allocations per second;
//   3. `kestrow records --mac ADDR` over 1,000,000 records, SQLite and PostgreSQL.
// The PostgreSQL server is a throwaway one on 127.0.0.1, with fsync on as a
// real one has. Figures only; nothing here passes or fails.
//
//   records_bench [FOLDER]    (FOLDER: where the SQLite files go; default /tmp)
#include "kestrow/records/record_store.h"
#include "kestrow/records/sql_connection.h"
#include "tests/kestrow/records/postgres_server.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace kestrow::records;
using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kMacStart = 0x001122000000ULL;
constexpr int kBoards = 300;
constexpr int kFleetProcesses = 4;
constexpr int kFleetEach = 2500;
constexpr int kRecordRows = 1000000;
constexpr int kLookups = 15;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

void PrintSpread(const char* what, std::vector<double> ms, const char* goal) {
    std::sort(ms.begin(), ms.end());
    double sum = 0;
    for (double m : ms) sum += m;
    std::printf("%-44s mean %7.2f ms  median %7.2f ms  p95 %7.2f ms  max %7.2f ms  (goal %s)\n", what,
                sum / static_cast<double>(ms.size()), ms[ms.size() / 2], ms[ms.size() * 95 / 100], ms.back(), goal);
}

bool UseBenchPools(RecordStore& store, std::uint64_t macs) {
    return store.SetPoolRange({PoolKind::Mac, "", kMacStart, kMacStart + macs - 1}) &&
           store.SetPoolRange({PoolKind::Serial, "AABBCCXXDDEEFFGGHH11223344556677", 0, 999999}) &&
           store.SetPoolRange({PoolKind::Bluetooth, "", 0x44A6E6000000ULL, 0x44A6E6FFFFFFULL}) &&
           store.SetPoolEnabled(PoolKind::Mac, true) && store.SetPoolEnabled(PoolKind::Serial, true) &&
           store.SetPoolEnabled(PoolKind::Bluetooth, true);
}

// Begin + allocate + finish, as a station does for every board.
void BoardCost(const char* what, const RecordsLocation& location, const char* goal) {
    std::unique_ptr<RecordStore> store = RecordStore::Open(location, {"bench", "bench-host"});
    if (!UseBenchPools(*store, 1 << 20)) {
        std::printf("%s: the pools cannot be set: %s\n", what, store->CheckReachable().error().message.c_str());
        return;
    }
    std::vector<double> ms, begin, allocate, finish;
    for (int board = 0; board < kBoards; ++board) {
        BurnStart start;
        start.port = "/dev/pts/1";
        start.channel = 1;
        start.burn_file = "whole.bin";
        start.burn_file_sha256 = std::string(64, 'a');
        BurnEnd end;
        end.result = BurnResult::Passed;
        end.status_code = 105;
        end.status = "Completion";
        const auto t0 = Clock::now();
        StoreResult<RecordId> id = store->BeginRecord(start);
        const auto t1 = Clock::now();
        StoreResult<Identity> identity = id ? store->AllocateIdentity(*id, PoolSet::All()) : id.error();
        const auto t2 = Clock::now();
        StoreResult<Delivery> done = id ? store->FinishRecord(*id, end) : id.error();
        const auto t3 = Clock::now();
        ms.push_back(Ms(t3 - t0));
        begin.push_back(Ms(t1 - t0));
        allocate.push_back(Ms(t2 - t1));
        finish.push_back(Ms(t3 - t2));
        if (!identity || !done) {
            std::printf("%s: %s\n", what, (!identity ? identity.error() : done.error()).message.c_str());
            return;
        }
    }
    PrintSpread(what, ms, goal);
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    std::printf("  medians: begin %.2f ms, allocate MAC+serial+Bluetooth %.2f ms, finish %.2f ms "
                "(each one durable commit)\n",
                median(begin), median(allocate), median(finish));
}

void FleetAllocation(const std::string& url, const std::string& outboxFolder) {
    RecordsLocation location{RecordsLocation::Backend::Postgres, url, outboxFolder + "/fleet_outbox.jsonl"};
    std::unique_ptr<RecordStore> store = RecordStore::Open(location, {"bench", "bench-host"});
    if (!UseBenchPools(*store, 1 << 20)) {
        std::printf("fleet: the pools cannot be set\n");
        return;
    }
    int go[2];
    if (pipe(go) != 0) return;
    std::vector<std::pair<pid_t, int>> children;
    for (int c = 0; c < kFleetProcesses; ++c) {
        int out[2];
        if (pipe(out) != 0) return;
        pid_t pid = fork();
        if (pid == 0) {
            close(go[1]);
            close(out[0]);
            char byte;
            if (read(go[0], &byte, 1) != 0) _exit(3);
            std::unique_ptr<RecordStore> station =
                RecordStore::Open(location, {"station-" + std::to_string(c), "bench-host"});
            PoolSet mac;
            mac.mac = true;
            std::string lines;
            for (int i = 0; i < kFleetEach; ++i) {
                StoreResult<Identity> got = station->AllocateIdentity(std::nullopt, mac);
                lines += (got ? got->mac : "error: " + got.error().message) + "\n";
            }
            for (std::size_t done = 0; done < lines.size();) {
                ssize_t n = write(out[1], lines.data() + done, lines.size() - done);
                if (n <= 0) _exit(4);
                done += static_cast<std::size_t>(n);
            }
            _exit(0);
        }
        close(out[1]);
        children.emplace_back(pid, out[0]);
    }
    close(go[0]);
    // Every station has connected before the clock starts.
    sleep(1);
    const auto t0 = Clock::now();
    close(go[1]);
    std::vector<std::string> all;
    for (auto& [pid, fd] : children) {
        std::string text;
        char buffer[65536];
        for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
        close(fd);
        waitpid(pid, nullptr, 0);
        for (std::size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
            all.push_back(text.substr(at, end - at));
    }
    const double seconds = Ms(Clock::now() - t0) / 1000;
    std::vector<std::string> given;
    std::copy_if(all.begin(), all.end(), std::back_inserter(given),
                 [](const std::string& s) { return s.rfind("error", 0) != 0; });
    const std::set<std::string> distinct(given.begin(), given.end());
    std::printf("fleet: %d processes x %d MAC addresses from one PostgreSQL pool: %zu handed out, %zu duplicates, "
                "%zu errors, %.0f allocations/s (%.2f s)\n",
                kFleetProcesses, kFleetEach, given.size(), given.size() - distinct.size(), all.size() - given.size(),
                static_cast<double>(given.size()) / seconds, seconds);
    for (const std::string& line : all)
        if (line.rfind("error", 0) == 0) {
            std::printf("  first error: %s\n", line.c_str());
            break;
        }
}

// A million finished boards, MAC 00:11:22:XX:XX:XX from the row number.
void FillRecords(SqlConnection& db) {
    const char* numbers = db.IsPostgres() ? "SELECT CAST(i AS BIGINT) AS i FROM generate_series(0, 999999) AS g(i)"
                                          : "WITH RECURSIVE g(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM g WHERE i < 999999) "
                                            "SELECT i FROM g";
    const char* mac = db.IsPostgres()
                          ? "'00:11:22:' || upper(lpad(to_hex((i >> 16) & 255), 2, '0')) || ':' || "
                            "upper(lpad(to_hex((i >> 8) & 255), 2, '0')) || ':' || upper(lpad(to_hex(i & 255), 2, '0'))"
                          : "printf('00:11:22:%02X:%02X:%02X', (i >> 16) & 255, (i >> 8) & 255, i & 255)";
    db.BeginWrite();
    db.Exec(std::string("INSERT INTO records (station, host, port, channel, start_time_us, burn_file, "
                        "burn_file_sha256, mac, result, status_code, status, bytes, duration_s) "
                        "SELECT 'bench', 'bench-host', '/dev/pts/1', 1, 1714557600000000 + i * 1000000, 'whole.bin', "
                        "'c0ffee', ") +
            mac + ", CASE WHEN i % 20 = 0 THEN 'failed' ELSE 'passed' END, 105, 'Completion', 70522, 1.6 FROM (" +
            numbers + ") AS n");
    db.Exec("COMMIT");
}

// Wall time of `command` (a whole kestrow process), kLookups times; its output in `output`.
std::vector<double> TimeCommand(const std::string& command, std::string& output) {
    std::vector<double> ms;
    for (int i = 0; i < kLookups; ++i) {
        const auto t0 = Clock::now();
        FILE* pipe = popen(command.c_str(), "r");
        output.clear();
        char buffer[4096];
        for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
        pclose(pipe);
        ms.push_back(Ms(Clock::now() - t0));
    }
    return ms;
}

void LookupByMac(const char* what, const std::string& station, const std::string& records) {
    // The query alone, inside one process.
    std::unique_ptr<RecordStore> store = OpenStationStore(station, records);
    std::vector<double> query;
    for (int i = 0; i < kLookups; ++i) {
        const auto t0 = Clock::now();
        StoreResult<std::vector<BurnRecord>> found = store->Records({.mac = "00:11:22:07:A1:20"});
        query.push_back(Ms(Clock::now() - t0));
        if (!found || found->size() != 1) std::printf("  (the lookup found %zu records)\n", found ? found->size() : 0);
    }
    PrintSpread((std::string(what).substr(0, std::string(what).find(',')) + ", the query alone").c_str(), query, "-");
    std::string output;
    // What starting the program costs by itself, for comparison.
    static const std::vector<double> start = TimeCommand(std::string("'") + KESTROW_EXE + "' --version", output);
    static bool shown = false;
    if (!shown) PrintSpread("kestrow --version (the program's start alone)", start, "-");
    shown = true;
    std::vector<double> ms = TimeCommand(std::string("'") + KESTROW_EXE + "' records --station '" + station + "'" +
                                             (records.empty() ? "" : " --records '" + records + "'") +
                                             " --json --mac 00:11:22:07:A1:20",
                                         output);
    PrintSpread(what, ms, "<= 50 ms");
    if (output.find("\"mac\":\"00:11:22:07:A1:20\"") == std::string::npos)
        std::printf("  (the record was not found: %s)\n", output.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const fs::path base = argc > 1 ? argv[1] : "/tmp";
    const fs::path folder = base / ("kestrow-records-bench-" + std::to_string(getpid()));
    fs::create_directories(folder);
    std::printf("records bench: SQLite files in %s\n", folder.c_str());

    BoardCost("SQLite, per board (begin+allocate+finish)",
              {RecordsLocation::Backend::Sqlite, (folder / "board.db").string(), (folder / "outbox.jsonl").string()},
              "<= 5 ms");

    const fs::path lookupStation = folder / "lookup";
    fs::create_directories(lookupStation);
    {
        const auto t0 = Clock::now();
        RecordStore::Open(ResolveRecordsLocation(lookupStation.string(), ""), {"bench", "bench-host"})->CheckReachable();
        std::unique_ptr<SqlConnection> db = OpenSqlite((lookupStation / "records.db").string(), false);
        FillRecords(*db);
        std::printf("SQLite: %d records written in %.1f s\n", kRecordRows, Ms(Clock::now() - t0) / 1000);
    }
    LookupByMac("SQLite, kestrow records --mac (1,000,000 rows)", lookupStation.string(), "");

    std::string why = kestrow::records::testing::PostgresServer::Unavailable();
    kestrow::records::testing::PostgresServer server({.durable = true});
    if (why.empty() && server.Start(why)) {
        std::string boardDb = server.NewDatabase(why), fleetDb = server.NewDatabase(why), lookupDb = server.NewDatabase(why);
        BoardCost("PostgreSQL, per board (begin+allocate+finish)",
                  {RecordsLocation::Backend::Postgres, boardDb, (folder / "outbox.jsonl").string()}, "<= 20 ms");
        FleetAllocation(fleetDb, folder.string());
        const auto t0 = Clock::now();
        RecordStore::Open({RecordsLocation::Backend::Postgres, lookupDb, (folder / "outbox.jsonl").string()},
                          {"bench", "bench-host"})
            ->CheckReachable();
        std::unique_ptr<SqlConnection> db = OpenPostgres(lookupDb);
        FillRecords(*db);
        db->Exec("ANALYZE records");
        std::printf("PostgreSQL: %d records written in %.1f s\n", kRecordRows, Ms(Clock::now() - t0) / 1000);
        LookupByMac("PostgreSQL, kestrow records --mac (1,000,000 rows)", lookupStation.string(), lookupDb);
    } else {
        std::printf("PostgreSQL figures left out: %s\n", why.c_str());
    }
    fs::remove_all(folder);
    return 0;
}
