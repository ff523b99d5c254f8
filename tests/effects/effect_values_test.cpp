#include "effects/effect_values.h"

#include <gtest/gtest.h>

namespace morvane {
namespace {

TEST(FxLimiter, EachKindKeepsItsOwnIntervalAndRefusalsDoNotMoveIt) {
    FxLimiter limiter;
    const FxRequest match = fx_request::Match{1, 1280, 800, 1};
    const FxRequest probe = fx_request::Probe{1, 1280, 800, 1};
    const FxRequest hideOn = fx_request::Hide{1, true};
    EXPECT_TRUE(limiter.allow(match, 0));
    EXPECT_FALSE(limiter.allow(match, 2999));
    EXPECT_TRUE(limiter.allow(match, 3000));  // measured from 0, not from the refusal
    EXPECT_TRUE(limiter.allow(probe, 0));
    EXPECT_FALSE(limiter.allow(probe, 499));
    EXPECT_TRUE(limiter.allow(probe, 500));
    EXPECT_TRUE(limiter.allow(hideOn, 100));
    EXPECT_FALSE(limiter.allow(hideOn, 1099));
    EXPECT_TRUE(limiter.allow(hideOn, 1100));

    // Requests that undo or greet are never spaced.
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(limiter.allow(fx_request::Hide{2, false}, 1100));
        EXPECT_TRUE(limiter.allow(fx_request::Restore{2}, 1100));
        EXPECT_TRUE(limiter.allow(fx_request::Hello{}, 1100));
    }
    EXPECT_FALSE(limiter.allow(hideOn, 1101));

