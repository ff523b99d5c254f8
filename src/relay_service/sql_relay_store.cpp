#include "relay_service/sql_relay_store.h"

#include <algorithm>
#include <cstdlib>

#include "core/secure.h"
#include "relay_service/relay_store_detail.h"

namespace morvane::relay_service::detail {
namespace {

constexpr SchemaStep steps[] = {
    // 1: accounts, sign-in codes, tokens, computers and used nonces.
    {R"sql(
CREATE TABLE accounts (
    user_id TEXT NOT NULL PRIMARY KEY,
    email TEXT NOT NULL UNIQUE,
    created_at {int64} NOT NULL
);
CREATE TABLE sign_in_codes (
    email TEXT NOT NULL,
    login_id TEXT NOT NULL,
    code_hash TEXT NOT NULL,
    salt TEXT NOT NULL,
    expires_at {int64} NOT NULL,
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
    expires_at {int64} NOT NULL
);
CREATE INDEX tokens_expiry ON tokens (expires_at);
CREATE TABLE hosts (
    room TEXT NOT NULL PRIMARY KEY,
    public_key TEXT NOT NULL UNIQUE,
    name TEXT NOT NULL,
    user_id TEXT NOT NULL,
    created_at {int64} NOT NULL
);
CREATE INDEX hosts_user ON hosts (user_id);
CREATE TABLE used_nonces (
    nonce TEXT NOT NULL PRIMARY KEY,
    expires_at {int64} NOT NULL
);
CREATE INDEX used_nonces_expiry ON used_nonces (expires_at);
)sql",
     1},
    // 2: sign-ins signed out, so that every instance refuses their tokens.
    // A program that does not know them would let such tokens through.
    {R"sql(
CREATE TABLE signed_out_sessions (
    session TEXT NOT NULL PRIMARY KEY,
    expires_at {int64} NOT NULL
);
CREATE INDEX signed_out_sessions_expiry ON signed_out_sessions (expires_at);
)sql",
     2},
    // 3: the code limits counted for all instances, and which instance
    // holds each computer's link. Additive: a program of version 2 beside
    // it counts its limits alone and its links go unseen by the others, as
    // before.
    {R"sql(
CREATE TABLE rate_counts (
    rate_key TEXT NOT NULL PRIMARY KEY,
    events INTEGER NOT NULL,
    expires_at {int64} NOT NULL
);
CREATE INDEX rate_counts_expiry ON rate_counts (expires_at);
CREATE TABLE presence (
    room TEXT NOT NULL PRIMARY KEY,
    instance TEXT NOT NULL,
    seen_at {int64} NOT NULL
);
CREATE INDEX presence_instance ON presence (instance);
)sql",
     2},
    // 4: requests that an instance let go of a computer's link, kept beside
    // the bus's message for an instance off the bus. Additive: a program of
    // version 3 only hears them on the bus, as before.
    {R"sql(
CREATE TABLE link_requests (
    room TEXT NOT NULL PRIMARY KEY,
    holder TEXT NOT NULL,
    asked_at {int64} NOT NULL
);
CREATE INDEX link_requests_holder ON link_requests (holder);
)sql",
     2},
    // 5: the key tokens are sealed with. Additive: a program of an earlier
    // version hands out tokens without a seal, which the others still take,
    // in the store queue's small lane for tokens they cannot place.
    {R"sql(
CREATE TABLE seal_key (
    id INTEGER NOT NULL PRIMARY KEY,
    seal_key TEXT NOT NULL
);
)sql",
     2},
    // 6: the instances sharing the database and where each takes the
    // others' questions, and the secret those questions are signed with;
    // presence rows whose links are on their way to another instance.
    // Additive: a program of version 5 is never asked, asks nobody, and
    // marks no row as moving.
    {R"sql(
CREATE TABLE peers (
    instance TEXT NOT NULL PRIMARY KEY,
    address TEXT NOT NULL,
    seen_at {int64} NOT NULL
);
CREATE TABLE fleet_secret (
    id INTEGER NOT NULL PRIMARY KEY,
    secret TEXT NOT NULL
);
ALTER TABLE presence ADD COLUMN moving INTEGER NOT NULL DEFAULT 0;
)sql",
     2},
    // 7: the computers registered lately, asked for each link of a room an
    // instance does not know yet. Additive: only an index.
    {R"sql(
CREATE INDEX hosts_created ON hosts (created_at);
)sql",
     2},
};

