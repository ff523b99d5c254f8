// The limits on strangers' calls composed as data, as nginx's limit_req
// walks its array of zones: each row is one rule with its own count and
// key (a network, a client, an address, a key's places in the store queue,
// the store's share for strangers), and a call is counted under every row
// that bounds it, in order, or refused by the first that will not have it,
// which gives back what the rows before it took. The gate holds one table
// and walks it; the rules themselves are values of their own (RateWindow,
// NetworkAllowance, AddressCodes, HeldPlaces, StrangerBudget), each with
// its table test. Not thread-safe: the network thread only, on times passed
// in.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "relay_service/gate_memory.h"
#include "relay_service/rate_window.h"
#include "relay_service/stranger_budget.h"

namespace morvane::relay_service {

// What was counted under which key, to give back.
using Counted = std::vector<std::pair<RateWindow*, std::string>>;

// Everything a call took of the table's rows: events counted (kept once the
// call is answered), places held in the store queue (free once it is
// answered) and what it holds of the store's share for strangers (settled
// with what it cost).
struct Taken {
    Counted counted;
    HeldPlaces* placesOf = nullptr;
    std::vector<std::string> places;
    StrangerBudget* budgetOf = nullptr;
    std::optional<std::int64_t> budget;
};

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
    // The network the call is asked from (NetworkScale::asking), and
    // whether the address signed in from it.
    std::string network = {};
    bool atHome = false;
    // The places it is to hold in the store queue while it waits, and
    // whether it comes out of the store's share for strangers.
    std::vector<HeldPlaces::Claim> places = {};
    bool strangers = false;
};

struct Limit {
    struct Refusal {
        std::int64_t waitSeconds;
        // What the call is one too many of, for the log ("codes from
        // 192.0.2.1").
        std::string why;
        // 429: the caller's own share is spent; 503: the relay's.
        int status = 429;
    };
    // Takes the call's share of the row, putting it in `taken`, or takes
    // nothing and says why not. A call the row does not bound passes.
    std::function<std::optional<Refusal>(const Asking&, std::int64_t nowMillis, Taken& taken)> take;

    // A row of one event under the call's `key` in `window` ("" when the
    // row does not bound the call).
    static Limit counting(RateWindow& window, std::function<std::string(const Asking&)> key,
                          std::function<std::string(const Asking&)> says);
    // The call's places (Asking::places) in `places`.
    static Limit holding(HeldPlaces& places, std::function<std::string(const std::string& fullKey)> says);
    // The store's share for strangers (Asking::strangers), past which they
    // are told to come back in `retrySeconds`.
    static Limit spending(StrangerBudget& budget, std::int64_t retrySeconds, std::string says);
};

class LimitTable {
public:
    explicit LimitTable(std::vector<Limit> limits) : limits_(std::move(limits)) {}

    using Refusal = Limit::Refusal;
    // Takes the call's share of each row that bounds it; at the first that
    // refuses it, gives back what this walk took and answers why. What a
    // row keeps out of `taken` it keeps whatever the answer.
    std::optional<Refusal> take(const Asking& asking, std::int64_t nowMillis, Taken& taken) const;

private:
    std::vector<Limit> limits_;
};

// Gives back everything counted.
void giveBack(const Counted& counted, std::int64_t nowSeconds);
// The call was not served (refused further on, or the store could not
// answer): everything it took is given back, as if it never came.
void giveBack(Taken& taken, std::int64_t nowMillis);
// The call was answered: its places are free and its share of the store's
// time is what it cost (`spentMillis`; nothing when it never ran). What
// it counted stays.
void settle(Taken& taken, std::optional<std::int64_t> spentMillis, std::int64_t nowMillis);

inline std::int64_t wholeSeconds(std::int64_t millis) { return millis < 0 ? 0 : millis / 1000; }

}  // namespace morvane::relay_service
