#include "relay_double.h"

#include <openssl/bn.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <nlohmann/json.hpp>

#include "core/secure.h"
#include "protocol/http_response.h"
#include "relay/relay_bytes.h"
#include "relay/relay_identity.h"
#include "relay/relay_tls.h"
#include "relay/relay_url.h"
#include "relay/relay_words.h"
#include "relay_service/web/relay_web.h"
#include "secure/secure_channel.h"

namespace morvane::testing {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ws = beast::websocket;
using tcp = asio::ip::tcp;
using json = nlohmann::json;

bool verifyRelaySignature(const Bytes& publicKey, const Bytes& message, const Bytes& raw) {
    if (raw.size() != 64 || publicKey.size() != 65) return false;
    P256PublicKey key = [&] {
        try {
            return SecureChannel::publicKey(publicKey);
        } catch (const SecureChannelError&) {
            return P256PublicKey(nullptr);
        }
    }();
    if (!key.handle()) return false;
    ECDSA_SIG* sig = ECDSA_SIG_new();
    ECDSA_SIG_set0(sig, BN_bin2bn(raw.data(), 32, nullptr), BN_bin2bn(raw.data() + 32, 32, nullptr));
    unsigned char* der = nullptr;
    const int derLength = i2d_ECDSA_SIG(sig, &der);
    ECDSA_SIG_free(sig);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    const bool ok = derLength > 0 && EVP_DigestVerifyInit(ctx, nullptr, EVP_sha256(), nullptr, key.handle()) == 1 &&
                    EVP_DigestVerify(ctx, der, static_cast<std::size_t>(derLength), message.data(), message.size()) == 1;
    EVP_MD_CTX_free(ctx);
    OPENSSL_free(der);
    return ok;
}

namespace {

std::int64_t unixNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::string newUuid() {
    auto hex = Secure::hex(Secure::randomBytes(16));
    return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" + hex.substr(16, 4) + "-" +
           hex.substr(20, 12);
}

struct Peer {
    virtual ~Peer() = default;
    virtual void sendText(std::string text) = 0;
    virtual void sendBinary(Bytes data) = 0;
    // Writes bytes as they are, under the WebSocket framing, then reads
    // nothing more and keeps the connection open: a relay that breaks the
    // protocol and does not answer the host's close.
    virtual void sendRawAndIgnore(std::string bytes) = 0;
    virtual void close(int code, const std::string& reason = {}) = 0;
    void close(RelayCloseWord close) { this->close(close.code, std::string(close.word)); }
    virtual void kill() = 0;
    bool isHost = false;
    // A device the double accepts and then closes at once with this code and
    // word, as the relay's device side refuses (a spent ticket, no host).
    std::optional<std::pair<int, std::string>> refusal;
    bool welcomed = false;
    std::string room;
    std::uint32_t id = 0;
    Bytes publicKey;
    Bytes challenge;
};

struct Room {
    std::weak_ptr<Peer> host;
    std::map<std::uint32_t, std::weak_ptr<Peer>> devices;
};

}  // namespace

struct RelayDouble::Impl : std::enable_shared_from_this<RelayDouble::Impl> {
    Options options;
    asio::io_context io;
    asio::executor_work_guard<asio::io_context::executor_type> guard{io.get_executor()};
    std::thread thread;
    std::unique_ptr<asio::ssl::context> tls;
    std::unique_ptr<tcp::acceptor> acceptor;
    std::uint16_t port = 0;

    mutable std::mutex lock;
    // Accounts.
    std::vector<std::string> codesSent;
    std::map<std::string, std::string> userByEmail, userByToken;
    // Single-use tickets of the device side: ticket to (room, user).
    std::map<std::string, std::pair<std::string, std::string>> tickets;
    std::map<std::string, Host> hostsByKey;
    std::optional<AccountRefusal> refusal;
    int accountCalls = 0;
    // Link.
    std::map<std::string, Room> rooms;
    std::vector<std::weak_ptr<Peer>> peers;
    // Stalled connections have no operation pending to keep them alive.
    std::vector<std::shared_ptr<Peer>> stalled;
    int hostUpgrades = 0;
    std::string lastHostAuth;
    std::optional<int> refuseStatus;
    bool stall = false;
    std::optional<std::string> subprotocol;
    std::chrono::milliseconds writeDelay{0};
    std::vector<std::string> drops;
    std::uint32_t nextID = 1;
    // Every record passed between a device and its host, either way.
    std::vector<Bytes> forwarded;

