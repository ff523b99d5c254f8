#include "relay_service/place_keys.h"

#include "relay_service/network_scale.h"
#include "relay_service/relay_limits.h"

namespace morvane::relay_service::PlaceKeys {

namespace {

Claims perNetwork(const std::string& prefix, const std::vector<std::string>& networks) {
    Claims claims;
    const auto all = NetworkScale::widths(networks);
    for (std::size_t level = 0; level < all.size(); ++level)
        claims.push_back({prefix + all[level], RelayLimits::placesPerNetwork * NetworkScale::times(level)});
    return claims;
}

}  // namespace

Claims networks(const std::vector<std::string>& networks) { return perNetwork("network ", networks); }

HeldPlaces::Claim code(const std::string& code) { return {"code " + code, RelayLimits::placesPerCode}; }

Claims askedBy(const std::vector<std::string>& askers) { return perNetwork("asked by ", askers); }

HeldPlaces::Claim signIn(const std::string& session) { return {"sign-in " + session, RelayLimits::placesPerSignIn}; }

HeldPlaces::Claim home(const std::string& address) { return {"home " + address, RelayLimits::placesAtHome}; }

HeldPlaces::Claim room(const std::string& room) { return {"room " + room, RelayLimits::placesPerRoom}; }

Claims wait(const std::string& wait, std::size_t most, const std::vector<std::string>& networks) {
    Claims claims{{wait, static_cast<int>(most)}};
    for (auto& claim : perNetwork(wait + " by network ", networks)) claims.push_back(std::move(claim));
    return claims;
}

std::string kind(const std::string& key) {
    return key.starts_with("asked by ") ? std::string("code's asker") : key.substr(0, key.find(' '));
}

std::string turn(const std::vector<std::string>& networks) { return NetworkScale::widest(networks); }

}  // namespace morvane::relay_service::PlaceKeys
