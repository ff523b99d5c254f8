// The link and the account client against the relay double, over TLS with
// certificate checks on: what a new owner does, end to end.
#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <condition_variable>
#include <mutex>

#include "relay/beast_relay_socket.h"
#include "relay/host_relay_link.h"
#include "relay/relay_account.h"
#include "relay/relay_bytes.h"
#include "relay_double.h"
#include "server/server_queue.h"
#include "test_certificates.h"

namespace morvane {
namespace {

using testing::RelayDouble;
using Kind = HostRelayLink::State::Kind;
using namespace std::chrono_literals;

testing::TestCertificateAuthority& authority() {
    static testing::TestCertificateAuthority ca;
    static const bool trusted = (ca.trustThroughEnvironment(), true);
    (void)trusted;
    return ca;
}

RelayDouble::Options tlsFor(std::vector<std::string> names, std::vector<std::string> addresses) {
    const auto issued = authority().issue(names, addresses);
    RelayDouble::Options o;
    o.tls = true;
    o.certificatePem = issued.certificatePem;
    o.keyPem = issued.keyPem;
    return o;
}

// Everything the link reports, kept for the test thread.
class Watch final : public RelayLinkDelegate {
public:
    void relayLinkUp(const std::vector<RelayConnectionID>& devices) override { add("up " + std::to_string(devices.size())); }
    void relayLinkDown() override { add("down"); }
    void relayLinkJoined(RelayConnectionID id) override { add("joined " + std::to_string(id)); }
    void relayLinkLeft(RelayConnectionID id) override { add("left " + std::to_string(id)); }
    void relayLinkReceived(RelayConnectionID id, Bytes record) override {
        add("record " + std::to_string(id) + " " + RelayBytes::hex(record));
    }
    void relayLinkQuotaReached() override { add("quota"); }
    void state(const HostRelayLink::Snapshot& s) { add("state " + std::string(s.state.word())); }
    void log(const std::string& line) { add(line); }

    // Waits until a line starting with `prefix` has been seen; returns it.
    std::optional<std::string> sawStarting(const std::string& prefix, std::chrono::milliseconds wait = 10s) {
        std::unique_lock guard(lock_);
        std::optional<std::string> found;
        changed_.wait_for(guard, wait, [&] {
            for (const auto& line : lines_)
                if (line.rfind(prefix, 0) == 0) found = line;
            return found.has_value();
        });
        return found;
    }

    // Waits until the line has been seen `count` times in all.
    bool saw(const std::string& line, int count = 1, std::chrono::milliseconds wait = 10s) {
        std::unique_lock guard(lock_);
        return changed_.wait_for(guard, wait, [&] { return std::count(lines_.begin(), lines_.end(), line) >= count; });
    }
    int count(const std::string& line) {
        std::lock_guard guard(lock_);
        return static_cast<int>(std::count(lines_.begin(), lines_.end(), line));
    }

private:
    void add(std::string line) {
        std::lock_guard guard(lock_);
        lines_.push_back(std::move(line));
        changed_.notify_all();
    }
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
};

// Runs one account call and waits for its answer. The box is shared with
// the answering call, which may outlive this wait.
template <class T, class Call>
RelayAccountResult<T> await(Call call) {
    auto pending = std::make_shared<RelayPending<RelayAccountResult<T>>>();
    call([pending](RelayAccountResult<T> r) { pending->set(std::move(r)); });
    EXPECT_TRUE(pending->wait(20));
    return pending->value().value_or(RelayAccountFailure::of(RelayAccountFailure::Kind::cancelled));
}

// A network path the test switches, reporting on the link's queue.
struct SwitchedPath {
    ServerQueue* queue;
    std::function<void(bool)> handler;
    std::mutex lock;
    void report(bool satisfied) {
        queue->post([this, satisfied] {
            std::lock_guard guard(lock);
            if (handler) handler(satisfied);
        });
    }
};

class SwitchedPathMonitor final : public NetworkPathMonitor {
public:
    explicit SwitchedPathMonitor(SwitchedPath* path) : path_(path) {}
    void start(std::function<void(bool)> handler) override {
        std::lock_guard guard(path_->lock);
        path_->handler = std::move(handler);
    }
    void cancel() override {
        std::lock_guard guard(path_->lock);
        path_->handler = nullptr;
    }

private:
    SwitchedPath* path_;
};

// Signs in and registers the identity on the double, as a set-up would.
void registerOn(RelayDouble& relay, const RelayIdentity& identity, const std::string& scheme = "https") {
    auto http = std::make_shared<BeastRelayHttp>(RelayAccount::maxAnswerBytes);
    auto account = RelayAccount::create(relay.origin(scheme), http, systemWallMillis);
    await<std::monostate>([&](auto done) { account->sendCode("o@example.com", "l", done); });
    const auto session = await<RelayAccountSession>([&](auto done) { account->verify("o@example.com", "l", "123456", done); });
    ASSERT_TRUE(std::holds_alternative<RelayAccountSession>(session));
    await<bool>([&](auto done) { account->registerHost(identity, std::get<RelayAccountSession>(session), "box", done); });
}

struct LinkRig {
    ServerQueue queue{"relay-link-test"};
    std::shared_ptr<Watch> watch = std::make_shared<Watch>();
    SwitchedPath path{&queue, {}, {}};
    std::shared_ptr<HostRelayLink> link;

