// The connections open at once, per client address and in all, counted
// from the moment one is accepted (its TLS handshake and a client that
// connects and says nothing count too), so that one address, or a flood,
// cannot take every descriptor the relay has. Pure bookkeeping on the
// server's one network thread; the listener refuses what it is told to.
#pragma once

#include <string>
#include <unordered_map>

namespace morvane::relay_service {

struct ListenLimits {
    int connectionsPerAddress = 100;
    int connections = 20'000;
};

class ConnectionCounts {
public:
    enum class Verdict { admitted, addressFull, relayFull };
    struct Admission {
        Verdict verdict = Verdict::admitted;
        // The first refusal since that limit was last left: the one the log
        // tells of.
        bool first = false;
        bool operator==(const Admission&) const = default;
    };

    explicit ConnectionCounts(ListenLimits limits) : limits_(limits) {}

    // A connection from `address` (a client key, see clientKey). Those of a
    // trusted proxy carry many clients: only the total counts them.
    Admission admit(const std::string& address, bool perAddress);
    void release(const std::string& address, bool perAddress);
    // The total may not exceed what the descriptors allow.
    void capTotal(int most);

    int open() const { return open_; }
    int openFrom(const std::string& address) const;
    const ListenLimits& limits() const { return limits_; }

private:
    struct Address {
        int open = 0;
        bool refusing = false;
    };
    ListenLimits limits_;
    std::unordered_map<std::string, Address> addresses_;
    int open_ = 0;
    bool refusing_ = false;
};

}  // namespace morvane::relay_service
