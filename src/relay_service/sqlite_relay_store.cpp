#include "relay_service/sqlite_relay_store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <span>
#include <string_view>
#include <system_error>

#include "relay_service/relay_store_detail.h"

namespace morvane::relay_service {
namespace {

// The schema, one step per version, applied in order and never edited once
// released: a database of version N runs steps N+1… when this program opens
// it. A new column or table is a new step at the end.
constexpr const char* migrations[] = {
    // 1: accounts, sign-in codes, tokens, computers and used nonces.
    R"sql(
CREATE TABLE accounts (
    user_id TEXT NOT NULL PRIMARY KEY,
    email TEXT NOT NULL UNIQUE,
    created_at INTEGER NOT NULL
);
CREATE TABLE sign_in_codes (
    email TEXT NOT NULL,
    login_id TEXT NOT NULL,
    code_hash TEXT NOT NULL,
    salt TEXT NOT NULL,
    expires_at INTEGER NOT NULL,
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
    expires_at INTEGER NOT NULL
);
CREATE INDEX tokens_expiry ON tokens (expires_at);
CREATE TABLE hosts (
    room TEXT NOT NULL PRIMARY KEY,
    public_key TEXT NOT NULL UNIQUE,
    name TEXT NOT NULL,
    user_id TEXT NOT NULL,
    created_at INTEGER NOT NULL
);
CREATE INDEX hosts_user ON hosts (user_id);
CREATE TABLE used_nonces (
    nonce TEXT NOT NULL PRIMARY KEY,
    expires_at INTEGER NOT NULL
);
CREATE INDEX used_nonces_expiry ON used_nonces (expires_at);
)sql",
    // 2: sign-ins signed out, so that every instance refuses their tokens.
    R"sql(
CREATE TABLE signed_out_sessions (
    session TEXT NOT NULL PRIMARY KEY,
    expires_at INTEGER NOT NULL
);
CREATE INDEX signed_out_sessions_expiry ON signed_out_sessions (expires_at);
)sql",
};
constexpr int schemaVersion = static_cast<int>(std::size(migrations));

std::string errnoText(int error) { return std::system_category().message(error); }

// The folder holds hashes of every live token: nobody but the service's user
// reads it. A folder made by someone else (systemd's StateDirectory, an
// admin's mkdir) is narrowed rather than refused.
void preparePrivateFolder(const std::string& dir) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path path(dir);
    if (path.has_parent_path() && !fs::exists(path.parent_path(), ec)) {
        fs::create_directories(path.parent_path(), ec);
        if (ec) throw RelayStoreError("cannot create the data folder " + dir + ": " + ec.message());
    }
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        throw RelayStoreError("cannot create the data folder " + dir + ": " + errnoText(errno));
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0)
        throw RelayStoreError("cannot read the data folder " + dir + ": " + errnoText(errno));
    if (!S_ISDIR(st.st_mode)) throw RelayStoreError("the data folder " + dir + " is not a folder");
    if ((st.st_mode & 077) != 0 && ::chmod(dir.c_str(), st.st_mode & 0700) != 0)
        throw RelayStoreError("cannot make the data folder " + dir + " private: " + errnoText(errno));
    if (::access(dir.c_str(), W_OK | X_OK) != 0)
        throw RelayStoreError("the data folder " + dir + " is not writable: " + errnoText(errno));
}

// Made here rather than by SQLite so that it is never readable by others,
// whatever the umask; SQLite gives its -wal and -shm files the same mode.
void preparePrivateFile(const std::string& file, const std::string& dir) {
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) {
        const int error = errno;
        if (error == EACCES || error == EROFS || error == EPERM)
            throw RelayStoreError("the data folder " + dir + " is not writable: " + errnoText(error));
        throw RelayStoreError("cannot open " + file + ": " + errnoText(error));
    }
    struct stat st {};
    std::string problem;
    if (::fstat(fd, &st) != 0)
        problem = "cannot read " + file + ": " + errnoText(errno);
    else if (!S_ISREG(st.st_mode))
        problem = file + " is not a regular file";
    else if ((st.st_mode & 077) != 0 && ::fchmod(fd, 0600) != 0)
        problem = "cannot make " + file + " private: " + errnoText(errno);
    ::close(fd);
    if (!problem.empty()) throw RelayStoreError(problem);
}

