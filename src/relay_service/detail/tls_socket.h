// The relay's TLS: OpenSSL reads and writes the socket itself, so that a
// connection holds only what OpenSSL keeps for it. Asio's stream puts two
// record buffers and a BIO pair (some 68 KB) in front of every connection
// from the moment it is accepted, whether its client ever says anything or
// not; here a connection holds no TLS state until its first bytes come,
// and, its buffers released whenever they are empty (as nginx has it), a
// handshake done and silent keeps a few kilobytes. No client holds the
// thread: each step gives OpenSSL a bounded turn of the client's bytes,
// and a client past its allowance of KeyUpdates is closed. Server side
// only; on the server's one network thread. Internal to the server.
#pragma once

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>

#include <boost/asio/buffer.hpp>
#include <boost/asio/compose.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/core/role.hpp>
#include <boost/beast/websocket/teardown.hpp>

#include "core/clock.h"

namespace morvane::relay_service::detail {

// What TLS asks of the stream under it: a read and a write that never wait
// (`would_block` when they would; a read's end is `eof`), a wait until it
// could read or write, and whether it is open. For a stream over a TCP
// socket (the relay's) these are the socket's own, the writes with
// MSG_NOSIGNAL, as Asio's: OpenSSL's own socket BIO writes with write(),
// which raises SIGPIPE when the client has gone. Another stream specializes
// this.
template <class Next>
struct TlsTransport {
    static int descriptor(Next& next) { return next.socket().native_handle(); }
    static std::size_t read(Next& next, void* data, std::size_t size, boost::beast::error_code& ec) {
        const auto got = ::recv(descriptor(next), data, size, 0);
        return ended(got, ec);
    }
    static std::size_t write(Next& next, const void* data, std::size_t size, boost::beast::error_code& ec) {
        const auto sent = ::send(descriptor(next), data, size, MSG_NOSIGNAL);
        return ended(sent, ec);
    }
    template <class Handler>
    static void wait(Next& next, bool readable, Handler&& handler) {
        next.socket().async_wait(readable ? Next::socket_type::wait_read : Next::socket_type::wait_write,
                                 std::forward<Handler>(handler));
    }
    static bool isOpen(Next& next) { return next.socket().is_open(); }

private:
    static std::size_t ended(ssize_t result, boost::beast::error_code& ec) {
        if (result > 0) return static_cast<std::size_t>(result);
        if (result == 0) {
            ec = boost::asio::error::eof;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
            ec = boost::asio::error::would_block;
        } else {
            ec = boost::beast::error_code(errno, boost::system::system_category());
        }
        return 0;
    }
};

// The gathering rule: what one write hands OpenSSL, of a first buffer of
// `first` bytes (the first that is not empty) followed by `rest` bytes in
// other buffers. A frame's header and the start of its payload go in one
// record, copied together: a record each would cost a write and 22 bytes
// more. A first buffer that fills a record well enough, or that nothing
// follows, goes alone, uncopied.
struct Gathering {
    std::size_t bytes = 0;
    bool copied = false;
    bool operator==(const Gathering&) const = default;
};
inline constexpr std::size_t gatherBytes = 16'384;      // one record's worth
inline constexpr std::size_t gatherBelowBytes = 1'024;  // a first buffer smaller than this is gathered
constexpr Gathering gathering(std::size_t first, std::size_t rest) {
    if (first == 0 || first >= gatherBelowBytes || rest == 0) return {first, false};
    return {std::min(first + rest, gatherBytes), true};
}

// How many handshake messages a client may send once its handshake is done
// (TLS 1.3 KeyUpdates; in TLS 1.2 a renegotiation's hello, which OpenSSL
// refuses, each with an alert): each costs OpenSSL new keys and, asked for,
// an answer. A browser updates its keys after some hundreds of gigabytes, if
// ever; a client that sends them faster than `perMillis` once it has used
// `burst` is closed. A value, on the clock it is handed.
class KeyUpdateAllowance {
public:
    static constexpr int burst = 16;
    static constexpr std::int64_t perMillis = 10'000;