// A link no instance refreshed for this long belongs to an instance that
// is gone; its row is only clutter.
constexpr std::int64_t stalePresenceSeconds = 3600;

constexpr const char* hostColumns = "SELECT room, public_key, name, user_id, created_at FROM hosts ";

HostRecord hostAt(const SqlRows& r, std::size_t row) {
    return HostRecord{r.text(row, 0), r.text(row, 1), r.text(row, 2), r.text(row, 3), r.number(row, 4)};
}

std::optional<HostRecord> firstHost(const SqlRows& r) {
    if (r.empty()) return std::nullopt;
    return hostAt(r, 0);
}

Account accountAt(const SqlRows& r) { return Account{r.text(0, 0), r.text(0, 1), r.number(0, 2)}; }

}  // namespace

std::int64_t SqlRows::number(std::size_t row, std::size_t column) const {
    return std::strtoll(text(row, column).c_str(), nullptr, 10);
}

std::span<const SchemaStep> schemaSteps() { return steps; }

int schemaVersion() { return static_cast<int>(std::size(steps)); }

std::string schemaStepSql(std::size_t index, std::string_view int64Type) {
    std::string sql = steps[index].sql;
    static constexpr std::string_view placeholder = "{int64}";
    for (std::size_t at; (at = sql.find(placeholder)) != std::string::npos;) sql.replace(at, placeholder.size(), int64Type);
    return sql;
}

SqlRelayStore::Transaction::Transaction(SqlRelayStore& store) : store_(store) { store_.run(store_.beginWrite(), {}); }

SqlRelayStore::Transaction::~Transaction() {
    if (!done_) store_.rollbackQuietly();
}

void SqlRelayStore::Transaction::commit() {
    store_.run("COMMIT", {});
    done_ = true;
}

// The schema's versions are kept where each database always kept them,
// and beside them the compatible version, changed in the same transaction
// as the steps they count.
void SqlRelayStore::migrate(const std::string& database) {
    call([&] {
        Transaction transaction(*this);
        lockSchema();
        sql("CREATE TABLE IF NOT EXISTS schema_compatible (version INTEGER NOT NULL)");
        const int version = storedVersion();
        const auto stored = sql("SELECT version FROM schema_compatible");
        const int compatible = stored.empty() ? version : static_cast<int>(stored.number(0, 0));
        const int known = schemaVersion();
        if (requireUsableSchema(database, version, compatible, known)) {
            transaction.commit();
            return;
        }
        for (int step = version; step < known; ++step) {
            try {
                runScript(schemaStepSql(static_cast<std::size_t>(step), int64Type()));
            } catch (const RelayStoreError& e) {
                throw RelayStoreError("cannot update the schema of " + database + " to version " +
                                      std::to_string(step + 1) + ": " + e.what());
            }
        }
        if (version != known) storeVersion(known);
        const int nowCompatible = steps[known - 1].compatible;
        if (stored.empty() || compatible != nowCompatible) {
            sql("DELETE FROM schema_compatible");
            sql("INSERT INTO schema_compatible (version) VALUES ($1)", nowCompatible);
        }
        transaction.commit();
    });
    // Of instances making it at once, the first one's stands for all.
    sealKey_ = op([&] {
        sql("INSERT INTO seal_key (id, seal_key) VALUES (1, $1) ON CONFLICT (id) DO NOTHING",
            Secure::hex(Secure::randomBytes(32)));
        const auto r = sql("SELECT seal_key FROM seal_key WHERE id = 1");
        if (r.empty()) throw RelayStoreError(database + ": its seal key vanished as it was made");
        return r.text(0, 0);
    });
}

Account SqlRelayStore::accountForEmail(const std::string& email, std::int64_t nowSeconds) {
    return op([&] {
        auto r = sql("INSERT INTO accounts (user_id, email, created_at) VALUES ($1, $2, $3) "
                     "ON CONFLICT (email) DO NOTHING RETURNING user_id, email, created_at",
                     newUserId(), email, nowSeconds);
        if (r.empty()) r = sql("SELECT user_id, email, created_at FROM accounts WHERE email = $1", email);
        if (r.empty()) throw RelayStoreError(describe() + ": the account of an address vanished as it was made");
        return accountAt(r);
    });
}

