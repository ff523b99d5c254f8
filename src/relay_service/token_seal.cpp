#include "relay_service/token_seal.h"

#include <algorithm>
#include <cstdint>

#include "core/secure.h"
#include "relay/relay_bytes.h"
#include "secure/secure_channel.h"

namespace morvane::relay_service {

namespace {

constexpr std::size_t sessionChars = 22, secretChars = 43;
constexpr std::size_t nonceBytes = 12, expiryBytes = 4, macBytes = 16;
static_assert(nonceBytes + expiryBytes + macBytes == 32);

ByteView bytesOf(std::string_view text) { return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}; }

}  // namespace

std::string TokenSeal::mac(TokenKind kind, std::string_view session, std::string_view nonceAndExpiry) const {
    std::string message = "morvane-relay-token/1";
    message += '\0';
    message += static_cast<char>('0' + static_cast<int>(kind));
    message += session;
    message += nonceAndExpiry;
    const auto whole = SecureChannel::hmac(bytesOf(key_), bytesOf(message));
    return std::string(whole.begin(), whole.begin() + macBytes);
}

std::string TokenSeal::mint(TokenKind kind, const std::string& session, std::int64_t expiresAt) const {
    const auto nonce = Secure::randomBytes(nonceBytes);
    std::string secret(nonce.begin(), nonce.end());
    const auto until = static_cast<std::uint32_t>(std::clamp<std::int64_t>(expiresAt, 0, UINT32_MAX));
    for (int shift = 24; shift >= 0; shift -= 8) secret += static_cast<char>((until >> shift) & 0xff);
    secret += mac(kind, session, secret);
    return session + RelayBytes::b64u(bytesOf(secret));
}

std::optional<TokenSeal::Issued> TokenSeal::issued(TokenKind kind, std::string_view token) const {
    if (token.size() != sessionChars + secretChars) return std::nullopt;
    const auto session = token.substr(0, sessionChars);
    const auto secret = RelayBytes::fromB64u(token.substr(sessionChars));
    if (!RelayBytes::fromB64u(session) || !secret || secret->size() != nonceBytes + expiryBytes + macBytes)
        return std::nullopt;
    const std::string sealed(secret->begin(), secret->begin() + nonceBytes + expiryBytes);
    if (!Secure::constantTimeEqual(bytesOf(mac(kind, session, sealed)), ByteView(*secret).subspan(sealed.size())))
        return std::nullopt;
    std::int64_t until = 0;
    for (std::size_t i = nonceBytes; i < sealed.size(); ++i) until = (until << 8) | (*secret)[i];
    return Issued{std::string(session), until};
}

}  // namespace morvane::relay_service
