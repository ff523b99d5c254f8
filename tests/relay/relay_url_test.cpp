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

}  // namespace
}  // namespace morvane
