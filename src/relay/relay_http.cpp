#include "relay/relay_http.h"

#include <atomic>
#include <mutex>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include "relay/relay_tls.h"

namespace morvane {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

struct BeastRelayHttp::Impl {
    asio::io_context io;
    asio::executor_work_guard<asio::io_context::executor_type> guard{io.get_executor()};
    std::size_t maxAnswerBytes = 0;
    RelayNameResolver resolve;

    // The thread and the TLS context (the system's trust store, parsed
    // certificate by certificate) are made by the first call: the host
    // makes this transport at launch, and most never set up a relay.
    void startOnce() {
        const std::lock_guard lock(mutex);
        if (!thread.joinable()) thread = std::thread([this] { io.run(); });
    }
    asio::ssl::context& tlsContext() {
        const std::lock_guard lock(mutex);
        if (!tls) tls = makeRelayTlsContext();
        return *tls;
    }

    std::mutex mutex;
    std::shared_ptr<asio::ssl::context> tls;  // under `mutex` until made, never replaced
    std::thread thread;                        // under `mutex`; joined by the transport's destructor
};

namespace {

template <bool Secure>
class Exchange final : public RelayHttpTask, public std::enable_shared_from_this<Exchange<Secure>> {
    using Stream = std::conditional_t<Secure, beast::ssl_stream<beast::tcp_stream>, beast::tcp_stream>;

public:
    Exchange(std::shared_ptr<BeastRelayHttp::Impl> owner, RelayHttpRequest request, std::function<void(RelayHttpAnswer)> done)
        : owner_(std::move(owner)),
          request_(std::move(request)),
          done_(std::move(done)),
          resolver_(owner_->io),
          stream_(makeStream()) {}

    void start() {
        asio::post(owner_->io, [self = this->shared_from_this()] {
            if (self->over_) return;
            beast::get_lowest_layer(self->stream_).expires_after(std::chrono::milliseconds(self->request_.timeoutMillis));
            if (self->owner_->resolve) {
                self->owner_->resolve(self->request_.url.host, self->request_.url.port,
                                      [self](beast::error_code ec, std::vector<tcp::endpoint> found) {
                                          asio::post(self->owner_->io, [self, ec, found = std::move(found)] {
                                              if (self->over_) return;
                                              if (ec) return self->failed(RelayConnectStage::resolve, ec);
                                              self->connect(found);
                                          });
                                      });
                return;
            }
            self->resolver_.async_resolve(self->request_.url.host, std::to_string(self->request_.url.port),
                                          [self](beast::error_code ec, tcp::resolver::results_type found) {
                                              if (self->over_) return;
                                              if (ec) return self->failed(RelayConnectStage::resolve, ec);
                                              self->connect(found);
                                          });
        });
    }

    void cancel() override {
        asio::post(owner_->io, [self = this->shared_from_this()] {
            if (self->over_) return;
            self->finish({RelayHttpAnswer::Kind::cancelled, 0, std::nullopt, {}});
        });
    }

private:
    Stream makeStream() {
        if constexpr (Secure)
            return Stream(owner_->io, owner_->tlsContext());
        else
            return Stream(owner_->io);
    }

    template <class Endpoints>
    void connect(const Endpoints& found) {
        beast::get_lowest_layer(stream_).async_connect(found, [self = this->shared_from_this()](beast::error_code ec,
                                                                                              const tcp::endpoint&) {
            if (self->over_) return;
            if (ec) return self->failed(RelayConnectStage::connect, ec);
            if constexpr (Secure) {
                if (!prepareRelayTls(self->stream_.native_handle(), self->request_.url.host))
                    return self->finish({RelayHttpAnswer::Kind::unreachable, 0, std::nullopt,
                                         relayAddressText(self->request_.url) +
                                             ": the secure connection could not be prepared"});
                self->stream_.async_handshake(asio::ssl::stream_base::client, [self](beast::error_code e) {
                    if (self->over_) return;
                    if (e) return self->failed(RelayConnectStage::tls, e);
                    self->write();
                });
            } else {
                self->write();
            }
        });
    }

