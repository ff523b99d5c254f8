#include "relay_service/relay_server.h"

#include <fstream>
#include <sstream>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include "relay_service/client_address.h"
#include "relay_service/detail/http_connection.h"
#include "relay_service/relay_accounts.h"
#include "relay_service/relay_hub.h"
#include "relay_service/relay_limits.h"

namespace morvane::relay_service {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ws = beast::websocket;
using tcp = asio::ip::tcp;

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::shared_ptr<asio::ssl::context> makeTls(const std::string& certificateFile, const std::string& keyFile) {
    auto context = std::make_shared<asio::ssl::context>(asio::ssl::context::tls_server);
    context->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                         asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 | asio::ssl::context::no_tlsv1_1 |
                         asio::ssl::context::single_dh_use);
    const auto certificate = readFile(certificateFile);
    const auto key = readFile(keyFile);
    try {
        context->use_certificate_chain(asio::buffer(certificate));
    } catch (const boost::system::system_error&) {
        throw std::runtime_error("no certificate in " + certificateFile);
    }
    try {
        context->use_private_key(asio::buffer(key), asio::ssl::context::pem);
    } catch (const boost::system::system_error&) {
        throw std::runtime_error("no private key for the certificate in " + keyFile);
    }
    return context;
}

}  // namespace

using namespace detail;

void RelayServer::Impl::accept() {
    acceptor->async_accept([self = shared_from_this()](beast::error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted || !self->acceptor) return;
        if (!ec) {
            beast::error_code ignored;
            const auto remote = socket.remote_endpoint(ignored);
            const auto peer = ignored ? std::string("?") : remote.address().to_string();
            socket.set_option(tcp::no_delay(true), ignored);
            if (self->tls) {
                std::make_shared<HttpConnection<beast::ssl_stream<beast::tcp_stream>>>(
                    self, beast::ssl_stream<beast::tcp_stream>(beast::tcp_stream(std::move(socket)), *self->tls), peer)
                    ->start();
            } else {
                std::make_shared<HttpConnection<beast::tcp_stream>>(self, beast::tcp_stream(std::move(socket)), peer)->start();
            }
        }
        self->accept();
    });
}

RelayServer::RelayServer(asio::io_context& io, RelayServerOptions options, RelayServerParts parts, RelayLog log)
    : impl_(std::make_shared<Impl>(io, std::move(options), std::move(parts), std::move(log))) {}

RelayServer::~RelayServer() {
    impl_->stopped = true;
    if (impl_->acceptor) {
        beast::error_code ignored;
        impl_->acceptor->close(ignored);
    }
}

void RelayServer::start() {
    auto& options = impl_->options;
    if (options.certificateFile.empty() != options.keyFile.empty())
        throw std::runtime_error("TLS needs both a certificate file and a key file");
    if (options.trustedProxies) {
        auto parsed = TrustedProxies::parse(*options.trustedProxies);
        if (const auto* error = std::get_if<std::string>(&parsed)) throw std::runtime_error(*error);
        impl_->trusted = std::get<TrustedProxies>(std::move(parsed));
    }
    if (impl_->secure()) impl_->tls = makeTls(options.certificateFile, options.keyFile);
    tcp::resolver resolver(impl_->io);
    boost::system::error_code ec;
    const auto found = resolver.resolve(options.address, std::to_string(options.port), ec);
    if (ec || found.empty()) throw std::runtime_error("cannot resolve the listen address " + options.address);
    const tcp::endpoint at = found.begin()->endpoint();
    const bool loopback = at.address().is_loopback();
    if (!options.trustedProxies && loopback) impl_->trusted = TrustedProxies::loopback();
    const auto rule = impl_->secure() ? PlainListen::open : plainListen(at.address(), impl_->trusted);
    if (rule == PlainListen::refused)
        throw std::runtime_error("plain HTTP listens on loopback, or on a private address with trusted_proxies (" +
                                 options.address +
                                 " is neither); give a certificate and key, or put a proxy that ends TLS in front");
    impl_->proxiesOnly = rule == PlainListen::proxiesOnly;
    auto acceptor = std::make_unique<tcp::acceptor>(impl_->io);
    acceptor->open(at.protocol(), ec);
    if (!ec) acceptor->set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) acceptor->bind(at, ec);
    if (!ec) acceptor->listen(asio::socket_base::max_listen_connections, ec);
    if (ec)
        throw std::runtime_error("cannot listen on " + at.address().to_string() + ":" + std::to_string(at.port()) + ": " +
                                 ec.message());
    impl_->acceptor = std::move(acceptor);
    impl_->accept();
}

std::uint16_t RelayServer::port() const {
    return impl_->acceptor ? impl_->acceptor->local_endpoint().port() : 0;
}

bool RelayServer::reloadCertificate() {
    if (!impl_->secure()) return true;
    try {
        impl_->tls = makeTls(impl_->options.certificateFile, impl_->options.keyFile);
        impl_->log.info("certificate reloaded from " + impl_->options.certificateFile);
        return true;
    } catch (const std::exception& error) {
        impl_->log.error(std::string("certificate not reloaded, the old one stays: ") + error.what());
        return false;
    }
}

void RelayServer::stop() {
    if (impl_->acceptor) {
        beast::error_code ignored;
        impl_->acceptor->close(ignored);
        impl_->acceptor.reset();
    }
    if (!impl_->stopped) impl_->hub.shutDown();
    impl_->stopped = true;
}

}  // namespace morvane::relay_service