    LinkRig(const std::string& base, const RelayIdentity& identity, double connectSeconds = 15) {
        HostRelayLink::Options o{.baseURL = base, .identity = identity, .queue = &queue};
        o.timing.connectSeconds = connectSeconds;
        o.counters = std::make_shared<MemoryCounterStorage>();
        o.sockets = std::make_shared<BeastRelaySocketFactory>(queue.context());
        o.unit = 0.02;
        o.timing.wakeDelaySeconds = 0.05;
        o.timing.pathBackDelaySeconds = 0.05;
        o.timing.proveSeconds = 0.5;
        o.pathMonitor = [this] { return std::make_unique<SwitchedPathMonitor>(&path); };
        link = HostRelayLink::create(std::move(o));
        link->setDelegate(watch);
        link->log = [w = watch.get()](const std::string& line) { w->log(line); };
        link->onChange = [w = watch.get()](const HostRelayLink::Snapshot& s) { w->state(s); };
    }
    ~LinkRig() {
        runSync(queue, [this] { link->turnOffOnQueue(); });
        runSync(queue, [this] { link.reset(); });
        queue.shutdown();
    }
    void send(RelayConnectionID id, Bytes record) {
        queue.post([this, id, record] { link->send(id, record, [](bool) {}); });
    }
};

TEST(RelayOverTls, ANewOwnerSignsInRegistersAndStaysReachable) {
    RelayDouble relay(tlsFor({"localhost"}, {"127.0.0.1"}));
    auto http = std::make_shared<BeastRelayHttp>(RelayAccount::maxAnswerBytes);
    auto account = RelayAccount::create(relay.origin("https"), http, systemWallMillis);
    ASSERT_TRUE(account);
    const std::string email = "owner@example.com", login = RelayAccount::newLoginID();

    const auto sent = await<std::monostate>([&](auto done) { account->sendCode(email, login, done); });
    EXPECT_EQ(sent, RelayAccountResult<std::monostate>(std::monostate{}));
    EXPECT_EQ(relay.codesSentTo(), std::vector<std::string>{email});
    const auto wrong = await<RelayAccountSession>([&](auto done) { account->verify(email, login, "654321", done); });
    ASSERT_TRUE(std::holds_alternative<RelayAccountFailure>(wrong));
    EXPECT_EQ(RelayAccountTexts::text(std::get<RelayAccountFailure>(wrong), RelayAccountTexts::Step::verify),
              RelayAccountTexts::wrongCode);
    const auto verified = await<RelayAccountSession>([&](auto done) { account->verify(email, login, "123456", done); });
    ASSERT_TRUE(std::holds_alternative<RelayAccountSession>(verified));
    const auto session = std::get<RelayAccountSession>(verified);
    EXPECT_EQ(session.email, email);

    const RelayIdentity identity{P256PrivateKey::generate(), P256PrivateKey::generate(), systemWallMillis()};
    EXPECT_EQ(await<bool>([&](auto done) { account->registerHost(identity, session, "Study desk", done); }),
              RelayAccountResult<bool>(true));
    EXPECT_EQ(await<bool>([&](auto done) { account->registerHost(identity, session, "Study desk", done); }),
              RelayAccountResult<bool>(false));
    ASSERT_EQ(relay.hosts().size(), 1u);
    EXPECT_EQ(relay.hosts()[0].publicKey, identity.hostPublicKeyText());
    EXPECT_EQ(relay.hosts()[0].name, "Study desk");

    // The link comes up: challenge answered, welcomed into its own room.
    LinkRig rig(relay.origin("wss"), identity);
    const auto room = RelayBytes::hex(identity.roomID());
    rig.link->turnOn();
    ASSERT_TRUE(rig.watch->saw("state up"));
    EXPECT_TRUE(relay.hostUp(room));
    EXPECT_TRUE(rig.watch->saw("up 0"));

    // A device joins, exchanges records by connection id, and leaves.
    {
        testing::RelayTestDevice device(relay.origin("wss"), room);
        ASSERT_TRUE(rig.watch->saw("joined 1"));
        device.send(Bytes{0x20, 0xab});
        EXPECT_TRUE(rig.watch->saw("record 1 20ab"));
        rig.send(1, Bytes{0x20, 0xcd});
        EXPECT_EQ(device.receive(), (Bytes{0x20, 0xcd}));
    }
    EXPECT_TRUE(rig.watch->saw("left 1"));

    // The relay restarts: the link backs off and comes back by itself.
    relay.stop();
    ASSERT_TRUE(rig.watch->saw("down"));
    relay.start();
    ASSERT_TRUE(rig.watch->saw("state up", 2));

    // A network change while up is checked with a ping, which the relay
    // answers: the link stays up.
    rig.path.report(true);
    EXPECT_FALSE(rig.watch->saw("link: down after 0 s (network)", 1, 500ms));
    EXPECT_EQ(rig.watch->count("state up"), 2);

    // Sleep and wake.
    rig.link->systemWillSleep();
    ASSERT_TRUE(rig.watch->saw("state suspended"));
    rig.link->systemDidWake();
    ASSERT_TRUE(rig.watch->saw("state up", 3));

    // Removed from the account, the relay answers 410: not on the account.
    EXPECT_EQ(await<std::monostate>([&](auto done) { account->removeSelf(identity, done); }),
              RelayAccountResult<std::monostate>(std::monostate{}));
    EXPECT_TRUE(relay.hosts().empty());
    relay.closeHosts(1000);
    ASSERT_TRUE(rig.watch->saw("state not-on-account"));
    EXPECT_TRUE(rig.watch->saw("link: this computer is not on the account (410)"));

    EXPECT_EQ(await<std::monostate>([&](auto done) { account->signOut(session.refreshToken, done); }),
              RelayAccountResult<std::monostate>(std::monostate{}));
}

TEST(RelayOverTls, ACertificateForAnotherNameIsRefused) {
    RelayDouble relay(tlsFor({"relay.other.example"}, {}));
    auto http = std::make_shared<BeastRelayHttp>(RelayAccount::maxAnswerBytes);
    auto account = RelayAccount::create(relay.origin("https"), http, systemWallMillis);
    const auto sent = await<std::monostate>([&](auto done) { account->sendCode("owner@example.com", "l", done); });
    EXPECT_EQ(sent, RelayAccountResult<std::monostate>(RelayAccountFailure::of(RelayAccountFailure::Kind::unreachable)));
    EXPECT_EQ(relay.accountCalls(), 0);

    const RelayIdentity identity{P256PrivateKey::generate(), P256PrivateKey::generate(), 0};
    LinkRig rig(relay.origin("wss"), identity);
    rig.link->turnOn();
    ASSERT_TRUE(rig.watch->saw("state backing-off"));
    EXPECT_EQ(rig.watch->count("state proving"), 0);
    EXPECT_EQ(relay.hostUpgrades(), 0);
}

TEST(RelayOverTls, RelayFaultsEndInTheirStates) {
    struct Case {
        const char* name;
        std::function<void(RelayDouble&)> fault;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"refused upgrade", [](RelayDouble& r) { r.refuseUpgrades(403); }, "link: refused by the relay (403)"},
        {"unknown host", [](RelayDouble& r) { r.refuseUpgrades(410); }, "state not-on-account"},
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
        {"replaced", [](RelayDouble& r) { r.closeHosts(4409); }, "link: down after ", " s (replaced)"},
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

// One unmasked frame from the relay, built by hand: FIN, the opcode, the
// 64-bit length form, and a payload of that many bytes.
Bytes frame(std::uint8_t opcode, std::uint64_t length) {
    Bytes out{static_cast<std::uint8_t>(0x80 | opcode), 127};
    for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(length >> shift));
    out.resize(out.size() + length, 0x41);
    return out;
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

// A port on the loopback where nothing listens.
std::uint16_t closedPort() {
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor acceptor(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
    return acceptor.local_endpoint().port();
}

TEST(RelayLink, EveryFailedAttemptSaysWhyWithTheAddress) {
    // A listener that never accepts: the TCP connection is made by the
    // kernel, the TLS handshake then waits for good.
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor silent(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
    const auto silentPort = std::to_string(silent.local_endpoint().port());
    const auto refusedPort = std::to_string(closedPort());

    RelayDouble otherName(tlsFor({"relay.other.example"}, {}));
    RelayDouble refusing(tlsFor({"localhost"}, {}));
    refusing.refuseUpgrades(403);
    const auto port = [](RelayDouble& r) { return std::to_string(r.port()); };
    struct Case {
        const char* name;
        std::string base;
        std::string line;
    };
    const std::vector<Case> cases = {
        {"name not found", "wss://no-such-relay.invalid", "link: no-such-relay.invalid:443: name not found"},
        {"connection refused", "ws://127.0.0.1:" + refusedPort, "link: 127.0.0.1:" + refusedPort + ": connection refused"},
        {"certificate for another name", otherName.origin("wss"),
         "link: localhost:" + port(otherName) + ": certificate not trusted for localhost (hostname mismatch)"},
        {"upgrade refused", refusing.origin("wss"),
         "link: localhost:" + port(refusing) + ": the relay refused the link with HTTP 403"},
        {"no answer", "wss://127.0.0.1:" + silentPort, "link: 127.0.0.1:" + silentPort + ": no answer within 1 s"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const RelayIdentity identity{P256PrivateKey::generate(), P256PrivateKey::generate(), 0};
        LinkRig rig(c.base, identity, 1);
        rig.link->turnOn();
        EXPECT_TRUE(rig.watch->saw(c.line));
        EXPECT_TRUE(rig.watch->sawStarting("link: trying again in "));
    }
}

TEST(RelayAccountOverSockets, AFailedCallSaysWhyWithTheAddress) {
    RelayDouble otherName(tlsFor({"relay.other.example"}, {}));
    RelayDouble failing(tlsFor({"localhost"}, {}));
    failing.refuseNextAccountCall({500, "", std::nullopt});
    const auto refusedPort = std::to_string(closedPort());
    struct Case {
        const char* name;
        std::string origin;
        std::string why;
    };
    const std::vector<Case> cases = {
        {"name not found", "https://no-such-relay.invalid", "unreachable: no-such-relay.invalid:443: name not found"},
        {"connection refused", "http://127.0.0.1:" + refusedPort,
         "unreachable: 127.0.0.1:" + refusedPort + ": connection refused"},
        {"certificate for another name", otherName.origin("https"),
         "unreachable: localhost:" + std::to_string(otherName.port()) +
             ": certificate not trusted for localhost (hostname mismatch)"},
        {"server error", failing.origin("https"),
         "refused: localhost:" + std::to_string(failing.port()) + " answered with HTTP 500"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto http = std::make_shared<BeastRelayHttp>(RelayAccount::maxAnswerBytes);
        auto account = RelayAccount::create(c.origin, http, systemWallMillis);
        ASSERT_TRUE(account);
        const auto sent = await<std::monostate>([&](auto done) { account->sendCode("owner@example.com", "l", done); });
        ASSERT_TRUE(std::holds_alternative<RelayAccountFailure>(sent));
        EXPECT_EQ(std::get<RelayAccountFailure>(sent).describe(), c.why);
    }
}

}  // namespace
}  // namespace morvane