std::optional<Account> SqlRelayStore::account(const std::string& userId) {
    return op([&]() -> std::optional<Account> {
        const auto r = sql("SELECT user_id, email, created_at FROM accounts WHERE user_id = $1", userId);
        if (r.empty()) return std::nullopt;
        return accountAt(r);
    });
}

void SqlRelayStore::putCode(const SignInCode& code) {
    op([&] {
        sql("INSERT INTO sign_in_codes (email, login_id, code_hash, salt, expires_at, tries_left) "
            "VALUES ($1, $2, $3, $4, $5, $6) ON CONFLICT (email, login_id) DO UPDATE SET "
            "code_hash = excluded.code_hash, salt = excluded.salt, expires_at = excluded.expires_at, "
            "tries_left = excluded.tries_left",
            code.email, code.loginId, code.codeHash, code.salt, code.expiresAt, code.triesLeft);
    });
}

std::optional<SignInCode> SqlRelayStore::code(const std::string& email, const std::string& loginId) {
    return op([&]() -> std::optional<SignInCode> {
        const auto r = sql("SELECT code_hash, salt, expires_at, tries_left FROM sign_in_codes "
                           "WHERE email = $1 AND login_id = $2",
                           email, loginId);
        if (r.empty()) return std::nullopt;
        return SignInCode{email, loginId, r.text(0, 0), r.text(0, 1), r.number(0, 2), static_cast<int>(r.number(0, 3))};
    });
}

std::optional<SignInCode> SqlRelayStore::spendCodeTry(const std::string& email, const std::string& loginId,
                                                      std::int64_t nowSeconds) {
    return op([&]() -> std::optional<SignInCode> {
        const auto r = sql("UPDATE sign_in_codes SET tries_left = tries_left - 1 "
                           "WHERE email = $1 AND login_id = $2 AND tries_left > 0 AND expires_at > $3 "
                           "RETURNING code_hash, salt, expires_at, tries_left",
                           email, loginId, nowSeconds);
        if (r.empty()) return std::nullopt;
        return SignInCode{email, loginId, r.text(0, 0), r.text(0, 1), r.number(0, 2), static_cast<int>(r.number(0, 3))};
    });
}

bool SqlRelayStore::deleteCode(const std::string& email, const std::string& loginId) {
    return op([&] { return sql("DELETE FROM sign_in_codes WHERE email = $1 AND login_id = $2", email, loginId).changed > 0; });
}

void SqlRelayStore::insertToken(const Token& token) {
    sql("INSERT INTO tokens (hash, kind, user_id, client, room, expires_at) VALUES ($1, $2, $3, $4, $5, $6) "
        "ON CONFLICT (hash) DO UPDATE SET kind = excluded.kind, user_id = excluded.user_id, "
        "client = excluded.client, room = excluded.room, expires_at = excluded.expires_at",
        token.hash, std::string(toString(token.kind)), token.userId, token.client, token.room, token.expiresAt);
}

void SqlRelayStore::putTokens(const std::vector<Token>& tokens) {
    op([&] {
        Transaction transaction(*this);
        for (const auto& token : tokens) insertToken(token);
        transaction.commit();
    });
}

std::optional<Token> SqlRelayStore::token(const std::string& hash) {
    return op([&]() -> std::optional<Token> {
        const auto r = sql("SELECT kind, user_id, client, room, expires_at FROM tokens WHERE hash = $1", hash);
        if (r.empty()) return std::nullopt;
        return Token{hash, storedTokenKind(r.text(0, 0), describe()), r.text(0, 1), r.text(0, 2), r.text(0, 3),
                     r.number(0, 4)};
    });
}

bool SqlRelayStore::deleteToken(const std::string& hash) {
    return op([&] { return sql("DELETE FROM tokens WHERE hash = $1", hash).changed > 0; });
}

