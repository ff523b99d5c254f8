// The wire of a local connection: server WebSocket frames written on its
// TCP socket.
#pragma once

#include <memory>
#include <vector>

#include <boost/asio/buffer.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>

#include "server/connection_wire.h"

namespace morvane {

// Writes the buffers on the stream with one gather write: the kernel takes
// them in one call where it can, and a short write resumes where it stopped.
// The buffers live until the completion, which says whether all went out.
template <class Stream>
void writeGathered(Stream& stream, std::vector<Bytes> parts, std::function<void(bool)> completion) {
    auto held = std::make_shared<std::vector<Bytes>>(std::move(parts));
    std::vector<boost::asio::const_buffer> buffers;
    buffers.reserve(held->size());
    for (const auto& part : *held) buffers.push_back(boost::asio::buffer(part));
    boost::asio::async_write(stream, buffers,
                             [held, completion = std::move(completion)](const boost::system::error_code& ec,
                                                                        std::size_t) { completion(!ec); });
}

class WebSocketWire : public ConnectionWire {
public:
    explicit WebSocketWire(std::shared_ptr<boost::asio::ip::tcp::socket> nw) : nw_(std::move(nw)) {}

    Bytes encode(WSOpcode opcode, std::span<const std::uint8_t> payload) override;
    Bytes encodeClose(std::uint16_t code) override;
    void write(Bytes data, std::function<void(bool)> completion) override;
    void writeAll(std::vector<Bytes> parts, std::function<void(bool)> completion) override;
    // Closes the socket. Bytes the peer sent that were never read are taken
    // off first, so the kernel ends the connection with a FIN instead of a
    // reset that could destroy an answer still on its way.
    void cancel() override;
    void releaseHold() override {}

private:
    std::shared_ptr<boost::asio::ip::tcp::socket> nw_;
};

}  // namespace morvane
