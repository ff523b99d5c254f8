#include "server/effects_relay.h"

#include <gtest/gtest.h>

#include "../app/manual_executor.h"
#include "server_fakes.h"

namespace morvane {
namespace {

using testing::Journal;
using testing::ManualExecutor;
using testing::RecordingLink;

const DisplayModeInfo kOwn{1, 1512, 982, 3024, 1964, 60, true, false};
const DisplayModeInfo kFill{2, 1440, 900, 2880, 1800, 60, true, false};

// A driver that keeps a journal and fails the test if a mode it changed or a
// cover it showed was never put back.
class FakeEffects final : public DisplayEffects {
public:
    ~FakeEffects() override {
        EXPECT_FALSE(changed) << "a changed mode was never put back";
        EXPECT_FALSE(covered) << "the cover was left up";
    }
    EventHandler onEvent() const override { return handler; }
    void setOnEvent(EventHandler h) override { handler = std::move(h); }
    std::optional<Modes> modes(std::uint32_t) override { return Modes{{kOwn, kFill}, changed ? kFill : kOwn}; }
    int otherActiveDisplays(std::uint32_t) override { return 0; }
    bool secureInputOn() const override { return false; }
    bool restoreOwed() const override { return false; }
    bool setMode(std::int32_t mode, std::uint32_t display, std::int64_t epoch) override {
        calls.push_back("set " + std::to_string(mode) + " on " + std::to_string(display) + " epoch " +
                        std::to_string(epoch));
        changed = modeWorks;
        return modeWorks;
    }
    bool restoreMode(std::uint32_t display) override {
        calls.push_back("restore " + std::to_string(display));
        changed = false;
        return true;
    }
    void forgetMode(std::uint32_t) override { calls.push_back("forget"); }
    void cover(std::uint32_t, const std::string& text, std::int64_t, std::function<void(bool)> done) override {
        calls.push_back("cover");
        EXPECT_EQ(text, EffectsRelay::coverText);
        pendingCover = std::move(done);
    }
    void uncover() override {
        calls.push_back("uncover");
        covered = false;
    }
    EscapeArm armEscape(std::int64_t) override {
        calls.push_back("arm");
        return arm;
    }
    void disarmEscape() override { calls.push_back("disarm"); }
    void restoreAll(std::int64_t epoch) override {
        calls.push_back("restore all " + std::to_string(epoch));
        changed = false;
        covered = false;
    }
    void keepAlive() override {}
    void recoverAtLaunch() override {}

    void finishCover(bool ok) {
        covered = ok;
        auto done = std::move(pendingCover);
        done(ok);
    }

    EventHandler handler;
    std::vector<std::string> calls;
    std::function<void(bool)> pendingCover;
    EscapeArm arm = EscapeArm::armed;
    bool modeWorks = true;
    bool changed = false;
    bool covered = false;
};

struct EffectsFixture : ::testing::Test {
    ManualExecutor queue;
    ManualExecutor main;
    Journal journal;
    testing::FakeFrameSource frames{journal};
    FakeEffects driver;
    bool paused = false;
    std::shared_ptr<EffectsRelay> relay;
    std::shared_ptr<RecordingLink> link = std::make_shared<RecordingLink>();