bool SqlRelayStore::replaceToken(const std::string& spentHash, const std::vector<Token>& replacements) {
    return op([&] {
        Transaction transaction(*this);
        // The delete takes the row's lock: of two instances replacing one
        // token at once, the second finds it gone once the first commits.
        if (sql("DELETE FROM tokens WHERE hash = $1", spentHash).changed == 0) return false;
        for (const auto& token : replacements) insertToken(token);
        transaction.commit();
        return true;
    });
}

AddHostOutcome SqlRelayStore::addHost(const HostRecord& host, int maxHostsPerAccount) {
    return op([&] {
        Transaction transaction(*this);
        lockAccount(host.userId);
        const auto present =
            sql("SELECT room, public_key, user_id FROM hosts WHERE public_key = $1 OR room = $2", host.publicKey, host.room);
        if (!present.empty()) {
            if (present.size() != 1 || present.text(0, 0) != host.room || present.text(0, 1) != host.publicKey ||
                present.text(0, 2) != host.userId)
                return AddHostOutcome::taken;
            sql("UPDATE hosts SET name = $1 WHERE room = $2", host.name, host.room);
            transaction.commit();
            return AddHostOutcome::existing;
        }
        if (sql("SELECT count(*) FROM hosts WHERE user_id = $1", host.userId).number(0, 0) >= maxHostsPerAccount)
            return AddHostOutcome::limit;
        // Another account may register the same key at this instant: the
        // unique key then decides, and this one is taken.
        const auto inserted = sql("INSERT INTO hosts (room, public_key, name, user_id, created_at) "
                                  "VALUES ($1, $2, $3, $4, $5) ON CONFLICT DO NOTHING",
                                  host.room, host.publicKey, host.name, host.userId, host.createdAt);
        if (inserted.changed == 0) return AddHostOutcome::taken;
        transaction.commit();
        return AddHostOutcome::created;
    });
}

std::optional<HostRecord> SqlRelayStore::hostByKey(const std::string& publicKey) {
    return op([&] { return firstHost(sql(std::string(hostColumns) + "WHERE public_key = $1", publicKey)); });
}

std::optional<HostRecord> SqlRelayStore::hostByRoom(const std::string& room) {
    return op([&] { return firstHost(sql(std::string(hostColumns) + "WHERE room = $1", room)); });
}

std::vector<std::string> SqlRelayStore::roomsRegisteredSince(std::int64_t sinceSeconds, std::size_t most) {
    return op([&] {
        const auto r = sql("SELECT room FROM hosts WHERE created_at >= $1 ORDER BY created_at DESC LIMIT $2", sinceSeconds,
                           static_cast<std::int64_t>(most));
        std::vector<std::string> rooms;
        for (std::size_t row = 0; row < r.size(); ++row) rooms.push_back(r.text(row, 0));
        return rooms;
    });
}

std::vector<HostRecord> SqlRelayStore::hostsOf(const std::string& userId) {
    return op([&] {
        const auto r = sql(std::string(hostColumns) + "WHERE user_id = $1 ORDER BY created_at, room", userId);
        std::vector<HostRecord> out;
        for (std::size_t row = 0; row < r.size(); ++row) out.push_back(hostAt(r, row));
        return out;
    });
}

bool SqlRelayStore::removeHost(const std::string& room) {
    return op([&] { return sql("DELETE FROM hosts WHERE room = $1", room).changed > 0; });
}

bool SqlRelayStore::useNonce(const std::string& nonce, std::int64_t expiresAt, std::int64_t nowSeconds) {
    if (expiresAt <= nowSeconds) return false;
    return op([&] {
        return sql("INSERT INTO used_nonces (nonce, expires_at) VALUES ($1, $2) ON CONFLICT (nonce) DO NOTHING", nonce,
                   expiresAt)
                   .changed > 0;
    });
}

void SqlRelayStore::putSignOut(const std::string& session, std::int64_t until) {
    op([&] {
        sql("INSERT INTO signed_out_sessions (session, expires_at) VALUES ($1, $2) ON CONFLICT (session) "
            "DO UPDATE SET expires_at = CASE WHEN excluded.expires_at > signed_out_sessions.expires_at "
            "THEN excluded.expires_at ELSE signed_out_sessions.expires_at END",
            session, until);
    });
}

