#include "effects/effect_values.h"

#include <algorithm>

#include "core/interval_limiter.h"

namespace morvane {

namespace {

std::uint64_t millis(int seconds) { return static_cast<std::uint64_t>(std::max(seconds, 0)) * 1000; }

}  // namespace

bool FxLimiter::allow(const FxRequest& request, std::uint64_t nowMillis) {
    if (std::holds_alternative<fx_request::Match>(request))
        return allowSpaced<std::uint64_t>(lastMatch, FxLimits::matchIntervalMillis, nowMillis);
    if (std::holds_alternative<fx_request::Probe>(request))
        return allowSpaced<std::uint64_t>(lastProbe, FxLimits::probeIntervalMillis, nowMillis);
    if (auto hide = std::get_if<fx_request::Hide>(&request); hide && hide->on)
        return allowSpaced<std::uint64_t>(lastHide, FxLimits::hideIntervalMillis, nowMillis);
    return true;
}

void EscapeHold::key(bool down, bool /*isRepeat*/, double at) {
    if (down) {
        if (downSince) return;
        downSince = at;
        fired = false;
    } else {
        reset();
    }
}

void EscapeHold::reset() {
    downSince.reset();
    fired = false;
}

bool EscapeHold::fires(double at) {
    if (!downSince || fired) return false;
    if (at - *downSince < FxLimits::escapeHoldSeconds) return false;
    fired = true;
    return true;
}

void HideIdle::input(std::uint64_t nowMillis) {
    last = nowMillis;
    warned = false;
}

int HideIdle::warning(int limit) {
    if (limit < 2) return 0;
    if (limit < 120) return limit / 2;
    return 60;
}

bool HideIdle::expired(std::uint64_t nowMillis, int limit) const {
    return nowMillis >= last && nowMillis - last >= millis(limit);
}

bool HideIdle::warnDue(std::uint64_t nowMillis, int limit) {
    if (warned || nowMillis < last) return false;
    if (nowMillis - last < millis(limit - warning(limit))) return false;
    warned = true;
    return true;
}

OwedMode::Decision OwedMode::decide(bool online, std::optional<std::int32_t> current, std::int32_t applied) {
    if (!online || !current) return Decision::keep;
    return *current == applied ? Decision::restore : Decision::forget;
}

ReconfigClassifier::Verdict ReconfigClassifier::classify(const Topology& before, const Topology& after,
                                                         const std::optional<Matched>& matched,
                                                         std::optional<std::int32_t> currentMode) {
    if (before.online != after.online || before.main != after.main) return verdict::Reconfigured{};
    if (before.mirrors != after.mirrors) return verdict::Reconfigured{};
    if (matched && currentMode && *currentMode != matched->applied && *currentMode != matched->original)
        return verdict::ModeChangedElsewhere{matched->display};
    return verdict::None{};
}

void EffectsLease::serverAlive(double now) { serverBeat = std::max(serverBeat, now); }

void EffectsLease::mainAnswered() { pingSentAt.reset(); }

EffectsLease::Fire EffectsLease::fire(double now) {
    const bool onTime = !lastFire || now - *lastFire <= FxLimits::leaseSeconds;
    lastFire = now;
    Fire result;
    if (onTime) {
        result.expired = (pingSentAt && now - *pingSentAt > FxLimits::leaseSeconds) ||
                         now - serverBeat > FxLimits::leaseSeconds;
    } else {
        // The whole process stood still: neither the server nor the main
        // thread could answer meanwhile, so the gap counts against neither.
        serverBeat = now;
        if (pingSentAt) pingSentAt = now;
    }
    if (!pingSentAt) {
        pingSentAt = now;
        result.ping = true;
    }
    return result;
}

void ModeGate::set(std::uint32_t d, std::optional<int> w, std::optional<int> h, std::uint64_t nowMillis) {
    display = d;
    width = w;
    height = h;
    deadline = nowMillis + FxLimits::gateMillis;
}

void ModeGate::clear() {
    display.reset();
    width.reset();
    height.reset();
    deadline = 0;
}

bool ModeGate::active(std::uint64_t nowMillis) {
    if (!display) return false;
    if (nowMillis < deadline) return true;
    clear();
    return false;
}

void ModeGate::observe(std::optional<std::uint32_t> current, int w, int h) {
    if (!display || !current) return;
    if (*current == *display && width && height && (w != *width || h != *height)) return;
    clear();
}

}  // namespace morvane
