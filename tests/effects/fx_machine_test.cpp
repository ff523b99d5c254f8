#include "effects/fx_machine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace morvane {
namespace {

namespace ev = fx_machine_event;
namespace act = fx_action;
using Actions = std::vector<FxMachine::Action>;

constexpr std::uint32_t kDisplay = 1;
// The display's own mode (HiDPI, 1512x982) and the one that fills a 16:10 window.
const DisplayModeInfo kOwn{1, 1512, 982, 3024, 1964, 60, true, false};
const DisplayModeInfo kFill{2, 1440, 900, 2880, 1800, 60, true, false};
const DisplayModeInfo kSmall{3, 1024, 768, 2048, 1536, 60, true, false};

FxFacts facts(const DisplayModeInfo& current = kOwn, bool secureInput = false) {
    return FxFacts{kDisplay, std::vector<DisplayModeInfo>{kOwn, kFill, kSmall}, current, 1, secureInput};
}

// The gate as a mode change on the display at `at` leaves it.
ModeGate gateSet(std::optional<int> width, std::optional<int> height, std::uint64_t at) {
    ModeGate gate;
    gate.set(kDisplay, width, height, at);
    return gate;
}

FxMachine::Action ok(int id, FxWhat what) { return act::Result{FxResult::ok(id, what)}; }
FxMachine::Action refused(int id, FxWhat what, FxError error, bool restored = false) {
    return act::Result{FxResult::refused(id, what, error, restored)};
}
FxMachine::Action plain() { return act::State{}; }
FxMachine::Action ended(FxWhat what, FxWhy why) { return act::State{FxEnded{what, why}, std::nullopt}; }
FxMachine::Action soon(int seconds) { return act::State{std::nullopt, seconds}; }

// A machine for a controller whose owner allows both effects, with each
// event fed at a given time the way the server does.
struct Rig {
    FxMachine fx{true};
    Rig() {
        feed(ev::Allowed{true, true, false});
        feed(ev::SessionEnd{true, 0});
    }
    Actions feed(const FxMachine::Event& e, std::uint64_t now = 0) {
        fx.gateNow = now;
        return fx.handle(e);
    }
    Actions request(const FxRequest& r, std::uint64_t now, const FxFacts& f = facts(), bool switching = false) {
        return feed(ev::Request{r, f, switching, now}, now);
    }
    Actions match(int id, std::uint64_t now, int w = 1600, int h = 1000) {
        return request(fx_request::Match{id, w, h, 2}, now, facts(fx.match ? fx.match->applied : kOwn));
    }
    Actions hide(int id, std::uint64_t now, const FxFacts& f = facts()) { return request(fx_request::Hide{id, true}, now, f); }
    // A match that the driver carried out.
    void applied(int id, std::uint64_t now) {
        ASSERT_EQ(match(id, now), (Actions{act::SetMode{id, kDisplay, kFill, fx.epoch}}));
        ASSERT_EQ(feed(ev::ModeSet{id, true, fx.epoch}, now), (Actions{ok(id, FxWhat::match), plain()}));
    }
    void hidden(int id, std::uint64_t now) {
        ASSERT_EQ(hide(id, now), (Actions{act::Hide{id, kDisplay, fx.epoch}}));
        ASSERT_EQ(feed(ev::HideDone{id, HideOutcome::ok, fx.epoch, now}, now), (Actions{ok(id, FxWhat::hide), plain()}));
    }
};

TEST(FxMachine, HelloAnswersWithOneStateAndMarksTheClientForTheSession) {
    Rig rig;
    EXPECT_FALSE(rig.fx.fxClient);
    EXPECT_EQ(rig.request(fx_request::Hello{}, 0), Actions{plain()});
    EXPECT_TRUE(rig.fx.fxClient);
    EXPECT_EQ(rig.feed(ev::SessionEnd{true, 10}), Actions{act::RestoreAll{2}});
    EXPECT_FALSE(rig.fx.fxClient);
}

TEST(FxMachine, RefusalsComeInTheirOrderAndLeaveNoTrace) {
    FxMachine none(false);
    none.handle(ev::Allowed{true, true, true});
    EXPECT_EQ(none.handle(ev::Request{fx_request::Match{1, 1600, 1000, 2}, FxFacts(), false, 0}),
              Actions{refused(1, FxWhat::match, FxError::unavailable)});
    EXPECT_EQ(none.handle(ev::Request{fx_request::Probe{2, 1600, 1000, 2}, facts(), false, 0}),
              Actions{refused(2, FxWhat::probe, FxError::unavailable)});
    EXPECT_EQ(none.handle(ev::Request{fx_request::Hide{3, true}, facts(), false, 0}),
              Actions{refused(3, FxWhat::hide, FxError::unavailable)});
    const auto nothing = none.state(facts());
    EXPECT_EQ(nothing.display, std::nullopt);
    EXPECT_FALSE(nothing.matchAvailable || nothing.hideAvailable || nothing.matchAllowed || nothing.locks);

    Rig rig;
    FxFacts unreadable = facts();
    unreadable.modes.reset();
    EXPECT_EQ(rig.request(fx_request::Match{1, 1600, 1000, 2}, 0, unreadable),
              Actions{refused(1, FxWhat::match, FxError::unavailable)});
    EXPECT_EQ(rig.request(fx_request::Match{2, 1600, 1000, 2}, 0, facts(), true),
              Actions{refused(2, FxWhat::match, FxError::busy)});
    rig.feed(ev::Status{true, "ok"});
    EXPECT_EQ(rig.match(3, 0), Actions{refused(3, FxWhat::match, FxError::locked)});
    EXPECT_EQ(rig.hide(4, 0), Actions{refused(4, FxWhat::hide, FxError::locked)});
    rig.feed(ev::Allowed{false, false, false});
    EXPECT_EQ(rig.match(5, 0), Actions{refused(5, FxWhat::match, FxError::notAllowed)});
    EXPECT_EQ(rig.hide(6, 0), Actions{refused(6, FxWhat::hide, FxError::notAllowed)});
    rig.feed(ev::Allowed{true, true, false});
    rig.feed(ev::Status{false, "ok"});

    // Secure input refuses a hide after the busy check and before the interval.
    EXPECT_EQ(rig.hide(7, 0, facts(kOwn, true)), Actions{refused(7, FxWhat::hide, FxError::failed)});
    // None of the refusals above used up an interval.
    EXPECT_EQ(rig.match(8, 0), (Actions{act::SetMode{8, kDisplay, kFill, rig.fx.epoch}}));
    EXPECT_EQ(rig.hide(9, 0, facts(kOwn, true)), Actions{refused(9, FxWhat::hide, FxError::busy)});
    EXPECT_EQ(rig.feed(ev::ModeSet{8, true, rig.fx.epoch}), (Actions{ok(8, FxWhat::match), plain()}));
    EXPECT_EQ(rig.hide(10, 0), (Actions{act::Hide{10, kDisplay, rig.fx.epoch}}));
}

TEST(FxMachine, OneRequestAtATimeWhileProbesAreAnsweredMeanwhile) {
    Rig rig;
    ASSERT_EQ(rig.match(1, 0), (Actions{act::SetMode{1, kDisplay, kFill, rig.fx.epoch}}));
    EXPECT_TRUE(rig.fx.busy());
    EXPECT_EQ(rig.match(2, 5000), Actions{refused(2, FxWhat::match, FxError::busy)});
    EXPECT_EQ(rig.hide(3, 5000), Actions{refused(3, FxWhat::hide, FxError::busy)});
    FxResult probe = FxResult::ok(4, FxWhat::probe);
    probe.verdict = FxVerdict::fit;
    probe.before = 38;
    probe.after = 0;
    probe.smaller = true;
    EXPECT_EQ(rig.request(fx_request::Probe{4, 1600, 1000, 2}, 5000), Actions{act::Result{probe}});
    EXPECT_EQ(rig.request(fx_request::Probe{5, 1600, 1000, 2}, 5499), Actions{refused(5, FxWhat::probe, FxError::tooSoon)});
    // A probe whose window the display already fits.
    probe = FxResult::ok(6, FxWhat::probe);
    probe.verdict = FxVerdict::noBetterMode;
    EXPECT_EQ(rig.request(fx_request::Probe{6, 1512, 982, 2}, 5500), Actions{act::Result{probe}});
}

TEST(FxMachine, ADisplayWithOneModeSaysSoToProbesAndMatches) {
    Rig rig;
    const FxFacts one{kDisplay, std::vector<DisplayModeInfo>{kOwn}, kOwn, 1, false};
    FxResult probe = FxResult::ok(1, FxWhat::probe);
    probe.verdict = FxVerdict::noOtherMode;
    const auto answer = rig.request(fx_request::Probe{1, 1000, 1400, 2}, 5000, one);
    ASSERT_EQ(answer.size(), 1u);
    const auto* result = std::get_if<act::Result>(&answer[0]);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->result.verdict, FxVerdict::noOtherMode);
    EXPECT_EQ(rig.request(fx_request::Match{2, 1000, 1400, 2}, 9000, one),
              Actions{refused(2, FxWhat::match, FxError::noOtherMode)});
    EXPECT_FALSE(rig.fx.match);
}