    void SetUp() override {
        queue.advance(10'000);
        DisplayListing listing;
        listing.displays.push_back(DisplayInfo{1, "Built-in", 3024, 1964, Rect{0, 0, 1512, 982}, true, true});
        listing.current = 1;
        frames.setListing(listing);
        relay = make(&driver);
    }
    void TearDown() override {
        // The server restores everything when a session ends.
        auto ended = relay->endSession(nullptr);
        driver.restoreAll(ended.epoch);
        settle();
    }
    std::shared_ptr<EffectsRelay> make(DisplayEffects* effects) {
        auto r = EffectsRelay::create(queue, main, effects, frames, [this] { return paused; },
                                      [this] { return queue.now(); }, 600);
        r->feed(fx_machine_event::Allowed{true, true, false});
        r->endSession(link);
        return r;
    }
    void settle() {
        for (int i = 0; i < 6; ++i) {
            queue.runAll();
            main.runAll();
        }
    }
    void ask(const FxRequest& request, bool switching = false) {
        relay->handle(request, switching);
        settle();
    }
    bool saidResult(const FxResult& result) const { return link->said(FxMessage::result(result)); }
    int states() const {
        int n = 0;
        for (const auto& m : link->sent) n += m.find("\"fx-state\"") != std::string::npos;
        return n;
    }
};

TEST_F(EffectsFixture, AMatchChangesTheModeWithTheSessionEpochAndARestorePutsItBack) {
    ask(fx_request::Hello{});
    ask(fx_request::Match{1, 1600, 1000, 2});
    ASSERT_EQ(driver.calls, (std::vector<std::string>{"set 2 on 1 epoch " + std::to_string(relay->epoch())}));
    EXPECT_TRUE(saidResult(FxResult::ok(1, FxWhat::match)));
    EXPECT_EQ(relay->active(), std::make_pair(true, false)) << "the shell sees the match";

    queue.advance(FxLimits::matchIntervalMillis);
    ask(fx_request::Restore{2});
    EXPECT_EQ(driver.calls.back(), "restore 1");
    EXPECT_TRUE(saidResult(FxResult::ok(2, FxWhat::restore)));
    EXPECT_EQ(relay->active(), std::make_pair(false, false));
}

TEST_F(EffectsFixture, StatesGoOnlyToAControllerThatSpokeOfTheEffects) {
    relay->tick();
    relay->status(true, "ok");
    settle();
    EXPECT_EQ(states(), 0) << "a page that never said fx-hello hears nothing";
    ask(fx_request::Hello{});
    EXPECT_EQ(states(), 1);
}

TEST_F(EffectsFixture, ARequestWhoseAskerLostControlMeanwhileIsDropped) {
    relay->handle(fx_request::Match{1, 1600, 1000, 2}, false);
    main.runAll();  // the facts are read for the old controller…
    auto newcomer = std::make_shared<RecordingLink>();
    relay->endSession(newcomer);  // …which is taken over before they come back
    settle();
    EXPECT_TRUE(driver.calls.empty());
    EXPECT_TRUE(newcomer->sent.empty());
}

TEST_F(EffectsFixture, HidingArmsTheWatchFirstAndAFailedCoverLeavesANewerWatchAlone) {
    struct Case {
        EscapeArm arm;
        std::optional<FxError> error;
        std::vector<std::string> calls;
    };
    for (const Case& c : {Case{EscapeArm::noPermission, FxError::noKeyWatch, {"arm"}},
                          Case{EscapeArm::failed, FxError::failed, {"arm"}}}) {
        driver.calls.clear();
        driver.arm = c.arm;
        queue.advance(FxLimits::hideIntervalMillis);
        ask(fx_request::Hide{7, true});
        EXPECT_EQ(driver.calls, c.calls) << "the cover never shows without its watch";
        EXPECT_TRUE(saidResult(FxResult::refused(7, FxWhat::hide, *c.error, false)));
    }

    driver.calls.clear();
    driver.arm = EscapeArm::armed;
    queue.advance(FxLimits::hideIntervalMillis);
    ask(fx_request::Hide{8, true});
    ASSERT_EQ(driver.calls, (std::vector<std::string>{"arm", "cover"}));
    driver.finishCover(true);
    settle();
    EXPECT_TRUE(saidResult(FxResult::ok(8, FxWhat::hide)));
    EXPECT_EQ(relay->active(), std::make_pair(false, true));

    queue.advance(FxLimits::hideIntervalMillis);
    ask(fx_request::Hide{9, false});
    EXPECT_EQ(driver.calls.back(), "disarm");
    EXPECT_EQ(relay->active(), std::make_pair(false, false));
}

TEST_F(EffectsFixture, TheDriversOwnEventsAreJudgedOnTheServerQueue) {
    driver.arm = EscapeArm::armed;
    ask(fx_request::Hide{8, true});
    driver.finishCover(true);
    settle();
    ASSERT_EQ(relay->active(), std::make_pair(false, true));
    ASSERT_TRUE(driver.handler) << "the relay listens to the driver from its start";

    driver.handler(fx_event::EscapeHeld{});
    EXPECT_EQ(relay->active(), std::make_pair(false, true)) << "nothing is decided where the driver spoke";
    settle();
    EXPECT_EQ(relay->active(), std::make_pair(false, false)) << "Escape held at the computer shows the screen";
}

TEST(EffectsRelayWithoutDriver, RequestsStillReachTheMachineAndNoDriverIsCalled) {
    ManualExecutor queue, main;
    Journal journal;
    testing::FakeFrameSource frames{journal};
    auto link = std::make_shared<RecordingLink>();
    auto relay = EffectsRelay::create(queue, main, nullptr, frames, [] { return false; }, [&] { return queue.now(); },
                                      600);
    relay->feed(fx_machine_event::Allowed{true, true, false});
    relay->endSession(link);
    relay->handle(fx_request::Probe{1, 1600, 1000, 2}, false);
    queue.runAll();
    main.runAll();
    ASSERT_EQ(link->sent.size(), 1u) << "answered at once, as a host that knows no display";
    EXPECT_NE(link->sent[0].find("\"fx-result\""), std::string::npos);
    EXPECT_EQ(link->sent[0].find("\"error\":null"), std::string::npos);
}

}  // namespace
}  // namespace morvane
