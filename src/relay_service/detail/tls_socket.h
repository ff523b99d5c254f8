// The relay's TLS: OpenSSL reads and writes the socket itself, so that a
// connection holds only what OpenSSL keeps for it. Asio's stream puts two
// record buffers and a BIO pair (some 68 KB) in front of every connection
// from the moment it is accepted, whether its client ever says anything or
// not; here a connection holds no TLS state until its first bytes come,
// and, its buffers released whenever they are empty (as nginx has it), a
// handshake done and silent keeps a few kilobytes. Server side only; on
// the server's one network thread. Internal to the server.
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

namespace morvane::relay_service::detail {

// OpenSSL's own socket BIO writes with write(), which raises SIGPIPE when
// the client has gone; this one sends with MSG_NOSIGNAL, as Asio does.
inline BIO_METHOD* tlsSocketMethod() {
    static BIO_METHOD* const method = [] {
        auto* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR, "relay socket");
        BIO_meth_set_write_ex(made, [](BIO* bio, const char* data, std::size_t size, std::size_t* written) -> int {
            BIO_clear_retry_flags(bio);
            const auto sent = ::send(static_cast<int>(reinterpret_cast<std::intptr_t>(BIO_get_data(bio))), data, size,
                                     MSG_NOSIGNAL);
            if (sent >= 0) {
                *written = static_cast<std::size_t>(sent);
                return 1;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) BIO_set_retry_write(bio);
            return 0;
        });
        BIO_meth_set_read_ex(made, [](BIO* bio, char* data, std::size_t size, std::size_t* read) -> int {
            BIO_clear_retry_flags(bio);
            const auto got = ::recv(static_cast<int>(reinterpret_cast<std::intptr_t>(BIO_get_data(bio))), data, size, 0);
            if (got > 0) {
                *read = static_cast<std::size_t>(got);
                return 1;
            }
            if (got == 0) {
                errno = 0;  // the end, not a failure
            } else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                BIO_set_retry_read(bio);
            }
            return 0;
        });
        BIO_meth_set_ctrl(made, [](BIO*, int command, long, void*) -> long { return command == BIO_CTRL_FLUSH ? 1 : 0; });
        return made;
    }();
    return method;
}

// `Next` is the stream whose socket OpenSSL reads and writes (Beast's
// basic_stream here): it stays the lowest layer, for the socket's options
// and its close.
template <class Next>
class TlsSocket {
public:
    using executor_type = typename Next::executor_type;
    using next_layer_type = Next;

    TlsSocket(Next next, std::shared_ptr<boost::asio::ssl::context> context)
        : next_(std::move(next)), context_(std::move(context)) {}
    TlsSocket(TlsSocket&& other) noexcept
        : next_(std::move(other.next_)),
          context_(std::move(other.context_)),
          ssl_(std::exchange(other.ssl_, nullptr)),
          gather_(std::move(other.gather_)) {}
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
        return boost::asio::async_compose<Token, void(boost::beast::error_code)>(HandshakeOp{*this}, token, socket());
    }

    template <class MutableBuffers, class Token>
    auto async_read_some(const MutableBuffers& buffers, Token&& token) {
        return boost::asio::async_compose<Token, void(boost::beast::error_code, std::size_t)>(
            TransferOp<MutableBuffers, false>{*this, buffers}, token, socket());
    }

    template <class ConstBuffers, class Token>
    auto async_write_some(const ConstBuffers& buffers, Token&& token) {
        return boost::asio::async_compose<Token, void(boost::beast::error_code, std::size_t)>(
            TransferOp<ConstBuffers, true>{*this, buffers}, token, socket());
    }

    // A close_notify if it goes out at once; nothing is waited for.
    void notifyClose() {
        if (!ssl_ || !socket().is_open() || !SSL_is_init_finished(ssl_)) return;
        ERR_clear_error();
        SSL_shutdown(ssl_);
        ERR_clear_error();
    }

