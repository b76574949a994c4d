#pragma once
// The little the record store needs of a database connection, with one
// implementation over libsqlite3 and one over libpq. Statements are written
// once for both: parameters are ?1, ?2, ... (the PostgreSQL side turns them
// into $1, $2, ...), and both engines take the same SQL for everything the
// store does (UPDATE ... RETURNING, ON CONFLICT, partial indexes).
//
// Internal to kestrow/records: failures are thrown as SqlError and turned
// into StoreError results at the RecordStore boundary.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace kestrow::records {

using SqlValue = std::variant<std::monostate, std::int64_t, double, std::string>;
using SqlRow = std::vector<std::optional<std::string>>;  // each cell as text, nullopt for NULL
using SqlRowSink = std::function<void(const SqlRow&)>;

class SqlError : public std::runtime_error {
public:
    // `connectionLost`: the database could not be reached, or the link to it
    // broke; the statement's outcome is unknown and the connection unusable.
    SqlError(const std::string& message, bool connectionLost)
        : std::runtime_error(message), connection_lost(connectionLost) {}
    bool connection_lost;
};

class SqlConnection {
public:
    virtual ~SqlConnection() = default;
    virtual bool IsPostgres() const = 0;

    // Runs one statement; every row of its result goes to `sink` as it comes.
    virtual void Run(std::string_view sql, const std::vector<SqlValue>& params, const SqlRowSink& sink) = 0;
    // Starts a transaction that will write: on SQLite it takes the write lock
    // at once (BEGIN IMMEDIATE), so two processes never both read a pool's
    // next value before either has moved it.
    virtual void BeginWrite() = 0;
    // False when the link is known to be gone (a server that shut down has
    // said so, or closed the socket, while the connection was idle).
    virtual bool StillConnected() { return true; }

    void Exec(std::string_view sql, const std::vector<SqlValue>& params = {}) { Run(sql, params, nullptr); }
    std::vector<SqlRow> Rows(std::string_view sql, const std::vector<SqlValue>& params = {});
    // The first cell of the first row, if any.
    std::optional<std::string> Scalar(std::string_view sql, const std::vector<SqlValue>& params = {});
};

// Rolls back unless committed.
class WriteTransaction {
public:
    explicit WriteTransaction(SqlConnection& connection);
    ~WriteTransaction();
    WriteTransaction(const WriteTransaction&) = delete;
    WriteTransaction& operator=(const WriteTransaction&) = delete;
    void Commit();

private:
    SqlConnection& connection_;
    bool open_ = true;
};

// `create`: make the file when it does not exist.
std::unique_ptr<SqlConnection> OpenSqlite(const std::string& path, bool create);
std::unique_ptr<SqlConnection> OpenPostgres(const std::string& url);

// "?1 ... ?12" as "$1 ... $12", outside quoted text.
std::string NumberedParametersToDollar(std::string_view sql);

}  // namespace kestrow::records
