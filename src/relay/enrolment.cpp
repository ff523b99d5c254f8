// The relay host's enrolment window: one device may answer it with the XX
// handshake, the owner compares the code both screens show and approves,
// and every other ending closes the window with nothing added.
#include <set>
#include <utility>

#include "core/session_log.h"
#include "relay/relay_host.h"
#include "secure/transport.h"

namespace morvane {

using namespace SecureChannel;

namespace {

// The name a new device is listed under: the one it sent, or, when another
// device in the list already has it, that name numbered " (2)", " (3)" …
// cut to fit. A phone added again after its page forgot its keys leaves
// its old entry behind until the owner revokes it; with two equal names
// the owner could not tell which one to revoke. A device enrolling again
// with its own key keeps its name.
std::string unusedName(const std::string& name, const std::vector<PairedDevice>& devices, const std::string& keyText) {
    std::set<std::string> taken;
    for (const auto& device : devices)
        if (device.relayKey != keyText) taken.insert(device.name);
    if (!taken.contains(name)) return name;
    for (std::size_t n = 2;; ++n) {
        const std::string suffix = " (" + std::to_string(n) + ")";
        std::string base = name;
        std::string candidate = DeviceStore::clean(base + suffix);
        while (!candidate.ends_with(suffix) && !base.empty()) {
            // One character less (a whole UTF-8 sequence) until the number fits.
            while (!base.empty() && (static_cast<unsigned char>(base.back()) & 0xC0) == 0x80) base.pop_back();
            if (!base.empty()) base.pop_back();
            while (!base.empty() && base.back() == ' ') base.pop_back();
            candidate = DeviceStore::clean(base + suffix);
        }
        if (!taken.contains(candidate)) return candidate;
    }
}

}  // namespace

bool RelayHost::openEnrolmentWindow() {
    bool opened = false;
    runNow([&] { opened = openWindowOnQueue(); });
    return opened;
}

bool RelayHost::openWindowOnQueue() {
    if (stopped_ || window_ || !link_->isUp() || server_->isPaused() || server_->controllerName() ||
        store_.storageFailure())
        return false;
    window_ = Window{};
    const std::uint64_t epoch = ++windowEpoch_;
    note("enrolment: window opened");
    // The window's time runs from its opening; a device's progress does not
    // extend it.
    std::weak_ptr<RelayHost> weak = weak_from_this();
    queue_.postAfter(millisFromSeconds(limits_.windowSeconds), [weak, epoch] {
        auto host = weak.lock();
        if (host && host->window_ && host->windowEpoch_ == epoch) host->closeWindow(true);
    });
    return true;
}

void RelayHost::closeEnrolmentWindow() {
    auto self = shared_from_this();
    queue_.post([self] { self->closeWindow(true); });
}

void RelayHost::cancelEnrolment() {
    auto self = shared_from_this();
    queue_.post([self] {
        if (!self->window_) return;
        self->note("enrolment: cancelled at the computer");
        self->closeWindow(true);
    });
}

void RelayHost::approveEnrolment() {
    auto self = shared_from_this();
    queue_.post([self] { self->approveOnQueue(); });
}

void RelayHost::closeWindow(bool dropCandidate) {
    if (!window_) return;
    const Window closing = *std::exchange(window_, std::nullopt);
    ++windowEpoch_;
    if (dropCandidate && closing.candidate) {
        auto it = peers_.find(*closing.candidate);
        if (it != peers_.end() && (std::holds_alternative<Peer::XxWait>(it->second->state) ||
                                   std::holds_alternative<Peer::XxShown>(it->second->state))) {
            it->second->set(Peer::Idle{});
            peers_.erase(it);
            link_->drop(*closing.candidate);
            note("device connection closed");
            publishPeerCount();
        }
    }
    note("enrolment: window closed, nothing added");
    onMain([](RelayHost& host) {
        if (host.onEnrolmentFinished) host.onEnrolmentFinished(std::nullopt);
    });
}

void RelayHost::enrolmentStart(const PeerPtr& peer, const Bytes& record) {
    if (!std::holds_alternative<Peer::Idle>(peer->state) || !window_ || window_->candidate || window_->answered ||
        server_->isPaused() || server_->controllerName())
        return fail(peer, "no-window");
    auto responder = std::make_shared<XXResponder>(staticKey_, roomID_);
    Bytes message2;
    try {
        responder->readMessage1(record);
        message2 = responder->writeMessage2();
    } catch (const SecureChannelError& error) {
        return fail(peer, error.word);
    } catch (...) {
        return fail(peer, "bad-state");
    }
    window_ = Window{peer->id, true};
    peer->set(Peer::XxWait{std::move(responder)});
    link_->send(peer->id, std::move(message2), [](bool) {});
    expireCandidate(peer, limits_.handshakeSeconds);
}

void RelayHost::enrolmentFinish(const PeerPtr& peer, const Bytes& record) {
    auto waiting = std::get_if<Peer::XxWait>(&peer->state);
    if (!waiting) return fail(peer, "bad-state");
    XXResponder::Enrolment enrolment;
    try {
        // The responder has already refused names that are not UTF-8.
        enrolment = waiting->responder->readMessage3(record);
    } catch (const SecureChannelError& error) {
        return fail(peer, error.word);
    } catch (...) {
        return fail(peer, "bad-state");
    }
    const std::string name = unusedName(
        DeviceStore::clean(std::string_view(reinterpret_cast<const char*>(enrolment.name.data()), enrolment.name.size())),
        store_.devices(), DeviceStore::base64url(enrolment.deviceKey));
    const std::string code = sas(enrolment.handshakeHash);
    peer->set(Peer::XxShown{enrolment.keys, enrolment.deviceKey, name});
    note("enrolment: request from \u201C" + SessionLog::clean(name, 40) + "\u201D, code shown");
    onMain([name, code](RelayHost& host) {
        if (host.onEnrolmentRequest) host.onEnrolmentRequest(name, code);
    });
    expireCandidate(peer, limits_.approvalSeconds);
}

void RelayHost::expireCandidate(const PeerPtr& peer, double seconds) {
    const std::uint64_t epoch = peer->epoch;
    std::weak_ptr<RelayHost> weakHost = weak_from_this();
    std::weak_ptr<Peer> weakPeer = peer;
    queue_.postAfter(millisFromSeconds(seconds), [weakHost, weakPeer, epoch] {
        auto host = weakHost.lock();
        auto p = weakPeer.lock();
        if (!host || !p || p->epoch != epoch) return;
        if (host->isCandidate(p->id)) host->closeWindow(true);
    });
}

void RelayHost::approveOnQueue() {
    if (!window_ || !window_->candidate) return closeWindow(true);
    const std::uint32_t candidate = *window_->candidate;
    auto it = peers_.find(candidate);
    if (it == peers_.end()) return closeWindow(true);
    PeerPtr peer = it->second;
    auto shown = std::get_if<Peer::XxShown>(&peer->state);
    if (!shown || !link_->isUp() || server_->isPaused() || server_->controllerName()) return closeWindow(true);

    // The enrolled record is sealed before the device is stored, so a seal
    // that fails leaves nothing behind.
    Bytes record;
    try {
        TransportSender sender(shown->keys.send);
        record = sender.seal(flagText, ByteView(reinterpret_cast<const std::uint8_t*>(enrolledMessage.data()),
                                                enrolledMessage.size()));
        sender.discard();
    } catch (const SecureChannelError&) {
        return closeWindow(true);
    }
    auto device = store_.enrolRelayDevice(shown->deviceKey, shown->name);
    if (!device) {
        const auto notSaved = store_.lastSaveFailure();
        note(notSaved ? "enrolment: refused, the device list could not be saved: " + *notSaved
                      : std::string("enrolment: cancelled at the computer"));
        return closeWindow(true);
    }
    peer->set(Peer::Idle{});
    window_.reset();
    ++windowEpoch_;
    link_->send(candidate, std::move(record), [](bool) {});
    note("enrolment: approved, " + SessionLog::clean(device->name, 40) + " added");
    onMain([device](RelayHost& host) {
        if (host.onEnrolmentFinished) host.onEnrolmentFinished(device);
    });
}

}  // namespace morvane
