// The relay's addresses: the link's socket URL and the account client's
// origin, read by one small parser so both refuse the same odd forms.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace morvane {

struct RelayURL {
    std::string scheme;  // lower-case
    std::string host;    // lower-case; an IPv6 address without brackets
    std::uint16_t port = 0;  // the scheme's default when none was written
    bool portGiven = false;
    std::string path;    // as written, "" when absent
    bool hasQuery = false;
    bool hasFragment = false;
    bool hasUser = false;

    bool secure() const { return scheme == "wss" || scheme == "https"; }
    // The Host header value: host, brackets for IPv6, ":port" when written.
    std::string hostHeader() const;
    bool operator==(const RelayURL&) const = default;
};

// Absolute URL "scheme://[user@]host[:port][/path][?query][#fragment]".
// Refuses what it cannot read: a missing host, a bad port, blanks or
// control characters anywhere, characters a host name cannot hold.
std::optional<RelayURL> parseRelayURL(std::string_view text);

// Where the account calls and the link go when the host is pointed at a
// relay of one's own (a morvane-relay on loopback, say) instead of the
// relay address: an "http(s)://host[:port]" origin, nothing after it. The
// link takes the matching WebSocket scheme.
struct RelayEndpoints {
    std::string accountOrigin;
    std::string linkBase;
    bool operator==(const RelayEndpoints&) const = default;
};
std::optional<RelayEndpoints> relayEndpointsAt(std::string_view origin);

// The relay's name in what the owner typed or pasted as its address: the
// name itself ("relay.example.org"), or the address a browser shows for it
// ("https://relay.example.org/"), blanks around either left out; lower-case.
// None when it says more than where the relay is: another scheme, a port
// other than 443, a path, a query, a fragment or a user. Whether the name
// is a usable host name is the caller's check.
std::optional<std::string> relayNameIn(std::string_view typed);

}  // namespace morvane
