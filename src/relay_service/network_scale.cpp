#include "relay_service/network_scale.h"

#include <algorithm>

#include <boost/asio/ip/address_v6.hpp>
#include <boost/system/error_code.hpp>

namespace morvane::relay_service::NetworkScale {

std::vector<std::string> widths(const std::vector<std::string>& networks) {
    auto all = networks;
    if (networks.size() != refusingWidths || !networks.back().ends_with("/48")) return all;
    const auto& last = networks.back();
    boost::system::error_code failed;
    const auto address = boost::asio::ip::make_address_v6(last.substr(0, last.size() - 3), failed);
    if (failed) return all;
    for (const unsigned bits : {40u, 32u}) {
        auto bytes = address.to_bytes();
        std::fill(bytes.begin() + bits / 8, bytes.end(), 0);
        all.push_back(boost::asio::ip::make_address_v6(bytes).to_string() + "/" + std::to_string(bits));
    }
    return all;
}

std::string customer(const std::vector<std::string>& networks) {
    return networks.empty() ? "" : networks[std::min(networks.size(), refusingWidths) - 1];
}

std::string asking(const std::vector<std::string>& networks, const std::string& client) {
    return networks.empty() ? client : customer(networks);
}

std::string widest(const std::vector<std::string>& networks) {
    const auto all = widths(networks);
    return all.empty() ? "" : all.back();
}

}  // namespace morvane::relay_service::NetworkScale
