// A throw-away PostgreSQL server for the store's tests: Debian's server
// programs, initdb into a private folder under /tmp, run as an unprivileged
// user (the tests run as root, which the server refuses), reachable only
// through a unix socket in that folder, so no port is shared with anything.
#pragma once

#include <libpq-fe.h>

#include <memory>
#include <string>

#include "relay_service/postgres_relay_store.h"
#include "relay_store_backends.h"

namespace morvane::relay_service::testing {

// Makes a fresh cluster and starts it; answers its folder. Throws
// std::runtime_error with the reason (the server's programs missing, initdb
// or the start failing, with the log's place).
std::string startPostgresCluster();
void stopPostgresCluster(const std::string& folder);

// The cluster this test program uses. Under CTest one cluster serves every
// case: a setup test starts it and writes its folder into the file that
// MORVANE_TEST_POSTGRES names, and a cleanup test stops it. Run by hand,
// the program starts its own on first use and stops it when it ends.
class PostgresTestCluster {
public:
    static PostgresTestCluster& shared();
    ~PostgresTestCluster();

    const std::string& folder() const { return folder_; }
    std::string connectionString(const std::string& database) const;
    // A new, empty database, answered by name.
    std::string createDatabase();
    void dropDatabase(const std::string& name);
    // Runs SQL as the cluster's superuser in one database; throws on failure.
    void exec(const std::string& database, const std::string& sql);
    // The first value of a query's first row, "" when there is none.
    std::string query(const std::string& database, const std::string& sql);

private:
    PostgresTestCluster(std::string folder, bool owned);
    std::string folder_;
    bool owned_;
    int databases_ = 0;
};

class PostgresBackend final : public DatabaseBackend {
public:
    PostgresBackend() : cluster_(PostgresTestCluster::shared()), database_(cluster_.createDatabase()) {}
    ~PostgresBackend() override {
        try {
            cluster_.dropDatabase(database_);
        } catch (...) {
            // A database left behind goes with the cluster.
        }
    }
    void makeVersion1() override {
        exec("CREATE TABLE schema_version (version INTEGER NOT NULL); INSERT INTO schema_version VALUES (1);" +
             schemaVersion1("BIGINT"));
    }
    std::unique_ptr<RelayStore> open() override { return openPostgresRelayStore(connectionString()); }
    RelayStoreConfig config() const override {
        return {.kind = "postgresql", .dataDir = {}, .postgresUrl = connectionString()};
    }
    std::string connectionString() const { return cluster_.connectionString(database_); }
    const std::string& database() const { return database_; }
    void exec(const std::string& sql) override { cluster_.exec(database_, sql); }
    std::string markSchemaSql(int version, int compatible) const override {
        return "UPDATE schema_version SET version = " + std::to_string(version) + ";" + markCompatibleSql(compatible);
    }
    std::string int64Type() const override { return "BIGINT"; }
    std::string failInsertsSql(const std::string& table, const std::string& condition) const override {
        return "CREATE FUNCTION fail_" + table + "() RETURNS trigger AS $$ BEGIN IF " + condition +
               " THEN RAISE EXCEPTION 'refused by the test'; END IF; RETURN NEW; END $$ LANGUAGE plpgsql;"
               "CREATE TRIGGER fail_" + table + " BEFORE INSERT ON " + table + " FOR EACH ROW EXECUTE FUNCTION fail_" +
               table + "();";
    }
    // The server recovers its own files; what is checked is that the
    // database still answers.
    std::string integrity() override {
        exec("SELECT count(*) FROM hosts");
        return "ok";
    }
    PostgresTestCluster& cluster() { return cluster_; }

private:
    PostgresTestCluster& cluster_;
    std::string database_;
};

}  // namespace morvane::relay_service::testing