    void runSync(std::function<void()> work) {
        std::promise<void> done;
        asio::post(io, [&] {
            work();
            done.set_value();
        });
        done.get_future().wait();
    }

    void listen() {
        acceptor = std::make_unique<tcp::acceptor>(io);
        const tcp::endpoint at(asio::ip::make_address("127.0.0.1"), port);
        acceptor->open(at.protocol());
        acceptor->set_option(asio::socket_base::reuse_address(true));
        acceptor->bind(at);
        acceptor->listen();
        port = acceptor->local_endpoint().port();
        accept();
    }

    void accept();
    http::response<http::string_body> account(const http::request<http::string_body>& request);
    // Checks a host's upgrade; 0 accepts.
    int checkHost(const http::request<http::string_body>& request, const std::string& room, Bytes& publicKey);
    void hostText(const std::shared_ptr<Peer>& peer, const std::string& text);
    void hostBinary(const std::shared_ptr<Peer>& peer, const Bytes& data);
    void deviceBinary(const std::shared_ptr<Peer>& peer, const Bytes& data);
    void ended(const std::shared_ptr<Peer>& peer);
    void admitDevice(const std::shared_ptr<Peer>& peer);
    // Spends a ticket for the room; the refusal a device is then closed with.
    std::optional<std::pair<int, std::string>> checkTicket(const std::string& ticket, const std::string& room);
    std::optional<std::string> bearerUser(const http::request<http::string_body>& request);
    http::response<http::string_body> deviceSide(const http::request<http::string_body>& request);
};

namespace {

template <bool Secure>
class Connection final : public Peer, public std::enable_shared_from_this<Connection<Secure>> {
    using Next = std::conditional_t<Secure, beast::ssl_stream<beast::tcp_stream>, beast::tcp_stream>;

public:
    // The double outlives every handler (its thread is joined before it
    // goes), so connections point at it without keeping it alive: pending
    // handlers that owned it would keep its io_context, and with it
    // themselves, alive for good.
    Connection(RelayDouble::Impl* relay, tcp::socket socket)
        : relay_(relay), timer_(relay_->io), stream_(makeNext(std::move(socket))) {}

    void start() {
        auto self = this->shared_from_this();
        beast::get_lowest_layer(*stream_).expires_after(std::chrono::seconds(10));
        if constexpr (Secure) {
            stream_->async_handshake(asio::ssl::stream_base::server, [self](beast::error_code ec) {
                if (!ec) self->readRequest();
            });
        } else {
            readRequest();
        }
    }

    void sendText(std::string text) override { enqueue(Out::text, std::move(text)); }
    void sendBinary(Bytes data) override { enqueue(Out::binary, std::string(data.begin(), data.end())); }
    void sendRawAndIgnore(std::string bytes) override { enqueue(Out::raw, std::move(bytes)); }
    void close(int code, const std::string& reason = {}) override {
        if (!ws_ || closing_) return;
        closing_ = true;
        ws_->async_close(ws::close_reason(static_cast<ws::close_code>(code), reason),
                         [self = this->shared_from_this()](beast::error_code) { self->kill(); });
    }
    void kill() override {
        beast::error_code ignored;
        if (ws_)
            beast::get_lowest_layer(*ws_).socket().close(ignored);
        else if (stream_)
            beast::get_lowest_layer(*stream_).socket().close(ignored);
    }

private:
    Next makeNext(tcp::socket socket) {
        if constexpr (Secure)
            return Next(beast::tcp_stream(std::move(socket)), *relay_->tls);
        else
            return Next(std::move(socket));
    }

