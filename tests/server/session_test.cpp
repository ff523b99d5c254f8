#include <gtest/gtest.h>

#include <atomic>

#include "devices/device_store.h"
#include "../app/manual_executor.h"
#include "server/audio_relay.h"
#include "server/clipboard_display_relay.h"
#include "server/remote_server.h"
#include "server/video_relay.h"
#include "server_fakes.h"

namespace morvane {
namespace {

using testing::eventually;
using testing::FakeWire;

Bytes relayKey(std::uint8_t seed) {
    Bytes key(65, seed);
    key[0] = 0x04;
    return key;
}

Bytes textBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

class ServerSession : public ::testing::Test {
protected:
    void SetUp() override {
        folder = testing::temporaryFolder();
        store = std::make_unique<DeviceStore>(folder / "devices.json");
        phone = *store->enrolRelayDevice(relayKey(1), "Phone");
        tablet = *store->enrolRelayDevice(relayKey(2), "Tablet");
        makeServer();
    }
    void TearDown() override {
        if (server) server->stop();
        main.drain();
        server.reset();
        std::filesystem::remove_all(folder);
    }
    void makeServer(bool paused = false) {
        RemoteServer::Setup setup;
        setup.port = testing::freePort();
        setup.store = store.get();
        setup.frames = &frames;
        setup.input = &input;
        setup.paused = paused;
        setup.tailnet = tailnet;
        setup.mainQueue = &main;
        setup.status = [this] {
            return status.load() ? HostStatus{true, false, false, true} : HostStatus{true};
        };
        setup.clock = [this] { return (stopped.load() ? stopped.load() : nowMillis()) + skew.load(); };
        server = RemoteServer::create(std::move(setup));
        server->onControllerChange = [this](std::optional<std::string> name) {
            shell.add("controller " + name.value_or("none"));
        };
        server->onSession = [this](const SessionEvent& event) {
            if (auto s = std::get_if<session_event::Started>(&event))
                shell.add("started " + s->name + " " + s->route);
            else if (auto e = std::get_if<session_event::Ended>(&event))
                shell.add("ended " + e->deviceID + (e->takenOver ? " taken-over" : ""));
        };
        server->onStoppedOnMac = [this] { shell.add("stopped on mac"); };
    }

    struct Relayed {
        std::shared_ptr<FakeWire> wire;
        RelayedConnection entries;
    };
    std::optional<Relayed> accept(const std::string& deviceID) {
        auto wire = std::make_shared<FakeWire>(server->sessionQueue());
        std::optional<RelayedConnection> entries;
        runSync(server->sessionQueue(), [&] { entries = server->acceptRelayed(wire, deviceID); });
        if (!entries) return std::nullopt;
        return Relayed{wire, *entries};
    }
    void send(Relayed& r, const std::string& message, WSOpcode opcode = WSOpcode::text) {
        runSync(server->sessionQueue(), [&] { r.entries.receive(opcode, textBytes(message)); });
    }
    Relayed admitted(const PairedDevice& device) {
        auto r = accept(device.id);
        EXPECT_TRUE(r);
        send(*r, R"({"t":"hello","v":1})");
        std::string ready = R"({"device":")" + device.name + R"(","t":"ready","version":1})";
        EXPECT_TRUE(eventually([&] { return r->wire->sent.contains(ready); })) << device.name;
        return *r;
    }
    static bool closedWith(const Relayed& r, int code) {
        return eventually([&] { return r.wire->sent.contains("close " + std::to_string(code)) && r.wire->cancelled; });
    }

