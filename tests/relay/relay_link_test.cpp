// The host's link and account client against the relay service itself (the
// whole of morvane-relay in this process, over an in-memory store), over
// TLS with certificate checks on: what a new owner does, end to end, what
// the host makes of a relay that misbehaves (the service's test faults),
// and what it says of one that refuses it or cannot be reached.
#include <filesystem>
#include <map>
#include <thread>

#include <boost/asio/read_until.hpp>
#include <boost/asio/write.hpp>

#include <nlohmann/json.hpp>

#include "misbehaving_front.h"
#include "relay/relay_controller.h"
#include "relay_link_rig.h"
#include "relay_test_device.h"
#include "service_rig.h"

namespace morvane {
namespace {

using namespace link_rig;
using relay_service::RelayServerOptions;
using morvane::testing::FrontFaults;
using morvane::testing::MisbehavingFront;
using relay_service::testing::exchange;
using relay_service::testing::ServiceRig;
using json = nlohmann::json;

// The relay service over TLS with a certificate for `names` from the CA the
// host trusts; with faults, behind the test's front that ends TLS and
// misbehaves as they say.
struct TlsRelay {
    std::filesystem::path folder;
    std::unique_ptr<ServiceRig> relay;
    std::unique_ptr<MisbehavingFront> front;

    TlsRelay(std::vector<std::string> names, std::vector<std::string> addresses,
             std::optional<FrontFaults> faults = std::nullopt) {
        static int made = 0;
        folder = std::filesystem::temp_directory_path() /
                 ("morvane-relay-link-" + std::to_string(::getpid()) + "-" + std::to_string(++made));
        const auto issued = authority().issue(names, addresses);
        if (!faults) {
            relay = std::make_unique<ServiceRig>(relay_service::testing::tlsOptions(folder, issued.certificatePem, issued.keyPem));
            return;
        }
        relay = std::make_unique<ServiceRig>(RelayServerOptions{"127.0.0.1", 0, "", ""});
        front = std::make_unique<MisbehavingFront>(issued.certificatePem, issued.keyPem, relay->port(), *faults);
    }
    // Plain HTTP on 127.0.0.1.
    TlsRelay() : relay(std::make_unique<ServiceRig>(RelayServerOptions{"127.0.0.1", 0, "", ""})), plain(true) {}
    ~TlsRelay() {
        front.reset();
        relay.reset();
        std::filesystem::remove_all(folder);
    }
    ServiceRig* operator->() { return relay.get(); }
    ServiceRig& operator*() { return *relay; }
    std::uint16_t port() const { return front ? front->port() : relay->port(); }
    std::string origin(const std::string& scheme) const {
        return scheme + "://" + (plain ? "127.0.0.1" : "localhost") + ":" + std::to_string(port());
    }
    bool plain = false;

    // The registered computers, by room: their names.
    std::map<std::string, std::string> hosts() {
        std::map<std::string, std::string> named;
        relay->onStore([&] {
            for (const auto& [room, host] : relay->store.hosts) named[room] = host.name;
        });
        return named;
    }
    // Whether any line of its log has `part`.
    bool logHas(const std::string& part) {
        const auto lines = relay->logs();
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(part) != std::string::npos; });
    }
};

FrontFaults linksRefused(int status) {
    FrontFaults faults;
    faults.refuseLinks = status;
    return faults;
}
FrontFaults callsRefused(int status) {
    FrontFaults faults;
    faults.refuseAccountCalls = status;
    return faults;
}

// Signs in with the code the relay sent and registers the identity, as a
// set-up would.
void registerOn(TlsRelay& relay, const RelayIdentity& identity) {
    auto http = std::make_shared<BeastRelayHttp>(RelayAccount::maxAnswerBytes, testNames);
    auto account = RelayAccount::create(relay.origin(relay.plain ? "http" : "https"), http, systemWallMillis);
    await<bool>([&](auto done) { account->sendCode("o@example.com", "l", done); });
    const auto session = await<RelayAccountSession>(
        [&](auto done) { account->verify("o@example.com", "l", relay->codeFor("o@example.com"), done); });
    ASSERT_TRUE(std::holds_alternative<RelayAccountSession>(session));
    await<bool>([&](auto done) { account->registerHost(identity, std::get<RelayAccountSession>(session), "box", done); });
}