    void readRequest() {
        parser_.emplace();
        parser_->body_limit(16'384);
        http::async_read(*stream_, buffer_, *parser_, [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
            if (ec) return;
            self->request_ = self->parser_->release();
            self->route();
        });
    }

    void route() {
        const std::string target(request_.target());
        if (!ws::is_upgrade(request_)) {
            http::response<http::string_body> response;
            {
                std::lock_guard guard(relay_->lock);
                response = request_.method() == http::verb::get && !target.starts_with("/v1/") ? page(target)
                                                                                                : relay_->account(request_);
            }
            respond(std::move(response));
            return;
        }
        static const std::string hostPrefix = "/relay/v1/host/", devicePrefix = "/relay/v1/device/";
        const bool host = target.rfind(hostPrefix, 0) == 0;
        if (!host && target.rfind(devicePrefix, 0) != 0) return respond(status(404, RelayError::notFound));
        room = target.substr(host ? hostPrefix.size() : devicePrefix.size());
        std::optional<std::string> ticket;
        if (const auto query = room.find('?'); query != std::string::npos) {
            const std::string rest = room.substr(query + 1);
            room.resize(query);
            if (!host && rest.rfind("ticket=", 0) == 0) ticket = rest.substr(7);
        }
        isHost = host;
        std::optional<std::string> chosen;
        {
            std::lock_guard guard(relay_->lock);
            if (host) {
                const int refusal = relay_->checkHost(request_, room, publicKey);
                if (refusal != 0) return respond(status(refusal, RelayError::refused));
            } else if (ticket) {
                this->refusal = relay_->checkTicket(*ticket, room);
            }
            chosen = relay_->subprotocol;
            stalled_ = host && relay_->stall;
        }
        const std::string offered(request_[http::field::sec_websocket_protocol]);
        if (offered.find("morvane.v1") == std::string::npos) return respond(status(400, RelayError::subprotocol));
        const std::string answer = chosen.value_or("morvane.v1");
        beast::get_lowest_layer(*stream_).expires_never();
        ws_.emplace(std::move(*stream_));
        stream_.reset();
        ws_->set_option(ws::stream_base::decorator([answer](ws::response_type& r) {
            if (!answer.empty()) r.set(http::field::sec_websocket_protocol, answer);
        }));
        ws_->read_message_max(1 << 20);
        ws_->async_accept(request_, [self = this->shared_from_this()](beast::error_code ec) {
            if (ec) return;
            self->accepted();
        });
    }

    void accepted() {
        auto self = this->shared_from_this();
        if (isHost) {
            if (stalled_) {  // says nothing, reads nothing
                std::lock_guard guard(relay_->lock);
                relay_->stalled.push_back(self);
                return;
            }
            challenge = Secure::randomBytes(32);
            sendText(R"({"t":"challenge","nonce":")" + RelayBytes::b64u(challenge) + "\"}");
        } else if (refusal) {
            close(refusal->first, refusal->second);
            return;
        } else {
            std::lock_guard guard(relay_->lock);
            relay_->admitDevice(self);
        }
        read();
    }

    void read() {
        ws_->async_read(readBuffer_, [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
            if (self->deaf_) return;
            if (ec) {
                std::lock_guard guard(self->relay_->lock);
                self->relay_->ended(self);
                return;
            }
            const auto data = self->readBuffer_.data();
            const auto* begin = static_cast<const std::uint8_t*>(data.data());
            Bytes bytes(begin, begin + data.size());
            self->readBuffer_.consume(self->readBuffer_.size());
            {
                std::lock_guard guard(self->relay_->lock);
                if (self->ws_->got_text())
                    self->relay_->hostText(self, std::string(bytes.begin(), bytes.end()));
                else if (self->isHost)
                    self->relay_->hostBinary(self, bytes);
                else
                    self->relay_->deviceBinary(self, bytes);
            }
            self->read();
        });
    }

    struct Out {
        enum Kind { text, binary, raw } kind;
        std::string data;
    };

    void enqueue(typename Out::Kind kind, std::string data) {
        asio::post(relay_->io, [self = this->shared_from_this(), kind, data = std::move(data)]() mutable {
            if (!self->ws_ || self->closing_) return;
            self->outbox_.push_back({kind, std::move(data)});
            self->pump();
        });
    }

    // Stops reading first, so that nothing the host sends in answer (its
    // close frame) is read and answered; then writes the bytes.
    void writeRaw(std::string& bytes) {
        auto self = this->shared_from_this();
        {
            std::lock_guard guard(relay_->lock);
            relay_->stalled.push_back(self);
        }
        deaf_ = true;
        beast::error_code ignored;
        beast::get_lowest_layer(*ws_).socket().shutdown(tcp::socket::shutdown_receive, ignored);
        asio::async_write(ws_->next_layer(), asio::buffer(bytes), [self](beast::error_code, std::size_t) {
            self->writing_ = false;
            self->outbox_.pop_front();
        });
    }

