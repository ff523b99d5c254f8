#include "effects/fx_machine.h"

#include <cmath>
#include <string_view>

#include "effects/mode_picker.h"

namespace morvane {

namespace {

using Actions = std::vector<FxMachine::Action>;
namespace ev = fx_machine_event;
namespace act = fx_action;

act::State plainState() { return act::State{std::nullopt, std::nullopt}; }
act::State endedState(FxWhat what, FxWhy why) { return act::State{FxEnded{what, why}, std::nullopt}; }
act::Result ok(int id, FxWhat what) { return act::Result{FxResult::ok(id, what)}; }
act::Result refusal(int id, FxWhat what, FxError error, bool restored = false) {
    return act::Result{FxResult::refused(id, what, error, restored)};
}

// Probes and matches need a driver, a display, its modes and its current mode.
bool matchable(bool hasSeam, const FxFacts& facts) {
    return hasSeam && facts.display && facts.modes && facts.current;
}

}  // namespace

int FxMachine::thousandths(double share) {
    if (!std::isfinite(share)) return 1000;
    const double t = std::round(share * 1000.0);
    if (t < 0) return 0;
    if (t > 1000) return 1000;
    return static_cast<int>(t);
}

FxMachine::PendingMatch* FxMachine::pendingMatch() {
    return pending ? std::get_if<PendingMatch>(&*pending) : nullptr;
}

FxMachine::PendingHide* FxMachine::pendingHide() { return pending ? std::get_if<PendingHide>(&*pending) : nullptr; }

std::optional<FxMachine::InFlight> FxMachine::matchInFlight() const {
    if (!pending) return std::nullopt;
    const auto* p = std::get_if<PendingMatch>(&*pending);
    if (!p) return std::nullopt;
    return InFlight{p->display, p->original};
}

void FxMachine::gateAt(std::uint64_t now, std::uint32_t display, std::optional<int> width, std::optional<int> height) {
    gate.set(display, width, height, now);
}

FxMessage::State FxMachine::state(const FxFacts& facts) const {
    FxMessage::State s;
    s.idle = idleLimit;
    if (!hasSeam) return s;
    s.display = facts.display;
    s.matchAvailable = facts.display.has_value() && facts.modes.has_value();
    s.matchAllowed = allowedMatch;
    if (match)
        s.matchSize = FxMessage::MatchSize{match->applied.width, match->applied.height,
                                           ModePicker::isSmaller(match->applied, match->original)};
    s.hideAvailable = facts.display.has_value();
    s.hideAllowed = allowedHide;
    s.hideActive = hide.has_value();
    s.others = facts.others;
    s.locks = locksOnDisconnect;
    return s;
}

std::vector<FxMachine::Action> FxMachine::handle(const Event& event) {
    return std::visit([this](const auto& e) { return on(e); }, event);
}

// Ends effects that stopped by themselves. A request still in the driver's
// hands is marked so that its outcome is answered as overtaken.
Actions FxMachine::end(FxWhy why, bool endHide, bool endMatch) {
    Actions actions;
    if (endHide) {
        if (hide) {
            hide.reset();
            actions.push_back(act::Unhide{});
            actions.push_back(endedState(FxWhat::hide, why));
        }
        if (auto* p = pendingHide(); p && !p->cancelled) {
            p->cancelled = true;
            actions.push_back(act::Unhide{});  // its cover may be on its way up
        }
    }
    if (endMatch) {
        if (auto* p = pendingMatch(); p && !p->cancelled) {
            p->cancelled = true;
            if (!match) {
                gateAt(gateNow, p->display, p->original.width, p->original.height);
                actions.push_back(act::RestoreMode{p->display});
            }
        }
        if (match) {
            const Match m = *match;
            match.reset();
            gateAt(gateNow, m.display, m.original.width, m.original.height);
            actions.push_back(act::RestoreMode{m.display});
            actions.push_back(endedState(FxWhat::match, why));
        }
    }
    return actions;
}

Actions FxMachine::on(const ev::SessionEnd& e) {
    ++epoch;
    if (e.newController && match)
        gateAt(e.nowMillis, match->display, match->original.width, match->original.height);
    else if (auto* p = pendingMatch(); e.newController && p)
        gateAt(e.nowMillis, p->display, p->original.width, p->original.height);
    else
        gate.clear();
    match.reset();
    hide.reset();
    pending.reset();
    fxClient = false;
    hasController = e.newController;
    captureErrors = 0;
    return {act::RestoreAll{epoch}};
}

Actions FxMachine::on(const ev::Request& e) {
    fxClient = true;
    return std::visit(
        [&](const auto& r) -> Actions {
            using R = std::decay_t<decltype(r)>;
            if constexpr (std::is_same_v<R, fx_request::Hello>) {
                return {plainState()};
            } else if constexpr (std::is_same_v<R, fx_request::Probe>) {
                return probe(r, e.facts, e.nowMillis);
            } else if constexpr (std::is_same_v<R, fx_request::Match>) {
                return startMatch(r, e.facts, e.switching, e.nowMillis);
            } else if constexpr (std::is_same_v<R, fx_request::Restore>) {
                return restore(r, e.nowMillis);
            } else {
                return r.on ? hideOn(r, e.facts, e.nowMillis) : hideOff(r);
            }
        },
        e.request);
}

Actions FxMachine::probe(const fx_request::Probe& r, const FxFacts& facts, std::uint64_t now) {
    if (!matchable(hasSeam, facts)) return {refusal(r.id, FxWhat::probe, FxError::unavailable)};
    if (!allowedMatch) return {refusal(r.id, FxWhat::probe, FxError::notAllowed)};
    if (locked) return {refusal(r.id, FxWhat::probe, FxError::locked)};
    if (!limiter.allow(r, now)) return {refusal(r.id, FxWhat::probe, FxError::tooSoon)};

    const DisplayModeInfo baseline = match && match->display == *facts.display ? match->original : *facts.current;
    const auto pick = ModePicker::pick(*facts.modes, baseline, r.width, r.height, r.scale);
    FxResult result = FxResult::ok(r.id, FxWhat::probe);
    if (const auto* chosen = pick.choice.used()) {
        result.verdict = FxVerdict::fit;
        result.smaller = ModePicker::isSmaller(*chosen, baseline);
    } else {
        switch (*pick.choice.kept()) {
            case ModeChoice::Reason::noFit: result.verdict = FxVerdict::noFit; break;
            case ModeChoice::Reason::noBetterMode: result.verdict = FxVerdict::noBetterMode; break;
            case ModeChoice::Reason::noOtherMode: result.verdict = FxVerdict::noOtherMode; break;
        }
    }
    result.before = thousandths(pick.before);
    result.after = thousandths(pick.after);
    return {act::Result{result}};
}

Actions FxMachine::startMatch(const fx_request::Match& r, const FxFacts& facts, bool switching, std::uint64_t now) {
    if (!matchable(hasSeam, facts)) return {refusal(r.id, FxWhat::match, FxError::unavailable)};
    if (!allowedMatch) return {refusal(r.id, FxWhat::match, FxError::notAllowed)};
    if (locked) return {refusal(r.id, FxWhat::match, FxError::locked)};
    if (switching || pending) return {refusal(r.id, FxWhat::match, FxError::busy)};
    if (!limiter.allow(r, now)) return {refusal(r.id, FxWhat::match, FxError::tooSoon)};

    const std::uint32_t display = *facts.display;
    const bool appliedHere = match && match->display == display;
    const DisplayModeInfo baseline = appliedHere ? match->original : *facts.current;
    const auto pick = ModePicker::pick(*facts.modes, baseline, r.width, r.height, r.scale);

    if (const auto reason = pick.choice.kept()) {
        const FxError error = *reason == ModeChoice::Reason::noFit         ? FxError::noFit
                              : *reason == ModeChoice::Reason::noOtherMode ? FxError::noOtherMode
                                                                           : FxError::noBetterMode;
        if (!appliedHere) return {refusal(r.id, FxWhat::match, error)};
        // The earlier match no longer helps: put the display's own mode back.
        const Match m = *match;
        match.reset();
        gateAt(now, display, m.original.width, m.original.height);
        return {act::RestoreMode{display}, refusal(r.id, FxWhat::match, error, true), plainState()};
    }

    const DisplayModeInfo& mode = *pick.choice.used();
    if (appliedHere && match->applied.id == mode.id) return {ok(r.id, FxWhat::match), plainState()};
    pending = PendingMatch{r.id, display, baseline, mode, false};
    gateAt(now, display, mode.width, mode.height);
    return {act::SetMode{r.id, display, mode, epoch}};
}

Actions FxMachine::restore(const fx_request::Restore& r, std::uint64_t now) {
    Actions actions;
    if (auto* p = pendingMatch(); p && !p->cancelled) {
        p->cancelled = true;
        gateAt(now, p->display, p->original.width, p->original.height);
        if (!match) actions.push_back(act::RestoreMode{p->display});
    }
    if (match) {
        const Match m = *match;
        match.reset();
        gateAt(now, m.display, m.original.width, m.original.height);
        actions.push_back(act::RestoreMode{m.display});
    }
    actions.push_back(ok(r.id, FxWhat::restore));
    actions.push_back(plainState());
    return actions;
}

Actions FxMachine::hideOn(const fx_request::Hide& r, const FxFacts& facts, std::uint64_t now) {
    if (!hasSeam || !facts.display) return {refusal(r.id, FxWhat::hide, FxError::unavailable)};
    if (!allowedHide) return {refusal(r.id, FxWhat::hide, FxError::notAllowed)};
    if (locked) return {refusal(r.id, FxWhat::hide, FxError::locked)};
    if (hide == facts.display) return {ok(r.id, FxWhat::hide), plainState()};
    if (pending) return {refusal(r.id, FxWhat::hide, FxError::busy)};
    // The Escape key can't be watched while secure entry is on.
    if (facts.secureInput) return {refusal(r.id, FxWhat::hide, FxError::failed)};
    if (!limiter.allow(r, now)) return {refusal(r.id, FxWhat::hide, FxError::tooSoon)};
    pending = PendingHide{r.id, *facts.display, false};
    return {act::Hide{r.id, *facts.display, epoch}};
}

Actions FxMachine::hideOff(const fx_request::Hide& r) {
    Actions actions;
    if (hide) {
        hide.reset();
        actions.push_back(act::Unhide{});
    } else if (auto* p = pendingHide(); p && !p->cancelled) {
        p->cancelled = true;
        actions.push_back(act::Unhide{});
    }
    actions.push_back(ok(r.id, FxWhat::hide));
    actions.push_back(plainState());
    return actions;
}

Actions FxMachine::on(const ev::ModeSet& e) {
    const auto* p = pendingMatch();
    if (e.epoch != epoch || !p || p->request != e.request) return {};
    const PendingMatch done = *p;
    pending.reset();
    if (done.cancelled) return {refusal(e.request, FxWhat::match, FxError::busy)};
    if (e.ok) {
        match = Match{done.display, done.original, done.target};
        return {ok(e.request, FxWhat::match), plainState()};
    }
    gate.clear();
    if (!match) return {refusal(e.request, FxWhat::match, FxError::failed)};
    const std::uint32_t display = match->display;
    match.reset();
    return {act::RestoreMode{display}, refusal(e.request, FxWhat::match, FxError::failed, true), plainState()};
}

Actions FxMachine::on(const ev::HideDone& e) {
    const auto* p = pendingHide();
    if (e.epoch != epoch || !p || p->request != e.request) return {};
    const PendingHide done = *p;
    pending.reset();
    if (done.cancelled || e.outcome == HideOutcome::failed) return {refusal(e.request, FxWhat::hide, FxError::failed)};
    if (e.outcome == HideOutcome::noKeyWatch) return {refusal(e.request, FxWhat::hide, FxError::noKeyWatch)};
    hide = done.display;
    idle.input(e.nowMillis);
    return {ok(e.request, FxWhat::hide), plainState()};
}

Actions FxMachine::on(const ev::Input& e) {
    idle.input(e.nowMillis);
    return {};
}

Actions FxMachine::on(const ev::Tick& e) {
    gate.active(e.nowMillis);  // clears a gate whose time ran out
    if (!hide) return {};
    if (idle.expired(e.nowMillis, idleLimit)) return end(FxWhy::idle, true, false);
    if (idle.warnDue(e.nowMillis, idleLimit)) return {act::State{std::nullopt, HideIdle::warning(idleLimit)}};
    return {};
}

Actions FxMachine::on(const ev::Status& e) {
    Actions actions;
    auto collect = [&actions](Actions more) { actions.insert(actions.end(), more.begin(), more.end()); };
    if (e.locked && !locked) collect(end(FxWhy::locked, true, true));
    locked = e.locked;
    if (e.capture == "no-display") {
        collect(end(FxWhy::displayChanged, true, true));
    } else if (std::string_view(e.capture).starts_with("error")) {
        if (++captureErrors >= FxLimits::captureErrorSeconds) collect(end(FxWhy::displayChanged, true, true));
    } else {
        captureErrors = 0;
    }
    return actions;
}

Actions FxMachine::on(const ev::Seam& e) {
    return std::visit(
        [this](const auto& s) -> Actions {
            using S = std::decay_t<decltype(s)>;
            if constexpr (std::is_same_v<S, fx_event::ModeChangedElsewhere>) {
                if (!match || match->display != s.display) return {};
                match.reset();
                if (auto* p = pendingMatch(); p && !p->cancelled) p->cancelled = true;
                gateAt(gateNow, s.display, std::nullopt, std::nullopt);
                return {act::ForgetMode{s.display}, endedState(FxWhat::match, FxWhy::changedOnMac)};
            } else if constexpr (std::is_same_v<S, fx_event::Reconfigured>) {
                auto actions = end(FxWhy::displayChanged, true, true);
                actions.push_back(plainState());
                return actions;
            } else if constexpr (std::is_same_v<S, fx_event::CoverLost> || std::is_same_v<S, fx_event::KeyWatchLost>) {
                return end(FxWhy::failed, true, false);
            } else if constexpr (std::is_same_v<S, fx_event::EscapeHeld>) {
                return end(FxWhy::escape, true, false);
            } else if constexpr (std::is_same_v<S, fx_event::SecureInput>) {
                return end(FxWhy::secureInput, true, false);
            } else {
                static_assert(std::is_same_v<S, fx_event::SystemAway>);
                if (hasController) return end(FxWhy::asleep, true, true);
                return {act::RestoreAll{epoch}};
            }
        },
        e.event);
}

Actions FxMachine::on(const ev::Shown& e) {
    gate.observe(e.display, e.width, e.height);
    return {};
}

Actions FxMachine::on(const ev::Allowed& e) {
    const bool changed = e.match != allowedMatch || e.hide != allowedHide || e.locks != locksOnDisconnect;
    const bool matchEnds = allowedMatch && !e.match;
    const bool hideEnds = allowedHide && !e.hide;
    allowedMatch = e.match;
    allowedHide = e.hide;
    locksOnDisconnect = e.locks;
    Actions actions = end(FxWhy::turnedOff, hideEnds, matchEnds);
    bool hasState = false;
    for (const auto& a : actions) hasState = hasState || std::holds_alternative<act::State>(a);
    if (!hasState && changed) actions.push_back(plainState());
    return actions;
}

Actions FxMachine::on(const ev::RestoreFailed&) {
    gate.clear();
    return {};
}

Actions FxMachine::on(const ev::DisplayChanged&) {
    auto actions = end(FxWhy::displayChanged, true, true);
    actions.push_back(plainState());
    return actions;
}

}  // namespace morvane
