#include "relay/host_relay_link.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <nlohmann/json.hpp>

#include "../app/manual_executor.h"
#include "relay/relay_bytes.h"
#include "relay_link_fakes.h"

namespace morvane {
namespace {

using testing::FakeRelaySocket;
using Kind = HostRelayLink::State::Kind;

// 5 March 2024 12:00:00 UTC.
constexpr std::int64_t linkNoon = 1'709'640'000'000;

struct Rig {
    morvane::testing::ManualExecutor queue;
    std::int64_t wallBase = linkNoon;
    std::shared_ptr<MemoryCounterStorage> counters = std::make_shared<MemoryCounterStorage>();
    std::shared_ptr<testing::FakeRelaySocketFactory> sockets = std::make_shared<testing::FakeRelaySocketFactory>();
    std::shared_ptr<testing::RecordingLinkDelegate> delegate = std::make_shared<testing::RecordingLinkDelegate>();
    std::vector<std::string> lines;
    std::vector<HostRelayLink::Snapshot> changes;
    RelayIdentity identity{P256PrivateKey::generate(), P256PrivateKey::generate(), linkNoon};
    std::function<void(bool)> path;
    bool pathCancelled = false;
    double random = 1.0;
    std::shared_ptr<HostRelayLink> link;

    explicit Rig(bool watchPath = false, HostRelayLink::Timing timing = {}, double unit = 1) {
        HostRelayLink::Options o{.baseURL = "wss://relay.example.com", .identity = identity, .queue = &queue};
        o.counters = counters;
        o.sockets = sockets;
        o.timing = timing;
        o.unit = unit;
        o.now = [this] { return wallBase + queue.now(); };
        o.monotonicMillis = [this] { return queue.now(); };
        o.random = [this] { return random; };
        if (watchPath)
            o.pathMonitor = [this] { return std::make_unique<testing::FakePathMonitor>(&path, &pathCancelled); };
        link = HostRelayLink::create(std::move(o));
        link->setDelegate(delegate);
        link->log = [this](const std::string& line) { lines.push_back(line); };
        link->onChange = [this](const HostRelayLink::Snapshot& s) { changes.push_back(s); };
    }