bool SqlRelayStore::signedOut(const std::string& session, std::int64_t nowSeconds) {
    return op([&] {
        return !sql("SELECT 1 FROM signed_out_sessions WHERE session = $1 AND expires_at > $2", session, nowSeconds).empty();
    });
}

std::optional<std::int64_t> SqlRelayStore::countRate(const std::string& key, int most, std::int64_t windowSeconds,
                                                     std::int64_t nowSeconds) {
    return op([&]() -> std::optional<std::int64_t> {
        // One statement: instances counting the same key at once each see
        // the other's event.
        const auto r = sql("INSERT INTO rate_counts (rate_key, events, expires_at) VALUES ($1, 1, $3) "
                           "ON CONFLICT (rate_key) DO UPDATE SET "
                           "events = CASE WHEN rate_counts.expires_at <= $2 THEN 1 ELSE rate_counts.events + 1 END, "
                           "expires_at = CASE WHEN rate_counts.expires_at <= $2 THEN excluded.expires_at "
                           "ELSE rate_counts.expires_at END "
                           "RETURNING events, expires_at",
                           key, nowSeconds, nowSeconds + windowSeconds);
        if (r.empty()) throw RelayStoreError(describe() + ": a rate count answered nothing");
        if (r.number(0, 0) <= most) return std::nullopt;
        return std::max<std::int64_t>(1, r.number(0, 1) - nowSeconds);
    });
}

std::optional<int> SqlRelayStore::presenceWrite(std::string statement, std::vector<SqlValue> values) {
    const auto place = statement.find("{in time}");
    const auto late = onTime(values.size() + 1);
    if (!late) return static_cast<int>(run(statement.replace(place, 9, "1 = 1"), values).changed);
    statement.replace(place, 9, late->condition);
    values.emplace_back(late->latestMillis);
    // No row changed may be a write that came too late or one that had
    // nothing to change: the condition asked again after it tells them
    // apart (the clock only moves on, so a write in time answers in time
    // unless it ran at the very edge, and is then merely written again).
    const auto rows = run("WITH written AS (" + statement + " RETURNING 1) SELECT (SELECT COUNT(*) FROM written), "
                          "CASE WHEN " + late->condition + " THEN 1 ELSE 0 END",
                          values);
    if (rows.empty()) throw RelayStoreError(describe() + ": a write of the links' rows answered nothing");
    const auto changed = rows.number(0, 0);
    if (changed == 0 && rows.number(0, 1) == 0) return std::nullopt;
    return static_cast<int>(changed);
}

bool SqlRelayStore::putPresence(const std::string& room, const std::string& instance) {
    return op([&] {
        return presenceWrite("INSERT INTO presence (room, instance, seen_at, moving) SELECT $1, $2, " +
                                 std::string(nowSeconds()) + ", 0 WHERE {in time} ON CONFLICT (room) DO UPDATE SET "
                                 "instance = excluded.instance, seen_at = excluded.seen_at, moving = 0",
                             {room, instance})
            .has_value();
    });
}

bool SqlRelayStore::dropPresence(const std::string& room, const std::string& instance) {
    return op([&] { return sql("DELETE FROM presence WHERE room = $1 AND instance = $2", room, instance).changed > 0; });
}

std::optional<int> SqlRelayStore::refreshPresence(const std::string& instance) {
    return op([&] {
        return presenceWrite("UPDATE presence SET seen_at = " + std::string(nowSeconds()) +
                                 " WHERE instance = $1 AND moving = 0 AND {in time}",
                             {instance});
    });
}

std::optional<int> SqlRelayStore::expirePresence(const std::string& instance, const std::optional<std::string>& room,
                                                 std::int64_t forSeconds, std::int64_t freshSeconds) {
    return op([&] {
        std::vector<SqlValue> values{instance, std::max<std::int64_t>(0, freshSeconds - forSeconds)};
        if (room) values.emplace_back(*room);
        return presenceWrite("UPDATE presence SET moving = 1, seen_at = " + std::string(nowSeconds()) +
                                 " - $2 WHERE instance = $1" + (room ? " AND room = $3" : "") + " AND {in time}",
                             std::move(values));
    });
}

std::optional<std::string> SqlRelayStore::presenceHolder(const std::string& room, std::int64_t freshSeconds) {
    return presenceHolderWithin(room, freshSeconds, Widening{freshSeconds, std::nullopt});
}

