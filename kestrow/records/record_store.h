#pragma once
// Burn records and identity pools of a station, behind one interface.
//
// The store is an SQLite file (records.db in the station folder, the default:
// nothing to install or start) or a PostgreSQL database that a fleet of
// stations shares (records_location.h says which). Both carry one schema,
// created and migrated on first contact (schema.h). The pools' ranges, next
// values and burn flags live in the store as well, so that taking an address
// is one transaction on either backend: any number of threads, processes and
// stations drawing from one pool never get the same value.
//
// What a station does with it (this is the sequence the burn front follows):
//
//   std::unique_ptr<RecordStore> store = OpenStationStore(folder, url);   // url: --records, may be empty
//   store->MarkInterrupted();          // start-up: last run's "running" rows become "interrupted"
//   store->RaiseNext(PoolKind::Mac, derivedFromConfigAddr);   // start-up: never lower, only raise
//
//   per board, when it starts:
//     if (StoreStatus s = store->CheckReachable(); !s)  -> take no board; show s.error().message
//     StoreResult<RecordId> id = store->BeginRecord(start);   // row is "running" from here on
//     if (!id) -> do not burn this board; show id.error().message
//   when the whole-flash image starts to stream (not for boot-loader-only burns):
//     StoreResult<Identity> got = store->AllocateIdentity(*id, poolsThisImageHas);
//     if (!got) -> end the burn before writing anything; got.error().message (language
//                  entry got.error().language_entry when the pool is used up)
//     ... write got->mac / serial / bluetooth into the image's data partitions ...
//   when the burn ends, passed or failed:
//     StoreResult<Delivery> done = store->FinishRecord(*id, end);
//     // Delivery::KeptLocally: the store was out of reach; the result waits in
//     // the station's outbox and is delivered when the store answers again.
//
// An address is taken for good: a failed or interrupted burn does not give it
// back. Every call is safe from any thread (one lock per store object) and
// reports failure as a StoreError result, never by an exception. A lost
// PostgreSQL server is reconnected on the next call; until then calls fail
// with StoreErrorKind::Unreachable, and CheckReachable says so up front.
#include "kestrow/records/identity_pools.h"
#include "kestrow/records/records_location.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace kestrow::records {

enum class StoreErrorKind {
    Unreachable,   // the database cannot be reached now (server down, file unwritable, locked too long)
    PoolUsedUp,    // a pool the board must take from has no value left
    NotFound,      // no such record, or no store at the location (see OpenOptions::create)
    InvalidInput,  // a value the store refuses (a range, a record already finished)
    Failed,        // anything else the database refused
};

struct StoreError {
    StoreErrorKind kind = StoreErrorKind::Failed;
    std::string message;  // says what failed and where, ready to show
    // For PoolUsedUp: the pool and the language entry of its message.
    std::optional<PoolKind> pool;
    std::size_t language_entry = 0;
};

// A value or the reason there is none.
template <class T>
class StoreResult {
public:
    StoreResult(T value) : v_(std::move(value)) {}
    StoreResult(StoreError error) : v_(std::move(error)) {}
    explicit operator bool() const { return v_.index() == 0; }
    const T& operator*() const { return std::get<0>(v_); }
    T& operator*() { return std::get<0>(v_); }
    const T* operator->() const { return &std::get<0>(v_); }
    const StoreError& error() const { return std::get<1>(v_); }

private:
    std::variant<T, StoreError> v_;
};

struct Done {};
using StoreStatus = StoreResult<Done>;

using RecordId = std::int64_t;

enum class BurnResult { Running, Passed, Failed, Interrupted };
// "running", "passed", "failed", "interrupted".
std::string_view BurnResultName(BurnResult result);
std::optional<BurnResult> BurnResultFromName(std::string_view name);

// What is known when a board starts.
struct BurnStart {
    std::string port;
    unsigned channel = 0;
    std::int64_t start_time_us = 0;  // UTC, microseconds since 1970; 0: now
    std::int32_t chip_type = -1, medium = -1, boot_mode = -1;
    std::string burn_file;
    std::uint64_t burn_file_size = 0;
    std::string burn_file_sha256;  // lower-case hex
    std::string log_file;          // the channel log
};

// What is known when its burn ends.
struct BurnEnd {
    BurnResult result = BurnResult::Failed;  // Passed, Failed or Interrupted
    unsigned status_code = 0;                // the last status code
    std::string status;                      // and its text
    std::uint64_t bytes = 0;
    double duration_s = 0;
    std::uint32_t flash_id = 0;
};

// The addresses given to one board; empty for a pool it did not take from.
struct Identity {
    std::string mac, serial, bluetooth;
};

// A record as stored.
struct BurnRecord {
    RecordId id = 0;
    std::string station, host;
    BurnStart start;
    Identity identity;
    BurnEnd end;  // result Running while the burn goes on
};

