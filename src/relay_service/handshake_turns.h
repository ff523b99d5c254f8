// Whose TLS handshake the relay works out next. The first step of a
// handshake (the ClientHello read, the key exchange and the signature) is
// the relay's costliest piece of work, and its one network thread does it:
// taken in the order the ClientHellos came, a stranger dialling thousands
// again and again puts a newcomer behind all of them. Each client network
// (its widest, as HandshakeRoom piles them) waits in one line of its own,
// and the lines take turns, each its oldest: a newcomer waits for one
// handshake of each network with some waiting, however many a stranger
// has. Pure bookkeeping on the server's one network thread.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <unordered_map>

namespace morvane::relay_service {

class HandshakeTurns {
public:
    using Id = std::uint64_t;

    void wait(Id id, const std::string& network) {
        auto& line = lines_[network];
        if (line.empty()) order_.push_back(network);
        line.push_back(id);
    }
    // The next handshake to work out, if any waits.
    std::optional<Id> next() {
        if (order_.empty()) return std::nullopt;
        const auto network = std::move(order_.front());
        order_.pop_front();
        auto& line = lines_.at(network);
        const auto id = line.front();
        line.pop_front();
        if (line.empty()) {
            lines_.erase(network);
        } else {
            order_.push_back(network);
        }
        return id;
    }
    bool empty() const { return order_.empty(); }

private:
    std::unordered_map<std::string, std::deque<Id>> lines_;
    std::deque<std::string> order_;  // networks with some waiting, whose turn is next first
};

}  // namespace morvane::relay_service
