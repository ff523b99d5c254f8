#include "relay_service/postgres_connection.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "relay_service/relay_store_detail.h"

namespace morvane::relay_service::detail {
namespace {

using Clock = std::chrono::steady_clock;

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
        throw RelayStoreError("the postgresql connection string cannot be read: " + oneLine(message));
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

std::string seconds(std::chrono::milliseconds span) {
    const auto count = span.count();
    return count % 1000 == 0 ? std::to_string(count / 1000) + " s" : std::to_string(count) + " ms";
}

}  // namespace

PostgresConnection::PostgresConnection(std::string connectionString, const StoreTimeouts& timeouts,
                                       std::string application)
    : connectionString_(std::move(connectionString)),
      application_(std::move(application)),
      timeouts_(timeouts),
      connect_(std::chrono::seconds(std::max(1, timeouts.connectSeconds))),
      statement_(std::chrono::seconds(std::max(1, timeouts.statementSeconds))),
      target_(targetOf(connectionString_)) {}

void PostgresConnection::drop() {
    // Non-blocking by now, so the goodbye is never waited for.
    if (conn_) PQfinish(conn_);
    conn_ = nullptr;
}

// The socket is looked at once more however late it is: a deadline that
// passed while the process was held up (stopped, swapped out) is no
// answer that did not come, when the answer is waiting to be read.
bool PostgresConnection::waitFor(short events, Deadline deadline) {
    for (;;) {
        const auto until = late_ ? std::min(deadline, late_->first) : deadline;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
        pollfd fd{PQsocket(conn_), events, 0};
        const int rc = ::poll(&fd, 1, static_cast<int>(std::clamp<long long>(left, 0, 60'000)));
        if (rc > 0 || (rc < 0 && errno != EINTR)) return true;  // libpq finds any error itself
        if (rc < 0) continue;
        const auto now = Clock::now();
        if (late_ && now >= late_->first) {
            const auto late = std::move(late_->second);
            late_.reset();
            late();
        }
        if (now >= deadline) return false;
    }
}

void PostgresConnection::broken(std::string reason) {
    drop();
    throw PostgresUnreachable{PostgresUnreachable::Why::broken, oneLine(reason)};
}

void PostgresConnection::abandon() {
    abandonedBackend_ = PQbackendPID(conn_);
    drop();
    throw PostgresUnreachable{PostgresUnreachable::Why::noAnswer, "no answer within " + seconds(statement_)};
}

void PostgresConnection::connect(Deadline limit) {
    drop();
    const auto start = Clock::now();
    const auto deadline = std::min(start + connect_, limit);
    // Ours first: what the connection string says wins. The keepalives
    // find a database host gone from the network while the connection is
    // idle; tcp_user_timeout one that stops acknowledging what is sent.
    const int keepalive = std::max(1, timeouts_.keepaliveSeconds);
    const std::string idle = std::to_string(keepalive), interval = std::to_string(std::max(1, keepalive / 3)),
                      userTimeout = std::to_string(statement_.count());
    const char* keys[] = {"fallback_application_name", "keepalives",      "keepalives_idle", "keepalives_interval",
                          "keepalives_count",          "tcp_user_timeout", "dbname",         nullptr};
    const char* values[] = {application_.c_str(), "1", idle.c_str(), interval.c_str(), "3", userTimeout.c_str(),
                            connectionString_.c_str(), nullptr};
    conn_ = PQconnectStartParams(keys, values, 1);
    if (!conn_) throw PostgresUnreachable{PostgresUnreachable::Why::broken, "out of memory"};
    if (PQstatus(conn_) == CONNECTION_BAD) broken(PQerrorMessage(conn_));
    // Until the first poll, libpq waits to write.
    auto status = PGRES_POLLING_WRITING;
    while (status != PGRES_POLLING_OK) {
        if (status == PGRES_POLLING_FAILED) broken(PQerrorMessage(conn_));
        if (!waitFor(status == PGRES_POLLING_READING ? POLLIN : POLLOUT, deadline)) {
            drop();
            throw PostgresUnreachable{
                PostgresUnreachable::Why::noAnswer,
                "no connection within " + seconds(std::chrono::ceil<std::chrono::milliseconds>(deadline - start))};
        }
        status = PQconnectPoll(conn_);
    }
    target_ = targetOf(conn_);
    if (PQsetnonblocking(conn_, 1) != 0) broken(PQerrorMessage(conn_));
    // Notices ("already exists, skipping") are not events of the relay.
    PQsetNoticeProcessor(conn_, [](void*, const char*) {}, nullptr);
}

SqlRows PostgresConnection::exec(std::string_view statement, std::span<const SqlValue> values, Deadline deadline) {
    if (!conn_) throw PostgresUnreachable{PostgresUnreachable::Why::broken, "not connected"};
    const std::string text(statement);
    std::vector<const char*> params;
    for (const auto& v : values) params.push_back(v.text.c_str());
    if (!PQsendQueryParams(conn_, text.c_str(), static_cast<int>(params.size()), nullptr, params.data(), nullptr, nullptr,
                           0))
        broken(PQerrorMessage(conn_));
    return collect(deadline);
}

void PostgresConnection::execScript(const std::string& statements, Deadline deadline) {
    if (!conn_) throw PostgresUnreachable{PostgresUnreachable::Why::broken, "not connected"};
    if (!PQsendQuery(conn_, statements.c_str())) broken(PQerrorMessage(conn_));
    collect(deadline);
}

SqlRows PostgresConnection::collect(Deadline deadline) {
    for (;;) {
        const int unsent = PQflush(conn_);
        if (unsent == 0) break;
        if (unsent < 0) broken(PQerrorMessage(conn_));
        if (!waitFor(POLLIN | POLLOUT, deadline)) abandon();
        if (!PQconsumeInput(conn_)) broken(PQerrorMessage(conn_));
    }
    SqlRows rows;
    std::optional<std::string> error;
    for (;;) {
        while (PQisBusy(conn_)) {
            if (!waitFor(POLLIN, deadline)) abandon();
            if (!PQconsumeInput(conn_)) broken(PQerrorMessage(conn_));
        }
        PGresult* result = PQgetResult(conn_);
        if (!result) break;
        const auto status = PQresultStatus(result);
        if (status == PGRES_TUPLES_OK || status == PGRES_COMMAND_OK) {
            rows = SqlRows{};
            rows.columns = static_cast<std::size_t>(PQnfields(result));
            for (int r = 0; r < PQntuples(result); ++r)
                for (int c = 0; c < PQnfields(result); ++c)
                    rows.cells.emplace_back(PQgetvalue(result, r, c), static_cast<std::size_t>(PQgetlength(result, r, c)));
            rows.changed = std::strtoll(PQcmdTuples(result), nullptr, 10);
        } else if (!error) {
            error = oneLine(PQresultErrorMessage(result));
        }
        PQclear(result);
    }
    if (PQstatus(conn_) == CONNECTION_BAD) broken(error.value_or(PQerrorMessage(conn_)));
    if (error) throw RelayStoreError(describe() + ": a statement failed: " + *error);
    return rows;
}

// Ended rather than cancelled: a server process stopped while it waited
// for the statement would ignore a cancel on waking, run the statement and
// commit what the service already answered as failed.
void PostgresConnection::endAbandoned(Deadline deadline) {
    if (!abandonedBackend_) return;
    const SqlValue pid(abandonedBackend_);
    abandonedBackend_ = 0;
    try {
        exec("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE pid = $1 AND datname = current_database()",
             std::span(&pid, 1), deadline);
    } catch (const RelayStoreError&) {
        // Refused (the process is another user's by now): nothing to undo.
    }
}

void PostgresConnection::consumeInput() {
    if (!conn_) throw PostgresUnreachable{PostgresUnreachable::Why::broken, "not connected"};
    if (!PQconsumeInput(conn_) || PQstatus(conn_) == CONNECTION_BAD) broken(PQerrorMessage(conn_));
}

std::optional<PostgresConnection::Notification> PostgresConnection::nextNotification() {
    if (!conn_) return std::nullopt;
    PGnotify* notify = PQnotifies(conn_);
    if (!notify) return std::nullopt;
    Notification out{notify->relname ? notify->relname : "", notify->extra ? notify->extra : ""};
    PQfreemem(notify);
    return out;
}

}  // namespace morvane::relay_service::detail
