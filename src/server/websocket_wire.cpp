#include "server/websocket_wire.h"

#include <array>

#include <boost/asio/write.hpp>

namespace morvane {

Bytes WebSocketWire::encode(WSOpcode opcode, std::span<const std::uint8_t> payload) {
    return WSCodec::frame(opcode, payload);
}

Bytes WebSocketWire::encodeClose(std::uint16_t code) { return WSCodec::closeFrame(code); }

void WebSocketWire::write(Bytes data, std::function<void(bool)> completion) {
    auto bytes = std::make_shared<Bytes>(std::move(data));
    boost::asio::async_write(*nw_, boost::asio::buffer(*bytes),
                             [bytes, completion = std::move(completion)](const boost::system::error_code& ec,
                                                                         std::size_t) { completion(!ec); });
}

void WebSocketWire::writeAll(std::vector<Bytes> parts, std::function<void(bool)> completion) {
    writeGathered(*nw_, std::move(parts), std::move(completion));
}

void WebSocketWire::cancel() {
    boost::system::error_code ec;
    if (!nw_->is_open()) return;
    nw_->non_blocking(true, ec);
    std::array<std::uint8_t, 4096> scratch;
    // Bounded: a peer that keeps sending only delays nothing, it gets its reset.
    for (int i = 0; i < 256 && !ec; ++i) {
        std::size_t n = nw_->read_some(boost::asio::buffer(scratch), ec);
        if (n == 0) break;
    }
    nw_->shutdown(boost::asio::ip::tcp::socket::shutdown_both, ec);
    nw_->close(ec);
}

}  // namespace morvane
