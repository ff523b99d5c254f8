#include "relay_service/postgres_relay_store.h"

#include <libpq-fe.h>

#include <cstdlib>
#include <type_traits>
#include <vector>

#include "relay_service/relay_store_detail.h"

namespace morvane::relay_service {
namespace {

// The schema, one step per version, applied in order and never edited once
// released (as for the SQLite store, whose tables these mirror).
constexpr const char* migrations[] = {
    // 1: accounts, sign-in codes, tokens, computers and used nonces.
    R"sql(
CREATE TABLE accounts (
    user_id TEXT NOT NULL PRIMARY KEY,
    email TEXT NOT NULL UNIQUE,
    created_at BIGINT NOT NULL
);
CREATE TABLE sign_in_codes (
    email TEXT NOT NULL,
    login_id TEXT NOT NULL,
    code_hash TEXT NOT NULL,
    salt TEXT NOT NULL,
    expires_at BIGINT NOT NULL,
    tries_left INTEGER NOT NULL,
    PRIMARY KEY (email, login_id)
);
CREATE INDEX sign_in_codes_expiry ON sign_in_codes (expires_at);
CREATE TABLE tokens (
    hash TEXT NOT NULL PRIMARY KEY,
    kind TEXT NOT NULL,
    user_id TEXT NOT NULL,
    client TEXT NOT NULL,
    room TEXT NOT NULL,
    expires_at BIGINT NOT NULL
);
CREATE INDEX tokens_expiry ON tokens (expires_at);
CREATE TABLE hosts (
    room TEXT NOT NULL PRIMARY KEY,
    public_key TEXT NOT NULL UNIQUE,
    name TEXT NOT NULL,
    user_id TEXT NOT NULL,
    created_at BIGINT NOT NULL
);
CREATE INDEX hosts_user ON hosts (user_id);
CREATE TABLE used_nonces (
    nonce TEXT NOT NULL PRIMARY KEY,
    expires_at BIGINT NOT NULL
);
CREATE INDEX used_nonces_expiry ON used_nonces (expires_at);
)sql",
    // 2: sign-ins signed out, so that every instance refuses their tokens.
    R"sql(
CREATE TABLE signed_out_sessions (
    session TEXT NOT NULL PRIMARY KEY,
    expires_at BIGINT NOT NULL
);
CREATE INDEX signed_out_sessions_expiry ON signed_out_sessions (expires_at);
)sql",
};
constexpr int schemaVersion = static_cast<int>(std::size(migrations));

using Result = std::unique_ptr<PGresult, decltype(&PQclear)>;

// The connection itself failed (not the statement): worth one new
// connection before the call gives up.
struct ConnectionLost {
    std::string reason;
};

// Where the store connects, for the log: user, host, port and database,
// never a password (libpq keeps that apart from these).
std::string targetOf(PGconn* conn) {
    std::string out;
    if (const char* user = PQuser(conn); user && *user) out += std::string(user) + "@";
    const char* host = PQhost(conn);
    out += host && *host ? host : "localhost";
    if (const char* port = PQport(conn); port && *port) out += std::string(":") + port;
    if (const char* db = PQdb(conn); db) out += std::string("/") + db;
    return out;
}

std::string targetOf(const std::string& connectionString) {
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(connectionString.c_str(), &error);
    if (!options) {
        const std::string message = error ? error : "out of memory";
        PQfreemem(error);
        throw RelayStoreError("the postgresql connection string cannot be read: " + detail::oneLine(message));
    }
    std::string user, host, port, db;
    for (auto* o = options; o->keyword; ++o) {
        if (!o->val) continue;
        const std::string_view key = o->keyword;
        if (key == "user") user = o->val;
        if (key == "host") host = o->val;
        if (key == "port") port = o->val;
        if (key == "dbname") db = o->val;
    }
    PQconninfoFree(options);
    return (user.empty() ? "" : user + "@") + (host.empty() ? "localhost" : host) + (port.empty() ? "" : ":" + port) +
           (db.empty() ? "" : "/" + db);
}

std::int64_t number(const char* text) { return std::strtoll(text, nullptr, 10); }

class PostgresRelayStore final : public RelayStore {
public:
    explicit PostgresRelayStore(std::string connectionString)
        : connectionString_(std::move(connectionString)), target_(targetOf(connectionString_)) {
        conn_ = PQconnectdb(connectionString_.c_str());
        if (!conn_ || PQstatus(conn_) != CONNECTION_OK) {
            const std::string message = conn_ ? detail::oneLine(PQerrorMessage(conn_)) : "out of memory";
            PQfinish(conn_);
            throw RelayStoreError("cannot connect to postgresql " + target_ + ": " + message);
        }
        target_ = targetOf(conn_);
        // Notices ("already exists, skipping") are not events of the relay.
        PQsetNoticeProcessor(conn_, [](void*, const char*) {}, nullptr);
        try {
            call([&] { migrate(); });
        } catch (...) {
            PQfinish(conn_);
            throw;
        }
    }

