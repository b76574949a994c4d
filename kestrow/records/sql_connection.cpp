#include "kestrow/records/sql_connection.h"

namespace kestrow::records {

std::vector<SqlRow> SqlConnection::Rows(std::string_view sql, const std::vector<SqlValue>& params) {
    std::vector<SqlRow> rows;
    Run(sql, params, [&rows](const SqlRow& row) { rows.push_back(row); });
    return rows;
}

std::optional<std::string> SqlConnection::Scalar(std::string_view sql, const std::vector<SqlValue>& params) {
    std::optional<std::string> value;
    bool first = true;
    Run(sql, params, [&](const SqlRow& row) {
        if (first && !row.empty()) value = row[0];
        first = false;
    });
    return value;
}

WriteTransaction::WriteTransaction(SqlConnection& connection) : connection_(connection) { connection_.BeginWrite(); }

WriteTransaction::~WriteTransaction() {
    if (!open_) return;
    try {
        connection_.Exec("ROLLBACK");
    } catch (const SqlError&) {
        // A lost connection has ended the transaction on the server already.
    }
}

void WriteTransaction::Commit() {
    connection_.Exec("COMMIT");
    open_ = false;
}

std::string NumberedParametersToDollar(std::string_view sql) {
    std::string out;
    out.reserve(sql.size());
    char quote = 0;
    for (std::size_t i = 0; i < sql.size(); ++i) {
        char c = sql[i];
        if (quote) {
            if (c == quote) quote = 0;
        } else if (c == '\'' || c == '"') {
            quote = c;
        } else if (c == '?' && i + 1 < sql.size() && sql[i + 1] >= '0' && sql[i + 1] <= '9') {
            c = '$';
        }
        out += c;
    }
    return out;
}

}  // namespace kestrow::records
