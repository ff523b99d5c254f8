#include "relay_service/connection_counts.h"

#include <algorithm>

namespace morvane::relay_service {

int ConnectionCounts::limitAt(std::size_t level) const {
    static constexpr int widths[] = {1, 4, 16};
    const auto width = widths[std::min<std::size_t>(level, 2)];
    return limits_.connectionsPerAddress > limits_.connections / width ? limits_.connections
                                                                       : limits_.connectionsPerAddress * width;
}

std::size_t ConnectionCounts::answerLimitAt(std::size_t level) const {
    static constexpr std::size_t widths[] = {1, 4, 16};
    return limits_.answerBytesPerAddress * widths[std::min<std::size_t>(level, 2)];
}

ConnectionCounts::Admission ConnectionCounts::admit(const std::vector<std::string>& networks, std::int64_t nowMillis) {
    for (std::size_t level = 0; level < networks.size(); ++level) {
        auto& network = networks_[networks[level]];
        if (network.open >= limitAt(level)) return {Verdict::addressFull, networks[level], 0, {}};
    }
    Admission admission;
    const auto shedOldest = [&](bool freshOnly) {
        auto* from = &waiting_;
        if (!freshOnly && !idle_.empty() && (from->empty() || *idle_.begin() < *from->begin())) from = &idle_;
        // (No answer waits its turn then: each would be shed first.)
        if (!freshOnly && from->empty()) from = &writing_;
        if (from->empty()) return false;
        const auto id = from->begin()->second;
        admission.shed.push_back(id);
        forget(id, entries_.at(id));
        return true;
    };
    // Past their share, those yet to say anything make room among
    // themselves (sockets being closed join them after their upgrade, so
    // more than one may have to go); past the total, whoever has been idle
    // longest; and when the total is all answers being written (strangers
    // from many networks that take none of theirs), the one whose client
    // took nothing for longest. A phone taking its file on a slow link is
    // the last of those, only ever against a flood that leaves nothing else.
    while (fresh_ >= freshLimit() && shedOldest(true)) {
    }
    if (open_ >= limits_.connections && !shedOldest(false))
        return {Verdict::relayFull, "", 0, std::move(admission.shed)};
    for (const auto& key : networks) ++networks_[key].open;
    const auto id = next_++;
    entries_.emplace(id, Entry{networks, State::fresh, nowMillis, nullptr, 0, 0, nullptr});
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
    } else if (entry.state == State::writing) {
        writing_.erase({entry.since, id});
    }
}

void ConnectionCounts::enter(Id id, Entry& entry, State state, std::int64_t nowMillis) {
    leave(id, entry);
    entry.state = state;
    entry.since = nowMillis;
    if (state == State::fresh) {
        waiting_.emplace(nowMillis, id);
        ++fresh_;
    } else if (state == State::writing) {
        writing_.emplace(nowMillis, id);
    }
}

void ConnectionCounts::forget(Id id, Entry& entry) {
    leave(id, entry);
    discharge(entry);
    if (entry.start) parked_.erase(std::find(parked_.begin(), parked_.end(), id));
    entry.waiting = 0;
    entry.start = nullptr;
    for (const auto& key : entry.networks) {
        const auto found = networks_.find(key);
        if (found != networks_.end() && --found->second.open <= 0) networks_.erase(found);
    }
    --open_;
    // The close hook stays until taken, when the connection is shed.
    if (!entry.close) {
        entries_.erase(id);
    } else {
        entry.networks.clear();
        entry.state = State::upgraded;  // gone from every count
        entry.since = -1;
    }
}

