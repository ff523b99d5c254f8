#include "relay/beast_relay_socket.h"

#include <chrono>
#include <deque>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include "relay/relay_tls.h"

namespace morvane {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ws = beast::websocket;
using tcp = asio::ip::tcp;

// The layer under the WebSocket whose teardown closes the socket at once.
// Beast ends a connection it finds broken (a frame over the size limit, a
// reserved opcode) by sending a close frame and then waiting for the peer to
// end the TCP or TLS stream; a relay that keeps it open would hold the read,
// and with it the link, until the next missing pong. After a close frame
// there is nothing left to wait for.
template <class Next>
class PromptTeardown {
public:
    using executor_type = typename Next::executor_type;

    template <class... Args>
    explicit PromptTeardown(Args&&... args) : next_(std::forward<Args>(args)...) {}

    executor_type get_executor() noexcept { return next_.get_executor(); }
    Next& next_layer() noexcept { return next_; }
    const Next& next_layer() const noexcept { return next_; }

    template <class Buffers, class Handler>
    auto async_read_some(const Buffers& buffers, Handler&& handler) {
        return next_.async_read_some(buffers, std::forward<Handler>(handler));
    }
    template <class Buffers, class Handler>
    auto async_write_some(const Buffers& buffers, Handler&& handler) {
        return next_.async_write_some(buffers, std::forward<Handler>(handler));
    }

private:
    Next next_;
};

template <class Next>
void teardown(beast::role_type, PromptTeardown<Next>& stream, beast::error_code& ec) {
    beast::get_lowest_layer(stream).socket().close(ec);
}

template <class Next, class Handler>
void async_teardown(beast::role_type, PromptTeardown<Next>& stream, Handler&& handler) {
    beast::error_code ignored;
    beast::get_lowest_layer(stream).socket().close(ignored);
    asio::post(stream.get_executor(),
               [handler = std::forward<Handler>(handler)]() mutable { handler(beast::error_code{}); });
}

// A read that failed because the relay broke the WebSocket protocol (as
// opposed to the relay closing or the network failing).
bool brokeProtocol(const beast::error_code& ec) {
    return ec.category() == beast::error_code(ws::error::closed).category() && ec != ws::error::closed;
}

template <bool Secure>
class BeastRelaySocket final : public RelaySocket, public std::enable_shared_from_this<BeastRelaySocket<Secure>> {
    using Transport = std::conditional_t<Secure, beast::ssl_stream<beast::tcp_stream>, beast::tcp_stream>;
    using Next = PromptTeardown<Transport>;

public:
    BeastRelaySocket(asio::io_context& io, RelaySocketRequest request, RelaySocketHandlers handlers,
                     std::shared_ptr<asio::ssl::context> tls, RelayNameResolver resolve)
        : io_(io),
          request_(std::move(request)),
          handlers_(std::move(handlers)),
          tls_(std::move(tls)),
          resolve_(std::move(resolve)),
          resolver_(io),
          ws_(makeStream(io, tls_)) {}

    void start() {
        beast::get_lowest_layer(ws_).expires_after(std::chrono::milliseconds(request_.timeoutMillis));
        if (resolve_) {
            resolve_(request_.url.host, request_.url.port,
                     [self = this->shared_from_this()](beast::error_code ec, std::vector<tcp::endpoint> found) {
                         asio::post(self->io_, [self, ec, found = std::move(found)] { self->resolved(ec, found); });
                     });
            return;
        }
        resolver_.async_resolve(request_.url.host, std::to_string(request_.url.port),
                                [self = this->shared_from_this()](beast::error_code ec, tcp::resolver::results_type found) {
                                    self->resolved(ec, found);
                                });
    }

    void sendText(std::string text, std::function<void(bool)> done) override {
        enqueue({Out::Kind::text, std::move(text), std::move(done)});
    }
    void sendBinary(Bytes data, std::function<void(bool)> done) override {
        enqueue({Out::Kind::binary, std::string(data.begin(), data.end()), std::move(done)});
    }
    void ping(std::function<void(bool)> pong) override { enqueue({Out::Kind::ping, {}, std::move(pong)}); }

    void cancel() override {
        if (over_) return;
        over_ = true;
        failPending();
        if (open_) {
            ws_.async_close(ws::close_code::going_away, [self = this->shared_from_this()](beast::error_code) {
                beast::error_code ignored;
                beast::get_lowest_layer(self->ws_).socket().close(ignored);
            });
        } else {
            resolver_.cancel();
            beast::error_code ignored;
            beast::get_lowest_layer(ws_).socket().close(ignored);
        }
    }

private:
    struct Out {
        enum class Kind { text, binary, ping } kind;
        std::string data;
        std::function<void(bool)> done;
    };

