// The service over real sockets on loopback, driven by the host's own
// account client and link and by devices as the page would connect: what
// an owner does, and what the service refuses.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <boost/beast/websocket.hpp>
#include <nlohmann/json.hpp>

#include "core/secure.h"
#include "relay/beast_relay_socket.h"
#include "relay/host_relay_link.h"
#include "relay/relay_account.h"
#include "relay/relay_bytes.h"
#include "../app/manual_executor.h"
#include "../support/eventually.h"
#include "relay_link_rig.h"
#include "relay_test_device.h"
#include "relay_service/relay_limits.h"
#include "relay_service/web/relay_web.h"
#include "server/server_queue.h"
#include "relay_service/client_address.h"
#include "other_instance.h"
#include "service_rig.h"
#include "test_certificates.h"
#include "unmask_count.h"

namespace morvane::relay_service::testing {
namespace {

using json = nlohmann::json;
using morvane::testing::RelayTestDevice;
using namespace std::chrono_literals;

using link_rig::await;

// The host's link, proven after two seconds up, turned on.
struct LinkRig : link_rig::LinkRig {
    LinkRig(const std::string& base, const RelayIdentity& identity) : link_rig::LinkRig(base, identity, 15, 2) {
        link->turnOn();
    }
};

// The host's account client and a signed-in session.
struct Owner {
    std::shared_ptr<BeastRelayHttp> http = std::make_shared<BeastRelayHttp>(RelayAccount::maxAnswerBytes);
    std::unique_ptr<RelayAccount> account;
    RelayAccountSession session;

    Owner(ServiceRig& relay, const std::string& origin, const std::string& email) {
        account = RelayAccount::create(origin, http, systemWallMillis);
        const auto login = RelayAccount::newLoginID();
        EXPECT_EQ(await<bool>([&](auto done) { account->sendCode(email, login, done); }), RelayAccountResult<bool>(true));
        const auto verified =
            await<RelayAccountSession>([&](auto done) { account->verify(email, login, relay.codeFor(email), done); });
        if (std::holds_alternative<RelayAccountSession>(verified)) session = std::get<RelayAccountSession>(verified);
    }
    RelayAccountResult<bool> registerHost(const RelayIdentity& identity, const std::string& name = "Study desk") {
        return await<bool>([&](auto done) { account->registerHost(identity, session, name, done); });
    }
};

// A device's sign-in through the same account interface, as the page does.
json deviceSignIn(ServiceRig& relay, const std::string& origin, const std::string& email) {
    exchange(origin, "POST", "/v1/auth/code", json{{"email", email}, {"login_id", "page"}}.dump());
    const auto answer = exchange(
        origin, "POST", "/v1/auth/verify",
        json{{"email", email}, {"login_id", "page"}, {"code", relay.codeFor(email)}, {"client", "web"}}.dump());
    return json::parse(answer.body, nullptr, false);
}

std::string ticket(const std::string& origin, const json& session, const std::string& room) {
    const auto answer = exchange(origin, "POST", "/v1/hosts/" + room + "/ticket", "{}", session["access_token"]);
    const auto body = json::parse(answer.body, nullptr, false);
    return body.contains("ticket") ? body["ticket"].get<std::string>() : "";
}

RelayIdentity newIdentity() { return RelayIdentity{P256PrivateKey::generate(), P256PrivateKey::generate(), 0}; }

// An owner's registered computer with its link up and a signed-in phone
// joined to it by ticket: where a store's bad day is tried. `joined` says
// the whole of it came about.
struct PhoneOnComputer {
    std::string http;
    Owner owner;
    RelayIdentity identity = newIdentity();
    std::string room = RelayBytes::hex(identity.roomID());
    std::optional<LinkRig> rig;
    json device;
    std::optional<RelayTestDevice> phone;
    bool joined = false;