class SqliteRelayStore final : public RelayStore {
public:
    explicit SqliteRelayStore(std::string dataDir)
        : dir_(std::move(dataDir)), path_((std::filesystem::path(dir_) / "relay.db").string()) {
        preparePrivateFolder(dir_);
        preparePrivateFile(path_, dir_);
        const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW;
        if (sqlite3_open_v2(path_.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
            const std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
            sqlite3_close(db_);
            throw RelayStoreError("cannot open " + path_ + ": " + message);
        }
        try {
            // Another connection (a backup, a second instance by mistake)
            // holds the lock only briefly; wait rather than fail.
            sqlite3_busy_timeout(db_, 5000);
            std::string mode;
            query("PRAGMA journal_mode=WAL", {}, [&](sqlite3_stmt* s) { mode = text(s, 0); });
            if (mode != "wal") throw RelayStoreError(path_ + " cannot use a write-ahead log (journal mode " + mode + ")");
            // FULL: each commit is synced before the call returns, so what
            // the service answered survives a crash or a power cut.
            exec("PRAGMA synchronous=FULL");
            migrate();
        } catch (...) {
            sqlite3_close(db_);
            throw;
        }
    }

    ~SqliteRelayStore() override { sqlite3_close(db_); }

    std::string describe() const override { return "sqlite " + path_; }

    Account accountForEmail(const std::string& email, std::int64_t nowSeconds) override {
        run("INSERT INTO accounts (user_id, email, created_at) VALUES (?, ?, ?) ON CONFLICT (email) DO NOTHING",
            {detail::newUserId(), email, nowSeconds});
        auto found = selectAccount("SELECT user_id, email, created_at FROM accounts WHERE email = ?", email);
        if (!found) throw RelayStoreError(describe() + ": the account of an address vanished as it was made");
        return *found;
    }

    std::optional<Account> account(const std::string& userId) override {
        return selectAccount("SELECT user_id, email, created_at FROM accounts WHERE user_id = ?", userId);
    }

    void putCode(const SignInCode& code) override {
        run("INSERT INTO sign_in_codes (email, login_id, code_hash, salt, expires_at, tries_left) "
            "VALUES (?, ?, ?, ?, ?, ?) ON CONFLICT (email, login_id) DO UPDATE SET code_hash = excluded.code_hash, "
            "salt = excluded.salt, expires_at = excluded.expires_at, tries_left = excluded.tries_left",
            {code.email, code.loginId, code.codeHash, code.salt, code.expiresAt, std::int64_t{code.triesLeft}});
    }

    std::optional<SignInCode> code(const std::string& email, const std::string& loginId) override {
        std::optional<SignInCode> out;
        query("SELECT code_hash, salt, expires_at, tries_left FROM sign_in_codes WHERE email = ? AND login_id = ?",
              {email, loginId}, [&](sqlite3_stmt* s) {
                  out = SignInCode{email, loginId, text(s, 0), text(s, 1), sqlite3_column_int64(s, 2),
                                   sqlite3_column_int(s, 3)};
              });
        return out;
    }

    void setCodeTries(const std::string& email, const std::string& loginId, int triesLeft) override {
        run("UPDATE sign_in_codes SET tries_left = ? WHERE email = ? AND login_id = ?",
            {std::int64_t{triesLeft}, email, loginId});
    }

    void deleteCode(const std::string& email, const std::string& loginId) override {
        run("DELETE FROM sign_in_codes WHERE email = ? AND login_id = ?", {email, loginId});
    }

    void putToken(const Token& token) override {
        run("INSERT OR REPLACE INTO tokens (hash, kind, user_id, client, room, expires_at) VALUES (?, ?, ?, ?, ?, ?)",
            {token.hash, std::string(detail::toString(token.kind)), token.userId, token.client, token.room,
             token.expiresAt});
    }

    std::optional<Token> token(const std::string& hash) override {
        std::optional<Token> out;
        query("SELECT kind, user_id, client, room, expires_at FROM tokens WHERE hash = ?", {hash},
              [&](sqlite3_stmt* s) {
                  out = Token{hash, detail::storedTokenKind(text(s, 0), describe()), text(s, 1), text(s, 2), text(s, 3), sqlite3_column_int64(s, 4)};
              });
        return out;
    }

    bool deleteToken(const std::string& hash) override {
        return run("DELETE FROM tokens WHERE hash = ?", {hash}) > 0;
    }

    AddHostOutcome addHost(const HostRecord& host, int maxHostsPerAccount) override {
        // IMMEDIATE takes the write lock before the count, so two
        // registrations (from two connections) cannot both see room for one.
        Transaction transaction(*this);
        std::optional<HostRecord> present;
        query("SELECT room, public_key, name, user_id, created_at FROM hosts WHERE public_key = ? OR room = ?",
              {host.publicKey, host.room}, [&](sqlite3_stmt* s) { present = hostFrom(s); });
        if (present) {
            if (present->userId != host.userId || present->publicKey != host.publicKey || present->room != host.room)
                return AddHostOutcome::taken;
            run("UPDATE hosts SET name = ? WHERE room = ?", {host.name, host.room});
            transaction.commit();
            return AddHostOutcome::existing;
        }
        std::int64_t count = 0;
        query("SELECT count(*) FROM hosts WHERE user_id = ?", {host.userId},
              [&](sqlite3_stmt* s) { count = sqlite3_column_int64(s, 0); });
        if (count >= maxHostsPerAccount) return AddHostOutcome::limit;
        run("INSERT INTO hosts (room, public_key, name, user_id, created_at) VALUES (?, ?, ?, ?, ?)",
            {host.room, host.publicKey, host.name, host.userId, host.createdAt});
        transaction.commit();
        return AddHostOutcome::created;
    }

    std::optional<HostRecord> hostByKey(const std::string& publicKey) override {
        return selectHost("SELECT room, public_key, name, user_id, created_at FROM hosts WHERE public_key = ?",
                          publicKey);
    }

    std::optional<HostRecord> hostByRoom(const std::string& room) override {
        return selectHost("SELECT room, public_key, name, user_id, created_at FROM hosts WHERE room = ?", room);
    }

    std::vector<HostRecord> hostsOf(const std::string& userId) override {
        std::vector<HostRecord> out;
        query("SELECT room, public_key, name, user_id, created_at FROM hosts WHERE user_id = ? "
              "ORDER BY created_at, room",
              {userId}, [&](sqlite3_stmt* s) { out.push_back(hostFrom(s)); });
        return out;
    }

    bool removeHost(const std::string& room) override { return run("DELETE FROM hosts WHERE room = ?", {room}) > 0; }

    bool useNonce(const std::string& nonce, std::int64_t expiresAt, std::int64_t nowSeconds) override {
        if (expiresAt <= nowSeconds) return false;
        return run("INSERT INTO used_nonces (nonce, expires_at) VALUES (?, ?) ON CONFLICT (nonce) DO NOTHING",
                   {nonce, expiresAt}) > 0;
    }

    void putSignOut(const std::string& session, std::int64_t until) override {
        run("INSERT INTO signed_out_sessions (session, expires_at) VALUES (?, ?) ON CONFLICT (session) "
            "DO UPDATE SET expires_at = max(expires_at, excluded.expires_at)",
            {session, until});
    }

    bool signedOut(const std::string& session, std::int64_t nowSeconds) override {
        bool found = false;
        query("SELECT 1 FROM signed_out_sessions WHERE session = ? AND expires_at > ?", {session, nowSeconds},
              [&](sqlite3_stmt*) { found = true; });
        return found;
    }

    void purgeExpired(std::int64_t nowSeconds) override {
        Transaction transaction(*this);
        for (const char* sql : {"DELETE FROM sign_in_codes WHERE expires_at <= ?", "DELETE FROM tokens WHERE expires_at <= ?",
                                "DELETE FROM used_nonces WHERE expires_at <= ?",
                                "DELETE FROM signed_out_sessions WHERE expires_at <= ?"})
            run(sql, {nowSeconds});
        transaction.commit();
    }

private:
    // A parameter is text or a whole number; nothing else is stored.
    struct Value {
        Value(std::string s) : text(std::move(s)) {}
        Value(std::int64_t n) : number(n), isNumber(true) {}
        std::string text;
        std::int64_t number = 0;
        bool isNumber = false;
    };

    class Transaction {
    public:
        explicit Transaction(SqliteRelayStore& store) : store_(store) { store_.exec("BEGIN IMMEDIATE"); }
        ~Transaction() {
            if (!done_) sqlite3_exec(store_.db_, "ROLLBACK", nullptr, nullptr, nullptr);
        }
        void commit() {
            store_.exec("COMMIT");
            done_ = true;
        }
        Transaction(const Transaction&) = delete;
        Transaction& operator=(const Transaction&) = delete;

    private:
        SqliteRelayStore& store_;
        bool done_ = false;
    };

    [[noreturn]] void fail(std::string_view what) const {
        throw RelayStoreError(describe() + ": " + std::string(what) + ": " + detail::oneLine(sqlite3_errmsg(db_)));
    }

    void exec(const char* sql) {
        if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) fail(sql);
    }