    Transport& transport() { return ws_.next_layer().next_layer(); }

    static ws::stream<Next> makeStream(asio::io_context& io, const std::shared_ptr<asio::ssl::context>& tls) {
        if constexpr (Secure)
            return ws::stream<Next>(io, *tls);
        else
            return ws::stream<Next>(io);
    }

    template <class Endpoints>
    void resolved(beast::error_code ec, const Endpoints& found) {
        if (over_) return;
        if (ec) return finish(std::nullopt, failure(RelayConnectStage::resolve, ec));
        beast::get_lowest_layer(ws_).async_connect(
            found, [self = this->shared_from_this()](beast::error_code e, const tcp::endpoint&) { self->connected(e); });
    }

    void connected(beast::error_code ec) {
        if (over_) return;
        if (ec) return finish(std::nullopt, failure(RelayConnectStage::connect, ec));
        if constexpr (Secure) {
            if (!prepareRelayTls(transport().native_handle(), request_.url.host))
                return finish(std::nullopt, relayAddressText(request_.url) + ": the secure connection could not be prepared");
            transport().async_handshake(asio::ssl::stream_base::client,
                                             [self = this->shared_from_this()](beast::error_code e) {
                                                 if (self->over_) return;
                                                 if (e)
                                                     return self->finish(std::nullopt,
                                                                         self->failure(RelayConnectStage::tls, e));
                                                 self->upgrade();
                                             });
        } else {
            upgrade();
        }
    }

    void upgrade() {
        ws_.set_option(ws::stream_base::decorator(
            [subprotocol = request_.subprotocol, auth = request_.hostAuth](ws::request_type& r) {
                r.set(http::field::sec_websocket_protocol, subprotocol);
                r.set("X-Morvane-Host-Auth", auth);
                r.set(http::field::user_agent, "morvane-host");
            }));
        ws_.read_message_max(request_.maxMessageBytes);
        // A picture's record goes as one frame, masked 64 KiB at a time:
        // split into 4 KiB frames it cost the host and the relay a write and
        // a read a frame.
        ws_.auto_fragment(false);
        ws_.write_buffer_bytes(64 * 1024);
        ws_.async_handshake(response_, request_.url.hostHeader(), request_.url.path,
                            [self = this->shared_from_this()](beast::error_code e) { self->upgraded(e); });
    }

    void upgraded(beast::error_code ec) {
        if (over_) return;
        if (ec) {
            // The answer's status means something only once the whole answer
            // was read (an answer never read keeps the 200 it was made
            // with): a status is reported, and counted as the relay's
            // answer, only then.
            const std::string at = relayAddressText(request_.url) + ": ";
            const int status = static_cast<int>(response_.result_int());
            if (ec == ws::error::upgrade_declined)
                return finish(status, at + "the relay refused the link with HTTP " + std::to_string(status));
            if (ec == ws::condition::handshake_failed)
                return finish(status, at + "the relay answered the link's upgrade with HTTP " + std::to_string(status) +
                                          " but not as a WebSocket (" + ec.message() + ")");
            if (ec == http::error::end_of_stream || ec == asio::error::eof)
                return finish(std::nullopt, at + "the relay closed the connection without answering the link's upgrade");
            if (ec == http::error::partial_message)
                return finish(std::nullopt, at + "the relay broke off its answer to the link's upgrade");
            return finish(std::nullopt, failure(RelayConnectStage::exchange, ec));
        }
        // The link watches liveness with its own pings; the TCP deadline of
        // the opening ends here. Closing still gets a bounded wait.
        beast::get_lowest_layer(ws_).expires_never();
        ws_.set_option(ws::stream_base::timeout{std::chrono::seconds(5), ws::stream_base::none(), false});
        ws_.control_callback([weak = this->weak_from_this()](ws::frame_type kind, beast::string_view) {
            auto self = weak.lock();
            if (!self || kind != ws::frame_type::pong || self->pongs_.empty()) return;
            auto pong = std::move(self->pongs_.front());
            self->pongs_.pop_front();
            if (!self->over_ && pong) pong(true);
        });
        open_ = true;
        const auto chosen = response_[http::field::sec_websocket_protocol];
        if (handlers_.opened) handlers_.opened(std::string(chosen));
        if (!over_) read();
        pump();
    }

