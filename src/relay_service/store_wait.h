// Opening the store when the program starts: a database that does not
// answer yet (being restarted, failing over, its host still booting) is
// waited for rather than ending the program, so that the instance takes
// its computers and phones once it answers instead of leaving them to
// whoever starts it again.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "core/executor.h"
#include "relay_service/relay_log.h"
#include "relay_service/relay_store.h"

namespace morvane::relay_service {

// Opens the configured store (openRelayStore). While its database does not
// answer (RelayStoreUnreachable) it says so once, with the reason (and
// again when the reason changes), tries again every `retry`, keeps the
// service manager's watchdog told that it is alive from `beats` (a queue
// the program makes, since the wait blocks the caller), and says when the
// store answers. Throws what openRelayStore throws for anything else (a
// store it cannot use). `open` stands in for openRelayStore.
std::unique_ptr<RelayStore> openRelayStoreWhenItAnswers(
    const RelayStoreConfig& config, const StoreTimeouts& timeouts, const RelayLog& log, Executor& beats,
    std::chrono::milliseconds retry = std::chrono::seconds(2),
    std::function<std::unique_ptr<RelayStore>(const RelayStoreConfig&, const StoreTimeouts&)> open = openRelayStore);

}  // namespace morvane::relay_service
