#include "relay_service/handshake_room.h"

#include <algorithm>

namespace morvane::relay_service {

const std::string& HandshakeRoom::pileOf(const std::vector<std::string>& networks) {
    static const std::string none;
    return networks.empty() ? none : networks.back();
}

std::size_t HandshakeRoom::limitAt(std::size_t level) const {
    static constexpr std::size_t widths[] = {1, 4, 16};
    return std::min(limits_.bytes, limits_.bytesPerAddress * widths[std::min<std::size_t>(level, 2)]);
}

std::size_t HandshakeRoom::heldBy(const std::string& network) const {
    const auto found = networks_.find(network);
    return found == networks_.end() ? 0 : found->second.size() * limits_.bytesPerHandshake;
}

HandshakeRoom::Start HandshakeRoom::begin(Id id, const std::vector<std::string>& networks) {
    const auto per = limits_.bytesPerHandshake;
    for (std::size_t level = 0; level < networks.size(); ++level)
        if (heldBy(networks[level]) + per > limitAt(level)) return {};
    Start start{true, {}};
    const auto& pile = pileOf(networks);
    if (held() + per > limits_.bytes) {
        const auto found = networks_.find(pile);
        const auto mine = found == networks_.end() ? 0 : found->second.size();
        if (piles_.empty() || (mine > 0 && (mine + 1) * 2 > piles_.rbegin()->first)) return {};
        const auto oldest = *networks_.at(piles_.rbegin()->second).begin();
        forget(oldest);
        start.shed.push_back(oldest);
    }
    entries_.emplace(id, Entry{networks});
    auto keys = networks;
    if (keys.empty()) keys.push_back(pile);
    for (const auto& key : keys) networks_[key].insert(id);
    const auto size = networks_[pile].size();
    piles_.erase({size - 1, pile});
    piles_.emplace(size, pile);
    return start;
}

void HandshakeRoom::end(Id id) {
    if (entries_.contains(id)) forget(id);
}

void HandshakeRoom::forget(Id id) {
    const auto found = entries_.find(id);
    auto keys = found->second.networks;
    const auto pile = pileOf(keys);
    if (keys.empty()) keys.push_back(pile);
    const auto size = networks_[pile].size();
    piles_.erase({size, pile});
    if (size > 1) piles_.emplace(size - 1, pile);
    for (const auto& key : keys) {
        auto& ids = networks_[key];
        ids.erase(id);
        if (ids.empty()) networks_.erase(key);
    }
    entries_.erase(found);
}

}  // namespace morvane::relay_service
