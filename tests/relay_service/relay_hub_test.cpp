// The rooms: proving a link, welcoming it, devices joining, leaving and
// being closed for what they break, on a manual clock with peers that
// write down what they were sent.
#include <gtest/gtest.h>

#include <algorithm>

#include <nlohmann/json.hpp>

#include "core/secure.h"
#include "relay/relay_bytes.h"
#include "relay/relay_identity.h"
#include "relay_service/relay_hub.h"
#include "relay_service/relay_limits.h"

namespace morvane::relay_service::testing {
namespace {

using json = nlohmann::json;

struct FakePeer final : RelayPeer {
    std::vector<std::string> texts;
    std::vector<Bytes> binaries;
    std::optional<std::pair<int, std::string>> closed;
    // Each time its reads were held back, for how long.
    std::vector<std::int64_t> holds;
    void sendText(std::string text) override {
        EXPECT_FALSE(closed) << "sent after close: " << text;
        texts.push_back(std::move(text));
    }
    void sendBinary(Bytes data) override {
        EXPECT_FALSE(closed) << "sent after close";
        binaries.push_back(std::move(data));
    }
    void close(int code, std::string reason) override {
        EXPECT_FALSE(closed) << "closed twice";
        closed = {code, std::move(reason)};
    }
    void holdReads(std::int64_t millis) override {
        EXPECT_FALSE(closed) << "held after close";
        holds.push_back(millis);
    }
    std::optional<int> code() const { return closed ? std::optional(closed->first) : std::nullopt; }
};

struct HubRig {
    std::int64_t millis = 0;
    std::vector<std::string> logs;
    DeviceLimits limits{3, 2, 1000};
    // The rooms handed to each registration check, and each change of a
    // room's link seen from outside ("room up", "room down").
    std::vector<std::vector<std::string>> checks;
    std::vector<std::string> changes;
    // Each instance asked to let a room's link go ("room holder"), and the
    // rooms whose holders the store is asked for.
    std::vector<std::string> asks;
    std::vector<std::vector<std::string>> holderQuestions;
    // While set, proved links wait here for their rows.
    bool holdWelcomes = false;
    std::vector<std::function<void()>> welcomes;
    RelayHub hub{RelayHub::Hooks{[this] { return millis; }, [this](const std::string& l) { logs.push_back(l); },
                                 [this](std::vector<std::string> rooms) { checks.push_back(std::move(rooms)); },
                                 [this](const std::string& r, bool up, bool moving) {
                                     changes.push_back(r + (up ? " up" : moving ? " moving" : " down"));
                                 },
                                 [this](const std::string& r, const std::string& holder) { asks.push_back(r + " " + holder); },
                                 [this](std::vector<std::string> rooms) { holderQuestions.push_back(std::move(rooms)); },
                                 {},
                                 [this](const std::string&, std::function<void()> ready) {
                                     if (holdWelcomes) welcomes.push_back(std::move(ready));
                                     else ready();
                                 }},
                 limits, "here"};
    RelayIdentity computer{P256PrivateKey::generate(), P256PrivateKey::generate(), 0};
    std::string room = RelayBytes::hex(computer.roomID());

    // A link that answered its challenge and was welcomed.
    std::shared_ptr<FakePeer> link() {
        auto peer = std::make_shared<FakePeer>();
        hub.hostOpened(peer, room, computer.hostPublicKey());
        const auto challenge = json::parse(peer->texts.at(0));
        const auto nonce = RelayBytes::fromB64u(challenge["nonce"].get<std::string>());
        hub.hostText(peer.get(), R"({"t":"prove","sig":")" + computer.proveSignature(*nonce) + "\"}");
        return peer;
    }
    std::shared_ptr<FakePeer> device(const std::string& user = "u1", const std::string& session = "s1",
                                     const std::string& holder = "") {
        auto peer = std::make_shared<FakePeer>();
        hub.deviceOpened(peer, room, user, session, holder);
        return peer;
    }
    // A link that has not answered its challenge yet.
    std::shared_ptr<FakePeer> proving() {
        auto peer = std::make_shared<FakePeer>();
        hub.hostOpened(peer, room, computer.hostPublicKey());
        return peer;
    }
    void prove(FakePeer& peer) {
        const auto nonce = RelayBytes::fromB64u(json::parse(peer.texts.at(0))["nonce"].get<std::string>());
        hub.hostText(&peer, R"({"t":"prove","sig":")" + computer.proveSignature(*nonce) + "\"}");
    }
    bool logged(const std::string& part) const {
        return std::any_of(logs.begin(), logs.end(), [&](const auto& l) { return l.find(part) != std::string::npos; });
    }
};

