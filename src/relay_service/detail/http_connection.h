// One accepted connection until it upgrades or ends: its TLS handshake,
// its HTTP requests (the page, the account calls) and the upgrade that
// makes it a host's link or a device's socket. Internal to the server.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>

#include "protocol/http_response.h"
#include "relay_service/detail/peer_socket.h"

namespace morvane::relay_service::detail {

// The names in a Sec-WebSocket-Protocol list.
inline bool offers(std::string_view list, std::string_view wanted) {
    std::size_t from = 0;
    while (from <= list.size()) {
        auto comma = list.find(',', from);
        if (comma == std::string_view::npos) comma = list.size();
        auto item = list.substr(from, comma - from);
        while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) item.remove_prefix(1);
        while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) item.remove_suffix(1);
        if (item == wanted) return true;
        from = comma + 1;
    }
    return false;
}

inline std::string queryValue(std::string_view target, std::string_view name) {
    const auto mark = target.find('?');
    if (mark == std::string_view::npos) return "";
    auto query = target.substr(mark + 1);
    while (!query.empty()) {
        const auto amp = query.find('&');
        const auto pair = query.substr(0, amp);
        const auto eq = pair.find('=');
        if (eq != std::string_view::npos && pair.substr(0, eq) == name) return std::string(pair.substr(eq + 1));
        if (amp == std::string_view::npos) break;
        query.remove_prefix(amp + 1);
    }
    return "";
}

inline Response jsonAnswer(const AccountAnswer& answer, unsigned version, bool keepAlive) {
    Response response{static_cast<http::status>(answer.status), version};
    response.set(http::field::content_type, "application/json");
    for (const auto& [name, value] : HTTPResponse::securityHeaders()) response.set(name, value);
    response.body() = HTTPResponse::jsonText(answer.body);
    response.keep_alive(keepAlive);
    response.prepare_payload();
    return response;
}

template <class Next>
class HttpConnection final : public std::enable_shared_from_this<HttpConnection<Next>> {
public:
    HttpConnection(std::shared_ptr<RelayServer::Impl> server, Next next, std::string peer)
        : server_(std::move(server)), next_(std::move(next)), peer_(std::move(peer)) {}

