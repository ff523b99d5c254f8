#include "server/remote_connection.h"

#include "protocol/http_response.h"
#include "protocol/router.h"
#include "server/control_text.h"
#include "server/websocket_wire.h"

namespace morvane {
namespace {

constexpr std::size_t readChunkBytes = 65'536;
constexpr std::int64_t answerMillis = 30'000;
constexpr std::int64_t closeMillis = 2'000;
constexpr std::int64_t authMillis = static_cast<std::int64_t>(WSLimits::authSeconds * 1000);
constexpr std::int64_t requestMillis = static_cast<std::int64_t>(HTTPLimits::requestSeconds * 1000);

}  // namespace

RemoteConnection::RemoteConnection(std::shared_ptr<Socket> nw, std::weak_ptr<ConnectionHost> host,
                                   std::uint64_t serial, std::int64_t nowMillis)
    : nw_(std::move(nw)),
      wire_(std::make_shared<WebSocketWire>(nw_)),
      host_(std::move(host)),
      phase_(Phase::http),
      lastReceive_(nowMillis),
      serial_(serial),
      route_(ConnectionRoute::loopback) {}

RemoteConnection::RemoteConnection(std::shared_ptr<ConnectionWire> wire, std::weak_ptr<ConnectionHost> host,
                                   std::uint64_t serial, std::int64_t nowMillis)
    : wire_(std::move(wire)),
      host_(std::move(host)),
      phase_(Phase::http),
      lastReceive_(nowMillis),
      serial_(serial),
      route_(ConnectionRoute::loopback) {}

RemoteConnection::RemoteConnection(std::shared_ptr<ConnectionWire> wire, std::string relayDeviceID,
                                   std::weak_ptr<ConnectionHost> host, std::uint64_t serial, std::int64_t nowMillis)
    : wire_(std::move(wire)),
      relayDeviceID_(std::move(relayDeviceID)),
      host_(std::move(host)),
      phase_(Phase::awaitingAuth),
      lastReceive_(nowMillis),
      serial_(serial),
      route_(ConnectionRoute::relay) {}

std::int64_t RemoteConnection::now() const {
    auto s = host();
    return s ? s->now() : nowMillis();
}

void RemoteConnection::start() {
    auto s = host();
    if (!s) return;
    std::weak_ptr<RemoteConnection> weak = weak_from_this();
    if (phase_ == Phase::awaitingAuth) {
        lastReceive_ = now();
        startAuthTimer();
        return;
    }
    arm(requestMillis, [weak] {
        if (auto self = weak.lock(); self && self->phase_ == Phase::http) self->hardClose();
    });
    if (!nw_) return;
    readBuffer_.resize(readChunkBytes);
    receiveLoop();
}

void RemoteConnection::receiveLoop() {
    std::weak_ptr<RemoteConnection> weak = weak_from_this();
    nw_->async_read_some(boost::asio::buffer(readBuffer_), [weak](const boost::system::error_code& ec, std::size_t n) {
        auto self = weak.lock();
        if (!self || self->phase_ == Phase::closed) return;
        if (n > 0) self->ingest(std::span<const std::uint8_t>(self->readBuffer_.data(), n));
        if (self->phase_ == Phase::closed) return;
        if (ec == boost::asio::error::eof) {
            // The peer finished sending; an answer or close frame still being
            // written ends the connection through its own completion.
            if (self->phase_ != Phase::responding && self->phase_ != Phase::closing) self->hardClose();
            return;
        }
        if (ec) {
            self->hardClose();
            return;
        }
        self->receiveLoop();
    });
}

void RemoteConnection::arm(std::int64_t delayMillis, std::function<void()> work) {
    auto s = host();
    if (!s) return;
    if (!deadline_) deadline_ = s->makeDeadline();
    deadline_->arm(delayMillis, std::move(work));
}

void RemoteConnection::startAuthTimer() {
    std::weak_ptr<RemoteConnection> weak = weak_from_this();
    arm(authMillis, [weak] {
        if (auto self = weak.lock(); self && self->phase_ == Phase::awaitingAuth) self->deny();
    });
}

void RemoteConnection::ingest(std::span<const std::uint8_t> data) {
    switch (phase_) {
        case Phase::http: {
            requestBuffer_.insert(requestBuffer_.end(), data.begin(), data.end());
            auto result = HTTPParser::parse(requestBuffer_);
            if (auto failure = std::get_if<http_parse::Failure>(&result)) {
                requestBuffer_.clear();
                respondError(failure->status);
            } else if (auto request = std::get_if<http_parse::Request>(&result)) {
                requestBuffer_.clear();
                auto copy = std::move(*request);
                route(copy.request, copy.leftover);
            }
            return;
        }
        case Phase::responding:
        case Phase::closing:
        case Phase::closed:
            return;
        case Phase::awaitingAuth:
            preAuthBytes_ += data.size();
            if (preAuthBytes_ > WSLimits::maxPreAuthBytes) {
                deny();
                return;
            }
            [[fallthrough]];
        case Phase::controller:
            lastReceive_ = now();
            handleWebSocket(data);
            return;
    }
}

void RemoteConnection::route(const HTTPRequest& request, const Bytes& leftover) {
    auto s = host();
    if (!s) {
        hardClose();
        return;
    }
    auto routed = morvane::route(request, leftover, RouteContext{s->policy(), s->site(), s->pausedNow()});
    route_ = routed.route;
    std::visit(
        [&](const auto& d) {
            using T = std::decay_t<decltype(d)>;
            if constexpr (std::is_same_v<T, route_decision::ServeFile>) {
                respondFile(d);
            } else if constexpr (std::is_same_v<T, route_decision::Upgrade>) {
                phase_ = Phase::awaitingAuth;
                lastReceive_ = now();
                routedOrigin_ = routed.pageOrigin;
                HTTPResponse::Headers extra;
                if (route_ == ConnectionRoute::tailnet) extra.push_back(HTTPResponse::strictTransport());
                enqueueControl(HTTPResponse::upgrade(d.acceptKey, extra));
                startAuthTimer();
            } else if constexpr (std::is_same_v<T, route_decision::Pair>) {
                pair(d.code, d.name);
            } else if (d.errorWord) {
                respondJSON(d.status, {{"error", *d.errorWord}});
            } else {
                respondError(d.status, d.allow);
            }
        },
        routed.decision);
}

void RemoteConnection::pair(const std::string& code, const std::string& name) {
    auto s = host();
    if (!s) return hardClose();
    auto answer = PairAnswer::of(s->store().attemptPair(code, name));
    s->pairAttempted(route_ == ConnectionRoute::tailnet, answer.attempt);
    respondJSON(answer.status, answer.body);
}

void RemoteConnection::respond(int status, std::string_view contentType, std::span<const std::uint8_t> body,
                               const std::vector<std::pair<std::string, std::string>>& extraHeaders) {
    HTTPResponse::Headers headers;
    if (route_ == ConnectionRoute::tailnet) headers.push_back(HTTPResponse::strictTransport());
    headers.insert(headers.end(), extraHeaders.begin(), extraHeaders.end());
    sendAnswer(HTTPResponse::build(status, contentType, body, headers));
}

void RemoteConnection::respondFile(const route_decision::ServeFile& file) {
    HTTPResponse::Headers headers;
    if (route_ == ConnectionRoute::tailnet) headers.push_back(HTTPResponse::strictTransport());
    headers.insert(headers.end(), file.headers.begin(), file.headers.end());
    sendAnswer(file.notModified ? HTTPResponse::pageFile(304, {}, {}, headers)
                                : HTTPResponse::pageFile(200, file.contentType, file.body->bytes(), headers));
}

void RemoteConnection::sendAnswer(Bytes answer) {
    phase_ = Phase::responding;
    std::weak_ptr<RemoteConnection> weak = weak_from_this();
    wire_->write(std::move(answer), [weak](bool) {
        if (auto self = weak.lock()) self->hardClose();
    });
    arm(answerMillis, [weak] {
        if (auto self = weak.lock()) self->hardClose();
    });
}

void RemoteConnection::respondError(int status, std::optional<std::string> allow) {
    std::string body = HTTPResponse::reason(status) + "\n";
    std::vector<std::pair<std::string, std::string>> extra;
    if (allow) extra.emplace_back("Allow", *allow);
    respond(status, HTTPResponse::plainTextType,
            std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(body.data()), body.size()), extra);
}

