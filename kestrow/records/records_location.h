#pragma once
// Where a station keeps its records and pools, and the name it records under.
//
// The store is `--records` when given, else the station setting
// burn.ini [Records] Url, else records.db in the station folder. A value that
// begins with postgresql:// or postgres:// is a PostgreSQL connection URL
// (shared by a fleet of stations); any other value names an SQLite file,
// relative to the station folder unless absolute.
#include <string>

namespace kestrow::records {

inline constexpr const char* kRecordsFile = "records.db";
// Burn results that could not reach the store wait here (station folder).
inline constexpr const char* kOutboxFile = "records_outbox.jsonl";
inline constexpr const char* kRecordsSection = "Records";  // burn.ini section: Url, Station
// The --records option of the commands that open a store.
inline constexpr const char* kRecordsOptionHelp =
    "Records store: postgresql://... or an SQLite file; default burn.ini [Records] Url, else records.db in the "
    "station folder";

struct RecordsLocation {
    enum class Backend { Sqlite, Postgres };
    Backend backend = Backend::Sqlite;
    std::string target;       // the SQLite file, or the PostgreSQL URL
    std::string outbox_path;  // the station's local outbox file
    // For messages: the file, or the URL with its password hidden.
    std::string Describe() const;
};

RecordsLocation ResolveRecordsLocation(const std::string& stationFolder, const std::string& records);

// Who writes the records: burn.ini [Records] Station, else the station
// folder's own name; and the machine's host name. A station marks its own
// unfinished burns "interrupted" at start-up by these two, so two stations
// sharing one database need different names or hosts.
struct StationIdentity {
    std::string station;
    std::string host;
};
StationIdentity ResolveStationIdentity(const std::string& stationFolder);

// `url` with the password of its user part and of a password= option shown as "***".
std::string HidePassword(const std::string& url);

}  // namespace kestrow::records
