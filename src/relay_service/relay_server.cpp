#include "relay_service/relay_server.h"

#include <malloc.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include "core/clock.h"
#include "relay_service/client_address.h"
#include "relay_service/descriptor_records.h"
#include "relay_service/detail/http_connection.h"
#include "relay_service/relay_accounts.h"
#include "relay_service/relay_hub.h"
#include "relay_service/relay_limits.h"
#include "relay_service/relay_listener.h"
#include "relay_service/server_tls.h"

namespace morvane::relay_service {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ws = beast::websocket;
using tcp = asio::ip::tcp;

using namespace detail;

RelayServer::RelayServer(asio::io_context& io, RelayServerOptions options, RelayServerParts parts, RelayLog log)
    : budgetTick_(parts.timers, parts.monotonicMillis, QueueBudget(options.queues).tickMillis()),
      clock_(parts.monotonicMillis),
      impl_(std::make_shared<Impl>(io, std::move(options), std::move(parts), std::move(log))) {
    impl_->counts->afterRelease([weak = std::weak_ptr<Impl>(impl_)] {
        const auto self = weak.lock();
        if (!self || !self->ebb.due(self->counts->open()) || self->gone || self->io.stopped()) return;
        // Once the handler that let the connection go has freed the rest of it.
        asio::post(self->io, [] { ::malloc_trim(0); });
    });
}

void RelayServer::tickBudget() {
    if (impl_->stopped) return;
    impl_->budget.tick(clock_());
    while (const auto over = impl_->budget.overdue()) over->queue->makeRoom(*over);
}

RelayServer::~RelayServer() {
    budgetTick_.stop();
    impl_->stopped = true;
    impl_->gone = true;
    impl_->drained = nullptr;
    if (impl_->listener) impl_->listener->stop();
    // No answer waiting its turn starts: its connection ends at its deadline.
    impl_->counts->dropWaiting();
    // Nor does a handshake waiting its turn; its connection goes with it.
    const auto waiting = std::exchange(impl_->turnSteps, {});
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
    if (impl_->secure()) impl_->tls = makeServerTls(options.certificateFile, options.keyFile);
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
    listenAt(at);
    // As many as the listener takes, the descriptors allowing.
    reserveDescriptorRecords(impl_->io, impl_->counts->limits().connections);
    budgetTick_.start([this] { tickBudget(); });
}

void RelayServer::listenAt(const tcp::endpoint& at) {
    boost::system::error_code ec;
    RelayListener::Acceptor acceptor(impl_->io);
    acceptor.open(at.protocol(), ec);
    if (!ec) acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    // "[::]" takes IPv4 clients too, whatever the system's default for
    // IPv6 sockets: a phone may reach the name by either record.
    if (!ec && at.address().is_v6() && at.address().is_unspecified())
        acceptor.set_option(asio::ip::v6_only(false), ec);
    if (!ec) acceptor.bind(at, ec);
    if (!ec) acceptor.listen(RelayLimits::listenBacklog, ec);
    // An IPv6 address in brackets, as listen takes it: ":::443" reads as nothing.
    const auto address = at.address().is_v6() ? "[" + at.address().to_string() + "]" : at.address().to_string();
    if (ec) throw std::runtime_error("cannot listen on " + address + ":" + std::to_string(at.port()) + ": " + ec.message());
    // A trusted proxy's connections carry many clients: only the total
    // counts them.
    RelayListener::Options listening{[weak = std::weak_ptr<Impl>(impl_)](const asio::ip::address& address) {
                                         const auto self = weak.lock();
                                         return self && self->trusted.contains(address);
                                     },
                                     impl_->log};
    impl_->listener = std::make_shared<RelayListener>(
        std::move(acceptor), std::move(listening), impl_->counts,
        [weak = std::weak_ptr<Impl>(impl_)](RelayListener::Socket socket, ConnectionSlot slot) {
            const auto self = weak.lock();
            if (!self || self->stopped) return;
            if (self->tls) {
                std::make_shared<HttpConnection<TlsStream>>(self, TlsStream(PlainStream(std::move(socket)), self->tls),
                                                            std::move(slot))
                    ->start();
            } else {
                std::make_shared<HttpConnection<PlainStream>>(self, PlainStream(std::move(socket)), std::move(slot))
                    ->start();
            }
        });
    impl_->listener->start();
    // Listening again after a pause takes the same port, one chosen by the
    // system included.
    impl_->at = tcp::endpoint(at.address(), impl_->listener->port());
}

void RelayServer::pause() {
    if (!impl_->listener) return;
    impl_->listener->stop();
    impl_->listener.reset();
}

bool RelayServer::resume() {
    if (impl_->listener || impl_->stopped || !impl_->at) return true;
    try {
        listenAt(*impl_->at);
        return true;
    } catch (const std::exception& error) {
        impl_->log.error(error.what());
        return false;
    }
}

void RelayServer::admitPeers(std::vector<asio::ip::address> hosts) {
    impl_->peers = std::set<asio::ip::address>(hosts.begin(), hosts.end());
}

std::uint16_t RelayServer::port() const {
    return impl_->listener ? impl_->listener->port() : 0;
}

bool RelayServer::reloadCertificate() {
    if (!impl_->secure()) return true;
    try {
        impl_->tls = makeServerTls(impl_->options.certificateFile, impl_->options.keyFile);
        impl_->log.info("certificate reloaded from " + impl_->options.certificateFile);
        return true;
    } catch (const std::exception& error) {
        impl_->log.error(std::string("certificate not reloaded, the old one stays: ") + error.what());
        return false;
    }
}

void RelayServer::stop(std::function<void()> drained) {
    if (impl_->listener) {
        impl_->listener->stop();
        impl_->listener.reset();
    }
    const bool first = !impl_->stopped;
    if (first) impl_->hub.shutDown();
    impl_->stopped = true;
    budgetTick_.stop();
    if (drained) impl_->drained = std::move(drained);
    if (first) {
        // A connection may end as it is told: the list is copied first.
        std::vector<std::function<void()>> told;
        for (const auto& [id, onStop] : impl_->plain) told.push_back(onStop);
        for (const auto& onStop : told) onStop();
    }
    if (impl_->plain.empty() && impl_->drained) std::exchange(impl_->drained, nullptr)();
}

}  // namespace morvane::relay_service
