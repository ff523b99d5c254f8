// What morvane-relay does once its command line is read: opens the store,
// sets up the codes' mail, runs the service on one network thread until
// SIGINT or SIGTERM (SIGHUP reloads the certificate and who may sign in),
// and answers the exit status. relay_main.cpp is this with the machine's own parts; the tests
// run the same body in a program of their own, with parts of theirs.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <variant>

#include "core/clock.h"
#include "core/loop_executor.h"
#include "relay_service/relay_config.h"
#include "relay_service/relay_log.h"
#include "relay_service/relay_store.h"
#include "relay_service/store_wait.h"

namespace morvane::relay_service {

struct RelayProgramParts {
    // Named in the start line, so that an update shows in the log.
    std::string version = "0";
    WallClock wallMillis = systemWallMillis;
    // Each record the rooms carry, either way (RelayServiceOptions::carried).
    std::function<void(std::span<const std::uint8_t> record)> carried;
    // The config read again from where it came, for SIGHUP: the new config,
    // or why it could not be read. Absent: SIGHUP reloads the certificate
    // alone.
    std::function<std::variant<RelayConfig, std::string>()> readConfigAgain;
    // Opens the store the config names, waiting for a database that does
    // not answer yet and saying so in the log; throws with a one-line reason.
    std::function<std::unique_ptr<RelayStore>(const RelayConfig&, const RelayLog&)> openStore =
        [](const RelayConfig& config, const RelayLog& log) {
            // The wait blocks this thread: the watchdog is told from a queue of its own.
            LoopExecutor beats("relay-watchdog");
            return openRelayStoreWhenItAnswers(RelayStoreConfig{config.storeKind, config.dataDir, config.postgresUrl},
                                               config.storeTimeouts, log, beats);
        };
};

// Runs the relay the config describes; a reason it cannot is written to
// standard error and answered as status 1.
int runRelay(const RelayConfig& config, RelayProgramParts parts = {});

}  // namespace morvane::relay_service
