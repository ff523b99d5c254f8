// The connections open at once, per client network and in all, counted
// from the moment one is accepted (its TLS handshake and a client that
// connects and says nothing count too), so that one network, or a flood,
// cannot take every descriptor the relay has. Connections that have not
// completed a request may hold only a share of the total, and when the
// relay is full the ones idle longest make room for newcomers, so silent
// connections lock no one out. Pure bookkeeping on the server's one
// network thread; the listener refuses and closes what it is told to.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace morvane::relay_service {

struct ListenLimits {
    int connectionsPerAddress = 100;
    int connections = 20'000;
};

class ConnectionCounts {
public:
    using Id = std::uint64_t;
    enum class Verdict { admitted, addressFull, relayFull };
    struct Admission {
        Verdict verdict = Verdict::admitted;
        // The first refusal since that limit was last left: the one the log
        // tells of.
        bool first = false;
        // The network that was full (addressFull).
        std::string network;
        Id id = 0;  // admitted
        // Idle connections to close to make room for this one.
        std::vector<Id> shed;
        bool operator==(const Admission&) const = default;
    };

    explicit ConnectionCounts(ListenLimits limits) : limits_(limits) {}

    // A connection from a client counted under `networks` (see
    // clientNetworks); none for a trusted proxy's, which carry many clients
    // and count only in the total.
    Admission admit(const std::vector<std::string>& networks, std::int64_t nowMillis);
    void release(Id id);
    // What the connection is doing: answering a request, waiting for the
    // next after one was answered, or upgraded to a WebSocket. Only idle
    // ones (those waiting for a first request or a next one) are shed.
    void busy(Id id);
    void idle(Id id, std::int64_t nowMillis);
    void upgraded(Id id);
    // How to close a connection that is shed; handed out once.
    void onShed(Id id, std::function<void()> close);
    std::function<void()> takeShed(Id id);
    // The total may not exceed what the descriptors allow.
    void capTotal(int most);

    int open() const { return open_; }
    int fresh() const { return fresh_; }
    int openFrom(const std::string& network) const;
    const ListenLimits& limits() const { return limits_; }
    // The most one network may have open: an IPv4 address or an IPv6 /64
    // the per-address limit, its /56 four times that and its /48 sixteen
    // times (what one site or customer is handed).
    int limitAt(std::size_t level) const;
    // The most connections yet to complete a request: half the total.
    int freshLimit() const { return std::max(1, limits_.connections / 2); }

private:
    enum class State { fresh, busy, idle, upgraded };
    struct Entry {
        std::vector<std::string> networks;
        State state = State::fresh;
        std::int64_t since = 0;
        std::function<void()> close;
    };
    struct Network {
        int open = 0;
        bool refusing = false;
    };
    void forget(Id id, Entry& entry);
    void leave(Id id, Entry& entry);

    ListenLimits limits_;
    std::unordered_map<Id, Entry> entries_;
    std::unordered_map<std::string, Network> networks_;
    // Connections that may be shed, oldest first: those yet to complete a
    // request, and those waiting for another.
    std::set<std::pair<std::int64_t, Id>> waiting_, idle_;
    Id next_ = 1;
    int open_ = 0;
    int fresh_ = 0;
    bool refusing_ = false;
};

}  // namespace morvane::relay_service
