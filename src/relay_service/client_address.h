// Who a request comes from. A proxy in front of the relay names the client
// in X-Forwarded-For, but anyone can send that header: it is believed only
// from the proxies the admin trusts, and only as far as they vouch for it.
// The rate limits count a client's requests under a key: its IPv4 address,
// or the /64 of its IPv6 address (one network hands out a whole /64, so
// single IPv6 addresses cost a client nothing). Pure.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <boost/asio/ip/address.hpp>

namespace morvane::relay_service {

class TrustedProxies {
public:
    // Addresses ("10.0.0.5", "::1") and prefixes ("10.0.0.0/24",
    // "fd00::/8"); the error names the first entry that is neither.
    static std::variant<TrustedProxies, std::string> parse(const std::vector<std::string>& entries);
    // 127.0.0.0/8 and ::1.
    static TrustedProxies loopback();

    bool empty() const { return prefixes_.empty(); }
    bool contains(const boost::asio::ip::address& address) const;

private:
    // IPv4 kept as IPv4-mapped IPv6, so one comparison serves both.
    struct Prefix {
        boost::asio::ip::address_v6::bytes_type network{};
        unsigned bits = 0;
    };
    std::vector<Prefix> prefixes_;
};

// The client a request comes from: the peer, unless the peer is a trusted
// proxy; then, walking X-Forwarded-For (every line, joined by commas) from
// the right, the address each trusted proxy says it was reached from, until
// one that is not trusted. IPv4-mapped IPv6 addresses read as IPv4.
boost::asio::ip::address clientAddress(const boost::asio::ip::address& peer, std::string_view forwardedFor,
                                       const TrustedProxies& trusted);

// The key a client's requests are counted under.
std::string rateKey(const boost::asio::ip::address& client);

// The networks a client's connections are counted under, narrowest first:
// its IPv4 address; or its IPv6 /64, /56 and /48, since one customer may
// be handed any of them and a new /64 costs it nothing.
std::vector<std::string> clientNetworks(const boost::asio::ip::address& client);

// The networks a client's TLS handshakes are counted and take turns under,
// narrowest first: clientNetworks, and an IPv4 address's /24 after it, the
// IPv4 network one customer is likely to hold, as an IPv6 /48 is.
std::vector<std::string> handshakeNetworks(const boost::asio::ip::address& client);

// 10/8, 172.16/12, 192.168/16, 100.64/10 (carrier-grade NAT, tailnets),
// fc00::/7 and fe80::/10: addresses no one reaches from the internet.
bool isPrivateAddress(const boost::asio::ip::address& address);

// Plain HTTP is for a proxy that ends TLS: it may listen on loopback, or on
// a private address when trusted proxies are named; only they may connect
// where they are named (on loopback, any local program may when none is);
// anywhere else it is refused.
enum class PlainListen { open, proxiesOnly, refused };
PlainListen plainListen(const boost::asio::ip::address& at, const TrustedProxies& trusted);

// An address as text, IPv4-mapped IPv6 as IPv4.
std::string addressText(const boost::asio::ip::address& address);

}  // namespace morvane::relay_service