    // Whether one more is within the allowance at `nowMillis`.
    bool take(std::int64_t nowMillis) {
        if (!begun_) {
            begun_ = true;
            since_ = nowMillis;
        }
        const auto earned = (nowMillis - since_) / perMillis;
        if (earned > 0) {
            left_ = static_cast<int>(std::min<std::int64_t>(burst, left_ + earned));
            since_ += earned * perMillis;
        }
        if (left_ == 0) return false;
        --left_;
        return true;
    }

private:
    bool begun_ = false;
    int left_ = burst;
    std::int64_t since_ = 0;
};

// The bytes one read or handshake step gives OpenSSL at most before the
// loop goes on with other work. OpenSSL works through every record it
// holds within one call, answering each KeyUpdate that asks for it; a
// client sending them as fast as it can would otherwise hold the thread
// for as long as it keeps sending. What a WebSocket reads at once (64 KiB)
// fits, with its records' headers and tags; a turn of KeyUpdates (some
// 3,000, when the allowance below has not ended the connection first)
// takes milliseconds.
inline constexpr std::size_t tlsTurnBytes = 81'920;

// `Next` is the stream OpenSSL reads and writes through TlsTransport
// (Beast's basic_stream here): it stays the lowest layer, for the socket's
// options and its close. `clock` gives monotonic milliseconds for the
// allowance of KeyUpdates.
template <class Next>
class TlsSocket {
public:
    using executor_type = typename Next::executor_type;
    using next_layer_type = Next;
    using Transport = TlsTransport<Next>;
    using Clock = std::int64_t (*)();

    TlsSocket(Next next, std::shared_ptr<boost::asio::ssl::context> context, Clock clock = &nowMillis)
        : next_(std::move(next)), context_(std::move(context)), clock_(clock) {}
    TlsSocket(TlsSocket&& other) noexcept
        : next_(std::move(other.next_)),
          context_(std::move(other.context_)),
          clock_(other.clock_),
          ssl_(std::exchange(other.ssl_, nullptr)),
          gather_(std::move(other.gather_)),
          gatherSize_(other.gatherSize_),
          allowance_(other.allowance_),
          handshaken_(other.handshaken_),
          refused_(other.refused_) {}
    TlsSocket& operator=(TlsSocket&&) = delete;
    ~TlsSocket() {
        // Never a close_notify here: the socket may be closed, and its
        // number another connection's already.
        if (ssl_) SSL_free(ssl_);
    }

    executor_type get_executor() noexcept { return next_.get_executor(); }
    Next& next_layer() noexcept { return next_; }
    const Next& next_layer() const noexcept { return next_; }
    SSL* native_handle() noexcept { return ssl_; }

    // The server's side of the handshake, begun at once: the caller waits
    // for the client's first bytes before it asks for it.
    template <class Token>
    auto async_handshake(Token&& token) {
        return boost::asio::async_compose<Token, void(boost::beast::error_code)>(HandshakeOp{*this}, token,
                                                                                 get_executor());
    }

    template <class MutableBuffers, class Token>
    auto async_read_some(const MutableBuffers& buffers, Token&& token) {
        return boost::asio::async_compose<Token, void(boost::beast::error_code, std::size_t)>(
            TransferOp<MutableBuffers, false>{*this, buffers}, token, get_executor());
    }

    template <class ConstBuffers, class Token>
    auto async_write_some(const ConstBuffers& buffers, Token&& token) {
        return boost::asio::async_compose<Token, void(boost::beast::error_code, std::size_t)>(
            TransferOp<ConstBuffers, true>{*this, buffers}, token, get_executor());
    }

