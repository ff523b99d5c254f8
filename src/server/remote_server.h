// The local server: the loopback listener, every connection, the one
// controlling session and the one-second tick. Everything it decides runs on
// its own queue ("mac-remote.server"); the screen source, the input sink and
// the display effects are driven on the main queue, and every callback to
// the shell arrives there too.
#pragma once

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
#include <boost/asio/steady_timer.hpp>

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
#include "server/connection_wire.h"
#include "server/host_policy.h"
#include "server/server_queue.h"
#include "server/static_site.h"
#include "server/video_delivery.h"
#include "transfer/clipboard_assembler.h"
#include "transfer/file_transfer_engine.h"

namespace morvane {

class RemoteConnection;
class AudioRelay;

namespace pair_attempt {
struct Paired {
    std::string name;
    bool operator==(const Paired&) const = default;
};
struct WrongCode {
    bool operator==(const WrongCode&) const = default;
};
// No pairing window was open.
struct Closed {
    bool operator==(const Closed&) const = default;
};
}  // namespace pair_attempt

enum class RelayServerEvent { controllerConnected, paused };

// The four entries through which the relay side drives one relayed session.
struct RelayedConnection {
    std::function<void(WSOpcode, const Bytes&)> receive;
    std::function<void()> peerClosed;
    std::function<void()> transportLost;
    std::function<void(const std::string&)> bye;
};

class RemoteServer : public std::enable_shared_from_this<RemoteServer> {
public:
    using PairAttempt = std::variant<pair_attempt::Paired, pair_attempt::WrongCode, pair_attempt::Closed>;

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
    static constexpr std::string_view pairRefusal = "code-not-accepted";
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
    void setRelayObserver(std::function<void(RelayServerEvent)> observer);

    // On the server queue only.
    std::optional<RelayedConnection> acceptRelayed(std::shared_ptr<ConnectionWire> wire, const std::string& deviceID);
    void closeRelayedOnQueue(const std::string& reason = "disconnected-by-host");

    // Any thread.
    bool isPaused() const;
    std::optional<std::string> controllerName() const;
    std::optional<std::string> controllerDeviceID() const;
    bool controllerViaTailnet() const;
    std::optional<ConnectionRoute> controllerRoute() const;
    Executor& sessionQueue() { return *queue_; }
    // Any thread: the screen source's picture and access-unit callbacks.
    void ingestFrame(const Bytes& jpeg, int width, int height);
    void ingestVideo(const EncodedVideoFrame& frame);
    std::uint16_t port() const { return port_; }

private:
    friend class RemoteConnection;
    explicit RemoteServer(Setup setup);

    // Server queue.
    void runOnQueue(const std::function<void()>& work);
    void accept();
    void newConnection(std::shared_ptr<boost::asio::ip::tcp::socket> socket);
    bool makeRoom();
    void scheduleTick();
    void tick();
    void shutDownConnections(std::function<void()> completion);
    void connectionFinished(RemoteConnection& connection);
    void connectionStoppedServing(RemoteConnection& connection);
    void admit(const std::shared_ptr<RemoteConnection>& connection, const PairedDevice& device);
    void handle(const ClientMessage& message, RemoteConnection& connection);
    void handleBinary(const Bytes& data, RemoteConnection& connection);
    void handleInput(const InputEvent& event);
    void pollStatus();
    void applyPause(PauseCause cause);
    void reportPairAttempt(bool viaTailnet, PairAttempt attempt);
    void setController(const std::optional<PairedDevice>& device, std::optional<ConnectionRoute> route);
    std::int64_t endSessionEffects();
    bool isController(const RemoteConnection& connection) const;
    std::int64_t now() const { return clock_(); }
    void onMain(std::function<void()> work);
    void installSourceCallbacks();
    void resetSessionFeatures();

    // Pictures and video (server queue).
    void drainFrame();
    void deliverVideo(const EncodedVideoFrame& frame);
    void requestVideo(int maxWidth, int maxHeight);
    void startVideo(const std::shared_ptr<RemoteConnection>& connection, int maxWidth, int maxHeight);
    void switchToJPEG(RemoteConnection& connection);
    void askSourceForKeyframe();
    bool resetVideoState();
    void tickVideo();
    void videoWriteCompleted();
    void handleRefresh(bool keyframe);

