// The local server: the loopback listener, every connection, the one
// controlling session and the one-second tick. Everything it decides runs on
// its own queue ("mac-remote.server"); the screen source, the input sink and
// the display effects are driven on the main queue, and every callback to
// the shell arrives there too.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>

#include <boost/asio/ip/tcp.hpp>

#include "core/audio_source.h"
#include "core/clipboard_access.h"
#include "core/clock.h"
#include "core/display_effects.h"
#include "core/executor.h"
#include "core/file_access.h"
#include "core/frame_source.h"
#include "core/input_sink.h"
#include "core/types.h"
#include "devices/device_store.h"
#include "server/client_message.h"
#include "server/connection_host.h"
#include "server/connection_wire.h"
#include "protocol/host_policy.h"
#include "server/server_queue.h"
#include "protocol/static_site.h"
#include "transfer/file_transfer_engine.h"

namespace morvane {

class AudioRelay;
class ClipboardDisplayRelay;
class EffectsRelay;
class VideoRelay;

enum class RelayServerEvent { controllerConnected, paused };

// The four entries through which the relay side drives one relayed session.
struct RelayedConnection {
    std::function<void(WSOpcode, const Bytes&)> receive;
    std::function<void()> peerClosed;
    std::function<void()> transportLost;
    std::function<void(const std::string&)> bye;
};

class RemoteServer : public std::enable_shared_from_this<RemoteServer>, public ConnectionHost {
public:
    using PairAttempt = morvane::PairAttempt;

    class StartError : public std::runtime_error {
    public:
        enum class Kind { bindFailed, invalidPort, alreadyRunning };
        static StartError bindFailed(const std::string& text) {
            return StartError(Kind::bindFailed, "cannot listen on the port: " + text);
        }
        static StartError invalidPort() { return StartError(Kind::invalidPort, "invalid port"); }
        static StartError alreadyRunning() { return StartError(Kind::alreadyRunning, "server is already running"); }
        Kind kind() const { return kind_; }

    private:
        StartError(Kind kind, const std::string& text) : std::runtime_error(text), kind_(kind) {}
        Kind kind_;
    };

    static constexpr int protocolVersion = 1;
    static constexpr int hideIdleSeconds = 600;
    static constexpr std::int64_t tickMillis = 1000;

    struct Setup {
        std::uint16_t port = 8722;
        StaticSite site;
        DeviceStore* store = nullptr;
        FrameSource* frames = nullptr;
        InputSink* input = nullptr;
        ClipboardAccess* clipboard = nullptr;
        FileAccess* files = nullptr;
        // Where the files are read and written; needed with `files`.
        Executor* fileQueue = nullptr;
        std::optional<TailnetAccess> tailnet;
        bool paused = false;
        DisplayEffects* effects = nullptr;
        int effectsIdleSeconds = hideIdleSeconds;
        std::function<HostStatus()> status;
        Executor* mainQueue = nullptr;
        // Monotonic milliseconds for every limit the server keeps.
        std::function<std::int64_t()> clock = [] { return nowMillis(); };
    };

    // Store, sources, sink, status and main queue must be given and outlive
    // the server.
    static std::shared_ptr<RemoteServer> create(Setup setup);
    ~RemoteServer();
    RemoteServer(const RemoteServer&) = delete;
    RemoteServer& operator=(const RemoteServer&) = delete;

    // Shell callbacks, all called on the main queue. Set them before start().
    std::function<void(std::optional<std::string>)> onControllerChange;
    std::function<void(const SessionEvent&)> onSession;
    std::function<void(const std::string&)> onListenerFailure;
    std::function<void(bool viaTailnet, const PairAttempt&)> onPairAttempt;
    std::function<void(ClipboardDirection)> onClipboardTransfer;
    std::function<void()> onStoppedOnMac;
    std::function<void(const FileTransferReport&)> onFileTransfer;

    // Not on the server queue. start() throws StartError.
    void start();
    void stop();
    void pause(PauseCause cause);
    void resume();
    std::optional<TailnetAccess> tailnetAccess();
    // The sound source the relay sends from, and its report of each sound
    // session that was on (seconds, packets sent, packets dropped; called
    // on the main queue).
    using AudioSessionHandler = std::function<void(double, int, int)>;
    std::shared_ptr<AudioSource> audioSource();
    void setAudioSource(std::shared_ptr<AudioSource> source);
    AudioSessionHandler onAudioSession();
    void setOnAudioSession(AudioSessionHandler handler);
    void setTailnetAccess(std::optional<TailnetAccess> access);
    void closeRelayed(const std::string& reason = "disconnected-by-host");
    void disconnectController(const std::string& reason);
    // Called on the server queue when a session is admitted or the host pauses.
    // Any thread, the server queue included.
    void setRelayObserver(std::function<void(RelayServerEvent)> observer);
    // Main queue, never the server queue: the owner's permissions for the
    // display effects; returns once the effects have heard them.
    void setEffectsAllowed(bool match, bool hide, bool locksOnDisconnect);
    // Any thread: whether a resolution match and a hidden screen are in force.
    std::pair<bool, bool> effectsActive() const;

