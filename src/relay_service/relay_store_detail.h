// What both stores share: how a new account's id is made and how the few
// enumerations are written in a table. Not part of the stores' interface.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "relay_service/relay_store.h"

namespace morvane::relay_service::detail {

// A random (version 4) UUID in lower-case text.
std::string newUserId();

std::string_view toString(TokenKind kind);
std::optional<TokenKind> tokenKindFromString(std::string_view text);
// A kind read back from a store's table; a word this program does not know
// means the table was changed behind it, reported as the store's fault.
TokenKind storedTokenKind(std::string_view text, const std::string& store);

// Refuses a database whose schema is newer than this program knows: its
// later steps may hold data this program would misread or lose.
void requireKnownSchema(const std::string& database, int version, int known);

// A database's message on one line: the service logs one line per event.
std::string oneLine(std::string_view text);

}  // namespace morvane::relay_service::detail
