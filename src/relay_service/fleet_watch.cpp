#include "relay_service/fleet_watch.h"

#include <algorithm>
#include <utility>

namespace morvane::relay_service {

std::int64_t FleetWatch::awayMillis(const StoreHealth& own, std::int64_t nowMillis) const {
    if (own.reach == StoreReach::answering || own.checkedMillis > limits_.freshCheckMillis) return 0;
    // Not held up since a check found its database answering: every moment
    // since its last answer was watched, and its store's count stands.
    const bool heldUpSince = wokeAt_ && (!answeringAt_ || *answeringAt_ < wokeSeenAt_);
    if (!heldUpSince) return own.forMillis;
    // Otherwise it counts from the first check begun since it woke that
    // found the database away, never from before.
    auto since = awaySince_;
    const auto began = nowMillis - own.checkedMillis;
    if (began >= *wokeAt_) since = std::min(since.value_or(began), began);
    return since ? std::min(own.forMillis, nowMillis - *since) : 0;
}

StoreHealth FleetWatch::told(const StoreHealth& own, std::int64_t nowMillis) const {
    auto told = own;
    if (own.reach != StoreReach::answering) return told;
    // Asked as it wakes, before its tick has seen the hold-up: its store
    // has not checked since, and its steady time vouches for nothing.
    if (lastTick_ && nowMillis - *lastTick_ > limits_.tickMillis + limits_.heldUpMillis) told.forMillis = 0;
    else if (wokeAt_) told.forMillis = std::min(told.forMillis, nowMillis - wokeSeenAt_);
    return told;
}

FleetWatch::Act FleetWatch::tick(const StoreHealth& own, std::int64_t nowMillis) {
    if (lastTick_ && nowMillis - *lastTick_ > limits_.tickMillis + limits_.heldUpMillis) {
        // Held up: it ran at least until its tick was due.
        wokeAt_ = *lastTick_ + limits_.tickMillis;
        wokeSeenAt_ = nowMillis;
        awaySince_.reset();
    }
    if (!lastTick_) startedAt_ = nowMillis;
    lastTick_ = nowMillis;
    const auto began = nowMillis - own.checkedMillis;
    if (!wokeAt_ || began >= *wokeAt_) {
        if (own.reach == StoreReach::answering) {
            answeringAt_ = nowMillis;
            awaySince_.reset();
        } else if (wokeAt_ && own.checkedMillis <= limits_.freshCheckMillis) {
            awaySince_ = std::min(awaySince_.value_or(began), began);
        }
    }
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
    // start while it answers; and as soon as it is back, when those that
    // answer are known to be there now (their rows may be renewed late).
    const bool back = !away && std::exchange(askWhenBack_, false);
    if (away) askWhenBack_ = true;
    const auto since = askedAt_ ? askedAt_ : away ? std::nullopt : std::optional(startedAt_);
    if (!back && since && nowMillis - *since < every) return Act::nothing;
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
    // Durations on the other's clock, placed on this one's by the round
    // trip: its check began no earlier than the question went out less its
    // age, and its steady time began no later than now less its length.
    const auto needed = std::min(away, limits_.answeringAloneMillis);
    const auto wentAway = nowMillis - away;
    const auto askedAt = askedAt_.value_or(nowMillis);
    const bool aloneCut = std::any_of(peers.begin(), peers.end(), [&](const PeerState& peer) {
        return peer.serving && peer.health.reach == StoreReach::answering &&
               peer.health.checkedMillis <= limits_.freshCheckMillis &&
               askedAt - peer.health.checkedMillis >= wentAway + limits_.vouchAfterMillis &&
               peer.health.forMillis >= needed;
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
