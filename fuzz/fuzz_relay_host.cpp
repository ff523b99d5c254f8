// The relay host under whatever a relay and its devices may send: device
// connections joining and leaving, raw handshake records of every type,
// sealed records with any flags from a device that passed IK, server writes,
// credits, enrolment windows, link changes and time. Nothing may escape the
// host, the table never holds more than its limit, an enrolment candidate is
// always a connection in the middle of enrolling, and no wire has more
// acknowledged than it sent.
#include <cstdlib>

#include "fuzz_support.h"
#include "../tests/devices/test_support.h"
#include "../tests/relay/relay_fakes.h"
#include "relay/relay_host.h"
#include "secure/ik_handshake.h"

using namespace morvane;
using namespace morvane::testing;
using morvane::fuzz::require;

namespace {

const P256PrivateKey& fixedKey(std::uint8_t fill) {
    static std::map<std::uint8_t, P256PrivateKey> keys;
    auto it = keys.find(fill);
    if (it == keys.end()) it = keys.emplace(fill, P256PrivateKey::fromRawBytes(Bytes(32, fill))).first;
    return it->second;
}

class Reader {
public:
    explicit Reader(ByteView data) : data_(data) {}
    bool done() const { return at_ >= data_.size(); }
    std::uint8_t byte() { return done() ? 0 : data_[at_++]; }
    Bytes bytes(std::size_t n) {
        n = std::min(n, data_.size() - at_);
        Bytes out(data_.begin() + at_, data_.begin() + at_ + n);
        at_ += n;
        return out;
    }

private:
    ByteView data_;
    std::size_t at_ = 0;
};

struct Device {
    std::optional<TransportSender> sender;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ManualExecutor queue;
    ManualExecutor main;
    auto server = std::make_shared<FakeServer>(queue);
    server->closeOnBye = true;
    auto link = std::make_shared<FakeLink>(queue);
    DeviceStore store(std::make_shared<MemoryStorage>());
    const Bytes roomID(16, 0x5a);
    const P256PrivateKey& macKey = fixedKey(0x11);
    const P256PrivateKey& phoneKey = fixedKey(0x22);
    store.enrolRelayDevice(phoneKey.publicKeyBytes(), "Phone");

    RelayHostLimits limits;
    limits.maxRecords = 64;  // lets renewal happen within one input
    RelayHost::Setup setup;
    setup.server = server;
    setup.store = &store;
    setup.staticKey = macKey;
    setup.roomID = roomID;
    setup.link = link;
    setup.mainQueue = &main;
    setup.limits = limits;
    setup.clock = [&queue] { return static_cast<double>(queue.now()) / 1000.0; };
    auto host = RelayHost::create(std::move(setup));
    host->start();
    host->relayLinkUp({0, 1});

    std::map<std::uint32_t, Device> devices;
    Reader in(ByteView(data, size));
    while (!in.done()) {
        const std::uint8_t op = in.byte();
        const std::uint32_t id = in.byte() % 6;
        switch (op % 8) {
        case 0:
            host->relayLinkJoined(id);
            break;
        case 1:
            host->relayLinkLeft(id);
            break;
        case 2: {
            static constexpr std::uint8_t types[] = {0x01, 0x11, 0x13, 0x20};
            const std::uint8_t pick = in.byte();
            Bytes record = in.bytes(pick < 128 ? SecureChannel::ik1Length : in.byte() * 2u);
            if (!record.empty() && pick % 5 < 4) record[0] = types[pick % 5];
            host->relayLinkReceived(id, record);
            break;
        }
        case 3: {
            IKInitiator ik(phoneKey, macKey.publicKeyBytes(), roomID, fixedKey(0x33));
            link->take(id);
            host->relayLinkReceived(id, ik.writeMessage1());
            auto replies = link->take(id);
            // The rate limit may have swallowed the message.
            if (replies.size() == 1) devices[id].sender.emplace(ik.readMessage2(replies[0]).keys.send);
            break;
        }
        case 4: {
            const std::uint8_t flags = in.byte();
            Bytes body = in.bytes(in.byte() * 2u);
            auto& device = devices[id];
            if (device.sender) host->relayLinkReceived(id, device.sender->seal(flags, body));
            break;
        }
        case 5: {
            if (server->wires.empty()) break;
            auto wire = server->wires.rbegin()->second;
            const std::uint8_t how = in.byte();
            const std::size_t length = (std::size_t{in.byte()} << 12) | in.byte();
            if (how % 4 == 0) wire->cancel();
            else if (how % 4 == 1) server->close(server->wires.rbegin()->first);
            else wire->write(wire->encode(how % 4 == 2 ? WSOpcode::text : WSOpcode::binary, Bytes(length, 'x')),
                             [](bool) {});
            break;
        }
        case 6:
            queue.advance(std::int64_t{in.byte()} * 250);
            break;
        default:
            switch (in.byte() % 7) {
            case 0: (void)host->openEnrolmentWindow(); break;
            case 1: host->approveEnrolment(); break;
            case 2: host->cancelEnrolment(); break;
            case 3: host->relayLinkDown(); break;
            case 4: host->relayLinkUp({id, id + 1}); break;
            case 5: host->relayLinkQuotaReached(); break;
            default: server->observer ? server->observer(RelayServerEvent::paused) : void(); break;
            }
        }
        queue.runAll();
        main.runAll();

        require(host->peerCount() <= static_cast<std::size_t>(limits.maxDevices));
        if (auto window = host->window(); window && window->candidate) {
            auto candidate = host->peer(*window->candidate);
            require(candidate && (std::holds_alternative<RelayHost::Peer::XxWait>(candidate->state) ||
                                  std::holds_alternative<RelayHost::Peer::XxShown>(candidate->state)));
        }
        for (auto& [n, wire] : server->wires) {
            auto& relayed = static_cast<RelayWire&>(*wire);
            require(relayed.acked() <= relayed.sent());
        }
    }
    host->shutDown(nullptr);
    queue.advance(1000);
    return 0;
}