    ~PostgresRelayStore() override { PQfinish(conn_); }

    std::string describe() const override { return "postgresql " + target_; }

    Account accountForEmail(const std::string& email, std::int64_t nowSeconds) override {
        return call([&] {
            auto r = exec("INSERT INTO accounts (user_id, email, created_at) VALUES ($1, $2, $3) "
                          "ON CONFLICT (email) DO NOTHING RETURNING user_id, email, created_at",
                          {detail::newUserId(), email, std::to_string(nowSeconds)});
            if (PQntuples(r.get()) == 0)
                r = exec("SELECT user_id, email, created_at FROM accounts WHERE email = $1", {email});
            if (PQntuples(r.get()) == 0)
                throw RelayStoreError(describe() + ": the account of an address vanished as it was made");
            return accountFrom(r.get());
        });
    }

    std::optional<Account> account(const std::string& userId) override {
        return call([&]() -> std::optional<Account> {
            auto r = exec("SELECT user_id, email, created_at FROM accounts WHERE user_id = $1", {userId});
            if (PQntuples(r.get()) == 0) return std::nullopt;
            return accountFrom(r.get());
        });
    }

    void putCode(const SignInCode& code) override {
        call([&] {
            exec("INSERT INTO sign_in_codes (email, login_id, code_hash, salt, expires_at, tries_left) "
                 "VALUES ($1, $2, $3, $4, $5, $6) ON CONFLICT (email, login_id) DO UPDATE SET "
                 "code_hash = EXCLUDED.code_hash, salt = EXCLUDED.salt, expires_at = EXCLUDED.expires_at, "
                 "tries_left = EXCLUDED.tries_left",
                 {code.email, code.loginId, code.codeHash, code.salt, std::to_string(code.expiresAt),
                  std::to_string(code.triesLeft)});
        });
    }

    std::optional<SignInCode> code(const std::string& email, const std::string& loginId) override {
        return call([&]() -> std::optional<SignInCode> {
            auto r = exec("SELECT code_hash, salt, expires_at, tries_left FROM sign_in_codes "
                          "WHERE email = $1 AND login_id = $2",
                          {email, loginId});
            if (PQntuples(r.get()) == 0) return std::nullopt;
            const auto* p = r.get();
            return SignInCode{email, loginId, PQgetvalue(p, 0, 0), PQgetvalue(p, 0, 1), number(PQgetvalue(p, 0, 2)),
                              static_cast<int>(number(PQgetvalue(p, 0, 3)))};
        });
    }

    void setCodeTries(const std::string& email, const std::string& loginId, int triesLeft) override {
        call([&] {
            exec("UPDATE sign_in_codes SET tries_left = $1 WHERE email = $2 AND login_id = $3",
                 {std::to_string(triesLeft), email, loginId});
        });
    }

    void deleteCode(const std::string& email, const std::string& loginId) override {
        call([&] { exec("DELETE FROM sign_in_codes WHERE email = $1 AND login_id = $2", {email, loginId}); });
    }

    void putToken(const Token& token) override {
        call([&] {
            exec("INSERT INTO tokens (hash, kind, user_id, client, room, expires_at) VALUES ($1, $2, $3, $4, $5, $6) "
                 "ON CONFLICT (hash) DO UPDATE SET kind = EXCLUDED.kind, user_id = EXCLUDED.user_id, "
                 "client = EXCLUDED.client, room = EXCLUDED.room, expires_at = EXCLUDED.expires_at",
                 {token.hash, std::string(detail::toString(token.kind)), token.userId, token.client, token.room,
                  std::to_string(token.expiresAt)});
        });
    }

    std::optional<Token> token(const std::string& hash) override {
        return call([&]() -> std::optional<Token> {
            auto r = exec("SELECT kind, user_id, client, room, expires_at FROM tokens WHERE hash = $1", {hash});
            if (PQntuples(r.get()) == 0) return std::nullopt;
            const auto* p = r.get();
            return Token{hash, detail::storedTokenKind(PQgetvalue(p, 0, 0), describe()), PQgetvalue(p, 0, 1), PQgetvalue(p, 0, 2), PQgetvalue(p, 0, 3),
                         number(PQgetvalue(p, 0, 4))};
        });
    }