void RemoteConnection::respondJSON(int status, const nlohmann::json& body) {
    respond(status, HTTPResponse::jsonType, HTTPResponse::json(body));
}

void RemoteConnection::handleWebSocket(std::span<const std::uint8_t> data) {
    auto fed = parser_.feed(data);
    if (fed.failure) {
        if (phase_ == Phase::awaitingAuth)
            deny();
        else
            closeWebSocket(*fed.failure);
        return;
    }
    for (auto& event : fed.events) {
        if (phase_ != Phase::awaitingAuth && phase_ != Phase::controller) return;
        if (auto message = std::get_if<ws_event::Message>(&event)) {
            handleMessage(message->opcode, message->data);
        } else if (auto ping = std::get_if<ws_event::Ping>(&event)) {
            if (pump_.controlFull()) return hardClose();
            enqueueControl(wire_->encode(WSOpcode::pong, ping->data));
        } else if (std::holds_alternative<ws_event::Close>(event)) {
            closeWebSocket(1000);
        }
    }
}

void RemoteConnection::receiveRelayed(WSOpcode opcode, std::span<const std::uint8_t> data) {
    if (phase_ != Phase::awaitingAuth && phase_ != Phase::controller) return;
    if (opcode != WSOpcode::text && opcode != WSOpcode::binary) return;
    if (data.size() > WSLimits::maxMessageBytes) {
        if (phase_ == Phase::awaitingAuth)
            deny();
        else
            closeWebSocket(WSParser::messageTooBig);
        return;
    }
    if (phase_ == Phase::awaitingAuth) {
        preAuthBytes_ += data.size();
        if (preAuthBytes_ > WSLimits::maxPreAuthBytes) return deny();
    }
    lastReceive_ = now();
    handleMessage(opcode, Bytes(data.begin(), data.end()));
}