struct RecordFilter {
    std::optional<std::int64_t> since_us = {};  // start time at or after
    std::optional<BurnResult> result = {};
    std::optional<std::string> mac = {};        // "01:02:03:AA:00:05", either case
};

// Passed, failed and interrupted boards of one UTC hour.
struct HourCounts {
    std::int64_t hour_start_us = 0;
    std::uint64_t passed = 0, failed = 0, interrupted = 0;
};
struct StatusCount {
    unsigned status_code = 0;
    std::string status;
    std::uint64_t count = 0;
};
struct RecordSummary {
    std::vector<HourCounts> hours;          // oldest first, hours without boards left out
    std::vector<StatusCount> failures;      // most frequent failure statuses first
};

enum class Delivery { Stored, KeptLocally };

struct OpenOptions {
    bool create = true;  // false: an SQLite file that does not exist gives NotFound
};

class SqlConnection;
class Outbox;

class RecordStore {
public:
    // Nothing is connected yet: the first call connects, migrates the schema
    // and delivers the outbox (and so does the first call after a lost link).
    static std::unique_ptr<RecordStore> Open(const RecordsLocation& location, const StationIdentity& station,
                                             OpenOptions options = {});
    ~RecordStore();
    RecordStore(const RecordStore&) = delete;
    RecordStore& operator=(const RecordStore&) = delete;

    const RecordsLocation& Location() const { return location_; }
    const StationIdentity& Station() const { return station_; }

    // Connected, at the current schema, outbox delivered when it can be. A
    // station takes no board while this fails; the message says why.
    StoreStatus CheckReachable();

    // ---- pools ----
    StoreResult<std::vector<PoolState>> Pools();  // in kPoolKinds order
    // Sets a pool's range (checked beforehand, see identity_pools.h). The next
    // value never goes below what this store has already handed out inside
    // the new range: it becomes the greatest of the range's start, the old
    // next value (when it lies in the new range) and one past the highest
    // value of the range found in the records.
    StoreStatus SetPoolRange(const PoolRange& range);
    StoreStatus SetPoolEnabled(PoolKind kind, bool enabled);
    // Next becomes at least `value` (but not beyond the end + 1); it is
    // never lowered. True when it moved.
    StoreResult<bool> RaiseNext(PoolKind kind, std::uint64_t value);
    // "Current MAC Reset" (and the like for the other pools): next = start.
    // Values from the start on are handed out again; the records still say
    // which boards have them.
    StoreStatus ResetPool(PoolKind kind);

    // Takes the next value of every pool in `wanted` that is enabled, all in
    // one transaction, and writes them into record `id` in the same
    // transaction (no record: nullopt). A used-up pool takes nothing from any
    // pool and fails with PoolUsedUp and its message.
    StoreResult<Identity> AllocateIdentity(std::optional<RecordId> id, PoolSet wanted);

    // ---- records ----
    StoreResult<RecordId> BeginRecord(const BurnStart& start);
    // Passed, failed or interrupted. When the store cannot take it, the end
    // is appended (and synced) to the station's outbox: KeptLocally. Only
    // when that fails too is the result an error.
    StoreResult<Delivery> FinishRecord(RecordId id, const BurnEnd& end);
    // This station's "running" rows become "interrupted"; how many.
    StoreResult<std::uint64_t> MarkInterrupted();
    // Records in start-time order, to `sink` one at a time.
    StoreStatus ForEachRecord(const RecordFilter& filter, const std::function<void(const BurnRecord&)>& sink);
    StoreResult<std::vector<BurnRecord>> Records(const RecordFilter& filter);
    StoreResult<RecordSummary> Summarize(const RecordFilter& filter, std::size_t topFailures = 5);

    // ---- outbox ----
    // Delivers what the outbox holds for this store; how many were delivered.
    StoreResult<std::uint64_t> DeliverOutbox();
    std::uint64_t OutboxPending();

private:
    RecordStore(RecordsLocation location, StationIdentity station, OpenOptions options);

    // Runs `work` on a connected, migrated store; SqlError becomes StoreError.
    template <class T, class Work>
    StoreResult<T> WithConnection(Work&& work);
    SqlConnection& Connect();
    std::uint64_t DeliverOutboxConnected();
    void TryDeliverOutbox();

    RecordsLocation location_;
    StationIdentity station_;
    OpenOptions options_;
    std::mutex mutex_;
    std::unique_ptr<SqlConnection> connection_;
    std::string store_id_;
    std::unique_ptr<Outbox> outbox_;
};

// The store of a station folder: ResolveRecordsLocation and
// ResolveStationIdentity of the folder, `records` being --records (may be empty).
std::unique_ptr<RecordStore> OpenStationStore(const std::string& stationFolder, const std::string& records,
                                              OpenOptions options = {});

}  // namespace kestrow::records
