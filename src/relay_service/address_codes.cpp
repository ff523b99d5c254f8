#include "relay_service/address_codes.h"

#include <algorithm>

namespace morvane::relay_service {

AddressCodes::AddressCodes(Limits limits, std::function<void(std::size_t keys)> full)
    : limits_(limits),
      perNetwork_(limits.perNetwork, limits.windowSeconds, limits.maxKeys, full),
      elsewhere_(limits.elsewhere, limits.windowSeconds, limits.maxKeys, full),
      atHome_(limits.atHome, limits.windowSeconds, limits.maxKeys, full),
      homes_(limits.maxKeys) {}

std::optional<std::int64_t> AddressCodes::take(const std::string& address, const std::string& network,
                                               std::int64_t nowSeconds,
                                               std::vector<std::pair<RateWindow*, std::string>>& counted) {
    const auto key = address + " from " + network;
    if (home(address, network)) {
        if (const auto wait = atHome_.take(key, nowSeconds)) return wait;
        counted.emplace_back(&atHome_, key);
        return std::nullopt;
    }
    if (const auto wait = perNetwork_.take(key, nowSeconds)) return wait;
    {
        if (const auto wait = elsewhere_.take(address, nowSeconds)) {
            perNetwork_.giveBack(key, nowSeconds);
            return wait;
        }
        counted.emplace_back(&elsewhere_, address);
    }
    counted.emplace_back(&perNetwork_, key);
    return std::nullopt;
}

void AddressCodes::signedIn(const std::string& address, const std::string& network) {
    const auto* known = homes_.find(address);
    auto homes = known ? *known : std::vector<std::string>();
    std::erase(homes, network);
    homes.push_back(network);
    if (homes.size() > limits_.homesPerAddress) homes.erase(homes.begin());
    homes_.put(address, std::move(homes));
}

bool AddressCodes::home(const std::string& address, const std::string& network) const {
    const auto* known = homes_.find(address);
    return known && std::find(known->begin(), known->end(), network) != known->end();
}

void AddressCodes::purge(std::int64_t nowSeconds) {
    perNetwork_.purge(nowSeconds);
    atHome_.purge(nowSeconds);
    elsewhere_.purge(nowSeconds);
}

}  // namespace morvane::relay_service