private:
    auto& socket() { return next_.socket(); }

    // What OpenSSL's answer means for the caller: a wait (read or write),
    // or the end with this error.
    enum class Then { readable, writable, end };
    Then then(int result, boost::beast::error_code& ec) {
        const int error = SSL_get_error(ssl_, result);
        if (error == SSL_ERROR_WANT_READ) return Then::readable;
        if (error == SSL_ERROR_WANT_WRITE) return Then::writable;
        if (error == SSL_ERROR_ZERO_RETURN) {
            ec = boost::asio::error::eof;
        } else if (const auto reason = ERR_peek_last_error(); reason != 0) {
            ec = boost::beast::error_code(static_cast<int>(reason), boost::asio::error::get_ssl_category());
        } else if (error == SSL_ERROR_SYSCALL && errno != 0) {
            ec = boost::beast::error_code(errno, boost::system::system_category());
        } else {
            ec = boost::asio::ssl::error::stream_truncated;
        }
        ERR_clear_error();
        return Then::end;
    }

    template <class Op>
    void wait(Then what, Op&& op) {
        socket().async_wait(what == Then::readable ? Next::socket_type::wait_read : Next::socket_type::wait_write,
                            std::forward<Op>(op));
    }

    struct HandshakeOp {
        TlsSocket& self;
        bool started = false;

        template <class Op>
        void operator()(Op& op, boost::beast::error_code ec = {}) {
            if (!ec && !self.socket().is_open()) ec = boost::asio::error::bad_descriptor;
            if (!ec && !self.ssl_ && !self.start()) ec = boost::asio::error::no_memory;
            if (ec) return finish(op, ec);
            ERR_clear_error();
            const int done = SSL_do_handshake(self.ssl_);
            if (done == 1) return finish(op, {});
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
            boost::asio::post(self.socket().get_executor(), [op = std::move(op), ec]() mutable { op.complete(ec); });
        }
    };

    bool start() {
        ssl_ = SSL_new(context_->native_handle());
        context_.reset();
        if (!ssl_) return false;
        BIO* bio = BIO_new(tlsSocketMethod());
        if (!bio) {
            SSL_free(std::exchange(ssl_, nullptr));
            return false;
        }
        BIO_set_data(bio, reinterpret_cast<void*>(static_cast<std::intptr_t>(socket().native_handle())));
        BIO_set_init(bio, 1);
        SSL_set_bio(ssl_, bio, bio);
        SSL_set_accept_state(ssl_);
        // Its buffers go back whenever they are empty; a write may resume
        // from a buffer that moved (the gathered bytes below).
        SSL_set_mode(ssl_, SSL_MODE_RELEASE_BUFFERS | SSL_MODE_ENABLE_PARTIAL_WRITE |
                               SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
        // A record's header and body in one read, and what follows it too.
        SSL_set_read_ahead(ssl_, 1);
        return true;
    }

    // A frame's header and the start of its payload go in one record: a
    // record each would cost a write and 22 bytes more.
    static constexpr std::size_t gatherBytes = 16'384;

    template <class Buffers, bool Writes>
    struct TransferOp {
        TlsSocket& self;
        Buffers buffers;
        bool started = false;

        template <class Op>
        void operator()(Op& op, boost::beast::error_code ec = {}) {
            if (ec) return finish(op, ec, 0);
            if (!self.ssl_ || !self.socket().is_open()) return finish(op, boost::asio::error::bad_descriptor, 0);
            std::size_t done = 0;
            int result = 1;
            ERR_clear_error();
            if (boost::asio::buffer_size(buffers) == 0) return finish(op, {}, 0);
            if constexpr (Writes) {
                // Record after record while the socket takes them.
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
            boost::asio::post(self.socket().get_executor(), [op = std::move(op), ec, n]() mutable {
                op.complete(ec, n);
            });
        }
    };

    // The first buffer, or, when it is small and more follow, it and what
    // follows of them up to a record's worth, gathered once for the write
    // and its retries.
    template <class Buffers>
    boost::asio::const_buffer gathered(const Buffers& buffers) {
        if (gather_) return {gather_.get(), gatherSize_};
        auto it = boost::asio::buffer_sequence_begin(buffers);
        const auto end = boost::asio::buffer_sequence_end(buffers);
        while (it != end && boost::asio::const_buffer(*it).size() == 0) ++it;
        if (it == end) return {};
        const boost::asio::const_buffer first = *it;
        if (first.size() >= 1'024 || std::next(it) == end) return first;
        gather_ = std::make_unique_for_overwrite<std::uint8_t[]>(gatherBytes);
        gatherSize_ = boost::asio::buffer_copy(boost::asio::buffer(gather_.get(), gatherBytes), buffers);
        return {gather_.get(), gatherSize_};
    }

    Next next_;
    std::shared_ptr<boost::asio::ssl::context> context_;  // until the SSL object is made
    SSL* ssl_ = nullptr;
    std::unique_ptr<std::uint8_t[]> gather_;
    std::size_t gatherSize_ = 0;
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
