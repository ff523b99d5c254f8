// One libpq connection that never blocks its thread longer than it was
// told: the connection is made and every statement runs through libpq's
// asynchronous calls, waiting in poll() on its socket up to a deadline. A
// server-side time-out cannot help here, since a database whose server
// process is stopped, or whose host is gone from the network, answers
// nothing at all. Not part of the stores' interface.
#pragma once

#include <libpq-fe.h>

#include <chrono>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "relay_service/relay_store.h"
#include "relay_service/sql_relay_store.h"

namespace morvane::relay_service::detail {

using Deadline = std::chrono::steady_clock::time_point;

// The database could not be reached: the connection broke (making it
// again may help at once), or nothing answered by the deadline (the
// connection has been dropped). A statement the database refused is a
// RelayStoreError instead.
struct PostgresUnreachable {
    enum class Why { broken, noAnswer } why;
    std::string reason;
};

class PostgresConnection {
public:
    // `application` names the connection's part in pg_stat_activity (and
    // to whatever stands between the relay and the database), unless the
    // connection string names one.
    PostgresConnection(std::string connectionString, const StoreTimeouts& timeouts,
                       std::string application = "morvane-relay");
    ~PostgresConnection() { drop(); }
    PostgresConnection(const PostgresConnection&) = delete;
    PostgresConnection& operator=(const PostgresConnection&) = delete;

    // Makes the connection, dropping any other, within the connect
    // time-out and before `limit`. Throws PostgresUnreachable.
    void connect(Deadline limit = Deadline::max());
    bool isOpen() const { return conn_ != nullptr; }
    // Closes the connection without waiting for anything.
    void drop();

    // Runs one statement, or several without values, answering the last
    // one's rows. Past the deadline the connection is dropped and its
    // server process remembered, to be ended once a new connection shows
    // the server answering. Throws PostgresUnreachable, or RelayStoreError
    // when the database refused the statement.
    SqlRows exec(std::string_view statement, std::span<const SqlValue> values, Deadline deadline);
    void execScript(const std::string& statements, Deadline deadline);

    // Ends the server process a deadline left with a statement, through
    // this (new) connection, so that what it was asked never happens after
    // the call failed; a no-op when there is none.
    void endAbandoned(Deadline deadline);

    // For a listening connection: reads what has arrived without waiting
    // (throws PostgresUnreachable when the connection broke), and answers
    // the notifications, one at a time.
    struct Notification {
        std::string channel;
        std::string payload;
    };
    void consumeInput();
    std::optional<Notification> nextNotification();
    // The server process of the connection (0 when there is none), which
    // names a channel only this connection listens on.
    int backend() const { return conn_ ? PQbackendPID(conn_) : 0; }
    int socket() const { return conn_ ? PQsocket(conn_) : -1; }

    // Once every wait of the connection (connecting, a statement) that is
    // still unanswered at `at` calls `late`, once, and goes on waiting to
    // its deadline; cleared by lateDone(). Judged by what has arrived when
    // the wait looks, never by the clock alone: a process held up past `at`
    // finds the answer that came meanwhile.
    void lateAt(Deadline at, std::function<void()> late) { late_.emplace(at, std::move(late)); }
    void lateDone() { late_.reset(); }

    // "postgresql user@host:port/db", for the log; never a password.
    std::string describe() const { return "postgresql " + target_; }
    std::chrono::milliseconds statementTimeout() const { return statement_; }

private:
    bool waitFor(short events, Deadline deadline);
    SqlRows collect(Deadline deadline);
    [[noreturn]] void broken(std::string reason);
    [[noreturn]] void abandon();

    std::string connectionString_;
    std::string application_;
    StoreTimeouts timeouts_;
    std::chrono::milliseconds connect_;
    std::chrono::milliseconds statement_;
    std::string target_;
    PGconn* conn_ = nullptr;
    int abandonedBackend_ = 0;
    std::optional<std::pair<Deadline, std::function<void()>>> late_;
};

}  // namespace morvane::relay_service::detail