void RemoteConnection::handleMessage(WSOpcode opcode, const Bytes& data) {
    if (phase_ == Phase::awaitingAuth) return handleFirstMessage(opcode, data);
    if (phase_ != Phase::controller) return;
    auto s = host();
    if (opcode == WSOpcode::binary) {
        if (s) s->receivedBinary(data, *this);
        return;
    }
    if (opcode != WSOpcode::text) return;
    auto message = ClientMessage::parse(data);
    if (message.is<ClientMessage::Malformed>()) return closeWebSocket(1007);
    if (s) s->received(message, *this);
}

void RemoteConnection::handleFirstMessage(WSOpcode opcode, const Bytes& data) {
    if (opcode != WSOpcode::text) return deny();
    auto message = ClientMessage::parse(data);
    auto s = host();
    std::optional<PairedDevice> found;
    if (route_ == ConnectionRoute::relay) {
        auto hello = message.get<ClientMessage::Hello>();
        if (!hello || hello->version != 1 || !relayDeviceID_) return deny();
        if (!s) return;
        found = s->store().touch(*relayDeviceID_);
    } else {
        auto auth = message.get<ClientMessage::Auth>();
        if (!auth) return deny();
        if (!s) return;
        found = s->store().validate(auth->token);
    }
    if (!found) return deny();
    if (s->pausedNow()) return refuse(std::string(PauseCauseWords::refusal));
    s->admit(shared_from_this(), *found);
}

void RemoteConnection::enqueueControl(Bytes framed) {
    if (!pump_.enqueueControl(std::move(framed))) {
        hardClose();
        return;
    }
    pump();
}

void RemoteConnection::sendJSON(const nlohmann::json& message) { sendText(HTTPResponse::json(message)); }

void RemoteConnection::sendText(const Bytes& json) { enqueueControl(wire_->encode(WSOpcode::text, json)); }

