// Whose TLS handshake the relay works out next. The first step of a
// handshake (the ClientHello read, the key exchange and the signature) is
// the relay's costliest piece of work, and its one network thread does it:
// taken in the order the ClientHellos came, a stranger dialling thousands
// again and again puts a newcomer behind all of them, and taken by
// address in turn, behind one of each address the stranger has.
//
// So the first steps go to whoever has cost the relay least lately. Each
// client's are weighed twice, by its address (an IPv4 address or IPv6
// /64) and by its network (an IPv4 /24 or IPv6 /48), each weight the
// first steps worked out for it, fading by half every `halfLifeMillis`;
// a network's weight only those its clients left unfinished, so that
// visitors who share a network (a campus, an office, a carrier's NAT)
// and complete what they begin are not put behind a stranger's
// addresses never seen there, whose networks are full of replays.
// The cheapest address goes first, and among addresses alike (those never
// seen, above all) the one of the cheapest network, then the one waiting
// longest: a newcomer waits for nobody who has cost anything lately,
// however many addresses a stranger has, and a stranger's own addresses
// take turns behind everyone else's. An address that has completed a
// handshake lately (its client did the crypto a replayed ClientHello
// never does), and has cost no more than a few pages' first steps since,
// goes before every other, but for one turn in two while others wait: a
// person who has been here, or has just loaded the first of a page's
// connections, is never put behind a stranger's pile, nor a newcomer
// behind a stranger's thousands of first steps from addresses that once
// completed one; and such a stranger, replaying hundreds of ClientHellos
// a second, takes its turns by its cost, as anyone's, once it has cost
// more than those few pages. Any other address has its
// next handshakes held while one is under way, for `holdMillis` at most
// (then all that waited go): the rest of a page's wait the few
// milliseconds until its first completes, a stranger's replayed
// ClientHellos cost the relay a first step an address each hold unless
// nobody cheaper waits, and a client whose first connection stalled (a
// phone losing its network, a scanner trying versions) has its next
// worked out a moment later, not when the stalled one's deadline ends it.
// Clients behind a trusted proxy (the empty address) share their address
// with everyone else's there and are never held. Pure bookkeeping on the
// server's one network thread, on the times it is given.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <unordered_map>

#include "relay_service/entry_pool.h"
#include "relay_service/gate_memory.h"

namespace morvane::relay_service {

class HandshakeTurns {
public:
    using Id = std::uint64_t;
    static constexpr std::int64_t halfLifeMillis = 10'000;
    // How long an address that completed a handshake goes first, and
    // while it has cost no more than this lately: a few pages' worth.
    static constexpr std::int64_t knownMillis = 10 * 60'000;
    static constexpr double knownCost = 32;
    // Past this, a known address takes turns with those not known while
    // both wait: a person's page or two.
    static constexpr double personCost = 8;
    // Addresses remembered as having completed one, at most.
    static constexpr std::size_t knownAddresses = 65'536;
    // How long a handshake under way from an address not known holds the
    // address's next: a browser on a slow network's first completes within
    // it when the relay has room, and whatever stalls holds nobody longer.
    static constexpr std::int64_t holdMillis = 500;

    HandshakeTurns() : known_(knownAddresses) {}

    // A handshake from `address` (rateKey's key), in `network`, waits.
    void wait(Id id, const std::string& address, const std::string& network, std::int64_t nowMillis);
    // The next handshake to work out, if any waits; its first step is
    // counted against its address and network.
    std::optional<Id> next(std::int64_t nowMillis);
    // A handshake from `address`, in `network`, was completed: what waits
    // from there goes first from now on, and its first step no longer
    // weighs on the network.
    void completed(const std::string& address, const std::string& network, std::int64_t nowMillis);
    // A handshake next() gave ended without completing (refused, given
    // up, its connection gone): its address's next may be worked out.
    void ended(const std::string& address);
    // The first step next() just counted was not worked out after all (it
    // waits to ask again): it is taken back.
    void refund(const std::string& address, const std::string& network, std::int64_t nowMillis);
    bool known(const std::string& address, std::int64_t nowMillis) const { return isKnown(address, nowMillis); }
    bool empty() const { return order_.empty(); }
    // When the first handshake held behind its address's unfinished one
    // may go, if one is held: next() gives it from then on.
    std::optional<std::int64_t> heldUntil();

    // What an address, or a network, has cost lately, in first steps.
    double costOf(const std::string& address, std::int64_t nowMillis) const;
    double networkCostOf(const std::string& network, std::int64_t nowMillis) const;

private:
    // Weights are kept grown by what they would have faded since `epoch_`,
    // so that fading changes no order: only the weight of who was served
    // changes.
    double grown(std::int64_t nowMillis) const;
    static double weightIn(const PooledMap<double>& weights, const std::string& key);
    static void addWeight(PooledMap<double>& weights, const std::string& key, double step);
    void takeBack(PooledMap<double>& weights, const std::string& key, std::int64_t nowMillis) const;
    void rebase(std::int64_t nowMillis);
    bool isKnown(const std::string& address, std::int64_t nowMillis) const;
    bool goesFirst(const std::string& address, std::int64_t nowMillis) const;
    // Marks an address not known as having one under way from now, and
    // lets go of those held past their hold.
    void hold(const std::string& address, std::int64_t nowMillis);
    void held(const std::string& address);
    void release(std::int64_t nowMillis);

    // The addresses waiting in a line (one network, known or not), the
    // cheapest first, then the one waiting longest.
    using GroupKey = std::tuple<double, std::uint64_t, std::string>;
    struct Group {
        std::string network;
        bool known = false;
        std::deque<std::pair<Id, std::uint64_t>> ids;  // with the order they came in
        GroupKey key;
        bool placed = false;  // not while an address not known has one under way
        bool released = false;  // its hold over: the rest go without one
    };
    using LineName = std::pair<std::string, bool>;  // network, known
    // Known lines first (false before true), then by their first
    // address's weight, the network's weight, how long that address
    // waited.
    using LineKey = std::tuple<bool, double, double, std::uint64_t>;
    struct Line {
        std::set<GroupKey> groups;
        LineKey key;
    };
    void place(const std::string& address, Group& group);  // into its line, keyed afresh
    void unplace(Group& group);
    void keyLine(const LineName& name);

    // Kept apart from the connections' memory (entry_pool.h), as is known_.
    EntryPool pool_;
    PooledMap<double> addresses_{pool_.get()}, networks_{pool_.get()};  // weights
    std::int64_t epoch_ = 0;
    bool started_ = false;
    std::size_t rebaseAt_ = 4'096;
    std::unordered_map<std::string, Group> groups_;  // by address
    std::map<LineName, Line> lines_;
    std::set<std::pair<LineKey, LineName>> order_;
    Forgetful<std::int64_t> known_;  // when each address last completed one
    // Addresses not known with one under way, since when; and the ends of
    // the holds of those whose next waits, the earliest first.
    std::unordered_map<std::string, std::int64_t> busy_;
    std::deque<std::pair<std::int64_t, std::string>> holds_;
    std::uint64_t arrivals_ = 0;
    // The last turn went to a costly known address while others waited.
    bool othersOwed_ = false;
};

}  // namespace morvane::relay_service
