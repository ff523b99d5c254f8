// The host's side of every device connection the relay link carries. For
// each connection id it keeps a peer: an enrolled device opens a session
// with the IK handshake, and its first transport record turns into a
// RelayWire handed to the local server; a new device answers an enrolment
// window with the XX handshake while the owner compares the six-digit code.
// It also limits connections and handshakes, renews old or worn sessions,
// ends sessions when the device, the server or the link goes away, and logs
// a short account of all of it.
//
// Everything runs on the server's session queue with no lock. start() and
// openEnrolmentWindow() hop onto that queue and wait; shutDown, close,
// cancel and approve hop without waiting. The enrolment and peer-count hooks
// arrive on the main queue, `log` on the session queue.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "core/executor.h"
#include "core/types.h"
#include "devices/device_store.h"
#include "relay/relay_host_limits.h"
#include "relay/relay_identity.h"
#include "relay/relay_link_transport.h"
#include "relay/relay_server_port.h"
#include "relay/relayed_wire.h"
#include "secure/secure_channel.h"
#include "secure/xx_handshake.h"

namespace morvane {

class RelayHost final : public RelayLinkDelegate,
                        public RelayWireOwner,
                        public std::enable_shared_from_this<RelayHost> {
public:
    using Clock = std::function<double()>;

    // The enrolment window: which connection answered it, and whether one did.
    struct Window {
        std::optional<std::uint32_t> candidate;
        bool answered = false;
        bool operator==(const Window&) const = default;
    };

    // What the server is told when a session ends.
    enum class SessionEnd { tellLost, tellClosed, tellNothing };

    class Peer {
    public:
        struct IkWait {
            TransportKeys keys;
            PairedDevice device;
        };
        struct Open {
            std::shared_ptr<RelayWire> wire;
        };
        struct XxWait {
            std::shared_ptr<XXResponder> responder;
        };
        struct XxShown {
            TransportKeys keys;
            Bytes deviceKey;
            std::string name;
        };
        struct Idle {};
        using State = std::variant<IkWait, Open, XxWait, XxShown, Idle>;

        explicit Peer(std::uint32_t id) : id(id) {}
        // Every change moves the epoch on, so a timer armed for an earlier
        // state can tell it is stale.
        void set(State next) {
            state = std::move(next);
            ++epoch;
        }

        const std::uint32_t id;
        State state = Idle{};
        std::uint64_t epoch = 0;
        std::vector<double> handshakes;
    };

    struct Setup {
        std::shared_ptr<RelayServerPort> server;
        DeviceStore* store = nullptr;
        // The relay identity's noise key and room id.
        std::optional<P256PrivateKey> staticKey;
        Bytes roomID;
        std::shared_ptr<RelayLinkTransport> link;
        Executor* mainQueue = nullptr;
        RelayHostLimits limits{};
        Clock clock = monotonicSeconds;
    };

    static std::shared_ptr<RelayHost> create(Setup setup);
    // The set-up for this computer's relay identity on a link, with the
    // default limits and clock.
    static Setup setupFor(const RelayIdentity& identity, std::shared_ptr<RelayServerPort> server, DeviceStore& store,
                          std::shared_ptr<RelayLinkTransport> link, Executor& mainQueue);
    static double monotonicSeconds();
    explicit RelayHost(Setup setup);

    // Set before start(); read on the session queue.
    std::function<void(const std::string& name, const std::string& code)> onEnrolmentRequest;
    std::function<void(const std::optional<PairedDevice>&)> onEnrolmentFinished;
    std::function<void(int)> onPeerCount;
    std::function<void(const std::string&)> log;

    void start();
    // Closes every relayed session with "mac-offline" and the window, then
    // runs `then` on the session queue once the goodbyes had time to leave.
    // Until then the queue holds the host, and through it the server: the
    // owner of both waits for `then` before it frees their executors.
    void shutDown(std::function<void()> then);

    bool openEnrolmentWindow();
    void closeEnrolmentWindow();
    void cancelEnrolment();
    void approveEnrolment();

    // RelayLinkDelegate.
    void relayLinkUp(const std::vector<std::uint32_t>& devices) override;
    void relayLinkDown() override;
    void relayLinkJoined(std::uint32_t id) override;
    void relayLinkLeft(std::uint32_t id) override;
    void relayLinkReceived(std::uint32_t id, Bytes record) override;
    void relayLinkQuotaReached() override;

    // RelayWireOwner.
    void wireClosed(RelayWire& wire) override;
    void wireStalled(RelayWire& wire) override;

    // Session queue: what tests and the menu may look at.
    std::size_t peerCount() const { return peers_.size(); }
    std::shared_ptr<const Peer> peer(std::uint32_t id) const;
    const std::optional<Window>& window() const { return window_; }
    bool stopped() const { return stopped_; }

private:
    using PeerPtr = std::shared_ptr<Peer>;

    void runNow(const std::function<void()>& work);
    void note(const std::string& line);
    void onMain(std::function<void(RelayHost&)> hook);

    void addPeer(std::uint32_t id);
    void publishPeerCount();
    bool handshakeAllowed(Peer& peer);
    void noteRefusal(const std::string& word);
    void fail(const PeerPtr& peer, const std::string& word);
    void endSession(const std::shared_ptr<RelayWire>& wire, const std::string& word, SessionEnd how);
    PeerPtr openPeer(const RelayWire& wire);
    bool isCandidate(std::uint32_t id) const;
    void sessionStart(const PeerPtr& peer, const Bytes& record);
    void transport(const PeerPtr& peer, const Bytes& record);
    void scheduleTick(std::uint64_t serial);
    void tick();
    std::vector<std::shared_ptr<RelayWire>> openWires() const;

    // Enrolment.
    bool openWindowOnQueue();
    void closeWindow(bool dropCandidate);
    void enrolmentStart(const PeerPtr& peer, const Bytes& record);
    void enrolmentFinish(const PeerPtr& peer, const Bytes& record);
    void expireCandidate(const PeerPtr& peer, double seconds);
    void approveOnQueue();

    std::shared_ptr<RelayServerPort> server_;
    DeviceStore& store_;
    P256PrivateKey staticKey_;
    Bytes roomID_;
    std::shared_ptr<RelayLinkTransport> link_;
    Executor& queue_;
    Executor& main_;
    RelayHostLimits limits_;
    Clock clock_;

    std::map<std::uint32_t, PeerPtr> peers_;
    std::vector<double> allHandshakes_;
    std::optional<Window> window_;
    std::uint64_t windowEpoch_ = 0;
    bool ticking_ = false;
    std::uint64_t tickSerial_ = 0;
    std::vector<double> refusals_;
    int rateDiscards_ = 0;
    bool rateLinePending_ = false;
    bool stopped_ = false;
};

}  // namespace morvane
