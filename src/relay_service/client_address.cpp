#include "relay_service/client_address.h"

#include <charconv>

namespace morvane::relay_service {

namespace ip = boost::asio::ip;

namespace {

ip::address plain(const ip::address& address) {
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        return ip::make_address_v4(ip::v4_mapped, address.to_v6());
    return address;
}

ip::address_v6::bytes_type widened(const ip::address& address) {
    if (address.is_v4()) return ip::make_address_v6(ip::v4_mapped, address.to_v4()).to_bytes();
    return address.to_v6().to_bytes();
}

bool within(const ip::address_v6::bytes_type& address, const ip::address_v6::bytes_type& network, unsigned bits) {
    for (unsigned i = 0; i < 16 && bits > 0; ++i, bits = bits >= 8 ? bits - 8 : 0) {
        const auto mask = static_cast<std::uint8_t>(bits >= 8 ? 0xff : 0xff << (8 - bits));
        if ((address[i] & mask) != (network[i] & mask)) return false;
    }
    return true;
}

std::optional<ip::address> parseAddress(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    // Some proxies bracket IPv6.
    if (text.size() > 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
    if (text.empty() || text.size() > 45) return std::nullopt;
    boost::system::error_code ec;
    const auto address = ip::make_address(std::string(text), ec);
    if (ec) return std::nullopt;
    return plain(address);
}

struct Network {
    const char* address;
    unsigned bits;
};

}  // namespace

std::variant<TrustedProxies, std::string> TrustedProxies::parse(const std::vector<std::string>& entries) {
    TrustedProxies out;
    for (const auto& entry : entries) {
        const auto slash = entry.find('/');
        const auto address = parseAddress(std::string_view(entry).substr(0, slash));
        if (!address) return "trusted_proxies: " + entry + " is not an address or a prefix such as 10.0.0.0/24";
        const unsigned width = address->is_v4() ? 32 : 128;
        unsigned bits = width;
        if (slash != std::string::npos) {
            const auto digits = std::string_view(entry).substr(slash + 1);
            const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), bits);
            if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() || bits > width)
                return "trusted_proxies: " + entry + " is not an address or a prefix such as 10.0.0.0/24";
        }
        out.prefixes_.push_back(Prefix{widened(*address), bits + (address->is_v4() ? 96 : 0)});
    }
    return out;
}

TrustedProxies TrustedProxies::loopback() { return std::get<TrustedProxies>(parse({"127.0.0.0/8", "::1"})); }

bool TrustedProxies::contains(const ip::address& address) const {
    const auto bytes = widened(plain(address));
    for (const auto& prefix : prefixes_)
        if (within(bytes, prefix.network, prefix.bits)) return true;
    return false;
}

ip::address clientAddress(const ip::address& peer, std::string_view forwardedFor, const TrustedProxies& trusted) {
    auto client = plain(peer);
    while (trusted.contains(client) && !forwardedFor.empty()) {
        const auto comma = forwardedFor.rfind(',');
        const auto last = comma == std::string_view::npos ? forwardedFor : forwardedFor.substr(comma + 1);
        forwardedFor = comma == std::string_view::npos ? std::string_view() : forwardedFor.substr(0, comma);
        // What a trusted proxy wrote is not an address: it vouches for
        // nobody, and it stays the client.
        const auto named = parseAddress(last);
        if (!named) break;
        client = *named;
    }
    return client;
}

std::string rateKey(const ip::address& client) {
    const auto address = plain(client);
    if (address.is_v4()) return address.to_string();
    auto bytes = address.to_v6().to_bytes();
    std::fill(bytes.begin() + 8, bytes.end(), 0);
    return ip::make_address_v6(bytes).to_string() + "/64";
}

std::vector<std::string> clientNetworks(const ip::address& client) {
    const auto address = plain(client);
    if (address.is_v4()) return {address.to_string()};
    std::vector<std::string> networks;
    for (const unsigned bits : {64u, 56u, 48u}) {
        auto bytes = address.to_v6().to_bytes();
        std::fill(bytes.begin() + bits / 8, bytes.end(), 0);
        networks.push_back(ip::make_address_v6(bytes).to_string() + "/" + std::to_string(bits));
    }
    return networks;
}

std::vector<std::string> handshakeNetworks(const ip::address& client) {
    auto networks = clientNetworks(client);
    const auto address = plain(client);
    if (address.is_v4()) {
        auto bytes = address.to_v4().to_bytes();
        bytes[3] = 0;
        networks.push_back(ip::make_address_v4(bytes).to_string() + "/24");
    }
    return networks;
}

bool isPrivateAddress(const ip::address& address) {
    static const Network networks[] = {{"10.0.0.0", 8},      {"172.16.0.0", 12}, {"192.168.0.0", 16},
                                       {"100.64.0.0", 10},   {"fc00::", 7},      {"fe80::", 10}};
    const auto bytes = widened(plain(address));
    for (const auto& network : networks) {
        const auto at = ip::make_address(network.address);
        if (within(bytes, widened(at), network.bits + (at.is_v4() ? 96 : 0))) return true;
    }
    return false;
}

PlainListen plainListen(const ip::address& at, const TrustedProxies& trusted) {
    // Named proxies are the only ones let in wherever they are named: on
    // loopback too, where instances on one machine stand behind one proxy.
    if (plain(at).is_loopback()) return trusted.empty() ? PlainListen::open : PlainListen::proxiesOnly;
    if (!trusted.empty() && isPrivateAddress(at)) return PlainListen::proxiesOnly;
    return PlainListen::refused;
}

std::string addressText(const ip::address& address) { return plain(address).to_string(); }

}  // namespace morvane::relay_service