    Kind kind() const { return link->snapshot().state.kind; }
    FakeRelaySocket& socket() { return sockets->last(); }
    std::string room() const { return RelayBytes::hex(identity.roomID()); }
    std::string welcome(const std::string& devices = "[]") const {
        return R"({"t":"welcome","room":")" + room() + R"(","devices":)" + devices + "}";
    }
    static std::string challenge(const Bytes& nonce) {
        return R"({"t":"challenge","nonce":")" + RelayBytes::b64u(nonce) + "\"}";
    }
    void turnOn() {
        link->turnOn();
        queue.runAll();
    }
    // Opens the current socket and answers its challenge.
    void prove() {
        socket().handlers.opened("morvane.v1");
        socket().handlers.text(challenge(Bytes(32, 5)));
    }
    void bringUp(const std::string& devices = "[]") {
        if (kind() != Kind::connecting) turnOn();
        prove();
        socket().handlers.text(welcome(devices));
        ASSERT_EQ(kind(), Kind::up);
    }
    bool logged(const std::string& line) const { return std::find(lines.begin(), lines.end(), line) != lines.end(); }
    long times(const std::string& line) const { return std::count(lines.begin(), lines.end(), line); }
};

TEST(HostRelayLink, EveryStateHasItsWord) {
    const std::vector<std::pair<Kind, std::string>> words = {
        {Kind::backingOff, "backing-off"}, {Kind::off, "off"},
        {Kind::waitingForNetwork, "waiting-for-network"}, {Kind::connecting, "connecting"},
        {Kind::proving, "proving"}, {Kind::up, "up"}, {Kind::refused, "refused"},
        {Kind::notOnAccount, "not-on-account"}, {Kind::exhausted, "exhausted"}, {Kind::suspended, "suspended"},
    };
    for (const auto& [kind, word] : words) EXPECT_EQ((HostRelayLink::State{kind, 0}.word()), word);
    EXPECT_NE(HostRelayLink::State::backingOffUntil(1), HostRelayLink::State::backingOffUntil(2));
    EXPECT_EQ((HostRelayLink::State{Kind::up, 1}), (HostRelayLink::State{Kind::up, 2}));
}

// What a file received from a device on the relay's page is marked with.
TEST(HostRelayLink, ThePageIsOnTheLinksOriginWithThePagesScheme) {
    morvane::testing::ManualExecutor queue;
    const struct {
        const char* base;
        const char* page;
    } cases[] = {
        {"wss://relay.example.com", "https://relay.example.com/"},
        {"wss://Relay.Example.com:8443", "https://relay.example.com:8443/"},
        {"ws://127.0.0.1:9000", "http://127.0.0.1:9000/"},
        {"wss://[2001:db8::1]", "https://[2001:db8::1]/"},
    };
    for (const auto& c : cases) {
        HostRelayLink::Options o{.baseURL = c.base,
                                 .identity = {P256PrivateKey::generate(), P256PrivateKey::generate(), 0},
                                 .queue = &queue};
        o.counters = std::make_shared<MemoryCounterStorage>();
        o.sockets = std::make_shared<testing::FakeRelaySocketFactory>();
        const auto link = HostRelayLink::create(std::move(o));
        ASSERT_TRUE(link) << c.base;
        EXPECT_EQ(link->pageOrigin(), c.page);
    }
}

TEST(HostRelayLink, RefusesToBeMadeForABadAddress) {
    morvane::testing::ManualExecutor queue;
    for (const char* base : {"https://relay.example.com", "wss://relay.example.com?q", "wss://", "relay"}) {
        HostRelayLink::Options o{.baseURL = base,
                                 .identity = {P256PrivateKey::generate(), P256PrivateKey::generate(), 0},
                                 .queue = &queue};
        o.counters = std::make_shared<MemoryCounterStorage>();
        o.sockets = std::make_shared<testing::FakeRelaySocketFactory>();
        EXPECT_FALSE(HostRelayLink::create(std::move(o))) << base;
    }
}

TEST(HostRelayLink, ComesUpByAnsweringTheChallengeAndCarriesRecords) {
    Rig rig;
    rig.turnOn();
    ASSERT_EQ(rig.sockets->sockets.size(), 1u);
    auto& s = rig.socket();
    EXPECT_EQ(rig.kind(), Kind::connecting);
    EXPECT_EQ(s.request.url.path, "/relay/v1/host/" + rig.room());
    EXPECT_EQ(s.request.subprotocol, "morvane.v1");
    EXPECT_EQ(s.request.maxMessageBytes, 65'536u);
    EXPECT_EQ(s.request.timeoutMillis, 16'000);
    EXPECT_EQ(s.request.hostAuth.rfind("v1." + std::to_string(linkNoon / 1000) + ".", 0), 0u);
    EXPECT_TRUE(rig.logged("link: connecting (attempt 1 of 200 today)"));

    s.handlers.opened("morvane.v1");
    EXPECT_EQ(rig.kind(), Kind::proving);
    rig.queue.advance(40);
    s.handlers.text(Rig::challenge(Bytes(32, 5)));
    ASSERT_EQ(s.texts.size(), 1u);
    const auto prove = nlohmann::json::parse(s.texts[0]);
    EXPECT_EQ(prove["t"], "prove");
    EXPECT_EQ(prove["sig"].get<std::string>().size(), 86u);
    s.completeSends(true);
    s.handlers.text(rig.welcome("[7,9]"));
    EXPECT_EQ(rig.kind(), Kind::up);
    EXPECT_TRUE(rig.logged("link: up after 40 ms"));

    s.handlers.text(R"({"t":"joined","c":11})");
    s.handlers.text(R"({"t":"left","c":7})");
    s.handlers.binary(Bytes{0, 0, 0, 9, 0x20, 1, 2});
    EXPECT_EQ(rig.delegate->journal,
              (std::vector<std::string>{"up 7 9", "joined 11", "left 7", "record 9 3"}));

    bool sent = false;
    rig.link->send(9, Bytes{0xaa}, [&](bool ok) { sent = ok; });
    ASSERT_EQ(s.binaries.size(), 1u);
    EXPECT_EQ(s.binaries[0], (Bytes{0, 0, 0, 9, 0xaa}));
    s.completeSends(true);
    EXPECT_TRUE(sent);
    rig.link->drop(11);
    EXPECT_EQ(s.texts.back(), R"({"t":"drop","c":11,"why":"refused"})");
    EXPECT_EQ(rig.link->snapshot().requests, 2);  // one attempt; two records are not yet a request
}

TEST(HostRelayLink, EveryOutOfOrderOrMalformedMessageEndsTheAttemptWithABackOff) {
    struct Case {
        const char* name;
        std::function<void(Rig&)> play;
        bool wasActive;
    };
    const std::vector<Case> cases = {
        {"wrong subprotocol", [](Rig& r) { r.socket().handlers.opened("other"); }, false},
        {"no subprotocol", [](Rig& r) { r.socket().handlers.opened(""); }, false},
        {"text before open", [](Rig& r) { r.socket().handlers.text(Rig::challenge(Bytes(32, 1))); }, false},
        {"welcome before challenge",
         [](Rig& r) {
             r.socket().handlers.opened("morvane.v1");
             r.socket().handlers.text(r.welcome());
         },
         true},
        {"second challenge",
         [](Rig& r) {
             r.prove();
             r.socket().handlers.text(Rig::challenge(Bytes(32, 2)));
         },
         true},
        {"welcome for another room",
         [](Rig& r) {
             r.prove();
             r.socket().handlers.text(R"({"t":"welcome","room":"000102030405060708090a0b0c0d0e0f","devices":[]})");
         },
         true},
        {"joined while proving",
         [](Rig& r) {
             r.prove();
             r.socket().handlers.text(R"({"t":"joined","c":1})");
         },
         true},
        {"binary while proving",
         [](Rig& r) {
             r.prove();
             r.socket().handlers.binary(Bytes{0, 0, 0, 1, 2});
         },
         true},
        {"garbage text",
         [](Rig& r) {
             r.prove();
             r.socket().handlers.text("not json");
         },
         true},
        {"failed prove send",
         [](Rig& r) {
             r.prove();
             r.socket().completeSends(false);
         },
         true},
        {"four-byte frame while up",
         [](Rig& r) {
             r.bringUp();
             r.socket().handlers.binary(Bytes{0, 0, 0, 1});
         },
         true},
        {"challenge while up",
         [](Rig& r) {
             r.bringUp();
             r.socket().handlers.text(Rig::challenge(Bytes(32, 3)));
         },
         true},
        {"welcome while up",
         [](Rig& r) {
             r.bringUp();
             r.socket().handlers.text(r.welcome());
         },
         true},
    };
    for (const auto& c : cases) {
        Rig rig;
        rig.turnOn();
        c.play(rig);
        const auto state = rig.link->snapshot().state;
        EXPECT_EQ(state.kind, Kind::backingOff) << c.name;
        EXPECT_EQ(state.until, rig.wallBase + rig.queue.now() + 1'000) << c.name;  // first delay: 1 s × jitter 1
        EXPECT_TRUE(rig.socket().cancelled) << c.name;
        const bool heardDown = !rig.delegate->journal.empty() && rig.delegate->journal.back() == "down";
        EXPECT_EQ(heardDown, c.wasActive) << c.name;
        EXPECT_TRUE(rig.logged("link: trying again in 1 s")) << c.name;
        // A stale event from the ended socket changes nothing.
        rig.socket().handlers.closed(4410);
        EXPECT_EQ(rig.kind(), Kind::backingOff) << c.name;
        rig.queue.advance(1'000);
        EXPECT_EQ(rig.sockets->sockets.size(), 2u) << c.name;
        EXPECT_EQ(rig.kind(), Kind::connecting) << c.name;
    }
}

TEST(HostRelayLink, CloseCodesAndUpgradeStatusesChooseTheOutcome) {
    struct Case {
        const char* name;
        std::function<void(FakeRelaySocket&)> end;
        bool up;
        Kind kind;
        std::int64_t waitMillis;
        std::string line;
    };
    auto close = [](int code) { return [code](FakeRelaySocket& s) { s.handlers.closed(code); }; };
    auto status = [](std::optional<int> st) { return [st](FakeRelaySocket& s) { s.handlers.finished(st); }; };
    const std::vector<Case> cases = {
        {"4401 refuses", close(4401), true, Kind::backingOff, 1'000, "link: refused by the relay (4401)"},
        {"4409 replaced", close(4409), true, Kind::backingOff, 60'000, "link: down after 0 s (replaced)"},
        {"4410 not on account", close(4410), true, Kind::notOnAccount, 1'800'000,
         "link: this computer is not on the account (4410)"},
        {"other close", close(1000), true, Kind::backingOff, 1'000, "link: down after 0 s (closed-by-relay)"},
        {"4421 moved", close(4421), true, Kind::backingOff, 1'000, "link: down after 0 s (moved)"},
        {"upgrade 401", status(401), false, Kind::backingOff, 1'000, "link: refused by the relay (401)"},
        {"upgrade 403", status(403), false, Kind::backingOff, 1'000, "link: refused by the relay (403)"},
        {"upgrade 410", status(410), false, Kind::notOnAccount, 1'800'000,
         "link: this computer is not on the account (410)"},
        {"upgrade 500", status(500), false, Kind::backingOff, 1'000, "link: trying again in 1 s"},
        {"no answer", status(std::nullopt), false, Kind::backingOff, 1'000, "link: trying again in 1 s"},
        {"dropped while up", status(101), true, Kind::backingOff, 1'000, "link: down after 0 s (closed-by-relay)"},
    };
    for (const auto& c : cases) {
        Rig rig;
        if (c.up) rig.bringUp();
        else rig.turnOn();
        c.end(rig.socket());
        EXPECT_EQ(rig.kind(), c.kind) << c.name;
        EXPECT_TRUE(rig.logged(c.line)) << c.name;
        rig.queue.advance(c.waitMillis - 1);
        EXPECT_EQ(rig.sockets->sockets.size(), 1u) << c.name;
        rig.queue.advance(1);
        EXPECT_EQ(rig.sockets->sockets.size(), 2u) << c.name;
    }
}

TEST(HostRelayLink, TheWaitIsLoggedRoundedWithTenthsUnderTenSeconds) {
    const struct {
        double random, unit;
        const char* line;
    } cases[] = {
        {0, 1, "link: trying again in 0.8 s"},    {0.5, 1, "link: trying again in 0.9 s"},
        {1, 1, "link: trying again in 1 s"},      {0, 2, "link: trying again in 1.5 s"},
        {0, 13, "link: trying again in 9.8 s"},   {1, 9.96, "link: trying again in 10 s"},
        {1, 12.6, "link: trying again in 13 s"},  {0.2, 20, "link: trying again in 16 s"},
    };
    for (const auto& c : cases) {
        Rig rig(false, {}, c.unit);
        rig.random = c.random;
        rig.turnOn();
        rig.socket().handlers.finished(std::nullopt);
        EXPECT_EQ(rig.lines.back(), c.line) << c.random << " " << c.unit;
    }
}

TEST(HostRelayLink, ThreeRefusalsInARowSlowThePaceUntilWelcomed) {
    Rig rig;
    rig.turnOn();
    for (int i = 0; i < 3; ++i) {
        rig.socket().handlers.closed(4401);
        if (i < 2) rig.queue.advance(std::int64_t{1'000} << i);
    }
    EXPECT_EQ(rig.kind(), Kind::refused);
    EXPECT_TRUE(rig.logged("link: trying again in 1800 s"));
    rig.link->tryNow();
    rig.queue.runAll();
    EXPECT_TRUE(rig.logged("link: trying now (chosen in the menu)"));
    EXPECT_EQ(rig.sockets->sockets.size(), 4u);
    rig.socket().handlers.finished(500);
    EXPECT_EQ(rig.kind(), Kind::refused);  // the slow pace stays after trying now
    rig.queue.advance(1'800'000);
    rig.bringUp();
    rig.socket().handlers.closed(1000);
    EXPECT_EQ(rig.kind(), Kind::backingOff);  // welcomed cleared the slow pace
}

// A fleet on a bad day: the relay hands the room from instance to instance.
// A phone waits at the new one only a few seconds for the link to follow.
TEST(HostRelayLink, MovesAreFollowedWithinASecondWithoutSpendingAttempts) {
    Rig rig;
    rig.random = 0.4;
    rig.bringUp();
    for (int move = 1; move <= 4; ++move) {
        rig.queue.advance(12'000);
        rig.socket().handlers.closed(4421);
        const auto state = rig.link->snapshot().state;
        ASSERT_EQ(state.kind, Kind::backingOff) << move;
        EXPECT_LE(state.until - (rig.wallBase + rig.queue.now()), 1'000) << move;
        rig.queue.advance(1'000);
        ASSERT_EQ(rig.kind(), Kind::connecting) << move;
        EXPECT_EQ(rig.lines.back(), "link: connecting again after a move (not counted; 1 of 200 attempts today)");
        rig.bringUp();
    }
    EXPECT_EQ(rig.link->snapshot().attempts, 1);
    EXPECT_EQ(rig.counters->integer(RelayBudget::countKey), 1);
}

TEST(HostRelayLink, ARelayThatKeepsMovingTheLinkIsBackedOffFromUntilAStablePeriodUp) {
    Rig rig;
    rig.turnOn();
    auto moveAway = [&] {
        rig.socket().handlers.opened("morvane.v1");
        rig.socket().handlers.closed(4421);
    };
    for (int move = 1; move <= RelayRetry::promptMoves; ++move) {
        moveAway();
        rig.queue.advance(1'000);
        ASSERT_EQ(rig.kind(), Kind::connecting) << move;
    }
    EXPECT_EQ(rig.link->snapshot().attempts, 1);
    moveAway();
    rig.queue.advance(1'000);
    EXPECT_EQ(rig.lines.back(), "link: connecting (attempt 2 of 200 today)");

    rig.bringUp();
    for (int i = 0; i < 2; ++i) {
        rig.queue.advance(25'000);
        rig.socket().pings.back()(true);
    }
    rig.queue.advance(10'000);  // 60 s up
    rig.socket().handlers.closed(4421);
    rig.queue.advance(1'000);
    EXPECT_EQ(rig.lines.back(), "link: connecting again after a move (not counted; 2 of 200 attempts today)");
}

TEST(HostRelayLink, AnAttemptCountsOnlyOnceTheRelayAnswersIt) {
    struct Case {
        const char* name;
        std::function<void(Rig&)> end;
        std::int64_t counted;
    };
    auto status = [](std::optional<int> st) { return [st](Rig& r) { r.socket().handlers.finished(st); }; };
    const std::vector<Case> cases = {
        {"no answer", status(std::nullopt), 0},
        {"gateway 502", status(502), 0},
        {"relay 503", status(503), 0},
        {"gateway 504", status(504), 0},
        {"connect deadline", [](Rig& r) { r.queue.advance(15'000); }, 0},
        {"relay 500", status(500), 1},
        {"refused 403", status(403), 1},
        {"not on account 410", status(410), 1},
        {"wrong subprotocol", [](Rig& r) { r.socket().handlers.opened("other"); }, 1},
        {"closed while proving",
         [](Rig& r) {
             r.socket().handlers.opened("morvane.v1");
             r.socket().handlers.closed(1000);
         },
         1},
    };
    for (const auto& c : cases) {
        Rig rig;
        rig.turnOn();
        c.end(rig);
        EXPECT_NE(rig.kind(), Kind::connecting) << c.name;
        EXPECT_EQ(rig.link->snapshot().attempts, c.counted) << c.name;
        EXPECT_EQ(rig.link->snapshot().requests, 2 * c.counted) << c.name;
        EXPECT_EQ(rig.counters->integer(RelayBudget::countKey), c.counted) << c.name;
    }
}

// Waits until the link's next attempt and lets it start.
void untilNextAttempt(Rig& rig) {
    const auto state = rig.link->snapshot().state;
    ASSERT_EQ(state.kind, Kind::backingOff);
    rig.queue.advance(state.until - (rig.wallBase + rig.queue.now()));
    ASSERT_EQ(rig.kind(), Kind::connecting);
}

TEST(HostRelayLink, ARelayAwayIsReachedWithinAnEighthOfEachOutageAfterItsReturn) {
    struct Way {
        const char* name;
        double random;
        std::optional<int> status;  // how a dial fails while it is away
    };
    const Way ways[] = {
        {"connection refused", 1, std::nullopt}, {"connection refused, least jitter", 0, std::nullopt},
        {"gateway 502", 0.5, 502},                {"relay 503", 1, 503},
        {"gateway 504", 0.3, 504},
    };
    struct Outages {
        const char* name;
        std::int64_t up;  // how long the link is up before each outage
        std::vector<std::int64_t> away;
    };
    const Outages schedules[] = {
        {"one of 20 s", 30'000, {20'000}},
        {"two of 20 s, 22 s apart", 22'000, {20'000, 20'000}},
        {"6, 20 and 60 s, 22 s apart", 22'000, {6'000, 20'000, 60'000}},
        {"a minute, then 20 s 3 s later", 3'000, {60'000, 20'000}},
        {"ten of 20 s, 22 s apart", 22'000, std::vector<std::int64_t>(RelayRetry::promptMoves, 20'000)},
    };
    for (const auto& way : ways) {
        for (const auto& outages : schedules) {
            const auto name = std::string(way.name) + ", " + outages.name;
            Rig rig;
            rig.random = way.random;
            rig.bringUp();
            for (std::size_t i = 0; i < outages.away.size(); ++i) {
                const auto away = outages.away[i];
                rig.queue.advance(outages.up);
                rig.socket().handlers.closed(1001);
                const auto down = rig.queue.now();
                for (;;) {
                    untilNextAttempt(rig);
                    if (rig.queue.now() - down >= away) break;
                    rig.socket().handlers.finished(way.status);
                }
                EXPECT_LE(rig.queue.now() - down - away, std::max<std::int64_t>(1'000, away / 8)) << name << " #" << i;
                rig.bringUp();
            }
            // The dials while it was away are not spent.
            EXPECT_EQ(rig.link->snapshot().attempts, 1 + static_cast<std::int64_t>(outages.away.size())) << name;
        }
    }
}

TEST(HostRelayLink, ADayLongOutageSlowsTheDialsToTheCapAndLeavesTheDayUnspent) {
    Rig rig;
    rig.turnOn();
    int dials = 1;
    double lastWait = 0;
    while (rig.queue.now() < 86'400'000 - 60'000) {
        rig.socket().handlers.finished(std::nullopt);
        lastWait = static_cast<double>(rig.link->snapshot().state.until - rig.wallBase - rig.queue.now()) / 1000;
        untilNextAttempt(rig);
        ++dials;
    }
    EXPECT_DOUBLE_EQ(lastWait, RelayRetry::capSeconds);
    EXPECT_LT(dials, RelayBudget::dailyAttempts);  // fewer than a day's budget even had they all reached it
    EXPECT_EQ(rig.link->snapshot().attempts, 0);
}

TEST(HostRelayLink, DeadlinesEndSilentConnectsAndProofs) {
    Rig rig;
    rig.turnOn();
    rig.queue.advance(14'999);
    EXPECT_EQ(rig.kind(), Kind::connecting);
    rig.queue.advance(1);
    EXPECT_EQ(rig.kind(), Kind::backingOff);
    rig.queue.advance(1'000);
    rig.socket().handlers.opened("morvane.v1");
    rig.queue.advance(9'999);
    EXPECT_EQ(rig.kind(), Kind::proving);
    rig.queue.advance(1);
    EXPECT_EQ(rig.kind(), Kind::backingOff);
    EXPECT_EQ(rig.delegate->journal, (std::vector<std::string>{"down"}));
}

TEST(HostRelayLink, AMissingPongEndsTheLinkWithNoPong) {
    Rig rig;
    rig.bringUp();
    auto& s = rig.socket();
    rig.queue.advance(25'000);
    ASSERT_EQ(s.pings.size(), 1u);
    s.pings[0](true);
    rig.queue.advance(25'000);
    ASSERT_EQ(s.pings.size(), 2u);
    EXPECT_EQ(rig.kind(), Kind::up);
    rig.queue.advance(9'999);
    EXPECT_EQ(rig.kind(), Kind::up);
    rig.queue.advance(1);
    EXPECT_EQ(rig.kind(), Kind::backingOff);
    const auto down = std::find(rig.lines.begin(), rig.lines.end(), "link: down after 60 s (no-pong)");
    ASSERT_NE(down, rig.lines.end());
    EXPECT_EQ(*(down + 1), "use today: about 0% of this computer's daily allowance (2 requests of 60000)");

    Rig failing;
    failing.bringUp();
    failing.queue.advance(25'000);
    failing.socket().pings[0](false);
    EXPECT_TRUE(failing.logged("link: down after 25 s (no-pong)"));
}

TEST(HostRelayLink, TheStepResetsOnlyAfterAStablePeriodUp) {
    // A relay that drops the link as soon as it has welcomed it: the first
    // drops end outages of their own, each dialled again within a second;
    // past them the drops are one outage and the dials slow down with it.
    Rig rig;
    rig.bringUp();
    std::vector<std::int64_t> waits;
    while (rig.queue.now() < 3'600'000) {
        rig.socket().handlers.closed(1000);
        waits.push_back(rig.link->snapshot().state.until - rig.wallBase - rig.queue.now());
        untilNextAttempt(rig);
        rig.bringUp();
    }
    for (int i = 0; i < RelayRetry::promptMoves; ++i) EXPECT_EQ(waits[i], 1'000) << i;
    EXPECT_GE(waits.back(), 300'000);
    EXPECT_LT(waits.size(), 80u);
    EXPECT_LT(rig.link->snapshot().attempts, 80);

    for (int i = 0; i < 2; ++i) {
        rig.queue.advance(25'000);
        rig.socket().pings.back()(true);
    }
    rig.queue.advance(10'000);  // 60 s up
    rig.socket().handlers.closed(1000);
    EXPECT_EQ(rig.lines.back(), "link: trying again in 1 s");
}

TEST(HostRelayLink, NetworkPathGatesAttemptsAndIsCheckedWhileUp) {
    Rig rig(true);
    rig.turnOn();
    ASSERT_TRUE(rig.path);
    EXPECT_EQ(rig.kind(), Kind::connecting);  // the path starts out satisfied
    rig.path(false);
    rig.socket().handlers.finished(std::nullopt);
    EXPECT_EQ(rig.kind(), Kind::waitingForNetwork);
    rig.queue.advance(60'000);
    rig.path(false);
    EXPECT_EQ(rig.sockets->sockets.size(), 1u);
    rig.path(true);
    rig.queue.advance(999);
    EXPECT_EQ(rig.sockets->sockets.size(), 1u);
    rig.queue.advance(1);
    EXPECT_EQ(rig.sockets->sockets.size(), 2u);
    // The log tells of the wait once, however often the path reports.
    const std::vector<std::string> tail(rig.lines.end() - 3, rig.lines.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"link: waiting for the network", "link: the network is back",
                                              "link: connecting (attempt 1 of 200 today)"}))
        << ::testing::PrintToString(rig.lines);

    rig.bringUp();
    rig.path(true);  // any path update while up checks the link with a ping
    ASSERT_EQ(rig.socket().pings.size(), 1u);
    rig.queue.advance(5'000);
    EXPECT_TRUE(rig.logged("link: down after 5 s (network)"));

    rig.link->turnOff();
    rig.queue.runAll();
    EXPECT_TRUE(rig.pathCancelled);
    EXPECT_EQ(rig.kind(), Kind::off);
}

TEST(HostRelayLink, PathComingBackShortensABackOff) {
    Rig rig(true);
    rig.turnOn();
    rig.socket().handlers.closed(4410);
    EXPECT_EQ(rig.kind(), Kind::notOnAccount);
    rig.path(false);
    rig.path(true);
    rig.queue.advance(1'000);
    EXPECT_EQ(rig.sockets->sockets.size(), 2u);
}

TEST(HostRelayLink, DailyAttemptsRunOutAndMoreCanBeAllowed) {
    Rig rig;
    rig.counters->set(std::string("2024-03-05"), RelayBudget::dayKey);
    rig.counters->set(std::int64_t{199}, RelayBudget::countKey);
    Rig fresh;  // made before the counters were written: starts at 0
    Rig loaded;
    loaded.counters = rig.counters;
    HostRelayLink::Options o{.baseURL = "wss://relay.example.com", .identity = loaded.identity, .queue = &loaded.queue};
    o.counters = rig.counters;
    o.sockets = loaded.sockets;
    o.now = [&] { return linkNoon + loaded.queue.now(); };
    o.monotonicMillis = [&] { return loaded.queue.now(); };
    o.random = [] { return 1.0; };
    loaded.link = HostRelayLink::create(std::move(o));
    loaded.link->log = [&](const std::string& l) { loaded.lines.push_back(l); };
    EXPECT_EQ(loaded.link->snapshot(), (HostRelayLink::Snapshot{{}, 199, 200, 398}));

    loaded.turnOn();
    EXPECT_TRUE(loaded.logged("link: connecting (attempt 200 of 200 today)"));
    loaded.socket().handlers.finished(500);
    loaded.queue.advance(1'000);
    EXPECT_EQ(loaded.kind(), Kind::exhausted);
    EXPECT_TRUE(loaded.logged("link: stopped for today (attempts)"));
    EXPECT_EQ(loaded.sockets->sockets.size(), 1u);
    loaded.link->allowMoreToday();
    loaded.queue.runAll();
    EXPECT_EQ(loaded.sockets->sockets.size(), 2u);
    EXPECT_EQ(loaded.link->snapshot().attemptLimit, 220);
    EXPECT_EQ(rig.counters->integer(RelayBudget::extraKey), 20);
    EXPECT_EQ(rig.counters->integer(RelayUsage::extraKey), 10'000);
}

TEST(HostRelayLink, ExhaustedLinkTriesAgainOneSecondAfterUtcMidnight) {
    Rig rig;
    rig.wallBase = linkNoon + 12 * 3'600'000 - 10'000;  // 10 s before midnight
    rig.counters->set(std::string("2024-03-05"), RelayBudget::dayKey);
    rig.counters->set(std::int64_t{200}, RelayBudget::countKey);
    Rig other;  // unused; keeps the rig's own link on today's stored counters
    (void)other;
    HostRelayLink::Options o{.baseURL = "wss://relay.example.com", .identity = rig.identity, .queue = &rig.queue};
    o.counters = rig.counters;
    o.sockets = rig.sockets;
    o.now = [&] { return rig.wallBase + rig.queue.now(); };
    o.monotonicMillis = [&] { return rig.queue.now(); };
    rig.link = HostRelayLink::create(std::move(o));
    rig.turnOn();
    EXPECT_EQ(rig.kind(), Kind::exhausted);
    rig.queue.advance(10'999);
    EXPECT_TRUE(rig.sockets->sockets.empty());
    rig.queue.advance(1);
    ASSERT_EQ(rig.sockets->sockets.size(), 1u);
    rig.socket().handlers.opened("morvane.v1");
    EXPECT_EQ(rig.link->snapshot().attempts, 1);
}

TEST(HostRelayLink, ReachingTheRequestCeilingWhileUpStopsForTheDay) {
    HostRelayLink::Timing timing;
    timing.requestCeiling = 3;  // one attempt (2) plus twenty records (1)
    Rig rig(false, timing);
    rig.bringUp();
    for (int i = 0; i < 19; ++i) rig.socket().handlers.binary(Bytes{0, 0, 0, 1, 0x20});
    EXPECT_EQ(rig.delegate->journal.back(), "record 1 1");
    rig.link->send(1, Bytes{1}, [](bool) {});
    rig.socket().completeSends(true);
    EXPECT_EQ(rig.delegate->journal.back(), "quota");
    rig.queue.advance(299);
    EXPECT_EQ(rig.kind(), Kind::up);
    rig.queue.advance(1);
    EXPECT_EQ(rig.kind(), Kind::exhausted);
    EXPECT_EQ(rig.delegate->journal.back(), "down");
    EXPECT_TRUE(rig.logged("link: stopped for today (allowance)"));
    EXPECT_EQ(rig.counters->integer(RelayUsage::recordsKey), 20);

    // The relay closing within the 0.3 s stops for the day through the
    // ordinary ending: the delegate hears the link go down twice.
    Rig racing(false, timing);
    racing.bringUp();
    for (int i = 0; i < 20; ++i) racing.socket().handlers.binary(Bytes{0, 0, 0, 1, 0x20});
    racing.socket().handlers.closed(1000);
    EXPECT_EQ(racing.kind(), Kind::exhausted);
    EXPECT_EQ(std::count(racing.delegate->journal.begin(), racing.delegate->journal.end(), "down"), 2);
    racing.queue.advance(1'000);
    EXPECT_EQ(racing.kind(), Kind::exhausted);
}

TEST(HostRelayLink, SleepSuspendsAndWakeReconnectsAfterAShortWait) {
    Rig rig;
    rig.bringUp();
    rig.link->systemWillSleep();
    rig.queue.runAll();
    EXPECT_EQ(rig.kind(), Kind::suspended);
    EXPECT_TRUE(rig.logged("link: down after 0 s (sleep)"));
    rig.queue.advance(3'600'000);
    EXPECT_EQ(rig.sockets->sockets.size(), 1u);
    rig.link->systemDidWake();
    rig.queue.runAll();
    EXPECT_EQ(rig.link->snapshot().state, HostRelayLink::State::backingOffUntil(rig.wallBase + rig.queue.now() + 2'000));
    EXPECT_TRUE(rig.logged("link: woke, connecting"));
    rig.queue.advance(2'000);
    EXPECT_EQ(rig.sockets->sockets.size(), 2u);
    // A second wake without a sleep changes nothing.
    rig.link->systemDidWake();
    rig.queue.runAll();
    EXPECT_EQ(rig.kind(), Kind::connecting);
}

TEST(HostRelayLink, SendingWhileNotUpFailsLaterAndCountsNothing) {
    Rig rig;
    rig.turnOn();
    std::optional<bool> result;
    rig.link->send(3, Bytes{1, 2}, [&](bool ok) { result = ok; });
    EXPECT_FALSE(result);  // never from inside the call
    rig.queue.runAll();
    EXPECT_EQ(result, false);
    EXPECT_TRUE(rig.socket().binaries.empty());
    rig.link->drop(3);
    EXPECT_TRUE(rig.socket().texts.empty());
}

TEST(HostRelayLink, MenuActionsOnlyActWhereTheyMakeSense) {
    Rig rig;
    rig.turnOn();
    rig.socket().handlers.finished(500);
    rig.link->tryNow();  // backing off: nothing
    rig.queue.runAll();
    EXPECT_EQ(rig.sockets->sockets.size(), 1u);
    rig.link->restartNow();
    rig.queue.runAll();
    EXPECT_EQ(rig.sockets->sockets.size(), 2u);
    rig.bringUp();
    rig.link->restartNow();  // up: nothing
    rig.queue.runAll();
    EXPECT_EQ(rig.sockets->sockets.size(), 2u);

    rig.link->turnOff();
    rig.queue.runAll();
    EXPECT_EQ(rig.kind(), Kind::off);
    EXPECT_TRUE(rig.socket().cancelled);
    EXPECT_FALSE(rig.logged("link: down after 0 s (closed-by-relay)"));  // turning off reports no down line
    EXPECT_TRUE(rig.logged("use today: about 0% of this computer's daily allowance (4 requests of 60000)"));
    rig.queue.advance(3'600'000);
    EXPECT_EQ(rig.sockets->sockets.size(), 2u);
}

TEST(HostRelayLink, SnapshotChangesAreAnnouncedOnce) {
    Rig rig;
    rig.turnOn();
    rig.bringUp();
    std::vector<std::string> words;
    for (const auto& s : rig.changes) words.emplace_back(s.state.word());
    EXPECT_EQ(words, (std::vector<std::string>{"connecting", "proving", "up"}));
    EXPECT_EQ(rig.changes.back().attempts, 1);
}

}  // namespace
}  // namespace morvane