void ConnectionCounts::release(Id id, std::int64_t nowMillis) {
    const auto found = entries_.find(id);
    if (found == entries_.end()) return;
    if (found->second.since == -1) {
        entries_.erase(found);  // shed already
    } else {
        found->second.close = nullptr;
        const bool freed = found->second.unsent > 0;
        forget(id, found->second);
        if (freed) startWaiting(nowMillis);
    }
    if (released_) released_();
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

void ConnectionCounts::closing(Id id, std::int64_t nowMillis) {
    const auto found = entries_.find(id);
    if (found == entries_.end() || found->second.since == -1 || found->second.state != State::upgraded) return;
    found->second.state = State::fresh;
    found->second.since = nowMillis;
    waiting_.emplace(nowMillis, id);
    ++fresh_;
}

bool ConnectionCounts::roomFor(const Entry& entry, std::size_t bytes) const {
    if (unsent_ > 0 && unsent_ + bytes > limits_.answerBytes) return false;
    for (std::size_t level = 0; level < entry.networks.size(); ++level) {
        const auto found = networks_.find(entry.networks[level]);
        const auto unsent = found == networks_.end() ? 0 : found->second.unsent;
        if (unsent > 0 && unsent + bytes > answerLimitAt(level)) return false;
    }
    return true;
}

void ConnectionCounts::charge(Entry& entry, std::size_t bytes) {
    entry.unsent += bytes;
    unsent_ += bytes;
    for (const auto& key : entry.networks) networks_[key].unsent += bytes;
}

void ConnectionCounts::discharge(Entry& entry) {
    if (entry.unsent == 0) return;
    unsent_ -= entry.unsent;
    for (const auto& key : entry.networks)
        if (const auto found = networks_.find(key); found != networks_.end()) found->second.unsent -= entry.unsent;
    entry.unsent = 0;
}

bool ConnectionCounts::answer(Id id, std::size_t bytes, std::function<void()> start, std::int64_t nowMillis) {
    const auto found = entries_.find(id);
    if (found == entries_.end() || found->second.since == -1) return false;
    auto& entry = found->second;
    discharge(entry);
    if (roomFor(entry, bytes)) {
        charge(entry, bytes);
        enter(id, entry, State::writing, nowMillis);
        start();
        return false;
    }
    entry.waiting = bytes;
    entry.start = std::move(start);
    parked_.push_back(id);
    // Asked and not yet answered: a flood of requests whose answers wait
    // behind their own network's unread ones holds the total no longer
    // than silent connections do.
    enter(id, entry, State::fresh, nowMillis);
    return true;
}

void ConnectionCounts::took(Id id, std::int64_t nowMillis) {
    const auto found = entries_.find(id);
    if (found == entries_.end() || found->second.since == -1 || found->second.state != State::writing) return;
    enter(id, found->second, State::writing, nowMillis);
}

void ConnectionCounts::answered(Id id, std::int64_t nowMillis) {
    const auto found = entries_.find(id);
    if (found == entries_.end() || found->second.since == -1) return;
    auto& entry = found->second;
    if (entry.state == State::writing) {
        leave(id, entry);
        entry.state = State::busy;
    }
    if (entry.unsent == 0) return;
    discharge(entry);
    startWaiting(nowMillis);
}

void ConnectionCounts::dropWaiting() {
    for (const auto id : parked_) {
        auto& entry = entries_.at(id);
        entry.waiting = 0;
        entry.start = nullptr;
    }
    parked_.clear();
}

void ConnectionCounts::startWaiting(std::int64_t nowMillis) {
    if (parked_.empty()) return;
    std::vector<std::function<void()>> starts;
    for (auto it = parked_.begin(); it != parked_.end();) {
        auto& entry = entries_.at(*it);
        if (!roomFor(entry, entry.waiting)) {
            // Nothing fits once the relay's total is full; a network over
            // its own share holds up only its own.
            if (unsent_ > 0 && unsent_ + entry.waiting > limits_.answerBytes) break;
            ++it;
            continue;
        }
        charge(entry, entry.waiting);
        enter(*it, entry, State::writing, nowMillis);
        entry.waiting = 0;
        starts.push_back(std::move(entry.start));
        entry.start = nullptr;
        it = parked_.erase(it);
    }
    // Each start writes on its own connection; none touches the counts
    // before its write completes.
    for (const auto& start : starts) start();
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

std::size_t ConnectionCounts::unsentFrom(const std::string& network) const {
    const auto found = networks_.find(network);
    return found == networks_.end() ? 0 : found->second.unsent;
}

int ConnectionCounts::openFrom(const std::string& network) const {
    const auto found = networks_.find(network);
    return found == networks_.end() ? 0 : found->second.open;
}

}  // namespace morvane::relay_service
