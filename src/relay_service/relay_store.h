// Where the relay service keeps what must outlive a restart, and what every
// instance sharing the database must see alike: accounts, sign-in codes
// (hashed) and the tries left on them, tokens (hashed), registered
// computers, the nonces already used by signed requests, the sign-ins
// signed out (by their session's id, which opens nothing by itself), the
// counts behind the code limits, and which instance holds each computer's
// link. One interface, two stores: SQLite in the service's data folder for
// one machine, PostgreSQL when several instances share one database. Nothing
// a device and a computer exchange is ever stored.
//
// Every call is synchronous and may be made from any one thread at a time
// per store object (the service's store queue); a failure of the database
// throws RelayStoreError, which the service answers as "try-later" (503)
// without changing anything else. A database that stops answering fails a
// call within the configured time-outs, never holds it longer.
#pragma once

#include <climits>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace morvane::relay_service {

struct RelayStoreError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// The database did not answer, or refused or broke the connection: it may
// answer later, unlike a statement it refused or a store it cannot use.
struct RelayStoreUnreachable : RelayStoreError {
    using RelayStoreError::RelayStoreError;
};

struct Account {
    std::string userId;  // lower-case UUID text
    std::string email;   // normalised address
    std::int64_t createdAt = 0;  // Unix seconds
    bool operator==(const Account&) const = default;
};

struct SignInCode {
    std::string email;
    std::string loginId;
    std::string codeHash;  // SHA-256 hex of the six digits and a per-code salt
    std::string salt;
    std::int64_t expiresAt = 0;
    int triesLeft = 0;
    bool operator==(const SignInCode&) const = default;
};

enum class TokenKind { access, refresh, ticket };

struct Token {
    std::string hash;  // SHA-256 hex of the token; the token itself is never stored
    TokenKind kind = TokenKind::access;
    std::string userId;
    std::string client;  // "mac" for a host, "web" for a device's page
    std::string room;    // tickets only: the room the ticket opens
    std::int64_t expiresAt = 0;
    bool operator==(const Token&) const = default;
};

struct HostRecord {
    std::string room;       // 32 lower-case hex digits, derived from the public key
    std::string publicKey;  // base64url of the 65-byte signing key
    std::string name;
    std::string userId;
    std::int64_t createdAt = 0;
    bool operator==(const HostRecord&) const = default;
};

// A message between instances sharing a database, carried by the store's
// bus: one instance asks another to let go of a computer's link, or tells
// every other one that a sign-in ended. Texts hold no blanks.
enum class BusKind {
    dropLink,   // subject: a room whose link the addressed instance should close
    signedOut,  // subject: a session whose device connections should close
};
struct BusMessage {
    BusKind kind = BusKind::dropLink;
    std::string subject;
    std::string to;    // the instance addressed; empty for every instance
    std::string from;  // the sending instance, which never hears its own message
    bool operator==(const BusMessage&) const = default;
};
using BusHandler = std::function<void(const BusMessage&)>;

// Whom a listener tells what. `onMessage` runs on a thread of the bus's own
// (PostgreSQL: LISTEN on a connection of its own) or on the publisher's
// thread (SQLite and the tests' store: within this process); it should only
// hand the message on. `log` hears of the bus losing and finding the
// database. `lost` is called (on the bus's thread) when the bus stops
// hearing, and `resumed` each time it hears again: what was said meanwhile
// is lost to it, and the store must be asked instead.
struct BusHooks {
    BusHandler onMessage;
    std::function<void(const std::string&)> log;
    std::function<void()> lost;
    std::function<void()> resumed;
};

// Listening ends when this is destroyed; no call of its handler runs after
// that. Never destroyed from inside its own handler.
class BusListener {
public:
    virtual ~BusListener() = default;
};

// How a store last found its database. `silent`: nothing answered in time
// (a network cut between them, a host gone), which may be this instance's
// trouble alone; `refusing`: connections were refused or broken (a
// database down or restarting), which every instance sharing it meets.
enum class StoreReach { answering, refusing, silent };