    void start() {
        beast::get_lowest_layer(next_).expires_after(handshakeTime);
        if constexpr (std::is_same_v<Next, beast::ssl_stream<beast::tcp_stream>>) {
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
                if (ec == http::error::body_limit || ec == http::error::header_limit) {
                    AccountAnswer tooLarge{413, {{"error", "bad-request"}}, std::nullopt};
                    self->respond(jsonAnswer(tooLarge, 11, false));
                }
                return;
            }
            if (self->server_->stopped) return;
            self->route(self->parser_->release());
        });
    }

    std::string clientAddress(const Request& request) const {
        // Behind a proxy on this machine, the client is the last address
        // the proxy added; nobody else can reach a loopback listener.
        if (!server_->secure()) {
            const std::string forwarded(request["X-Forwarded-For"]);
            if (!forwarded.empty()) {
                auto last = forwarded.substr(forwarded.rfind(',') == std::string::npos ? 0 : forwarded.rfind(',') + 1);
                while (!last.empty() && last.front() == ' ') last.erase(0, 1);
                while (!last.empty() && last.back() == ' ') last.pop_back();
                if (!last.empty() && last.size() <= 64) return last;
            }
        }
        return peer_;
    }

    void route(Request request) {
        const std::string target(request.target());
        const std::string path = target.substr(0, target.find('?'));
        if (ws::is_upgrade(request)) return upgrade(std::move(request), path);
        if (path.starts_with("/v1/")) {
            AccountRequest call;
            call.method = std::string(request.method_string());
            call.target = target;
            call.contentType = std::string(request[http::field::content_type]);
            call.authorization = std::string(request[http::field::authorization]);
            call.body = request.body();
            call.client = clientAddress(request);
            auto answer = server_->accounts.handle(call);
            const auto version = request.version();
            const bool keepAlive = request.keep_alive();
            if (!answer.delivery) return respond(jsonAnswer(answer, version, keepAlive));
            const auto delivery = *answer.delivery;
            const bool queued = server_->deliver(
                delivery, [self = this->shared_from_this(), delivery, version, keepAlive](std::optional<std::string> error) {
                    self->respond(jsonAnswer(self->server_->accounts.delivered(delivery, error), version, keepAlive));
                });
            if (!queued)
                respond(jsonAnswer(server_->accounts.delivered(delivery, std::string("too many codes waiting to be sent")),
                                   version, keepAlive));
            return;
        }
        const auto page = server_->page.answer(std::string(request.method_string()), path,
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

    void upgrade(Request request, const std::string& path) {
        static const std::string hostPrefix = "/relay/v1/host/", devicePrefix = "/relay/v1/device/";
        const bool host = path.starts_with(hostPrefix);
        if (!host && !path.starts_with(devicePrefix)) return refuseUpgrade(request, 404, "not-found");
        const auto room = path.substr(host ? hostPrefix.size() : devicePrefix.size());
        const auto offered = request[http::field::sec_websocket_protocol];
        if (!offers(std::string_view(offered.data(), offered.size()), "morvane.v1"))
            return refuseUpgrade(request, 400, "subprotocol");
        beast::get_lowest_layer(next_).expires_never();
        if (host) {
            const auto admission =
                server_->accounts.admitHost(room, std::string(request["X-Morvane-Host-Auth"]));
            if (admission.status != 0) {
                server_->log.warning("refused link for room " + (room.size() <= 64 ? room : room.substr(0, 64)) + " from " +
                             peer_ + ": " + admission.reason);
                return refuseUpgrade(request, admission.status, admission.status == 410 ? "not-on-account" : "refused");
            }
            auto socket = std::make_shared<PeerSocket<Next>>(server_, std::move(next_), true, room);
            socket->accept(request, [server = server_, room, key = admission.publicKey, name = admission.name,
                                     from = peer_](const std::shared_ptr<PeerSocket<Next>>& opened) {
                server->log.info("link for room " + room + " (\"" + name + "\") from " + from + ", proving");
                server->hub.hostOpened(opened, room, key);
            });
            return;
        }
        // A device's socket is accepted before its ticket is judged, so that
        // the page reads why in the close code.
        const auto target = request.target();
        const std::string ticket = queryValue(std::string_view(target.data(), target.size()), "ticket");
        auto socket = std::make_shared<PeerSocket<Next>>(server_, std::move(next_), false, room);
        socket->accept(request, [server = server_, room, ticket](const std::shared_ptr<PeerSocket<Next>>& opened) {
            const auto admission = server->accounts.admitDevice(room, ticket);
            if (admission.closeCode != 0) {
                server->log.warning("refused a device for room " + (room.size() <= 64 ? room : room.substr(0, 64)) + ": " +
                            admission.reason);
                opened->close(admission.closeCode, admission.reason);
                return;
            }
            server->hub.deviceOpened(opened, room, admission.userId, admission.session);
        });
    }

    void refuseUpgrade(const Request& request, int status, const std::string& word) {
        AccountAnswer refusal{status, {{"error", word}}, std::nullopt};
        respond(jsonAnswer(refusal, request.version(), false));
    }

    void respond(Response response) {
        auto shared = std::make_shared<Response>(std::move(response));
        beast::get_lowest_layer(next_).expires_after(handshakeTime);
        http::async_write(next_, *shared, [self = this->shared_from_this(), shared](beast::error_code ec, std::size_t) {
            if (ec) return;
            if (shared->keep_alive()) return self->readRequest();
            beast::error_code ignored;
            beast::get_lowest_layer(self->next_).socket().shutdown(tcp::socket::shutdown_send, ignored);
        });
    }

    std::shared_ptr<RelayServer::Impl> server_;
    Next next_;
    std::string peer_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
};

}  // namespace morvane::relay_service::detail
