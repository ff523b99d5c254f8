// The relay's store when several instances share one database: PostgreSQL
// through libpq, with the same tables and answers as the SQLite store. Each
// instance keeps one connection; one broken by a restart of the server or a
// network cut is made again once before a call fails.
#pragma once

#include <memory>
#include <string>

#include "relay_service/relay_store.h"

namespace morvane::relay_service {

// Connects with a libpq connection string ("host=… dbname=… user=…" or a
// postgresql:// address) and migrates the database to the current schema.
// Throws RelayStoreError with a one-line reason.
std::unique_ptr<RelayStore> openPostgresRelayStore(const std::string& connectionString);

// The schema version this program writes; a database of a later one is
// refused.
int postgresRelayStoreSchemaVersion();

}  // namespace morvane::relay_service
