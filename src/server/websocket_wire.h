// The wire of a local connection: server WebSocket frames written on its
// TCP socket.
#pragma once

#include <memory>

#include <boost/asio/ip/tcp.hpp>

#include "server/connection_wire.h"

namespace morvane {

class WebSocketWire : public ConnectionWire {
public:
    explicit WebSocketWire(std::shared_ptr<boost::asio::ip::tcp::socket> nw) : nw_(std::move(nw)) {}

    Bytes encode(WSOpcode opcode, std::span<const std::uint8_t> payload) override;
    Bytes encodeClose(std::uint16_t code) override;
    void write(Bytes data, std::function<void(bool)> completion) override;
    // Closes the socket. Bytes the peer sent that were never read are taken
    // off first, so the kernel ends the connection with a FIN instead of a
    // reset that could destroy an answer still on its way.
    void cancel() override;
    void releaseHold() override {}

private:
    std::shared_ptr<boost::asio::ip::tcp::socket> nw_;
};

}  // namespace morvane