    explicit PhoneOnComputer(ServiceRig& relay)
        : http(relay.origin("http")), owner(relay, http, "owner@example.com") {
        EXPECT_EQ(owner.registerHost(identity), RelayAccountResult<bool>(true));
        rig.emplace(relay.origin("ws"), identity);
        if (!rig->watch->saw("state up") || !rig->watch->saw("up 0")) return;
        device = deviceSignIn(relay, http, "owner@example.com");
        phone.emplace(http, room + "?ticket=" + ticket(http, device, room));
        joined = rig->watch->saw("joined 1");
    }
};

TEST(RelayService, AnOwnerSignsInRegistersLinksAndADeviceReachesTheComputer) {
    ServiceRig relay(RelayServerOptions{"127.0.0.1", 0, "", ""});
    const auto http = relay.origin("http");
    Owner owner(relay, http, "owner@example.com");
    ASSERT_FALSE(owner.session.accessToken.empty());
    const auto identity = newIdentity();
    const auto room = RelayBytes::hex(identity.roomID());
    EXPECT_EQ(owner.registerHost(identity), RelayAccountResult<bool>(true));
    EXPECT_EQ(owner.registerHost(identity), RelayAccountResult<bool>(false));

    LinkRig rig(relay.origin("ws"), identity);
    ASSERT_TRUE(rig.watch->saw("state up"));
    EXPECT_TRUE(rig.watch->saw("up 0"));

    // The device lists the account's computers and opens one by ticket.
    const auto device = deviceSignIn(relay, http, "owner@example.com");
    const auto listed = exchange(http, "GET", "/v1/hosts", "", device["access_token"]);
    EXPECT_EQ(json::parse(listed.body),
              (json{{"hosts", {{{"room", room}, {"name", "Study desk"}, {"online", true}}}}}));
    {
        RelayTestDevice phone(http, room + "?ticket=" + ticket(http, device, room));
        ASSERT_TRUE(rig.watch->saw("joined 1"));
        phone.send(Bytes{0x20, 0xab});
        EXPECT_TRUE(rig.watch->saw("record 1 2 20ab"));
        rig.send(1, Bytes{0x20, 0xcd});
        EXPECT_EQ(phone.receive(), (Bytes{0x20, 0xcd}));
        // A whole fragment of a picture, as the host seals it, reaches the phone.
        const Bytes picture(SecureChannel::fragmentDataMax + SecureChannel::transportOverhead, 0x44);
        rig.send(1, picture);
        EXPECT_EQ(phone.receive(), picture);
        // The largest record that fits the host's limit behind its id.
        Bytes largest(RelayLimits::maxDeviceRecordBytes, 0x42);
        phone.send(largest);
        EXPECT_TRUE(rig.watch->saw("record 1 65532 42424242"));
        phone.send(Bytes(RelayLimits::maxDeviceRecordBytes + 1, 0x43));
        EXPECT_FALSE(phone.receive(5s));
        EXPECT_EQ(phone.closedWith(), 4413);
        EXPECT_TRUE(rig.watch->saw("left 1"));
        EXPECT_TRUE(relay.logged("a record over the limit"));
    }
    EXPECT_TRUE(rig.watch->saw("state up"));

    // Removed from the account, the link ends as not on the account.
    EXPECT_EQ(await<std::monostate>([&](auto done) { owner.account->removeSelf(identity, done); }),
              RelayAccountResult<std::monostate>(std::monostate{}));
    EXPECT_TRUE(rig.watch->saw("state not-on-account"));
    // Removing it again still finishes.
    EXPECT_EQ(await<std::monostate>([&](auto done) { owner.account->removeSelf(identity, done); }),
              RelayAccountResult<std::monostate>(std::monostate{}));
    EXPECT_EQ(await<std::monostate>([&](auto done) { owner.account->signOut(owner.session.refreshToken, done); }),
              RelayAccountResult<std::monostate>(std::monostate{}));

    // No line of the log holds a code or a token.
    for (const auto& line : relay.logs()) {
        EXPECT_EQ(line.find(relay.codeFor("owner@example.com")), std::string::npos) << line;
        EXPECT_EQ(line.find(owner.session.refreshToken), std::string::npos) << line;
        EXPECT_EQ(line.find(device["access_token"].get<std::string>()), std::string::npos) << line;
    }
}

TEST(RelayService, DevicesAreTurnedAwayWithTheWordThePageShows) {
    ServiceRig relay(RelayServerOptions{"127.0.0.1", 0, "", ""});
    const auto http = relay.origin("http");
    Owner owner(relay, http, "owner@example.com");
    const auto identity = newIdentity(), offline = newIdentity();
    const auto room = RelayBytes::hex(identity.roomID()), offlineRoom = RelayBytes::hex(offline.roomID());
    owner.registerHost(identity);
    owner.registerHost(offline, "Cellar");
    LinkRig rig(relay.origin("ws"), identity);
    ASSERT_TRUE(rig.watch->saw("state up"));
    const auto device = deviceSignIn(relay, http, "owner@example.com");
    const auto stranger = deviceSignIn(relay, http, "stranger@example.com");

    // Another account's device gets no ticket for this computer.
    const auto refused = exchange(http, "POST", "/v1/hosts/" + room + "/ticket", "{}", stranger["access_token"]);
    EXPECT_EQ(refused.status, 404);
    EXPECT_EQ(json::parse(refused.body)["error"], "unknown-host");

    struct Case {
        const char* name;
        std::function<std::string()> target;
        int code;
    };
    const auto spent = ticket(http, device, room);
    { RelayTestDevice first(http, room + "?ticket=" + spent); }
    // Past the first seconds, when every computer's link is still expected.
    relay.shiftClock(RelayLimits::movingSeconds);
    const std::vector<Case> cases = {
        {"no ticket", [&] { return room; }, 4401},
        {"a spent ticket", [&] { return room + "?ticket=" + spent; }, 4401},
        {"a ticket for another room", [&] { return room + "?ticket=" + ticket(http, device, offlineRoom); }, 4401},
        {"a stranger's forged ticket", [&] { return room + "?ticket=" + stranger["access_token"].get<std::string>(); }, 4401},
        {"a computer that is offline", [&] { return offlineRoom + "?ticket=" + ticket(http, device, offlineRoom); }, 4503},
    };
    for (const auto& c : cases) {
        RelayTestDevice phone(http, c.target());
        EXPECT_FALSE(phone.receive(5s)) << c.name;
        EXPECT_EQ(phone.closedWith(), c.code) << c.name;
    }
    // An expired ticket.
    const auto late = ticket(http, device, room);
    relay.shiftClock(RelayLimits::ticketSeconds);
    RelayTestDevice phone(http, room + "?ticket=" + late);
    EXPECT_FALSE(phone.receive(5s));
    EXPECT_EQ(phone.closedWith(), 4401);
}

TEST(RelayService, ASecondLinkReplacesTheFirstAndAnUnregisteredOneIsNotOnTheAccount) {
    ServiceRig relay(RelayServerOptions{"127.0.0.1", 0, "", ""});
    Owner owner(relay, relay.origin("http"), "owner@example.com");
    const auto identity = newIdentity();
    owner.registerHost(identity);
    auto first = std::make_unique<LinkRig>(relay.origin("ws"), identity);
    ASSERT_TRUE(first->watch->saw("state up"));
    {
        LinkRig second(relay.origin("ws"), identity);
        ASSERT_TRUE(second.watch->saw("state up"));
        const auto line = first->watch->sawStarting("link: down after ");
        EXPECT_TRUE(line && line->ends_with(" s (replaced)")) << line.value_or("no such line");
        EXPECT_TRUE(relay.logged("replaced by a newer link"));
    }
    first.reset();

    LinkRig stranger(relay.origin("ws"), newIdentity());
    EXPECT_TRUE(stranger.watch->saw("state not-on-account"));
    EXPECT_TRUE(relay.logged("not on an account"));
}

TEST(RelayService, AReplayedHelloIsRefused) {
    namespace beast = boost::beast;
    ServiceRig relay(RelayServerOptions{"127.0.0.1", 0, "", ""});
    Owner owner(relay, relay.origin("http"), "owner@example.com");
    const auto identity = newIdentity();
    owner.registerHost(identity);
    const auto hello = identity.helloHeader(static_cast<std::uint64_t>(systemWallMillis() / 1000), Secure::randomBytes(16));
    // The upgrade request as the host sends it, read as plain HTTP so the
    // refusal's status is seen.
    const auto upgrade = [&](const std::string& subprotocol) {
        boost::asio::io_context io;
        beast::tcp_stream socket(io);
        socket.connect({boost::asio::ip::make_address("127.0.0.1"), relay.port()});
        beast::http::request<beast::http::empty_body> request{
            beast::http::verb::get, "/relay/v1/host/" + RelayBytes::hex(identity.roomID()), 11};
        request.set(beast::http::field::host, "127.0.0.1");
        request.set(beast::http::field::upgrade, "websocket");
        request.set(beast::http::field::connection, "Upgrade");
        request.set(beast::http::field::sec_websocket_key, "dGhlIHNhbXBsZSBub25jZQ==");
        request.set(beast::http::field::sec_websocket_version, "13");
        request.set(beast::http::field::sec_websocket_protocol, subprotocol);
        request.set("X-Morvane-Host-Auth", hello);
        beast::http::write(socket, request);
        beast::flat_buffer buffer;
        beast::http::response_parser<beast::http::empty_body> parser;
        parser.skip(true);
        beast::http::read_header(socket, buffer, parser);
        return parser.get().result_int();
    };
    EXPECT_EQ(upgrade("other.v1"), 400u);
    EXPECT_EQ(upgrade("morvane.v1"), 101u);
    EXPECT_EQ(upgrade("morvane.v1"), 401u);
    EXPECT_TRUE(relay.logged("replayed hello"));
}

TEST(RelayService, AfterARestartTheHostComesBackByItselfAndNothingRegisteredIsLost) {
    ServiceRig relay(RelayServerOptions{"127.0.0.1", 0, "", ""});
    Owner owner(relay, relay.origin("http"), "owner@example.com");
    const auto identity = newIdentity();
    owner.registerHost(identity);
    LinkRig rig(relay.origin("ws"), identity);
    ASSERT_TRUE(rig.watch->saw("state up"));
    relay.restart();
    ASSERT_TRUE(rig.watch->saw("down"));
    EXPECT_TRUE(rig.watch->saw("state up", 2, 20s));
    EXPECT_EQ(relay.links(), 1u);
}

TEST(RelayService, MailThatFailsAndRequestsThatAreTooLargeAreAnswered) {
    ServiceRig relay(RelayServerOptions{"127.0.0.1", 0, "", ""});
    const auto http = relay.origin("http");
    relay.failMail(true);
    auto failed = exchange(http, "POST", "/v1/auth/code", json{{"email", "a@example.com"}, {"login_id", "l"}}.dump());
    EXPECT_EQ(failed.status, 503);
    EXPECT_EQ(json::parse(failed.body)["error"], "try-later");
    EXPECT_TRUE(relay.logged("could not send a code to a@example.com: the mail server said no"));
    const auto large = exchange(http, "POST", "/v1/auth/code", std::string(RelayLimits::maxRequestBodyBytes + 1, ' '));
    EXPECT_EQ(large.status, 413);
}

TEST(RelayService, ThePageIsServedWithStrictHeaders) {
    ServiceRig relay(RelayServerOptions{"127.0.0.1", 0, "", ""});
    auto page = exchange(relay.origin("http"), "GET", "/");
    EXPECT_EQ(page.status, 200);
    EXPECT_EQ(page.body, std::string(RelayWeb::files()[0].bytes));
    EXPECT_EQ(page.headers["Content-Type"], "text/html; charset=utf-8");
    EXPECT_NE(page.headers["Content-Security-Policy"].find("default-src 'none'"), std::string::npos);
    EXPECT_NE(page.headers["Content-Security-Policy"].find("frame-ancestors 'none'"), std::string::npos);
    EXPECT_EQ(page.headers["X-Content-Type-Options"], "nosniff");
    EXPECT_EQ(page.headers["Cache-Control"], "no-cache");
    EXPECT_EQ(page.headers["Referrer-Policy"], "no-referrer");
    EXPECT_EQ(exchange(relay.origin("http"), "GET", "/../etc/passwd").status, 404);
    EXPECT_EQ(exchange(relay.origin("http"), "POST", "/", "{}").status, 405);
}

TEST(RelayService, PlainHttpListensOnLoopbackOrOnAPrivateAddressForTrustedProxiesOnly) {
    struct Case {
        std::string address;
        std::optional<std::vector<std::string>> trusted;
        std::string error;  // how start() ends
    };
    const std::string refused = "plain HTTP listens on loopback, or on a private address with trusted_proxies";
    const std::vector<Case> cases = {
        {"0.0.0.0", std::nullopt, refused},
        {"::", std::nullopt, refused},
        {"192.0.2.1", std::nullopt, refused},
        {"10.255.255.1", std::nullopt, refused},
        {"10.255.255.1", std::vector<std::string>{}, refused},
        {"0.0.0.0", std::vector<std::string>{"10.0.0.10"}, refused},
        {"192.0.2.1", std::vector<std::string>{"10.0.0.10"}, refused},
        {"10.0.0.1", std::vector<std::string>{"10.0.0.0/33"}, "trusted_proxies: 10.0.0.0/33 is not"},
        // Past the rule: this machine has no such address to listen on.
        {"10.255.255.1", std::vector<std::string>{"10.0.0.10"}, "cannot listen on 10.255.255.1"},
        {"127.0.0.1", std::vector<std::string>{"10.0.0.10"}, ""},
    };
    for (const auto& c : cases) {
        // The store outlives the loop, as in morvane-relay: what the loop
        // still holds when it goes (the bus's listener, handed back from the
        // store's queue) lets go of the store.
        MemoryStore store;
        boost::asio::io_context io;
        RelayServiceOptions options;
        options.server = RelayServerOptions{c.address};
        options.server.trustedProxies = c.trusted;
        LoopExecutor storeWorker, mailWorker;
        RelayService service(io, store, RelayWorkers{storeWorker, mailWorker}, std::move(options));
        std::string error;
        try {
            service.start();
        } catch (const std::runtime_error& failure) {
            error = failure.what();
        }
        EXPECT_EQ(error.substr(0, c.error.size()), c.error) << c.address;
        EXPECT_EQ(error.empty(), c.error.empty()) << c.address;
    }

    namespace ip = boost::asio::ip;
    const auto none = TrustedProxies{};
    const auto proxies = std::get<TrustedProxies>(TrustedProxies::parse({"10.0.0.10"}));
    struct Rule {
        std::string address;
        const TrustedProxies& trusted;
        PlainListen rule;
    };
    const auto local = std::get<TrustedProxies>(TrustedProxies::parse({"127.0.0.1"}));
    for (const auto& r : std::vector<Rule>{{"127.0.0.1", none, PlainListen::open},
                                           {"::1", none, PlainListen::open},
                                           {"127.0.0.2", local, PlainListen::proxiesOnly},
                                           {"10.0.0.2", none, PlainListen::refused},
                                           {"10.0.0.2", proxies, PlainListen::proxiesOnly},
                                           {"fd00::2", proxies, PlainListen::proxiesOnly},
                                           {"203.0.113.2", proxies, PlainListen::refused},
                                           {"::", proxies, PlainListen::refused}})
        EXPECT_EQ(plainListen(ip::make_address(r.address), r.trusted), r.rule) << r.address;
}

// Beast's reads of the relay's sockets unmask through the relay's own
// unmasking (detail/unmask.h), which this program's copy counts: a small
// record (read with its frame's header) and a large one (read straight into
// the message), from a phone and from a computer. A Boost that stopped
// calling it there would leave the count still.
TEST(RelayService, TheRelaysReadsUnmaskThroughItsOwnUnmasking) {
    ServiceRig relay(RelayServerOptions{"127.0.0.1", 0, "", ""});
    PhoneOnComputer road(relay);
    ASSERT_TRUE(road.joined);
    const Bytes small{0x20, 0xab};
    const struct {
        const char* what;
        Bytes bytes;
        const char* carried;  // as the computer reads it; "" for a record to the phone
    } rows[] = {
        {"a small record from the phone", small, "record 1 2 20ab"},
        {"the largest record from the phone", Bytes(RelayLimits::maxDeviceRecordBytes, 0x42), "record 1 65532 42424242"},
        {"a small record from the computer", small, ""},
        {"a picture's fragment from the computer",
         Bytes(SecureChannel::fragmentDataMax + SecureChannel::transportOverhead, 0x44), ""},
    };
    for (const auto& row : rows) {
        const auto before = relayUnmaskedBytes();
        if (*row.carried) {
            road.phone->send(row.bytes);
            ASSERT_TRUE(road.rig->watch->saw(row.carried)) << row.what;
        } else {
            road.rig->send(1, row.bytes);
            ASSERT_EQ(road.phone->receive(), std::optional<Bytes>(row.bytes)) << row.what;
        }
        EXPECT_GE(relayUnmaskedBytes() - before, row.bytes.size()) << row.what;
    }

    // This program's copy would be called even by reads that never declared
    // the relay's unmasking (it overrides Beast's own instances at link
    // time). The program is built from the library alone: there the
    // relay's definitions are linked (T) only when the reads asked for them,
    // and Beast's own instances (W) stand in their place when they did not.
    FILE* symbols = ::popen("nm -C " MORVANE_RELAY_PROGRAM, "r");
    ASSERT_NE(symbols, nullptr);
    std::vector<std::string> payloads;
    char line[4096];
    while (std::fgets(line, sizeof line, symbols))
        if (std::strstr(line, "websocket::detail::mask_inplace<boost::beast::buffers_prefix_view<")) payloads.push_back(line);
    EXPECT_EQ(::pclose(symbols), 0) << "nm";
    ASSERT_EQ(payloads.size(), 2u) << json(payloads).dump();
    for (const auto& symbol : payloads) EXPECT_NE(symbol.find(" T "), std::string::npos) << symbol;
}

// The periodic work runs on the timers and the clock the service is given.
// Once it stops, or goes, the beats still waiting call nothing: the store,
// which outlives the service, shows the purge did not run, and a sanitized
// build catches a call into a service that went.
TEST(RelayService, ATimerDueAsTheServiceStopsOrGoesNeverCallsIntoIt) {
    for (const bool goes : {false, true}) {
        SCOPED_TRACE(goes ? "the service goes" : "the service stops");
        MemoryStore store;
        boost::asio::io_context io;
        morvane::testing::ManualExecutor timers;
        RelayServiceOptions options;
        options.server = RelayServerOptions{"127.0.0.1"};
        options.timers = &timers;
        options.monotonicMillis = [&] { return timers.now(); };
        // Asked by others, it writes its row on the presence beat.
        options.fleet = true;
        options.instance = "here";
        LoopExecutor storeWorker, mailWorker;
        auto service = std::make_unique<RelayService>(io, store, RelayWorkers{storeWorker, mailWorker}, std::move(options));
        service->start();
        // What the beats gave the store queue is done once a job queued
        // after it is: the worker takes the first lane in order.
        const auto settle = [&] {
            bool done = false;
            service->storeQueue().run<bool>([] { return true; }, [&](std::optional<bool>) { done = true; });
            while (!done) io.run_one();
        };
        settle();

        store.clockSeconds = 100;
        timers.advance(RelayLimits::presenceBeatSeconds * 1000);
        settle();
        EXPECT_EQ(store.peerRows["here"].seenAt, 100) << "the presence beat";
        store.nonces["spent"] = 1;
        timers.advance(10 * 60'000 - RelayLimits::presenceBeatSeconds * 1000);
        settle();
        EXPECT_FALSE(store.nonces.contains("spent")) << "the purge";

        store.nonces["spent"] = 1;
        if (goes) {
            service.reset();
        } else {
            service->stop();
            settle();
        }
        ASSERT_EQ(timers.pendingTimers(), 5u) << "the beats wait";
        timers.advance(10 * 60'000);
        if (!goes) settle();
        EXPECT_TRUE(store.nonces.contains("spent")) << "no purge";
        EXPECT_EQ(timers.pendingTimers(), 0u) << "no beat again";
    }
}

// The rooms, the server and the service's state are the network thread's:
// a call from another thread while it runs is refused before it touches
// them, and the same call on that thread goes through.
TEST(RelayService, ACallOffTheNetworkThreadIsRefused) {
    ServiceRig relay(RelayServerOptions{"127.0.0.1"});
    relay.runSync([] {});  // its first turn has run
    const AccountList everyone;
    EXPECT_THROW(relay.service().setAccounts(everyone), WrongQueue);
    EXPECT_THROW(relay.service().reloadCertificate(), WrongQueue);
    EXPECT_THROW(relay.service().stop(), WrongQueue);
    bool reloaded = false;
    relay.runSync([&] { reloaded = relay.service().reloadCertificate(); });
    EXPECT_TRUE(reloaded);
    EXPECT_EQ(exchange(relay.origin("http"), "GET", "/").status, 200) << "nothing was stopped";
}

// The rate limits count each client under the address the proxy in front
// (trusted by default on loopback) says it was reached from, plain or over
// TLS, whatever the client wrote itself; an IPv6 client counts as its /64.
TEST(RelayService, ClientsAreCountedAsTheTrustedProxySaysAndIpv6ByItsSlash64) {
    static morvane::testing::TestCertificateAuthority authority;
    authority.trustThroughEnvironment();
    const auto folder = std::filesystem::temp_directory_path() / ("relay-xff-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const auto pair = authority.issue({"localhost"}, {"127.0.0.1"});
    writeFile((folder / "cert.pem").string(), pair.certificatePem);
    writeFile((folder / "key.pem").string(), pair.keyPem);
    struct Row {
        std::vector<std::string> forwarded;  // one entry a header line
        int times;
        int status;  // of the last of them
    };
    // The /64's refusal first: the log says the first refusal of a kind at
    // once and folds those soon after it.
    const std::vector<Row> rows = {
        {{"2001:db8:0:1::1"}, RelayLimits::codesPerClient - 1, 200},
        {{"2001:db8:0:1::ffff"}, 1, 200},
        {{"2001:db8:0:1:8000::1"}, 1, 429},           // the same /64
        {{"2001:db8:0:2::1"}, 1, 200},
        {{"203.0.113.1"}, RelayLimits::codesPerClient, 200},
        {{"203.0.113.2"}, 1, 200},
        {{"198.51.100.9, 203.0.113.1"}, 1, 429},      // the first entry is the client's own
        {{"198.51.100.50", "203.0.113.1"}, 1, 429},   // a second line the proxy added
    };
    for (const bool tls : {false, true}) {
        ServiceRig relay(tls ? RelayServerOptions{"127.0.0.1", 0, (folder / "cert.pem").string(), (folder / "key.pem").string()}
                             : RelayServerOptions{"127.0.0.1"});
        const auto origin = tls ? relay.origin("https", "localhost") : relay.origin("http");
        int sent = 0;
        for (const auto& row : rows) {
            int status = 0;
            for (int i = 0; i < row.times; ++i) {
                std::vector<std::pair<std::string, std::string>> headers;
                for (const auto& line : row.forwarded) headers.emplace_back("X-Forwarded-For", line);
                const auto email = "user" + std::to_string(sent++) + "@example.com";
                status = exchange(origin, "POST", "/v1/auth/code", json{{"email", email}, {"login_id", "l"}}.dump(), "",
                                  headers)
                             .status;
            }
            EXPECT_EQ(status, row.status) << row.forwarded.front() << (tls ? " over TLS" : " plain");
        }
        EXPECT_TRUE(relay.logged("too many codes from 2001:db8:0:1::/64"));
    }
    std::filesystem::remove_all(folder);
}

// A store that stops answering holds up neither the records between a
// connected phone and its computer nor the page; calls that need it are
// answered "try-later" once they have waited the queue's time, and the log
// says so once.
TEST(RelayService, AStoreThatStopsAnsweringHoldsUpNeitherForwardingNorThePage) {
    ServiceRig relay(RelayServerOptions{"127.0.0.1"}, {}, WorkQueueLimits{4, 300});
    PhoneOnComputer scene(relay);
    ASSERT_TRUE(scene.joined);
    const auto &http = scene.http, &room = scene.room;
    const auto& device = scene.device;
    auto& rig = *scene.rig;
    auto& phone = *scene.phone;
    const auto later = ticket(http, device, room);

    relay.store.hold();
    // More calls than the queue holds, at once: each is answered.
    std::vector<std::future<Exchange>> calls;
    for (int i = 0; i < 8; ++i)
        calls.push_back(std::async(std::launch::async, [&] { return exchange(http, "GET", "/v1/hosts", "", device["access_token"]); }));
    for (auto& call : calls) {
        const auto answer = call.get();
        EXPECT_EQ(answer.status, 503);
        EXPECT_EQ(json::parse(answer.body, nullptr, false)["error"], "try-later");
    }
    EXPECT_EQ(exchange(http, "GET", "/").status, 200);
    phone.send(Bytes{0x20, 0x01});
    EXPECT_TRUE(rig.watch->saw("record 1 2 2001"));
    rig.send(1, Bytes{0x20, 0x02});
    EXPECT_EQ(phone.receive(), (Bytes{0x20, 0x02}));
    {
        // A device whose ticket cannot be judged hears why.
        RelayTestDevice late(http, room + "?ticket=" + later);
        EXPECT_FALSE(late.receive(5s));
        EXPECT_EQ(late.closedWith(), 1011);
    }
    int said = 0;
    for (const auto& line : relay.logs()) said += line.find("the store is not answering in time") != std::string::npos;
    EXPECT_EQ(said, 1);

    relay.store.release();
    // The calls answered while it stood still are skipped by the store queue
    // in a moment; until then they still count against its bound.
    int status = 0;
    morvane::testing::eventually(
        [&] { return (status = exchange(http, "GET", "/v1/hosts", "", device["access_token"]).status) != 503; }, 2000);
    EXPECT_EQ(status, 200);
    EXPECT_TRUE(relay.logged("the store answers again"));
}

// Its store away while another instance, asked, says its own has answered
// all along: this instance stands aside, its links sent away ("moved", so
// the computer dials again at once) and new connections refused, so that a
// proxy in front passes them to the other instances; and it takes them
// again only once its store has answered steadily a while. While the
// other's store is away too, or answers only since this one's went away,
// or its answer is not signed with the fleet's secret, nothing moves.
TEST(RelayService, AnInstanceStandsAsideOnlyWhenItAloneIsCutOff) {
    ServiceRig relay(RelayServerOptions{"127.0.0.1"});
    const auto http = relay.origin("http");
    Owner owner(relay, http, "owner@example.com");
    const auto identity = newIdentity();
    ASSERT_EQ(owner.registerHost(identity), RelayAccountResult<bool>(true));
    OtherInstance other;
    std::string secret;
    relay.onStore([&] {
        secret = relay.store.fleetSecret();
        relay.store.putPeer("other", other.address());
    });
    // Started again, it meets the other at once rather than at its next beat.
    relay.restart();
    LinkRig rig(relay.origin("ws"), identity);
    ASSERT_TRUE(rig.watch->saw("up 0"));

    relay.store.reachForMillis = 10'000;
    relay.store.reachNow = StoreReach::silent;
    struct Answer {
        const char* why;
        std::string signedWith;
        PeerState state;
    };
    const Answer stays[] = {
        {"its store is away too", secret, {"other", {StoreReach::silent, 12'000}, true}},
        {"its store answers only since this one's went away", secret, {"other", {StoreReach::answering, 4'000}, true}},
        {"a stranger's answer", std::string(64, '0'), {"other", {StoreReach::answering, 60'000}, true}},
    };
    for (const auto& answer : stays) {
        other.says(secret, answer.signedWith, answer.state);
        ASSERT_TRUE(other.askedAgain()) << answer.why;
        EXPECT_FALSE(relay.logged("lets its links go", 0ms)) << answer.why;
        EXPECT_EQ(exchange(http, "GET", "/").status, 200) << answer.why;
    }
    EXPECT_TRUE(relay.logged("no other instance says its own does: this instance keeps its links"));

    other.says(secret, secret, {"other", {StoreReach::answering, 60'000}, true});
    EXPECT_TRUE(relay.logged("this instance lets its links go", 15s));
    EXPECT_TRUE(rig.watch->saw("down"));
    EXPECT_THROW(exchange(http, "GET", "/"), std::exception) << "refused while it stands aside";

    relay.store.reachForMillis = 5'000;
    relay.store.reachNow = StoreReach::answering;
    EXPECT_FALSE(relay.logged("taking connections again", 2s)) << "not steady long enough";
    relay.store.reachForMillis = 15'000;
    EXPECT_FALSE(relay.logged("taking connections again", 2s)) << "not steady for that long since it stood aside";
    relay.shiftClock(15);
    EXPECT_TRUE(relay.logged("the store has answered steadily for 15 s: taking connections again"));
    EXPECT_EQ(exchange(http, "GET", "/").status, 200);
    EXPECT_TRUE(rig.watch->saw("up 0", 2)) << "the computer links here again";
}

// Off the bus (its listener lost the database while the store's statements
// work), an instance asks the store each second for what it would have
// heard: a sign-out said through another instance closes that sign-in's
// phone here, and a request that it let go of a computer's link sends the
// link on, each within a few seconds rather than never.
TEST(RelayService, OffTheBusAnInstanceAsksTheStoreForWhatItMissed) {
    ServiceRig relay(RelayServerOptions{"127.0.0.1"});
    PhoneOnComputer scene(relay);
    ASSERT_TRUE(scene.joined);
    const auto& room = scene.room;
    const auto& device = scene.device;
    auto& rig = *scene.rig;
    auto& phone = *scene.phone;

    relay.store.loseBus(true);
    const auto session = tokenSession(device["access_token"]);
    relay.onStore([&] {
        relay.store.putSignOut(session, systemWallMillis() / 1000 + 600);
        relay.store.publish(BusMessage{BusKind::signedOut, session, "", "another-instance"});
    });
    EXPECT_FALSE(phone.receive(5s));
    EXPECT_EQ(phone.closedWith(), 4401);
    EXPECT_TRUE(relay.logged("missed on the bus: 1 sign-ins connected here signed out"));

    const auto instance = relay.instance();
    relay.onStore([&] { relay.store.requestLink(room, instance); });
    EXPECT_TRUE(relay.logged("missed on the bus: asked to let go of the link for room " + room));
    EXPECT_TRUE(rig.watch->saw("up 0", 2)) << "the computer dialled again";
    relay.store.loseBus(false);
}

// Another instance sharing the database may remove a computer whose link is
// held here: the store tells, asked every 30 seconds off the network thread.
// A store out of reach says nothing about the computer.
TEST(RelayService, ALinkWhoseComputerLeftTheStoreEndsAtTheNextCheck) {
    ServiceRig relay(RelayServerOptions{"127.0.0.1"});
    Owner owner(relay, relay.origin("http"), "owner@example.com");
    const auto identity = newIdentity();
    const auto room = RelayBytes::hex(identity.roomID());
    owner.registerHost(identity);
    LinkRig rig(relay.origin("ws"), identity);
    ASSERT_TRUE(rig.watch->saw("state up"));

    relay.onStore([&] { relay.store.broken = true; });
    relay.shiftClock(RelayLimits::registrationCheckSeconds);
    EXPECT_TRUE(relay.logged("cannot check the registration of room " + room));
    EXPECT_EQ(relay.links(), 1u);

    relay.onStore([&] {
        relay.store.broken = false;
        relay.store.hosts.erase(room);
    });
    relay.shiftClock(RelayLimits::registrationCheckSeconds);
    EXPECT_TRUE(rig.watch->saw("state not-on-account"));
}

// An address taken off the list is off at the reload, not when its tokens
// run out: its next call is refused, its phone and its computer's link close
// and the link is not let back in, before and after a restart. Another
// address on the list carries on, and the address put back finds its
// sign-in, tokens and computer as they were.
TEST(RelayService, AnAddressTakenOffTheListIsOffAtTheReloadItsPhonesAndLinksClosed) {
    ServiceRig relay(RelayServerOptions{"127.0.0.1"});
    relay.setAccounts({"owner@example.com", "other@example.com"});
    PhoneOnComputer scene(relay);
    ASSERT_TRUE(scene.joined);
    const auto other = deviceSignIn(relay, scene.http, "other@example.com");
    const auto call = [&](const json& session) {
        const auto answer = exchange(scene.http, "GET", "/v1/hosts", "", session["access_token"]);
        return std::pair{answer.status, json::parse(answer.body, nullptr, false).value("error", "")};
    };
    ASSERT_EQ(call(scene.device).first, 200);

    relay.setAccounts({"other@example.com"});
    EXPECT_FALSE(scene.phone->receive(5s));
    EXPECT_EQ(scene.phone->closedWith(), 4401);
    EXPECT_TRUE(morvane::testing::eventually([&] { return relay.links() == 0; }, 5000));
    EXPECT_EQ(call(scene.device), (std::pair{403, std::string("not-invited")}));
    EXPECT_EQ(exchange(scene.http, "POST", "/v1/hosts/" + scene.room + "/ticket", "{}", scene.device["access_token"]).status,
              403);
    EXPECT_EQ(call(other).first, 200);

    scene.rig.reset();
    relay.restart();
    EXPECT_EQ(call(scene.device), (std::pair{403, std::string("not-invited")}));
    {
        LinkRig refused(relay.origin("ws"), scene.identity);
        EXPECT_TRUE(relay.logged("room " + scene.room + " from 127.0.0.1: its account is off the accounts list"));
    }
    EXPECT_EQ(call(other).first, 200);

    relay.setAccounts({"owner@example.com", "other@example.com"});
    EXPECT_EQ(call(scene.device).first, 200);
    LinkRig back(relay.origin("ws"), scene.identity);
    EXPECT_TRUE(back.watch->saw("state up"));
}

TEST(RelayService, OverVerifiedTlsTheCertificateIsReloadedInPlace) {
    static morvane::testing::TestCertificateAuthority authority;
    authority.trustThroughEnvironment();
    const auto folder = std::filesystem::temp_directory_path() / ("relay-tls-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const auto certificate = (folder / "cert.pem").string(), key = (folder / "key.pem").string();
    const auto wrong = authority.issue({"relay.other.example"}, {});
    writeFile(certificate, wrong.certificatePem);
    writeFile(key, wrong.keyPem);
    ServiceRig relay(RelayServerOptions{"127.0.0.1", 0, certificate, key});
    const auto https = relay.origin("https", "localhost");

    auto http = std::make_shared<BeastRelayHttp>(RelayAccount::maxAnswerBytes);
    auto account = RelayAccount::create(https, http, systemWallMillis);
    EXPECT_EQ(await<bool>([&](auto done) { account->sendCode("o@example.com", "l", done); }),
              RelayAccountResult<bool>(RelayAccountFailure::of(RelayAccountFailure::Kind::untrusted)));

    // A key that is not the certificate's keeps the old pair.
    const auto right = authority.issue({"localhost"}, {"127.0.0.1"});
    writeFile(certificate, right.certificatePem);
    EXPECT_FALSE(relay.reloadCertificate());
    writeFile(key, right.keyPem);
    EXPECT_TRUE(relay.reloadCertificate());

    Owner owner(relay, https, "owner@example.com");
    ASSERT_FALSE(owner.session.accessToken.empty());
    const auto identity = newIdentity();
    EXPECT_EQ(owner.registerHost(identity), RelayAccountResult<bool>(true));
    LinkRig rig(relay.origin("wss", "localhost"), identity);
    EXPECT_TRUE(rig.watch->saw("state up"));
    auto page = exchange(https, "GET", "/");
    EXPECT_EQ(page.headers["Strict-Transport-Security"], "max-age=31536000");
    std::filesystem::remove_all(folder);
}

// What a test needs of a relay process (a clock put off, the records it
// carries) is morvane-test-relay's: the installed program looks up no test
// switch in its environment, and a name it looked up would be a string in it.
TEST(RelayProgram, TheInstalledProgramNamesNoTestSwitch) {
    std::ifstream in(MORVANE_RELAY_PROGRAM, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GT(bytes.size(), 100'000u);
    std::vector<std::string> switches;
    for (auto at = bytes.find("MORVANE_"); at != std::string::npos; at = bytes.find("MORVANE_", at + 1)) {
        auto end = at;
        while (end < bytes.size() && (std::isupper(static_cast<unsigned char>(bytes[end])) ||
                                      std::isdigit(static_cast<unsigned char>(bytes[end])) || bytes[end] == '_'))
            ++end;
        const auto name = bytes.substr(at, end - at);
        if (name.find("TEST") != std::string::npos) switches.push_back(name);
    }
    EXPECT_TRUE(switches.empty()) << json(switches).dump();
}

}  // namespace
}  // namespace morvane::relay_service::testing