    // A close_notify if it goes out at once; nothing is waited for.
    void notifyClose() {
        if (!ssl_ || !Transport::isOpen(next_) || !SSL_is_init_finished(ssl_) || refused_) return;
        bind();
        ERR_clear_error();
        SSL_shutdown(ssl_);
        ERR_clear_error();
    }

private:
    static BIO_METHOD* method() {
        static BIO_METHOD* const made = [] {
            auto* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "relay transport");
            BIO_meth_set_write_ex(made, [](BIO* bio, const char* data, std::size_t size, std::size_t* written) -> int {
                return static_cast<TlsSocket*>(BIO_get_data(bio))->transportWrite(bio, data, size, written);
            });
            BIO_meth_set_read_ex(made, [](BIO* bio, char* data, std::size_t size, std::size_t* read) -> int {
                return static_cast<TlsSocket*>(BIO_get_data(bio))->transportRead(bio, data, size, read);
            });
            BIO_meth_set_ctrl(made, [](BIO*, int command, long, void*) -> long { return command == BIO_CTRL_FLUSH ? 1 : 0; });
            return made;
        }();
        return made;
    }

    // The callbacks find this socket where it is now: it may have moved
    // since the last step (into its upgraded WebSocket).
    void bind() {
        BIO_set_data(SSL_get_rbio(ssl_), this);
        SSL_set_msg_callback_arg(ssl_, this);
    }

    // A new turn: this many bytes may be read before the loop goes on.
    void beginTurn() {
        turnLeft_ = tlsTurnBytes;
        yielded_ = false;
        wireError_ = {};
    }

    int transportRead(BIO* bio, char* data, std::size_t size, std::size_t* read) {
        BIO_clear_retry_flags(bio);
        if (refused_) return 0;
        if (turnLeft_ == 0) {
            yielded_ = true;
            BIO_set_retry_read(bio);
            return 0;
        }
        boost::beast::error_code ec;
        const auto got = Transport::read(next_, data, std::min(size, turnLeft_), ec);
        if (got > 0) {
            turnLeft_ -= got;
            *read = got;
            return 1;
        }
        if (ec == boost::asio::error::would_block) {
            BIO_set_retry_read(bio);
        } else if (ec != boost::asio::error::eof) {
            wireError_ = ec;
        }
        return 0;
    }

    int transportWrite(BIO* bio, const char* data, std::size_t size, std::size_t* written) {
        BIO_clear_retry_flags(bio);
        if (refused_) return 0;
        boost::beast::error_code ec;
        const auto sent = Transport::write(next_, data, size, ec);
        if (sent > 0) {
            *written = sent;
            return 1;
        }
        if (ec == boost::asio::error::would_block) {
            BIO_set_retry_write(bio);
        } else {
            wireError_ = ec;
        }
        return 0;
    }

    // Every handshake message the client sends once its handshake is done
    // counts against its allowance; past it, nothing more is read or
    // written, so that OpenSSL stops at the next answer it would write.
    static void onMessage(int written, int, int contentType, const void*, std::size_t size, SSL*, void* arg) {
        auto* self = static_cast<TlsSocket*>(arg);
        if (written || contentType != SSL3_RT_HANDSHAKE || size == 0 || !self || !self->handshaken_) return;
        if (!self->allowance_.take(self->clock_())) self->refused_ = true;
    }

    // What OpenSSL's answer means for the caller: a wait (read or write),
    // a turn given to the loop's other work, or the end with this error.
    enum class Then { readable, writable, yield, end };
    Then then(int result, boost::beast::error_code& ec) {
        const int error = SSL_get_error(ssl_, result);
        if (refused_) {
            ERR_clear_error();
            ec = boost::system::errc::make_error_code(boost::system::errc::protocol_error);
            return Then::end;
        }
        if (error == SSL_ERROR_WANT_READ) return yielded_ ? Then::yield : Then::readable;
        if (error == SSL_ERROR_WANT_WRITE) return Then::writable;
        if (error == SSL_ERROR_ZERO_RETURN) {
            ec = boost::asio::error::eof;
        } else if (const auto reason = ERR_peek_last_error(); reason != 0) {
            ec = boost::beast::error_code(static_cast<int>(reason), boost::asio::error::get_ssl_category());
        } else if (error == SSL_ERROR_SYSCALL && wireError_) {
            ec = wireError_;
        } else {
            ec = boost::asio::ssl::error::stream_truncated;
        }
        ERR_clear_error();
        return Then::end;
    }