TEST(RelayHubLink, AProvedLinkIsWelcomedWithTheDevicesAlreadyThere) {
    HubRig rig;
    auto host = rig.link();
    ASSERT_EQ(host->texts.size(), 2u);
    const auto challenge = json::parse(host->texts[0]);
    EXPECT_EQ(challenge["t"], "challenge");
    EXPECT_EQ(RelayBytes::fromB64u(challenge["nonce"].get<std::string>())->size(), 32u);
    EXPECT_EQ(json::parse(host->texts[1]), (json{{"t", "welcome"}, {"room", rig.room}, {"devices", json::array()}}));
    EXPECT_TRUE(rig.hub.online(rig.room));

    auto first = rig.device(), second = rig.device("u1", "s2");
    EXPECT_EQ(host->texts[2], R"({"t":"joined","c":1})");
    EXPECT_EQ(host->texts[3], R"({"t":"joined","c":2})");

    // A newer link replaces the older one (4409) and takes its devices.
    auto newer = rig.link();
    EXPECT_EQ(host->code(), 4409);
    EXPECT_EQ(json::parse(newer->texts[1])["devices"], (json{1, 2}));
    EXPECT_FALSE(first->closed);
    first->binaries.clear();
    rig.hub.deviceMessage(first.get(), false, Bytes{0xaa, 0xbb});
    EXPECT_EQ(newer->binaries.back(), (Bytes{0, 0, 0, 1, 0xaa, 0xbb}));
    EXPECT_TRUE(host->binaries.empty());
    // The old link's end changes nothing.
    rig.hub.ended(host.get(), "closed");
    EXPECT_TRUE(rig.hub.online(rig.room));

    // Records from the host reach the device they name, and only it.
    rig.hub.hostBinary(newer.get(), Bytes{0, 0, 0, 2, 0x01, 0x02, 0x03});
    EXPECT_EQ(second->binaries, (std::vector<Bytes>{{0x01, 0x02, 0x03}}));
    EXPECT_TRUE(first->binaries.empty());
    rig.hub.hostBinary(newer.get(), Bytes{0, 0, 0, 9, 0x01});  // gone already: nowhere
    EXPECT_FALSE(newer->closed);

    // A device leaves: the host hears it. The link goes down: the devices
    // hear their computer is offline.
    rig.hub.ended(second.get(), "closed");
    EXPECT_EQ(newer->texts.back(), R"({"t":"left","c":2})");
    rig.hub.ended(newer.get(), "timed out");
    EXPECT_EQ(first->closed, (std::pair<int, std::string>{4503, "mac-offline"}));
    EXPECT_FALSE(rig.hub.online(rig.room));
    EXPECT_EQ(rig.hub.devices(), 0u);
    EXPECT_EQ(rig.hub.links(), 0u);
}