    std::filesystem::path folder;
    std::unique_ptr<DeviceStore> store;
    PairedDevice phone, tablet;
    testing::Journal journal;  // screen and input
    testing::Journal shell;    // callbacks
    testing::FakeFrameSource frames{journal};
    testing::FakeInput input{journal};
    LoopExecutor main{"main"};
    std::atomic<bool> status{false};
    std::atomic<std::int64_t> skew{0};
    // Where set, the server's clock stands there (plus the skew) instead of
    // running on.
    std::atomic<std::int64_t> stopped{0};
    std::optional<TailnetAccess> tailnet;
    std::shared_ptr<RemoteServer> server;
};

TEST_F(ServerSession, StartRefusesBadPortsSecondStartsAndTakenPorts) {
    EXPECT_FALSE(accept(phone.id)) << "no relayed session before the listener runs";
    server->start();
    try {
        server->start();
        FAIL() << "second start";
    } catch (const RemoteServer::StartError& e) {
        EXPECT_STREQ(e.what(), "server is already running");
    }
    EXPECT_TRUE(accept(phone.id)) << "the first listener still runs";

    RemoteServer::Setup zero;
    zero.port = 0;
    zero.store = store.get();
    zero.frames = &frames;
    zero.input = &input;
    zero.mainQueue = &main;
    auto noPort = RemoteServer::create(zero);
    try {
        noPort->start();
        FAIL() << "port 0";
    } catch (const RemoteServer::StartError& e) {
        EXPECT_STREQ(e.what(), "invalid port");
    }
    auto taken = zero;
    taken.port = server->port();
    auto clash = RemoteServer::create(taken);
    try {
        clash->start();
        FAIL() << "port in use";
    } catch (const RemoteServer::StartError& e) {
        EXPECT_EQ(e.kind(), RemoteServer::StartError::Kind::portInUse);
        EXPECT_EQ(std::string(e.what()), "port " + std::to_string(taken.port) +
                                             " is in use by another program: quit it, then start Morvane again");
    }
    server->stop();
    EXPECT_FALSE(accept(phone.id)) << "no relayed session after stop";
}

TEST_F(ServerSession, TakeoverEndsTheEarlierControllerAndTellsTheShellInOrder) {
    server->start();
    auto first = admitted(phone);
    ASSERT_TRUE(eventually([&] { return shell.contains("started Phone relay"); }));
    EXPECT_EQ(server->controllerName(), "Phone");
    EXPECT_EQ(server->controllerRoute(), ConnectionRoute::relay);
    EXPECT_FALSE(server->controllerViaTailnet());
    EXPECT_TRUE(journal.contains("capture start"));

    auto second = admitted(tablet);
    EXPECT_TRUE(eventually([&] { return shell.lines().size() >= 4; }));
    main.drain();
    EXPECT_EQ(shell.lines(), (std::vector<std::string>{"controller Phone", "started Phone relay", "controller Tablet",
                                                       "ended " + phone.id + " taken-over", "started Tablet relay"}));
    auto firstSent = first.wire->sent.lines();
    ASSERT_TRUE(closedWith(first, 1000));
    firstSent = first.wire->sent.lines();
    auto bye = std::find(firstSent.begin(), firstSent.end(), R"({"reason":"taken-over","t":"bye"})");
    ASSERT_NE(bye, firstSent.end());
    EXPECT_EQ(*(bye + 1), "close 1000");
    EXPECT_EQ(server->controllerName(), "Tablet");
    // The takeover keeps capture running: it asks for a fresh picture and
    // lets go of what the first device held.
    auto lines = journal.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "capture start"), 1);
    EXPECT_TRUE(journal.contains("release"));
    EXPECT_TRUE(journal.contains("select auto"));
    EXPECT_TRUE(journal.contains("request frame"));

    // A message from the old controller on its way out is not answered.
    send(first, R"({"t":"ping","id":1})");
    // The controller leaving tells the shell once.
    runSync(server->sessionQueue(), [&] { second.entries.peerClosed(); });
    ASSERT_TRUE(closedWith(second, 1000));
    main.drain();
    EXPECT_TRUE(eventually([&] { return shell.contains("controller none"); }));
    main.drain();
    auto end = shell.lines();
    EXPECT_EQ(std::count(end.begin(), end.end(), "ended " + tablet.id), 1);
    EXPECT_FALSE(server->controllerName());
    EXPECT_FALSE(server->controllerRoute());
    EXPECT_TRUE(journal.contains("capture stop"));
    EXPECT_FALSE(first.wire->sent.contains(R"({"id":1,"t":"pong"})"));
}

