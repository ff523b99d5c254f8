#include "relay_service/fleet_watch.h"

#include <algorithm>

namespace morvane::relay_service {

FleetWatch::Act FleetWatch::tick(const StoreHealth& own, std::int64_t nowMillis) {
    const bool answering = own.reach == StoreReach::answering;
    if (aside_) return answering && own.forMillis >= rejoinMillis_ ? Act::rejoin : Act::nothing;
    if (answering || own.forMillis < limits_.awayBeforeAskingMillis || asking_) return Act::nothing;
    if (everAsked_ && nowMillis - askedAt_ < limits_.askEveryMillis) return Act::nothing;
    asking_ = true;
    everAsked_ = true;
    askedAt_ = nowMillis;
    return Act::ask;
}

FleetWatch::Act FleetWatch::answered(const std::vector<PeerState>& peers, const StoreHealth& own) {
    asking_ = false;
    if (aside_ || own.reach == StoreReach::answering) return Act::nothing;
    // Its database answered that one all the while this one's was away:
    // the cut is this instance's alone.
    const bool aloneCut = std::any_of(peers.begin(), peers.end(), [&](const PeerState& peer) {
        return peer.serving && peer.health.reach == StoreReach::answering && peer.health.forMillis >= own.forMillis;
    });
    return aloneCut ? Act::standAside : Act::nothing;
}

void FleetWatch::stoodAside(std::int64_t nowMillis) {
    aside_ = true;
    const bool soonAgain = everRejoined_ && nowMillis - rejoinedAt_ < limits_.calmMillis;
    rejoinMillis_ = soonAgain ? std::min(2 * rejoinMillis_, limits_.lastRejoinMillis) : limits_.firstRejoinMillis;
}

void FleetWatch::rejoined(std::int64_t nowMillis) {
    aside_ = false;
    everRejoined_ = true;
    rejoinedAt_ = nowMillis;
}

}  // namespace morvane::relay_service
