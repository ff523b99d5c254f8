// One accepted connection until it upgrades or ends: its TLS handshake,
// its HTTP requests (the page, the account calls) and the upgrade that
// makes it a host's link or a device's socket. What a request asks for is
// the route's to say; what needs the store waits for the store queue's
// answer without holding the network thread. Internal to the server.
#pragma once

#include <netinet/tcp.h>
#include <sys/ioctl.h>

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <boost/beast/core.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/http/span_body.hpp>
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

// A page's file goes out from the one copy the program holds.
using PageResponse = http::response<http::span_body<const char>>;

// What an answer puts on the wire, near enough to count it.
template <class Body>
std::size_t answerBytes(const http::response<Body>& response) {
    std::size_t bytes = 32 + response.payload_size().value_or(0);
    for (const auto& field : response) bytes += field.name_string().size() + field.value().size() + 4;
    return bytes;
}

// Bytes the socket's kernel holds that its client has not taken (sent and
// unacknowledged, or not sent yet).
template <class Socket>
int untakenBytes(Socket& socket) {
    int held = 0;
    return socket.is_open() && ::ioctl(socket.native_handle(), TIOCOUTQ, &held) == 0 ? held : 0;
}

// Closes a socket. One whose kernel still holds bytes its client has not
// taken is reset: closed in order, it would outlive the connection with
// those bytes for minutes of retries to a client that reads nothing.
template <class Socket>
void endSocket(Socket& socket) {
    if (!socket.is_open()) return;
    beast::error_code ignored;
    if (untakenBytes(socket) > 0) socket.set_option(asio::socket_base::linger(true, 0), ignored);
    socket.close(ignored);
}

// Whether its client has closed its end (or reset it). One that did so
// before its handshake's turn gave up waiting, or never meant to finish:
// it can send no Finished, and its turn would be a signature for nobody.
template <class Socket>
bool clientClosed(Socket& socket) {
    tcp_info info{};
    socklen_t size = sizeof info;
    return ::getsockopt(socket.native_handle(), IPPROTO_TCP, TCP_INFO, &info, &size) == 0 &&
           (info.tcpi_state == TCP_CLOSE_WAIT || info.tcpi_state == TCP_CLOSE);
}

// How often a connection whose client closed its end looks whether the
// client has taken the rest of its answer: soon at first, then less often.
constexpr auto firstLookForTaken = std::chrono::milliseconds(5);
constexpr auto mostBetweenLooks = std::chrono::milliseconds(250);

// At most 64 characters of what a peer named, for the log.
inline std::string clipped(const std::string& text) { return text.size() <= 64 ? text : text.substr(0, 64); }

// How long a connection made just before the server stopped has for its
// first request.
constexpr auto firstRequestWhileStopping = std::chrono::seconds(1);

template <class Next>
class HttpConnection final : public std::enable_shared_from_this<HttpConnection<Next>> {
public:
    // The peer's address is read off the socket itself; its place in the
    // listener's counts goes with the connection, upgraded or not.
    HttpConnection(std::shared_ptr<RelayServer::Impl> server, Next next, ConnectionSlot slot)
        : server_(std::move(server)), next_(std::move(next)), slot_(std::move(slot)), deadline_(next_.get_executor()) {}
    ~HttpConnection() {
        if constexpr (std::is_same_v<Next, TlsStream>) handshakeDone();
        if (!handedOver_) endSocket(socket());
        if (plainId_) server_->leave(plainId_);
    }

    void start() {
        beast::error_code ec;
        const auto remote = socket().remote_endpoint(ec);
        if (ec || !server_->admits(remote.address())) {
            if (!ec)
                server_->plainRefused.say(server_->log, Severity::warning,
                                          "refused a connection from " + addressText(remote.address()) +
                                              ": plain HTTP here is for the trusted proxies only",
                                          nowMillis());
            socket().close(ec);
            return;
        }
        address_ = remote.address();
        questionsOnly_ = server_->questionsOnly(address_);
        // Shed while idle, while its answer waits its turn, or while its
        // client takes nothing of its answer: closing the socket ends the
        // read or write that waits, and the deadline that holds it.
        slot_.onShed([weak = this->weak_from_this()] {
            if (const auto self = weak.lock()) self->end();
        });
        plainId_ = server_->enter([weak = this->weak_from_this()] {
            if (const auto self = weak.lock()) self->serverStopping();
        });
        arm();
        if constexpr (std::is_same_v<Next, TlsStream>) {
            // No TLS state until the client says something: a connection
            // that stays silent holds its socket and this, no more.
            socket().async_wait(tcp::socket::wait_read, [self = this->shared_from_this()](beast::error_code ec) {
                if (!ec) self->awaitHandshakeTurn();
            });
        } else {
            readRequest();
        }
    }

private:
    auto& socket() { return beast::get_lowest_layer(next_).socket(); }