    template <class Op>
    void wait(Then what, Op&& op) {
        if (what == Then::yield) return boost::asio::post(get_executor(), std::forward<Op>(op));
        Transport::wait(next_, what == Then::readable, std::forward<Op>(op));
    }

    struct HandshakeOp {
        TlsSocket& self;
        bool started = false;

        template <class Op>
        void operator()(Op& op, boost::beast::error_code ec = {}) {
            if (!ec && !Transport::isOpen(self.next_)) ec = boost::asio::error::bad_descriptor;
            if (!ec && !self.ssl_ && !self.start()) ec = boost::asio::error::no_memory;
            if (ec) return finish(op, ec);
            self.bind();
            self.beginTurn();
            ERR_clear_error();
            const int done = SSL_do_handshake(self.ssl_);
            if (done == 1) {
                self.handshaken_ = true;
                return finish(op, {});
            }
            const auto next = self.then(done, ec);
            if (next == Then::end) return finish(op, ec);
            started = true;
            self.wait(next, std::move(op));
        }

        // Never inside the call that began it.
        template <class Op>
        void finish(Op& op, boost::beast::error_code ec) {
            if (started) return op.complete(ec);
            started = true;
            boost::asio::post(self.get_executor(), [op = std::move(op), ec]() mutable { op.complete(ec); });
        }
    };

