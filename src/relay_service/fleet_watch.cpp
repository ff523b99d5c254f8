#include "relay_service/fleet_watch.h"

#include <algorithm>

namespace morvane::relay_service {

std::int64_t FleetWatch::awayMillis(const StoreHealth& own, std::int64_t nowMillis) const {
    if (own.reach == StoreReach::answering || own.checkedMillis > limits_.freshCheckMillis) return 0;
    if (!wokeAt_) return own.forMillis;
    // Only checks begun since it woke count, and only the time since.
    if (nowMillis - own.checkedMillis < *wokeAt_) return 0;
    return std::min(own.forMillis, nowMillis - *wokeAt_);
}

FleetWatch::Act FleetWatch::tick(const StoreHealth& own, std::int64_t nowMillis) {
    if (lastTick_ && nowMillis - *lastTick_ > limits_.heldUpMillis) wokeAt_ = nowMillis;
    if (!lastTick_) startedAt_ = nowMillis;
    lastTick_ = nowMillis;
    if (aside_) {
        // Steady since it stood aside, whatever the store counted before.
        const auto steady = std::min(own.forMillis, nowMillis - asideAt_);
        return own.reach == StoreReach::answering && steady >= rejoinMillis_ ? Act::rejoin : Act::nothing;
    }
    if (asking_) return Act::nothing;
    const bool away = awayMillis(own, nowMillis) >= limits_.awayBeforeAskingMillis;
    const auto every = away ? limits_.askEveryMillis : limits_.askWhileWellMillis;
    if (!away && own.reach != StoreReach::answering) return Act::nothing;
    // Asked first as soon as its database is away, and a while after the
    // start while it answers.
    const auto since = askedAt_ ? askedAt_ : away ? std::nullopt : std::optional(startedAt_);
    if (since && nowMillis - *since < every) return Act::nothing;
    asking_ = true;
    askedAt_ = nowMillis;
    return Act::ask;
}

FleetWatch::Act FleetWatch::answered(const std::vector<PeerState>& peers, const StoreHealth& own,
                                     std::int64_t nowMillis) {
    asking_ = false;
    const auto away = awayMillis(own, nowMillis);
    if (aside_ || away < limits_.awayBeforeAskingMillis) return Act::nothing;
    // Its database answered that one all the while this one's was away, or
    // long enough since an outage they shared: the cut is this one's alone.
    const auto needed = std::min(away, limits_.answeringAloneMillis);
    const bool aloneCut = std::any_of(peers.begin(), peers.end(), [&](const PeerState& peer) {
        return peer.serving && peer.health.reach == StoreReach::answering &&
               peer.health.checkedMillis <= limits_.freshCheckMillis && peer.health.forMillis >= needed;
    });
    return aloneCut ? Act::standAside : Act::nothing;
}

void FleetWatch::stoodAside(std::int64_t nowMillis) {
    aside_ = true;
    asideAt_ = nowMillis;
    const bool soonAgain = everRejoined_ && nowMillis - rejoinedAt_ < limits_.calmMillis;
    rejoinMillis_ = soonAgain ? std::min(2 * rejoinMillis_, limits_.lastRejoinMillis) : limits_.firstRejoinMillis;
}

void FleetWatch::rejoined(std::int64_t nowMillis) {
    aside_ = false;
    everRejoined_ = true;
    rejoinedAt_ = nowMillis;
}

}  // namespace morvane::relay_service