    static std::string text(sqlite3_stmt* s, int column) {
        const auto* p = sqlite3_column_text(s, column);
        return p ? std::string(reinterpret_cast<const char*>(p), static_cast<std::size_t>(sqlite3_column_bytes(s, column)))
                 : std::string();
    }

    // Runs one statement, calling onRow for each row; answers the rows
    // changed. Statements are few and short, so each is prepared afresh.
    template <class OnRow>
    int query(const char* sql, std::initializer_list<Value> params, OnRow onRow) {
        sqlite3_stmt* raw = nullptr;
        if (sqlite3_prepare_v2(db_, sql, -1, &raw, nullptr) != SQLITE_OK) fail("cannot prepare a statement");
        std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> statement(raw, sqlite3_finalize);
        int index = 1;
        for (const auto& p : params) {
            const int rc = p.isNumber ? sqlite3_bind_int64(raw, index, p.number)
                                      : sqlite3_bind_text(raw, index, p.text.data(), static_cast<int>(p.text.size()),
                                                          SQLITE_STATIC);
            if (rc != SQLITE_OK) fail("cannot bind a value");
            ++index;
        }
        for (;;) {
            const int rc = sqlite3_step(raw);
            if (rc == SQLITE_ROW) {
                onRow(raw);
                continue;
            }
            if (rc == SQLITE_DONE) break;
            fail("cannot run a statement");
        }
        return sqlite3_changes(db_);
    }

