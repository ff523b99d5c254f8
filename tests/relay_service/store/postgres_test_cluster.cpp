#include "postgres_test_cluster.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace morvane::relay_service::testing {
namespace {

namespace fs = std::filesystem;

// The socket's name carries the port; the folder is private, so any number
// will do.
constexpr const char* port = "5432";

// Debian installs the server's programs per major version.
std::string serverPrograms() {
    std::string best;
    int bestVersion = -1;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/usr/lib/postgresql", ec)) {
        const auto bin = entry.path() / "bin";
        if (!fs::exists(bin / "initdb") || !fs::exists(bin / "pg_ctl")) continue;
        const int version = std::atoi(entry.path().filename().c_str());
        if (version > bestVersion) {
            bestVersion = version;
            best = bin.string();
        }
    }
    if (best.empty())
        throw std::runtime_error(
            "the PostgreSQL server's programs (initdb, pg_ctl) are not under /usr/lib/postgresql/*/bin: "
            "scripts/setup installs the postgresql package");
    return best;
}

// The server refuses to run as root; as root, its programs run as nobody.
void runAsServerUser(const std::string& folder, const std::string& command) {
    const std::string inFolder = "cd '" + folder + "' && " + command;
    const std::string full = ::geteuid() == 0 ? "runuser -u nobody -- sh -c \"" + inFolder + "\"" : inFolder;
    const int status = std::system(full.c_str());
    if (status != 0)
        throw std::runtime_error(command + " failed (status " + std::to_string(status) + "); see the logs in " +
                                 folder);
}

struct Connection {
    explicit Connection(const std::string& connectionString) : conn(PQconnectdb(connectionString.c_str())) {
        if (PQstatus(conn) != CONNECTION_OK)
            throw std::runtime_error("cannot connect to the test cluster: " + std::string(PQerrorMessage(conn)));
        PQsetNoticeProcessor(conn, [](void*, const char*) {}, nullptr);
    }
    ~Connection() { PQfinish(conn); }
    std::string exec(const std::string& sql) {
        PGresult* r = PQexec(conn, sql.c_str());
        const auto status = PQresultStatus(r);
        const std::string message = PQresultErrorMessage(r);
        const std::string first = status == PGRES_TUPLES_OK && PQntuples(r) > 0 ? PQgetvalue(r, 0, 0) : "";
        PQclear(r);
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) throw std::runtime_error(sql + ": " + message);
        return first;
    }
    PGconn* conn;
};

}  // namespace

std::string startPostgresCluster() {
    const auto bin = serverPrograms();
    std::string folder = "/tmp/morvane-postgres-XXXXXX";
    if (!::mkdtemp(folder.data())) throw std::runtime_error("cannot make a folder for the test cluster");
    if (::geteuid() == 0) {
        const passwd* nobody = ::getpwnam("nobody");
        if (!nobody || ::chown(folder.c_str(), nobody->pw_uid, nobody->pw_gid) != 0)
            throw std::runtime_error("cannot give " + folder + " to the user nobody");
    }
    runAsServerUser(folder, bin + "/initdb -D data -A trust -U postgres -N -E UTF8 --locale=C >initdb.log 2>&1");
    // Only the socket in the folder, and no syncing: the tests check what
    // the store commits, not the disk under the server.
    std::ofstream(folder + "/data/postgresql.conf", std::ios::app)
        << "listen_addresses = ''\nunix_socket_directories = '" << folder << "'\nport = " << port
        << "\nfsync = off\nfull_page_writes = off\nmax_connections = 200\n";
    runAsServerUser(folder, bin + "/pg_ctl -D data -l server.log -w -t 60 start >/dev/null");
    return folder;
}

void stopPostgresCluster(const std::string& folder) {
    std::error_code ec;
    if (fs::exists(folder + "/data/postmaster.pid", ec))
        runAsServerUser(folder, serverPrograms() + "/pg_ctl -D data -m fast -w stop >/dev/null");
    fs::remove_all(folder, ec);
}

PostgresTestCluster& PostgresTestCluster::shared() {
    static std::unique_ptr<PostgresTestCluster> cluster = [] {
        if (const char* state = std::getenv("MORVANE_TEST_POSTGRES")) {
            std::string folder;
            std::ifstream(state) >> folder;
            if (folder.empty() || !fs::exists(folder + "/.s.PGSQL." + port))
                throw std::runtime_error(std::string("the test cluster named in ") + state +
                                         " is not running (its setup test failed?)");
            return std::unique_ptr<PostgresTestCluster>(new PostgresTestCluster(folder, false));
        }
        return std::unique_ptr<PostgresTestCluster>(new PostgresTestCluster(startPostgresCluster(), true));
    }();
    return *cluster;
}

PostgresTestCluster::PostgresTestCluster(std::string folder, bool owned) : folder_(std::move(folder)), owned_(owned) {}

PostgresTestCluster::~PostgresTestCluster() {
    if (!owned_) return;
    try {
        stopPostgresCluster(folder_);
    } catch (...) {
    }
}

std::string PostgresTestCluster::connectionString(const std::string& database) const {
    return "host=" + folder_ + " port=" + port + " dbname=" + database + " user=postgres";
}

std::string PostgresTestCluster::createDatabase() {
    // Unique across the test processes CTest runs side by side.
    const auto name = "relay_" + std::to_string(::getpid()) + "_" + std::to_string(++databases_);
    exec("postgres", "CREATE DATABASE " + name + " TEMPLATE template0");
    return name;
}

void PostgresTestCluster::dropDatabase(const std::string& name) {
    exec("postgres", "DROP DATABASE IF EXISTS " + name + " WITH (FORCE)");
}

void PostgresTestCluster::exec(const std::string& database, const std::string& sql) {
    Connection(connectionString(database)).exec(sql);
}

std::string PostgresTestCluster::query(const std::string& database, const std::string& sql) {
    return Connection(connectionString(database)).exec(sql);
}

}  // namespace morvane::relay_service::testing
