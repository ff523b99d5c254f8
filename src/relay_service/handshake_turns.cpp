#include "relay_service/handshake_turns.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <vector>

namespace morvane::relay_service {

double HandshakeTurns::grown(std::int64_t nowMillis) const {
    return std::exp2(static_cast<double>(nowMillis - epoch_) / static_cast<double>(halfLifeMillis));
}

double HandshakeTurns::weightIn(const PooledMap<double>& weights, const std::string& key) {
    const auto found = weights.find(std::string_view(key));
    return found == weights.end() ? 0.0 : found->second;
}

void HandshakeTurns::addWeight(PooledMap<double>& weights, const std::string& key, double step) {
    const auto found = weights.find(std::string_view(key));
    if (found == weights.end()) weights.emplace(std::string_view(key), step);
    else found->second += step;
}

// One step off, as it would weigh if worked out now (a little more than
// it did): never below nothing.
void HandshakeTurns::takeBack(PooledMap<double>& weights, const std::string& key, std::int64_t nowMillis) const {
    const auto at = weights.find(std::string_view(key));
    if (at != weights.end()) at->second = std::max(0.0, at->second - grown(nowMillis));
}

double HandshakeTurns::costOf(const std::string& address, std::int64_t nowMillis) const {
    return weightIn(addresses_, address) / grown(nowMillis);
}

double HandshakeTurns::networkCostOf(const std::string& network, std::int64_t nowMillis) const {
    return weightIn(networks_, network) / grown(nowMillis);
}

bool HandshakeTurns::isKnown(const std::string& address, std::int64_t nowMillis) const {
    const auto* at = known_.find(address);
    return at && nowMillis - *at < knownMillis;
}

bool HandshakeTurns::goesFirst(const std::string& address, std::int64_t nowMillis) const {
    return isKnown(address, nowMillis) && costOf(address, nowMillis) <= knownCost;
}

void HandshakeTurns::hold(const std::string& address, std::int64_t nowMillis) {
    if (!address.empty()) busy_[address] = nowMillis;
}

// The address's next waits until its hold ends, unless what is under way
// ends first.
void HandshakeTurns::held(const std::string& address) {
    holds_.emplace_back(busy_.at(address) + holdMillis, address);
}

void HandshakeTurns::release(std::int64_t nowMillis) {
    while (!holds_.empty() && holds_.front().first <= nowMillis) {
        const auto [until, address] = std::move(holds_.front());
        holds_.pop_front();
        const auto busy = busy_.find(address);
        // Ended meanwhile, or under way again with a hold of its own.
        if (busy == busy_.end() || busy->second + holdMillis != until) continue;
        busy_.erase(busy);
        const auto found = groups_.find(address);
        if (found == groups_.end() || found->second.placed) continue;
        // What waited through the hold goes together: a slow phone's page
        // waits one hold, not one for each of its connections.
        found->second.released = true;
        place(address, found->second);
    }
}

std::optional<std::int64_t> HandshakeTurns::heldUntil() {
    // Those that ended, or went, since they were held are no matter.
    while (!holds_.empty()) {
        const auto& [until, address] = holds_.front();
        const auto busy = busy_.find(address);
        const auto group = groups_.find(address);
        if (busy != busy_.end() && busy->second + holdMillis == until && group != groups_.end() &&
            !group->second.placed)
            return until;
        holds_.pop_front();
    }
    return std::nullopt;
}

void HandshakeTurns::wait(Id id, const std::string& address, const std::string& network, std::int64_t nowMillis) {
    if (!started_) {
        started_ = true;
        epoch_ = nowMillis;
    }
    release(nowMillis);
    auto [found, added] = groups_.try_emplace(address);
    auto& group = found->second;
    group.ids.emplace_back(id, arrivals_++);
    if (!added) return;
    group.network = network;
    group.known = goesFirst(address, nowMillis);
    const auto busy = busy_.find(address);
    if (busy != busy_.end() && busy->second + holdMillis <= nowMillis) busy_.erase(busy);
    if (group.known || !busy_.contains(address)) place(address, group);
    else held(address);
}

std::optional<HandshakeTurns::Id> HandshakeTurns::next(std::int64_t nowMillis) {
    release(nowMillis);
    if (order_.empty()) return std::nullopt;
    // Before a weight grows past what a double holds after a quiet while.
    if (nowMillis - epoch_ > 20 * halfLifeMillis) rebase(nowMillis);
    // A known address that has cost more than a person's page or two
    // lately went last while others waited: theirs now, so that a
    // stranger's addresses that once completed one, however many, hold a
    // newcomer's first step one turn at most. A person coming back, who
    // has cost no more, never waits behind anyone new.
    auto first = order_.begin();
    const auto others = order_.lower_bound({LineKey{true, -1.0, -1.0, 0}, LineName{}});
    const bool costlyKnown = !std::get<0>(first->first) && std::get<1>(first->first) / grown(nowMillis) > personCost;
    if (costlyKnown && others != order_.end()) {
        if (othersOwed_) first = others;
        othersOwed_ = !othersOwed_;
    }
    const auto name = first->second;
    const auto address = std::get<2>(*lines_.at(name).groups.begin());
    auto& group = groups_.at(address);
    unplace(group);
    const auto id = group.ids.front().first;
    group.ids.pop_front();
    const auto step = grown(nowMillis);
    addWeight(addresses_, address, step);
    addWeight(networks_, group.network, step);
    group.known = goesFirst(address, nowMillis);
    if (!group.known) hold(address, nowMillis);
    if (group.ids.empty()) {
        groups_.erase(address);
    } else if (group.known || address.empty() || group.released) {
        place(address, group);
    } else {
        held(address);
    }
    // The network's other line weighs it too.
    keyLine({name.first, !name.second});
    if (addresses_.size() + networks_.size() > rebaseAt_) rebase(nowMillis);
    return id;
}

void HandshakeTurns::completed(const std::string& address, const std::string& network, std::int64_t nowMillis) {
    known_.put(address, nowMillis);
    takeBack(networks_, network, nowMillis);
    keyLine({network, false});
    keyLine({network, true});
    busy_.erase(address);
    const auto found = groups_.find(address);
    if (found == groups_.end() || (found->second.known && found->second.placed)) return;
    unplace(found->second);
    found->second.known = goesFirst(address, nowMillis);
    place(address, found->second);
}

void HandshakeTurns::ended(const std::string& address) {
    if (!busy_.erase(address)) return;
    const auto found = groups_.find(address);
    if (found != groups_.end() && !found->second.placed) place(address, found->second);
}

void HandshakeTurns::refund(const std::string& address, const std::string& network, std::int64_t nowMillis) {
    const auto found = groups_.find(address);
    const bool placed = found != groups_.end() && found->second.placed;
    if (placed) unplace(found->second);
    takeBack(addresses_, address, nowMillis);
    takeBack(networks_, network, nowMillis);
    if (placed) place(address, found->second);
    keyLine({network, false});
    keyLine({network, true});
}

void HandshakeTurns::place(const std::string& address, Group& group) {
    group.key = {weightIn(addresses_, address), group.ids.front().second, address};
    group.placed = true;
    const LineName name{group.network, group.known};
    lines_[name].groups.insert(group.key);
    keyLine(name);
}

void HandshakeTurns::unplace(Group& group) {
    if (!group.placed) return;
    group.placed = false;
    const LineName name{group.network, group.known};
    lines_.at(name).groups.erase(group.key);
    keyLine(name);
}

void HandshakeTurns::keyLine(const LineName& name) {
    const auto found = lines_.find(name);
    if (found == lines_.end()) return;
    auto& line = found->second;
    order_.erase({line.key, name});
    if (line.groups.empty()) {
        lines_.erase(found);
        return;
    }
    const auto& first = *line.groups.begin();
    line.key = {!name.second, std::get<0>(first), weightIn(networks_, name.first), std::get<1>(first)};
    order_.insert({line.key, name});
}

// Weights back to the scale of now, those faded to almost nothing
// forgotten, and every key made again on the new scale.
void HandshakeTurns::rebase(std::int64_t nowMillis) {
    const auto scale = grown(nowMillis);
    for (auto* weights : {&addresses_, &networks_}) {
        for (auto it = weights->begin(); it != weights->end();) {
            it->second /= scale;
            it = it->second < 1.0 / 16 ? weights->erase(it) : std::next(it);
        }
    }
    epoch_ = nowMillis;
    rebaseAt_ = std::max<std::size_t>(4'096, 2 * (addresses_.size() + networks_.size()));
    lines_.clear();
    order_.clear();
    for (auto& [address, group] : groups_) {
        if (!group.placed) continue;
        group.key = {weightIn(addresses_, address), group.ids.front().second, address};
        lines_[{group.network, group.known}].groups.insert(group.key);
    }
    std::vector<LineName> names;
    for (const auto& [name, line] : lines_) names.push_back(name);
    for (const auto& name : names) {
        auto& line = lines_.at(name);
        const auto& first = *line.groups.begin();
        line.key = {!name.second, std::get<0>(first), weightIn(networks_, name.first), std::get<1>(first)};
        order_.insert({line.key, name});
    }
}

}  // namespace morvane::relay_service
