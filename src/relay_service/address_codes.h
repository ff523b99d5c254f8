// The codes one address may be asked for in a window: a person's own
// allowance, which strangers asking for their address elsewhere must not
// spend. Kept per asking network (its widest: an IPv4 address or IPv6 /48),
// `perNetwork` each; and from networks the address never signed in from,
// `elsewhere` in all, so that strangers spread over many networks mail the
// person no more than a few codes they never asked for. The networks the
// address signed in from (the last few, remembered here) are not counted
// in that sum, and each has `atHome` codes, as many as its owner may want
// in a window: its owner, at home, gets a code while strangers ask for it
// from anywhere else. In memory, per instance; on the network thread, on
// times passed in.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "relay_service/gate_memory.h"
#include "relay_service/rate_window.h"

namespace morvane::relay_service {

class AddressCodes {
public:
    struct Limits {
        int perNetwork = 3;
        int elsewhere = 6;
        int atHome = 12;
        std::int64_t windowSeconds = 600;
        std::size_t maxKeys = 50'000;
        // The networks remembered for each address.
        std::size_t homesPerAddress = 4;
    };
    explicit AddressCodes(Limits limits, std::function<void(std::size_t keys)> full = {});

    // Counts a code for `address` asked from `network`, or answers the
    // seconds until it may be asked again. `counted` gets what was counted,
    // to give back.
    std::optional<std::int64_t> take(const std::string& address, const std::string& network, std::int64_t nowSeconds,
                                     std::vector<std::pair<RateWindow*, std::string>>& counted);
    // The address signed in from `network`.
    void signedIn(const std::string& address, const std::string& network);
    bool home(const std::string& address, const std::string& network) const;
    void purge(std::int64_t nowSeconds);

private:
    Limits limits_;
    RateWindow perNetwork_, elsewhere_, atHome_;
    Forgetful<std::vector<std::string>> homes_;
};

}  // namespace morvane::relay_service
