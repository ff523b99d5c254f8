// One upgraded socket: a host's link or a device's connection, as the hub
// sees it (a RelayPeer). Internal to the server.
#pragma once

#include <linux/sock_diag.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <span>
#include <string>
#include <utility>

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include "core/clock.h"
#include "core/one_shot_timer.h"
#include "relay/relay_words.h"
#include "relay_service/detail/read_ahead.h"
#include "relay_service/detail/record_buffer.h"
#include "relay_service/detail/tls_socket.h"
#include "relay_service/detail/server_impl.h"
#include "relay_service/queue_budget.h"
#include "relay_service/relay_limits.h"
#include "relay_service/relay_listener.h"

namespace morvane::relay_service::detail {

// The streams under the WebSockets, on the io_context's own executor.
using PlainStream = beast::basic_stream<tcp, asio::io_context::executor_type>;
using TlsStream = TlsSocket<PlainStream>;

// One upgraded socket: a host's link or a device's connection. What waits
// to be written is counted against the server's budget; a socket whose
// peer takes less than the budget's floor while it is over a limit is
// closed with 1008 "slow", and reset when it stops taking even that. Past
// a limit with no peer slow enough to close, the socket that sent reads no
// more until the budget resumes it. A device the hub holds back for its
// pace reads nothing until its allowance refills (an owned one-shot on the
// server's timers), and none of it holds the loop.
template <class Next>
class PeerSocket final : public RelayPeer,
                         public BudgetedQueue,
                         public std::enable_shared_from_this<PeerSocket<Next>> {
public:
    // `account` is who its queue counts against ("" for a device turned
    // away), `from` the client's address for the log.
    PeerSocket(std::shared_ptr<RelayServer::Impl> server, Next next, ConnectionSlot slot, bool host, std::string room,
               const std::string& account, std::string from)
        : server_(std::move(server)),
          ws_(std::move(next), RelayLimits::readAheadBytes),
          slot_(std::move(slot)),
          host_(host),
          room_(std::move(room)),
          from_(std::move(from)),
          deadline_(ws_.get_executor()),
          pace_(server_->parts.timers, server_->parts.monotonicMillis) {
        server_->budget.add(this, account);
        // Upgraded: its records may take as much of the kernel's memory as
        // the credit window an honest host has on its way to a device; what
        // a device sends, the window a phone's upload keeps on its way.
        auto& socket = beast::get_lowest_layer(ws_).socket();
        beast::error_code ignored;
        socket.set_option(asio::socket_base::send_buffer_size(RelayLimits::sendBufferBytes), ignored);
        socket.set_option(asio::socket_base::receive_buffer_size(host ? RelayLimits::receiveBufferBytes
                                                                       : RelayLimits::deviceReceiveBufferBytes),
                          ignored);
        const int unsent = RelayLimits::unsentBytes;
        ::setsockopt(socket.native_handle(), IPPROTO_TCP, TCP_NOTSENT_LOWAT, &unsent, sizeof unsent);
    }
    ~PeerSocket() override { server_->budget.remove(this); }

    void accept(const Request& request, std::function<void(const std::shared_ptr<PeerSocket>&)> opened) {
        // Shed once it is closing (see closing()): nothing of it is kept.
        slot_.onShed([weak = this->weak_from_this()] {
            if (const auto self = weak.lock()) self->reset();
        });
        ws_.set_option(ws::stream_base::timeout{handshakeTime, std::chrono::seconds(60), true});
        ws_.set_option(ws::stream_base::decorator([](ws::response_type& response) {
            response.set(http::field::sec_websocket_protocol, "morvane.v1");
            response.set(http::field::cache_control, "no-store");
        }));
        // A host's records toward a device may fill a whole fragment; a
        // device's records are counted as they come.
        ws_.read_message_max(RelayLimits::maxHostFrameBytes);
        // Each message goes out as one frame, header and payload in one
        // write, straight from the queued bytes.
        ws_.auto_fragment(false);
        ws_.async_accept(request, [self = this->shared_from_this(), opened = std::move(opened)](beast::error_code ec) {
            if (ec || self->server_->stopped) return;
            opened(self);
            self->read();
        });
    }

    void sendUnframed(Bytes bytes) override {
        if (closing_) return;
        outbox_.push_back(Outgoing{false, std::move(bytes), 0, 0, true});
        pump();
    }

    void sendText(std::string text) override { enqueue(true, Bytes(text.begin(), text.end()), 0); }
    void sendBinary(Bytes data) override { enqueue(false, std::move(data), 0); }
    void sendRecord(Bytes frame, std::size_t from) override { enqueue(false, std::move(frame), from); }
    void close(int code, std::string reason) override {
        if (closing_) return;
        closing();
        closeCode_ = code;
        closeReason_ = std::move(reason);
        // What waits still goes first, but a peer that never takes it does
        // not keep the socket past the close handshake's time. With nothing
        // before it (a device refused as it came, a quiet one), the close
        // goes out at once and an honest peer answers it within a round
        // trip: one that does not is not waited for.
        arm(outbox_.empty() && !writing_ && nothingUnsent()
                ? std::chrono::milliseconds(RelayLimits::closeReplyMillis)
                : std::chrono::duration_cast<std::chrono::milliseconds>(handshakeTime));
        // Held back, it is read again to its answer.
        resume();
        unhold();
        pump();
    }

    void holdReads(std::int64_t millis) override {
        if (closing_) return;
        holding_ = true;
        // Owned by the socket: once it is gone, the turn calls nothing.
        pace_.start(millis, [this] {
            holding_ = false;
            if (!server_->stopped) read();
        });
    }

    std::uint64_t taken() const override {
        // What the kernel still holds is all it has not had acknowledged.
        // Over TLS what was written is counted before encryption, a few
        // bytes in a thousand fewer than the kernel's.
        auto& socket = beast::get_lowest_layer(const_cast<PeerSocket*>(this)->ws_).socket();
        int held = 0;
        if (socket.is_open() && ::ioctl(socket.native_handle(), SIOCOUTQ, &held) == 0 && held >= 0) {
            const auto written = ws_.next_layer().written();
            taken_ = std::max(taken_, written - std::min<std::uint64_t>(written, static_cast<unsigned>(held)));
        }
        return taken_;
    }

    std::size_t kernelBytes() const override {
        // The kernel's own figures for the socket's memory, as `ss -m`
        // reads them: what it holds received and queued to send.
        auto& socket = beast::get_lowest_layer(const_cast<PeerSocket*>(this)->ws_).socket();
        std::uint32_t memory[SK_MEMINFO_VARS] = {};
        socklen_t size = sizeof memory;
        if (!socket.is_open() || ::getsockopt(socket.native_handle(), SOL_SOCKET, SO_MEMINFO, memory, &size) != 0)
            return 0;
        return std::size_t{memory[SK_MEMINFO_RMEM_ALLOC]} + memory[SK_MEMINFO_WMEM_QUEUED] + memory[SK_MEMINFO_BACKLOG];
    }

    void resume() override {
        if (!parked_) return;
        parked_ = false;
        asio::post(ws_.get_executor(), [self = this->shared_from_this()] {
            if (!self->server_->stopped) self->read();
        });
    }

    void makeRoom(const QueueOver& over) override {
        server_->budget.closing(this);
        dropWaiting();
        if (slow_) return;
        slow_ = true;
        const bool counted = !closing_;  // the hub has not closed it itself
        const auto slow = host_ ? RelayLinkClose::slow : RelayDeviceClose::slow;
        const auto said = "with " + std::to_string(slow.code) + " (" + std::string(slow.word) + "): " +
                          server_->budget.explain(over);
        if (over.cause == QueueCause::heldBack) {
            // An account's many senders at once: a line every few seconds.
            RelayServer::Impl::tell(server_->heldBackClosed, [&](int count) {
                server_->log.warning(count == 1 ? "closed " + name() + " " + said
                                                : "closed " + std::to_string(count) +
                                                      " connections whose reads were held back, the last " + name() +
                                                      " " + said);
            });
        } else {
            server_->log.warning("closed " + name() + " " + said);
        }
        closing();
        closeCode_ = slow.code;
        closeReason_ = std::string(slow.word);
        graceTaken_ = taken();
        armSlowClose();
        // The hub hears of it on the next turn, not inside a call of its
        // own that sent this socket a message.
        if (counted)
            asio::post(server_->io, [self = this->shared_from_this(), why = closeWhy(over)] {
                if (!self->server_->stopped) self->server_->hub.ended(self.get(), why);
            });
        // One held back is read again, what it sent going nowhere, so that
        // the kernel lets go of it and its peer's answer to the close comes.
        resume();
        unhold();
        pump();
    }

private:
    struct Outgoing {
        bool text = false;
        Bytes bytes;
        std::size_t from = 0;  // what is sent begins here
        std::size_t charged = 0;
        bool unframed = false;  // a test's bytes, past the framing
        std::size_t size() const { return bytes.size() - from; }
    };

    static std::string closeWhy(const QueueOver& over) {
        return over.cause == QueueCause::heldBack ? "what it sent was held back too long" : "it stopped reading";
    }

    void enqueue(bool text, Bytes data, std::size_t from) {
        if (closing_ || from > data.size()) return;
        // The bytes queued: a record given away with the frame it was read
        // in fills at least three quarters of that frame's room.
        const auto charged = data.size();
        while (const auto over = server_->budget.charge(this, charged, server_->reading)) {
            over->queue->makeRoom(*over);
            if (over->queue == this) return;
        }
        outbox_.push_back(Outgoing{text, std::move(data), from, charged});
        pump();
    }

    // A socket the relay is closing holds no room worth keeping: when the
    // relay is full it goes before anyone waiting to be answered.
    void closing() {
        closing_ = true;
        slot_.closing();
    }

    bool nothingUnsent() {
        int unsent = 0;
        return ::ioctl(beast::get_lowest_layer(ws_).socket().native_handle(), SIOCOUTQNSD, &unsent) == 0 && unsent == 0;
    }

    // Drops what waits; the message being written stays until its write
    // completes, since the write still reads it.
    void dropWaiting() {
        const auto keep = writing_ && !outbox_.empty() ? 1 : 0;
        std::size_t dropped = 0;
        for (auto it = outbox_.begin() + keep; it != outbox_.end(); ++it) dropped += it->charged;
        outbox_.erase(outbox_.begin() + keep, outbox_.end());
        server_->budget.release(this, dropped);
    }

    void pump() {
        if (writing_) return;
        if (outbox_.empty()) {
            if (closing_ && !closeSent_) {
                closeSent_ = true;
                writing_ = true;
                ws_.async_close(ws::close_reason(static_cast<ws::close_code>(closeCode_), closeReason_),
                                [self = this->shared_from_this()](beast::error_code) {
                                    self->writing_ = false;
                                    self->deadline_.cancel();
                                });
            }
            return;
        }
        writing_ = true;
        const auto& front = outbox_.front();
        auto written = [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
            self->writing_ = false;
            self->server_->budget.release(self.get(), self->outbox_.front().charged);
            self->server_->records.giveBack(std::move(self->outbox_.front().bytes));
            self->outbox_.pop_front();
            // A socket that failed is ended by its read.
            if (ec) return self->dropWaiting();
            self->pump();
        };
        const auto bytes = asio::buffer(front.bytes.data() + front.from, front.size());
        if (front.unframed) return asio::async_write(ws_.next_layer(), bytes, std::move(written));
        ws_.text(front.text);
        ws_.async_write(bytes, std::move(written));
    }

    // After `wait` the socket is reset, whatever is still being written: a
    // peer that took nothing for so long would keep a closed socket, and
    // the kernel's buffer behind it, for minutes of retries.
    // A close that went out whole loses nothing to the reset: no line of the
    // log for each of them (`tell` false).
    void arm(std::chrono::milliseconds wait, bool tell = true) {
        deadline_.expires_after(wait);
        deadline_.async_wait([weak = this->weak_from_this(), tell](beast::error_code ec) {
            const auto self = weak.lock();
            if (ec || !self) return;
            self->reset();
            // Once the server stopped, the hub that names sockets may be gone.
            if (tell && !self->server_->stopped)
                self->server_->socketReset(self->server_->closesUnwritten, self->name(),
                                           "its close could not be written in time");
        });
    }

    // A peer closed as slow keeps its socket while it still takes what is
    // ahead of its close, at least a quarter of the floor over each window:
    // the close is written behind what the kernel holds already, seconds of
    // it for a slow phone, and the page says "too slow" only once it reads
    // it. One that took less is reset.
    void armSlowClose() {
        const auto& limits = server_->budget.limits();
        deadline_.expires_after(std::chrono::milliseconds(limits.windowMillis));
        deadline_.async_wait([weak = this->weak_from_this()](beast::error_code ec) {
            const auto self = weak.lock();
            if (ec || !self) return;
            const auto& limits = self->server_->budget.limits();
            const auto took = self->taken();
            if (took - self->graceTaken_ >=
                limits.floorBytesPerSecond * static_cast<std::uint64_t>(limits.windowMillis) / 4'000) {
                self->graceTaken_ = took;
                return self->armSlowClose();
            }
            self->reset();
            if (!self->server_->stopped)
                self->server_->socketReset(self->server_->closesUntaken, self->name(), "it did not take its close in time");
        });
    }

    // Ends the connection at once: what is unsent is dropped and the peer
    // is told with a reset; the write in progress completes with an error.
    void reset() {
        beast::error_code ignored;
        auto& lowest = beast::get_lowest_layer(ws_);
        lowest.socket().set_option(asio::socket_base::linger(true, 0), ignored);
        lowest.close();
    }

    std::string name() const {
        auto known = server_->hub.describe(this);
        if (known.empty()) known = (host_ ? "a link of room " : "a device of room ") + room_;
        return known + " from " + from_;
    }

    // While the hub takes a message this socket read, what it sends on is
    // charged as this socket's: past a limit, it is this one that waits.
    struct Reading {
        explicit Reading(PeerSocket& socket) : server(*socket.server_) { server.reading = &socket; }
        ~Reading() { server.reading = nullptr; }
        RelayServer::Impl& server;
    };

    // A device held back for its pace is read to its close at once.
    void unhold() {
        if (!holding_) return;
        holding_ = false;
        pace_.stop();
        asio::post(ws_.get_executor(), [self = this->shared_from_this()] {
            if (!self->server_->stopped) self->read();
        });
    }

    void read() {
        // One read at a time, whoever asks for the next (the pace, a close).
        if (reading_) return;
        // A socket being closed sends nothing anyone gets: it is read to its
        // close whatever holds back its account or its pace.
        if (!closing_ && holding_) return;
        if (!closing_ && server_->budget.held(this)) {
            parked_ = true;
            return;
        }
        reading_ = true;
        if (host_) {
            ws_.async_read(message_, [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
                self->reading_ = false;
                if (self->server_->stopped) return;
                if (ec) return self->finished(ec);
                const Reading reading(*self);
                auto& message = self->message_;
                const auto data = message.data();
                const std::span<const std::uint8_t> bytes(static_cast<const std::uint8_t*>(data.data()), data.size());
                if (self->slow_) {
                    message.clear();  // read to its close, going nowhere
                } else if (self->ws_.got_text()) {
                    self->server_->hub.hostText(self.get(),
                                                std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
                    message.clear();
                } else if (message.full()) {
                    self->server_->hub.hostBinary(self.get(), message.take());
                } else {
                    self->server_->hub.hostBinary(self.get(), bytes);
                    message.clear();
                }
                self->read();
            });
            return;
        }
        // A device's message is read in pieces so that one over the record
        // limit is caught with at most one byte too many held.
        const auto room = RelayLimits::maxDeviceRecordBytes + 1 - buffer_.size();
        ws_.async_read_some(buffer_, room, [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
            self->reading_ = false;
            if (self->server_->stopped) return;
            if (ec) return self->finished(ec);
            const bool done = self->ws_.is_message_done();
            const bool over = self->buffer_.size() > RelayLimits::maxDeviceRecordBytes;
            if (!done && !over) return self->read();
            const auto data = self->buffer_.cdata();
            const std::span<const std::uint8_t> bytes(static_cast<const std::uint8_t*>(data.data()), data.size());
            if (!self->slow_) {
                const Reading reading(*self);
                self->server_->hub.deviceMessage(self.get(), self->ws_.got_text(), bytes);
            }
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
    // No permessage-deflate: records are sealed, so it would only cost.
    ws::stream<ReadAhead<Next>, false> ws_;
    ConnectionSlot slot_;
    bool host_;
    std::string room_;
    std::string from_;
    beast::flat_buffer buffer_;             // a device's message
    RecordBuffer message_{RelayLimits::maxHostFrameBytes, &server_->records};  // a host's
    // The front is being written while `writing_`; only its write's
    // completion takes it away.
    std::deque<Outgoing> outbox_;
    asio::steady_timer deadline_;
    bool writing_ = false;
    bool closing_ = false;
    bool closeSent_ = false;
    bool slow_ = false;
    bool parked_ = false;              // held back by the budget, its next read not begun
    bool holding_ = false;             // held back for its pace until `pace_` ends
    bool reading_ = false;             // a read is under way
    OneShotTimer pace_;
    mutable std::uint64_t taken_ = 0;  // never less than before
    std::uint64_t graceTaken_ = 0;     // closed as slow: what it had taken at the last look
    int closeCode_ = 1000;
    std::string closeReason_;
};

}  // namespace morvane::relay_service::detail
