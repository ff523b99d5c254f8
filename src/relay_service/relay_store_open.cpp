#include "relay_service/relay_store.h"

namespace morvane::relay_service {

std::unique_ptr<RelayStore> openRelayStore(const RelayStoreConfig& config) {
    throw RelayStoreError("no store of kind \"" + config.kind + "\" is built in");
}

}  // namespace morvane::relay_service
