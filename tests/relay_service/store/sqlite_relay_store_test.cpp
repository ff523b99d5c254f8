// The SQLite store's own duties: a private folder and file, clear refusals
// of what it cannot use, and a backup that holds every committed change.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <sqlite3.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>

#include "relay_service/relay_store.h"
#include "relay_service/sqlite_relay_store.h"
#include "relay_store_backends.h"

namespace morvane::relay_service {
namespace {

using ::testing::HasSubstr;
using testing::TempDir;

mode_t modeOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return 0;
    return st.st_mode & 07777;
}

void writeFile(const std::string& path, const std::string& content, mode_t mode) {
    std::ofstream(path) << content;
    ::chmod(path.c_str(), mode);
}

HostRecord roomHost(int n) {
    char room[33];
    std::snprintf(room, sizeof room, "%032x", n);
    return HostRecord{room, "key-" + std::to_string(n), "computer", "user-1", n};
}

TEST(SqliteRelayStore, FolderAndFilesArePrivateWhateverTheUmask) {
    struct Case {
        const char* why;
        std::function<std::string(const std::string& root)> prepare;  // answers the data folder
    };
    const Case cases[] = {
        {"missing folder and parents", [](const std::string& root) { return root + "/a/b/data"; }},
        {"folder open to all",
         [](const std::string& root) {
             ::mkdir((root + "/data").c_str(), 0777);
             ::chmod((root + "/data").c_str(), 0777);
             return root + "/data";
         }},
        {"database file open to all",
         [](const std::string& root) {
             ::mkdir((root + "/data").c_str(), 0755);
             writeFile(root + "/data/relay.db", "", 0666);
             return root + "/data";
         }},
    };
    const mode_t saved = ::umask(0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        TempDir root;
        const auto dir = c.prepare(root.path());
        auto store = openSqliteRelayStore(dir);
        ASSERT_EQ(store->addHost(roomHost(1), 10), AddHostOutcome::created);
        EXPECT_EQ(modeOf(dir), 0700u);
        for (const char* file : {"/relay.db", "/relay.db-wal", "/relay.db-shm"})
            EXPECT_EQ(modeOf(dir + file), 0600u) << file;
        EXPECT_EQ(store->describe(), "sqlite " + dir + "/relay.db");
    }
    ::umask(saved);
}

TEST(SqliteRelayStore, RefusalsSayWhyOnOneLine) {
    struct Case {
        const char* why;
        std::function<RelayStoreConfig(const std::string& root)> prepare;
        const char* expected;
    };
    const auto sqliteIn = [](std::string dir) { return RelayStoreConfig{"sqlite", std::move(dir), ""}; };
    const Case cases[] = {
        {"no folder given", [&](const std::string&) { return sqliteIn(""); }, "no data folder"},
        {"the folder is a file",
         [&](const std::string& root) {
             writeFile(root + "/data", "x", 0600);
             return sqliteIn(root + "/data");
         },
         "is not a folder"},
        {"a parent is a file",
         [&](const std::string& root) {
             writeFile(root + "/parent", "x", 0600);
             return sqliteIn(root + "/parent/data");
         },
         "cannot create the data folder"},
        {"the database is a folder",
         [&](const std::string& root) {
             ::mkdir((root + "/relay.db").c_str(), 0700);
             return sqliteIn(root);
         },
         "relay.db"},
        {"the database is a pipe (and opening it does not block)",
         [&](const std::string& root) {
             ::mkfifo((root + "/relay.db").c_str(), 0600);
             return sqliteIn(root);
         },
         "is not a regular file"},
        {"the database is a link",
         [&](const std::string& root) {
             writeFile(root + "/elsewhere.db", "", 0600);
             EXPECT_EQ(::symlink((root + "/elsewhere.db").c_str(), (root + "/relay.db").c_str()), 0);
             return sqliteIn(root);
         },
         "cannot open"},
        {"the database is something else",
         [&](const std::string& root) {
             writeFile(root + "/relay.db", std::string(8192, 'x'), 0600);
             return sqliteIn(root);
         },
         "file is not a database"},
        {"an unknown kind",
         [&](const std::string& root) {
             return RelayStoreConfig{"mysql", root, ""};
         },
         "unknown store kind \"mysql\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        TempDir root;
        try {
            openRelayStore(c.prepare(root.path()));
            ADD_FAILURE() << "opened";
        } catch (const RelayStoreError& e) {
            const std::string what = e.what();
            EXPECT_THAT(what, HasSubstr(c.expected));
            EXPECT_EQ(what.find('\n'), std::string::npos) << what;
        }
    }
}

// The service's user cannot write its folder (a mistake in ownership): the
// reason names the folder rather than a failure deep in the database.
TEST(SqliteRelayStore, FolderNotWritableIsNamed) {
    TempDir root;
    ::chmod(root.path().c_str(), 0755);
    const auto dir = root.path() + "/data";
    ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // As root every folder is writable: the check runs as nobody.
        if (::geteuid() == 0) {
            const passwd* nobody = ::getpwnam("nobody");
            if (!nobody || ::setgroups(0, nullptr) != 0 || ::setgid(nobody->pw_gid) != 0 ||
                ::setuid(nobody->pw_uid) != 0)
                ::_exit(3);
        } else {
            ::chmod(dir.c_str(), 0500);
        }
        std::string message = "opened";
        try {
            openSqliteRelayStore(dir);
        } catch (const RelayStoreError& e) {
            message = e.what();
        }
        const auto written = ::write(fds[1], message.data(), message.size());
        ::_exit(written == static_cast<ssize_t>(message.size()) ? 0 : 4);
    }
    ::close(fds[1]);
    std::string message;
    char buffer[512];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) message.append(buffer, static_cast<std::size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(message, "the data folder " + dir + " is not writable: Permission denied");
}

// The documented backup: sqlite3's .backup while the service runs holds
// every committed registration, including those still in the write-ahead
// log, and the copy opens as a data folder of its own.
TEST(SqliteRelayStore, BackupWhileOpenHoldsEveryCommittedChange) {
    testing::SqliteBackend backend;
    auto store = backend.open();
    constexpr int hosts = 30;
    for (int n = 1; n <= hosts; ++n) ASSERT_EQ(store->addHost(roomHost(n), 100), AddHostOutcome::created);
    ASSERT_EQ(store->accountForEmail("ann@example.org", 5).email, "ann@example.org");

    TempDir copy;
    const auto command = "sqlite3 '" + backend.file() + "' \".backup '" + copy.path() + "/relay.db'\"";
    ASSERT_EQ(std::system(command.c_str()), 0) << command << " (scripts/setup installs sqlite3)";

    auto restored = openSqliteRelayStore(copy.path());
    EXPECT_EQ(restored->hostsOf("user-1").size(), std::size_t{hosts});
    EXPECT_EQ(restored->accountForEmail("ann@example.org", 9), store->accountForEmail("ann@example.org", 9));
    EXPECT_EQ(store->addHost(roomHost(hosts + 1), 100), AddHostOutcome::created) << "the original is still in use";
}

// Another connection holding the write lock (a backup's, a second
// instance started by mistake) fails a call after the statement time-out,
// not later, and the store works again once the lock is gone.
TEST(SqliteRelayStore, ALockHeldElsewhereFailsACallAfterTheStatementTimeOut) {
    testing::SqliteBackend backend;
    auto store = openSqliteRelayStore(backend.dataDir(), StoreTimeouts{.connectSeconds = 5, .statementSeconds = 1,
                                                                        .keepaliveSeconds = 10});
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(backend.file().c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    const auto start = std::chrono::steady_clock::now();
    try {
        store->addHost(roomHost(1), 10);
        ADD_FAILURE() << "written while another connection held the lock";
    } catch (const RelayStoreError& e) {
        EXPECT_THAT(e.what(), HasSubstr("locked"));
    }
    const auto waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(waited, 0.9);
    EXPECT_LT(waited, 3.0);
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    EXPECT_EQ(store->addHost(roomHost(1), 10), AddHostOutcome::created);
}

}  // namespace
}  // namespace morvane::relay_service