TEST_F(ServerSession, FirstMessageMustProveTheDeviceOrTheSessionIsDenied) {
    server->start();
    const char* denied = R"({"t":"denied"})";
    struct Case {
        std::string id, message;
        WSOpcode opcode = WSOpcode::text;
    };
    std::vector<Case> cases = {
        {phone.id, R"({"t":"auth","token":"abc"})"},
        {phone.id, R"({"t":"hello","v":2})"},
        {"0123456789abcdef", R"({"t":"hello","v":1})"},
        {phone.id, R"({"t":"hello","v":1})", WSOpcode::binary},
        {phone.id, "not json"},
        {phone.id, R"({"t":"hello","v":1,"pad":")" + std::string(16'400, 'x') + "\"}"},
    };
    for (auto& c : cases) {
        auto r = accept(c.id);
        ASSERT_TRUE(r);
        send(*r, c.message, c.opcode);
        EXPECT_TRUE(closedWith(*r, 1008)) << c.message.substr(0, 40);
        EXPECT_TRUE(r->wire->sent.contains(denied));
        EXPECT_TRUE(r->wire->released);
    }
    EXPECT_FALSE(server->controllerName());
}

TEST_F(ServerSession, ControllerMessagesAreAnsweredRoutedOrCloseTheSession) {
    server->start();
    auto r = admitted(phone);
    EXPECT_TRUE(eventually([&] {
        return r.wire->sent.contains(
            R"({"capture":"ok","input":true,"lidClosed":false,"locked":false,"sleepDisabled":false,"t":"status"})");
    }));
    send(r, R"({"t":"ping","id":7})");
    send(r, R"({"t":"ping","id":2.5})");
    send(r, R"({"t":"mm","x":2,"y":0.25})");
    send(r, R"({"t":"lock"})");
    send(r, R"({"t":"quality","q":"low"})");
    send(r, R"({"t":"refresh"})");
    send(r, R"({"t":"unknown-kind"})");
    EXPECT_TRUE(eventually([&] { return r.wire->sent.contains(R"({"id":7,"t":"pong"})"); }));
    EXPECT_TRUE(eventually([&] { return r.wire->sent.contains(R"({"id":2.5,"t":"pong"})"); }));
    main.drain();
    EXPECT_TRUE(journal.contains("move 1.000000 0.250000"));
    EXPECT_TRUE(journal.contains("lock"));
    EXPECT_TRUE(journal.contains("quality low"));
    EXPECT_TRUE(journal.contains("request frame"));

    // A change of status reaches the session with the next tick (that an
    // unchanged one does not is the status relay's own rule).
    status = true;
    EXPECT_TRUE(eventually([&] {
        return r.wire->sent.contains(
            R"({"capture":"ok","input":true,"lidClosed":true,"locked":false,"sleepDisabled":false,"t":"status"})");
    }, 3000));

    send(r, "{not json");
    EXPECT_TRUE(closedWith(r, 1007));

    auto big = admitted(tablet);
    send(big, std::string(16'385, ' '));
    EXPECT_TRUE(closedWith(big, 1009));
}

TEST_F(ServerSession, IdleControllerTimesOutAndRevokedDeviceIsEnded) {
    // Silence is measured on a clock that stands still but for the skew:
    // on a busy machine the real seconds between the phone's last word and
    // the look below would count towards the 15 s too.
    stopped = nowMillis();
    server->start();
    auto r = admitted(phone);
    skew = 12'000;  // silent for less than 15 s: kept
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    EXPECT_FALSE(r.wire->sent.contains(R"({"reason":"timeout","t":"bye"})"));
    skew = 15'200;
    EXPECT_TRUE(eventually([&] { return r.wire->sent.contains(R"({"reason":"timeout","t":"bye"})"); }, 3000));
    EXPECT_TRUE(closedWith(r, 1000));

    skew = 0;
    auto t = admitted(tablet);
    store->revoke(tablet.id);
    EXPECT_TRUE(eventually([&] { return t.wire->sent.contains(R"({"reason":"revoked","t":"bye"})"); }, 3000));
    EXPECT_TRUE(closedWith(t, 1000));
}

TEST_F(ServerSession, PauseEndsTheControllerRefusesNewSessionsUntilResume) {
    server->start();
    auto r = admitted(phone);
    auto waiting = accept(tablet.id);  // not the controller: stays open
    server->pause(PauseCause::menu);
    EXPECT_TRUE(server->isPaused());
    EXPECT_TRUE(eventually([&] { return r.wire->sent.contains(R"({"reason":"paused","t":"bye"})"); }));
    EXPECT_TRUE(closedWith(r, 1000));
    EXPECT_FALSE(waiting->wire->cancelled);
    server->pause(PauseCause::menu);  // nothing more to send

    send(*waiting, R"({"t":"hello","v":1})");
    EXPECT_TRUE(closedWith(*waiting, 1000));
    EXPECT_TRUE(waiting->wire->sent.contains(R"({"reason":"paused","t":"bye"})"));
    EXPECT_FALSE(waiting->wire->sent.contains(R"({"device":"Tablet","t":"ready","version":1})"));

    server->resume();
    EXPECT_FALSE(server->isPaused());
    admitted(tablet);

    // The owner stopping sharing at the machine pauses with its own word.
    auto* source = &frames;
    main.post([source] { source->observer()->onStoppedByOwner(); });
    EXPECT_TRUE(eventually([&] { return shell.contains("stopped on mac"); }));
    EXPECT_TRUE(server->isPaused());
}

TEST_F(ServerSession, ClosingRelayedSessionsUsesOnlyKnownReasons) {
    server->start();
    auto r = admitted(phone);
    auto pending = accept(tablet.id);
    server->closeRelayed("anything");
    EXPECT_TRUE(eventually([&] { return r.wire->sent.contains(R"({"reason":"disconnected-by-host","t":"bye"})"); }));
    EXPECT_TRUE(closedWith(r, 1000));
    EXPECT_TRUE(eventually([&] { return pending->wire->cancelled.load(); }));

    auto again = admitted(tablet);
    runSync(server->sessionQueue(), [&] { server->closeRelayedOnQueue("mac-offline"); });
    EXPECT_TRUE(eventually([&] { return again.wire->sent.contains(R"({"reason":"mac-offline","t":"bye"})"); }));

    auto third = admitted(phone);
    server->disconnectController("taken-over");
    EXPECT_TRUE(eventually([&] { return third.wire->sent.contains(R"({"reason":"disconnected-by-host","t":"bye"})"); }));

    auto lost = admitted(tablet);
    runSync(server->sessionQueue(), [&] { lost.entries.transportLost(); });
    EXPECT_TRUE(eventually([&] { return lost.wire->cancelled.load(); }));
    EXPECT_FALSE(lost.wire->sent.contains("close 1000"));
    EXPECT_TRUE(eventually([&] { return !server->controllerName().has_value(); }));
}

TEST_F(ServerSession, SeventeenthConnectionEvictsTheOldestUnauthenticated) {
    server->start();
    std::vector<Relayed> all;
    for (int i = 0; i < 16; ++i) all.push_back(*accept(phone.id));
    auto extra = accept(tablet.id);
    ASSERT_TRUE(extra);
    EXPECT_TRUE(all[0].wire->cancelled);
    for (int i = 1; i < 16; ++i) EXPECT_FALSE(all[i].wire->cancelled) << i;
}

TEST_F(ServerSession, StopSaysHostQuitAndReturnsOnceTheCloseIsWritten) {
    server->start();
    auto r = admitted(phone);
    auto before = std::chrono::steady_clock::now();
    server->stop();
    auto took = std::chrono::steady_clock::now() - before;
    EXPECT_LT(took, std::chrono::milliseconds(500));
    EXPECT_TRUE(r.wire->sent.contains(R"({"reason":"host-quit","t":"bye"})"));
    EXPECT_TRUE(r.wire->sent.contains("close 1000"));
    main.drain();
    EXPECT_TRUE(journal.contains("release"));
}

TEST_F(ServerSession, AFailedWriteClosesAtOnceAndAFullControlQueueToo) {
    server->start();
    auto r = admitted(phone);
    r.wire->failWrites = true;
    send(r, R"({"t":"ping","id":1})");
    EXPECT_TRUE(eventually([&] { return r.wire->cancelled.load(); }));
    EXPECT_FALSE(r.wire->sent.contains("close 1000"));
    EXPECT_TRUE(eventually([&] { return !server->controllerName().has_value(); }));
}

TEST_F(ServerSession, ANewTailnetIdentityEndsEveryTailnetSession) {
    server.reset();
    tailnet = TailnetAccess::make("mac.tail1234.ts.net", "owner@example.com");
    ASSERT_TRUE(tailnet);
    makeServer();
    server->start();
    auto code = store->openPairingWindow();
    auto paired = std::get<pair_outcome::Paired>(store->attemptPair(code, "Laptop"));

    const std::string login = "Tailscale-User-Login: owner@example.com\r\n";
    testing::WebSocket remote(server->port(), "mac.tail1234.ts.net", "https://mac.tail1234.ts.net", login);
    EXPECT_NE(remote.answer.find("\r\nStrict-Transport-Security: max-age=31536000\r\n"), std::string::npos);
    testing::WebSocket waitingRemote(server->port(), "mac.tail1234.ts.net:443", "https://mac.tail1234.ts.net", login);
    testing::WebSocket waitingLocal(server->port());
    EXPECT_EQ(waitingLocal.answer.find("Strict-Transport-Security"), std::string::npos);
    remote.sendText(R"({"t":"auth","token":")" + paired.token + "\"}");
    EXPECT_EQ(remote.nextText(), R"({"device":"Laptop","t":"ready","version":1})");
    EXPECT_TRUE(server->controllerViaTailnet());
    EXPECT_EQ(server->controllerRoute(), ConnectionRoute::tailnet);

    server->setTailnetAccess(tailnet);  // the same identity: nothing ends
    EXPECT_EQ(server->tailnetAccess(), tailnet);
    EXPECT_FALSE(waitingRemote.peerClosed(300));

    server->setTailnetAccess(TailnetAccess::make("mac.tail1234.ts.net", "someone@example.com"));
    EXPECT_EQ(remote.nextText(), R"({"reason":"disconnected-by-host","t":"bye"})");
    EXPECT_EQ(remote.waitClose(), 1000);
    EXPECT_TRUE(waitingRemote.peerClosed());
    EXPECT_FALSE(waitingLocal.peerClosed(300));
    EXPECT_TRUE(eventually([&] { return !server->controllerViaTailnet(); }));
    EXPECT_FALSE(server->controllerRoute());
}

}  // namespace
}  // namespace morvane

