// The stores under test, each behind the same small face: a fresh, empty
// database per test; more connections to it; raw SQL on it, for the damage
// a test needs to do by hand.
#pragma once

#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include "relay_service/relay_store.h"
#include "relay_service/sqlite_relay_store.h"

namespace morvane::relay_service::testing {

class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "morvane-store-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// The tables of schema version 1 as the first release made them, with the
// database's name for a 64-bit whole number. Kept here as released rather
// than taken from the stores, so an edit to a released step shows up as a
// database that no longer opens or reads back.
inline std::string schemaVersion1(const std::string& wholeNumber) {
    std::string sql = R"sql(
CREATE TABLE accounts (user_id TEXT NOT NULL PRIMARY KEY, email TEXT NOT NULL UNIQUE, created_at @ NOT NULL);
CREATE TABLE sign_in_codes (email TEXT NOT NULL, login_id TEXT NOT NULL, code_hash TEXT NOT NULL, salt TEXT NOT NULL,
    expires_at @ NOT NULL, tries_left INTEGER NOT NULL, PRIMARY KEY (email, login_id));
CREATE INDEX sign_in_codes_expiry ON sign_in_codes (expires_at);
CREATE TABLE tokens (hash TEXT NOT NULL PRIMARY KEY, kind TEXT NOT NULL, user_id TEXT NOT NULL, client TEXT NOT NULL,
    room TEXT NOT NULL, expires_at @ NOT NULL);
CREATE INDEX tokens_expiry ON tokens (expires_at);
CREATE TABLE hosts (room TEXT NOT NULL PRIMARY KEY, public_key TEXT NOT NULL UNIQUE, name TEXT NOT NULL,
    user_id TEXT NOT NULL, created_at @ NOT NULL);
CREATE INDEX hosts_user ON hosts (user_id);
CREATE TABLE used_nonces (nonce TEXT NOT NULL PRIMARY KEY, expires_at @ NOT NULL);
CREATE INDEX used_nonces_expiry ON used_nonces (expires_at);
)sql";
    for (std::size_t at; (at = sql.find('@')) != std::string::npos;) sql.replace(at, 1, wholeNumber);
    return sql;
}

// A store under test: a fresh, empty one per test, and more connections
// to it, as more instances sharing it have.
class StoreBackend {
public:
    virtual ~StoreBackend() = default;
    virtual std::unique_ptr<RelayStore> open() = 0;
    // Makes the instance's presence rows as old as if it had last refreshed
    // them `seconds` earlier, by the store's own clock.
    virtual void agePresence(const std::string& instance, std::int64_t seconds) = 0;
    // The same for the requests made of `holder` to let go of a link.
    virtual void ageLinkRequests(const std::string& holder, std::int64_t seconds) = 0;
    // The same for the instance's peer row.
    virtual void agePeer(const std::string& instance, std::int64_t seconds) = 0;
};

// A database under test, which also has a schema, files and a server of
// its own.
class DatabaseBackend : public StoreBackend {
public:
    // Makes this test's (still unopened) database as a program of schema
    // version 1 left it, tables empty.
    virtual void makeVersion1() = 0;
    virtual RelayStoreConfig config() const = 0;
    // Runs SQL on the database outside any store; throws on failure.
    virtual void exec(const std::string& sql) = 0;
    void agePresence(const std::string& instance, std::int64_t seconds) override {
        exec("UPDATE presence SET seen_at = seen_at - " + std::to_string(seconds) + " WHERE instance = '" + instance + "'");
    }
    void ageLinkRequests(const std::string& holder, std::int64_t seconds) override {
        exec("UPDATE link_requests SET asked_at = asked_at - " + std::to_string(seconds) + " WHERE holder = '" + holder +
             "'");
    }
    void agePeer(const std::string& instance, std::int64_t seconds) override {
        exec("UPDATE peers SET seen_at = seen_at - " + std::to_string(seconds) + " WHERE instance = '" + instance + "'");
    }
    // The statements that mark the database as of schema `version`, usable
    // by programs that know `compatible` or later, as a later program
    // would leave it.
    virtual std::string markSchemaSql(int version, int compatible) const = 0;
    // "ok" when the database's own check finds nothing wrong.
    virtual std::string integrity() = 0;
    // The database's name of a 64-bit whole number.
    virtual std::string int64Type() const = 0;
    // The statements that make every insert into `table` whose new row
    // meets `condition` (on NEW) fail, as a database failing part way
    // through a call.
    virtual std::string failInsertsSql(const std::string& table, const std::string& condition) const = 0;
};

inline std::string markCompatibleSql(int compatible) {
    return "DELETE FROM schema_compatible; INSERT INTO schema_compatible (version) VALUES (" +
           std::to_string(compatible) + ");";
}

class SqliteBackend final : public DatabaseBackend {
public:
    void makeVersion1() override {
        std::filesystem::create_directories(dataDir());
        withDb([&](sqlite3*) {}, SQLITE_OPEN_CREATE);
        exec(schemaVersion1("INTEGER") + "PRAGMA user_version=1;");
    }

    std::unique_ptr<RelayStore> open() override { return openSqliteRelayStore(dataDir()); }
    RelayStoreConfig config() const override { return {.kind = "sqlite", .dataDir = dataDir(), .postgresUrl = {}}; }
    std::string dataDir() const { return dir_.path() + "/data"; }
    std::string file() const { return dataDir() + "/relay.db"; }

    void exec(const std::string& sql) override {
        withDb([&](sqlite3* db) {
            char* error = nullptr;
            if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
                std::string message = error ? error : "?";
                sqlite3_free(error);
                throw std::runtime_error(sql + ": " + message);
            }
        });
    }
    std::string markSchemaSql(int version, int compatible) const override {
        return "PRAGMA user_version=" + std::to_string(version) + ";" + markCompatibleSql(compatible);
    }
    std::string int64Type() const override { return "INTEGER"; }
    std::string failInsertsSql(const std::string& table, const std::string& condition) const override {
        return "CREATE TRIGGER fail_" + table + " BEFORE INSERT ON " + table + " WHEN " + condition +
               " BEGIN SELECT RAISE(ABORT, 'refused by the test'); END;";
    }
    std::string integrity() override {
        std::string out;
        withDb([&](sqlite3* db) {
            sqlite3_exec(
                db, "PRAGMA integrity_check",
                [](void* result, int, char** values, char**) {
                    *static_cast<std::string*>(result) += values[0] ? values[0] : "";
                    return 0;
                },
                &out, nullptr);
        });
        return out;
    }

private:
    template <class F>
    void withDb(F f, int moreFlags = 0) {
        sqlite3* db = nullptr;
        if (sqlite3_open_v2(file().c_str(), &db, SQLITE_OPEN_READWRITE | moreFlags, nullptr) != SQLITE_OK) {
            sqlite3_close(db);
            throw std::runtime_error("cannot open " + file());
        }
        sqlite3_busy_timeout(db, 5000);
        try {
            f(db);
        } catch (...) {
            sqlite3_close(db);
            throw;
        }
        sqlite3_close(db);
    }

    TempDir dir_;
};

}  // namespace morvane::relay_service::testing