// A phone's ticket for the room, signed in to the account as the page does.
std::string phoneTicket(TlsRelay& relay, const std::string& email, const std::string& room) {
    const auto origin = relay.origin("https");
    exchange(origin, "POST", "/v1/auth/code", json{{"email", email}, {"login_id", "page"}}.dump());
    const auto verified = json::parse(
        exchange(origin, "POST", "/v1/auth/verify",
                 json{{"email", email}, {"login_id", "page"}, {"code", relay->codeFor(email)}, {"client", "web"}}.dump())
            .body,
        nullptr, false);
    if (!verified.contains("access_token")) return "";
    const auto answer = json::parse(
        exchange(origin, "POST", "/v1/hosts/" + room + "/ticket", "{}", verified["access_token"]).body, nullptr, false);
    return answer.contains("ticket") ? answer["ticket"].get<std::string>() : "";
}

TEST(RelayOverTls, ANewOwnerSignsInRegistersAndStaysReachable) {
    TlsRelay relay({"localhost"}, {"127.0.0.1"});
    auto http = std::make_shared<BeastRelayHttp>(RelayAccount::maxAnswerBytes, testNames);
    auto account = RelayAccount::create(relay.origin("https"), http, systemWallMillis);
    ASSERT_TRUE(account);
    const std::string email = "owner@example.com", login = RelayAccount::newLoginID();

    const auto sent = await<bool>([&](auto done) { account->sendCode(email, login, done); });
    EXPECT_EQ(sent, RelayAccountResult<bool>(true));
    EXPECT_EQ(relay->codesSentTo(), std::vector<std::string>{email});
    const auto code = relay->codeFor(email);
    const auto wrong = await<RelayAccountSession>(
        [&](auto done) { account->verify(email, login, code == "654321" ? "123456" : "654321", done); });
    ASSERT_TRUE(std::holds_alternative<RelayAccountFailure>(wrong));
    EXPECT_EQ(RelayAccountTexts::text(std::get<RelayAccountFailure>(wrong), RelayAccountTexts::Step::verify),
              RelayAccountTexts::wrongCode);
    const auto verified = await<RelayAccountSession>([&](auto done) { account->verify(email, login, code, done); });
    ASSERT_TRUE(std::holds_alternative<RelayAccountSession>(verified));
    const auto session = std::get<RelayAccountSession>(verified);
    EXPECT_EQ(session.email, email);

    const RelayIdentity identity{P256PrivateKey::generate(), P256PrivateKey::generate(), systemWallMillis()};
    const auto room = RelayBytes::hex(identity.roomID());
    EXPECT_EQ(await<bool>([&](auto done) { account->registerHost(identity, session, "Study desk", done); }),
              RelayAccountResult<bool>(true));
    EXPECT_EQ(await<bool>([&](auto done) { account->registerHost(identity, session, "Study desk", done); }),
              RelayAccountResult<bool>(false));
    EXPECT_EQ(relay.hosts(), (std::map<std::string, std::string>{{room, "Study desk"}}));

    // The link comes up: challenge answered, welcomed into its own room.
    LinkRig rig(relay.origin("wss"), identity);
    rig.link->turnOn();
    ASSERT_TRUE(rig.watch->saw("state up"));
    EXPECT_EQ(relay->links(), 1u);
    EXPECT_TRUE(rig.watch->saw("up 0"));

    // A device joins, exchanges records by connection id, and leaves.
    {
        testing::RelayTestDevice device(relay.origin("wss"), room + "?ticket=" + phoneTicket(relay, email, room));
        ASSERT_TRUE(rig.watch->saw("joined 1"));
        device.send(Bytes{0x20, 0xab});
        EXPECT_TRUE(rig.watch->saw("record 1 2 20ab"));
        rig.send(1, Bytes{0x20, 0xcd});
        EXPECT_EQ(device.receive(), (Bytes{0x20, 0xcd}));
    }
    EXPECT_TRUE(rig.watch->saw("left 1"));

    // The relay restarts: the link backs off and comes back by itself.
    relay->stop();
    ASSERT_TRUE(rig.watch->saw("down"));
    relay->start();
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

    // Removed from the account, the relay ends the link itself: not on the
    // account.
    EXPECT_EQ(await<std::monostate>([&](auto done) { account->removeSelf(identity, done); }),
              RelayAccountResult<std::monostate>(std::monostate{}));
    EXPECT_TRUE(relay.hosts().empty());
    ASSERT_TRUE(rig.watch->saw("state not-on-account"));
    EXPECT_TRUE(rig.watch->sawStarting("link: this computer is not on the account ("));

    EXPECT_EQ(await<std::monostate>([&](auto done) { account->signOut(session.refreshToken, done); }),
              RelayAccountResult<std::monostate>(std::monostate{}));
}

