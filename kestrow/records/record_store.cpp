#include "kestrow/records/record_store.h"

#include "kestrow/config/text_util.h"
#include "kestrow/records/outbox.h"
#include "kestrow/records/schema.h"
#include "kestrow/records/sql_connection.h"

#include <array>
#include <chrono>
#include <filesystem>

namespace kestrow::records {
namespace {

constexpr std::array<std::string_view, 4> kResultNames = {"running", "passed", "failed", "interrupted"};
constexpr const char* kInterruptedStatus = "the station stopped before this burn ended";
constexpr std::int64_t kMicrosecondsPerHour = 3600LL * 1000 * 1000;

// A StoreError raised inside a unit of work; WithConnection returns it.
struct StoreException {
    StoreError error;
};

StoreError MakeError(StoreErrorKind kind, std::string message) {
    StoreError error;
    error.kind = kind;
    error.message = std::move(message);
    return error;
}

[[noreturn]] void Refuse(StoreErrorKind kind, std::string message) {
    throw StoreException{MakeError(kind, std::move(message))};
}

std::int64_t NowUs() {
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

// The records column that holds a pool's value.
const char* PoolColumn(PoolKind kind) {
    switch (kind) {
        case PoolKind::Mac: return "mac";
        case PoolKind::Serial: return "serial";
        case PoolKind::Bluetooth: return "bluetooth";
    }
    return "";
}

std::string Key(PoolKind kind) { return std::string(PoolKey(kind)); }

std::int64_t Int(const std::optional<std::string>& cell) { return cell ? std::stoll(*cell) : 0; }
std::uint64_t Unsigned(const std::optional<std::string>& cell) { return cell ? std::stoull(*cell) : 0; }
double Real(const std::optional<std::string>& cell) { return cell ? std::stod(*cell) : 0.0; }
std::string Text(const std::optional<std::string>& cell) { return cell.value_or(""); }
SqlValue Big(std::uint64_t value) { return static_cast<std::int64_t>(value); }
SqlValue TextOrNull(const std::string& text) { return text.empty() ? SqlValue{} : SqlValue{text}; }

PoolState PoolFromRow(PoolKind kind, const SqlRow& row) {
    PoolState pool;
    pool.range = {kind, Text(row[0]), Unsigned(row[1]), Unsigned(row[2])};
    pool.next = Unsigned(row[3]);
    pool.enabled = Int(row[4]) != 0;
    pool.handed_out = Unsigned(row[5]);
    return pool;
}

constexpr const char* kPoolColumns = "prefix, start_value, end_value, next_value, enabled, handed_out";

PoolState LoadPool(SqlConnection& db, PoolKind kind) {
    std::vector<SqlRow> rows = db.Rows(std::string("SELECT ") + kPoolColumns + " FROM pools WHERE kind = ?1", {Key(kind)});
    if (rows.empty()) Refuse(StoreErrorKind::Failed, "the store has no " + std::string(PoolTitle(kind)) + " pool");
    return PoolFromRow(kind, rows[0]);
}

constexpr const char* kRecordColumns =
    "id, station, host, port, channel, start_time_us, duration_s, flash_id, chip_type, medium, boot_mode, burn_file,"
    " burn_file_size, burn_file_sha256, mac, serial, bluetooth, result, status_code, status, bytes, log_file";

BurnRecord RecordFromRow(const SqlRow& r) {
    BurnRecord record;
    record.id = Int(r[0]);
    record.station = Text(r[1]);
    record.host = Text(r[2]);
    BurnStart& s = record.start;
    s.port = Text(r[3]);
    s.channel = static_cast<unsigned>(Int(r[4]));
    s.start_time_us = Int(r[5]);
    s.chip_type = static_cast<std::int32_t>(Int(r[8]));
    s.medium = static_cast<std::int32_t>(Int(r[9]));
    s.boot_mode = static_cast<std::int32_t>(Int(r[10]));
    s.burn_file = Text(r[11]);
    s.burn_file_size = Unsigned(r[12]);
    s.burn_file_sha256 = Text(r[13]);
    s.log_file = Text(r[21]);
    record.identity = {Text(r[14]), Text(r[15]), Text(r[16])};
    BurnEnd& e = record.end;
    e.duration_s = Real(r[6]);
    e.flash_id = static_cast<std::uint32_t>(Unsigned(r[7]));
    e.result = BurnResultFromName(Text(r[17])).value_or(BurnResult::Failed);
    e.status_code = static_cast<unsigned>(Int(r[18]));
    e.status = Text(r[19]);
    e.bytes = Unsigned(r[20]);
    return record;
}

// WHERE clause and its parameters for a filter.
struct Where {
    std::string sql;
    std::vector<SqlValue> params;
    void Add(const std::string& condition, SqlValue value) {
        params.push_back(std::move(value));
        std::string numbered = condition;
        numbered.replace(numbered.find('?'), 1, "?" + std::to_string(params.size()));
        sql += (sql.empty() ? " WHERE " : " AND ") + numbered;
    }
};

Where WhereOf(const RecordFilter& filter) {
    Where where;
    if (filter.since_us) where.Add("start_time_us >= ?", *filter.since_us);
    if (filter.result) where.Add("result = ?", std::string(BurnResultName(*filter.result)));
    if (filter.mac) where.Add("mac = ?", config::ToUpperAscii(*filter.mac));
    return where;
}

}  // namespace

std::string_view BurnResultName(BurnResult result) { return kResultNames[static_cast<std::size_t>(result)]; }

std::optional<BurnResult> BurnResultFromName(std::string_view name) {
    for (std::size_t i = 0; i < kResultNames.size(); ++i)
        if (kResultNames[i] == name) return static_cast<BurnResult>(i);
    return std::nullopt;
}

std::unique_ptr<RecordStore> RecordStore::Open(const RecordsLocation& location, const StationIdentity& station,
                                               OpenOptions options) {
    return std::unique_ptr<RecordStore>(new RecordStore(location, station, options));
}

std::unique_ptr<RecordStore> OpenStationStore(const std::string& stationFolder, const std::string& records,
                                              OpenOptions options) {
    return RecordStore::Open(ResolveRecordsLocation(stationFolder, records), ResolveStationIdentity(stationFolder),
                             options);
}

RecordStore::RecordStore(RecordsLocation location, StationIdentity station, OpenOptions options)
    : location_(std::move(location)),
      station_(std::move(station)),
      options_(options),
      outbox_(std::make_unique<Outbox>(location_.outbox_path)) {}

RecordStore::~RecordStore() = default;

SqlConnection& RecordStore::Connect() {
    if (connection_ && !connection_->StillConnected()) connection_.reset();
    if (connection_) return *connection_;
    if (location_.backend == RecordsLocation::Backend::Sqlite && !options_.create &&
        !std::filesystem::exists(location_.target))
        Refuse(StoreErrorKind::NotFound, "there are no records yet: " + location_.target + " does not exist");
    std::unique_ptr<SqlConnection> connection = location_.backend == RecordsLocation::Backend::Postgres
                                                    ? OpenPostgres(location_.target)
                                                    : OpenSqlite(location_.target, options_.create);
    MigrateSchema(*connection);
    store_id_ = StoreId(*connection);
    connection_ = std::move(connection);
    TryDeliverOutbox();
    return *connection_;
}

template <class T, class Work>
StoreResult<T> RecordStore::WithConnection(Work&& work) {
    std::lock_guard lock(mutex_);
    try {
        return work(Connect());
    } catch (const StoreException& e) {
        return e.error;
    } catch (const SqlError& e) {
        if (e.connection_lost) {
            connection_.reset();
            return MakeError(StoreErrorKind::Unreachable,
                              "the records store " + location_.Describe() + " cannot be reached: " + e.what());
        }
        return MakeError(StoreErrorKind::Failed, "the records store " + location_.Describe() + ": " + e.what());
    } catch (const std::exception& e) {
        return MakeError(StoreErrorKind::Failed, "the records store " + location_.Describe() + ": " + e.what());
    }
}

StoreStatus RecordStore::CheckReachable() {
    return WithConnection<Done>([this](SqlConnection& db) {
        db.Exec("SELECT 1");
        TryDeliverOutbox();
        return Done{};
    });
}

StoreResult<std::vector<PoolState>> RecordStore::Pools() {
    return WithConnection<std::vector<PoolState>>([](SqlConnection& db) {
        std::vector<PoolState> pools;
        for (PoolKind kind : kPoolKinds) pools.push_back(LoadPool(db, kind));
        return pools;
    });
}

StoreStatus RecordStore::SetPoolRange(const PoolRange& range) {
    if (auto problem = CheckPoolRange(range)) return MakeError(StoreErrorKind::InvalidInput, problem->text);
    return WithConnection<Done>([&range](SqlConnection& db) {
        WriteTransaction transaction(db);
        const PoolState old = LoadPool(db, range.kind);
        if (old.range.prefix == range.prefix && old.range.start == range.start && old.range.end == range.end)
            return Done{};
        std::uint64_t next = range.start;
        if (old.range.prefix == range.prefix && old.next > range.start && old.next <= range.end + 1) next = old.next;
        // Boards of this store that already carry a value of the new range.
        const std::string column = PoolColumn(range.kind);
        std::optional<std::string> highest = db.Scalar(
            "SELECT MAX(" + column + ") FROM records WHERE " + column + " >= ?1 AND " + column + " <= ?2",
            {FormatPoolValue(range.kind, range.prefix, range.start), FormatPoolValue(range.kind, range.prefix, range.end)});
        if (highest)
            if (std::optional<std::uint64_t> value = ParsePoolValue(range.kind, range.prefix, *highest))
                next = std::max(next, *value + 1);
        db.Exec("UPDATE pools SET prefix = ?2, start_value = ?3, end_value = ?4, next_value = ?5, handed_out = 0"
                " WHERE kind = ?1",
                {Key(range.kind), range.prefix, Big(range.start), Big(range.end), Big(next)});
        transaction.Commit();
        return Done{};
    });
}

StoreStatus RecordStore::SetPoolEnabled(PoolKind kind, bool enabled) {
    return WithConnection<Done>([kind, enabled](SqlConnection& db) {
        WriteTransaction transaction(db);
        // A range that would give boards unusable addresses (the multicast
        // default MAC range, say) is never switched on.
        if (enabled)
            if (auto problem = CheckPoolRange(LoadPool(db, kind).range))
                Refuse(StoreErrorKind::InvalidInput, problem->text);
        db.Exec("UPDATE pools SET enabled = ?2 WHERE kind = ?1", {Key(kind), std::int64_t{enabled ? 1 : 0}});
        transaction.Commit();
        return Done{};
    });
}

StoreResult<bool> RecordStore::RaiseNext(PoolKind kind, std::uint64_t value) {
    return WithConnection<bool>([kind, value](SqlConnection& db) {
        const char* sql =
            "UPDATE pools SET next_value = CASE WHEN ?2 > end_value + 1 THEN end_value + 1 ELSE ?2 END"
            " WHERE kind = ?1 AND next_value < (CASE WHEN ?2 > end_value + 1 THEN end_value + 1 ELSE ?2 END)"
            " RETURNING next_value";
        return !db.Rows(sql, {Key(kind), Big(value)}).empty();
    });
}

StoreStatus RecordStore::ResetPool(PoolKind kind) {
    return WithConnection<Done>([kind](SqlConnection& db) {
        db.Exec("UPDATE pools SET next_value = start_value, handed_out = 0 WHERE kind = ?1", {Key(kind)});
        return Done{};
    });
}

StoreResult<Identity> RecordStore::AllocateIdentity(std::optional<RecordId> id, PoolSet wanted) {
    return WithConnection<Identity>([id, wanted](SqlConnection& db) {
        WriteTransaction transaction(db);
        Identity identity;
        for (PoolKind kind : kPoolKinds) {
            if (!wanted.Has(kind)) continue;
            // Row-locked in PostgreSQL, under the write lock in SQLite: the
            // value read back is this transaction's alone.
            std::vector<SqlRow> taken = db.Rows(
                "UPDATE pools SET next_value = next_value + 1, handed_out = handed_out + 1"
                " WHERE kind = ?1 AND enabled = 1 AND next_value <= end_value RETURNING next_value - 1, prefix",
                {Key(kind)});
            if (taken.empty()) {
                const PoolState pool = LoadPool(db, kind);
                if (!pool.enabled) continue;
                StoreError usedUp = MakeError(
                    StoreErrorKind::PoolUsedUp,
                    PoolUsedUpMessage(kind) + " (" + std::string(PoolTitle(kind)) + " pool " +
                        FormatPoolValue(kind, pool.range.prefix, pool.range.start) + " .. " +
                        FormatPoolValue(kind, pool.range.prefix, pool.range.end) + ": every value has been handed out)");
                usedUp.pool = kind;
                usedUp.language_entry = PoolUsedUpEntry(kind);
                throw StoreException{usedUp};
            }
            std::string value = FormatPoolValue(kind, Text(taken[0][1]), Unsigned(taken[0][0]));
            (kind == PoolKind::Mac ? identity.mac : kind == PoolKind::Serial ? identity.serial : identity.bluetooth) =
                value;
        }
        if (id) {
            std::vector<SqlRow> updated = db.Rows(
                "UPDATE records SET mac = COALESCE(?2, mac), serial = COALESCE(?3, serial),"
                " bluetooth = COALESCE(?4, bluetooth) WHERE id = ?1 AND result = 'running' RETURNING id",
                {*id, TextOrNull(identity.mac), TextOrNull(identity.serial), TextOrNull(identity.bluetooth)});
            if (updated.empty())
                Refuse(StoreErrorKind::InvalidInput,
                       "record " + std::to_string(*id) + " is not a running burn; no address was taken for it");
        }
        transaction.Commit();
        return identity;
    });
}

StoreResult<RecordId> RecordStore::BeginRecord(const BurnStart& start) {
    return WithConnection<RecordId>([this, &start](SqlConnection& db) {
        std::optional<std::string> id = db.Scalar(
            "INSERT INTO records (station, host, port, channel, start_time_us, chip_type, medium, boot_mode,"
            " burn_file, burn_file_size, burn_file_sha256, log_file, result)"
            " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, 'running') RETURNING id",
            {station_.station, station_.host, start.port, std::int64_t{start.channel},
             start.start_time_us ? start.start_time_us : NowUs(), std::int64_t{start.chip_type},
             std::int64_t{start.medium}, std::int64_t{start.boot_mode}, start.burn_file, Big(start.burn_file_size),
             start.burn_file_sha256, start.log_file});
        return static_cast<RecordId>(Int(id));
    });
}

namespace {

// The end of a burn into its row. A row already marked "interrupted" takes
// the real result when it arrives late (from the outbox). False when the
// row holds a finished result already or does not exist.
bool WriteEnd(SqlConnection& db, RecordId id, const BurnEnd& end) {
    return !db.Rows("UPDATE records SET result = ?2, status_code = ?3, status = ?4, bytes = ?5, duration_s = ?6,"
                    " flash_id = ?7 WHERE id = ?1 AND result IN ('running', 'interrupted') RETURNING id",
                    {id, std::string(BurnResultName(end.result)), std::int64_t{end.status_code}, end.status,
                     Big(end.bytes), end.duration_s, std::int64_t{end.flash_id}})
                .empty();
}

}  // namespace

StoreResult<Delivery> RecordStore::FinishRecord(RecordId id, const BurnEnd& end) {
    if (end.result == BurnResult::Running)
        return MakeError(StoreErrorKind::InvalidInput, "a burn cannot end as \"running\"");
    StoreResult<Delivery> stored = WithConnection<Delivery>([id, &end](SqlConnection& db) {
        if (!WriteEnd(db, id, end)) {
            if (!db.Scalar("SELECT result FROM records WHERE id = ?1", {id}))
                Refuse(StoreErrorKind::NotFound, "there is no record " + std::to_string(id));
            Refuse(StoreErrorKind::InvalidInput, "record " + std::to_string(id) + " has ended already");
        }
        return Delivery::Stored;
    });
    if (stored || stored.error().kind == StoreErrorKind::NotFound || stored.error().kind == StoreErrorKind::InvalidInput)
        return stored;
    std::lock_guard lock(mutex_);
    std::string why;
    if (!store_id_.empty() && outbox_->Append(store_id_, id, end, why)) return Delivery::KeptLocally;
    if (store_id_.empty()) why = "the store was never reached, so the result cannot be tied to it";
    return MakeError(stored.error().kind, stored.error().message + "; the result of record " + std::to_string(id) +
                                              " could not be kept in " + outbox_->Path() + " either: " + why);
}

StoreResult<std::uint64_t> RecordStore::MarkInterrupted() {
    return WithConnection<std::uint64_t>([this](SqlConnection& db) {
        return static_cast<std::uint64_t>(
            db.Rows("UPDATE records SET result = 'interrupted', status = CASE WHEN status = '' THEN ?3 ELSE status END"
                    " WHERE station = ?1 AND host = ?2 AND result = 'running' RETURNING id",
                    {station_.station, station_.host, std::string(kInterruptedStatus)})
                .size());
    });
}

StoreStatus RecordStore::ForEachRecord(const RecordFilter& filter, const std::function<void(const BurnRecord&)>& sink) {
    return WithConnection<Done>([&](SqlConnection& db) {
        Where where = WhereOf(filter);
        db.Run(std::string("SELECT ") + kRecordColumns + " FROM records" + where.sql + " ORDER BY start_time_us, id",
               where.params, [&sink](const SqlRow& row) { sink(RecordFromRow(row)); });
        return Done{};
    });
}

StoreResult<std::vector<BurnRecord>> RecordStore::Records(const RecordFilter& filter) {
    std::vector<BurnRecord> records;
    StoreStatus status = ForEachRecord(filter, [&records](const BurnRecord& r) { records.push_back(r); });
    if (!status) return status.error();
    return records;
}

StoreResult<RecordSummary> RecordStore::Summarize(const RecordFilter& filter, std::size_t topFailures) {
    return WithConnection<RecordSummary>([&](SqlConnection& db) {
        RecordSummary summary;
        Where where = WhereOf(filter);
        const std::string hour = "start_time_us / " + std::to_string(kMicrosecondsPerHour);
        db.Run("SELECT " + hour +
                   " AS hour, SUM(CASE WHEN result = 'passed' THEN 1 ELSE 0 END),"
                   " SUM(CASE WHEN result = 'failed' THEN 1 ELSE 0 END),"
                   " SUM(CASE WHEN result = 'interrupted' THEN 1 ELSE 0 END) FROM records" +
                   where.sql + " GROUP BY hour ORDER BY hour",
               where.params, [&summary](const SqlRow& r) {
                   HourCounts counts{Int(r[0]) * kMicrosecondsPerHour, Unsigned(r[1]), Unsigned(r[2]), Unsigned(r[3])};
                   if (counts.passed + counts.failed + counts.interrupted > 0) summary.hours.push_back(counts);
               });
        Where failed = where;
        failed.Add("result = ?", std::string("failed"));
        failed.params.push_back(static_cast<std::int64_t>(topFailures));
        db.Run("SELECT status_code, status, COUNT(*) FROM records" + failed.sql +
                   " GROUP BY status_code, status ORDER BY COUNT(*) DESC, status_code LIMIT ?" +
                   std::to_string(failed.params.size()),
               failed.params, [&summary](const SqlRow& r) {
                   summary.failures.push_back({static_cast<unsigned>(Int(r[0])), Text(r[1]), Unsigned(r[2])});
               });
        return summary;
    });
}

std::uint64_t RecordStore::DeliverOutboxConnected() {
    bool rewritten = true;
    std::string why;
    auto deliver = [this](const Outbox::Entry& entry) {
        try {
            // A row that has its result already (delivered before the outbox
            // could be rewritten) or is gone takes nothing: done with it too.
            WriteEnd(*connection_, entry.id, entry.end);
            return true;
        } catch (const SqlError& e) {
            if (e.connection_lost) throw;
            return false;  // refused by the database: it stays, and holds up no other
        }
    };
    std::uint64_t delivered = outbox_->Drain(store_id_, deliver, rewritten, why);
    if (!rewritten) Refuse(StoreErrorKind::Failed, "the delivered results stay in the outbox: " + why);
    return delivered;
}

void RecordStore::TryDeliverOutbox() {
    try {
        DeliverOutboxConnected();
    } catch (const StoreException&) {
        // The outbox could not be rewritten: its entries are delivered again
        // later, which changes nothing. The store itself is fine.
    }
}

StoreResult<std::uint64_t> RecordStore::DeliverOutbox() {
    return WithConnection<std::uint64_t>([this](SqlConnection&) { return DeliverOutboxConnected(); });
}

std::uint64_t RecordStore::OutboxPending() {
    std::lock_guard lock(mutex_);
    return store_id_.empty() ? outbox_->Read().entries.size() : outbox_->Count(store_id_);
}

}  // namespace kestrow::records