void RemoteConnection::pump() {
    auto decision = pump_.next(phase_);
    if (std::holds_alternative<SendPump::FinishClose>(decision)) {
        hardClose();
        return;
    }
    auto write = std::get_if<SendPump::Write>(&decision);
    if (!write) return;
    bool video = write->video;
    bool file = write->file;
    std::weak_ptr<RemoteConnection> weak = weak_from_this();
    wire_->writeAll(std::move(write->parts), [weak, video, file](bool ok) {
        if (auto self = weak.lock()) self->writeCompleted(ok, video, file);
    });
}

void RemoteConnection::writeCompleted(bool ok, bool video, bool file) {
    pump_.completed(video);
    if (!ok) {
        hardClose();
        return;
    }
    if (video && phase_ == Phase::controller) {
        if (auto s = host()) s->videoWritten(*this);
    }
    if (file && phase_ == Phase::controller) {
        if (auto s = host()) s->fileChunkWritten(*this);
    }
    pump();
}

void RemoteConnection::offerFile(const Bytes& message) {
    if (phase_ != Phase::controller || pump_.hasPendingFile()) return;
    pump_.setPendingFile(wire_->encode(WSOpcode::binary, message));
    pump();
}

void RemoteConnection::offerFrame(const Bytes& message) {
    if (phase_ != Phase::controller) return;
    pump_.setPendingFrame(wire_->encode(WSOpcode::binary, message));
    pump();
}

void RemoteConnection::offerVideo(const Bytes& message) {
    if (phase_ != Phase::controller || videoBusy()) return;
    pump_.setPendingVideo(wire_->encode(WSOpcode::binary, message));
    pump();
}

void RemoteConnection::becomeController(const PairedDevice& device) {
    if (phase_ != Phase::awaitingAuth) return;
    device_ = device;
    phase_ = Phase::controller;
    lastReceive_ = now();
}

void RemoteConnection::deny() {
    if (phase_ != Phase::awaitingAuth && phase_ != Phase::controller) return;
    if (pump_.controlFull()) return hardClose();
    sendText(ControlText::denied());
    closeWebSocket(1008);
}

void RemoteConnection::refuse(const std::string& reason) {
    if (phase_ != Phase::awaitingAuth) return hardClose();
    if (pump_.controlFull()) return hardClose();
    sendText(ControlText::bye(reason));
    closeWebSocket(1000);
}

void RemoteConnection::bye(const std::string& reason) {
    if (phase_ != Phase::controller) return hardClose();
    if (pump_.controlFull()) return hardClose();
    sendText(ControlText::bye(reason));
    closeWebSocket(1000);
}

void RemoteConnection::closeWebSocket(std::uint16_t code) {
    if (phase_ != Phase::awaitingAuth && phase_ != Phase::controller) return;
    phase_ = Phase::closing;
    pump_.dropMedia();
    if (auto s = host()) s->stoppedServing(*this);
    pump_.appendClose(wire_->encodeClose(code));
    wire_->releaseHold();
    pump();
    std::weak_ptr<RemoteConnection> weak = weak_from_this();
    arm(closeMillis, [weak] {
        if (auto self = weak.lock()) self->hardClose();
    });
}

void RemoteConnection::hardClose() {
    if (phase_ == Phase::closed) return;
    auto keepAlive = shared_from_this();  // the server's table may hold the last reference
    phase_ = Phase::closed;
    pump_.clear();
    wire_->cancel();
    // A closed connection keeps no deadline, nor the memory of one.
    if (deadline_) deadline_->cancel();
    if (auto s = host()) {
        s->stoppedServing(*this);
        s->finished(*this);
    }
    auto finished = std::move(onFinished_);
    onFinished_ = nullptr;
    if (finished) finished();
}

void RemoteConnection::sendAudioState(const nlohmann::json& message) {
    if (phase_ != Phase::controller) return;
    sendJSON(message);
}

int RemoteConnection::offerAudio(const Bytes& packet, std::int64_t frames) {
    if (phase_ != Phase::controller) return 0;
    int dropped = pump_.offerAudio(wire_->encode(WSOpcode::binary, packet), frames);
    pump();
    return dropped;
}

void RemoteConnection::dropPendingAudio() { pump_.dropAudio(); }

}  // namespace morvane