    void pump() {
        if (writing_ || outbox_.empty() || closing_) return;
        writing_ = true;
        std::chrono::milliseconds delay;
        {
            std::lock_guard guard(relay_->lock);
            delay = relay_->writeDelay;
        }
        timer_.expires_after(delay);
        timer_.async_wait([self = this->shared_from_this()](beast::error_code) {
            if (self->closing_) return;
            auto& front = self->outbox_.front();
            if (front.kind == Out::raw) return self->writeRaw(front.data);
            self->ws_->text(front.kind == Out::text);
            self->ws_->async_write(asio::buffer(front.data), [self](beast::error_code ec, std::size_t) {
                self->writing_ = false;
                self->outbox_.pop_front();
                if (!ec) self->pump();
            });
        });
    }

    // The page a device opens at the relay, with the host's strict headers.
    static http::response<http::string_body> page(const std::string& target) {
        const std::string name = target == "/" ? "index.html" : target.substr(1);
        for (const auto& file : RelayWeb::files()) {
            if (file.name != name) continue;
            static const std::map<std::string, std::string> types = {
                {".html", "text/html; charset=utf-8"}, {".js", "text/javascript; charset=utf-8"},
                {".css", "text/css; charset=utf-8"}, {".webmanifest", "application/manifest+json"},
                {".svg", "image/svg+xml"}, {".png", "image/png"}};
            const auto dot = name.rfind('.');
            const auto type = dot == std::string::npos ? types.end() : types.find(name.substr(dot));
            http::response<http::string_body> r{http::status::ok, 11};
            r.set(http::field::content_type, type == types.end() ? "application/octet-stream" : type->second);
            for (const auto& [field, value] : HTTPResponse::securityHeaders()) r.set(field, value);
            r.body().assign(file.bytes.begin(), file.bytes.end());
            return r;
        }
        return status(404, RelayError::notFound);
    }

    static http::response<http::string_body> status(int code, std::string_view error) {
        http::response<http::string_body> r{static_cast<http::status>(code), 11};
        r.set(http::field::content_type, "application/json");
        r.body() = json{{"error", error}}.dump();
        return r;
    }

    void respond(http::response<http::string_body> response) {
        response.keep_alive(false);
        response.prepare_payload();
        auto shared = std::make_shared<http::response<http::string_body>>(std::move(response));
        http::async_write(*stream_, *shared, [self = this->shared_from_this(), shared](beast::error_code, std::size_t) {
            beast::error_code ignored;
            beast::get_lowest_layer(*self->stream_).socket().shutdown(tcp::socket::shutdown_send, ignored);
        });
    }

