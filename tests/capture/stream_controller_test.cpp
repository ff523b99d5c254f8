#include "capture/stream_controller.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "fake_capture.h"

namespace morvane {

namespace {

using testing::FakeBackend;
using testing::ManualClock;

const CaptureError ownersStop{std::string(CaptureStop::streamErrorDomain), CaptureStop::userStoppedCode};
const CaptureError systemStop{"X11", 3};

// The controller with its encoder session on one manual timeline; the
// observer counts what the controller tells it.
struct Rig : FrameObserver {
    ManualClock clock;
    std::shared_ptr<Executor> control = clock.makeQueue();
    std::shared_ptr<Executor> encode = clock.makeQueue();
    std::shared_ptr<FakeBackend> backend = std::make_shared<FakeBackend>();
    std::shared_ptr<SourceOutlets> outlets = std::make_shared<SourceOutlets>();
    std::shared_ptr<EncoderSession> encoder =
        std::make_shared<EncoderSession>(*encode, outlets, [this] { return static_cast<std::uint64_t>(clock.now()) * 1000; }, [] {});
    std::shared_ptr<StreamController> controller =
        std::make_shared<StreamController>(backend, *control, encoder, outlets);
    std::shared_ptr<FrameObserver> handle{this, [](FrameObserver*) {}};
    std::vector<std::string> lines;
    int ownerStops = 0;
    int frames = 0;

    Rig() {
        outlets->setObserver(handle);
        outlets->setReporter([this](const std::string& line) { lines.push_back(line); });
    }
    void onFrame(const Bytes&, int, int) override { ++frames; }
    void onStoppedByOwner() override { ++ownerStops; }

