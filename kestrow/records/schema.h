#pragma once
// The store's schema as numbered migrations, the same for SQLite and
// PostgreSQL. Table schema_migrations lists the versions applied; opening a
// store applies the missing ones in one transaction, so a store is always at
// one version, never between two. A migration, once released, never changes:
// a new column or index is a new migration at the end of the list.
#include "kestrow/records/sql_connection.h"

#include <string>
#include <vector>

namespace kestrow::records {

struct Migration {
    int version;
    // "{id}" stands for the dialect's row-id column, "{address}" for text
    // that compares byte by byte.
    std::vector<std::string> statements;
};

const std::vector<Migration>& Migrations();
int LatestSchemaVersion();

// The version the database is at; 0 for an empty one.
int SchemaVersion(SqlConnection& connection);
// Applies the migrations up to `target` (the latest by default) and makes
// sure the store has its identity (store_info "store_id", random, used to tie
// the local outbox to this store). Returns how many were applied. A database
// at a version above the latest this program knows is refused (SqlError):
// a newer program has changed it in ways this one cannot know.
int MigrateSchema(SqlConnection& connection, int target = -1);

// The store's identity (see MigrateSchema).
std::string StoreId(SqlConnection& connection);

}  // namespace kestrow::records