    RelayDouble::Impl* relay_;
    asio::steady_timer timer_;
    std::optional<Next> stream_;
    std::optional<ws::stream<Next>> ws_;
    beast::flat_buffer buffer_, readBuffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    http::request<http::string_body> request_;
    std::deque<Out> outbox_;
    bool writing_ = false;
    bool deaf_ = false;
    bool closing_ = false;
    bool stalled_ = false;
};

}  // namespace

void RelayDouble::Impl::accept() {
    acceptor->async_accept([weak = weak_from_this()](beast::error_code ec, tcp::socket socket) {
        auto self = weak.lock();
        if (!self || ec) return;
        std::shared_ptr<Peer> peer;
        if (self->tls) {
            auto c = std::make_shared<Connection<true>>(self.get(), std::move(socket));
            c->start();
            peer = c;
        } else {
            auto c = std::make_shared<Connection<false>>(self.get(), std::move(socket));
            c->start();
            peer = c;
        }
        {
            std::lock_guard guard(self->lock);
            self->peers.push_back(peer);
        }
        self->accept();
    });
}

int RelayDouble::Impl::checkHost(const http::request<http::string_body>& request, const std::string& room,
                                 Bytes& publicKey) {
    ++hostUpgrades;
    lastHostAuth = std::string(request["X-Morvane-Host-Auth"]);
    if (refuseStatus) return *refuseStatus;
    const Host* host = nullptr;
    for (const auto& [key, h] : hostsByKey) {
        const auto bytes = RelayBytes::fromB64u(key);
        if (bytes && RelayBytes::hex(SecureChannel::roomID(*bytes)) == room) {
            host = &h;
            publicKey = *bytes;
        }
    }
    if (!host) return 410;
    // "v1." seconds "." nonce "." signature
    std::vector<std::string> parts;
    std::size_t from = 0;
    for (std::size_t dot; (dot = lastHostAuth.find('.', from)) != std::string::npos; from = dot + 1)
        parts.push_back(lastHostAuth.substr(from, dot - from));
    parts.push_back(lastHostAuth.substr(from));
    if (parts.size() != 4 || parts[0] != "v1" || parts[1].empty() || parts[1].size() > 12 ||
        parts[1].find_first_not_of("0123456789") != std::string::npos)
        return 401;
    const auto seconds = std::stoll(parts[1]);
    const auto nonce = RelayBytes::fromB64u(parts[2]);
    const auto signature = RelayBytes::fromB64u(parts[3]);
    if (!nonce || !signature || std::llabs(seconds - unixNow()) > 300) return 401;
    const auto message =
        RelayIdentity::helloMessage(SecureChannel::roomID(publicKey), static_cast<std::uint64_t>(seconds), *nonce);
    return verifyRelaySignature(publicKey, message, *signature) ? 0 : 401;
}

void RelayDouble::Impl::hostText(const std::shared_ptr<Peer>& peer, const std::string& text) {
    const auto message = json::parse(text, nullptr, false);
    if (!peer->isHost || !message.is_object() || !message.contains("t") || !message["t"].is_string())
        return peer->close(RelayLinkClose::badMessage);
    const auto type = message["t"].get<std::string>();
    if (type == "prove" && !peer->welcomed && message.contains("sig") && message["sig"].is_string()) {
        const auto sig = RelayBytes::fromB64u(message["sig"].get<std::string>());
        if (!sig || !verifyRelaySignature(peer->publicKey,
                                          RelayIdentity::proveMessage(SecureChannel::roomID(peer->publicKey), peer->challenge),
                                          *sig))
            return peer->close(RelayLinkClose::refused);
        auto& room = rooms[peer->room];
        if (auto old = room.host.lock(); old && old != peer) old->close(RelayLinkClose::replaced);
        room.host = peer;
        peer->welcomed = true;
        json devices = json::array();
        for (const auto& [id, device] : room.devices)
            if (!device.expired()) devices.push_back(id);
        peer->sendText(json{{"t", "welcome"}, {"room", peer->room}, {"devices", devices}}.dump());
        return;
    }
    if (type == "drop" && peer->welcomed && message.contains("c") && message["c"].is_number_unsigned()) {
        const auto id = message["c"].get<std::uint32_t>();
        drops.push_back(std::to_string(id));
        auto& room = rooms[peer->room];
        if (auto it = room.devices.find(id); it != room.devices.end()) {
            if (auto device = it->second.lock()) device->close(RelayDeviceClose::refused);
            room.devices.erase(it);
        }
        return;
    }
    peer->close(RelayLinkClose::badMessage);
}

void RelayDouble::Impl::hostBinary(const std::shared_ptr<Peer>& peer, const Bytes& data) {
    if (!peer->welcomed || data.size() < 5) return peer->close(RelayLinkClose::badMessage);
    const auto id = RelayBytes::readU32(data);
    auto& room = rooms[peer->room];
    if (auto it = room.devices.find(id); it != room.devices.end())
        if (auto device = it->second.lock()) {
            forwarded.emplace_back(data.begin() + 4, data.end());
            device->sendBinary(forwarded.back());
        }
}

void RelayDouble::Impl::admitDevice(const std::shared_ptr<Peer>& peer) {
    peer->id = nextID++;
    auto& room = rooms[peer->room];
    room.devices[peer->id] = peer;
    if (auto host = room.host.lock(); host && host->welcomed)
        host->sendText(R"({"t":"joined","c":)" + std::to_string(peer->id) + "}");
}

void RelayDouble::Impl::deviceBinary(const std::shared_ptr<Peer>& peer, const Bytes& data) {
    auto& room = rooms[peer->room];
    if (auto host = room.host.lock(); host && host->welcomed) {
        forwarded.push_back(data);
        Bytes frame = RelayBytes::u32(peer->id);
        frame.insert(frame.end(), data.begin(), data.end());
        host->sendBinary(std::move(frame));
    }
}

void RelayDouble::Impl::ended(const std::shared_ptr<Peer>& peer) {
    auto found = rooms.find(peer->room);
    if (found == rooms.end()) return;
    auto& room = found->second;
    if (peer->isHost) {
        if (room.host.lock() == peer) {
            room.host.reset();
            // Devices of a host that left start over when it is back.
            for (auto& [id, device] : room.devices)
                if (auto d = device.lock()) d->close(RelayDeviceClose::goingAway);
            room.devices.clear();
        }
        return;
    }
    if (room.devices.erase(peer->id) > 0)
        if (auto host = room.host.lock(); host && host->welcomed)
            host->sendText(R"({"t":"left","c":)" + std::to_string(peer->id) + "}");
}

namespace {

std::optional<std::pair<int, std::string>> closeWith(RelayCloseWord close) {
    return std::make_pair(close.code, std::string(close.word));
}

}  // namespace

std::optional<std::pair<int, std::string>> RelayDouble::Impl::checkTicket(const std::string& ticket,
                                                                          const std::string& room) {
    const auto it = tickets.find(ticket);
    if (it == tickets.end() || it->second.first != room) return closeWith(RelayDeviceClose::ticketRefused);
    tickets.erase(it);
    const auto host = rooms.find(room);
    if (host == rooms.end() || !host->second.host.lock() || !host->second.host.lock()->welcomed)
        return closeWith(RelayDeviceClose::macOffline);
    return std::nullopt;
}

std::optional<std::string> RelayDouble::Impl::bearerUser(const http::request<http::string_body>& request) {
    const std::string auth(request[http::field::authorization]);
    if (auth.rfind("Bearer ", 0) != 0) return std::nullopt;
    const auto it = userByToken.find(auth.substr(7));
    if (it == userByToken.end()) return std::nullopt;
    return it->second;
}

// The device side: the account's computers and single-use tickets for
// their rooms (a device's page cannot set headers on its WebSocket).
http::response<http::string_body> RelayDouble::Impl::deviceSide(const http::request<http::string_body>& request) {
    ++accountCalls;
    auto answer = [](int status, const json& body) {
        http::response<http::string_body> r{static_cast<http::status>(status), 11};
        r.set(http::field::content_type, "application/json");
        r.body() = body.dump();
        return r;
    };
    const auto user = bearerUser(request);
    if (!user) return answer(401, json{{"error", RelayError::unauthorized}});
    const std::string target(request.target());
    if (target == "/v1/hosts") {
        json hosts = json::array();
        for (const auto& [key, host] : hostsByKey) {
            if (host.userId != *user) continue;
            const auto bytes = RelayBytes::fromB64u(key);
            if (!bytes) continue;
            const auto room = RelayBytes::hex(SecureChannel::roomID(*bytes));
            const auto found = rooms.find(room);
            const auto link = found == rooms.end() ? nullptr : found->second.host.lock();
            hosts.push_back({{"room", room}, {"name", host.name}, {"online", link && link->welcomed}});
        }
        return answer(200, json{{"hosts", hosts}});
    }
    if (request.method() != http::verb::post) return answer(405, json{{"error", RelayError::method}});
    const std::string room = target.substr(10, target.size() - 10 - 7);
    for (const auto& [key, host] : hostsByKey) {
        const auto bytes = RelayBytes::fromB64u(key);
        if (host.userId != *user || !bytes || RelayBytes::hex(SecureChannel::roomID(*bytes)) != room) continue;
        const auto ticket = RelayBytes::b64u(Secure::randomBytes(24));
        tickets[ticket] = {room, *user};
        return answer(200, json{{"ticket", ticket}, {"expires_in", 30}});
    }
    return answer(404, json{{"error", RelayError::unknownHost}});
}

http::response<http::string_body> RelayDouble::Impl::account(const http::request<http::string_body>& request) {
    ++accountCalls;
    auto answer = [](int status, const json& body) {
        http::response<http::string_body> r{static_cast<http::status>(status), 11};
        r.set(http::field::content_type, "application/json");
        r.body() = body.dump();
        return r;
    };
    auto refuse = [&](int status, std::string_view error) { return answer(status, json{{"error", error}}); };
    if (refusal) {
        json body{{"error", refusal->error}};
        if (refusal->retryAfter) body["retry_after"] = *refusal->retryAfter;
        const int status = refusal->status;
        refusal.reset();
        return answer(status, body);
    }
    if (const std::string target(request.target());
        target == "/v1/hosts" ? request.method() == http::verb::get
                              : target.starts_with("/v1/hosts/") && target.ends_with("/ticket"))
        return deviceSide(request);
    if (request.method() != http::verb::post) return refuse(405, RelayError::method);
    if (request[http::field::content_type] != "application/json" || request[http::field::accept] != "application/json")
        return refuse(415, RelayError::badRequest);
    const auto body = json::parse(request.body(), nullptr, false);
    if (!body.is_object()) return refuse(400, RelayError::badRequest);
    auto text = [&](const char* key) -> std::string {
        return body.contains(key) && body[key].is_string() ? body[key].get<std::string>() : std::string();
    };
    const std::string path(request.target());
    if (path == "/v1/auth/code") {
        if (text("email").find('@') == std::string::npos) return refuse(400, RelayError::invalidEmail);
        if (text("login_id").empty()) return refuse(400, RelayError::badRequest);
        codesSent.push_back(text("email"));
        return answer(200, json{{"ok", true}});
    }
    if (path == "/v1/auth/verify") {
        const auto email = text("email");
        if (text("code") != options.code || (text("client") != "mac" && text("client") != "web") ||
            std::find(codesSent.begin(), codesSent.end(), email) == codesSent.end())
            return refuse(400, RelayError::invalidCode);
        auto& user = userByEmail[email];
        if (user.empty()) user = newUuid();
        const auto access = Secure::hex(Secure::randomBytes(24));
        userByToken[access] = user;
        return answer(200, json{{"access_token", access},
                                {"refresh_token", Secure::hex(Secure::randomBytes(16))},
                                {"user", {{"id", user}, {"email", email}}}});
    }
    if (path == "/v1/hosts" || path == "/v1/hosts/self/delete") {
        const bool registering = path == "/v1/hosts";
        std::string user;
        if (registering) {
            const std::string auth(request[http::field::authorization]);
            if (auth.rfind("Bearer ", 0) != 0 || !userByToken.contains(auth.substr(7))) return refuse(401, RelayError::unauthorized);
            user = userByToken[auth.substr(7)];
        }
        const auto key = RelayBytes::fromB64u(text("public_key"));
        const auto nonce = RelayBytes::fromB64u(text("nonce"));
        const auto sig = RelayBytes::fromB64u(text("sig"));
        if (!key || key->size() != 65 || !nonce || !sig || !body.contains("ts") || !body["ts"].is_number_unsigned())
            return refuse(400, RelayError::badRequest);
        const auto ts = body["ts"].get<std::uint64_t>();
        const auto room = SecureChannel::roomID(*key);
        const auto message = registering ? RelayIdentity::registerMessage(room, ts, *nonce, user)
                                         : RelayIdentity::removeMessage(room, ts, *nonce);
        if (!verifyRelaySignature(*key, message, *sig) || std::llabs(static_cast<long long>(ts) - unixNow()) > 300)
            return refuse(401, RelayError::badProof);
        const auto keyText = text("public_key");
        if (!registering) {
            if (hostsByKey.erase(keyText) == 0) return refuse(404, RelayError::notFound);
            return answer(200, json{{"ok", true}});
        }
        const json host{{"name", text("name")}, {"room", RelayBytes::hex(room)}};
        if (auto it = hostsByKey.find(keyText); it != hostsByKey.end()) {
            if (it->second.userId != user) return refuse(409, RelayError::hostTaken);
            it->second.name = text("name");
            return answer(200, json{{"host", host}});
        }
        int owned = 0;
        for (const auto& [k, h] : hostsByKey) owned += h.userId == user;
        if (owned >= 10) return refuse(403, RelayError::hostLimit);
        hostsByKey[keyText] = Host{keyText, text("name"), user};
        return answer(201, json{{"host", host}});
    }
    if (path == "/v1/auth/signout") return answer(200, json{{"ok", true}});
    return refuse(404, RelayError::notFound);
}

RelayDouble::RelayDouble(Options options) : impl_(std::make_shared<Impl>()) {
    impl_->options = std::move(options);
    impl_->port = impl_->options.port;
    if (impl_->options.tls) {
        impl_->tls = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_server);
        impl_->tls->use_certificate_chain(asio::buffer(impl_->options.certificatePem));
        impl_->tls->use_private_key(asio::buffer(impl_->options.keyPem), asio::ssl::context::pem);
    }
    impl_->listen();
    impl_->thread = std::thread([impl = impl_.get()] { impl->io.run(); });
}

