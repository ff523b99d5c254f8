// The relay link's socket over Boost.Beast: a WebSocket client, over TLS
// for wss (verified, see relay_tls.h) and plain TCP for ws (test doubles on
// the loopback). Runs on the io_context it is given, which must be the
// link's queue, so every handler lands there.
#pragma once

#include <memory>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ssl/context.hpp>

#include "relay/relay_socket.h"
#include "relay/relay_tls.h"

namespace morvane {

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