    // Every wait of the connection (its handshake, a request, an answer
    // being written, the client closing its end) has an end.
    void arm() { arm(server_->options.requestTime); }
    template <class Duration>
    void arm(Duration within) {
        deadline_.expires_after(within);
        deadline_.async_wait([weak = this->weak_from_this()](beast::error_code ec) {
            const auto self = weak.lock();
            if (ec || !self) return;
            if (self->writing_) self->server_->answerTimedOut(addressText(self->address_));
            self->end();
        });
    }

    void end() {
        deadline_.cancel();
        endSocket(socket());
    }

    // The server stops. A request under way is answered (and the
    // connection then closes), as is the first one of a connection just
    // made, which a proxy in front is sending already; one waiting for a
    // next request closes now.
    void serverStopping() {
        if (parked_) return end();
        if (!reading_) return;
        if (answered_ > 0) return end();
        arm(firstRequestWhileStopping);
    }

    std::vector<std::string> clientNetworksOf() const {
        return server_->trusted.contains(address_) ? std::vector<std::string>{} : handshakeNetworks(address_);
    }

    // The client said something: its handshake is worked out when its
    // network's turn comes.
    void awaitHandshakeTurn() {
        const auto networks = clientNetworksOf();
        server_->awaitTurn(networks, [self = this->shared_from_this()] {
            if (!self->socket().is_open() || self->server_->gone) return false;
            if (clientClosed(self->socket())) {
                self->end();
                return false;
            }
            self->handshake();
            return true;
        });
    }

    // Its handshake holds OpenSSL's state from now until it is done,
    // weighed against the others under way.
    void handshake() {
        const auto networks = clientNetworksOf();
        handshake_ = server_->beginHandshake(
            networks,
            [weak = this->weak_from_this()] {
                if (const auto self = weak.lock()) {
                    self->handshake_ = 0;
                    self->end();
                }
            },
            [weak = this->weak_from_this()] {
                const auto self = weak.lock();
                if (!self || !self->parked_ || !self->socket().is_open()) return;
                self->parked_ = false;
                self->awaitHandshakeTurn();
            });
        if (!handshake_) return park();
        next_.async_handshake([self = this->shared_from_this()](beast::error_code ec) {
            self->handshakeDone();
            if (ec) return;
            self->server_->handshakeCompleted(self->clientNetworksOf());
            self->readRequest();
        });
    }
    // Its handshake refused: nothing of it is worked out, and the
    // connection holds its socket alone until its deadline (or until it
    // may ask again), rather than having its client dial again at once for
    // another turn.
    void park() {
        parked_ = true;
        socket().async_wait(tcp::socket::wait_error, [self = this->shared_from_this()](beast::error_code) {});
    }
    void handshakeDone() {
        if (handshake_) server_->endHandshake(std::exchange(handshake_, 0));
    }