TEST(FxMachine, MatchesAreSpacedFromTheLastAcceptedOne) {
    Rig rig;
    rig.applied(1, 1000);
    EXPECT_EQ(rig.match(2, 3999), Actions{refused(2, FxWhat::match, FxError::tooSoon)});
    // The refusal did not restart the interval; the match is already applied.
    EXPECT_EQ(rig.match(3, 4000), (Actions{ok(3, FxWhat::match), plain()}));
}

TEST(FxMachine, AppliedMatchIsReportedAndGatesInputUntilTheSizeShows) {
    Rig rig;
    rig.applied(1, 100);
    ASSERT_TRUE(rig.fx.match);
    EXPECT_EQ(*rig.fx.match, (FxMachine::Match{kDisplay, kOwn, kFill}));
    const auto state = rig.fx.state(facts(kFill));
    EXPECT_EQ(state.matchSize, (FxMessage::MatchSize{1440, 900, true}));
    EXPECT_TRUE(state.matchAvailable && state.matchAllowed && state.hideAvailable && !state.hideActive);
    EXPECT_EQ(state.others, 1);

    EXPECT_TRUE(rig.fx.gate.active(200));
    rig.feed(ev::Shown{kDisplay, 1512, 982});  // not yet
    EXPECT_TRUE(rig.fx.gate.active(200));
    rig.feed(ev::Shown{std::nullopt, 1440, 900});
    EXPECT_TRUE(rig.fx.gate.active(200));
    rig.feed(ev::Shown{kDisplay, 1440, 900});
    EXPECT_FALSE(rig.fx.gate.active(200));
}

