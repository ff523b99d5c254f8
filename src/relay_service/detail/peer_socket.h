// One upgraded socket: a host's link or a device's connection, as the hub
// sees it (a RelayPeer). Internal to the server.
#pragma once

#include <deque>
#include <memory>
#include <span>
#include <string>
#include <utility>

#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include "relay_service/detail/server_impl.h"
#include "relay_service/relay_limits.h"

namespace morvane::relay_service::detail {

// One upgraded socket: a host's link or a device's connection.
template <class Next>
class PeerSocket final : public RelayPeer, public std::enable_shared_from_this<PeerSocket<Next>> {
public:
    PeerSocket(std::shared_ptr<RelayServer::Impl> server, Next next, bool host, std::string room)
        : server_(std::move(server)), ws_(std::move(next)), host_(host), room_(std::move(room)) {}

    void accept(const Request& request, std::function<void(const std::shared_ptr<PeerSocket>&)> opened) {
        ws_.set_option(ws::stream_base::timeout{handshakeTime, std::chrono::seconds(60), true});
        ws_.set_option(ws::stream_base::decorator([](ws::response_type& response) {
            response.set(http::field::sec_websocket_protocol, "morvane.v1");
            response.set(http::field::cache_control, "no-store");
        }));
        // A host's records toward a device may fill a whole fragment; a
        // device's records are counted as they come.
        ws_.read_message_max(RelayLimits::maxHostFrameBytes);
        ws_.async_accept(request, [self = this->shared_from_this(), opened = std::move(opened)](beast::error_code ec) {
            if (ec || self->server_->stopped) return;
            opened(self);
            self->read();
        });
    }

    void sendText(std::string text) override { enqueue(true, Bytes(text.begin(), text.end())); }
    void sendBinary(Bytes data) override { enqueue(false, std::move(data)); }
    void close(int code, std::string reason) override {
        if (closing_) return;
        closing_ = true;
        closeCode_ = code;
        closeReason_ = std::move(reason);
        pump();
    }

private:
    void enqueue(bool text, Bytes data) {
        if (closing_) return;
        queued_ += data.size();
        outbox_.emplace_back(text, std::move(data));
        if (queued_ > RelayLimits::maxQueuedBytes) {
            // A peer that does not read cannot hold the relay's memory. The
            // hub hears of it on the next turn, not inside its own call.
            outbox_.clear();
            queued_ = 0;
            closing_ = true;
            closeCode_ = 1008;
            closeReason_ = "slow";
            asio::post(server_->io, [self = this->shared_from_this()] {
                if (self->server_->stopped) return;
                self->server_->hub.ended(self.get(), "it stopped reading");
                self->pump();
            });
            return;
        }
        pump();
    }

    void pump() {
        if (writing_) return;
        if (outbox_.empty()) {
            if (closing_ && !closeSent_) {
                closeSent_ = true;
                writing_ = true;
                ws_.async_close(ws::close_reason(static_cast<ws::close_code>(closeCode_), closeReason_),
                                [self = this->shared_from_this()](beast::error_code) { self->writing_ = false; });
            }
            return;
        }
        writing_ = true;
        auto& [text, data] = outbox_.front();
        ws_.text(text);
        ws_.async_write(asio::buffer(data), [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
            self->writing_ = false;
            if (self->outbox_.empty()) return;
            self->queued_ -= self->outbox_.front().second.size();
            self->outbox_.pop_front();
            if (ec) {
                self->outbox_.clear();
                self->queued_ = 0;
                return;
            }
            self->pump();
        });
    }

    void read() {
        if (host_) {
            ws_.async_read(buffer_, [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
                if (self->server_->stopped) return;
                if (ec) return self->finished(ec);
                const auto data = self->buffer_.cdata();
                const std::span<const std::uint8_t> bytes(static_cast<const std::uint8_t*>(data.data()), data.size());
                if (self->ws_.got_text())
                    self->server_->hub.hostText(self.get(),
                                                std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
                else
                    self->server_->hub.hostBinary(self.get(), bytes);
                self->buffer_.consume(self->buffer_.size());
                self->read();
            });
            return;
        }
        // A device's message is read in pieces so that one over the record
        // limit is caught with at most one byte too many held.
        const auto room = RelayLimits::maxDeviceRecordBytes + 1 - buffer_.size();
        ws_.async_read_some(buffer_, room, [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
            if (self->server_->stopped) return;
            if (ec) return self->finished(ec);
            const bool done = self->ws_.is_message_done();
            const bool over = self->buffer_.size() > RelayLimits::maxDeviceRecordBytes;
            if (!done && !over) return self->read();
            const auto data = self->buffer_.cdata();
            const std::span<const std::uint8_t> bytes(static_cast<const std::uint8_t*>(data.data()), data.size());
            self->server_->hub.deviceMessage(self.get(), self->ws_.got_text(), bytes);
            self->buffer_.consume(self->buffer_.size());
            if (over) return;  // closed by the hub; nothing more is read
            self->read();
        });
    }

    void finished(beast::error_code ec) {
        std::string why;
        if (ec == ws::error::closed) {
            const auto& reason = ws_.reason();
            why = "closed with " + std::to_string(reason.code);
        } else if (ec == beast::error::timeout) {
            why = "timed out";
        } else if (ec == ws::error::message_too_big || ec == ws::error::buffer_overflow) {
            why = "a message over the limit";
        } else {
            why = ec.message();
        }
        server_->hub.ended(this, why);
    }

    std::shared_ptr<RelayServer::Impl> server_;
    ws::stream<Next> ws_;
    bool host_;
    std::string room_;
    beast::flat_buffer buffer_;
    std::deque<std::pair<bool, Bytes>> outbox_;
    std::size_t queued_ = 0;
    bool writing_ = false;
    bool closing_ = false;
    bool closeSent_ = false;
    int closeCode_ = 1000;
    std::string closeReason_;
};

}  // namespace morvane::relay_service::detail