    int run(const char* sql, std::initializer_list<Value> params) {
        return query(sql, params, [](sqlite3_stmt*) {});
    }

    static HostRecord hostFrom(sqlite3_stmt* s) {
        return HostRecord{text(s, 0), text(s, 1), text(s, 2), text(s, 3), sqlite3_column_int64(s, 4)};
    }

    std::optional<HostRecord> selectHost(const char* sql, const std::string& key) {
        std::optional<HostRecord> out;
        query(sql, {key}, [&](sqlite3_stmt* s) { out = hostFrom(s); });
        return out;
    }

    std::optional<Account> selectAccount(const char* sql, const std::string& key) {
        std::optional<Account> out;
        query(sql, {key}, [&](sqlite3_stmt* s) { out = Account{text(s, 0), text(s, 1), sqlite3_column_int64(s, 2)}; });
        return out;
    }

    // The version lives in the file's header (user_version), changed in the
    // same transaction as the steps it counts.
    void migrate() {
        Transaction transaction(*this);
        int version = 0;
        query("PRAGMA user_version", {}, [&](sqlite3_stmt* s) { version = sqlite3_column_int(s, 0); });
        detail::requireKnownSchema(path_, version, schemaVersion);
        if (version < 0) throw RelayStoreError("the database " + path_ + " has a damaged schema version");
        for (int step = version; step < schemaVersion; ++step)
            if (sqlite3_exec(db_, migrations[step], nullptr, nullptr, nullptr) != SQLITE_OK)
                fail("cannot update the schema to version " + std::to_string(step + 1));
        if (version != schemaVersion) exec(("PRAGMA user_version=" + std::to_string(schemaVersion)).c_str());
        transaction.commit();
    }

    std::string dir_;
    std::string path_;
    sqlite3* db_ = nullptr;
};

}  // namespace

std::unique_ptr<RelayStore> openSqliteRelayStore(const std::string& dataDir) {
    if (dataDir.empty()) throw RelayStoreError("no data folder is given for the sqlite store");
    return std::make_unique<SqliteRelayStore>(dataDir);
}

int sqliteRelayStoreSchemaVersion() { return schemaVersion; }

}  // namespace morvane::relay_service