TEST(RelayHubLink, ALinkThatBreaksTheRulesIsClosedWithItsCode) {
    struct Case {
        const char* name;
        std::function<void(HubRig&, FakePeer&)> act;
        int code;
    };
    const auto proving = [](HubRig& rig) {
        auto peer = std::make_shared<FakePeer>();
        rig.hub.hostOpened(peer, rig.room, rig.computer.hostPublicKey());
        return peer;
    };
    const std::vector<Case> unproved = {
        {"a prove by another key",
         [](HubRig& rig, FakePeer& peer) {
             const auto nonce = RelayBytes::fromB64u(json::parse(peer.texts[0])["nonce"].get<std::string>());
             const RelayIdentity other{P256PrivateKey::generate(), P256PrivateKey::generate(), 0};
             rig.hub.hostText(&peer, R"({"t":"prove","sig":")" + other.proveSignature(*nonce) + "\"}");
         },
         4401},
        {"a prove of another challenge",
         [](HubRig& rig, FakePeer& peer) {
             rig.hub.hostText(&peer, R"({"t":"prove","sig":")" + rig.computer.proveSignature(Secure::randomBytes(32)) + "\"}");
         },
         4401},
        {"a record before the prove", [](HubRig& rig, FakePeer& peer) { rig.hub.hostBinary(&peer, Bytes{0, 0, 0, 1, 9}); },
         4400},
        {"a drop before the prove",
         [](HubRig& rig, FakePeer& peer) { rig.hub.hostText(&peer, R"({"t":"drop","c":1,"why":"refused"})"); }, 4400},
        {"no prove in time",
         [](HubRig& rig, FakePeer&) {
             rig.millis += RelayLimits::proveSeconds * 1000;
             rig.hub.tick();
         },
         1001},
    };
    for (const auto& c : unproved) {
        HubRig rig;
        auto peer = proving(rig);
        rig.millis += 1;
        rig.hub.tick();
        EXPECT_FALSE(peer->closed) << c.name;
        c.act(rig, *peer);
        EXPECT_EQ(peer->code(), c.code) << c.name;
        EXPECT_FALSE(rig.hub.online(rig.room)) << c.name;
        EXPECT_EQ(rig.hub.links(), 0u) << c.name;
    }
    const std::vector<Case> up = {
        {"a short frame", [](HubRig& rig, FakePeer& peer) { rig.hub.hostBinary(&peer, Bytes{0, 0, 0, 1}); }, 4400},
        {"a second prove",
         [](HubRig& rig, FakePeer& peer) { rig.hub.hostText(&peer, R"({"t":"prove","sig":"AA"})"); }, 4400},
        {"not JSON", [](HubRig& rig, FakePeer& peer) { rig.hub.hostText(&peer, "{\"t\":"); }, 4400},
        {"a drop of id 0", [](HubRig& rig, FakePeer& peer) { rig.hub.hostText(&peer, R"({"t":"drop","c":0})"); }, 4400},
        {"an oversized text",
         [](HubRig& rig, FakePeer& peer) {
             rig.hub.hostText(&peer, R"({"t":"drop","c":1,"pad":")" + std::string(5000, 'x') + "\"}");
         },
         4400},
    };
    for (const auto& c : up) {
        HubRig rig;
        auto host = rig.link();
        auto device = rig.device();
        c.act(rig, *host);
        EXPECT_EQ(host->code(), c.code) << c.name;
        EXPECT_EQ(device->code(), 4503) << c.name;
    }
}

TEST(RelayHubDevices, DevicesAreClosedForWhatTheyBreakAndTheHostHearsTheyLeft) {
    struct Case {
        const char* name;
        std::function<void(HubRig&, FakePeer&)> act;
        int code;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {"a record over the limit",
         [](HubRig& rig, FakePeer& d) { rig.hub.deviceMessage(&d, false, Bytes(RelayLimits::maxDeviceRecordBytes + 1, 1)); },
         4413, "too-large"},
        {"a text message", [](HubRig& rig, FakePeer& d) { rig.hub.deviceMessage(&d, true, Bytes{'h', 'i'}); }, 4413,
         "too-large"},
    };
    for (const auto& c : cases) {
        HubRig rig;
        auto host = rig.link();
        auto device = rig.device();
        c.act(rig, *device);
        EXPECT_EQ(device->closed, (std::pair<int, std::string>{c.code, c.reason})) << c.name;
        EXPECT_EQ(host->texts.back(), R"({"t":"left","c":1})") << c.name;
        EXPECT_FALSE(host->closed) << c.name;
    }

    // Time refills the allowance: a steady rate within the limit passes.
    HubRig rig;
    auto host = rig.link();
    auto device = rig.device();
    for (int i = 0; i < 20; ++i) {
        rig.millis += 500;
        rig.hub.deviceMessage(device.get(), false, Bytes(500, 1));
    }
    EXPECT_FALSE(device->closed);
    EXPECT_EQ(host->binaries.size(), 20u);
    // An empty record goes nowhere: the host would read it as a broken frame.
    rig.hub.deviceMessage(device.get(), false, Bytes{});
    EXPECT_EQ(host->binaries.size(), 20u);

    // The host drops a device: it is refused and the host is not told back.
    const auto texts = host->texts.size();
    rig.hub.hostText(host.get(), R"({"t":"drop","c":1,"why":"refused"})");
    EXPECT_EQ(device->closed, (std::pair<int, std::string>{4403, "refused"}));
    EXPECT_EQ(host->texts.size(), texts);
}

