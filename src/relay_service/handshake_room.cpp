#include "relay_service/handshake_room.h"

#include <algorithm>

namespace morvane::relay_service {

std::vector<std::string> HandshakeRoom::pathOf(const std::vector<std::string>& networks) {
    if (networks.empty()) return {std::string()};
    return {networks.rbegin(), networks.rend()};
}

std::size_t HandshakeRoom::limitAt(std::size_t level, std::size_t levels) const {
    const std::size_t width = level == 0 ? 1 : level + 1 == levels ? 16 : 4;
    return std::min(limits_.bytes, limits_.bytesPerAddress * width);
}

std::size_t HandshakeRoom::count(const std::string& name) const {
    const auto found = piles_.find(name);
    return found == piles_.end() ? 0 : found->second.ids.size();
}

std::size_t HandshakeRoom::heldBy(const std::string& network) const { return count(network) * limits_.bytesPerHandshake; }

// Who gives way within the full pile `pile`, in which the newcomer's own
// is `path[depth]`: the largest other pile there, when the newcomer's own
// holds a few (if vouched for) or under half of it; else, for a client
// vouched for, the same one pile down, within its own.
std::optional<HandshakeRoom::Id> HandshakeRoom::giveWay(const Pile* pile, std::size_t depth,
                                                        const std::vector<std::string>& path, bool proxied,
                                                        bool vouched) const {
    const auto few = limits_.bytesAFew / limits_.bytesPerHandshake;
    for (; pile; ++depth) {
        if (depth == path.size()) {
            // Behind a trusted proxy: its oldest.
            if (proxied && !pile->ids.empty()) return *pile->ids.begin();
            return std::nullopt;
        }
        const auto& mine = path[depth];
        const auto held = count(mine);
        for (const auto& other : pile->within) {
            if (std::get<2>(other) == mine) continue;
            const auto size = static_cast<std::size_t>(-std::get<0>(other));
            if ((vouched && held < few) || (held + 1) * 2 <= size) return std::get<1>(other);
            break;
        }
        if (!vouched) return std::nullopt;
        const auto found = piles_.find(mine);
        pile = found == piles_.end() ? nullptr : &found->second;
    }
    return std::nullopt;
}

// The oldest stale handshake in `pile` that may give way to a client
// whose address has cost `cost` lately.
std::optional<HandshakeRoom::Id> HandshakeRoom::staleIn(const Pile& pile, double cost, std::int64_t nowMillis) const {
    std::size_t looks = 0;
    for (const auto id : pile.ids) {
        const auto& entry = entries_.at(id);
        if (nowMillis - entry.begun < limits_.staleMillis || looks++ == limits_.staleLooks) break;
        if (cost <= std::max(limits_.costAFew, entry.cost)) return id;
    }
    return std::nullopt;
}

HandshakeRoom::Start HandshakeRoom::begin(Id id, const std::vector<std::string>& networks, bool vouched,
                                          std::int64_t nowMillis, double cost) {
    const auto per = limits_.bytesPerHandshake;
    const auto path = pathOf(networks);
    const auto levels = networks.size();
    // An address past its own share: refused before anything else.
    if (levels > 0 && heldBy(networks.front()) + per > limitAt(0, levels)) return {};
    // The narrowest full pile on its path (the total the widest): who gives
    // way there makes room in every pile around it too.
    std::optional<std::size_t> full;
    for (std::size_t level = 1; level < levels && !full; ++level)
        if (heldBy(networks[level]) + per > limitAt(level, levels)) full = levels - level;
    if (!full && held() + per > limits_.bytes) full = 0;
    Start start{true, {}};
    if (full) {
        const Pile* pile = *full == 0 ? &root_ : &piles_.at(path[*full - 1]);
        auto way = giveWay(pile, *full, path, networks.empty(), vouched);
        // Stale first: the oldest there, whoever's, when its client has
        // not done its part for so long, unless the newcomer's address is
        // the costlier.
        const auto stale = vouched ? staleIn(*pile, cost, nowMillis) : std::nullopt;
        if (stale) {
            way = stale;
        } else if (way && nowMillis - entries_.at(*way).begun < limits_.youngMillis) {
            return {false, {}, vouched};
        }
        if (!way) return {};
        forget(*way);
        start.shed.push_back(*way);
    }
    add(id, path);
    entries_.emplace(id, Entry{path, nowMillis, cost});
    return start;
}

void HandshakeRoom::add(Id id, const std::vector<std::string>& path) {
    Pile* around = &root_;
    for (const auto& name : path) {
        auto& pile = piles_[name];
        if (!pile.ids.empty()) around->within.erase(pile.key);
        pile.ids.insert(id);
        pile.key = {-static_cast<std::int64_t>(pile.ids.size()), *pile.ids.begin(), name};
        around->within.insert(pile.key);
        around = &pile;
    }
    root_.ids.insert(id);
}

void HandshakeRoom::end(Id id) {
    if (entries_.contains(id)) forget(id);
}

void HandshakeRoom::forget(Id id) {
    const auto found = entries_.find(id);
    // Null once a pile around is gone: the piles within it go with it.
    Pile* around = &root_;
    for (const auto& name : found->second.path) {
        const auto at = piles_.find(name);
        auto& pile = at->second;
        if (around) around->within.erase(pile.key);
        pile.ids.erase(id);
        if (pile.ids.empty()) {
            piles_.erase(at);
            around = nullptr;
            continue;
        }
        pile.key = {-static_cast<std::int64_t>(pile.ids.size()), *pile.ids.begin(), name};
        if (around) around->within.insert(pile.key);
        around = &pile;
    }
    root_.ids.erase(id);
    entries_.erase(found);
}

}  // namespace morvane::relay_service
