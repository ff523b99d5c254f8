// What the stores share beyond their statements: how a new account's id is
// made, how the few enumerations are written in a table, the schema
// versions' rule, and the bus's messages, written as text for PostgreSQL and
// carried within the process for SQLite and the tests' store. Not part of
// the stores' interface.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "relay_service/relay_store.h"

namespace morvane::relay_service::detail {

// A random (version 4) UUID in lower-case text.
std::string newUserId();

std::string_view toString(TokenKind kind);
std::optional<TokenKind> tokenKindFromString(std::string_view text);
// A kind read back from a store's table; a word this program does not know
// means the table was changed behind it, reported as the store's fault.
TokenKind storedTokenKind(std::string_view text, const std::string& store);

// A database of a schema newer than this program knows is used as it is
// when its compatible version (the oldest schema a program may know and
// still use it: later steps only added what such a program never reads)
// is one this program knows, so that instances not yet upgraded keep
// running; any other is refused, since its later steps may hold data this
// program would misread or lose. Answers true for such a newer database.
bool requireUsableSchema(const std::string& database, int version, int compatible, int known);

// A database's message on one line: the service logs one line per event.
std::string oneLine(std::string_view text);

// The bus's messages as text ("v1 <kind> <from> <to or *> <subject>"),
// what PostgreSQL's NOTIFY carries. A message of another form, or from a
// later program, reads as absent and is passed over.
std::string encodeBusMessage(const BusMessage& message);
std::optional<BusMessage> decodeBusMessage(std::string_view text);
// Throws RelayStoreError for a message the bus cannot carry.
void requireSendable(const BusMessage& message);
// Whether the listener of `instance` hears it.
bool addressedTo(const BusMessage& message, const std::string& instance);

// A bus within this process: what one SQLite file's (or the tests' store's)
// instances tell each other, handed over on the publisher's thread.
class LocalBus : public std::enable_shared_from_this<LocalBus> {
public:
    std::unique_ptr<BusListener> listen(const std::string& instance, BusHandler onMessage);
    void publish(const BusMessage& message);

private:
    struct Subscription;
    class Listener;
    std::mutex mutex_;
    std::vector<std::shared_ptr<Subscription>> subscriptions_;
};

// The one bus of a database within this process, by its name.
std::shared_ptr<LocalBus> localBusFor(const std::string& database);

}  // namespace morvane::relay_service::detail