    void read() {
        ws_.async_read(buffer_, [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
            if (self->over_) return;
            if (ec == ws::error::closed) {
                self->over_ = true;
                self->failPending();
                if (self->handlers_.closed) self->handlers_.closed(static_cast<int>(self->ws_.reason().code));
                return;
            }
            if (brokeProtocol(ec)) {
                // Beast has sent its close frame and closed the socket.
                self->over_ = true;
                self->failPending();
                self->explain(relayAddressText(self->request_.url) + ": the relay broke the WebSocket protocol (" +
                              ec.message() + ")");
                if (self->handlers_.receiveFailed) self->handlers_.receiveFailed();
                return;
            }
            if (ec) return self->finish(101, self->failure(RelayConnectStage::exchange, ec));
            const auto data = self->buffer_.data();
            const auto* begin = static_cast<const std::uint8_t*>(data.data());
            if (self->ws_.got_text()) {
                std::string text(reinterpret_cast<const char*>(begin), data.size());
                self->buffer_.consume(self->buffer_.size());
                if (self->handlers_.text) self->handlers_.text(std::move(text));
            } else {
                Bytes bytes(begin, begin + data.size());
                self->buffer_.consume(self->buffer_.size());
                if (self->handlers_.binary) self->handlers_.binary(std::move(bytes));
            }
            if (!self->over_) self->read();
        });
    }

    void enqueue(Out out) {
        if (over_) {
            asio::post(io_, [done = std::move(out.done)] {
                if (done) done(false);
            });
            return;
        }
        outbox_.push_back(std::move(out));
        if (open_) pump();
    }

    void pump() {
        if (writing_ || outbox_.empty() || over_) return;
        writing_ = true;
        auto& front = outbox_.front();
        auto self = this->shared_from_this();
        if (front.kind == Out::Kind::ping) {
            pongs_.push_back(std::move(front.done));
            ws_.async_ping({}, [self](beast::error_code ec) { self->written(ec, false); });
            return;
        }
        ws_.text(front.kind == Out::Kind::text);
        ws_.async_write(asio::buffer(front.data),
                        [self](beast::error_code ec, std::size_t) { self->written(ec, true); });
    }

    void written(beast::error_code ec, bool hasDone) {
        writing_ = false;
        if (outbox_.empty()) return;  // failed by cancel already
        auto out = std::move(outbox_.front());
        outbox_.pop_front();
        if (hasDone && out.done) out.done(!ec && !over_);
        if (!over_) pump();
    }

    // Pending sends hear false; pongs that will never come are dropped
    // (the link's own deadline notices).
    void failPending() {
        auto pending = std::move(outbox_);
        outbox_.clear();
        pongs_.clear();
        for (auto& out : pending)
            if (out.kind != Out::Kind::ping && out.done)
                asio::post(io_, [done = std::move(out.done)] { done(false); });
    }

    // Notes whether the relay's certificate was what failed, for `explain`.
    std::string failure(RelayConnectStage stage, const beast::error_code& ec) {
        SSL* ssl = nullptr;
        if constexpr (Secure) ssl = transport().native_handle();
        if (relayCertificateRefused(stage, ssl)) fault_ = RelayConnectFault::untrustedCertificate;
        return relayConnectFailure(request_.url, stage, ec, ssl);
    }

    void explain(const std::string& why) {
        if (handlers_.failedBecause) handlers_.failedBecause(why, fault_);
    }

    void finish(std::optional<int> status, const std::string& why) {
        over_ = true;
        failPending();
        beast::error_code ignored;
        beast::get_lowest_layer(ws_).socket().close(ignored);
        explain(why);
        if (handlers_.finished) handlers_.finished(status);
    }

    asio::io_context& io_;
    RelaySocketRequest request_;
    RelaySocketHandlers handlers_;
    RelayConnectFault fault_ = RelayConnectFault::other;
    std::shared_ptr<asio::ssl::context> tls_;
    RelayNameResolver resolve_;
    tcp::resolver resolver_;
    ws::stream<Next> ws_;
    ws::response_type response_;
    beast::flat_buffer buffer_;
    std::deque<Out> outbox_;
    std::deque<std::function<void(bool)>> pongs_;
    bool writing_ = false;
    bool open_ = false;
    bool over_ = false;
};

}  // namespace

BeastRelaySocketFactory::BeastRelaySocketFactory(asio::io_context& io, RelayNameResolver resolve)
    : io_(io), tls_(makeRelayTlsContext()), resolve_(std::move(resolve)) {}

std::shared_ptr<RelaySocket> BeastRelaySocketFactory::open(const RelaySocketRequest& request, RelaySocketHandlers handlers) {
    if (request.url.secure()) {
        auto socket = std::make_shared<BeastRelaySocket<true>>(io_, request, std::move(handlers), tls_, resolve_);
        socket->start();
        return socket;
    }
    auto socket = std::make_shared<BeastRelaySocket<false>>(io_, request, std::move(handlers), tls_, resolve_);
    socket->start();
    return socket;
}

}  // namespace morvane
