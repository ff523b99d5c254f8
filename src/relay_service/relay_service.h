// morvane-relay put together, once, for the program and for the tests:
// the network thread (the caller's io_context: sockets, the rooms,
// forwarding; it never waits), the store queue (every call of the accounts
// and of the store: admissions, account calls, the rooms' registration
// check, the purge) and the mail queue (sending codes), and the hooks that
// carry the hub's and the accounts' news from one to the other.
//
// Made, started, stopped and let go on the network thread (or once the
// io_context no longer runs).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "core/clock.h"
#include "core/loop_executor.h"
#include "relay_service/io_executor.h"
#include "relay_service/relay_accounts.h"
#include "relay_service/relay_hub.h"
#include "relay_service/relay_server.h"
#include "relay_service/relay_store.h"
#include "relay_service/work_queue.h"

namespace morvane::relay_service {

struct RelayServiceOptions {
    RelayServerOptions server;
    DeviceLimits limits;
    WorkQueueLimits storeQueue;
    // A code request waits for the store, the mail and the store again
    // within the time the host gives an answer (15 s).
    WorkQueueLimits mailQueue{64, 12'000};
    CodeSender sender;  // empty: sign-in is not configured
    WallClock wallMillis = systemWallMillis;
    std::function<std::int64_t()> monotonicMillis = nowMillis;
    RelayLog log;
};

class RelayService {
public:
    RelayService(boost::asio::io_context& io, RelayStore& store, RelayServiceOptions options);
    // Waits for the store call under way, if any.
    ~RelayService();
    RelayService(const RelayService&) = delete;
    RelayService& operator=(const RelayService&) = delete;

    // Listens and starts the rooms' beat and the store's purge; throws
    // std::runtime_error with a one-line reason.
    void start();
    std::uint16_t port() const;
    bool reloadCertificate();
    // Stops listening, closes every socket going away, stops the beats.
    void stop();

    RelayHub& hub() { return *hub_; }
    // Where the store is called: work a test or a tool does on the store
    // runs here, in turn with the service's own calls.
    WorkQueue& storeQueue() { return storeQueue_; }

private:
    struct OnlineRooms;
    void every(boost::asio::steady_timer& timer, std::chrono::milliseconds period, std::function<void()> work);
    void checkRegistrations(std::vector<std::string> rooms);

    boost::asio::io_context& io_;
    RelayStore& store_;
    RelayServiceOptions options_;
    IoExecutor network_;
    LoopExecutor storeThread_{"relay-store"};
    LoopExecutor mailThread_{"relay-mail"};
    WorkQueue storeQueue_;
    WorkQueue mailQueue_;
    std::shared_ptr<OnlineRooms> online_;
    std::unique_ptr<RelayHub> hub_;
    std::unique_ptr<RelayAccounts> accounts_;
    std::unique_ptr<RelayServer> server_;
    boost::asio::steady_timer beat_;
    boost::asio::steady_timer purge_;
    // Let go first: what the store queue posts back checks it.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace morvane::relay_service