std::vector<std::string> SqlRelayStore::roomsOnline(const std::vector<std::string>& rooms, std::int64_t freshSeconds) {
    return roomsOnlineWithin(rooms, freshSeconds, Widening{freshSeconds, std::nullopt});
}

namespace {

// A statement's condition on the age of `alias`'s rows (of presence or
// peers), with the values it numbers from $1; what the statement adds
// follows them.
struct AgeClause {
    std::string condition;
    std::vector<SqlValue> values;
    std::string next() const { return "$" + std::to_string(values.size() + 1); }
};

AgeClause ageClause(std::string_view now, const std::string& alias, std::int64_t freshSeconds, const Widening& widened) {
    const std::string within = alias + ".seen_at >= " + std::string(now) + " - ";
    AgeClause clause{within + "$1", {SqlValue(freshSeconds)}};
    // Widened for nobody is not widened: a value the statement never names
    // is one PostgreSQL cannot type, and it refuses the whole statement.
    if (widened.seconds <= freshSeconds || (widened.only && widened.only->empty())) return clause;
    clause.values.emplace_back(widened.seconds);
    // The peers are a handful of rows: looked through as they are.
    std::string older = within + "$2 AND NOT EXISTS (SELECT 1 FROM peers former JOIN peers later ON "
                        "later.address = former.address AND later.instance <> former.instance AND later.seen_at > "
                        "former.seen_at WHERE former.instance = " + alias + ".instance)";
    if (widened.only) {
        older += " AND " + alias + ".instance IN (";
        for (std::size_t i = 0; i < widened.only->size(); ++i) {
            older += (i ? ", " : "") + clause.next();
            clause.values.emplace_back((*widened.only)[i]);
        }
        older += ")";
    }
    clause.condition = "(" + clause.condition + " OR (" + older + "))";
    return clause;
}

}  // namespace

std::optional<std::string> SqlRelayStore::presenceHolderWithin(const std::string& room, std::int64_t freshSeconds,
                                                               const Widening& widened) {
    return op([&]() -> std::optional<std::string> {
        auto clause = ageClause(nowSeconds(), "presence", freshSeconds, widened);
        const auto statement = "SELECT instance FROM presence WHERE room = " + clause.next() + " AND " + clause.condition;
        clause.values.emplace_back(room);
        const auto r = run(statement, clause.values);
        if (r.empty()) return std::nullopt;
        return r.text(0, 0);
    });
}

std::vector<std::string> SqlRelayStore::roomsOnlineWithin(const std::vector<std::string>& rooms,
                                                          std::int64_t freshSeconds, const Widening& widened) {
    if (rooms.empty()) return {};
    return op([&] {
        // An account's computers, a handful: one statement with a value each.
        auto clause = ageClause(nowSeconds(), "presence", freshSeconds, widened);
        std::string statement = "SELECT room FROM presence WHERE " + clause.condition + " AND room IN (";
        for (std::size_t i = 0; i < rooms.size(); ++i) {
            statement += (i ? ", " : "") + clause.next();
            clause.values.emplace_back(rooms[i]);
        }
        statement += ")";
        const auto r = run(statement, clause.values);
        std::vector<std::string> out;
        for (std::size_t row = 0; row < r.size(); ++row) out.push_back(r.text(row, 0));
        return out;
    });
}

void SqlRelayStore::requestLink(const std::string& room, const std::string& holder) {
    op([&] {
        sql("INSERT INTO link_requests (room, holder, asked_at) VALUES ($1, $2, " + std::string(nowSeconds()) +
                ") ON CONFLICT (room) DO UPDATE SET holder = excluded.holder, asked_at = excluded.asked_at",
            room, holder);
    });
}

std::vector<std::string> SqlRelayStore::takeLinkRequests(const std::string& holder, std::int64_t withinSeconds) {
    return op([&] {
        const auto r = sql("DELETE FROM link_requests WHERE holder = $1 AND asked_at >= " + std::string(nowSeconds()) +
                               " - $2 RETURNING room",
                           holder, withinSeconds);
        std::vector<std::string> out;
        for (std::size_t row = 0; row < r.size(); ++row) out.push_back(r.text(row, 0));
        return out;
    });
}

