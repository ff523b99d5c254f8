// The limits on strangers' calls composed as data, as nginx's limit_req
// walks its array of limits: each row is one rule with its own count and
// key (a network, a client, an address), and a call is counted under every
// row that bounds it, in order, or refused by the first that will not have
// it, which gives back what the rows before it counted. The gate holds one
// table and walks it; the rules themselves are values of their own
// (RateWindow, NetworkAllowance, AddressCodes), each with its table test.
// Not thread-safe: the network thread only, on times passed in.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "relay_service/rate_window.h"

namespace morvane::relay_service {

// What was counted under which key, to give back.
using Counted = std::vector<std::pair<RateWindow*, std::string>>;

// A call as the limits read it.
struct Asking {
    enum class Kind { code, verify, other };
    Kind kind = Kind::other;
    // Counted a minute per client (register, lists, tickets, refreshes).
    bool perMinute = false;
    // The client's rate key, and its networks narrowest first
    // (NetworkScale::widths).
    std::string client;
    std::vector<std::string> networks;
    // The listed address a code would be mailed to, or a sign-in is tried
    // for; "" when the call would send or try nothing.
    std::string address = {};
    // The caller's widest network, and whether the address signed in from
    // it.
    std::string network = {};
    bool atHome = false;
    // A sign-in with the code mailed last to the address, given again to
    // this login (AddressCodes): its tries from every login are counted
    // together.
    bool sharedCode = false;
};

struct Limit {
    // What the call is one too many of, for the log ("codes from
    // 192.0.2.1").
    std::function<std::string(const Asking&)> says;
    // Counts the call, putting what may be given back in `counted`, or
    // counts nothing and answers the seconds until it may be asked again. A
    // call the rule does not bound passes uncounted.
    std::function<std::optional<std::int64_t>(const Asking&, std::int64_t nowSeconds, Counted& counted)> take;
};

class LimitTable {
public:
    explicit LimitTable(std::vector<Limit> limits) : limits_(std::move(limits)) {}

    struct Refusal {
        std::int64_t waitSeconds;
        std::string why;
    };
    // Counts the call under each row that bounds it; at the first that
    // refuses it, gives back what this walk counted in `counted` and
    // answers why. What a row keeps out of `counted` it keeps whatever the
    // answer.
    std::optional<Refusal> take(const Asking& asking, std::int64_t nowSeconds, Counted& counted) const;

private:
    std::vector<Limit> limits_;
};

// Gives back everything counted.
void giveBack(const Counted& counted, std::int64_t nowSeconds);

}  // namespace morvane::relay_service