    void write() {
        message_ = {http::verb::post, request_.target, 11};
        message_.set(http::field::host, request_.url.hostHeader());
        message_.set(http::field::user_agent, "morvane-host");
        message_.set(http::field::cache_control, "no-store");
        for (const auto& [name, value] : request_.headers) message_.set(name, value);
        message_.body() = request_.body;
        message_.keep_alive(false);
        message_.prepare_payload();
        http::async_write(stream_, message_, [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
            if (self->over_) return;
            if (ec) return self->failed(RelayConnectStage::exchange, ec);
            self->readHeader();
        });
    }

    void readHeader() {
        parser_.header_limit(16'384);
        parser_.body_limit(owner_->maxAnswerBytes + 1);
        http::async_read(stream_, buffer_, parser_, [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
            if (self->over_) return;
            auto& parser = self->parser_;
            if (ec == http::error::body_limit && parser.is_header_done()) {
                // Over the limit: report a body one byte too long, which
                // every reader refuses, without keeping the rest.
                return self->finish({RelayHttpAnswer::Kind::answered, static_cast<int>(parser.get().result_int()),
                                     Bytes(self->owner_->maxAnswerBytes + 1, 0), {}});
            }
            if (ec) return self->failed(RelayConnectStage::exchange, ec);
            const auto& body = parser.get().body();
            std::optional<Bytes> data;
            if (!body.empty()) data = Bytes(body.begin(), body.end());
            self->finish({RelayHttpAnswer::Kind::answered, static_cast<int>(parser.get().result_int()), std::move(data), {}});
        });
    }

    void failed(RelayConnectStage stage, const beast::error_code& ec) {
        SSL* ssl = nullptr;
        if constexpr (Secure) ssl = stream_.native_handle();
        const auto kind = relayCertificateRefused(stage, ssl) ? RelayHttpAnswer::Kind::untrusted
                                                              : RelayHttpAnswer::Kind::unreachable;
        finish({kind, 0, std::nullopt, relayConnectFailure(request_.url, stage, ec, ssl)});
    }

    void finish(RelayHttpAnswer answer) {
        over_ = true;
        beast::error_code ignored;
        beast::get_lowest_layer(stream_).socket().close(ignored);
        resolver_.cancel();
        auto done = std::move(done_);
        if (done) done(std::move(answer));
    }

    std::shared_ptr<BeastRelayHttp::Impl> owner_;
    RelayHttpRequest request_;
    std::function<void(RelayHttpAnswer)> done_;
    tcp::resolver resolver_;
    Stream stream_;
    beast::flat_buffer buffer_;
    http::request<http::string_body> message_;
    http::response_parser<http::string_body> parser_;
    bool over_ = false;
};

}  // namespace

BeastRelayHttp::BeastRelayHttp(std::size_t maxAnswerBytes, RelayNameResolver resolve) : impl_(std::make_shared<Impl>()) {
    impl_->maxAnswerBytes = maxAnswerBytes;
    impl_->resolve = std::move(resolve);
}

BeastRelayHttp::~BeastRelayHttp() {
    // Running exchanges finish (each has its own time-out) before the
    // thread ends.
    impl_->guard.reset();
    std::thread thread;
    {
        const std::lock_guard lock(impl_->mutex);
        thread = std::move(impl_->thread);
    }
    if (thread.joinable()) thread.join();
}

std::shared_ptr<RelayHttpTask> BeastRelayHttp::post(RelayHttpRequest request, std::function<void(RelayHttpAnswer)> done) {
    impl_->startOnce();
    if (request.url.secure()) {
        auto exchange = std::make_shared<Exchange<true>>(impl_, std::move(request), std::move(done));
        exchange->start();
        return exchange;
    }
    auto exchange = std::make_shared<Exchange<false>>(impl_, std::move(request), std::move(done));
    exchange->start();
    return exchange;
}

}  // namespace morvane
