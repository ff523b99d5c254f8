// TLS handshakes under way, weighed in the memory they hold. From a
// client's first bytes until its handshake is done, OpenSSL keeps a
// connection's keys, transcript and messages: tens of kilobytes, against a
// few for a connection at rest, and a client that sends its ClientHello and
// then nothing keeps them for as long as the relay waits. What handshakes
// under way hold is bounded per client network (an IPv4 address or IPv6
// /64, its /56 four times and its /48 sixteen times that, as for
// connections) and in all. A network past its share has its next
// handshake refused before any of it is worked out, which costs the relay
// nothing (giving up its old ones instead would have the relay work out
// every handshake a stranger dials again). Past the total, a network with
// none under way, or under half the largest pile, begins its handshake and
// that pile gives up its oldest; any other is refused. So a newcomer's
// handshake begins, and a stranger's pile pays for itself. Pure
// bookkeeping on the server's one network thread; the server closes what
// it is told to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace morvane::relay_service {

struct HandshakeLimits {
    // What one handshake under way is counted as holding (OpenSSL 3 with
    // the relay's suites: its state between the server's flight and the
    // client's Finished, measured with the relay's flood bench).
    std::size_t bytesPerHandshake = 32u << 10;
    // From one IPv4 address or IPv6 /64: a browser begins a handful at once.
    std::size_t bytesPerAddress = 1u << 20;
    std::size_t bytes = 64u << 20;
};

class HandshakeRoom {
public:
    using Id = std::uint64_t;

    explicit HandshakeRoom(HandshakeLimits limits = {}) : limits_(limits) {}

    // A handshake that would begin for a client counted under `networks`
    // (see clientNetworks; none for a trusted proxy's, counted in the total
    // alone) as `id`, which grows with each: whether it begins, and the
    // handshakes to give up to make room for it.
    struct Start {
        bool begins = false;
        std::vector<Id> shed;
        bool operator==(const Start&) const = default;
    };
    Start begin(Id id, const std::vector<std::string>& networks);
    // Done, or its connection ended; an id given up, or never begun, is no
    // matter.
    void end(Id id);

    std::size_t held() const { return entries_.size() * limits_.bytesPerHandshake; }
    std::size_t heldBy(const std::string& network) const;
    std::size_t limitAt(std::size_t level) const;
    const HandshakeLimits& limits() const { return limits_; }

private:
    struct Entry {
        std::vector<std::string> networks;
    };
    // The pile a handshake is in: its widest network ("" for none).
    static const std::string& pileOf(const std::vector<std::string>& networks);
    void forget(Id id);

    HandshakeLimits limits_;
    std::unordered_map<Id, Entry> entries_;
    // Each network's handshakes, oldest first.
    std::unordered_map<std::string, std::set<Id>> networks_;
    // The piles by size, to find the largest.
    std::set<std::pair<std::size_t, std::string>> piles_;
};

}  // namespace morvane::relay_service
