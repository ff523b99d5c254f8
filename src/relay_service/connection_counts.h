// The connections open at once, per client network and in all, counted
// from the moment one is accepted (its TLS handshake and a client that
// connects and says nothing count too), so that one network, or a flood,
// cannot take every descriptor the relay has. Connections that have not
// completed a request may hold only a share of the total, and when the
// relay is full the ones idle longest make room for newcomers, so silent
// connections lock no one out. The answers being written are counted too,
// per network and in all, by the bytes not yet handed to the kernel, so that
// clients that ask and never read wait their turn instead of holding
// buffers. Pure bookkeeping on the server's one network thread; the
// listener refuses and closes what it is told to.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
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
    // Bytes of answers begun and not yet handed to the kernel, from one
    // IPv4 address or IPv6 /64 (its /56 and /48 four and sixteen times
    // that, as for connections), and in all. An answer past them waits for
    // earlier ones to be written.
    std::size_t answerBytesPerAddress = 4u << 20;
    std::size_t answerBytes = 256u << 20;
};

class ConnectionCounts {
public:
    using Id = std::uint64_t;
    enum class Verdict { admitted, addressFull, relayFull };
    struct Admission {
        Verdict verdict = Verdict::admitted;
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
    void release(Id id, std::int64_t nowMillis);
    // What the connection is doing: answering a request, waiting for the
    // next after one was answered, or upgraded to a WebSocket. Only idle
    // ones (those waiting for a first request or a next one, and those
    // whose client takes nothing of their answer) are shed.
    void busy(Id id);
    void idle(Id id, std::int64_t nowMillis);
    void upgraded(Id id);
    // An upgraded socket the relay is closing (refused, or its room gone)
    // holds nothing worth keeping: it is shed as one yet to complete a
    // request would be.
    void closing(Id id, std::int64_t nowMillis);
    // An answer of `bytes` about to be written: `start` runs at once when
    // its networks' and the relay's unsent answers leave room for it, else
    // once others are written, those waiting longest first (never when the
    // connection ends first). A network with nothing unsent always has
    // room, so no answer waits on its own size. True when it waits: until
    // its turn comes the connection holds nothing worth keeping, and is
    // shed as one yet to complete a request would be.
    bool answer(Id id, std::size_t bytes, std::function<void()> start, std::int64_t nowMillis);
    // Its client took some of the answer being written: it is idle from
    // then on until it takes more.
    void took(Id id, std::int64_t nowMillis);
    // The answer is written, or given up: its bytes make room for others.
    void answered(Id id, std::int64_t nowMillis);
    // The relay stops: no waiting answer will start.
    void dropWaiting();
    // How to close a connection that is shed; handed out once.
    void onShed(Id id, std::function<void()> close);
    std::function<void()> takeShed(Id id);
    // Runs after each connection's place is given back (its memory freed
    // or about to be).
    void afterRelease(std::function<void()> released) { released_ = std::move(released); }
    // The total may not exceed what the descriptors allow.
    void capTotal(int most);

    int open() const { return open_; }
    int fresh() const { return fresh_; }
    int openFrom(const std::string& network) const;
    std::size_t unsent() const { return unsent_; }
    std::size_t unsentFrom(const std::string& network) const;
    std::size_t waitingAnswers() const { return parked_.size(); }
    const ListenLimits& limits() const { return limits_; }
    // The most one network may have open: an IPv4 address or an IPv6 /64
    // the per-address limit, its /56 four times that and its /48 sixteen
    // times (what one site or customer is handed).
    int limitAt(std::size_t level) const;
    // The most connections yet to complete a request: half the total.
    int freshLimit() const { return std::max(1, limits_.connections / 2); }
    std::size_t answerLimitAt(std::size_t level) const;

private:
    enum class State { fresh, busy, writing, idle, upgraded };
    struct Entry {
        std::vector<std::string> networks;
        State state = State::fresh;
        std::int64_t since = 0;
        std::function<void()> close;
        std::size_t unsent = 0;   // of the answer being written
        std::size_t waiting = 0;  // of the answer waiting its turn
        std::function<void()> start;
    };
    struct Network {
        int open = 0;
        std::size_t unsent = 0;
    };
    void forget(Id id, Entry& entry);
    void leave(Id id, Entry& entry);
    bool roomFor(const Entry& entry, std::size_t bytes) const;
    void charge(Entry& entry, std::size_t bytes);
    void discharge(Entry& entry);
    // Leaves its state for `state` (fresh or writing), counted from now.
    void enter(Id id, Entry& entry, State state, std::int64_t nowMillis);
    // Starts the waiting answers that now have room, oldest first.
    void startWaiting(std::int64_t nowMillis);

    ListenLimits limits_;
    std::unordered_map<Id, Entry> entries_;
    std::unordered_map<std::string, Network> networks_;
    // Connections that may be shed, oldest first: those yet to complete a
    // request (an answer waiting its turn among them), those waiting for
    // another, and those writing an answer, by when their client last took
    // some of it.
    std::set<std::pair<std::int64_t, Id>> waiting_, idle_, writing_;
    Id next_ = 1;
    int open_ = 0;
    int fresh_ = 0;
    std::size_t unsent_ = 0;
    std::deque<Id> parked_;  // answers waiting their turn, oldest first
    std::function<void()> released_;
};

}  // namespace morvane::relay_service
