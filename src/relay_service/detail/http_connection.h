// One accepted connection until it upgrades or ends: its TLS handshake,
// its HTTP requests (the page, the account calls) and the upgrade that
// makes it a host's link or a device's socket. What a request asks for is
// the route's to say; what needs the store waits for the store queue's
// answer without holding the network thread. Internal to the server.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>

#include "core/overload.h"
#include "protocol/http_response.h"
#include "relay/relay_words.h"
#include "relay_service/detail/peer_socket.h"
#include "relay_service/relay_route.h"

namespace morvane::relay_service::detail {

inline Response jsonAnswer(const AccountAnswer& answer, unsigned version, bool keepAlive) {
    Response response{static_cast<http::status>(answer.status), version};
    response.set(http::field::content_type, "application/json");
    for (const auto& [name, value] : HTTPResponse::securityHeaders()) response.set(name, value);
    response.body() = HTTPResponse::jsonText(answer.body);
    response.keep_alive(keepAlive);
    response.prepare_payload();
    return response;
}

inline AccountAnswer refusalAnswer(int status, std::string_view word) {
    return AccountAnswer{status, {{"error", word}}, std::nullopt};
}

// At most 64 characters of what a peer named, for the log.
inline std::string clipped(const std::string& text) { return text.size() <= 64 ? text : text.substr(0, 64); }

template <class Next>
class HttpConnection final : public std::enable_shared_from_this<HttpConnection<Next>> {
public:
    // The peer's address is read off the socket itself; its place in the
    // listener's counts goes with the connection, upgraded or not.
    HttpConnection(std::shared_ptr<RelayServer::Impl> server, Next next, ConnectionSlot slot)
        : server_(std::move(server)), next_(std::move(next)), slot_(std::move(slot)) {}

    void start() {
        beast::error_code ec;
        const auto remote = beast::get_lowest_layer(next_).socket().remote_endpoint(ec);
        if (ec || !server_->admits(remote.address())) {
            if (!ec) server_->log.warning("refused a connection from " + addressText(remote.address()) +
                                          ": plain HTTP here is for the trusted proxies only");
            beast::get_lowest_layer(next_).socket().close(ec);
            return;
        }
        address_ = remote.address();
        // Shed while idle: nothing is being answered, so closing the
        // socket ends the read that waits.
        slot_.onShed([weak = this->weak_from_this()] {
            if (const auto self = weak.lock()) beast::get_lowest_layer(self->next_).close();
        });
        beast::get_lowest_layer(next_).expires_after(handshakeTime);
        if constexpr (std::is_same_v<Next, TlsStream>) {
            next_.async_handshake(asio::ssl::stream_base::server, [self = this->shared_from_this()](beast::error_code ec) {
                if (!ec) self->readRequest();
            });
        } else {
            readRequest();
        }
    }

private:
    void readRequest() {
        parser_.emplace();
        parser_->header_limit(8192);
        parser_->body_limit(RelayLimits::maxRequestBodyBytes);
        beast::get_lowest_layer(next_).expires_after(handshakeTime);
        http::async_read(next_, buffer_, *parser_, [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
            if (ec) {
                if (ec == http::error::body_limit || ec == http::error::header_limit)
                    self->respond(jsonAnswer(refusalAnswer(413, RelayError::badRequest), 11, false));
                return;
            }
            if (self->server_->stopped) return;
            self->slot_.busy();
            self->route(self->parser_->release());
        });
    }

    void route(Request request) {
        // Every X-Forwarded-For line, in order, is one list.
        std::string forwarded;
        for (const auto& field : request)
            if (beast::iequals(field.name_string(), "X-Forwarded-For"))
                forwarded += (forwarded.empty() ? "" : ",") + std::string(field.value());
        client_ = clientAddress(address_, forwarded, server_->trusted);
        const auto field = [&](auto name) {
            const auto value = request[name];
            return std::string_view(value.data(), value.size());
        };
        const auto method = request.method_string();
        const auto target = request.target();
        RelayRequest view;
        view.method = std::string_view(method.data(), method.size());
        view.target = std::string_view(target.data(), target.size());
        view.upgrade = ws::is_upgrade(request);
        view.contentType = field(http::field::content_type);
        view.authorization = field(http::field::authorization);
        view.subprotocols = field(http::field::sec_websocket_protocol);
        view.hostAuth = field(beast::string_view(RelayLinkLimits::hostAuthHeader.data(), RelayLinkLimits::hostAuthHeader.size()));
        view.body = request.body();
        auto routed = routeRelay(view);
        std::visit(Overload{
                       [&](relay_route::Page& page) { servePage(request, page); },
                       [&](relay_route::Account& account) { accountCall(request, std::move(account.call)); },
                       [&](relay_route::HostLink& link) { hostLink(std::move(request), std::move(link)); },
                       [&](relay_route::DeviceSocket& device) { deviceSocket(std::move(request), std::move(device)); },
                       [&](relay_route::Refusal& refusal) { refuse(request, refusal); },
                   },
                   routed);
    }

    void servePage(const Request& request, const relay_route::Page& route) {
        const auto page = server_->page.answer(std::string(request.method_string()), route.path,
                                               std::string(request[http::field::accept_encoding]),
                                               std::string(request[http::field::if_none_match]));
        const bool head = request.method() == http::verb::head;
        Response response{static_cast<http::status>(page.status), request.version()};
        for (const auto& [name, value] : page.headers) response.set(name, value);
        if (server_->secure()) response.set(HTTPResponse::strictTransport().first, HTTPResponse::strictTransport().second);
        response.body() = head ? std::string() : std::string(page.body);
        response.keep_alive(request.keep_alive());
        response.prepare_payload();
        if (head && page.status != 304) response.content_length(page.body.size());
        respond(std::move(response));
    }

