// The relay's store on one machine: one SQLite file, <dataDir>/relay.db, in
// write-ahead-log mode with a full sync at every commit, so that a
// registration the service answered is on disk even if the process is
// killed the next instant. The folder and the file are private to the
// service's user. A backup is `sqlite3 relay.db ".backup COPY"`, safe while
// the service runs.
#pragma once

#include <memory>
#include <string>

#include "relay_service/relay_store.h"

namespace morvane::relay_service {

// Creates the folder (0700) and the file (0600) when missing, makes them
// private when they are not, and migrates the file to the current schema.
// Throws RelayStoreError with a one-line reason.
// A store call waits for another connection's lock at most
// timeouts.statementSeconds. Its bus carries messages within this process.
std::unique_ptr<RelayStore> openSqliteRelayStore(const std::string& dataDir, const StoreTimeouts& timeouts = {});

}  // namespace morvane::relay_service
