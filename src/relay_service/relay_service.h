// morvane-relay put together, once, for the program and for the tests:
// the network thread (the caller's io_context: sockets, the rooms,
// forwarding; it never waits), the store queue (every call of the accounts
// and of the store: admissions, account calls, the rooms' registration
// check, the purge, the presence rows) and the mail queue (sending codes),
// each on a worker the caller makes and hands in,
// and the hooks that carry the hub's and the accounts' news from one to
// the other and, through the store's bus, to the other instances sharing
// the store: a room this instance should let go of, a sign-in that signed
// out.
//
// Made, started, stopped and let go on the network thread (or once the
// io_context no longer runs).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "core/clock.h"
#include "core/liveness.h"
#include "core/repeating_timer.h"
#include "relay_service/io_executor.h"
#include "relay_service/fleet_watch.h"
#include "relay_service/account_gate.h"
#include "relay_service/relay_hub.h"
#include "relay_service/relay_peers.h"
#include "relay_service/relay_presence.h"
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
    // Who may sign in.
    AccountList accounts;
    WallClock wallMillis = systemWallMillis;
    // Read by the limits and the periodic work's timers.
    std::function<std::int64_t()> monotonicMillis = nowMillis;
    // Where the periodic work (the rooms' beat, the presence rows', the
    // registrations' check, the purge) runs; it must run on the network
    // thread. Absent: on the io_context itself, as the program has it.
    // Outlives the service.
    Executor* timers = nullptr;
    RelayLog log;
    // Names this instance in the store's presence rows and on its bus.
    std::string instance = newInstanceId();
    // Where the other instances sharing the store ask this one whether its
    // store answers: "address:port" of its listener as they reach it. Empty:
    // the address it listens on and its port.
    std::string peerAddress;
    // Whether it asks the others and answers them: by default when the
    // store is shared.
    std::optional<bool> fleet;
    // For tests only: each record the rooms carry (RelayHub::Hooks).
    std::function<void(std::span<const std::uint8_t> record)> carried;
};

// The serial queues the store's and the mail's blocking calls run on, made
// by the program (core/executor.h: no component starts a thread of its
// own). Each outlives the service.
struct RelayWorkers {
    Executor& store;
    Executor& mail;
};

class RelayService {
public:
    RelayService(boost::asio::io_context& io, RelayStore& store, RelayWorkers workers, RelayServiceOptions options);
    // Waits for the store call under way, if any.
    ~RelayService();
    RelayService(const RelayService&) = delete;
    RelayService& operator=(const RelayService&) = delete;

    // Listens, listens on the store's bus and starts the rooms' beat, the
    // presence rows' and the store's purge; throws std::runtime_error with
    // a one-line reason.
    void start();
    std::uint16_t port() const;
    bool reloadCertificate();
    // Reads the fleet's secret (and the other instances) from the store now
    // rather than at the next beat: a reload after the secret changed.
    void readFleetAgain();
    // Who may sign in from now on (the config read again). An address
    // taken off the list is refused from its next call on, and the links
    // and devices of its computers here close as soon as the store has
    // said which they are.
    void setAccounts(const AccountList& accounts);
    // Stops listening, closes every socket going away, stops the beats and
    // leaves this instance's presence rows to count a few seconds more, so
    // that a phone arriving at another instance waits for its computer's
    // link, which is on its way there, rather than hearing it is offline.
    // Requests under way are answered. `done` runs on the network thread
    // once the rows are written (or that failed) and every connection not
    // upgraded has ended.
    void stop(std::function<void()> done = {});
    const std::string& instance() const { return options_.instance; }

    RelayHub& hub() { return *hub_; }
    // Where the store is called: work a test or a tool does on the store
    // runs here, in turn with the service's own calls.
    WorkQueue& storeQueue() { return storeQueue_; }

    // Throws WrongQueue when called off the network thread while that
    // thread runs: the hub, the server and this service's state are
    // touched there alone (before the io_context first runs, as the
    // program starts the service, and once it stopped, nobody else does).
    // Every method here checks it.
    void expectNetwork(const char* method) const;

private:
    struct OnlineRooms;
    Executor& timers() { return options_.timers ? *options_.timers : network_; }
    void checkRegistrations(std::vector<std::string> rooms);
    void putBeforeWelcome(const std::string& room, std::function<void()> ready);
    // Who holds each room's link now, for the devices waiting for it here.
    void askHolders(std::vector<std::string> rooms);
    // Each second: whether this instance stands aside, or takes links
    // again (FleetWatch), asking the others when it must; and, once its
    // store answers again after it was away, its rows renewed at once.
    void watchStore();
    void act(FleetWatch::Act what);
    // The line the others ask this instance on, and the list of them,
    // refreshed on the presence beat.
    void startPeers();
    void meetPeers();
    // Tells the gate which rooms are registered: all of them at start, then
    // those registered since it last asked, through any instance.
    void learnRooms();
    // Off the bus, or back on it after losing it: what it would have said
    // is asked of the store instead (the sign-ins connected here that
    // signed out, the rooms this instance was asked to let go of).
    void catchUp();
    void writePresence();
    // The computers here whose accounts the list in force leaves out: their
    // links and devices close.
    void closeDelisted();
    void listen();
    void heard(const BusMessage& message);
    // On the store queue; a failure is logged, as the bus's messages may
    // be missed anyway.
    void publish(const BusMessage& message);

    boost::asio::io_context& io_;
    RelayStore& store_;
    RelayServiceOptions options_;
    IoExecutor network_;
    // Set by the io_context's first turn, read on any thread.
    std::shared_ptr<std::atomic<bool>> networkRuns_ = std::make_shared<std::atomic<bool>>(false);
    WorkQueue storeQueue_;
    WorkQueue mailQueue_;
    std::shared_ptr<OnlineRooms> online_;
    std::unique_ptr<RelayHub> hub_;
    std::unique_ptr<RelayAccounts> accounts_;
    AccountGate gate_;
    std::unique_ptr<RelayServer> server_;
    // Each stops as the service does, and a beat due as it goes calls
    // nothing.
    RepeatingTimer beat_;
    RepeatingTimer purge_;
    RepeatingTimer presenceBeat_;
    RepeatingTimer rooms_;
    // Registrations stamped since then are still to be learnt.
    std::int64_t roomsSince_ = 0;
    RelayPresence presence_;
    std::shared_ptr<BusListener> bus_;
    bool listening_ = false;  // a listen on its way on the store queue
    std::unique_ptr<PeerLine> peers_;
    std::vector<PeerRecord> peerList_;
    FleetWatch watch_;
    // The log said the store is away for everyone, this time.
    bool toldAway_ = false;
    // The store was found away since its rows were last renewed.
    bool storeWasAway_ = false;
    // The service manager's watchdog is told all is well each beat.
    bool watchdog_ = false;
    // The bus stopped hearing, and what it missed is still to be asked.
    bool busAway_ = false;
    bool behind_ = false;
    bool catchingUp_ = false;
    bool askingHolders_ = false;
    bool delistDue_ = false;
    bool closingDelisted_ = false;
    bool stopped_ = false;
    bool drained_ = false;
    bool presenceGaveUp_ = false;
    std::function<void()> stopDone_;
    void stopDone();
    // Let go first: what the store queue posts back checks it.
    Liveness alive_;
};

}  // namespace morvane::relay_service