// How a store finds its database and for how long: while it answers, how
// long it has answered without a break; while it is away, how long since
// it last answered. And how long ago the check (or call) that found it so
// began: what a check found before the process was held up (stopped,
// swapped out, starved) says nothing of now. Durations, not times, so that
// instances may compare them whatever their clocks.
struct StoreHealth {
    StoreReach reach = StoreReach::answering;
    std::int64_t forMillis = 0;
    std::int64_t checkedMillis = 0;
    bool operator==(const StoreHealth&) const = default;
};

// An instance sharing the database, and where it takes questions from the
// others (the address of its peer line).
struct PeerRecord {
    std::string instance;
    std::string address;
    bool operator==(const PeerRecord&) const = default;
};

enum class AddHostOutcome {
    created,   // a new registration
    existing,  // the same key was already on this account (name updated)
    taken,     // the key is registered on another account
    limit,     // the account already holds the most computers it may
};

class RelayStore {
public:
    virtual ~RelayStore() = default;
    // "sqlite <path>" or "postgresql <host/db>", for the log; never a password.
    virtual std::string describe() const = 0;
    // Whether other instances may share this store's database.
    virtual bool shared() const { return false; }
    // Whether the database answers: it stops when a call finds it away, and
    // answers again only once a statement has succeeded. Read from any
    // thread. A store that cannot lose its database always answers.
    virtual StoreReach reach() const { return StoreReach::answering; }
    // The same with how long it has been so. A store that cannot lose its
    // database has always answered.
    virtual StoreHealth health() const { return {reach(), reach() == StoreReach::answering ? INT64_MAX : 0, 0}; }
    // The other instances that have answered a question of this one on
    // the road between them (each by the name it gives itself), asked
    // `askedMillisAgo`: each was there then or later. Called from any
    // thread. A store whose database can be away for the whole fleet
    // judges by it whose links, not renewed yet right after an outage, may
    // still count: an instance that stopped answering while it was away is
    // gone, whatever its rows say, and one that answered since it came
    // back is there, however late its rows are renewed.
    virtual void heardFrom(const std::vector<std::string>& /*instances*/, std::int64_t /*askedMillisAgo*/ = 0) {}

    // The key the tokens this relay hands out are sealed with (TokenSeal):
    // made with the database and the same for every instance sharing it, so
    // that a token any of them handed out is known to all, across restarts.
    // Read when the store opens; never a call to the database.
    virtual std::string sealKey() const = 0;

    // The account of an address, made on its first verified sign-in.
    virtual Account accountForEmail(const std::string& email, std::int64_t nowSeconds) = 0;
    virtual std::optional<Account> account(const std::string& userId) = 0;

    // At most one live code per (email, loginId); putting one replaces the last.
    virtual void putCode(const SignInCode& code) = 0;
    virtual std::optional<SignInCode> code(const std::string& email, const std::string& loginId) = 0;
    // Spends one try of the live code (unexpired, tries left) in one step,
    // before the caller compares it, and answers it with the tries left
    // after this one; absent when there is no live code. Instances sharing
    // the database cannot compare more guesses between them than it allows.
    virtual std::optional<SignInCode> spendCodeTry(const std::string& email, const std::string& loginId,
                                                   std::int64_t nowSeconds) = 0;
    // True when a code was there to remove: of two instances taking one
    // right code at once, one signs in.
    virtual bool deleteCode(const std::string& email, const std::string& loginId) = 0;

