#include "relay_service/postgres_relay_store.h"
#include "relay_service/relay_store.h"
#include "relay_service/sqlite_relay_store.h"

namespace morvane::relay_service {

std::unique_ptr<RelayStore> openRelayStore(const RelayStoreConfig& config, const StoreTimeouts& timeouts) {
    if (config.kind == "sqlite" || config.kind.empty()) return openSqliteRelayStore(config.dataDir, timeouts);
    if (config.kind == "postgresql") return openPostgresRelayStore(config.postgresUrl, timeouts);
    throw RelayStoreError("unknown store kind \"" + config.kind + "\" (sqlite or postgresql)");
}

}  // namespace morvane::relay_service