    bool start() {
        ssl_ = SSL_new(context_->native_handle());
        context_.reset();
        if (!ssl_) return false;
        BIO* bio = BIO_new(method());
        if (!bio) {
            SSL_free(std::exchange(ssl_, nullptr));
            return false;
        }
        BIO_set_init(bio, 1);
        SSL_set_bio(ssl_, bio, bio);
        SSL_set_accept_state(ssl_);
        SSL_set_msg_callback(ssl_, &TlsSocket::onMessage);
        // Its buffers go back whenever they are empty; a write may resume
        // from a buffer that moved (the gathered bytes below).
        SSL_set_mode(ssl_, SSL_MODE_RELEASE_BUFFERS | SSL_MODE_ENABLE_PARTIAL_WRITE |
                               SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
        // A record's header and body in one read, and what follows it too.
        SSL_set_read_ahead(ssl_, 1);
        return true;
    }

    template <class Buffers, bool Writes>
    struct TransferOp {
        TlsSocket& self;
        Buffers buffers;
        bool started = false;

        template <class Op>
        void operator()(Op& op, boost::beast::error_code ec = {}) {
            if (ec) return finish(op, ec, 0);
            if (!self.ssl_ || !Transport::isOpen(self.next_)) return finish(op, boost::asio::error::bad_descriptor, 0);
            if (self.refused_)
                return finish(op, boost::system::errc::make_error_code(boost::system::errc::protocol_error), 0);
            if (boost::asio::buffer_size(buffers) == 0) return finish(op, {}, 0);
            self.bind();
            self.beginTurn();
            std::size_t done = 0;
            int result = 1;
            ERR_clear_error();
            if constexpr (Writes) {
                // Record after record while the transport takes them.
                const auto bytes = self.gathered(buffers);
                const auto* data = static_cast<const std::uint8_t*>(bytes.data());
                while (done < bytes.size() && result == 1) {
                    std::size_t wrote = 0;
                    result = SSL_write_ex(self.ssl_, data + done, bytes.size() - done, &wrote);
                    done += wrote;
                }
            } else {
                // From what OpenSSL holds already, as much as the buffers take.
                for (auto it = boost::asio::buffer_sequence_begin(buffers); it != boost::asio::buffer_sequence_end(buffers);
                     ++it) {
                    boost::asio::mutable_buffer into = *it;
                    while (into.size() > 0 && result == 1) {
                        if (done > 0 && !SSL_has_pending(self.ssl_)) break;
                        std::size_t got = 0;
                        result = SSL_read_ex(self.ssl_, into.data(), into.size(), &got);
                        done += got;
                        into += got;
                    }
                    if (result != 1 || into.size() > 0) break;
                }
            }
            if (done > 0) {
                // What stopped it is met again by the next call.
                ERR_clear_error();
                return finish(op, {}, done);
            }
            if (result == 1) return finish(op, {}, done);
            const auto next = self.then(result, ec);
            if (next == Then::end) return finish(op, ec, 0);
            started = true;
            self.wait(next, std::move(op));
        }

        // Never inside the call that began it.
        template <class Op>
        void finish(Op& op, boost::beast::error_code ec, std::size_t n) {
            if constexpr (Writes) {
                if (n > 0 || ec) self.gather_.reset();
            }
            if (started) return op.complete(ec, n);
            started = true;
            boost::asio::post(self.get_executor(), [op = std::move(op), ec, n]() mutable { op.complete(ec, n); });
        }
    };

    // What the gathering rule hands OpenSSL of the buffers, gathered once
    // for the write and its retries: a retry must offer at least the bytes
    // of the record OpenSSL began.
    template <class Buffers>
    boost::asio::const_buffer gathered(const Buffers& buffers) {
        if (gather_) return {gather_.get(), gatherSize_};
        auto it = boost::asio::buffer_sequence_begin(buffers);
        const auto end = boost::asio::buffer_sequence_end(buffers);
        while (it != end && boost::asio::const_buffer(*it).size() == 0) ++it;
        if (it == end) return {};
        const boost::asio::const_buffer first = *it;
        std::size_t rest = 0;
        for (auto next = std::next(it); next != end; ++next) rest += boost::asio::const_buffer(*next).size();
        const auto rule = gathering(first.size(), rest);
        if (!rule.copied) return first;
        gather_ = std::make_unique_for_overwrite<std::uint8_t[]>(rule.bytes);
        gatherSize_ = boost::asio::buffer_copy(boost::asio::buffer(gather_.get(), rule.bytes), buffers);
        return {gather_.get(), gatherSize_};
    }

    Next next_;
    std::shared_ptr<boost::asio::ssl::context> context_;  // until the SSL object is made
    Clock clock_;
    SSL* ssl_ = nullptr;
    std::unique_ptr<std::uint8_t[]> gather_;
    std::size_t gatherSize_ = 0;
    KeyUpdateAllowance allowance_;
    bool handshaken_ = false;  // what the client sends now is past its handshake
    bool refused_ = false;     // past its allowance: the connection ends
    // The turn under way: bytes it may still read, whether it used them
    // all, and what the transport failed with.
    std::size_t turnLeft_ = 0;
    bool yielded_ = false;
    boost::beast::error_code wireError_;
};

// A WebSocket's close: a close_notify, then the socket's own teardown.
template <class Next>
void teardown(boost::beast::role_type role, TlsSocket<Next>& stream, boost::beast::error_code& ec) {
    stream.notifyClose();
    using boost::beast::websocket::teardown;
    teardown(role, stream.next_layer().socket(), ec);
}

template <class Next, class Handler>
void async_teardown(boost::beast::role_type role, TlsSocket<Next>& stream, Handler&& handler) {
    stream.notifyClose();
    using boost::beast::websocket::async_teardown;
    async_teardown(role, stream.next_layer().socket(), std::forward<Handler>(handler));
}

}  // namespace morvane::relay_service::detail
