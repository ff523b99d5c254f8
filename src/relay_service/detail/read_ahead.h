// A stream that reads ahead while data streams in. A WebSocket reader asks
// for a frame's header and then its payload, one read each; a host that
// sends a picture as many small frames would cost the relay two reads a
// frame. While reads fill what was asked (more is waiting), this reads
// `capacity` bytes at once and hands them out from memory; a read as
// large as that, or one on a quiet socket, goes straight to the caller's
// buffer, so a large frame is not copied here and an idle socket holds no
// buffer. Internal to the server.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>

#include <boost/asio/buffer.hpp>
#include <boost/asio/compose.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/core/role.hpp>
#include <boost/beast/websocket/teardown.hpp>

// The sockets read through this take the relay's unmasking.
#include "relay_service/detail/unmask.h"

namespace morvane::relay_service::detail {

template <class Next>
class ReadAhead {
public:
    using executor_type = typename Next::executor_type;
    using next_layer_type = Next;

    ReadAhead(Next next, std::size_t capacity) : next_(std::move(next)), capacity_(capacity) {}

    executor_type get_executor() noexcept { return next_.get_executor(); }
    Next& next_layer() noexcept { return next_; }
    const Next& next_layer() const noexcept { return next_; }

    template <class ConstBuffers, class Token>
    auto async_write_some(const ConstBuffers& buffers, Token&& token) {
        return boost::asio::async_compose<Token, void(boost::beast::error_code, std::size_t)>(
            WriteOp<ConstBuffers>{*this, buffers}, token, next_);
    }

    // Bytes the writes have handed to the layer below: less what the
    // kernel still holds, what the peer took.
    std::uint64_t written() const noexcept { return written_; }

    template <class MutableBuffers, class Token>
    auto async_read_some(const MutableBuffers& buffers, Token&& token) {
        return boost::asio::async_compose<Token, void(boost::beast::error_code, std::size_t)>(
            ReadOp<MutableBuffers>{*this, buffers}, token, next_);
    }

private:
    template <class Buffers>
    struct ReadOp {
        ReadAhead& self;
        Buffers buffers;
        enum class Step { start, filled, direct, handOut } step = Step::start;

        template <class Self>
        void operator()(Self& op, boost::beast::error_code ec = {}, std::size_t n = 0) {
            const auto wanted = boost::asio::buffer_size(buffers);
            switch (step) {
                case Step::start:
                    if (self.begin_ < self.end_ || wanted == 0) {
                        // Never complete inside the call that started it.
                        step = Step::handOut;
                        return boost::asio::post(self.next_.get_executor(), std::move(op));
                    }
                    if (!self.streaming_ || wanted >= self.capacity_) {
                        self.store_.reset();
                        step = Step::direct;
                        return self.next_.async_read_some(buffers, std::move(op));
                    }
                    if (!self.store_) self.store_ = std::make_unique<std::uint8_t[]>(self.capacity_);
                    step = Step::filled;
                    return self.next_.async_read_some(boost::asio::buffer(self.store_.get(), self.capacity_),
                                                      std::move(op));
                case Step::filled:
                    if (ec) return op.complete(ec, 0);
                    self.begin_ = 0;
                    self.end_ = n;
                    self.streaming_ = n == self.capacity_;
                    [[fallthrough]];
                case Step::handOut: {
                    const auto copied = boost::asio::buffer_copy(
                        buffers, boost::asio::buffer(self.store_.get() + self.begin_, self.end_ - self.begin_));
                    self.begin_ += copied;
                    return op.complete({}, copied);
                }
                case Step::direct:
                    self.streaming_ = !ec && n == wanted;
                    return op.complete(ec, n);
            }
        }
    };

    template <class Buffers>
    struct WriteOp {
        ReadAhead& self;
        Buffers buffers;
        bool started = false;

        template <class Self>
        void operator()(Self& op, boost::beast::error_code ec = {}, std::size_t n = 0) {
            if (!started) {
                started = true;
                return self.next_.async_write_some(buffers, std::move(op));
            }
            self.written_ += n;
            op.complete(ec, n);
        }
    };

    Next next_;
    std::uint64_t written_ = 0;
    std::size_t capacity_;
    std::unique_ptr<std::uint8_t[]> store_;
    std::size_t begin_ = 0, end_ = 0;
    bool streaming_ = false;
};

template <class Next>
void teardown(boost::beast::role_type role, ReadAhead<Next>& stream, boost::beast::error_code& ec) {
    using boost::beast::websocket::teardown;
    teardown(role, stream.next_layer(), ec);
}

template <class Next, class Handler>
void async_teardown(boost::beast::role_type role, ReadAhead<Next>& stream, Handler&& handler) {
    using boost::beast::websocket::async_teardown;
    async_teardown(role, stream.next_layer(), std::forward<Handler>(handler));
}

}  // namespace morvane::relay_service::detail
