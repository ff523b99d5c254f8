#include "relay/relay_host.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "core/session_log.h"
#include "secure/ik_handshake.h"

namespace morvane {

using namespace SecureChannel;

namespace {

// Words of the record layer: a session that fails with one of them ends
// under that word and does not count as a refused handshake.
bool recordLayerWord(const std::string& word) {
    return word == "counter" || word == "bad-tag" || word == "bad-flags" || word == "too-large" || word == "bad-ack";
}

void dropTimesUpTo(std::vector<double>& times, double cutoff) {
    std::erase_if(times, [cutoff](double t) { return t <= cutoff; });
}

WSOpcode opcodeFor(std::uint8_t flags) { return flags == flagText ? WSOpcode::text : WSOpcode::binary; }

}  // namespace

std::shared_ptr<RelayHost> RelayHost::create(Setup setup) { return std::make_shared<RelayHost>(std::move(setup)); }

RelayHost::Setup RelayHost::setupFor(const RelayIdentity& identity, std::shared_ptr<RelayServerPort> server,
                                     DeviceStore& store, std::shared_ptr<RelayLinkTransport> link, Executor& mainQueue) {
    Setup setup;
    setup.server = std::move(server);
    setup.store = &store;
    setup.staticKey = identity.noiseKey;
    setup.roomID = identity.roomID();
    setup.link = std::move(link);
    setup.mainQueue = &mainQueue;
    return setup;
}

double RelayHost::monotonicSeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

RelayHost::RelayHost(Setup setup)
    : server_(std::move(setup.server)),
      store_(*setup.store),
      staticKey_(std::move(*setup.staticKey)),
      roomID_(std::move(setup.roomID)),
      link_(std::move(setup.link)),
      queue_(server_->sessionQueue()),
      main_(*setup.mainQueue),
      limits_(setup.limits),
      clock_(std::move(setup.clock)) {}

// A caller already on the session queue (a test's manual queue) runs the
// work in place; any other waits for the queue.
void RelayHost::runNow(const std::function<void()>& work) {
    if (queue_.isCurrent())
        work();
    else
        runSync(queue_, work);
}

void RelayHost::note(const std::string& line) {
    if (log) log(line);
}

void RelayHost::onMain(std::function<void(RelayHost&)> hook) {
    std::weak_ptr<RelayHost> weak = weak_from_this();
    main_.post([weak, hook = std::move(hook)] {
        if (auto host = weak.lock()) hook(*host);
    });
}

std::shared_ptr<const RelayHost::Peer> RelayHost::peer(std::uint32_t id) const {
    auto it = peers_.find(id);
    return it == peers_.end() ? nullptr : it->second;
}

// ---- Lifecycle ----

void RelayHost::start() {
    runNow([this] {
        link_->setDelegate(weak_from_this());
        std::weak_ptr<RelayHost> weak = weak_from_this();
        server_->setRelayObserver([weak](RelayServerEvent) {
            // A device taking control, or the pause of sharing, ends any
            // enrolment in progress.
            if (auto host = weak.lock()) host->closeWindow(true);
        });
    });
}

void RelayHost::shutDown(std::function<void()> then) {
    auto self = shared_from_this();
    queue_.post([self, then = std::move(then)]() mutable {
        self->stopped_ = true;
        self->closeWindow(true);
        self->server_->closeRelayedOnQueue("mac-offline");
        self->server_->setRelayObserver(nullptr);
        // The host stays until then: the server's close of each session
        // arrives in a later turn and must still find the host, to log the
        // end of its secure channel.
        self->queue_.postAfter(millisFromSeconds(self->limits_.goodbyeSeconds),
                               [self, then = std::move(then)]() mutable {
                                   // Let go of first: the step may tell the owner it can free what the
                                   // host and its server use.
                                   self.reset();
                                   if (then) then();
                               });
    });
}

// ---- Connections ----

void RelayHost::addPeer(std::uint32_t id) {
    if (peers_.size() >= static_cast<std::size_t>(limits_.maxDevices)) {
        link_->drop(id);
        return;
    }
    peers_[id] = std::make_shared<Peer>(id);
    note("device connection opened (" + std::to_string(peers_.size()) + " of " + std::to_string(limits_.maxDevices) +
         ")");
}

void RelayHost::publishPeerCount() {
    const int count = static_cast<int>(peers_.size());
    onMain([count](RelayHost& host) {
        if (host.onPeerCount) host.onPeerCount(count);
    });
}

void RelayHost::relayLinkUp(const std::vector<std::uint32_t>& devices) {
    peers_.clear();
    allHandshakes_.clear();
    for (auto id : devices) addPeer(id);
    publishPeerCount();
    ticking_ = true;
    scheduleTick(++tickSerial_);
}

void RelayHost::scheduleTick(std::uint64_t serial) {
    std::weak_ptr<RelayHost> weak = weak_from_this();
    queue_.postAfter(millisFromSeconds(limits_.tickSeconds), [weak, serial] {
        auto host = weak.lock();
        if (!host || !host->ticking_ || host->tickSerial_ != serial) return;
        host->tick();
        host->scheduleTick(serial);
    });
}

void RelayHost::relayLinkJoined(std::uint32_t id) {
    if (peers_.contains(id)) return;
    addPeer(id);
    publishPeerCount();
}

void RelayHost::relayLinkLeft(std::uint32_t id) {
    auto it = peers_.find(id);
    if (it == peers_.end()) return;
    PeerPtr peer = it->second;
    peers_.erase(it);
    const bool wasCandidate = isCandidate(id);
    if (auto open = std::get_if<Peer::Open>(&peer->state)) {
        auto wire = open->wire;
        peer->set(Peer::Idle{});
        endSession(wire, "link", SessionEnd::tellLost);
    }
    peer->set(Peer::Idle{});
    note("device connection closed");
    publishPeerCount();
    if (wasCandidate) closeWindow(false);
}

void RelayHost::relayLinkDown() {
    ticking_ = false;
    ++tickSerial_;
    closeWindow(false);
    auto taken = std::exchange(peers_, {});
    for (auto& [id, peer] : taken) {
        if (auto open = std::get_if<Peer::Open>(&peer->state)) {
            auto wire = open->wire;
            peer->set(Peer::Idle{});
            endSession(wire, "link", SessionEnd::tellLost);
        }
        peer->set(Peer::Idle{});
    }
    publishPeerCount();
}

std::vector<std::shared_ptr<RelayWire>> RelayHost::openWires() const {
    std::vector<std::shared_ptr<RelayWire>> wires;
    for (auto& [id, peer] : peers_)
        if (auto open = std::get_if<Peer::Open>(&peer->state)) wires.push_back(open->wire);
    return wires;
}

void RelayHost::relayLinkQuotaReached() {
    // Collected first: a goodbye may come back as wireClosed and change the table.
    for (auto& wire : openWires()) {
        wire->closeWord = "closed";
        if (auto connection = wire->connection) connection->bye("relay-quota");
    }
}

// ---- Records ----

void RelayHost::relayLinkReceived(std::uint32_t id, Bytes record) {
    if (stopped_) return;
    auto it = peers_.find(id);
    if (it == peers_.end()) return;
    PeerPtr peer = it->second;
    const std::uint8_t type = record.empty() ? 0 : record[0];
    if (type != typeIK1 && type != typeXX1 && type != typeXX3 && type != typeTransport) return fail(peer, "bad-state");
    if (type != typeTransport && !handshakeAllowed(*peer)) return;
    switch (type) {
    case typeIK1:
        return sessionStart(peer, record);
    case typeXX1:
        return enrolmentStart(peer, record);
    case typeXX3:
        return enrolmentFinish(peer, record);
    default:
        return transport(peer, record);
    }
}

bool RelayHost::handshakeAllowed(Peer& peer) {
    const double now = clock_();
    const double cutoff = now - limits_.handshakeRateSeconds;
    dropTimesUpTo(peer.handshakes, cutoff);
    dropTimesUpTo(allHandshakes_, cutoff);
    if (peer.handshakes.size() < static_cast<std::size_t>(limits_.handshakesPerPeer) &&
        allHandshakes_.size() < static_cast<std::size_t>(limits_.handshakesInTotal)) {
        peer.handshakes.push_back(now);
        allHandshakes_.push_back(now);
        return true;
    }
    ++rateDiscards_;
    if (!rateLinePending_) {
        rateLinePending_ = true;
        std::weak_ptr<RelayHost> weak = weak_from_this();
        queue_.postAfter(60'000, [weak] {
            auto host = weak.lock();
            if (!host) return;
            host->note("handshake records over the rate limit: " + std::to_string(host->rateDiscards_) +
                       " this minute");
            host->rateDiscards_ = 0;
            host->rateLinePending_ = false;
        });
    }
    return false;
}