std::vector<std::string> SqlRelayStore::signedOutAmong(const std::vector<std::string>& sessions,
                                                       std::int64_t nowSeconds) {
    std::vector<std::string> out;
    // A statement with a value for each, a few hundred at a time: an
    // instance may hold thousands of sign-ins.
    constexpr std::size_t chunk = 500;
    for (std::size_t from = 0; from < sessions.size(); from += chunk) {
        op([&] {
            std::string statement = "SELECT session FROM signed_out_sessions WHERE expires_at > $1 AND session IN (";
            std::vector<SqlValue> values{SqlValue(nowSeconds)};
            for (std::size_t i = from; i < std::min(sessions.size(), from + chunk); ++i) {
                statement += (values.size() > 1 ? ", $" : "$") + std::to_string(values.size() + 1);
                values.emplace_back(sessions[i]);
            }
            const auto r = run(statement + ")", values);
            for (std::size_t row = 0; row < r.size(); ++row) out.push_back(r.text(row, 0));
        });
    }
    return out;
}

void SqlRelayStore::putPeer(const std::string& instance, const std::string& address) {
    op([&] {
        sql("INSERT INTO peers (instance, address, seen_at) VALUES ($1, $2, " + std::string(nowSeconds()) +
                ") ON CONFLICT (instance) DO UPDATE SET address = excluded.address, seen_at = excluded.seen_at",
            instance, address);
    });
}

void SqlRelayStore::dropPeer(const std::string& instance) {
    op([&] { sql("DELETE FROM peers WHERE instance = $1", instance); });
}

std::vector<PeerRecord> SqlRelayStore::peers(const std::string& except, std::int64_t freshSeconds) {
    return peersWithin(except, freshSeconds, Widening{freshSeconds, std::nullopt});
}

std::vector<PeerRecord> SqlRelayStore::peersWithin(const std::string& except, std::int64_t freshSeconds,
                                                   const Widening& widened) {
    return op([&] {
        auto clause = ageClause(nowSeconds(), "p", freshSeconds, widened);
        const auto statement =
            "SELECT instance, address FROM peers p WHERE instance <> " + clause.next() + " AND " + clause.condition;
        clause.values.emplace_back(except);
        const auto r = run(statement, clause.values);
        std::vector<PeerRecord> out;
        for (std::size_t row = 0; row < r.size(); ++row) out.push_back(PeerRecord{r.text(row, 0), r.text(row, 1)});
        return out;
    });
}

std::string SqlRelayStore::fleetSecret() {
    return op([&] {
        // Of instances starting together, the first to insert wins.
        sql("INSERT INTO fleet_secret (id, secret) VALUES (1, $1) ON CONFLICT (id) DO NOTHING",
            Secure::hex(Secure::randomBytes(32)));
        const auto r = sql("SELECT secret FROM fleet_secret WHERE id = 1");
        if (r.empty() || r.text(0, 0).empty()) throw RelayStoreError(describe() + ": the fleet's secret is missing");
        return r.text(0, 0);
    });
}

void SqlRelayStore::purgeExpired(std::int64_t nowSeconds) {
    op([&] {
        Transaction transaction(*this);
        for (const char* statement :
             {"DELETE FROM sign_in_codes WHERE expires_at <= $1", "DELETE FROM tokens WHERE expires_at <= $1",
              "DELETE FROM used_nonces WHERE expires_at <= $1", "DELETE FROM signed_out_sessions WHERE expires_at <= $1",
              "DELETE FROM rate_counts WHERE expires_at <= $1"})
            sql(statement, nowSeconds);
        sql("DELETE FROM presence WHERE seen_at < " + std::string(this->nowSeconds()) + " - $1", stalePresenceSeconds);
        sql("DELETE FROM link_requests WHERE asked_at < " + std::string(this->nowSeconds()) + " - $1",
            stalePresenceSeconds);
        sql("DELETE FROM peers WHERE seen_at < " + std::string(this->nowSeconds()) + " - $1", stalePresenceSeconds);
        transaction.commit();
    });
}

}  // namespace morvane::relay_service::detail

namespace morvane::relay_service {

int relayStoreSchemaVersion() { return detail::schemaVersion(); }

}  // namespace morvane::relay_service