TEST(FxMachine, GateRunsOutAtTheTickAfterItsDeadline) {
    Rig rig;
    ASSERT_EQ(rig.match(1, 1000).size(), 1u);
    rig.feed(ev::Shown{kDisplay, 1512, 982});
    rig.feed(ev::Tick{5999});
    EXPECT_EQ(rig.fx.gate.display, kDisplay);
    rig.feed(ev::Tick{6000});
    EXPECT_EQ(rig.fx.gate.display, std::nullopt);

    // A failed restore lets input through at once.
    rig.feed(ev::ModeSet{1, true, rig.fx.epoch});
    rig.request(fx_request::Restore{2}, 7000);
    EXPECT_TRUE(rig.fx.gate.active(7001));
    rig.feed(ev::RestoreFailed{});
    EXPECT_FALSE(rig.fx.gate.active(7001));
}

TEST(FxMachine, RematchKeepsTheAppliedModeOrPutsTheOriginalBack) {
    Rig rig;
    rig.applied(1, 0);
    // The baseline is the mode from before the match, not the applied one.
    rig.fx.gate.clear();
    EXPECT_EQ(rig.match(2, 3000, 1512, 982),
              (Actions{act::RestoreMode{kDisplay}, refused(2, FxWhat::match, FxError::noBetterMode, true), plain()}));
    EXPECT_FALSE(rig.fx.match);
    EXPECT_EQ(rig.fx.gate, (gateSet(1512, 982, 3000)));

    rig.applied(3, 6000);
    EXPECT_EQ(rig.match(4, 9000, 1000, 1600),
              (Actions{act::RestoreMode{kDisplay}, refused(4, FxWhat::match, FxError::noFit, true), plain()}));
    // With nothing applied the same window is just refused.
    EXPECT_EQ(rig.match(5, 12000, 1000, 1600), Actions{refused(5, FxWhat::match, FxError::noFit)});
}

