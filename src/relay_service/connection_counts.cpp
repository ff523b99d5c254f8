#include "relay_service/connection_counts.h"

#include <algorithm>

namespace morvane::relay_service {

int ConnectionCounts::limitAt(std::size_t level) const {
    static constexpr int widths[] = {1, 4, 16};
    const auto width = widths[std::min<std::size_t>(level, 2)];
    return limits_.connectionsPerAddress > limits_.connections / width ? limits_.connections
                                                                       : limits_.connectionsPerAddress * width;
}

ConnectionCounts::Admission ConnectionCounts::admit(const std::vector<std::string>& networks, std::int64_t nowMillis) {
    for (std::size_t level = 0; level < networks.size(); ++level) {
        auto& network = networks_[networks[level]];
        if (network.open >= limitAt(level)) {
            const bool first = !network.refusing;
            network.refusing = true;
            return {Verdict::addressFull, first, networks[level], 0, {}};
        }
    }
    Admission admission;
    const auto shedOldest = [&](bool freshOnly) {
        auto* from = &waiting_;
        if (!freshOnly && (waiting_.empty() || (!idle_.empty() && *idle_.begin() < *waiting_.begin()))) from = &idle_;
        if (from->empty()) return false;
        const auto id = from->begin()->second;
        admission.shed.push_back(id);
        forget(id, entries_.at(id));
        return true;
    };
    // Past their share, those yet to say anything make room among
    // themselves; past the total, whoever has been idle longest.
    if (fresh_ >= freshLimit()) shedOldest(true);
    if (open_ >= limits_.connections && !shedOldest(false)) {
        const bool first = !refusing_;
        refusing_ = true;
        return {Verdict::relayFull, first, "", 0, std::move(admission.shed)};
    }
    for (const auto& key : networks) ++networks_[key].open;
    const auto id = next_++;
    entries_.emplace(id, Entry{networks, State::fresh, nowMillis, nullptr});
    waiting_.emplace(nowMillis, id);
    ++open_;
    ++fresh_;
    admission.id = id;
    return admission;
}

void ConnectionCounts::leave(Id id, Entry& entry) {
    if (entry.state == State::fresh) {
        waiting_.erase({entry.since, id});
        --fresh_;
    } else if (entry.state == State::idle) {
        idle_.erase({entry.since, id});
    }
}

void ConnectionCounts::forget(Id id, Entry& entry) {
    leave(id, entry);
    for (std::size_t level = 0; level < entry.networks.size(); ++level) {
        const auto found = networks_.find(entry.networks[level]);
        if (found == networks_.end()) continue;
        if (--found->second.open <= 0) {
            networks_.erase(found);
        } else if (found->second.open < limitAt(level)) {
            found->second.refusing = false;
        }
    }
    --open_;
    if (open_ < limits_.connections) refusing_ = false;
    // The close hook stays until taken, when the connection is shed.
    if (!entry.close) {
        entries_.erase(id);
    } else {
        entry.networks.clear();
        entry.state = State::upgraded;  // gone from every count
        entry.since = -1;
    }
}

void ConnectionCounts::release(Id id) {
    const auto found = entries_.find(id);
    if (found == entries_.end()) return;
    if (found->second.since == -1) {
        entries_.erase(found);  // shed already
        return;
    }
    found->second.close = nullptr;
    forget(id, found->second);
}

void ConnectionCounts::busy(Id id) {
    const auto found = entries_.find(id);
    if (found == entries_.end() || found->second.since == -1) return;
    leave(id, found->second);
    found->second.state = State::busy;
}

void ConnectionCounts::idle(Id id, std::int64_t nowMillis) {
    const auto found = entries_.find(id);
    if (found == entries_.end() || found->second.since == -1) return;
    leave(id, found->second);
    found->second.state = State::idle;
    found->second.since = nowMillis;
    idle_.emplace(nowMillis, id);
}

void ConnectionCounts::upgraded(Id id) {
    const auto found = entries_.find(id);
    if (found == entries_.end() || found->second.since == -1) return;
    leave(id, found->second);
    found->second.state = State::upgraded;
}

void ConnectionCounts::onShed(Id id, std::function<void()> close) {
    const auto found = entries_.find(id);
    if (found != entries_.end() && found->second.since != -1) found->second.close = std::move(close);
}

std::function<void()> ConnectionCounts::takeShed(Id id) {
    const auto found = entries_.find(id);
    if (found == entries_.end() || found->second.since != -1) return nullptr;
    auto close = std::move(found->second.close);
    entries_.erase(found);
    return close;
}

void ConnectionCounts::capTotal(int most) { limits_.connections = std::min(limits_.connections, std::max(most, 1)); }

int ConnectionCounts::openFrom(const std::string& network) const {
    const auto found = networks_.find(network);
    return found == networks_.end() ? 0 : found->second.open;
}

}  // namespace morvane::relay_service
