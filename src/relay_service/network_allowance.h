// What one network may ask of the sign-in calls in a window, whatever the
// address and whatever the answer: a code request or a sign-in for an
// address not on the list is counted as one for a listed address, so that
// a network past its allowance is answered "try later" for every address
// and learns nothing of who is listed. Counted at each of the caller's
// networks, narrowest first (an IPv4 address or IPv6 /64 `most`, its /56
// twice as many, its /48 four times): new /64s of one /48 cost it nothing.
// In memory, per instance; on the network thread, on times passed in.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "relay_service/rate_window.h"

namespace morvane::relay_service {

class NetworkAllowance {
public:
    NetworkAllowance(int most, std::int64_t windowSeconds, std::size_t maxKeys,
                     std::function<void(std::size_t keys)> full = {});

    // Counts one call under each network, or, when one of them has had its
    // allowance, counts nothing and answers the seconds until its window
    // ends. `counted` gets what was counted, to give back.
    std::optional<std::int64_t> take(const std::vector<std::string>& networks, std::int64_t nowSeconds,
                                     std::vector<std::pair<RateWindow*, std::string>>& counted);
    // How much a network asked in its window, as a share of what its level
    // may: the calls counted under it, halved for a /56 and quartered for
    // a /48. Of several networks, the most.
    int weight(const std::string& network, std::int64_t nowSeconds) const;
    int weight(const std::vector<std::string>& networks, std::int64_t nowSeconds) const;
    // The calls counted under `network`, of whichever level.
    int count(const std::string& network, std::int64_t nowSeconds) const;
    void purge(std::int64_t nowSeconds);

private:
    // /64 or IPv4, /56, /48.
    std::vector<RateWindow> levels_;
};

}  // namespace morvane::relay_service