RelayDouble::~RelayDouble() {
    stop();
    impl_->guard.reset();
    impl_->io.stop();
    impl_->thread.join();
}

std::uint16_t RelayDouble::port() const { return impl_->port; }

std::string RelayDouble::origin(const std::string& scheme, const std::string& host) const {
    return scheme + "://" + host + ":" + std::to_string(impl_->port);
}

void RelayDouble::stop() {
    impl_->runSync([impl = impl_.get()] {
        if (impl->acceptor) {
            beast::error_code ignored;
            impl->acceptor->close(ignored);
            impl->acceptor.reset();
        }
        std::vector<std::shared_ptr<Peer>> live;
        {
            std::lock_guard guard(impl->lock);
            for (auto& weak : impl->peers)
                if (auto p = weak.lock()) live.push_back(p);
            impl->peers.clear();
            impl->rooms.clear();
            impl->stalled.clear();
        }
        for (auto& p : live) p->kill();
    });
}

void RelayDouble::start() {
    impl_->runSync([impl = impl_.get()] {
        if (!impl->acceptor) impl->listen();
    });
}

std::vector<std::string> RelayDouble::codesSentTo() const {
    std::lock_guard guard(impl_->lock);
    return impl_->codesSent;
}

std::vector<RelayDouble::Host> RelayDouble::hosts() const {
    std::lock_guard guard(impl_->lock);
    std::vector<Host> out;
    for (const auto& [k, h] : impl_->hostsByKey) out.push_back(h);
    return out;
}