void RelayHost::noteRefusal(const std::string& word) {
    const double now = clock_();
    dropTimesUpTo(refusals_, now - 60);
    refusals_.push_back(now);
    const std::size_t n = refusals_.size();
    if (n <= 3 || n % 10 == 0)
        note("handshake refused: " + word + " (" + std::to_string(n) + " this minute)");
}

bool RelayHost::isCandidate(std::uint32_t id) const { return window_ && window_->candidate == id; }

void RelayHost::fail(const PeerPtr& peer, const std::string& word) {
    const bool wasCandidate = isCandidate(peer->id);
    if (auto open = std::get_if<Peer::Open>(&peer->state)) {
        auto wire = open->wire;
        peer->set(Peer::Idle{});
        if (recordLayerWord(word)) {
            endSession(wire, word, SessionEnd::tellLost);
        } else {
            noteRefusal(word);
            endSession(wire, "closed", SessionEnd::tellLost);
        }
    } else {
        noteRefusal(word);
    }
    peer->set(Peer::Idle{});
    auto it = peers_.find(peer->id);
    if (it != peers_.end() && it->second == peer) {
        peers_.erase(it);
        link_->drop(peer->id);
        note("device connection closed");
        publishPeerCount();
    }
    if (wasCandidate) closeWindow(false);
}