TEST(FxMachine, RestoreUndoesAppliedAndPendingMatches) {
    Rig rig;
    EXPECT_EQ(rig.request(fx_request::Restore{1}, 0), (Actions{ok(1, FxWhat::restore), plain()}));
    rig.applied(2, 0);
    EXPECT_EQ(rig.request(fx_request::Restore{3}, 100),
              (Actions{act::RestoreMode{kDisplay}, ok(3, FxWhat::restore), plain()}));
    EXPECT_FALSE(rig.fx.match);

    ASSERT_EQ(rig.match(4, 3000).size(), 1u);
    EXPECT_EQ(rig.request(fx_request::Restore{5}, 3100),
              (Actions{act::RestoreMode{kDisplay}, ok(5, FxWhat::restore), plain()}));
    EXPECT_EQ(rig.request(fx_request::Restore{6}, 3200), (Actions{ok(6, FxWhat::restore), plain()}));
    EXPECT_EQ(rig.feed(ev::ModeSet{4, true, rig.fx.epoch}), Actions{refused(4, FxWhat::match, FxError::busy)});
    EXPECT_FALSE(rig.fx.match);
    EXPECT_FALSE(rig.fx.active());
}

TEST(FxMachine, FailedModeChangeAnswersFailedAndUndoesAnEarlierMatch) {
    Rig rig;
    ASSERT_EQ(rig.match(1, 0).size(), 1u);
    EXPECT_EQ(rig.feed(ev::ModeSet{1, false, rig.fx.epoch}), Actions{refused(1, FxWhat::match, FxError::failed)});
    EXPECT_FALSE(rig.fx.gate.active(1));
    EXPECT_FALSE(rig.fx.busy());

    // A re-match to another mode that fails puts the original back.
    rig.applied(2, 3000);
    ASSERT_EQ(rig.match(3, 6000, 1024, 768), (Actions{act::SetMode{3, kDisplay, kSmall, rig.fx.epoch}}));
    EXPECT_EQ(rig.fx.matchInFlight(), (FxMachine::InFlight{kDisplay, kOwn}));
    EXPECT_EQ(rig.feed(ev::ModeSet{3, false, rig.fx.epoch}),
              (Actions{act::RestoreMode{kDisplay}, refused(3, FxWhat::match, FxError::failed, true), plain()}));
    EXPECT_FALSE(rig.fx.match);
}

TEST(FxMachine, HideAndShowIncludingAShowThatOvertakesTheCover) {
    Rig rig;
    rig.hidden(1, 0);
    EXPECT_EQ(rig.fx.hide, kDisplay);
    EXPECT_TRUE(rig.fx.state(facts()).hideActive);
    EXPECT_EQ(rig.hide(2, 5000), (Actions{ok(2, FxWhat::hide), plain()}));
    EXPECT_EQ(rig.request(fx_request::Hide{3, false}, 5000), (Actions{act::Unhide{}, ok(3, FxWhat::hide), plain()}));
    EXPECT_EQ(rig.request(fx_request::Hide{4, false}, 5000), (Actions{ok(4, FxWhat::hide), plain()}));

    ASSERT_EQ(rig.hide(5, 5000), (Actions{act::Hide{5, kDisplay, rig.fx.epoch}}));
    EXPECT_EQ(rig.request(fx_request::Hide{6, false}, 5001), (Actions{act::Unhide{}, ok(6, FxWhat::hide), plain()}));
    EXPECT_EQ(rig.feed(ev::HideDone{5, HideOutcome::ok, rig.fx.epoch, 5002}), Actions{refused(5, FxWhat::hide, FxError::failed)});
    EXPECT_FALSE(rig.fx.hide);

    ASSERT_EQ(rig.hide(7, 7000).size(), 1u);
    EXPECT_EQ(rig.feed(ev::HideDone{7, HideOutcome::noKeyWatch, rig.fx.epoch, 7000}),
              Actions{refused(7, FxWhat::hide, FxError::noKeyWatch)});
    ASSERT_EQ(rig.hide(8, 8000).size(), 1u);
    EXPECT_EQ(rig.feed(ev::HideDone{8, HideOutcome::failed, rig.fx.epoch, 8000}),
              Actions{refused(8, FxWhat::hide, FxError::failed)});
    EXPECT_EQ(rig.hide(9, 8999), Actions{refused(9, FxWhat::hide, FxError::tooSoon)});
}