void RelayDouble::removeHost(const std::string& publicKey) {
    std::lock_guard guard(impl_->lock);
    impl_->hostsByKey.erase(publicKey);
}

void RelayDouble::refuseNextAccountCall(AccountRefusal refusal) {
    std::lock_guard guard(impl_->lock);
    impl_->refusal = std::move(refusal);
}

int RelayDouble::accountCalls() const {
    std::lock_guard guard(impl_->lock);
    return impl_->accountCalls;
}

int RelayDouble::hostUpgrades() const {
    std::lock_guard guard(impl_->lock);
    return impl_->hostUpgrades;
}

bool RelayDouble::hostUp(const std::string& room) const {
    std::lock_guard guard(impl_->lock);
    auto it = impl_->rooms.find(room);
    if (it == impl_->rooms.end()) return false;
    auto host = it->second.host.lock();
    return host && host->welcomed;
}

std::string RelayDouble::lastHostAuth() const {
    std::lock_guard guard(impl_->lock);
    return impl_->lastHostAuth;
}

void RelayDouble::refuseUpgrades(std::optional<int> status) {
    std::lock_guard guard(impl_->lock);
    impl_->refuseStatus = status;
}

void RelayDouble::closeHosts(int code) {
    impl_->runSync([impl = impl_.get(), code] {
        std::vector<std::shared_ptr<Peer>> hosts;
        {
            std::lock_guard guard(impl->lock);
            for (auto& [name, room] : impl->rooms)
                if (auto h = room.host.lock()) hosts.push_back(h);
        }
        for (auto& h : hosts) h->close(code);
    });
}