    // Clipboard and displays (server queue, but sendDisplays: main queue).
    void handleClipboard(const ClipboardRequest& request, RemoteConnection& connection);
    void getClipboard(int id, RemoteConnection& connection, std::int64_t nowMillis);
    void finishClipboardGet(std::uint64_t serial, const ClipboardRead& read,
                            const std::weak_ptr<RemoteConnection>& connection);
    void answerPut(const ClipboardAssembler::Outcome& outcome, RemoteConnection& connection);
    void sendDisplays(const std::weak_ptr<RemoteConnection>& connection);
    void displaysChanged(const DisplayListing& listing);
    void selectDisplay(std::uint32_t id, RemoteConnection& connection);
    void noteShown(const DisplayListing& listing);
    void tickDisplaySwitch();

    // Files (server queue).
    void attachFiles(const std::shared_ptr<RemoteConnection>& connection);
    void fileChunkSent();

    // Sound (server queue): the relay is made the first time it is needed.
    AudioRelay& audio();

    // Collaborators.
    std::uint16_t port_;
    StaticSite site_;
    DeviceStore& store_;
    FrameSource* frames_;
    InputSink* input_;
    ClipboardAccess* clipboard_;
    FileAccess* fileAccess_;
    DisplayEffects* effects_;
    std::function<HostStatus()> statusProvider_;
    Executor* main_;
    std::function<std::int64_t()> clock_;

    // Server queue state.
    std::unique_ptr<ServerQueue> queue_;
    HostPolicy policy_;
    std::unique_ptr<boost::asio::ip::tcp::acceptor> listener_;
    std::unique_ptr<boost::asio::steady_timer> timer_;
    std::map<std::uint64_t, std::shared_ptr<RemoteConnection>> connections_;
    std::uint64_t nextSerial_ = 0;
    std::shared_ptr<RemoteConnection> controller_;
    bool capturing_ = false;
    std::optional<std::pair<HostStatus, std::string>> lastStatus_;
    bool paused_;
    std::function<void(RelayServerEvent)> relayObserver_;
    // Stands in for the display-effects machine's epoch until that machine
    // exists: every end of a session advances it, so a late restore of an
    // older session can be recognised.
    std::int64_t fxEpoch_ = 0;
    std::uint64_t statusSerial_ = 0;

    // Pictures and video: the hand-over from capture and encoder threads.
    struct Picture {
        Bytes jpeg;
        int width = 0;
        int height = 0;
    };
    std::mutex frameLock_;
    std::optional<Picture> latestFrame_;
    bool frameDrainScheduled_ = false;
    int videoQueued_ = 0;
    bool videoOverflowed_ = false;
    // Pictures and video: server queue.
    struct VideoFormat {
        std::string codec;
        int width = 0;
        int height = 0;
        bool operator==(const VideoFormat&) const = default;
    };
    VideoMode videoMode_ = VideoMode::jpeg;
    std::uint64_t videoEpoch_ = 0;
    std::optional<VideoFormat> videoAnnounced_;
    VideoGate videoGate_;
    KeyframeLimiter keyframeLimiter_{KeyframeLimiter::clientIntervalMillis};
    bool keyframeAskPending_ = false;
    std::optional<std::int64_t> lastKeyframeAsk_;
    int videoSilentSeconds_ = 0;
    VideoStartLimiter videoStartLimiter_{VideoStartLimiter::intervalMillis};
    std::optional<std::pair<int, int>> pendingVideoStart_;

    // Clipboard and displays: server queue.
    struct ClipboardGet {
        std::uint64_t serial = 0;
        int id = 0;
    };
    struct DisplaySwitch {
        std::uint32_t id = 0;
        int seconds = 0;
    };
    ClipboardAssembler clipboardAssembler_;
    std::optional<ClipboardGet> clipboardGet_;
    std::uint64_t clipboardGetSerial_ = 0;
    ClipboardRateLimiter clipboardGetLimiter_;
    std::optional<DisplaySwitch> displaySwitch_;
    DisplaySwitchLimiter displaySwitchLimiter_;
    // The display last noted as shown: empty while nothing was noted, an
    // inner nothing when the listing had no current display.
    std::optional<std::optional<std::uint32_t>> fxShown_;

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