    // A clock that went back is allowed and becomes the new mark.
    EXPECT_TRUE(limiter.allow(match, 10));
    EXPECT_FALSE(limiter.allow(match, 3009));
}

TEST(EscapeHold, FiresOnceAfterThreeSecondsOfOnePress) {
    EscapeHold hold;
    EXPECT_FALSE(hold.fires(10.0));
    hold.key(true, false, 0.0);
    hold.key(true, true, 2.0);   // repeats keep the first time
    hold.key(true, false, 2.5);  // so does a duplicate down
    EXPECT_FALSE(hold.fires(2.9));
    EXPECT_TRUE(hold.fires(3.0));
    EXPECT_FALSE(hold.fires(4.0));
    hold.key(false, false, 4.5);
    hold.key(true, false, 5.0);
    EXPECT_FALSE(hold.fires(7.9));
    EXPECT_TRUE(hold.fires(8.0));
    hold.key(true, false, 1.0);
    hold.reset();
    EXPECT_FALSE(hold.fires(100.0));
}

TEST(HideIdle, WarnsOnceAtTheLeadAndExpiresAtTheLimit) {
    EXPECT_EQ(HideIdle::warning(-5), 0);
    EXPECT_EQ(HideIdle::warning(1), 0);
    EXPECT_EQ(HideIdle::warning(2), 1);
    EXPECT_EQ(HideIdle::warning(100), 50);
    EXPECT_EQ(HideIdle::warning(119), 59);
    EXPECT_EQ(HideIdle::warning(120), 60);
    EXPECT_EQ(HideIdle::warning(600), 60);

    HideIdle idle;
    idle.input(0);
    EXPECT_FALSE(idle.warnDue(539'999, 600));
    EXPECT_TRUE(idle.warnDue(540'000, 600));
    EXPECT_FALSE(idle.warnDue(550'000, 600));
    EXPECT_FALSE(idle.expired(599'999, 600));
    EXPECT_TRUE(idle.expired(600'000, 600));
    idle.input(560'000);
    EXPECT_FALSE(idle.expired(600'000, 600));
    EXPECT_FALSE(idle.warnDue(1'099'999, 600));
    EXPECT_TRUE(idle.warnDue(1'100'000, 600));

    // Readings before the last input count as no time passed.
    idle.input(5'000'000);
    EXPECT_FALSE(idle.expired(0, 0));
    EXPECT_FALSE(idle.warnDue(0, 0));
    // A negative limit behaves as no limit at all: expired at once.
    EXPECT_TRUE(idle.expired(5'000'000, -3));
}

TEST(OwedMode, RestoresOnlyAModeThatIsStillTheOneApplied) {
    EXPECT_EQ(OwedMode::decide(false, 7, 7), OwedMode::Decision::keep);
    EXPECT_EQ(OwedMode::decide(true, std::nullopt, 7), OwedMode::Decision::keep);
    EXPECT_EQ(OwedMode::decide(true, 7, 7), OwedMode::Decision::restore);
    EXPECT_EQ(OwedMode::decide(true, 8, 7), OwedMode::Decision::forget);
}

TEST(ReconfigClassifier, TopologyChangesOutrankAModeChangedAtTheMac) {
    using namespace ReconfigClassifier;
    const Topology one{{1, 2}, 1, {}};
    const ReconfigClassifier::Matched matched{2, 20, 10};
    EXPECT_EQ(classify(one, one, matched, 30), Verdict(verdict::ModeChangedElsewhere{2}));
    EXPECT_EQ(classify(one, one, matched, 10), Verdict(verdict::None{}));  // our own restore
    EXPECT_EQ(classify(one, one, matched, 20), Verdict(verdict::None{}));
    EXPECT_EQ(classify(one, one, matched, std::nullopt), Verdict(verdict::None{}));
    EXPECT_EQ(classify(one, one, std::nullopt, 30), Verdict(verdict::None{}));
    EXPECT_EQ(classify(one, Topology{{1}, 1, {}}, matched, 30), Verdict(verdict::Reconfigured{}));
    EXPECT_EQ(classify(one, Topology{{1, 2}, 2, {}}, matched, 30), Verdict(verdict::Reconfigured{}));
    EXPECT_EQ(classify(one, Topology{{1, 2}, 1, {{2, 1}}}, std::nullopt, std::nullopt), Verdict(verdict::Reconfigured{}));
}

TEST(EffectsLease, ExpiresOnSilenceButNotAfterTheWholeProcessStoodStill) {
    EffectsLease lease(0.0);
    EXPECT_EQ(lease.fire(1.0), (EffectsLease::Fire{true, false}));
    lease.mainAnswered();
    EXPECT_EQ(lease.fire(2.0), (EffectsLease::Fire{true, false}));
    // The main thread stops answering: the ping runs out after the lease.
    lease.serverAlive(9.0);
    for (double t = 3.0; t <= 10.0; t += 1.0) EXPECT_EQ(lease.fire(t), (EffectsLease::Fire{false, false})) << t;
    EXPECT_EQ(lease.fire(10.5), (EffectsLease::Fire{false, true}));

    // The server falls silent while the main thread answers.
    EffectsLease server(0.0);
    for (double t = 1.0; t <= 8.0; t += 1.0) {
        EXPECT_FALSE(server.fire(t).expired) << t;
        server.mainAnswered();
    }
    EXPECT_TRUE(server.fire(8.5).expired);
    server.serverAlive(20.0);
    server.serverAlive(15.0);  // a beat read earlier never moves the mark back
    EXPECT_EQ(server.serverBeat, 20.0);

    // Sleep: a fire 20 s after the previous one, with an old beat and a ping
    // still out from before, expires nothing; the next fires count from then.
    EffectsLease sleep(0.0);
    sleep.fire(1.0);
    EXPECT_EQ(sleep.fire(21.0), (EffectsLease::Fire{false, false}));
    EXPECT_EQ(sleep.serverBeat, 21.0);
    EXPECT_FALSE(sleep.fire(22.0).expired);
    EXPECT_FALSE(sleep.fire(29.0).expired);
    EXPECT_TRUE(sleep.fire(29.5).expired);
}

TEST(ModeGate, HoldsUntilTheExpectedSizeOrTheDeadline) {
    ModeGate gate;
    EXPECT_FALSE(gate.active(0));
    gate.set(3, 1440, 900, 1000);
    EXPECT_TRUE(gate.active(5999));
    gate.observe(std::nullopt, 1, 1);
    gate.observe(3, 1512, 982);  // still the old size
    EXPECT_TRUE(gate.active(1000));
    gate.observe(3, 1440, 900);
    EXPECT_FALSE(gate.active(1000));

    gate.set(3, 1440, 900, 1000);
    gate.observe(4, 1512, 982);  // another display
    EXPECT_FALSE(gate.active(1000));

    gate.set(3, std::nullopt, std::nullopt, 1000);
    gate.observe(3, 1512, 982);  // no expected size: any report ends it
    EXPECT_FALSE(gate.active(1000));

    gate.set(3, 1440, 900, 1000);
    EXPECT_FALSE(gate.active(6000));
    EXPECT_EQ(gate.display, std::nullopt);  // ran out and cleared itself
    EXPECT_FALSE(ModeGate(3u).active(0));   // deadline 0 has passed already
}

}  // namespace
}  // namespace morvane