// A device sending as fast as its network lets it (a phone uploading a
// file) is held back until its allowance refills, never closed: the socket
// reads no more for the time the hub asks, and the sender's next records
// come once that time has passed. Over a long upload it gets exactly the
// rate, and every record reaches the host whole and in order.
TEST(RelayHubDevices, AFastSenderIsPacedToItsAllowanceNotClosed) {
    HubRig rig;  // 1000 bytes a second, two seconds' worth at once
    auto host = rig.link();
    auto device = rig.device();
    // Up to what it may send at once, nothing holds it.
    rig.hub.deviceMessage(device.get(), false, Bytes(600, 1));
    EXPECT_TRUE(device->holds.empty());
    // The record that overdraws is carried, and the reads wait until
    // nothing is owed: 200 bytes at 1000 a second.
    rig.hub.deviceMessage(device.get(), false, Bytes(600, 2));
    EXPECT_EQ(device->holds, std::vector<std::int64_t>{200});
    EXPECT_EQ(host->binaries.size(), 2u);

    // A sender that always has more: each record comes the moment its hold
    // ends, as the socket reads it.
    std::int64_t sent = 1200;
    std::uint8_t fill = 2;
    while (rig.millis < 60'000) {
        rig.millis += device->holds.back();
        const auto held = device->holds.size();
        rig.hub.deviceMessage(device.get(), false, Bytes(300, ++fill));
        sent += 300;
        ASSERT_EQ(device->holds.size(), held + 1) << "every record overdraws a sender that never waits by itself";
    }
    EXPECT_FALSE(device->closed);
    // What it sent, less what it still owes (a byte a millisecond of its
    // hold), is the first second's allowance and a byte a millisecond.
    EXPECT_EQ(sent - device->holds.back(), 1000 + rig.millis);
    ASSERT_EQ(host->binaries.size(), static_cast<std::size_t>(2 + (sent - 1200) / 300));
    for (std::size_t i = 0; i < host->binaries.size(); ++i) {
        EXPECT_EQ(host->binaries[i].size(), 4u + (i < 2 ? 600 : 300)) << i;
        EXPECT_EQ(host->binaries[i].back(), static_cast<std::uint8_t>(i + 1)) << i;
    }

    // A reader that waits its hold owes at most one record, the largest a
    // device may send, and is held for just that.
    HubRig fast;
    auto link = fast.link();
    auto big = fast.device();
    fast.hub.deviceMessage(big.get(), false, Bytes(2000, 1));
    fast.millis += big->holds.back();
    fast.hub.deviceMessage(big.get(), false, Bytes(RelayLimits::maxDeviceRecordBytes, 1));
    EXPECT_EQ(big->holds, (std::vector<std::int64_t>{1000, static_cast<std::int64_t>(RelayLimits::maxDeviceRecordBytes)}));
    EXPECT_FALSE(big->closed);
    EXPECT_EQ(link->binaries.size(), 2u);
}

TEST(RelayHubDevices, ConnectionsAreLimitedPerDeviceAndPerAccount) {
    HubRig rig;  // 3 an account, 2 a device
    auto offline = rig.device();
    EXPECT_EQ(offline->closed, (std::pair<int, std::string>{4503, "mac-offline"}));
    auto host = rig.link();
    auto a = rig.device("u1", "phone"), b = rig.device("u1", "phone");
    auto c = rig.device("u1", "phone");
    EXPECT_EQ(c->closed, (std::pair<int, std::string>{4429, "too-many"}));
    auto d = rig.device("u1", "laptop");
    EXPECT_FALSE(d->closed);
    auto e = rig.device("u1", "tablet");
    EXPECT_EQ(e->code(), 4429);
    // Another account has its own share; a closed connection frees one.
    EXPECT_FALSE(rig.device("u2", "x")->closed);
    rig.hub.ended(a.get(), "closed");
    EXPECT_FALSE(rig.device("u1", "phone")->closed);
    // The host never hears of refused devices.
    int joined = 0;
    for (const auto& text : host->texts) joined += text.find("joined") != std::string::npos;
    EXPECT_EQ(joined, 5);
}

