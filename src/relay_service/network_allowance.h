// What one network may ask of the sign-in calls in a window, whatever the
// address and whatever the answer: a code request or a sign-in for an
// address not on the list is counted as one for a listed address, so that
// a network past its allowance is answered "try later" for every address
// and learns nothing of who is listed. Counted at each of the caller's
// networks (NetworkScale: an IPv4 address or IPv6 /64 `most`, each wider
// one more by the scale): new /64s of one /48 cost it nothing. A provider's
// /40 and /32 are counted too, only to weigh the caller: fresh /48s of one
// /32 are one asker there, never a crowd of newcomers, yet a provider's
// customers do not share one allowance. In memory, per instance; on the
// network thread, on times passed in.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "relay_service/limit_table.h"
#include "relay_service/rate_window.h"

namespace morvane::relay_service {

class NetworkAllowance {
public:
    NetworkAllowance(int most, std::int64_t windowSeconds, std::size_t maxKeys,
                     std::function<void(std::size_t keys)> full = {});

    // Counts one call under each network (NetworkScale::widths), or, when
    // one of them has had its allowance, counts nothing and answers the
    // seconds until its window ends. What it counts is kept, whatever the
    // answer: what a network asked is what ranks it behind newcomers.
    std::optional<std::int64_t> take(const std::vector<std::string>& networks, std::int64_t nowSeconds);
    // How much a network asked in its window, as a share of what its level
    // may: the calls counted under it, divided by its scale. Of several
    // networks, the most.
    int weight(const std::string& network, std::int64_t nowSeconds) const;
    int weight(const std::vector<std::string>& networks, std::int64_t nowSeconds) const;
    // The same in sixteenths of a call, to rank networks that asked about
    // as much: a /32 that asked 20 calls ranks above an address that asked
    // one.
    int rank(const std::string& network, std::int64_t nowSeconds) const;
    void purge(std::int64_t nowSeconds);

private:
    // /64 or IPv4, /56, /48; then /40 and /32, which only weigh.
    std::vector<RateWindow> levels_;
};

}  // namespace morvane::relay_service
