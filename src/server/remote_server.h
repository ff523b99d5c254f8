// The local server: the loopback listener, every connection, the one
// controlling session and the one-second tick. Everything it decides runs on
// its own queue ("morvane.server"); the screen source, the input sink and
// the display effects are driven on the main queue, and every callback to
// the shell arrives there too.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "core/audio_source.h"
#include "core/clipboard_access.h"
#include "core/clock.h"
#include "core/display_effects.h"
#include "core/executor.h"
#include "core/file_access.h"
#include "core/frame_source.h"
#include "core/input_sink.h"
#include "core/repeating_timer.h"
#include "core/types.h"
#include "devices/device_store.h"
#include "server/client_message.h"
#include "server/connection_host.h"
#include "server/connection_wire.h"
#include "protocol/host_policy.h"
#include "server/relayed_connection.h"
#include "server/server_mirror.h"
#include "server/server_queue.h"
#include "server/session_stage.h"
#include "protocol/static_site.h"
#include "transfer/file_transfer_engine.h"

namespace morvane {

class AudioRelay;
class ClipboardDisplayRelay;
class EffectsRelay;
class LockRelay;
struct LockFacts;
class LoopbackListener;
class ScreenSourceObserver;
class StatusRelay;
class VideoRelay;

enum class RelayServerEvent { controllerConnected, paused };

class RemoteServer : public std::enable_shared_from_this<RemoteServer>, public ConnectionHost {
public:
    using PairAttempt = morvane::PairAttempt;

    class StartError : public std::runtime_error {
    public:
        enum class Kind { bindFailed, portInUse, invalidPort, alreadyRunning };
        static StartError bindFailed(const std::string& text) {
            return StartError(Kind::bindFailed, "cannot listen on the port: " + text);
        }
        // Who holds it is the caller's to find out (another user's host,
        // most often): the server knows only that someone does.
        static StartError portInUse(std::uint16_t port) {
            return StartError(Kind::portInUse, "port " + std::to_string(port) +
                                                   " is in use by another program: quit it, then start Morvane again");
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
    SessionStage::ControllerHandler onControllerChange;
    SessionStage::SessionHandler onSession;
    std::function<void(const std::string&)> onListenerFailure;
    std::function<void(bool viaTailnet, const PairAttempt&)> onPairAttempt;
    std::function<void(ClipboardDirection)> onClipboardTransfer;
    std::function<void()> onStoppedOnMac;
    std::function<void(const FileTransferReport&)> onFileTransfer;
    // The controlling session asked to lock the computer (the lock itself
    // goes to the input sink); `lockAnswered` takes the verdict with the
    // same ask.
    std::function<void(std::uint64_t ask)> onLockAsked;

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
    // Any thread: what the session is told of locking, now and at each
    // session's start, and whether the lock it asked for happened.
    void setLockFacts(const LockFacts& facts);
    void lockAnswered(std::uint64_t ask, bool locked);

    // On the server queue only.
    std::optional<RelayedConnection> acceptRelayed(std::shared_ptr<ConnectionWire> wire, const std::string& deviceID);
    void closeRelayedOnQueue(const std::string& reason = "disconnected-by-host");

    // Any thread.
    bool isPaused() const { return mirror_.paused(); }
    std::optional<std::string> controllerName() const { return mirror_.name(); }
    std::optional<std::string> controllerDeviceID() const { return mirror_.deviceID(); }
    bool controllerViaTailnet() const { return mirror_.route() == ConnectionRoute::tailnet; }
    std::optional<ConnectionRoute> controllerRoute() const { return mirror_.route(); }
    ServerQueue& sessionQueue() { return *queue_; }
    // Any thread: connections open now, and waits the server queue still
    // holds (a closed connection holds none).
    std::size_t connectionCount() const { return connectionCount_.load(); }
    int pendingTimers() const { return queue_->pendingTimers(); }
    // Any thread: the screen source's picture and access-unit callbacks.
    void ingestFrame(const Bytes& jpeg, int width, int height);
    void ingestVideo(const EncodedVideoFrame& frame);
    std::uint16_t port() const { return port_; }

private:
    explicit RemoteServer(Setup setup);

    // ConnectionHost: the server queue.
    std::unique_ptr<Deadline> makeDeadline() override { return std::make_unique<ServerQueue::Timer>(*queue_); }
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
    void addConnection(std::shared_ptr<RemoteConnection> connection);
    bool makeRoom();
    void tick();
    void shutDownConnections(std::function<void()> completion);
    void applyPause(PauseCause cause);
    // Ends every connection that came by `route`: a controlling session with
    // a bye, the rest at once (or, with `letClosingFinish`, those already
    // closing in their own time).
    void endRoute(ConnectionRoute route, const std::string& word, bool letClosingFinish);
    void attachFiles(const std::shared_ptr<RemoteConnection>& connection);
    bool isController(const RemoteConnection& connection) const { return controller_.get() == &connection; }
    // Main-queue work that runs only while the server lives.
    void onMain(std::function<void(RemoteServer&)> work);
    std::shared_ptr<ScreenSourceObserver> frameObserver_;

    // Collaborators.
    std::uint16_t port_;
    StaticSite site_;
    DeviceStore& store_;
    FrameSource* frames_;
    Executor* main_;
    std::function<std::int64_t()> clock_;
    // Main queue: what a change of session does to the computer.
    SessionStage stage_;

    // Server queue state.
    std::unique_ptr<ServerQueue> queue_;
    HostPolicy policy_;
    std::shared_ptr<LoopbackListener> listener_;
    std::unique_ptr<RepeatingTimer> ticker_;
    std::map<std::uint64_t, std::shared_ptr<RemoteConnection>> connections_;
    std::atomic<std::size_t> connectionCount_{0};
    std::uint64_t nextSerial_ = 0;
    std::shared_ptr<RemoteConnection> controller_;
    bool paused_;
    std::function<void(RelayServerEvent)> relayObserver_;

    // One relay per feature; each is given the controlling session when one
    // is admitted and let go of when it ends.
    std::shared_ptr<VideoRelay> video_;
    std::shared_ptr<ClipboardDisplayRelay> desk_;
    // Display effects: every end of a session advances its epoch, so a late
    // restore of an older session can be recognised.
    std::shared_ptr<EffectsRelay> fx_;
    std::shared_ptr<StatusRelay> status_;
    std::unique_ptr<LockRelay> lock_;
    std::shared_ptr<AudioRelay> audio_;
    // Files: created with the server, so it always exists until the
    // server's teardown.
    std::shared_ptr<FileTransferEngine> fileEngine_;

    // Readable from any thread.
    ServerMirror mirror_;
};

}  // namespace morvane