// A room ends for the computer leaving its account (its link is told it is
// not on the account, its devices that the computer is unknown), for
// another instance serving it now (the link dials again, as the devices
// do) and for the relay stopping.
TEST(RelayHubDevices, ARoomsLinkAndDevicesCloseWithTheCodesOfWhatEndedIt) {
    struct Case {
        const char* name;
        std::function<void(HubRig&)> end;
        std::pair<int, std::string> link, device;
        const char* went;  // how those who list computers hear of it
    };
    const std::vector<Case> cases = {
        {"the computer left its account", [](HubRig& rig) { rig.hub.removed(rig.room); }, {4410, "not-on-account"},
         {4404, "unknown-host"}, " down"},
        {"another instance serves it now", [](HubRig& rig) { rig.hub.letGo(rig.room); }, {4421, "moved"}, {1001, ""},
         " moving"},
        {"its store is out of reach here", [](HubRig& rig) { rig.hub.letGoAll(); }, {4421, "moved"}, {1001, ""},
         " moving"},
        {"the relay stops", [](HubRig& rig) { rig.hub.shutDown(); }, {1001, ""}, {1001, ""}, " down"},
    };
    for (const auto& c : cases) {
        HubRig rig;
        auto host = rig.link();
        auto device = rig.device();
        c.end(rig);
        EXPECT_EQ(host->closed, c.link) << c.name;
        EXPECT_EQ(device->closed, c.device) << c.name;
        EXPECT_FALSE(rig.hub.online(rig.room)) << c.name;
        EXPECT_EQ(rig.changes, (std::vector<std::string>{rig.room + " up", rig.room + c.went})) << c.name;
    }
}

// Another instance sharing the database may remove a computer whose link
// is held here; only the store tells. The hub hands over the rooms it
// holds, at the period and not before; the answer comes back as removed().
TEST(RelayHubDevices, TheRoomsHeldHereAreHandedToTheRegistrationCheckAtItsPeriod) {
    HubRig rig;
    auto host = rig.link();
    auto device = rig.device();
    const auto period = RelayLimits::registrationCheckSeconds * 1000;

    rig.millis = period - 1;
    rig.hub.tick();
    EXPECT_TRUE(rig.checks.empty()) << "checked before its time";
    rig.millis = period;
    rig.hub.tick();
    EXPECT_EQ(rig.checks, (std::vector<std::vector<std::string>>{{rig.room}}));
    rig.millis = 2 * period - 1;
    rig.hub.tick();
    EXPECT_EQ(rig.checks.size(), 1u);

    rig.hub.removed(rig.room);
    EXPECT_EQ(host->code(), 4410);
    EXPECT_EQ(host->closed->second, "not-on-account");
    EXPECT_EQ(device->code(), 4404);
    // With nothing held, nothing is asked.
    rig.millis = 3 * period;
    rig.hub.tick();
    EXPECT_EQ(rig.checks.size(), 1u);
}

// Those who list computers off the network thread hear of each change of a
// room's link: once up, not at all while a newer link replaces it, once down.
TEST(RelayHubLink, EveryChangeOfWhetherARoomIsOnlineIsTold) {
    struct Case {
        const char* name;
        std::function<void(HubRig&, std::shared_ptr<FakePeer>&)> act;
        std::vector<std::string> changes;
    };
    const std::vector<Case> cases = {
        {"a link that proves", [](HubRig&, std::shared_ptr<FakePeer>&) {}, {"up"}},
        {"a newer link", [](HubRig& rig, std::shared_ptr<FakePeer>& link) { link = rig.link(); }, {"up"}},
        {"the link ends", [](HubRig& rig, std::shared_ptr<FakePeer>& link) { rig.hub.ended(link.get(), "closed"); },
         {"up", "down"}},
        {"the link breaks a rule",
         [](HubRig& rig, std::shared_ptr<FakePeer>& link) { rig.hub.hostBinary(link.get(), Bytes{1}); }, {"up", "down"}},
        {"the computer is removed", [](HubRig& rig, std::shared_ptr<FakePeer>&) { rig.hub.removed(rig.room); },
         {"up", "down"}},
        {"the relay stops", [](HubRig& rig, std::shared_ptr<FakePeer>&) { rig.hub.shutDown(); }, {"up", "down"}},
    };
    for (const auto& c : cases) {
        HubRig rig;
        auto link = rig.link();
        c.act(rig, link);
        std::vector<std::string> expected;
        for (const auto& change : c.changes) expected.push_back(rig.room + " " + change);
        EXPECT_EQ(rig.changes, expected) << c.name;
    }
    // A link that never proves never made its room online.
    HubRig rig;
    auto proving = std::make_shared<FakePeer>();
    rig.hub.hostOpened(proving, rig.room, rig.computer.hostPublicKey());
    rig.hub.ended(proving.get(), "closed");
    EXPECT_TRUE(rig.changes.empty());
    // Nor one that proved, until its row is written; one that ended by then, never.
    rig.holdWelcomes = true;
    auto gone = rig.link();
    rig.hub.ended(gone.get(), "closed");
    auto waiting = rig.link();
    EXPECT_EQ(waiting->texts.size(), 1u) << "welcomed before its row";
    for (auto& written : rig.welcomes) written();
    EXPECT_EQ(rig.changes, (std::vector<std::string>{rig.room + " up"}));
}

