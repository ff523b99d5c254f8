// Where the relay service keeps what must outlive a restart, and what every
// instance sharing the database must see alike: accounts, sign-in codes
// (hashed), tokens (hashed), registered computers, the nonces already used
// by signed requests and the sign-ins signed out (by their session's id,
// which opens nothing by itself). One interface, two stores: SQLite in the
// service's data folder for one machine, PostgreSQL when several instances
// share one database. Nothing a device and a computer exchange is ever
// stored.
//
// Every call is synchronous and may be made from any one thread at a time
// per store object; a failure of the database throws RelayStoreError, which
// the service answers as "try-later" (503) without changing anything else.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace morvane::relay_service {

struct RelayStoreError : std::runtime_error {
    using std::runtime_error::runtime_error;
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

    // The account of an address, made on its first verified sign-in.
    virtual Account accountForEmail(const std::string& email, std::int64_t nowSeconds) = 0;
    virtual std::optional<Account> account(const std::string& userId) = 0;

    // At most one live code per (email, loginId); putting one replaces the last.
    virtual void putCode(const SignInCode& code) = 0;
    virtual std::optional<SignInCode> code(const std::string& email, const std::string& loginId) = 0;
    virtual void setCodeTries(const std::string& email, const std::string& loginId, int triesLeft) = 0;
    virtual void deleteCode(const std::string& email, const std::string& loginId) = 0;

    virtual void putToken(const Token& token) = 0;
    virtual std::optional<Token> token(const std::string& hash) = 0;
    // Removes one token; true when it was there (a ticket is spent this way).
    virtual bool deleteToken(const std::string& hash) = 0;

    // Registers a computer, atomically against the account's limit.
    virtual AddHostOutcome addHost(const HostRecord& host, int maxHostsPerAccount) = 0;
    virtual std::optional<HostRecord> hostByKey(const std::string& publicKey) = 0;
    virtual std::optional<HostRecord> hostByRoom(const std::string& room) = 0;
    virtual std::vector<HostRecord> hostsOf(const std::string& userId) = 0;
    // True when a registration was removed.
    virtual bool removeHost(const std::string& room) = 0;

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

    // Forgets codes, tokens, nonces and sign-outs whose time has passed.
    virtual void purgeExpired(std::int64_t nowSeconds) = 0;
};

struct RelayStoreConfig {
    // "sqlite" (default) or "postgresql".
    std::string kind = "sqlite";
    std::string dataDir;      // sqlite: the database is <dataDir>/relay.db
    std::string postgresUrl;  // postgresql: a libpq connection string
};

// Opens (and migrates to the current schema) the configured store; throws
// RelayStoreError with a one-line reason when it cannot.
std::unique_ptr<RelayStore> openRelayStore(const RelayStoreConfig& config);

}  // namespace morvane::relay_service
