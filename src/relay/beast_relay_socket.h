// The relay link's socket over Boost.Beast: a WebSocket client, over TLS
// for wss (verified, see relay_tls.h) and plain TCP for ws (test doubles on
// the loopback). Runs on the io_context it is given, which must be the
// link's queue, so every handler lands there.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/system/error_code.hpp>

#include "relay/relay_socket.h"

namespace morvane {

// Turns a relay's name into the addresses to try; `done` may be called on
// any thread. Empty: the system's resolver.
using RelayNameResolver = std::function<void(
    const std::string& host, std::uint16_t port,
    std::function<void(boost::system::error_code, std::vector<boost::asio::ip::tcp::endpoint>)> done)>;

class BeastRelaySocketFactory final : public RelaySocketFactory {
public:
    explicit BeastRelaySocketFactory(boost::asio::io_context& io, RelayNameResolver resolve = {});
    std::shared_ptr<RelaySocket> open(const RelaySocketRequest& request, RelaySocketHandlers handlers) override;

private:
    boost::asio::io_context& io_;
    std::shared_ptr<boost::asio::ssl::context> tls_;
    RelayNameResolver resolve_;
};

}  // namespace morvane