TEST(FxMachine, OutcomesOfAnEarlierSessionOrAnotherRequestAreDropped) {
    Rig rig;
    ASSERT_EQ(rig.hide(1, 0).size(), 1u);
    const auto old = rig.fx.epoch;
    EXPECT_EQ(rig.feed(ev::HideDone{2, HideOutcome::ok, old, 0}), Actions{});
    EXPECT_EQ(rig.feed(ev::ModeSet{1, true, old}), Actions{});  // a hide is pending, not a match
    EXPECT_EQ(rig.feed(ev::SessionEnd{false, 10}), Actions{act::RestoreAll{old + 1}});
    EXPECT_EQ(rig.feed(ev::HideDone{1, HideOutcome::ok, old, 20}), Actions{});
    EXPECT_FALSE(rig.fx.hide);
    EXPECT_FALSE(rig.fx.active());

    rig.feed(ev::SessionEnd{true, 30});
    ASSERT_EQ(rig.match(3, 40).size(), 1u);
    EXPECT_EQ(rig.feed(ev::ModeSet{3, true, old}), Actions{});
    EXPECT_EQ(rig.feed(ev::ModeSet{3, true, rig.fx.epoch}), (Actions{ok(3, FxWhat::match), plain()}));
}

TEST(FxMachine, SessionEndRestoresEverythingAndGatesForTheNextController) {
    Rig rig;
    rig.applied(1, 0);
    rig.fx.gate.clear();
    EXPECT_EQ(rig.feed(ev::SessionEnd{true, 1000}), Actions{act::RestoreAll{2}});
    EXPECT_EQ(rig.fx.gate, (gateSet(1512, 982, 1000)));
    EXPECT_FALSE(rig.fx.match);

    ASSERT_EQ(rig.match(2, 5000).size(), 1u);
    EXPECT_EQ(rig.fx.matchInFlight(), (FxMachine::InFlight{kDisplay, kOwn}));
    rig.feed(ev::SessionEnd{true, 7000});
    EXPECT_EQ(rig.fx.gate, (gateSet(1512, 982, 7000)));
    EXPECT_EQ(rig.fx.matchInFlight(), std::nullopt);

    rig.feed(ev::SessionEnd{false, 8000});
    EXPECT_EQ(rig.fx.gate.display, std::nullopt);
    EXPECT_FALSE(rig.fx.hasController);
}