    bool deleteToken(const std::string& hash) override {
        return call([&] { return changed(exec("DELETE FROM tokens WHERE hash = $1", {hash})); });
    }

    AddHostOutcome addHost(const HostRecord& host, int maxHostsPerAccount) override {
        return call([&] {
            Transaction transaction(*this);
            // Registrations of one account wait for each other here, so
            // the count below cannot be passed by another instance.
            exec("SELECT pg_advisory_xact_lock(hashtextextended($1, 0))", {host.userId});
            auto present = exec("SELECT room, public_key, user_id FROM hosts WHERE public_key = $1 OR room = $2",
                                {host.publicKey, host.room});
            if (PQntuples(present.get()) > 0) {
                const auto* p = present.get();
                if (PQntuples(p) != 1 || host.room != PQgetvalue(p, 0, 0) || host.publicKey != PQgetvalue(p, 0, 1) ||
                    host.userId != PQgetvalue(p, 0, 2))
                    return AddHostOutcome::taken;
                exec("UPDATE hosts SET name = $1 WHERE room = $2", {host.name, host.room});
                transaction.commit();
                return AddHostOutcome::existing;
            }
            auto count = exec("SELECT count(*) FROM hosts WHERE user_id = $1", {host.userId});
            if (number(PQgetvalue(count.get(), 0, 0)) >= maxHostsPerAccount) return AddHostOutcome::limit;
            // Another account may register the same key at this instant:
            // the unique key then decides, and this one is taken.
            auto inserted = exec("INSERT INTO hosts (room, public_key, name, user_id, created_at) "
                                 "VALUES ($1, $2, $3, $4, $5) ON CONFLICT DO NOTHING",
                                 {host.room, host.publicKey, host.name, host.userId, std::to_string(host.createdAt)});
            if (!changed(inserted)) return AddHostOutcome::taken;
            transaction.commit();
            return AddHostOutcome::created;
        });
    }

    std::optional<HostRecord> hostByKey(const std::string& publicKey) override {
        return call([&] {
            return firstHost(exec("SELECT room, public_key, name, user_id, created_at FROM hosts WHERE public_key = $1",
                                  {publicKey}));
        });
    }

    std::optional<HostRecord> hostByRoom(const std::string& room) override {
        return call([&] {
            return firstHost(
                exec("SELECT room, public_key, name, user_id, created_at FROM hosts WHERE room = $1", {room}));
        });
    }

    std::vector<HostRecord> hostsOf(const std::string& userId) override {
        return call([&] {
            auto r = exec("SELECT room, public_key, name, user_id, created_at FROM hosts WHERE user_id = $1 "
                          "ORDER BY created_at, room",
                          {userId});
            std::vector<HostRecord> out;
            for (int row = 0; row < PQntuples(r.get()); ++row) out.push_back(hostFrom(r.get(), row));
            return out;
        });
    }

    bool removeHost(const std::string& room) override {
        return call([&] { return changed(exec("DELETE FROM hosts WHERE room = $1", {room})); });
    }

    bool useNonce(const std::string& nonce, std::int64_t expiresAt, std::int64_t nowSeconds) override {
        if (expiresAt <= nowSeconds) return false;
        return call([&] {
            return changed(exec("INSERT INTO used_nonces (nonce, expires_at) VALUES ($1, $2) ON CONFLICT DO NOTHING",
                                {nonce, std::to_string(expiresAt)}));
        });
    }

    void putSignOut(const std::string& session, std::int64_t until) override {
        call([&] {
            exec("INSERT INTO signed_out_sessions (session, expires_at) VALUES ($1, $2) ON CONFLICT (session) "
                 "DO UPDATE SET expires_at = GREATEST(signed_out_sessions.expires_at, EXCLUDED.expires_at)",
                 {session, std::to_string(until)});
        });
    }

    bool signedOut(const std::string& session, std::int64_t nowSeconds) override {
        return call([&] {
            return PQntuples(exec("SELECT 1 FROM signed_out_sessions WHERE session = $1 AND expires_at > $2",
                                  {session, std::to_string(nowSeconds)})
                                 .get()) > 0;
        });
    }