void RelayHost::endSession(const std::shared_ptr<RelayWire>& wire, const std::string& word, SessionEnd how) {
    auto connection = std::exchange(wire->connection, std::nullopt);
    wire->detach();
    note("secure channel closed for " + wire->deviceName + ": " + wire->closeWord.value_or(word));
    if (!connection) return;
    if (how == SessionEnd::tellLost)
        connection->transportLost();
    else if (how == SessionEnd::tellClosed)
        connection->peerClosed();
}

void RelayHost::sessionStart(const PeerPtr& peer, const Bytes& record) {
    if (record.size() != ik1Length) return fail(peer, "bad-length");
    std::optional<PairedDevice> device;
    IKResponder::Message2 reply;
    try {
        IKResponder responder(staticKey_, roomID_);
        const Bytes deviceKey =
            responder.readMessage1(record, [this](ByteView key) { return store_.relayDevice(key).has_value(); });
        device = store_.relayDevice(deviceKey);
        if (!device) throw SecureChannelError::notEnrolled;
        reply = responder.writeMessage2();
    } catch (const SecureChannelError& error) {
        return fail(peer, error.word);
    } catch (...) {
        return fail(peer, "bad-state");
    }

    const bool wasCandidate = isCandidate(peer->id);
    if (auto open = std::get_if<Peer::Open>(&peer->state)) {
        auto wire = open->wire;
        peer->set(Peer::Idle{});
        endSession(wire, "replaced-by-new-handshake", SessionEnd::tellClosed);
    }
    peer->set(Peer::IkWait{reply.keys, *device});
    if (wasCandidate) closeWindow(false);
    link_->send(peer->id, std::move(reply.record), [](bool) {});

    // A device that goes quiet after the handshake falls back to idle and
    // keeps its connection.
    const std::uint64_t epoch = peer->epoch;
    std::weak_ptr<RelayHost> weakHost = weak_from_this();
    std::weak_ptr<Peer> weakPeer = peer;
    queue_.postAfter(millisFromSeconds(limits_.handshakeSeconds), [weakHost, weakPeer, epoch] {
        auto host = weakHost.lock();
        auto p = weakPeer.lock();
        if (!host || !p || p->epoch != epoch) return;
        auto it = host->peers_.find(p->id);
        if (it == host->peers_.end() || it->second != p) return;
        p->set(Peer::Idle{});
    });
}