TEST(FxMachine, HiddenScreenWarnsThenShowsAfterTheIdleLimit) {
    Rig rig;
    rig.hidden(1, 0);
    EXPECT_EQ(rig.feed(ev::Tick{539'999}), Actions{});
    EXPECT_EQ(rig.feed(ev::Tick{540'000}), Actions{soon(60)});
    EXPECT_EQ(rig.feed(ev::Tick{541'000}), Actions{});
    EXPECT_EQ(rig.feed(ev::Tick{600'000}), (Actions{act::Unhide{}, ended(FxWhat::hide, FxWhy::idle)}));
    EXPECT_FALSE(rig.fx.hide);
    EXPECT_EQ(rig.feed(ev::Tick{700'000}), Actions{});

    // Input re-arms both the limit and its warning.
    rig.hidden(2, 1'000'000);
    EXPECT_EQ(rig.feed(ev::Tick{1'540'000}), Actions{soon(60)});
    rig.feed(ev::Input{1'550'000});
    EXPECT_EQ(rig.feed(ev::Tick{1'600'000}), Actions{});
    EXPECT_EQ(rig.feed(ev::Tick{2'090'000}), Actions{soon(60)});
    EXPECT_EQ(rig.feed(ev::Tick{2'150'000}).size(), 2u);

    Rig shortLimit;
    shortLimit.fx.idleLimit = 100;
    shortLimit.hidden(1, 0);
    EXPECT_EQ(shortLimit.feed(ev::Tick{50'000}), Actions{soon(50)});
    Rig tiny;
    tiny.fx.idleLimit = 1;
    tiny.hidden(1, 0);
    EXPECT_EQ(tiny.feed(ev::Tick{999}), Actions{});
    EXPECT_EQ(tiny.feed(ev::Tick{1000}), (Actions{act::Unhide{}, ended(FxWhat::hide, FxWhy::idle)}));
}

TEST(FxMachine, LockAndCaptureTroubleEndBothEffects) {
    const Actions bothEnd{act::Unhide{}, ended(FxWhat::hide, FxWhy::displayChanged), act::RestoreMode{kDisplay},
                          ended(FxWhat::match, FxWhy::displayChanged)};
    Rig rig;
    rig.applied(1, 0);
    rig.hidden(2, 0);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(rig.feed(ev::Status{false, "error: stream failed"}), Actions{});
    EXPECT_EQ(rig.feed(ev::Status{false, "ok"}), Actions{});
    for (int i = 0; i < 3; ++i) EXPECT_EQ(rig.feed(ev::Status{false, "error"}), Actions{});
    EXPECT_EQ(rig.feed(ev::Status{false, "error"}), bothEnd);
    EXPECT_EQ(rig.fx.captureErrors, 4);
    EXPECT_FALSE(rig.fx.active());

    Rig gone;
    gone.applied(1, 0);
    gone.hidden(2, 0);
    EXPECT_EQ(gone.feed(ev::Status{false, "no-display"}), bothEnd);

    Rig locked;
    locked.applied(1, 0);
    locked.hidden(2, 0);
    EXPECT_EQ(locked.feed(ev::Status{true, "ok"}),
              (Actions{act::Unhide{}, ended(FxWhat::hide, FxWhy::locked), act::RestoreMode{kDisplay},
                       ended(FxWhat::match, FxWhy::locked)}));
    EXPECT_EQ(locked.feed(ev::Status{true, "ok"}), Actions{});
}

TEST(FxMachine, EndingsOvertakeRequestsStillInTheDriversHands) {
    Rig rig;
    ASSERT_EQ(rig.match(1, 0).size(), 1u);
    EXPECT_EQ(rig.feed(ev::DisplayChanged{}, 10), (Actions{act::RestoreMode{kDisplay}, plain()}));
    EXPECT_EQ(rig.fx.gate, (gateSet(1512, 982, 10)));
    EXPECT_EQ(rig.feed(ev::ModeSet{1, true, rig.fx.epoch}), Actions{refused(1, FxWhat::match, FxError::busy)});
    EXPECT_FALSE(rig.fx.match);

    ASSERT_EQ(rig.hide(2, 0).size(), 1u);
    EXPECT_EQ(rig.feed(fx_machine_event::Seam{fx_event::EscapeHeld{}}), Actions{act::Unhide{}});
    EXPECT_EQ(rig.feed(ev::HideDone{2, HideOutcome::ok, rig.fx.epoch, 20}), Actions{refused(2, FxWhat::hide, FxError::failed)});
}

TEST(FxMachine, DriverEventsEndTheEffectsTheyConcern) {
    auto seam = [](Rig& rig, DisplayEffectsEvent e) { return rig.feed(ev::Seam{e}, 500); };
    Rig rig;
    rig.applied(1, 0);
    rig.hidden(2, 0);
    EXPECT_EQ(seam(rig, fx_event::ModeChangedElsewhere{7}), Actions{});
    EXPECT_EQ(seam(rig, fx_event::ModeChangedElsewhere{kDisplay}),
              (Actions{act::ForgetMode{kDisplay}, ended(FxWhat::match, FxWhy::changedOnMac)}));
    EXPECT_EQ(rig.fx.gate, (gateSet(std::nullopt, std::nullopt, 500)));
    EXPECT_EQ(seam(rig, fx_event::SecureInput{}), (Actions{act::Unhide{}, ended(FxWhat::hide, FxWhy::secureInput)}));

    for (auto [event, why] : {std::pair<DisplayEffectsEvent, FxWhy>{fx_event::CoverLost{}, FxWhy::failed},
                              {fx_event::KeyWatchLost{}, FxWhy::failed},
                              {fx_event::EscapeHeld{}, FxWhy::escape}}) {
        Rig r;
        r.applied(1, 0);
        r.hidden(2, 0);
        EXPECT_EQ(seam(r, event), (Actions{act::Unhide{}, ended(FxWhat::hide, why)}));
        EXPECT_TRUE(r.fx.match);  // only the hide ends
    }

    Rig reconf;
    reconf.applied(1, 0);
    EXPECT_EQ(seam(reconf, fx_event::Reconfigured{}),
              (Actions{act::RestoreMode{kDisplay}, ended(FxWhat::match, FxWhy::displayChanged), plain()}));

    Rig away;
    away.applied(1, 0);
    away.hidden(2, 0);
    EXPECT_EQ(seam(away, fx_event::SystemAway{}),
              (Actions{act::Unhide{}, ended(FxWhat::hide, FxWhy::asleep), act::RestoreMode{kDisplay},
                       ended(FxWhat::match, FxWhy::asleep)}));
    away.feed(ev::SessionEnd{false, 600});
    EXPECT_EQ(seam(away, fx_event::SystemAway{}), Actions{act::RestoreAll{away.fx.epoch}});
}

TEST(FxMachine, PermissionChangesEndWhatIsWithdrawnAndReportOnce) {
    FxMachine fx(true);
    EXPECT_EQ(fx.handle(ev::Allowed{false, false, false}), Actions{});
    EXPECT_EQ(fx.handle(ev::Allowed{true, true, false}), Actions{plain()});
    EXPECT_EQ(fx.handle(ev::Allowed{true, true, false}), Actions{});
    EXPECT_EQ(fx.handle(ev::Allowed{true, true, true}), Actions{plain()});
    EXPECT_TRUE(fx.state(facts()).locks);

    Rig rig;
    rig.applied(1, 0);
    rig.hidden(2, 0);
    EXPECT_EQ(rig.feed(ev::Allowed{false, true, false}),
              (Actions{act::RestoreMode{kDisplay}, ended(FxWhat::match, FxWhy::turnedOff)}));
    EXPECT_EQ(rig.feed(ev::Allowed{false, false, false}), (Actions{act::Unhide{}, ended(FxWhat::hide, FxWhy::turnedOff)}));
    EXPECT_EQ(rig.feed(ev::Allowed{true, true, false}), Actions{plain()});
}

TEST(FxMachine, SharesBecomeThousandthsWithinTheirBounds) {
    EXPECT_EQ(FxMachine::thousandths(0.0), 0);
    EXPECT_EQ(FxMachine::thousandths(0.0375), 38);
    EXPECT_EQ(FxMachine::thousandths(0.0005), 1);
    EXPECT_EQ(FxMachine::thousandths(0.25), 250);
    EXPECT_EQ(FxMachine::thousandths(-0.2), 0);
    EXPECT_EQ(FxMachine::thousandths(1.7), 1000);
    EXPECT_EQ(FxMachine::thousandths(std::nan("")), 1000);
    EXPECT_EQ(FxMachine::thousandths(-std::numeric_limits<double>::infinity()), 1000);
}

}  // namespace
}  // namespace morvane
