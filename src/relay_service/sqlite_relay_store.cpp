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
#include "relay_service/sql_relay_store.h"

namespace morvane::relay_service {
namespace {

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

class SqliteRelayStore final : public detail::SqlRelayStore {
public:
    SqliteRelayStore(std::string dataDir, const StoreTimeouts& timeouts)
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
            // holds the lock only briefly; wait for it, as long as a call
            // may take.
            sqlite3_busy_timeout(db_, timeouts.statementSeconds * 1000);
            const auto mode = sql("PRAGMA journal_mode=WAL");
            if (mode.empty() || mode.text(0, 0) != "wal")
                throw RelayStoreError(path_ + " cannot use a write-ahead log (journal mode " +
                                      (mode.empty() ? "" : mode.text(0, 0)) + ")");
            // FULL: each commit is synced before the call returns, so what
            // the service answered survives a crash or a power cut.
            sql("PRAGMA synchronous=FULL");
            migrate(path_);
        } catch (...) {
            sqlite3_close(db_);
            throw;
        }
        std::error_code ec;
        const auto canonical = std::filesystem::weakly_canonical(path_, ec);
        bus_ = detail::localBusFor(ec ? path_ : canonical.string());
    }

    ~SqliteRelayStore() override { sqlite3_close(db_); }

    std::string describe() const override { return "sqlite " + path_; }

    void publish(const BusMessage& message) override { bus_->publish(message); }

    // Within one process the bus is never lost.
    std::unique_ptr<BusListener> listen(const std::string& instance, BusHooks hooks) override {
        return bus_->listen(instance, std::move(hooks.onMessage));
    }

private:
    [[noreturn]] void fail(std::string_view what) const {
        throw RelayStoreError(describe() + ": " + std::string(what) + ": " + detail::oneLine(sqlite3_errmsg(db_)));
    }

    // Statements are few and short, so each is prepared afresh.
    detail::SqlRows run(std::string_view statement, std::span<const detail::SqlValue> values) override {
        sqlite3_stmt* raw = nullptr;
        if (sqlite3_prepare_v2(db_, statement.data(), static_cast<int>(statement.size()), &raw, nullptr) != SQLITE_OK)
            fail("cannot prepare a statement");
        std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> owned(raw, sqlite3_finalize);
        for (std::size_t i = 0; i < values.size(); ++i) {
            const int index = sqlite3_bind_parameter_index(raw, ("$" + std::to_string(i + 1)).c_str());
            if (index == 0) continue;
            const auto& v = values[i];
            const int rc = v.isNumber ? sqlite3_bind_int64(raw, index, v.number)
                                      : sqlite3_bind_text(raw, index, v.text.data(), static_cast<int>(v.text.size()),
                                                          SQLITE_STATIC);
            if (rc != SQLITE_OK) fail("cannot bind a value");
        }
        detail::SqlRows rows;
        rows.columns = static_cast<std::size_t>(sqlite3_column_count(raw));
        for (;;) {
            const int rc = sqlite3_step(raw);
            if (rc == SQLITE_DONE) break;
            if (rc != SQLITE_ROW) fail("cannot run a statement");
            for (int c = 0; c < static_cast<int>(rows.columns); ++c) {
                const auto* p = sqlite3_column_text(raw, c);
                rows.cells.emplace_back(p ? reinterpret_cast<const char*>(p) : "",
                                        static_cast<std::size_t>(sqlite3_column_bytes(raw, c)));
            }
        }
        // What sqlite3_changes answers after a query is the last write's.
        rows.changed = sqlite3_stmt_readonly(raw) ? 0 : sqlite3_changes64(db_);
        return rows;
    }

    void runScript(const std::string& statements) override {
        if (sqlite3_exec(db_, statements.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) fail("a statement failed");
    }

    std::string_view int64Type() const override { return "INTEGER"; }
    std::string_view nowSeconds() const override { return "CAST(strftime('%s', 'now') AS INTEGER)"; }
    // IMMEDIATE takes the write lock at once, so two registrations (from
    // two connections) cannot both count room for one.
    std::string_view beginWrite() const override { return "BEGIN IMMEDIATE"; }
    void rollbackQuietly() override { sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr); }

    // The version lives in the file's header (user_version).
    int storedVersion() override { return static_cast<int>(sql("PRAGMA user_version").number(0, 0)); }
    void storeVersion(int version) override { runScript("PRAGMA user_version=" + std::to_string(version)); }

    std::string dir_;
    std::string path_;
    sqlite3* db_ = nullptr;
    std::shared_ptr<detail::LocalBus> bus_;
};

}  // namespace

std::unique_ptr<RelayStore> openSqliteRelayStore(const std::string& dataDir, const StoreTimeouts& timeouts) {
    if (dataDir.empty()) throw RelayStoreError("no data folder is given for the sqlite store");
    return std::make_unique<SqliteRelayStore>(dataDir, timeouts);
}

}  // namespace morvane::relay_service