TEST(RelayHubDevices, ConnectionIdsAreNeverZeroNorOneInUse) {
    HubRig rig;
    rig.limits = DeviceLimits{1000, 1000, 1 << 20};
    RelayHub hub{RelayHub::Hooks{[] { return 0; }, [](const std::string&) {}, {}, {}, {}, {}}, rig.limits};
    auto host = std::make_shared<FakePeer>();
    hub.hostOpened(host, rig.room, rig.computer.hostPublicKey());
    const auto nonce = RelayBytes::fromB64u(json::parse(host->texts[0])["nonce"].get<std::string>());
    hub.hostText(host.get(), R"({"t":"prove","sig":")" + rig.computer.proveSignature(*nonce) + "\"}");
    std::vector<std::shared_ptr<FakePeer>> devices;
    for (int i = 0; i < RelayLimits::maxDevicesPerRoom; ++i) {
        devices.push_back(std::make_shared<FakePeer>());
        hub.deviceOpened(devices.back(), rig.room, "u", "s" + std::to_string(i));
    }
    auto over = std::make_shared<FakePeer>();
    hub.deviceOpened(over, rig.room, "u", "late");
    EXPECT_EQ(over->code(), 4429);  // a welcome lists at most 64
    hub.ended(devices[0].get(), "closed");
    auto next = std::make_shared<FakePeer>();
    hub.deviceOpened(next, rig.room, "u", "next");
    EXPECT_EQ(host->texts.back(), R"({"t":"joined","c":65})");
}

// Where instances share a database, the store names the instance that
// holds a room's link; a device that arrives without a link here waits for
// one that is on its way, and only for one.
TEST(RelayHubFleet, ADeviceWaitsOnlyForALinkOnItsWay) {
    struct Case {
        const char* name;
        bool provingHere;
        std::vector<std::string> holders;  // as the store answered each device's admission, in turn
        std::optional<int> lastClosed;     // the last device's close, absent while it waits
        std::vector<std::string> asks;
        bool justStarted = false;
    };
    const std::vector<Case> cases = {
        {"no instance holds it", false, {""}, 4503, {}},
        {"no instance holds it, in the first seconds of this one", false, {""}, std::nullopt, {}, true},
        {"a row of this instance's own, with no link here", false, {"here"}, 4503, {}},
        {"another instance holds it", false, {"there"}, std::nullopt, {"there"}},
        {"a link proving here", true, {""}, std::nullopt, {}},
        {"the holder let go after the first device asked", false, {"there", ""}, std::nullopt, {"there"}},
        {"a second device while the first waits", false, {"there", "there"}, std::nullopt, {"there"}},
        {"the link went on to a third instance", false, {"there", "third"}, std::nullopt, {"there", "third"}},
    };
    for (const auto& c : cases) {
        HubRig rig;
        if (c.justStarted) rig.hub.expectLinks(RelayLimits::movingSeconds * 1000);
        std::shared_ptr<FakePeer> proving = c.provingHere ? rig.proving() : nullptr;
        std::vector<std::shared_ptr<FakePeer>> devices;
        for (const auto& holder : c.holders) devices.push_back(rig.device("u1", "s1", holder));
        EXPECT_EQ(devices.back()->code(), c.lastClosed) << c.name;
        std::vector<std::string> asks;
        for (const auto& holder : c.asks) asks.push_back(rig.room + " " + holder);
        EXPECT_EQ(rig.asks, asks) << c.name;
        EXPECT_FALSE(rig.hub.online(rig.room)) << c.name;
        EXPECT_TRUE(rig.changes.empty()) << c.name;
    }
}

