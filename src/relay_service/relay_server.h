// The network side of morvane-relay: one listening socket (HTTPS and WSS
// from certificate and key files, or plain HTTP behind a proxy that ends
// TLS), the page, the host links and device sockets, all on one io_context
// thread that never waits: account calls and admissions go to the store
// queue and codes to the mail queue, and their answers come back here.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "core/executor.h"
#include "core/repeating_timer.h"
#include "relay_service/connection_counts.h"
#include "relay_service/queue_budget.h"
#include "relay_service/relay_log.h"

namespace morvane::relay_service {

class AccountGate;
class RelayAccounts;
class RelayHub;
class WorkQueue;

struct RelayServerOptions {
    RelayServerOptions(std::string address = "127.0.0.1", std::uint16_t port = 0, std::string certificateFile = "",
                       std::string keyFile = "")
        : address(std::move(address)), port(port), certificateFile(std::move(certificateFile)), keyFile(std::move(keyFile)) {}

    std::string address;
    std::uint16_t port;  // 0: any free port
    // Both set: TLS. Neither: plain HTTP, on a loopback address, or on a
    // private one when trusted proxies are named.
    std::string certificateFile;
    std::string keyFile;
    // The proxies whose X-Forwarded-For is believed (addresses and
    // prefixes); absent: loopback when listening on loopback, else none.
    std::optional<std::vector<std::string>> trustedProxies;
    // What may wait to be written, and how many connections be open.
    QueueLimits queues;
    ListenLimits listen;
    // How long a connection that has not upgraded may take for its TLS
    // handshake, a request, its client to take an answer, or to close its
    // end after the last one.
    std::chrono::milliseconds requestTime = std::chrono::seconds(15);
};

// Delivers a code; blocking; absent on success, else a one-line reason.
using CodeSender = std::function<std::optional<std::string>(const std::string& email, const std::string& code)>;

// What the server hands its calls to. All of it outlives the server.
struct RelayServerParts {
    RelayAccounts& accounts;  // called on `store` only
    AccountGate& gate;        // on the network thread
    RelayHub& hub;            // on the network thread
    WorkQueue& store;
    WorkQueue& mail;
    CodeSender sender;  // called on `mail` only
    // Where the queues' pace is sampled, and slow peers in a held sender's
    // way closed: on the network thread, read off this clock.
    Executor& timers;
    std::function<std::int64_t()> monotonicMillis;
    // Another instance's question (PeerLine::answer), on the network
    // thread: the answer's text, or absent to refuse it.
    std::function<std::optional<std::string>(std::string_view question)> fleet = {};
};

class RelayServer {
public:
    RelayServer(boost::asio::io_context& io, RelayServerOptions options, RelayServerParts parts, RelayLog log);
    ~RelayServer();
    RelayServer(const RelayServer&) = delete;
    RelayServer& operator=(const RelayServer&) = delete;

    // Loads the certificate, binds and listens; throws std::runtime_error
    // with a one-line reason (a plain listen address that is neither
    // loopback nor private with trusted proxies is refused here).
    void start();
    std::uint16_t port() const;
    // Reads the certificate and key again for the connections to come; on
    // failure the old ones stay and false is answered (and logged).
    bool reloadCertificate();
    // Stops accepting and closes every upgraded socket, going away; a
    // request under way is answered first, and `drained` runs once every
    // connection not upgraded has ended.
    void stop(std::function<void()> drained = {});
    // Closes the listening socket, so that new connections are refused
    // (and a proxy in front passes them to another instance), while those
    // open carry on; resume() listens again on the same address and port,
    // false (and logged) when it cannot.
    void pause();
    bool resume();
    // The hosts of the other instances sharing the store: a listener that
    // takes only its proxies lets them in too, for their questions alone.
    void admitPeers(std::vector<boost::asio::ip::address> hosts);

    struct Impl;

private:
    void listenAt(const boost::asio::ip::tcp::endpoint& at);
    // Each fifth of the budget's window.
    void tickBudget();

    // Stops with the server: a tick due as it goes calls nothing.
    RepeatingTimer budgetTick_;
    std::function<std::int64_t()> clock_;
    std::shared_ptr<Impl> impl_;
};

}  // namespace morvane::relay_service
