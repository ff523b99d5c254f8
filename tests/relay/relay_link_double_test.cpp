// The link against the relay double, over TLS with certificate checks on:
// the faults of a relay's sockets that the relay service has no test hook
// for yet (relay_link_test.cpp has the rest, against the service itself).
#include "relay_double.h"
#include "relay_link_rig.h"

namespace morvane {
namespace {

using testing::RelayDouble;
using namespace link_rig;

RelayDouble::Options tlsFor(std::vector<std::string> names, std::vector<std::string> addresses) {
    const auto issued = authority().issue(names, addresses);
    RelayDouble::Options o;
    o.tls = true;
    o.certificatePem = issued.certificatePem;
    o.keyPem = issued.keyPem;
    return o;
}

// Signs in and registers the identity on the double, as a set-up would.
void registerOn(RelayDouble& relay, const RelayIdentity& identity, const std::string& scheme = "https") {
    auto http = std::make_shared<BeastRelayHttp>(RelayAccount::maxAnswerBytes);
    auto account = RelayAccount::create(relay.origin(scheme), http, systemWallMillis);
    await<std::monostate>([&](auto done) { account->sendCode("o@example.com", "l", done); });
    const auto session = await<RelayAccountSession>([&](auto done) { account->verify("o@example.com", "l", "123456", done); });
    ASSERT_TRUE(std::holds_alternative<RelayAccountSession>(session));
    await<bool>([&](auto done) { account->registerHost(identity, std::get<RelayAccountSession>(session), "box", done); });
}

TEST(RelayOverTls, RelayFaultsEndInTheirStates) {
    struct Case {
        const char* name;
        std::function<void(RelayDouble&)> fault;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"wrong subprotocol", [](RelayDouble& r) { r.chooseSubprotocol("other.v1"); }, "state backing-off"},
        {"no subprotocol", [](RelayDouble& r) { r.chooseSubprotocol(""); }, "state backing-off"},
        {"silent relay", [](RelayDouble& r) { r.stallHosts(true); }, "state backing-off"},
        {"slow relay", [](RelayDouble& r) { r.slowWrites(std::chrono::milliseconds(800)); }, "state backing-off"},
    };
    for (const auto& c : cases) {
        RelayDouble relay(tlsFor({"localhost"}, {}));
        const RelayIdentity identity{P256PrivateKey::generate(), P256PrivateKey::generate(), 0};
        registerOn(relay, identity);
        c.fault(relay);
        LinkRig rig(relay.origin("wss"), identity);
        rig.link->turnOn();
        EXPECT_TRUE(rig.watch->saw(c.expected)) << c.name;
        EXPECT_EQ(rig.watch->count("state up"), 0) << c.name;
    }
}

TEST(RelayOverTls, BadMessagesAndClosesWhileUpEndTheSession) {
    // The log line, by its start and its end: how many seconds the link
    // was up, between them, depends on how busy the machine is.
    struct Case {
        const char* name;
        std::function<void(RelayDouble&)> fault;
        std::string starts;
        std::string ends;
    };
    const std::vector<Case> cases = {
        {"garbage text", [](RelayDouble& r) { r.sendGarbageToHosts(); }, "link: down after ", " s (error)"},
        {"refused", [](RelayDouble& r) { r.closeHosts(4401); }, "link: refused by the relay (4401)", ""},
    };
    for (const auto& c : cases) {
        RelayDouble relay(tlsFor({"localhost"}, {}));
        const RelayIdentity identity{P256PrivateKey::generate(), P256PrivateKey::generate(), 0};
        registerOn(relay, identity);
        LinkRig rig(relay.origin("wss"), identity);
        rig.link->turnOn();
        ASSERT_TRUE(rig.watch->saw("state up")) << c.name;
        c.fault(relay);
        const auto line = rig.watch->sawStarting(c.starts);
        EXPECT_TRUE(line && line->ends_with(c.ends)) << c.name << ": " << line.value_or("no such line");
        EXPECT_TRUE(rig.watch->saw("down")) << c.name;
    }
}

TEST(RelayLink, AFrameThatBreaksTheProtocolEndsTheLinkAtOnceAsAnError) {
    // The double reads nothing after the frame and keeps the connection
    // open, so only the host can end it; the pong it waits for otherwise
    // comes 35 s later, past the wait here.
    struct Case {
        const char* name;
        Bytes frame;
    };
    const std::vector<Case> cases = {
        {"message one byte over the limit", frame(0x2, HostRelayLink::maxIncomingMessage + 1)},
        {"text message over the limit", frame(0x1, 70'000)},
        {"reserved opcode", frame(0x3, 0)},
    };
    for (const bool tls : {false, true}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (tls ? " over TLS" : " in plain"));
            RelayDouble relay(tls ? tlsFor({"localhost"}, {}) : RelayDouble::Options{});
            const RelayIdentity identity{P256PrivateKey::generate(), P256PrivateKey::generate(), 0};
            registerOn(relay, identity, tls ? "https" : "http");
            LinkRig rig(tls ? relay.origin("wss") : relay.origin("ws", "127.0.0.1"), identity);
            rig.link->turnOn();
            ASSERT_TRUE(rig.watch->saw("state up"));
            relay.sendRawToHosts(c.frame);
            EXPECT_TRUE(rig.watch->saw("link: down after 0 s (error)", 1, 5s));
            EXPECT_EQ(rig.watch->count("link: down after 0 s (closed-by-relay)"), 0);
            EXPECT_TRUE(rig.watch->saw("down"));
        }
    }
}

}  // namespace
}  // namespace morvane