void RelayDouble::stallHosts(bool stall) {
    std::lock_guard guard(impl_->lock);
    impl_->stall = stall;
}

void RelayDouble::chooseSubprotocol(std::optional<std::string> subprotocol) {
    std::lock_guard guard(impl_->lock);
    impl_->subprotocol = std::move(subprotocol);
}

void RelayDouble::sendGarbageToHosts() {
    std::lock_guard guard(impl_->lock);
    for (auto& [name, room] : impl_->rooms)
        if (auto h = room.host.lock()) h->sendText("{\"t\":\"garbage\"");
}

void RelayDouble::sendRawToHosts(const Bytes& bytes) {
    std::lock_guard guard(impl_->lock);
    for (auto& [name, room] : impl_->rooms)
        if (auto h = room.host.lock()) h->sendRawAndIgnore(std::string(bytes.begin(), bytes.end()));
}

void RelayDouble::slowWrites(std::chrono::milliseconds delay) {
    std::lock_guard guard(impl_->lock);
    impl_->writeDelay = delay;
}

std::vector<Bytes> RelayDouble::forwarded() const {
    std::lock_guard guard(impl_->lock);
    return impl_->forwarded;
}

std::size_t RelayDouble::forwardedBytes() const {
    std::lock_guard guard(impl_->lock);
    std::size_t total = 0;
    for (const auto& record : impl_->forwarded) total += record.size();
    return total;
}

bool RelayDouble::forwardedContains(const std::string& text) const {
    std::lock_guard guard(impl_->lock);
    return std::any_of(impl_->forwarded.begin(), impl_->forwarded.end(), [&](const Bytes& record) {
        return std::search(record.begin(), record.end(), text.begin(), text.end()) != record.end();
    });
}

std::vector<std::string> RelayDouble::dropsSeen() const {
    std::lock_guard guard(impl_->lock);
    return impl_->drops;
}

}  // namespace morvane::testing
