// The listening socket: takes in every connection waiting at each turn,
// refuses at once (closing them) those over the limits per client network,
// closes the connections idle longest to let newcomers in when the relay is
// full, and when the process runs out of descriptors waits a moment before
// it accepts again, saying so once, instead of spinning. The total never exceeds what the
// descriptor limit leaves room for. On the server's one network thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "relay_service/connection_counts.h"
#include "relay_service/relay_log.h"

namespace morvane::relay_service {

// An accepted connection's place in the counts, given back when the last
// holder of the connection lets it go. It says what the connection is
// doing, so that only idle ones are closed to make room.
class ConnectionSlot {
public:
    ConnectionSlot() = default;
    ConnectionSlot(std::shared_ptr<ConnectionCounts> counts, ConnectionCounts::Id id)
        : counts_(std::move(counts)), id_(id) {}
    ConnectionSlot(ConnectionSlot&& other) noexcept { *this = std::move(other); }
    ConnectionSlot& operator=(ConnectionSlot&& other) noexcept {
        if (this != &other) {
            give();
            counts_ = std::move(other.counts_);
            id_ = other.id_;
        }
        return *this;
    }
    ~ConnectionSlot() { give(); }

    void busy() {
        if (counts_) counts_->busy(id_);
    }
    void idle();
    void upgraded() {
        if (counts_) counts_->upgraded(id_);
    }
    void closing();
    // `start` writes an answer of `bytes` once its networks have room for
    // it (ConnectionCounts::answer); answered() when it is written. True
    // when it waits its turn.
    bool answer(std::size_t bytes, std::function<void()> start);
    void took();
    void answered();
    // How the connection is closed when it is shed.
    void onShed(std::function<void()> close) {
        if (counts_) counts_->onShed(id_, std::move(close));
    }

private:
    void give();
    std::shared_ptr<ConnectionCounts> counts_;
    ConnectionCounts::Id id_ = 0;
};

// The connections a descriptor limit leaves room for: the store, the mail
// and refusing at accept need some of their own.
int connectionsWithin(std::uint64_t descriptorLimit);

class RelayListener : public std::enable_shared_from_this<RelayListener> {
public:
    struct Options {
        // Connections from these carry many clients (a proxy in front): only
        // the total counts them.
        std::function<bool(const boost::asio::ip::address&)> trusted;
        RelayLog log;
    };
    // The counts outlive any one listener: a relay that stops listening for
    // a while and listens again keeps counting the connections it kept.
    // Sockets bound to the io_context's own executor, not a type-erased
    // one: every operation on a socket that forwards records copies it.
    using Socket = boost::asio::basic_stream_socket<boost::asio::ip::tcp, boost::asio::io_context::executor_type>;
    using Acceptor = boost::asio::basic_socket_acceptor<boost::asio::ip::tcp, boost::asio::io_context::executor_type>;
    using Accepted = std::function<void(Socket, ConnectionSlot)>;

    RelayListener(Acceptor acceptor, Options options, std::shared_ptr<ConnectionCounts> counts, Accepted accepted);

    // Caps the total by the descriptor limit (saying so when it bites) and
    // accepts until stopped.
    void start();
    void stop();
    std::uint16_t port() const;
    const ConnectionCounts& counts() const { return *counts_; }

private:
    void accept();
    void takeWaiting();
    // False when the relay is full: what waits behind it stays in the
    // kernel's queue.
    bool admit(Socket socket);

    Acceptor acceptor_;
    boost::asio::steady_timer backOff_;
    Options options_;
    Accepted accepted_;
    std::shared_ptr<ConnectionCounts> counts_;
    bool stopped_ = false;
    bool starved_ = false;  // out of descriptors, and said so
    // Connections shed to let new ones in, and connections refused per
    // network or for the total, each said at most every few seconds.
    ThrottledLine shed_, refusedNetwork_, refusedTotal_;
};

}  // namespace morvane::relay_service
