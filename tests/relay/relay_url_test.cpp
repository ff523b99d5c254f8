#include <gtest/gtest.h>

#include "relay/relay_url.h"

namespace morvane {
namespace {

// Pointing the host at a relay of one's own: an origin and nothing more,
// with the link on the matching WebSocket scheme and the same port.
TEST(RelayEndpoints, AnOriginGivesTheAccountOriginAndTheLinkBaseOfTheSameScheme) {
    struct Case {
        const char* text;
        std::optional<RelayEndpoints> want;
    };
    const Case cases[] = {
        {"https://localhost:8443", RelayEndpoints{"https://localhost:8443", "wss://localhost:8443"}},
        {"http://127.0.0.1:9000/", RelayEndpoints{"http://127.0.0.1:9000", "ws://127.0.0.1:9000"}},
        {"HTTPS://Relay.Example.com", RelayEndpoints{"https://relay.example.com", "wss://relay.example.com"}},
        {"https://[::1]:8443", RelayEndpoints{"https://[::1]:8443", "wss://[::1]:8443"}},
        // A socket URL, a path, a query, a fragment or a user is not an origin.
        {"wss://localhost:8443", std::nullopt},
        {"https://localhost:8443/relay", std::nullopt},
        {"https://localhost:8443?x=1", std::nullopt},
        {"https://localhost:8443#top", std::nullopt},
        {"https://me@localhost:8443", std::nullopt},
        {"localhost:8443", std::nullopt},
        {"https://localhost:99999", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(relayEndpointsAt(c.text), c.want) << c.text;
}

// What the owner types or pastes into the relay address dialog: the name,
// or the address a browser shows for it; anything that says more than where
// the relay is stays refused.
TEST(RelayName, APastedAddressGivesTheRelaysNameAndAnythingMoreIsRefused) {
    struct Case {
        const char* typed;
        std::optional<std::string> want;
    };
    const Case cases[] = {
        {"relay.example.org", "relay.example.org"},
        {" Relay.Example.ORG\n", "relay.example.org"},
        {"https://relay.example.org/", "relay.example.org"},
        {"https://relay.example.org", "relay.example.org"},
        {"HTTPS://Relay.Example.org/", "relay.example.org"},
        {"relay.example.org/", "relay.example.org"},
        {"https://relay.example.org:443/", "relay.example.org"},
        // A relay is reached over https on its port 443, at its root.
        {"http://relay.example.org/", std::nullopt},
        {"wss://relay.example.org/", std::nullopt},
        {"https://relay.example.org:8443/", std::nullopt},
        {"relay.example.org:8443", std::nullopt},
        {"https://relay.example.org/relay", std::nullopt},
        {"https://relay.example.org//", std::nullopt},
        {"https://relay.example.org/?x=1", std::nullopt},
        {"https://relay.example.org/#top", std::nullopt},
        {"https://me@relay.example.org/", std::nullopt},
        {"not a relay", std::nullopt},
        {"https://", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(relayNameIn(c.typed), c.want) << c.typed;
}

}  // namespace
}  // namespace morvane