    StreamController& c() { return *controller; }
    testing::FakeStream& stream(std::size_t i) { return *backend->streams.at(i); }
    void moveDisplay() { backend->snapshot.displays[0].bounds.width -= 100; }
    std::size_t live() const {
        return static_cast<std::size_t>(std::count_if(backend->streams.begin(), backend->streams.end(),
                                                      [](const auto& s) { return !s->stopped; }));
    }
    bool reported(const std::string& part) const {
        return std::any_of(lines.begin(), lines.end(),
                           [&](const std::string& l) { return l.find(part) != std::string::npos; });
    }
    std::string stateName() {
        return std::visit(
            [](const auto& s) -> std::string {
                using S = std::decay_t<decltype(s)>;
                if constexpr (std::is_same_v<S, StreamController::Idle>) return "idle";
                if constexpr (std::is_same_v<S, StreamController::Building>) return "building";
                if constexpr (std::is_same_v<S, StreamController::Waiting>) return "waiting";
                if constexpr (std::is_same_v<S, StreamController::Running>) return "running";
                return "halted";
            },
            controller->state());
    }
};

struct Transition {
    const char* rule;
    std::function<void(Rig&)> events;
    const char* state;  // once the queues are idle
    const char* word;   // the published state word
    std::size_t made;   // streams started in all
    std::size_t live;   // streams not stopped
    const char* reportPart = "";
    // After the watchdog had two chances to act.
    const char* stateLater = nullptr;
    std::size_t madeLater = 0;
};

}  // namespace

TEST(StreamController, StateTransitionsFollowTheEventsThatArriveInEachState) {
    const std::vector<Transition> table{
        {"a start builds one stream and runs it", [](Rig& r) { r.c().start(); }, "running", "ok", 1, 1},
        {"the system stopping the stream waits, and the watchdog builds again",
         [](Rig& r) {
             r.c().start();
             r.clock.run();
             r.stream(0).handlers.onStopped(systemStop);
         },
         "waiting", "error: X11 3", 1, 0, "stream stopped by the system", "running", 2},
        {"a failed build waits, and the watchdog builds again once it can",
         [](Rig& r) {
             r.backend->startError = systemStop;
             r.c().start();
             r.clock.run();
             r.backend->startError.reset();
         },
         "waiting", "error: X11 3", 0, 0, "", "running", 1},
        {"the owner's stop while the replaced stream's successor is being made halts and stops it",
         [](Rig& r) {
             r.c().start();
             r.clock.run();
             r.backend->whileStarting = [&r] { r.stream(0).handlers.onStopped(ownersStop); };
             r.moveDisplay();
             r.c().check();
         },
         "halted", "stopped-on-mac", 2, 0, "while the stream was being rebuilt", "halted", 2},
        {"the owner's stop reported by a starting stream halts without retrying",
         [](Rig& r) {
             r.backend->startError = ownersStop;
             r.c().start();
         },
         "halted", "stopped-on-mac", 0, 0, "reported when the stream was started", "halted", 0},
        {"a start after the owner's stop stays halted",
         [](Rig& r) {
             r.c().start();
             r.clock.run();
             r.stream(0).handlers.onStopped(ownersStop);
             r.clock.run();
             r.c().start();
         },
         "halted", "stopped-on-mac", 1, 0, "not started: Stop Sharing was pressed", "halted", 1},
        {"stop then start after the owner's stop captures again",
         [](Rig& r) {
             r.c().start();
             r.clock.run();
             r.stream(0).handlers.onStopped(ownersStop);
             r.clock.run();
             r.c().stop();
             r.c().start();
         },
         "running", "ok", 2, 1},
        {"a display change while running rebuilds onto the new layout once",
         [](Rig& r) {
             r.c().start();
             r.clock.run();
             r.moveDisplay();
             r.c().check();
             r.c().check();  // the second look comes while the first rebuild is under way
         },
         "running", "ok", 2, 1, "", "running", 2},
        {"a late stop of the stream that was replaced changes nothing",
         [](Rig& r) {
             r.c().start();
             r.clock.run();
             r.moveDisplay();
             r.c().check();
             r.clock.run();
             r.stream(0).handlers.onStopped(systemStop);
         },
         "running", "ok", 2, 1},
        {"a stop while building stops the stream that was being made",
         [](Rig& r) {
             r.c().start();
             r.c().stop();
         },
         "idle", "starting", 1, 0, "", "idle", 1},
        {"stop and start while building keep only the newest stream",
         [](Rig& r) {
             r.c().start();
             r.c().stop();
             r.c().start();
         },
         "running", "ok", 2, 1},
        {"a quality change while building rebuilds once the build is done",
         [](Rig& r) {
             r.c().start();
             r.c().setQuality(FrameQuality::low);
         },
         "running", "ok", 2, 1},
        {"a stop inside a settings change's completion leaves capture stopped",
         [](Rig& r) {
             r.c().start();
             r.clock.run();
             r.c().exclude(0x400001, [&r](bool) { r.c().stop(); });
         },
         "idle", "starting", 1, 0, "stopped", "idle", 1},
        {"a settings change that fails after a stop rebuilds nothing",
         [](Rig& r) {
             r.c().start();
             r.clock.run();
             r.stream(0).holdUpdates = true;
             r.c().setQuality(FrameQuality::low);
             r.c().stop();
             r.clock.run();
             r.stream(0).pendingUpdates.back()(systemStop);
         },
         "idle", "starting", 1, 0, "", "idle", 1},
        {"a settings change that fails while running rebuilds the stream",
         [](Rig& r) {
             r.c().start();
             r.clock.run();
             r.stream(0).holdUpdates = true;
             r.c().setQuality(FrameQuality::low);
             r.stream(0).pendingUpdates.back()(systemStop);
         },
         "running", "ok", 2, 1},
    };
    for (const auto& t : table) {
        SCOPED_TRACE(t.rule);
        Rig r;
        t.events(r);
        r.clock.run();
        EXPECT_EQ(r.stateName(), t.state);
        EXPECT_EQ(r.c().published().state, t.word);
        EXPECT_EQ(r.backend->streams.size(), t.made);
        EXPECT_EQ(r.live(), t.live);
        EXPECT_TRUE(r.reported(t.reportPart));
        if (std::string(t.state) == "halted") {
            EXPECT_EQ(r.ownerStops, 1);
        }
        if (std::string(t.state) == "running") {
            // The stream that runs is the newest, and its pictures count.
            ASSERT_FALSE(r.backend->streams.back()->stopped);
            r.backend->streams.back()->deliver(40);
            r.clock.run();
            EXPECT_EQ(r.frames, 1);
        }
        r.clock.advance(2 * StreamController::watchdogMillis);
        EXPECT_EQ(r.stateName(), t.stateLater ? t.stateLater : t.state);
        EXPECT_EQ(r.backend->streams.size(), t.stateLater ? t.madeLater : t.made);
        EXPECT_LE(r.live(), 1u);
    }
}

// What the user's thread reads follows the state: bounds only while a stream
// runs, "stopped" in the counts once capture is no longer wanted.
TEST(StreamController, PublishedBoundsAndCapturingFollowTheState) {
    Rig r;
    r.c().start();
    r.clock.run();
    EXPECT_EQ(r.c().published().bounds, (Rect{0, 0, 1920, 1080}));
    EXPECT_TRUE(r.c().published().capturing);

    r.stream(0).handlers.onStopped(systemStop);
    r.clock.run();
    EXPECT_FALSE(r.c().published().bounds);
    EXPECT_TRUE(r.c().published().capturing);

    r.clock.advance(StreamController::watchdogMillis);
    ASSERT_EQ(r.stateName(), "running");
    r.stream(1).handlers.onStopped(ownersStop);
    r.clock.run();
    EXPECT_FALSE(r.c().published().bounds);
    EXPECT_FALSE(r.c().published().capturing);
    EXPECT_EQ(r.c().published().state, "stopped-on-mac");
}

// Video on a stream of another display must begin with a keyframe: the
// viewer's decoder holds pictures of the old one. A stream rebuilt on the
// same display continues the video as it was.
TEST(StreamController, VideoContinuesOnARebuiltStreamWithAKeyframeOnlyForAnotherDisplay) {
    struct Case {
        const char* rule;
        std::function<void(Rig&)> change;
        bool keyframe;
    };
    const std::vector<Case> table{
        {"another display is chosen", [](Rig& r) { r.c().select(2u); }, true},
        {"the main display moves to the other one",
         [](Rig& r) {
             r.backend->snapshot.mainDisplay = 2;
             r.c().check();
         },
         true},
        {"another display's layout changes", [](Rig& r) {
             r.backend->snapshot.displays[1].bounds.y = 40;
             r.c().check();
         },
         false},
    };
    for (const auto& t : table) {
        SCOPED_TRACE(t.rule);
        Rig r;
        r.backend->snapshot.displays.push_back({2, std::string("Side"), false, 1920, 1080, {1920, 0, 1920, 1080}});
        auto journal = std::make_shared<testing::EncoderJournal>();
        r.encoder->setMakeEncoder([journal](int w, int h, int, int, std::uint64_t,
                                            const std::function<void(const std::string&)>&) {
            journal->made.push_back({w, h});
            return std::make_unique<testing::FakeEncoder>(w, h, journal);
        });
        r.c().start();
        r.clock.run();
        ASSERT_TRUE(r.encoder->startVideo(PixelSize{1664, 936}));
        r.c().setVideoLimit(VideoLimit{1920, 1080});
        r.encoder->endSettling();
        r.backend->latest().deliver(40);
        r.clock.run();
        ASSERT_EQ(journal->calls.size(), 1u);

        t.change(r);
        r.clock.run();
        ASSERT_EQ(r.backend->streams.size(), 2u);
        r.backend->latest().deliver(41);
        r.clock.run();
        ASSERT_EQ(journal->calls.size(), 2u);
        EXPECT_EQ(journal->calls[1].forceKeyframe, t.keyframe);
        EXPECT_EQ(journal->made.size(), 1u);
    }
}

}  // namespace morvane