TEST(RelayOverTls, ACertificateForAnotherNameIsRefused) {
    TlsRelay relay({"relay.other.example"}, {});
    auto http = std::make_shared<BeastRelayHttp>(RelayAccount::maxAnswerBytes, testNames);
    auto account = RelayAccount::create(relay.origin("https"), http, systemWallMillis);
    const auto sent = await<bool>([&](auto done) { account->sendCode("owner@example.com", "l", done); });
    EXPECT_EQ(sent, RelayAccountResult<bool>(RelayAccountFailure::of(RelayAccountFailure::Kind::untrusted)));

    const RelayIdentity identity{P256PrivateKey::generate(), P256PrivateKey::generate(), 0};
    LinkRig rig(relay.origin("wss"), identity);
    rig.link->turnOn();
    ASSERT_TRUE(rig.watch->saw("state backing-off"));
    EXPECT_EQ(rig.watch->count("state proving"), 0);
    // Neither the call nor the link got past the handshake to the relay.
    EXPECT_TRUE(relay->codesSentTo().empty());
    EXPECT_FALSE(relay.logHas("link for room"));
    EXPECT_FALSE(relay.logHas("refused link"));
    EXPECT_FALSE(relay.logHas("owner@example.com"));
}

FrontFaults subprotocol(std::string word) {
    FrontFaults faults;
    faults.linkSubprotocol = std::move(word);
    return faults;
}
FrontFaults held(std::chrono::milliseconds time) {
    FrontFaults faults;
    faults.holdLinks = time;
    return faults;
}

TEST(RelayOverTls, RelayFaultsEndInTheirStates) {
    struct Case {
        const char* name;
        std::optional<FrontFaults> faults;
        bool registered;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"refused upgrade", linksRefused(403), true, "link: refused by the relay (403)"},
        {"unknown host", {}, false, "state not-on-account"},
        {"wrong subprotocol", subprotocol("other.v1"), true, "state backing-off"},
        {"no subprotocol", subprotocol(""), true, "state backing-off"},
        {"silent relay", held(std::chrono::hours(1)), true, "state backing-off"},
        {"slow relay", held(std::chrono::milliseconds(800)), true, "state backing-off"},
    };
    for (const auto& c : cases) {
        TlsRelay relay({"localhost"}, {}, c.faults);
        const RelayIdentity identity{P256PrivateKey::generate(), P256PrivateKey::generate(), 0};
        if (c.registered) registerOn(relay, identity);
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
        // What goes wrong; what it returns is kept until the case ends.
        std::function<std::shared_ptr<void>(TlsRelay&, const RelayIdentity&)> fault;
        std::string starts;
        std::string ends;
    };
    const auto onLinks = [](std::function<void(relay_service::RelayPeer&)> misbehave) {
        return [misbehave](TlsRelay& relay, const RelayIdentity&) -> std::shared_ptr<void> {
            relay->eachLink(misbehave);
            return nullptr;
        };
    };
    const std::vector<Case> cases = {
        {"garbage text", onLinks([](relay_service::RelayPeer& p) { p.sendText("{\"t\":\"garbage\""); }),
         "link: down after ", " s (error)"},
        // A newer link of the same computer replaces the one that was up.
        {"replaced",
         [](TlsRelay& relay, const RelayIdentity& identity) -> std::shared_ptr<void> {
             auto newer = std::make_shared<LinkRig>(relay.origin("wss"), identity);
             newer->link->turnOn();
             return newer;
         },
         "link: down after ", " s (replaced)"},
        {"refused", onLinks([](relay_service::RelayPeer& p) { p.close(4401, "refused"); }),
         "link: refused by the relay (4401)", ""},
    };
    for (const auto& c : cases) {
        TlsRelay relay({"localhost"}, {});
        const RelayIdentity identity{P256PrivateKey::generate(), P256PrivateKey::generate(), 0};
        registerOn(relay, identity);
        LinkRig rig(relay.origin("wss"), identity);
        rig.link->turnOn();
        ASSERT_TRUE(rig.watch->saw("state up")) << c.name;
        const auto kept = c.fault(relay, identity);
        const auto line = rig.watch->sawStarting(c.starts);
        EXPECT_TRUE(line && line->ends_with(c.ends)) << c.name << ": " << line.value_or("no such line");
        EXPECT_TRUE(rig.watch->saw("down")) << c.name;
    }
}