TEST(RelayHubFleet, AWaitingDeviceJoinsAsIfItHadBeenThereWhenTheLinkProved) {
    HubRig rig;
    auto first = rig.device("u1", "s1", "there");
    auto second = rig.device("u1", "s2", "there");
    // What a device sends while it waits reaches the host after its welcome.
    rig.hub.deviceMessage(first.get(), false, Bytes{0x11});
    rig.hub.deviceMessage(first.get(), false, Bytes{0x12, 0x13});
    rig.millis += 1200;
    auto link = rig.proving();
    rig.prove(*link);
    ASSERT_EQ(link->texts.size(), 2u);
    EXPECT_EQ(json::parse(link->texts[1]), (json{{"t", "welcome"}, {"room", rig.room}, {"devices", {1, 2}}}));
    EXPECT_EQ(link->binaries, (std::vector<Bytes>{{0, 0, 0, 1, 0x11}, {0, 0, 0, 1, 0x12, 0x13}}));
    EXPECT_TRUE(rig.logged("device 1 joined room " + rig.room + " after waiting 1200 ms"));
    EXPECT_EQ(rig.changes, (std::vector<std::string>{rig.room + " up"}));
    // Joined now: records flow both ways, and the wait's end passes them by.
    rig.hub.hostBinary(link.get(), Bytes{0, 0, 0, 2, 0x21});
    EXPECT_EQ(second->binaries, (std::vector<Bytes>{{0x21}}));
    rig.millis += RelayLimits::linkWaitSeconds * 1000;
    rig.hub.tick();
    EXPECT_FALSE(first->closed);
    EXPECT_FALSE(second->closed);
    rig.hub.ended(first.get(), "closed");
    EXPECT_EQ(link->texts.back(), R"({"t":"left","c":1})");
}

TEST(RelayHubFleet, AWaitIsBoundedInTimeBytesAndConnections) {
    const auto wait = RelayLimits::linkWaitSeconds * 1000;
    HubRig rig;  // 3 connections an account, 2 a device
    auto early = rig.device("u1", "s1", "there");
    rig.millis += wait / 2;
    auto late = rig.device("u1", "s1", "there");
    // Waiting devices count as connections.
    EXPECT_EQ(rig.device("u1", "s1", "there")->code(), 4429);
    rig.millis = wait - 1;
    rig.hub.tick();
    EXPECT_FALSE(early->closed);
    rig.millis = wait;
    rig.hub.tick();
    EXPECT_EQ(early->closed, (std::pair<int, std::string>{4503, "mac-offline"}));
    EXPECT_FALSE(late->closed);
    EXPECT_TRUE(rig.logged("its computer's link did not come in time"));
    // A device arriving a wait later asks again: the first ask may have gone unheard.
    auto again = rig.device("u1", "s2", "there");
    EXPECT_EQ(rig.asks, (std::vector<std::string>{rig.room + " there", rig.room + " there"}));
    rig.millis = wait + wait / 2;
    rig.hub.tick();
    EXPECT_EQ(late->code(), 4503);
    EXPECT_FALSE(again->closed);

    // What is held for the host is one record's worth, whatever the byte rate allows.
    RelayHub hub{RelayHub::Hooks{[] { return 0; }, [](const std::string&) {}, {}, {}, {}, {}}, DeviceLimits{16, 4, 1 << 20}};
    auto sending = std::make_shared<FakePeer>();
    hub.deviceOpened(sending, rig.room, "u1", "s1", "there");
    hub.deviceMessage(sending.get(), false, Bytes(RelayLimits::maxDeviceRecordBytes, 1));
    EXPECT_FALSE(sending->closed);
    hub.deviceMessage(sending.get(), false, Bytes(RelayLimits::maxHeldBytes - RelayLimits::maxDeviceRecordBytes + 1, 1));
    EXPECT_EQ(sending->code(), 4408);
    EXPECT_EQ(hub.devices(), 0u);
}

