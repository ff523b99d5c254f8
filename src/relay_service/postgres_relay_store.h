// The relay's store when several instances share one database: PostgreSQL
// through libpq, with the same tables and answers as the SQLite store. Each
// instance keeps one connection; one broken by a restart of the server or a
// network cut is made again once before a call fails. A database that
// stops answering fails a call after the configured time-outs, and the
// calls after it fail at once rather than wait again, until a check made
// every `checkEveryMillis` on a thread of its own finds it answering (or,
// without checks, for a few seconds, then the next call tries). Its bus is
// LISTEN/NOTIFY, heard on a connection and a thread of its own.
#pragma once

#include <memory>
#include <string>

#include "relay_service/relay_store.h"

namespace morvane::relay_service {

// Connects with a libpq connection string ("host=… dbname=… user=…" or a
// postgresql:// address) and migrates the database to the current schema.
// Throws RelayStoreError with a one-line reason. monotonicMillis tells how
// long a database that stopped answering has been left alone (tests hand
// in their own clock).
// checkEveryMillis 0 makes no checks (tests that hand in their own clock).
std::unique_ptr<RelayStore> openPostgresRelayStore(const std::string& connectionString,
                                                   const StoreTimeouts& timeouts = {},
                                                   std::function<std::int64_t()> monotonicMillis = {},
                                                   std::int64_t checkEveryMillis = 500);

}  // namespace morvane::relay_service
