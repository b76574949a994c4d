// The SQLite side: one file, written by every process of the station (and by
// `kestrow records` / `kestrow pools` beside a running station). WAL lets
// readers go on while a burn writes; synchronous=FULL makes every commit
// durable before it returns, so a power cut can never take a pool's next
// value back to one already handed out.
#include "kestrow/records/sql_connection.h"

#include <sqlite3.h>

namespace kestrow::records {
namespace {

// How long a writer waits for another process's transaction to end.
constexpr int kBusyTimeoutMs = 30000;

class SqliteConnection : public SqlConnection {
public:
    SqliteConnection(const std::string& path, bool create) : path_(path) {
        int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
        int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
        if (rc != SQLITE_OK) {
            std::string why = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
            sqlite3_close(db_);
            db_ = nullptr;
            throw SqlError("cannot open " + path + ": " + why, true);
        }
        sqlite3_busy_timeout(db_, kBusyTimeoutMs);
        Exec("PRAGMA journal_mode=WAL");
        Exec("PRAGMA synchronous=FULL");
    }
    ~SqliteConnection() override { sqlite3_close(db_); }

    bool IsPostgres() const override { return false; }

    void BeginWrite() override { Exec("BEGIN IMMEDIATE"); }

    void Run(std::string_view sql, const std::vector<SqlValue>& params, const SqlRowSink& sink) override {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db_, sql.data(), static_cast<int>(sql.size()), &statement, nullptr) != SQLITE_OK)
            Fail("prepare");
        struct Finalizer {
            sqlite3_stmt* s;
            ~Finalizer() { sqlite3_finalize(s); }
        } finalizer{statement};
        for (std::size_t i = 0; i < params.size(); ++i) Bind(statement, static_cast<int>(i) + 1, params[i]);
        const int columns = sqlite3_column_count(statement);
        for (;;) {
            int rc = sqlite3_step(statement);
            if (rc == SQLITE_DONE) return;
            if (rc != SQLITE_ROW) Fail("run");
            if (!sink) continue;
            SqlRow row(static_cast<std::size_t>(columns));
            for (int c = 0; c < columns; ++c)
                if (sqlite3_column_type(statement, c) != SQLITE_NULL)
                    row[static_cast<std::size_t>(c)] =
                        reinterpret_cast<const char*>(sqlite3_column_text(statement, c));
            sink(row);
        }
    }

private:
    void Bind(sqlite3_stmt* statement, int index, const SqlValue& value) {
        int rc = SQLITE_OK;
        if (const auto* i = std::get_if<std::int64_t>(&value))
            rc = sqlite3_bind_int64(statement, index, *i);
        else if (const auto* d = std::get_if<double>(&value))
            rc = sqlite3_bind_double(statement, index, *d);
        else if (const auto* s = std::get_if<std::string>(&value))
            rc = sqlite3_bind_text(statement, index, s->data(), static_cast<int>(s->size()), SQLITE_TRANSIENT);
        else
            rc = sqlite3_bind_null(statement, index);
        if (rc != SQLITE_OK) Fail("bind");
    }

    [[noreturn]] void Fail(const char* what) {
        const int code = sqlite3_errcode(db_);
        // An unwritable or vanished file, a full disk or a lock held past the
        // time-out: the store is out of reach for now, as a lost server is.
        const bool unreachable = code == SQLITE_BUSY || code == SQLITE_LOCKED || code == SQLITE_IOERR ||
                                 code == SQLITE_FULL || code == SQLITE_CANTOPEN || code == SQLITE_READONLY;
        throw SqlError(path_ + ": " + what + ": " + sqlite3_errmsg(db_), unreachable);
    }

    std::string path_;
    sqlite3* db_ = nullptr;
};

}  // namespace

std::unique_ptr<SqlConnection> OpenSqlite(const std::string& path, bool create) {
    return std::make_unique<SqliteConnection>(path, create);
}

}  // namespace kestrow::records
