// The tokens this relay hands out (access and refresh tokens, tickets)
// carry a seal: a MAC over their kind, their sign-in's session and their
// expiry, under a key kept in the database, so every instance sharing it
// knows the tokens any of them handed out, and a restart forgets none.
// What a token says of itself can then be judged without the store: a
// token sealed by this relay belongs to a sign-in, and one past its expiry
// is refused at once; whether it is still live (not spent, not signed out)
// is the store's to say. A token without a seal was made up, or handed out
// before tokens were sealed (or by an instance that does not seal them): it
// may still be live, so it is not refused, only kept from places that known
// sign-ins need.
//
// A token is its session (16 random bytes) and 32 bytes: 12 random, the
// expiry (4 bytes, big-endian Unix seconds) and 16 bytes of the MAC,
// base64url throughout, as long as tokens always were.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "relay_service/relay_store.h"

namespace morvane::relay_service {

class TokenSeal {
public:
    // `key`: the store's (RelayStore::sealKey).
    explicit TokenSeal(std::string key) : key_(std::move(key)) {}

    // A new token of `kind` for the sign-in `session` (22 base64url
    // characters) that lives until `expiresAt`.
    std::string mint(TokenKind kind, const std::string& session, std::int64_t expiresAt) const;

    struct Issued {
        std::string session;
        std::int64_t expiresAt = 0;
    };
    // What a token sealed as `kind` says of itself; absent for any other
    // text.
    std::optional<Issued> issued(TokenKind kind, std::string_view token) const;

private:
    std::string mac(TokenKind kind, std::string_view session, std::string_view nonceAndExpiry) const;
    std::string key_;
};

}  // namespace morvane::relay_service
