// A WebSocket reader that takes what it is sent at a pace, as a phone on a
// slow link does: so many bytes a second, at most 16 KiB at a time, with a
// pause of some seconds in every cycle when asked. Over loopback, a small
// receive buffer carries that pace to the sender's kernel. The relay's
// socket tests and its benchmark read with it.
#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>

#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

namespace morvane::testing {

struct ReadingPace {
    double bytesPerSecond = 0;
    double cycleSeconds = 0, pauseSeconds = 0;  // no pause when the cycle is 0
    // When the reader will have read for `seconds` in all.
    double when(double seconds) const {
        if (cycleSeconds <= 0) return seconds;
        const double active = cycleSeconds - pauseSeconds;
        const double cycles = std::floor(seconds / active);
        return cycles * cycleSeconds + (seconds - cycles * active);
    }
};

// Reads until the socket ends, then tells `ended` why. Each message's
// bytes go to `received` when given (a message may come in several reads).
template <class Socket>
class PacedReader : public std::enable_shared_from_this<PacedReader<Socket>> {
public:
    using Ended = std::function<void(const boost::beast::error_code&, const Socket&)>;
    using Received = std::function<void(const std::uint8_t* data, std::size_t size, bool last)>;

    PacedReader(std::unique_ptr<Socket> socket, ReadingPace pace, Ended ended, Received received = {})
        : socket_(std::move(socket)),
          pace_(pace),
          timer_(socket_->get_executor()),
          ended_(std::move(ended)),
          received_(std::move(received)) {}

    void start() {
        begun_ = std::chrono::steady_clock::now();
        next();
    }
    std::uint64_t total() const { return total_; }
    bool over() const { return over_; }
    Socket& socket() { return *socket_; }

private:
    void next() {
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - begun_).count();
        const double due = pace_.when(static_cast<double>(total_) / pace_.bytesPerSecond);
        if (due <= elapsed) return read();
        timer_.expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(due - elapsed)));
        timer_.async_wait([self = this->shared_from_this()](boost::beast::error_code ec) {
            if (!ec) self->read();
        });
    }
    void read() {
        socket_->async_read_some(buffer_, 16 << 10, [self = this->shared_from_this()](boost::beast::error_code ec, std::size_t n) {
            if (self->received_ && n > 0)
                self->received_(static_cast<const std::uint8_t*>(self->buffer_.cdata().data()), n,
                                self->socket_->is_message_done());
            self->buffer_.consume(self->buffer_.size());
            self->total_ += n;
            if (ec) {
                self->over_ = true;
                return self->ended_(ec, *self->socket_);
            }
            self->next();
        });
    }

    std::unique_ptr<Socket> socket_;
    ReadingPace pace_;
    boost::asio::steady_timer timer_;
    Ended ended_;
    Received received_;
    boost::beast::flat_buffer buffer_;
    std::uint64_t total_ = 0;
    bool over_ = false;
    std::chrono::steady_clock::time_point begun_;
};

}  // namespace morvane::testing