    void refuse(const Request& request, const relay_route::Refusal& refusal) {
        // A refused upgrade ends the connection: what follows it is not HTTP.
        const bool keepAlive = request.keep_alive() && !ws::is_upgrade(request);
        respond(jsonAnswer(refusalAnswer(refusal.status, refusal.word), request.version(), keepAlive));
    }

    void accountCall(const Request& request, AccountCall call) {
        call.client = rateKey(client_);
        const auto version = request.version();
        const bool keepAlive = request.keep_alive();
        server_->call(std::move(call), [self = this->shared_from_this(), version, keepAlive](AccountAnswer answer) {
            if (!answer.delivery) return self->respond(jsonAnswer(answer, version, keepAlive));
            self->server_->deliver(*answer.delivery, [self, version, keepAlive](AccountAnswer delivered) {
                self->respond(jsonAnswer(delivered, version, keepAlive));
            });
        });
    }

    void hostLink(Request request, relay_route::HostLink link) {
        auto& accounts = server_->parts.accounts;
        admit<HostAdmission>(
            [&accounts, room = link.room, hello = link.hello] { return accounts.admitHost(room, hello); },
            HostAdmission{503, "the store did not answer in time", {}, {}},
            [self = this->shared_from_this(), request = std::move(request), room = link.room](HostAdmission admission) {
                const auto from = addressText(self->client_);
                if (admission.status != 0) {
                    self->server_->log.warning("refused link for room " + clipped(room) + " from " + from + ": " +
                                               admission.reason);
                    const auto word = admission.status == 410   ? RelayError::notOnAccount
                                      : admission.status == 503 ? RelayError::tryLater
                                                                : RelayError::refused;
                    return self->respond(jsonAnswer(refusalAnswer(admission.status, word), request.version(), false));
                }
                self->upgrade(request, true, room, admission.userId, [room, admission, from](const auto& server, const auto& opened) {
                    server->log.info("link for room " + room + " (\"" + admission.name + "\") from " + from + ", proving");
                    server->hub.hostOpened(opened, room, admission.publicKey);
                });
            });
    }

    // A device's socket is accepted even when its ticket is refused, so that
    // the page reads why in the close code.
    void deviceSocket(Request request, relay_route::DeviceSocket device) {
        auto& accounts = server_->parts.accounts;
        const auto late = RelayDeviceClose::tryLater;
        admit<DeviceAdmission>(
            [&accounts, room = device.room, ticket = device.ticket] { return accounts.admitDevice(room, ticket); },
            DeviceAdmission{late.code, std::string(late.word), {}, {}, {}},
            [self = this->shared_from_this(), request = std::move(request), room = device.room](DeviceAdmission admission) {
                self->upgrade(request, false, room, admission.userId, [room, admission](const auto& server, const auto& opened) {
                    if (admission.closeCode != 0) {
                        server->log.warning("refused a device for room " + clipped(room) + ": " + admission.reason);
                        opened->close(admission.closeCode, admission.reason);
                        return;
                    }
                    server->hub.deviceOpened(opened, room, admission.userId, admission.session, admission.holder);
                });
            });
    }

    // Judges an upgrade on the store queue; `then` gets the verdict back on
    // this thread, `late` when the store could not give it in time.
    template <class Admission, class Judge, class Then>
    void admit(Judge judge, Admission late, Then then) {
        server_->parts.store.template run<Admission>(
            std::move(judge), [server = server_, late = std::move(late), then = std::move(then)](
                                  std::optional<Admission> admission) mutable {
                if (server->stopped) return;
                then(admission ? std::move(*admission) : std::move(late));
            });
    }

    // Hands the connection to a WebSocket whose queue counts against
    // `account`; `opened(server, socket)` once the upgrade is answered.
    template <class Opened>
    void upgrade(const Request& request, bool host, const std::string& room, const std::string& account, Opened opened) {
        beast::get_lowest_layer(next_).expires_never();
        slot_.upgraded();
        auto socket = std::make_shared<PeerSocket<Next>>(server_, std::move(next_), std::move(slot_), host, room, account,
                                                         addressText(client_));
        socket->accept(request, [server = server_, opened = std::move(opened)](const std::shared_ptr<PeerSocket<Next>>& socket) {
            opened(server, socket);
        });
    }

    void respond(Response response) {
        auto shared = std::make_shared<Response>(std::move(response));
        beast::get_lowest_layer(next_).expires_after(handshakeTime);
        http::async_write(next_, *shared, [self = this->shared_from_this(), shared](beast::error_code ec, std::size_t) {
            if (ec) return;
            if (shared->keep_alive()) {
                self->slot_.idle();
                return self->readRequest();
            }
            beast::error_code ignored;
            beast::get_lowest_layer(self->next_).socket().shutdown(tcp::socket::shutdown_send, ignored);
        });
    }

    std::shared_ptr<RelayServer::Impl> server_;
    Next next_;
    boost::asio::ip::address address_;
    boost::asio::ip::address client_;  // of the request being answered
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    ConnectionSlot slot_;  // held until the connection ends, or handed to its upgraded socket
};

}  // namespace morvane::relay_service::detail