    // On the server queue only.
    std::optional<RelayedConnection> acceptRelayed(std::shared_ptr<ConnectionWire> wire, const std::string& deviceID);
    void closeRelayedOnQueue(const std::string& reason = "disconnected-by-host");

    // Any thread.
    bool isPaused() const;
    std::optional<std::string> controllerName() const;
    std::optional<std::string> controllerDeviceID() const;
    bool controllerViaTailnet() const;
    std::optional<ConnectionRoute> controllerRoute() const;
    ServerQueue& sessionQueue() { return *queue_; }
    // Any thread: connections open now, and waits the server queue still
    // holds (a closed connection holds none).
    std::size_t connectionCount() const;
    int pendingTimers() const { return queue_->pendingTimers(); }
    // Any thread: the screen source's picture and access-unit callbacks.
    void ingestFrame(const Bytes& jpeg, int width, int height);
    void ingestVideo(const EncodedVideoFrame& frame);
    std::uint16_t port() const { return port_; }

private:
    explicit RemoteServer(Setup setup);

    // ConnectionHost: the server queue.
    ServerQueue& queue() override { return *queue_; }
    std::int64_t now() const override { return clock_(); }
    const HostPolicy& policy() const override { return policy_; }
    const StaticSite& site() const override { return site_; }
    DeviceStore& store() override { return store_; }
    bool pausedNow() const override { return paused_; }
    void pairAttempted(bool viaTailnet, const PairAttempt& attempt) override;
    void admit(const std::shared_ptr<RemoteConnection>& connection, const PairedDevice& device) override;
    void received(const ClientMessage& message, RemoteConnection& connection) override;
    void receivedBinary(const Bytes& data, RemoteConnection& connection) override;
    void videoWritten(RemoteConnection& connection) override;
    void fileChunkWritten(RemoteConnection& connection) override;
    void stoppedServing(RemoteConnection& connection) override;
    void finished(RemoteConnection& connection) override;

    // Server queue.
    void runOnQueue(const std::function<void()>& work);
    void accept();
    void newConnection(std::shared_ptr<boost::asio::ip::tcp::socket> socket);
    std::shared_ptr<RemoteConnection> addConnection(std::shared_ptr<RemoteConnection> connection);
    bool makeRoom();
    void scheduleTick(std::uint64_t generation, std::int64_t delayMillis);
    void tick();
    void shutDownConnections(std::function<void()> completion);
    void handleInput(const InputEvent& event);
    void pollStatus();
    void applyPause(PauseCause cause);
    void setController(const std::optional<PairedDevice>& device, std::optional<ConnectionRoute> route);
    void attachFiles(const std::shared_ptr<RemoteConnection>& connection);
    bool isController(const RemoteConnection& connection) const;
    void onMain(std::function<void()> work);
    class SourceObserver;
    std::shared_ptr<SourceObserver> frameObserver_;

    // Sound (server queue): the relay is made the first time it is needed.
    AudioRelay& audio();

    // Collaborators.
    std::uint16_t port_;
    StaticSite site_;
    DeviceStore& store_;
    FrameSource* frames_;
    InputSink* input_;
    FileAccess* fileAccess_;
    DisplayEffects* effects_;
    std::function<HostStatus()> statusProvider_;
    Executor* main_;
    std::function<std::int64_t()> clock_;

    // Server queue state.
    std::unique_ptr<ServerQueue> queue_;
    HostPolicy policy_;
    std::unique_ptr<boost::asio::ip::tcp::acceptor> listener_;
    // Each start of the tick gets a new generation; a stop ends the old one.
    std::uint64_t tickGeneration_ = 0;
    bool ticking_ = false;
    std::int64_t nextTick_ = 0;
    std::map<std::uint64_t, std::shared_ptr<RemoteConnection>> connections_;
    std::atomic<std::size_t> connectionCount_{0};
    std::uint64_t nextSerial_ = 0;
    std::shared_ptr<RemoteConnection> controller_;
    std::optional<std::pair<HostStatus, std::string>> lastStatus_;
    bool paused_;
    std::function<void(RelayServerEvent)> relayObserver_;

    // One relay per feature; each is given the controlling session when one
    // is admitted and let go of when it ends.
    std::shared_ptr<VideoRelay> video_;
    std::shared_ptr<ClipboardDisplayRelay> desk_;
    // Display effects: every end of a session advances its epoch, so a late
    // restore of an older session can be recognised.
    std::shared_ptr<EffectsRelay> fx_;
    // Files: created with the server, so it always exists until the
    // server's teardown.
    std::shared_ptr<FileTransferEngine> fileEngine_;
    std::shared_ptr<AudioRelay> audioRelay_;

    // Readable from any thread.
    mutable std::mutex nameLock_;
    bool pausedMirror_;
    std::optional<std::string> currentName_;
    std::optional<std::string> currentDeviceID_;
    bool currentViaTailnet_ = false;
    std::optional<ConnectionRoute> currentRoute_;
};

}  // namespace morvane
