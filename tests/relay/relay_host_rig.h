// A relay host on a manual session queue and a manual main queue, with a
// fake link, a fake server, a device store in memory and test devices that
// run real handshakes against it.
#pragma once

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "../devices/test_support.h"
#include "relay/relay_host.h"
#include "relay_fakes.h"
#include "test_device.h"

namespace morvane::testing {

struct HostRig {
    explicit HostRig(RelayHostLimits limits = {})
        : server(std::make_shared<FakeServer>(queue)),
          link(std::make_shared<FakeLink>(queue)),
          storage(std::make_shared<MemoryStorage>()),
          store(std::make_unique<DeviceStore>(storage)),
          macKey(P256PrivateKey::generate()),
          roomID(16, 0x5a) {
        RelayHost::Setup setup;
        setup.server = server;
        setup.store = store.get();
        setup.staticKey = macKey;
        setup.roomID = roomID;
        setup.link = link;
        setup.mainQueue = &main;
        setup.limits = limits;
        setup.clock = [this] { return static_cast<double>(queue.now()) / 1000.0; };
        host = RelayHost::create(std::move(setup));
        host->log = [this](const std::string& line) { log.push_back(line); };
        host->onEnrolmentRequest = [this](const std::string& name, const std::string& code) {
            hooks.push_back("request " + name + " " + code);
        };
        host->onEnrolmentFinished = [this](const std::optional<PairedDevice>& device) {
            hooks.push_back(device ? "finished " + device->name : "finished none");
        };
        host->start();
    }

    TestDevice device(const std::string& name = "Phone") { return TestDevice(name, roomID); }
    TestDevice enrolled(const std::string& name = "Phone") {
        TestDevice d(name, roomID);
        store->enrolRelayDevice(d.publicKey(), name);
        return d;
    }

    void up(std::vector<std::uint32_t> ids) { host->relayLinkUp(ids); }
    void receive(std::uint32_t id, const Bytes& record) {
        host->relayLinkReceived(id, record);
        queue.runAll();
        main.runAll();
    }
    std::vector<Bytes> sentTo(std::uint32_t id) { return link->take(id); }

    // IK on connection `id`; true when the host answered with message 2.
    bool handshake(std::uint32_t id, TestDevice& d) {
        receive(id, d.sessionMessage1(macKey.publicKeyBytes()));
        auto replies = sentTo(id);
        if (replies.size() != 1) return false;
        d.sessionMessage2(replies[0]);
        return true;
    }
    // IK and the hello that makes the server accept the session.
    void session(std::uint32_t id, TestDevice& d) {
        handshake(id, d);
        receive(id, d.hello());
    }
    // Runs XX up to the code; returns the device's code.
    std::optional<std::string> enrolTo(std::uint32_t id, TestDevice& d) {
        receive(id, d.enrolMessage1());
        auto replies = sentTo(id);
        if (replies.size() != 1) return std::nullopt;
        receive(id, d.enrolMessage3(replies[0]));
        return d.code();
    }
    void advance(double seconds) {
        queue.advance(static_cast<std::int64_t>(seconds * 1000));
        main.runAll();
    }

    bool logged(const std::string& line) const { return std::find(log.begin(), log.end(), line) != log.end(); }
    int count(const std::string& line) const { return static_cast<int>(std::count(log.begin(), log.end(), line)); }
    bool dropped(std::uint32_t id) const {
        return std::find(link->dropped.begin(), link->dropped.end(), id) != link->dropped.end();
    }
    template <typename State>
    bool in(std::uint32_t id) const {
        auto p = host->peer(id);
        return p && std::holds_alternative<State>(p->state);
    }

    ManualExecutor queue;
    ManualExecutor main;
    std::shared_ptr<FakeServer> server;
    std::shared_ptr<FakeLink> link;
    std::shared_ptr<MemoryStorage> storage;
    std::unique_ptr<DeviceStore> store;
    P256PrivateKey macKey;
    Bytes roomID;
    std::shared_ptr<RelayHost> host;
    std::vector<std::string> log;
    std::vector<std::string> hooks;
};

}  // namespace morvane::testing