namespace morvane {
namespace {

// A queue whose thread is never the caller's.
struct Elsewhere final : Executor {
    void post(std::function<void()>) override {}
    void postAfter(std::int64_t, std::function<void()>) override {}
    bool isCurrent() const override { return false; }
};

TEST_F(ServerSession, QueueOnlyEntriesRefuseCallsFromOtherThreads) {
    server->start();
    auto wire = std::make_shared<FakeWire>(server->sessionQueue());
    EXPECT_THROW(server->acceptRelayed(wire, "device"), std::logic_error);
    EXPECT_THROW(server->closeRelayedOnQueue(), std::logic_error);
    EXPECT_NO_THROW(server->closeRelayed()) << "the hop onto the queue is the way in";

    Elsewhere queue;
    testing::ManualExecutor main;
    testing::Journal journal;
    testing::FakeFrameSource source{journal};
    testing::FakeClipboard pasteboard;
    auto video = VideoRelay::create(queue, main, source);
    auto desk = ClipboardDisplayRelay::create(queue, main, &pasteboard, source, nullptr);
    auto audio = AudioRelay::create(queue, main, nullptr);
    auto link = std::make_shared<testing::RecordingLink>();
    std::vector<std::pair<const char*, std::function<void()>>> calls = {
        {"video attach", [&] { video->attach(link); }},
        {"video ask", [&] { video->requestH264(640, 480); }},
        {"video refresh", [&] { video->refresh(true); }},
        {"video tick", [&] { video->tick(true); }},
        {"desk attach", [&] { desk->attach(link); }},
        {"clipboard", [&] { desk->handleClipboard(clipboard_request::Get{1}); }},
        {"display", [&] { desk->selectDisplay(1); }},
        {"desk tick", [&] { desk->tick(); }},
        {"sound", [&] { audio->handle(AudioRequest::start, link); }},
    };
    for (auto& [what, call] : calls) EXPECT_THROW(call(), std::logic_error) << what;
    EXPECT_TRUE(link->sent.empty());
}

}  // namespace
}  // namespace morvane