// A link may land on another instance than the one first asked to let it
// go (that one stopped, say): while devices wait, the store is asked each
// second who holds it, and a holder not asked yet within the wait is asked.
// Nobody, this instance, or a link proving here is no one to ask.
TEST(RelayHubFleet, DevicesWaitingForALinkAskWhoeverHoldsItNow) {
    HubRig rig;
    auto phone = rig.device("u1", "s1", "stopped");
    ASSERT_EQ(rig.asks, (std::vector<std::string>{rig.room + " stopped"}));
    rig.hub.tick();
    ASSERT_EQ(rig.holderQuestions, (std::vector<std::vector<std::string>>{{rig.room}}));
    struct Step {
        const char* why;
        std::string holder;
        std::vector<std::string> asked;  // since the step before
    };
    const std::vector<Step> steps = {
        {"the one asked already", "stopped", {}},
        {"nobody holds it", "", {}},
        {"this instance, by the store's word", "here", {}},
        {"another instance took it", "third", {rig.room + " third"}},
        {"and is asked once a wait", "third", {}},
    };
    for (const auto& step : steps) {
        rig.asks.clear();
        rig.hub.holderIs(rig.room, step.holder);
        EXPECT_EQ(rig.asks, step.asked) << step.why;
    }
    rig.hub.holderIs("0123456789abcdef0123456789abcdef", "third");
    EXPECT_TRUE(rig.asks.empty()) << "a room with nobody waiting here";

    // A link proving here is on its way: nobody else is asked, and the
    // room is not asked about.
    auto link = rig.proving();
    rig.asks.clear();
    rig.hub.holderIs(rig.room, "fourth");
    EXPECT_TRUE(rig.asks.empty());
    rig.holderQuestions.clear();
    rig.hub.tick();
    EXPECT_TRUE(rig.holderQuestions.empty());
    rig.prove(*link);
    EXPECT_FALSE(phone->closed);
    EXPECT_TRUE(rig.logged("device 1 joined room " + rig.room + " after waiting"));
}

// A link still proving here goes too, and the devices waiting for it dial
// again where the proxy now sends them.
TEST(RelayHubFleet, LettingARoomGoEndsALinkOnItsWayAndTheDevicesWaitingForIt) {
    HubRig rig;
    auto onItsWay = rig.proving();
    auto device = rig.device();
    ASSERT_FALSE(device->closed);
    rig.hub.letGo(rig.room);
    EXPECT_EQ(onItsWay->closed, (std::pair<int, std::string>{4421, "moved"}));
    EXPECT_EQ(device->code(), 1001);
    EXPECT_EQ(rig.hub.devices(), 0u);
    EXPECT_EQ(rig.hub.links(), 0u);
    EXPECT_TRUE(rig.changes.empty());
    EXPECT_TRUE(rig.logged("ended before it proved"));
    // A room with nothing here is nothing to let go.
    const auto lines = rig.logs.size();
    rig.hub.letGo("0123456789abcdef0123456789abcdef");
    EXPECT_EQ(rig.logs.size(), lines);
}

TEST(RelayHubFleet, ASignOutClosesThatSignInsDevicesOnly) {
    HubRig rig;
    auto link = rig.link();
    auto phone = rig.device("u1", "signed-out"), other = rig.device("u1", "still-in");
    auto elsewhere = std::make_shared<FakePeer>();
    rig.hub.deviceOpened(elsewhere, "0123456789abcdef0123456789abcdef", "u1", "signed-out", "there");
    ASSERT_FALSE(elsewhere->closed);
    rig.hub.signedOut("signed-out");
    EXPECT_EQ(phone->closed, (std::pair<int, std::string>{4401, "ticket-refused"}));
    EXPECT_EQ(elsewhere->code(), 4401);
    EXPECT_FALSE(other->closed);
    EXPECT_EQ(link->texts.back(), R"({"t":"left","c":1})");
    rig.hub.signedOut("never-here");
    EXPECT_EQ(rig.hub.devices(), 1u);
}

}  // namespace
}  // namespace morvane::relay_service::testing