TEST(RelayLink, AFrameThatBreaksTheProtocolEndsTheLinkAtOnceAsAnError) {
    // The frame goes out past the relay's framing; the pong the host waits
    // for otherwise comes 35 s later, past the wait here, so only the
    // frame can end the link within it.
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
            auto relay = tls ? std::make_unique<TlsRelay>(std::vector<std::string>{"localhost"}, std::vector<std::string>{})
                             : std::make_unique<TlsRelay>();
            const RelayIdentity identity{P256PrivateKey::generate(), P256PrivateKey::generate(), 0};
            registerOn(*relay, identity);
            LinkRig rig(relay->origin(tls ? "wss" : "ws"), identity);
            rig.link->turnOn();
            ASSERT_TRUE(rig.watch->saw("state up"));
            (*relay)->eachLink([&](relay_service::RelayPeer& p) { p.sendUnframed(c.frame); });
            EXPECT_TRUE(rig.watch->saw("link: down after 0 s (error)", 1, 5s));
            EXPECT_EQ(rig.watch->count("link: down after 0 s (closed-by-relay)"), 0);
            EXPECT_TRUE(rig.watch->saw("down"));
        }
    }
}

TEST(RelayLink, EveryFailedAttemptSaysWhyWithTheAddress) {
    // A listener that never accepts: the TCP connection is made by the
    // kernel, the TLS handshake then waits for good.
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor silent(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
    const auto silentPort = std::to_string(silent.local_endpoint().port());
    const RefusingPort refusing;
    const auto refusedPort = refusing.text();

    TlsRelay otherName({"relay.other.example"}, {});
    TlsRelay refusingLinks({"localhost"}, {}, linksRefused(403));
    const auto port = [](TlsRelay& r) { return std::to_string(r.port()); };
    struct Case {
        const char* name;
        std::string base;
        std::string line;
        // It answered: the certificate is named, with what to do.
        bool untrusted = false;
        // Long enough for a handshake on a busy machine, but for the relay
        // that never answers.
        double connectSeconds = 15;
    };
    const std::string notTrusted = "localhost:" + port(otherName) + ": certificate not trusted for localhost (hostname mismatch)";
    const std::vector<Case> cases = {
        {"name not found", "wss://no-such-relay.invalid", "link: no-such-relay.invalid:443: name not found"},
        {"connection refused", "ws://127.0.0.1:" + refusedPort, "link: 127.0.0.1:" + refusedPort + ": connection refused"},
        {"certificate for another name", otherName.origin("wss"),
         "link: " + notTrusted + ". " + untrustedCertificateAdvice, true},
        {"upgrade refused", refusingLinks.origin("wss"),
         "link: localhost:" + port(refusingLinks) + ": the relay refused the link with HTTP 403"},
        {"no answer", "wss://127.0.0.1:" + silentPort, "link: 127.0.0.1:" + silentPort + ": no answer within 1 s", false,
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const RelayIdentity identity{P256PrivateKey::generate(), P256PrivateKey::generate(), 0};
        LinkRig rig(c.base, identity, c.connectSeconds);
        rig.link->turnOn();
        EXPECT_TRUE(rig.watch->saw(c.line));
        EXPECT_TRUE(rig.watch->sawStarting("link: trying again in "));
        // An attempt the relay never answered is not the day's: the next
        // says why it failed rather than the same count alone.
        if (c.untrusted) {
            EXPECT_TRUE(rig.watch->sawStarting("link: connecting (attempt 1 of 200 today; this computer did not trust "
                                               "the relay's certificate the last try: " + notTrusted));
            HostRelayLink::Snapshot snapshot;
            runSync(rig.queue, [&] { snapshot = rig.link->snapshot(); });
            // The tray's words, however many tries have failed by now.
            const std::string tray = RelayController::unansweredLine(snapshot);
            EXPECT_EQ(tray.rfind("This computer did not trust the relay's certificate the last ", 0), 0u) << tray;
            EXPECT_TRUE(tray.ends_with(": " + notTrusted)) << tray;
        } else if (c.line.find("HTTP 403") == std::string::npos) {
            EXPECT_TRUE(rig.watch->sawStarting("link: connecting (attempt 1 of 200 today; the relay did not answer the "
                                               "last try: " + c.line.substr(6)));
        }
    }
}

// A relay of the test's own that answers every link's upgrade with the
// same bytes and closes: the answers a relay (or what stands before it)
// may break off half way.
struct CannedRelay {
    explicit CannedRelay(std::string answer) : answer(std::move(answer)) {
        serve();
        thread = std::thread([this] { io.run(); });
    }
    ~CannedRelay() {
        io.stop();
        thread.join();
    }
    void serve() {
        acceptor.async_accept([this](boost::system::error_code ec, boost::asio::ip::tcp::socket socket) {
            if (ec) return;
            std::string request;
            boost::asio::read_until(socket, boost::asio::dynamic_buffer(request), "\r\n\r\n", ec);
            boost::asio::write(socket, boost::asio::buffer(answer), ec);
            serve();
        });
    }
    std::string answer;
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor acceptor{io, {boost::asio::ip::make_address("127.0.0.1"), 0}};
    std::thread thread;
};

TEST(RelayLink, AnUpgradeBrokenOffOrAnsweredWronglyIsNamedAndOnlyAWholeAnswerIsCounted) {
    const struct {
        std::string answer, line;
        bool counted;  // against the day's attempts
    } cases[] = {
        {"", "the relay closed the connection without answering the link's upgrade", false},
        {"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n", "the relay broke off its answer to the link's upgrade",
         false},
        {"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n",
         "the relay answered the link's upgrade with HTTP 101 but not as a WebSocket (", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        CannedRelay relay(c.answer);
        const auto at = "127.0.0.1:" + std::to_string(relay.acceptor.local_endpoint().port());
        LinkRig rig("ws://" + at, RelayIdentity{P256PrivateKey::generate(), P256PrivateKey::generate(), 0}, 5);
        rig.link->turnOn();
        const auto line = rig.watch->sawStarting("link: " + at + ": ");
        EXPECT_EQ(line.value_or("").rfind("link: " + at + ": " + c.line, 0), 0u) << line.value_or("no line");
        // The next attempt says how many the day has counted, and what
        // failed in those it did not count.
        if (c.counted) {
            EXPECT_TRUE(rig.watch->saw("link: connecting (attempt 2 of 200 today)"));
        } else {
            EXPECT_TRUE(rig.watch->sawStarting("link: connecting (attempt 1 of 200 today; the relay did not answer the "
                                               "last try: " + at + ": " + c.line));
        }
    }
}

TEST(RelayAccountOverSockets, AFailedCallSaysWhyWithTheAddress) {
    TlsRelay otherName({"relay.other.example"}, {});
    TlsRelay failing({"localhost"}, {}, callsRefused(500));
    const RefusingPort refused;
    const auto refusedPort = refused.text();
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
         "untrusted: localhost:" + std::to_string(otherName->port()) +
             ": certificate not trusted for localhost (hostname mismatch). " + untrustedCertificateAdvice},
        {"server error", failing.origin("https"),
         "refused: localhost:" + std::to_string(failing.port()) + " answered with HTTP 500"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto http = std::make_shared<BeastRelayHttp>(RelayAccount::maxAnswerBytes, testNames);
        auto account = RelayAccount::create(c.origin, http, systemWallMillis);
        ASSERT_TRUE(account);
        const auto sent = await<bool>([&](auto done) { account->sendCode("owner@example.com", "l", done); });
        ASSERT_TRUE(std::holds_alternative<RelayAccountFailure>(sent));
        EXPECT_EQ(std::get<RelayAccountFailure>(sent).describe(), c.why);
    }
}

}  // namespace
}  // namespace morvane