    void readRequest() {
        reading_ = true;
        // Requests sent before the last answer was written: a browser never
        // does it, and past a few the connection ends with its answer, so
        // that nobody has more answers ordered than the one being written.
        pipelined_ = buffer_.size() > 0 ? pipelined_ + 1 : 0;
        // Waiting for a next request that may never come, it keeps no more
        // room than the read to come asks for, whatever the last one took.
        if (buffer_.size() == 0) buffer_.shrink_to_fit();
        parser_.emplace();
        parser_->header_limit(RelayLimits::maxRequestHeaderBytes);
        parser_->body_limit(RelayLimits::maxRequestBodyBytes);
        arm();
        http::async_read(next_, buffer_, *parser_, [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
            if (ec) {
                if (ec == http::error::body_limit || ec == http::error::header_limit || ec == http::error::buffer_overflow)
                    return self->respond(jsonAnswer(refusalAnswer(413, RelayError::badRequest), 11, false));
                // A client may close its end once it has asked: what it was
                // answered still goes out.
                return self->closeWhenTaken();
            }
            if (self->server_->gone) return;
            self->reading_ = false;
            self->deadline_.cancel();
            self->slot_.busy();
            auto request = self->parser_->release();
            if (self->pipelined_ >= RelayLimits::maxPipelinedRequests) request.keep_alive(false);
            self->route(std::move(request));
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
        if (questionsOnly_ && !std::holds_alternative<relay_route::FleetQuestion>(routed))
            routed = relay_route::Refusal{403, std::string(RelayError::refused)};
        std::visit(Overload{
                       [&](relay_route::Page& page) { servePage(request, page); },
                       [&](relay_route::Account& account) { accountCall(request, std::move(account.call)); },
                       [&](relay_route::HostLink& link) { hostLink(std::move(request), std::move(link)); },
                       [&](relay_route::DeviceSocket& device) { deviceSocket(std::move(request), std::move(device)); },
                       [&](relay_route::FleetQuestion& question) { answerPeer(request, question); },
                       [&](relay_route::Refusal& refusal) { refuse(request, refusal); },
                   },
                   routed);
    }

    void servePage(const Request& request, const relay_route::Page& route) {
        const auto page = server_->page.answer(std::string(request.method_string()), route.path,
                                               std::string(request[http::field::accept_encoding]),
                                               std::string(request[http::field::if_none_match]));
        const bool head = request.method() == http::verb::head;
        PageResponse response{static_cast<http::status>(page.status), request.version()};
        for (const auto& [name, value] : page.headers) response.set(name, value);
        if (server_->secure()) response.set(HTTPResponse::strictTransport().first, HTTPResponse::strictTransport().second);
        if (!head) response.body() = {page.body.data(), page.body.size()};
        response.keep_alive(request.keep_alive());
        response.prepare_payload();
        if (head && page.status != 304) response.content_length(page.body.size());
        respond(std::move(response));
    }

    // Answered at once, without the store; anything but another instance's
    // question reads as a path that is not there.
    void answerPeer(const Request& request, const relay_route::FleetQuestion& question) {
        const auto answer = server_->parts.fleet ? server_->parts.fleet(question.text) : std::nullopt;
        if (!answer) return refuse(request, relay_route::Refusal{404, std::string(RelayError::notFound)});
        Response response{http::status::ok, request.version()};
        response.set(http::field::content_type, "text/plain");
        response.body() = *answer;
        response.keep_alive(request.keep_alive());
        response.prepare_payload();
        respond(std::move(response));
    }

    void refuse(const Request& request, const relay_route::Refusal& refusal) {
        // A refused upgrade ends the connection: what follows it is not HTTP.
        const bool keepAlive = request.keep_alive() && !ws::is_upgrade(request);
        respond(jsonAnswer(refusalAnswer(refusal.status, refusal.word), request.version(), keepAlive));
    }

    // What the client's calls are counted under: none for a trusted proxy
    // that named no client, which carries many.
    std::vector<std::string> networks() const {
        return server_->trusted.contains(client_) ? std::vector<std::string>() : clientNetworks(client_);
    }

    void accountCall(const Request& request, AccountCall call) {
        call.client = rateKey(client_);
        call.networks = networks();
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
        auto& parts = server_->parts;
        queueHostAdmission(
            parts.gate, parts.store, parts.accounts, link.room, link.hello, networks(),
            [self = this->shared_from_this(), request = std::move(request), room = link.room](HostAdmission admission) {
                // Stopping, the socket would only be closed again: try another instance.
                if (self->server_->stopped)
                    return self->respond(jsonAnswer(refusalAnswer(503, RelayError::tryLater), 11, false));
                const auto from = addressText(self->client_);
                if (admission.status != 0) {
                    // Made-up links cost a line every few seconds, not one each.
                    self->server_->linkRefused(clipped(room), from, admission.reason);
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
        auto& parts = server_->parts;
        queueDeviceAdmission(
            parts.gate, parts.store, parts.accounts, device.room, device.ticket, networks(),
            [self = this->shared_from_this(), request = std::move(request), room = device.room](DeviceAdmission admission) {
                if (self->server_->stopped) return;
                const auto from = addressText(self->client_);
                self->upgrade(request, false, room, admission.userId, [room, admission, from](const auto& server, const auto& opened) {
                    if (admission.closeCode != 0) {
                        // Made-up tickets cost a line every few seconds, not one each.
                        server->deviceRefused(clipped(room), from, admission.reason);
                        opened->close(admission.closeCode, admission.reason);
                        return;
                    }
                    server->hub.deviceOpened(opened, room, admission.userId, admission.session, admission.holder);
                });
            });
    }

    // Hands the connection to a WebSocket whose queue counts against
    // `account`; `opened(server, socket)` once the upgrade is answered.
    template <class Opened>
    void upgrade(const Request& request, bool host, const std::string& room, const std::string& account, Opened opened) {
        deadline_.cancel();
        slot_.upgraded();
        handedOver_ = true;
        auto socket = std::make_shared<PeerSocket<Next>>(server_, std::move(next_), std::move(slot_), host, room, account,
                                                         addressText(client_));
        socket->accept(request, [server = server_, opened = std::move(opened)](const std::shared_ptr<PeerSocket<Next>>& socket) {
            opened(server, socket);
        });
    }

    // Written once its client's network has room for it among the answers
    // not yet taken (ConnectionSlot::answer).
    template <class Body>
    void respond(http::response<Body> response) {
        if (server_->stopped) response.keep_alive(false);
        auto shared = std::make_shared<http::response<Body>>(std::move(response));
        const bool waits = slot_.answer(answerBytes(*shared), [weak = this->weak_from_this(), shared] {
            if (const auto self = weak.lock()) self->write(shared);
        });
        if (waits) awaitTurn();
    }

    // Waiting for its turn is a wait like any other, with its deadline,
    // which alone keeps the connection meanwhile: shed, or past it, the
    // connection ends and gives its turn up with its place.
    void awaitTurn() {
        deadline_.expires_after(server_->options.requestTime);
        deadline_.async_wait([self = this->shared_from_this()](beast::error_code ec) {
            if (!ec) self->end();
        });
    }

    template <class Body>
    void write(const std::shared_ptr<http::response<Body>>& message) {
        writing_ = true;
        writeSome(message, std::make_shared<http::response_serializer<Body>>(*message));
    }

    // The deadline counts from the last bytes the client took: a phone on
    // a slow link is never cut off in the middle of a file, a client that
    // takes nothing is.
    template <class Message, class Serializer>
    void writeSome(const std::shared_ptr<Message>& message, const std::shared_ptr<Serializer>& serializer) {
        arm();
        http::async_write_some(next_, *serializer, [self = this->shared_from_this(), message, serializer](
                                                       beast::error_code ec, std::size_t) {
            if (!ec && !serializer->is_done()) {
                self->slot_.took();
                return self->writeSome(message, serializer);
            }
            self->writing_ = false;
            self->slot_.answered();
            if (ec) return self->end();
            ++self->answered_;
            if (message->keep_alive() && !self->server_->stopped) {
                self->slot_.idle();
                return self->readRequest();
            }
            self->finish();
        });
    }

    // The last answer is written: the connection ends once its client
    // closes its end and has taken the answer, or is reset at the deadline
    // if it has not taken it. Until then, what the client still sends is
    // read and dropped, so that it is not reset for sending it.
    void finish() {
        beast::error_code ignored;
        socket().shutdown(tcp::socket::shutdown_send, ignored);
        slot_.idle();
        arm();
        drain();
    }

    void drain() {
        // What still comes is read only to be dropped, into one scratch
        // buffer for every connection (the network thread is the only one).
        static std::array<char, 1024> dropped;
        socket().async_read_some(asio::buffer(dropped), [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
            if (ec) return self->closeWhenTaken();
            self->drain();
        });
    }

    // Nothing more comes from the client. What the kernel holds of the
    // answer is left to go out, as long as the client keeps taking some of
    // it within the request time; then the socket closes in order. There is
    // no event for bytes taken: it looks, less and less often.
    void closeWhenTaken() {
        if (!socket().is_open()) return;
        const int held = untakenBytes(socket());
        if (held == 0) return end();
        beast::error_code ignored;
        socket().shutdown(tcp::socket::shutdown_send, ignored);
        slot_.idle();
        lookForTaken(held, std::chrono::steady_clock::now() + server_->options.requestTime, firstLookForTaken);
    }
    void lookForTaken(int held, std::chrono::steady_clock::time_point until, std::chrono::milliseconds every) {
        deadline_.expires_after(every);
        deadline_.async_wait([self = this->shared_from_this(), held, until, every](beast::error_code ec) {
            if (ec || !self->socket().is_open()) return;
            const int now = untakenBytes(self->socket());
            if (now == 0) return self->end();
            if (now < held) return self->lookForTaken(now, std::chrono::steady_clock::now() + self->server_->options.requestTime,
                                                      std::min(every * 2, mostBetweenLooks));
            if (std::chrono::steady_clock::now() >= until) {
                self->server_->answerTimedOut(addressText(self->address_));
                return self->end();
            }
            self->lookForTaken(held, until, std::min(every * 2, mostBetweenLooks));
        });
    }

    std::shared_ptr<RelayServer::Impl> server_;
    Next next_;
    boost::asio::ip::address address_;
    boost::asio::ip::address client_;  // of the request being answered
    // At most one request's header and a read's worth: what a client sends
    // ahead of its answers waits in the kernel, not here.
    beast::flat_buffer buffer_{RelayLimits::requestBufferBytes};
    std::optional<http::request_parser<http::string_body>> parser_;
    ConnectionSlot slot_;  // held until the connection ends, or handed to its upgraded socket
    asio::steady_timer deadline_;
    bool writing_ = false;
    bool handedOver_ = false;  // to the upgraded socket, with `next_`
    int pipelined_ = 0;  // requests in a row that came before the last answer was written
    std::uint64_t plainId_ = 0;  // its place among the server's connections not upgraded
    bool reading_ = false;       // waiting for a request, not answering one
    bool questionsOnly_ = false;  // let in only to ask another instance's questions
    int answered_ = 0;
    std::uint64_t handshake_ = 0;  // its place among the TLS handshakes under way
    bool parked_ = false;          // its handshake refused, waiting for its deadline
};

}  // namespace morvane::relay_service::detail