    // Stores tokens in one transaction: a sign-in's access and refresh
    // tokens are there together or not at all, whatever stops the writer.
    virtual void putTokens(const std::vector<Token>& tokens) = 0;
    void putToken(const Token& token) { putTokens({token}); }
    virtual std::optional<Token> token(const std::string& hash) = 0;
    // Removes one token; true when it was there (a ticket is spent this way).
    virtual bool deleteToken(const std::string& hash) = 0;
    // Spends one token and stores those that take its place, in one
    // transaction: a failure or a crash part way leaves the spent token as
    // it was, so that a refresh is never lost between the two. False, with
    // nothing stored, when the token was already spent.
    virtual bool replaceToken(const std::string& spentHash, const std::vector<Token>& replacements) = 0;

    // Registers a computer, atomically against the account's limit.
    virtual AddHostOutcome addHost(const HostRecord& host, int maxHostsPerAccount) = 0;
    virtual std::optional<HostRecord> hostByKey(const std::string& publicKey) = 0;
    virtual std::optional<HostRecord> hostByRoom(const std::string& room) = 0;
    virtual std::vector<HostRecord> hostsOf(const std::string& userId) = 0;
    // True when a registration was removed.
    virtual bool removeHost(const std::string& room) = 0;
    // The rooms registered at or after `sinceSeconds` (as their
    // registrations were stamped), at most `most`, the newest first: what
    // tells a computer's link from a made-up one before the store is asked.
    virtual std::vector<std::string> roomsRegisteredSince(std::int64_t sinceSeconds, std::size_t most) = 0;

    // True the first time a nonce is offered before it expires; false for a
    // replay. Expired nonces may be forgotten.
    virtual bool useNonce(const std::string& nonce, std::int64_t expiresAt, std::int64_t nowSeconds) = 0;

    // A sign-in's session signed out, refused until `until`: the store keeps
    // only hashes, so the session's access tokens cannot be found to delete
    // and must be turned away by their session instead. Signing out again
    // never shortens the time.
    virtual void putSignOut(const std::string& session, std::int64_t until) = 0;
    // True while the session's sign-out has not expired.
    virtual bool signedOut(const std::string& session, std::int64_t nowSeconds) = 0;

    // Counts one event for key in a fixed window that begins with the
    // key's first event; answers the seconds until the window ends (at
    // least 1) when more than `most` fell in it, the refused one included.
    // Counted in the database, so the limit holds across instances.
    virtual std::optional<std::int64_t> countRate(const std::string& key, int most, std::int64_t windowSeconds,
                                                  std::int64_t nowSeconds) = 0;

    // Which instance holds each computer's link. Put when a link comes up
    // (the newest link takes the room from any other holder), dropped when
    // it goes if this instance still holds it (true when it did), and
    // refreshed for all of an instance's rows at once by its heartbeat
    // (answers the rows refreshed). A row counts while its holder refreshed
    // it within the last `freshSeconds`; an instance that died stops
    // counting without anyone removing its rows. Times are the database's
    // own clock: instances whose clocks disagree still judge alike. A put,
    // refresh or expiry that the database ran too late to be trusted (it
    // may be a dead instance's, held in a paused server) changes nothing
    // and answers false or nothing, for the instance to write it again.
    virtual bool putPresence(const std::string& room, const std::string& instance) = 0;
    virtual bool dropPresence(const std::string& room, const std::string& instance) = 0;
    virtual std::optional<int> refreshPresence(const std::string& instance) = 0;
    // Links on their way to another instance (let go of, or the instance
    // stops): the instance's row of `room` (every row of it, absent) counts
    // only `forSeconds` more for a reader that takes rows `freshSeconds`
    // old, and the heartbeat no longer refreshes it; answers the rows.
    virtual std::optional<int> expirePresence(const std::string& instance, const std::optional<std::string>& room,
                                              std::int64_t forSeconds, std::int64_t freshSeconds) = 0;
    virtual std::optional<std::string> presenceHolder(const std::string& room, std::int64_t freshSeconds) = 0;
    // Those of `rooms` with a fresh holder, in no particular order.
    virtual std::vector<std::string> roomsOnline(const std::vector<std::string>& rooms, std::int64_t freshSeconds) = 0;
    // The instances sharing the database, each with where it takes the
    // others' questions: put (and refreshed, by the database's clock) by
    // each on its beat, dropped when it stops; the others than `except`
    // refreshed within `freshSeconds`, in no particular order.
    virtual void putPeer(const std::string& instance, const std::string& address) = 0;
    virtual void dropPeer(const std::string& instance) = 0;
    virtual std::vector<PeerRecord> peers(const std::string& except, std::int64_t freshSeconds) = 0;
    // What the instances sharing the database sign their questions to each
    // other with: made by the first to ask, the same for every one after.
    virtual std::string fleetSecret() = 0;

