#include "relay_service/relay_store_detail.h"

#include "core/secure.h"

namespace morvane::relay_service::detail {

std::string newUserId() {
    auto bytes = Secure::randomBytes(16);
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0f) | 0x40);
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3f) | 0x80);
    const auto hex = Secure::hex(bytes);
    return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" + hex.substr(16, 4) + "-" +
           hex.substr(20);
}

std::string_view toString(TokenKind kind) {
    switch (kind) {
    case TokenKind::access: return "access";
    case TokenKind::refresh: return "refresh";
    case TokenKind::ticket: return "ticket";
    }
    return "access";
}

std::optional<TokenKind> tokenKindFromString(std::string_view text) {
    for (auto kind : {TokenKind::access, TokenKind::refresh, TokenKind::ticket})
        if (toString(kind) == text) return kind;
    return std::nullopt;
}

TokenKind storedTokenKind(std::string_view text, const std::string& store) {
    const auto kind = tokenKindFromString(text);
    if (!kind) throw RelayStoreError(store + ": a token of an unknown kind \"" + std::string(text) + "\"");
    return *kind;
}

void requireKnownSchema(const std::string& database, int version, int known) {
    if (version > known)
        throw RelayStoreError("the database " + database + " is newer than this program (schema " +
                              std::to_string(version) + ", this program knows up to " + std::to_string(known) + ")");
}

std::string oneLine(std::string_view text) {
    std::string out;
    bool space = false;
    for (char c : text) {
        if (c == '\n' || c == '\r' || c == '\t' || c == ' ') {
            space = !out.empty();
            continue;
        }
        if (space) out.push_back(' ');
        space = false;
        out.push_back(c);
    }
    return out;
}

}  // namespace morvane::relay_service::detail
