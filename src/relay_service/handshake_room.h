// TLS handshakes under way, weighed in the memory they hold. From a
// client's first bytes until its handshake is done, OpenSSL keeps a
// connection's keys, transcript and messages: tens of kilobytes, against a
// few for a connection at rest, and a client that sends its ClientHello and
// then nothing keeps them for as long as the relay waits.
//
// What handshakes under way hold is bounded per client address (an IPv4
// address or IPv6 /64), per network (an IPv6 /56 four times that, an IPv4
// /24 or IPv6 /48 sixteen times) and in all, and they are kept in piles:
// all of them, then each network's, then each address's. An address past
// its share has its next handshake refused before any of it is worked out,
// which costs the relay nothing (giving up its old ones instead would have
// the relay work out every handshake a stranger dials again). Past a
// network's share or the total, the newcomer's pile is set against the
// largest other pile there: when it holds but a few (what a browser begins
// at once), or under half that pile, it begins and that pile gives up its
// oldest; otherwise the same is asked one pile down, within the
// newcomer's own network, and an address that is itself the largest is
// refused. So a visitor beside a stranger's piles begins its handful,
// however small each of the stranger's piles and whoever else shares its
// network, and a stranger's pile pays for itself. Behind a trusted proxy,
// where clients cannot be told apart, the oldest under way gives way.
// Pure bookkeeping on the server's one network thread; the server closes
// what it is told to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <unordered_map>
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
    // A pile holding less than this (eight handshakes: a browser's handful)
    // always begins beside a larger one.
    std::size_t bytesAFew = 256u << 10;
    // A handshake under way this long may have a client that is not doing
    // its part (a browser's completes within a round trip and its own
    // crypto; a phone on a slow network's takes longer, and keeps it: see
    // begin).
    std::int64_t staleMillis = 2'000;
    // A client whose address has cost no more than this many first steps
    // lately (a browser's handful) may have a stale one given up whoever's
    // it is; one that cost more, only one whose address had cost as much.
    double costAFew = 8;
    // Stale handshakes looked at for one newcomer, at most.
    std::size_t staleLooks = 64;
    // One begun more lately is never given up for another's: its client
    // may be doing its part right now.
    std::int64_t youngMillis = 250;
};

class HandshakeRoom {
public:
    using Id = std::uint64_t;

    explicit HandshakeRoom(HandshakeLimits limits = {}) : limits_(limits) {}

    // A handshake that would begin at `nowMillis` for a client counted
    // under `networks` (see handshakeNetworks, narrowest first; none for a
    // trusted proxy's, counted in the total alone) as `id`, which grows
    // with each: whether it begins, and the handshakes to give up to make
    // room for it. Past a share, a client `vouched` for (its address
    // completed a handshake lately, or is new) has the oldest there give
    // way first when it is stale, whatever pile it is in, unless its
    // address has `cost` the relay more first steps lately than a few and
    // than that one's had when it began: a stranger dialling thousands
    // from addresses it once completed a handshake from never takes the
    // place of a phone whose handshake is slow. A client not vouched for
    // begins only under half the largest other pile there: a stranger
    // dialling again is refused before any of it is worked out, whoever
    // else holds a few.
    struct Start {
        bool begins = false;
        std::vector<Id> shed;
        // Refused only because what would give way has just begun: it may
        // ask again once that is no longer young.
        bool later = false;
        bool operator==(const Start&) const = default;
    };
    Start begin(Id id, const std::vector<std::string>& networks, bool vouched = true, std::int64_t nowMillis = 0,
                double cost = 0);
    // Done, or its connection ended; an id given up, or never begun, is no
    // matter.
    void end(Id id);

    std::size_t held() const { return root_.ids.size() * limits_.bytesPerHandshake; }
    std::size_t heldBy(const std::string& network) const;
    // The share of the network at `level` of `levels` (narrowest first).
    std::size_t limitAt(std::size_t level, std::size_t levels) const;
    const HandshakeLimits& limits() const { return limits_; }

private:
    // A pile: its handshakes (by id, so the oldest first) and the piles
    // within it, the largest first and, among those alike, the one with
    // the oldest.
    using PileKey = std::tuple<std::int64_t, Id, std::string>;  // minus its size, its oldest, its name
    struct Pile {
        std::set<Id> ids;
        std::set<PileKey> within;
        PileKey key;  // in the pile around it
    };
    // The piles a handshake is in below the total, widest first.
    static std::vector<std::string> pathOf(const std::vector<std::string>& networks);
    std::size_t count(const std::string& name) const;
    std::optional<Id> giveWay(const Pile* pile, std::size_t depth, const std::vector<std::string>& path, bool proxied,
                              bool vouched) const;
    std::optional<Id> staleIn(const Pile& pile, double cost, std::int64_t nowMillis) const;
    void add(Id id, const std::vector<std::string>& path);
    void forget(Id id);

    HandshakeLimits limits_;
    struct Entry {
        std::vector<std::string> path;
        std::int64_t begun = 0;
        double cost = 0;  // its address's, when it began
    };
    std::unordered_map<Id, Entry> entries_;
    Pile root_;
    std::unordered_map<std::string, Pile> piles_;
};

}  // namespace morvane::relay_service
