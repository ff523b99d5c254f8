// One device connection: a local TCP connection that carries one HTTP
// request and maybe becomes a WebSocket session, or a relayed session that
// starts at the WebSocket stage and receives whole messages from its wire.
// Every field and every call belongs to the server queue.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <boost/asio/ip/tcp.hpp>
#include <nlohmann/json.hpp>

#include "core/types.h"
#include "server/connection_host.h"
#include "server/connection_wire.h"
#include "protocol/http_request.h"
#include "protocol/router.h"
#include "server/send_pump.h"
#include "server/server_queue.h"
#include "server/session_link.h"
#include "protocol/ws_parser.h"

namespace morvane {

class RemoteConnection : public SessionLink, public std::enable_shared_from_this<RemoteConnection> {
public:
    using Phase = ConnectionPhase;
    using Socket = boost::asio::ip::tcp::socket;

    // A local connection, in phase `http`.
    RemoteConnection(std::shared_ptr<Socket> nw, std::weak_ptr<ConnectionHost> host, std::uint64_t serial,
                     std::int64_t nowMillis);
    // A relayed connection, in phase `awaitingAuth`.
    RemoteConnection(std::shared_ptr<ConnectionWire> wire, std::string relayDeviceID,
                     std::weak_ptr<ConnectionHost> host, std::uint64_t serial, std::int64_t nowMillis);
    // A local connection, in phase `http`, over a transport other than a
    // socket: its bytes arrive through ingest() and its answers go to `wire`,
    // which frames them as a local WebSocket does.
    RemoteConnection(std::shared_ptr<ConnectionWire> wire, std::weak_ptr<ConnectionHost> host, std::uint64_t serial,
                     std::int64_t nowMillis);
    ~RemoteConnection() override = default;

    // Local: the request timer and, over a socket, the receive loop.
    // Relayed: the authentication timer.
    void start();

    Phase phase() const { return phase_; }
    ConnectionRoute route() const { return route_; }
    std::uint64_t serial() const { return serial_; }
    const std::optional<PairedDevice>& device() const { return device_; }
    const std::optional<std::string>& relayDeviceID() const { return relayDeviceID_; }
    std::int64_t lastReceive() const { return lastReceive_; }
    ConnectionWire& wire() { return *wire_; }
    // The origin of the page at the far end: this host's own on the way the
    // request came, else what the wire knows (the relay's page).
    std::string pageOrigin() const { return routedOrigin_.empty() ? wire_->pageOrigin() : routedOrigin_; }
    SendPump& sendPump() { return pump_; }
    void setOnFinished(std::function<void()> f) { onFinished_ = std::move(f); }

    // Bytes from the network, by phase.
    void ingest(std::span<const std::uint8_t> data);
    // One whole message from a relayed channel.
    void receiveRelayed(WSOpcode opcode, std::span<const std::uint8_t> data);

    // The send side.
    void enqueueControl(Bytes framed);
    void sendJSON(const nlohmann::json& message) override;
    // A JSON text already written out (see ControlText).
    void sendText(const Bytes& json);
    void pump();

    // Pictures and video, only in the controller phase.
    void offerFrame(const Bytes& message) override;
    void offerVideo(const Bytes& message) override;
    bool videoBusy() const override { return pump_.videoBusy(); }
    void clearPendingFrame() override { pump_.clearPendingFrame(); }
    void clearPendingVideo() override { pump_.clearPendingVideo(); }
    // One file chunk, only in the controller phase and only while none
    // waits: the engine offers the next one after hearing this one went.
    void offerFile(const Bytes& message);
    bool dropPendingFile() { return pump_.dropPendingFile(); }

    // Session steps.
    void becomeController(const PairedDevice& device);
    void deny();
    void refuse(const std::string& reason);
    void bye(const std::string& reason);
    void closeWebSocket(std::uint16_t code);
    void hardClose();

    // AudioLink.
    void sendAudioState(const nlohmann::json& message) override;
    int offerAudio(const Bytes& packet, std::int64_t frames) override;
    void dropPendingAudio() override;

private:
    void receiveLoop();
    void route(const HTTPRequest& request, const Bytes& leftover);
    void pair(const std::string& code, const std::string& name);
    void respond(int status, std::string_view contentType, std::span<const std::uint8_t> body,
                 const std::vector<std::pair<std::string, std::string>>& extraHeaders = {});
    // A file of the page, whole or 304 (protocol/page_cache.h).
    void respondFile(const route_decision::ServeFile& file);
    // Writes the answer, then closes.
    void sendAnswer(Bytes answer);
    void respondError(int status, std::optional<std::string> allow = std::nullopt);
    void respondJSON(int status, const nlohmann::json& body);
    void handleWebSocket(std::span<const std::uint8_t> data);
    void handleMessage(WSOpcode opcode, const Bytes& data);
    void handleFirstMessage(WSOpcode opcode, const Bytes& data);
    // The connection's one deadline: each phase's replaces the last.
    void arm(std::int64_t delayMillis, std::function<void()> work);
    void startAuthTimer();
    void writeCompleted(bool ok, bool video, bool file);
    std::int64_t now() const;
    std::shared_ptr<ConnectionHost> host() const { return host_.lock(); }

    std::shared_ptr<Socket> nw_;
    std::shared_ptr<ConnectionWire> wire_;
    std::optional<std::string> relayDeviceID_;
    std::weak_ptr<ConnectionHost> host_;
    Phase phase_;
    Bytes requestBuffer_;
    WSParser parser_;
    SendPump pump_;
    std::int64_t lastReceive_;
    std::size_t preAuthBytes_ = 0;
    std::uint64_t serial_;
    std::optional<PairedDevice> device_;
    ConnectionRoute route_;
    std::string routedOrigin_;
    std::function<void()> onFinished_;
    Bytes readBuffer_;
    std::unique_ptr<Deadline> deadline_;
};

}  // namespace morvane