void RelayHost::transport(const PeerPtr& peer, const Bytes& record) {
    if (std::holds_alternative<Peer::Idle>(peer->state)) return;
    if (std::holds_alternative<Peer::XxWait>(peer->state) || std::holds_alternative<Peer::XxShown>(peer->state))
        return fail(peer, "bad-state");

    if (auto waiting = std::get_if<Peer::IkWait>(&peer->state)) {
        TransportReceiver receiver(waiting->keys.receive, TransportEnd::mac, limits_.maxRecords);
        TransportReceiver::Opened first;
        try {
            first = receiver.open(record);
        } catch (const SecureChannelError& error) {
            return fail(peer, error.word);
        }
        if (first.flags == flagClose) return peer->set(Peer::Idle{});
        if (first.flags == flagCredit) return fail(peer, "bad-ack");

        const PairedDevice device = waiting->device;
        RelayWire::Setup setup;
        setup.id = peer->id;
        setup.deviceID = device.id;
        setup.deviceName = SessionLog::clean(device.name, 40);
        setup.started = clock_();
        setup.host = weak_from_this();
        setup.link = link_;
        setup.queue = &queue_;
        setup.limits = limits_;
        setup.sendKey = waiting->keys.send;
        setup.receiver = std::move(receiver);
        auto wire = RelayWire::create(std::move(setup));

        auto connection = server_->acceptRelayed(wire, device.id);
        if (!connection) {
            wire->closeUnaccepted();
            return peer->set(Peer::Idle{});
        }
        wire->connection = *connection;
        peer->set(Peer::Open{wire});
        note("secure channel ready for " + wire->deviceName);
        connection->receive(opcodeFor(first.flags), first.data);
        return;
    }

    auto wire = std::get<Peer::Open>(peer->state).wire;
    TransportReceiver::Opened opened;
    try {
        opened = wire->open(record);
    } catch (const SecureChannelError& error) {
        return fail(peer, error.word);
    }
    if (opened.flags == flagCredit) {
        try {
            wire->acknowledge(opened.data);
        } catch (const SecureChannelError&) {
            return fail(peer, "bad-ack");
        }
        return;
    }
    if (opened.flags == flagClose) {
        peer->set(Peer::Idle{});
        return endSession(wire, "closed", SessionEnd::tellClosed);
    }
    if (auto connection = wire->connection) connection->receive(opcodeFor(opened.flags), opened.data);
}

// ---- The wire's reports ----

RelayHost::PeerPtr RelayHost::openPeer(const RelayWire& wire) {
    auto it = peers_.find(wire.id);
    if (it == peers_.end()) return nullptr;
    auto open = std::get_if<Peer::Open>(&it->second->state);
    return open && open->wire.get() == &wire ? it->second : nullptr;
}

void RelayHost::wireClosed(RelayWire& wire) {
    if (auto peer = openPeer(wire)) {
        peer->set(Peer::Idle{});
        endSession(wire.shared_from_this(), "closed", SessionEnd::tellNothing);
    } else {
        wire.detach();
    }
}

void RelayHost::wireStalled(RelayWire& wire) {
    auto peer = openPeer(wire);
    if (!peer) return;
    peer->set(Peer::Idle{});
    endSession(wire.shared_from_this(), "stalled", SessionEnd::tellLost);
}

// ---- Session check ----

void RelayHost::tick() {
    const double now = clock_();
    for (auto& wire : openWires()) {
        if (wire->closeWord) continue;
        if (now - wire->started < limits_.maxSessionSeconds && !wire->nearRecordLimit()) continue;
        wire->closeWord = "renew";
        if (auto connection = wire->connection) connection->bye("renew");
    }
}

}  // namespace morvane