    void purgeExpired(std::int64_t nowSeconds) override {
        call([&] {
            Transaction transaction(*this);
            const auto now = std::to_string(nowSeconds);
            for (const char* sql : {"DELETE FROM sign_in_codes WHERE expires_at <= $1",
                                    "DELETE FROM tokens WHERE expires_at <= $1",
                                    "DELETE FROM used_nonces WHERE expires_at <= $1",
                                    "DELETE FROM signed_out_sessions WHERE expires_at <= $1"})
                exec(sql, {now});
            transaction.commit();
        });
    }

private:
    class Transaction {
    public:
        explicit Transaction(PostgresRelayStore& store) : store_(store) { store_.exec("BEGIN"); }
        ~Transaction() {
            if (!done_ && PQstatus(store_.conn_) == CONNECTION_OK) PQclear(PQexec(store_.conn_, "ROLLBACK"));
        }
        void commit() {
            store_.exec("COMMIT");
            done_ = true;
        }
        Transaction(const Transaction&) = delete;
        Transaction& operator=(const Transaction&) = delete;

    private:
        PostgresRelayStore& store_;
        bool done_ = false;
    };

    // Runs one operation; when the connection broke under it (a restarted
    // server, a cut network), connects again and runs it once more. What
    // the first try may have committed is either repeated harmlessly
    // (upserts, deletes) or answered as already done, which the service
    // treats as a refusal (a spent ticket, a used nonce), never as a
    // success that did not happen.
    template <class F>
    std::invoke_result_t<F> call(F f) {
        try {
            return f();
        } catch (const ConnectionLost&) {
        }
        PQreset(conn_);
        if (PQstatus(conn_) != CONNECTION_OK)
            throw RelayStoreError(describe() + ": the connection broke and cannot be made again: " +
                                  detail::oneLine(PQerrorMessage(conn_)));
        try {
            return f();
        } catch (const ConnectionLost& lost) {
            throw RelayStoreError(describe() + ": the connection broke twice: " + lost.reason);
        }
    }

    Result check(PGresult* raw, std::string_view what) {
        Result result(raw, PQclear);
        const auto status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
        if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return result;
        if (PQstatus(conn_) == CONNECTION_BAD) throw ConnectionLost{detail::oneLine(PQerrorMessage(conn_))};
        throw RelayStoreError(describe() + ": " + std::string(what) + ": " +
                              detail::oneLine(result ? PQresultErrorMessage(result.get()) : PQerrorMessage(conn_)));
    }

    Result exec(const char* sql, std::initializer_list<std::string> params = {}) {
        std::vector<const char*> values;
        for (const auto& p : params) values.push_back(p.c_str());
        return check(PQexecParams(conn_, sql, static_cast<int>(values.size()), nullptr, values.data(), nullptr,
                                  nullptr, 0),
                     "a statement failed");
    }

    static bool changed(const Result& result) { return std::string_view(PQcmdTuples(result.get())) != "0"; }

    static Account accountFrom(const PGresult* r) {
        return Account{PQgetvalue(r, 0, 0), PQgetvalue(r, 0, 1), number(PQgetvalue(r, 0, 2))};
    }

    static HostRecord hostFrom(const PGresult* r, int row) {
        return HostRecord{PQgetvalue(r, row, 0), PQgetvalue(r, row, 1), PQgetvalue(r, row, 2), PQgetvalue(r, row, 3),
                          number(PQgetvalue(r, row, 4))};
    }

    static std::optional<HostRecord> firstHost(const Result& r) {
        if (PQntuples(r.get()) == 0) return std::nullopt;
        return hostFrom(r.get(), 0);
    }

    // The version is one row of schema_version, changed in the same
    // transaction as the steps it counts; instances starting together take
    // turns under an advisory lock.
    void migrate() {
        Transaction transaction(*this);
        exec("SELECT pg_advisory_xact_lock(hashtextextended('morvane-relay schema', 0))");
        exec("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)");
        auto r = exec("SELECT version FROM schema_version");
        int version = 0;
        if (PQntuples(r.get()) == 0)
            exec("INSERT INTO schema_version (version) VALUES (0)");
        else
            version = static_cast<int>(number(PQgetvalue(r.get(), 0, 0)));
        detail::requireKnownSchema(describe(), version, schemaVersion);
        for (int step = version; step < schemaVersion; ++step)
            check(PQexec(conn_, migrations[step]), "cannot update the schema to version " + std::to_string(step + 1));
        if (version != schemaVersion)
            exec("UPDATE schema_version SET version = $1", {std::to_string(schemaVersion)});
        transaction.commit();
    }

    std::string connectionString_;
    std::string target_;
    PGconn* conn_ = nullptr;
};

}  // namespace

std::unique_ptr<RelayStore> openPostgresRelayStore(const std::string& connectionString) {
    if (connectionString.empty()) throw RelayStoreError("no connection string is given for the postgresql store");
    return std::make_unique<PostgresRelayStore>(connectionString);
}

int postgresRelayStoreSchemaVersion() { return schemaVersion; }

}  // namespace morvane::relay_service