    // Sends a message to the instance it names, or to every other one, on
    // the bus of the instances sharing this database. A message sent while
    // a listener is away is lost to it: what the bus says must be safe to
    // miss (the sender tries again, or the state in the store decides).
    virtual void publish(const BusMessage& message) = 0;
    // Hears the messages for `instance` (and those for every instance but
    // the ones it sent) until the listener is destroyed. Listening has begun
    // when this returns. A bus that can lose its database (PostgreSQL)
    // checks itself twice a second by a message to itself, so that a bus
    // that stopped hearing is known within about two seconds.
    virtual std::unique_ptr<BusListener> listen(const std::string& instance, BusHooks hooks) = 0;
    std::unique_ptr<BusListener> listen(const std::string& instance, BusHandler onMessage,
                                        std::function<void(const std::string&)> log) {
        return listen(instance, BusHooks{std::move(onMessage), std::move(log), {}, {}});
    }
    // What the bus carries that an instance off it must still learn, kept
    // in the store too. A request that `holder` let go of a room's link,
    // sent beside the bus's dropLink; the requests made of `holder` within
    // the last `withinSeconds` (by the database's clock), each taken once.
    virtual void requestLink(const std::string& room, const std::string& holder) = 0;
    virtual std::vector<std::string> takeLinkRequests(const std::string& holder, std::int64_t withinSeconds) = 0;
    // Those of `sessions` whose sign-out has not expired, in no particular
    // order: the sign-outs an instance off the bus did not hear.
    virtual std::vector<std::string> signedOutAmong(const std::vector<std::string>& sessions,
                                                    std::int64_t nowSeconds) = 0;

    // Forgets codes, tokens, nonces, sign-outs and rate counts whose time
    // has passed, and links and peers no instance has refreshed and
    // requests to let go of a link made for an hour (by the database's
    // clock).
    virtual void purgeExpired(std::int64_t nowSeconds) = 0;
};

// How long the store waits on its database before a call fails. A call
// (one or several statements) fails after statementSeconds, and a
// connection not made in connectSeconds fails the call that needed it, so
// a call never takes longer than the two together; keepaliveSeconds is how
// soon an idle connection to a database gone from the network is noticed
// (TCP keepalives; the bus checks its own far more often).
struct StoreTimeouts {
    int connectSeconds = 5;
    int statementSeconds = 5;
    int keepaliveSeconds = 10;
    bool operator==(const StoreTimeouts&) const = default;
};

struct RelayStoreConfig {
    // "sqlite" (default) or "postgresql".
    std::string kind = "sqlite";
    std::string dataDir;      // sqlite: the database is <dataDir>/relay.db
    std::string postgresUrl;  // postgresql: a libpq connection string
};

// Names this instance in presence rows and on the bus: the machine's name
// and a random part, new at each start, so that a restarted instance never
// takes what was meant for its former self.
std::string newInstanceId();

// Opens (and migrates to the current schema) the configured store; throws
// RelayStoreError with a one-line reason when it cannot (RelayStoreUnreachable
// when its database does not answer).
std::unique_ptr<RelayStore> openRelayStore(const RelayStoreConfig& config, const StoreTimeouts& timeouts = {});

// The schema version this program writes.
int relayStoreSchemaVersion();

}  // namespace morvane::relay_service
