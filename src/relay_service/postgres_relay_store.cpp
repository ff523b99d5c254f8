#include "relay_service/postgres_relay_store.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

#include "relay_service/postgres_connection.h"
#include "relay_service/relay_store_detail.h"
#include "relay_service/sql_relay_store.h"

namespace morvane::relay_service {
namespace {

using detail::PostgresConnection;
using detail::PostgresUnreachable;
using Clock = std::chrono::steady_clock;

// The instances sharing a database talk on one channel of it.
constexpr const char* busChannel = "morvane_relay";

// A database that stopped answering is left alone this long before the
// next try, doubling while it stays away: the store queue answers at once
// meanwhile instead of waiting out a time-out on every call.
constexpr std::int64_t firstRetryMillis = 2'000;
constexpr std::int64_t lastRetryMillis = 16'000;

std::int64_t steadyMillis() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

std::string inSeconds(std::int64_t millis) { return std::to_string((millis + 999) / 1000) + " s"; }

// LISTEN on a connection of its own, read on a thread of its own; made
// again when the database comes back. Its connection is checked every
// keepalive period, so that a database that stopped answering is noticed
// even while nothing is said.
class PostgresBusListener final : public BusListener {
public:
    PostgresBusListener(const std::string& connectionString, const StoreTimeouts& timeouts, std::string instance,
                        BusHandler onMessage, std::function<void(const std::string&)> log)
        : conn_(connectionString, timeouts),
          keepalive_(std::chrono::seconds(std::max(1, timeouts.keepaliveSeconds))),
          instance_(std::move(instance)),
          onMessage_(std::move(onMessage)),
          log_(std::move(log)),
          wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
        if (wake_ < 0) throw RelayStoreError(std::string("the bus cannot make its wake-up: ") + std::strerror(errno));
        try {
            listen();
        } catch (const PostgresUnreachable& e) {
            ::close(wake_);
            throw RelayStoreError("the bus cannot listen on " + conn_.describe() + ": " + e.reason);
        } catch (...) {
            ::close(wake_);
            throw;
        }
        thread_ = std::thread([this] { run(); });
    }

    ~PostgresBusListener() override {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(wake_, &one, sizeof one);
        thread_.join();
        ::close(wake_);
    }

private:
    void say(const std::string& line) const {
        if (log_) log_(line);
    }

    // A handler that throws must not end the process from this thread.
    void hand(const BusMessage& message) const {
        try {
            onMessage_(message);
        } catch (const std::exception& e) {
            say(std::string("bus: a message could not be handed on: ") + e.what());
        }
    }

    void listen() {
        conn_.connect();
        conn_.exec(std::string("LISTEN ") + busChannel, {}, Clock::now() + conn_.statementTimeout());
    }

    // True when asked to stop during the wait.
    bool stopRequested(std::chrono::milliseconds wait) const {
        pollfd fd{wake_, POLLIN, 0};
        return ::poll(&fd, 1, static_cast<int>(wait.count())) > 0;
    }

    void run() {
        auto retry = std::chrono::milliseconds(500);
        for (bool lost = false;;) {
            if (lost) {
                if (stopRequested(retry)) return;
                try {
                    listen();
                    say("bus: listening again on " + conn_.describe());
                    lost = false;
                    retry = std::chrono::milliseconds(500);
                } catch (const PostgresUnreachable&) {
                    retry = std::min(retry * 2, std::chrono::milliseconds(8'000));
                    continue;
                } catch (const RelayStoreError&) {
                    retry = std::min(retry * 2, std::chrono::milliseconds(8'000));
                    continue;
                }
            }
            try {
                if (!hearUntilLost()) return;
            } catch (const PostgresUnreachable& e) {
                say("bus: lost " + conn_.describe() + " (" + e.reason + "); listening again once it is back");
            } catch (const RelayStoreError& e) {
                say("bus: lost " + conn_.describe() + " (" + e.what() + "); listening again once it is back");
            }
            conn_.drop();
            lost = true;
        }
    }

    // False when asked to stop; throws when the connection is lost.
    bool hearUntilLost() {
        auto nextCheck = Clock::now() + keepalive_;
        for (;;) {
            while (const auto payload = conn_.nextNotification(busChannel))
                if (const auto message = detail::decodeBusMessage(*payload);
                    message && detail::addressedTo(*message, instance_))
                    hand(*message);
            const auto wait = std::chrono::ceil<std::chrono::milliseconds>(nextCheck - Clock::now());
            pollfd fds[2] = {{conn_.socket(), POLLIN, 0}, {wake_, POLLIN, 0}};
            const int rc = ::poll(fds, 2, static_cast<int>(std::max<std::int64_t>(0, wait.count())));
            if (rc < 0 && errno != EINTR)
                throw PostgresUnreachable{PostgresUnreachable::Why::broken, std::strerror(errno)};
            if (fds[1].revents) return false;
            if (fds[0].revents) conn_.consumeInput();
            if (Clock::now() >= nextCheck) {
                conn_.exec("SELECT 1", {}, Clock::now() + conn_.statementTimeout());
                nextCheck = Clock::now() + keepalive_;
            }
        }
    }

    PostgresConnection conn_;
    std::chrono::milliseconds keepalive_;
    std::string instance_;
    BusHandler onMessage_;
    std::function<void(const std::string&)> log_;
    int wake_;
    std::thread thread_;
};

class PostgresRelayStore final : public detail::SqlRelayStore {
public:
    PostgresRelayStore(std::string connectionString, const StoreTimeouts& timeouts,
                       std::function<std::int64_t()> monotonicMillis)
        : connectionString_(std::move(connectionString)),
          timeouts_(timeouts),
          monotonicMillis_(monotonicMillis ? std::move(monotonicMillis) : steadyMillis),
          conn_(connectionString_, timeouts_) {
        try {
            conn_.connect();
        } catch (const PostgresUnreachable& e) {
            throw RelayStoreError("cannot connect to " + conn_.describe() + ": " + e.reason);
        }
        migrate(describe());
    }

    std::string describe() const override { return conn_.describe(); }

    void publish(const BusMessage& message) override {
        detail::requireSendable(message);
        op([&] { sql("SELECT pg_notify($1, $2)", busChannel, detail::encodeBusMessage(message)); });
    }

    std::unique_ptr<BusListener> listen(const std::string& instance, BusHandler onMessage,
                                        std::function<void(const std::string&)> log) override {
        return std::make_unique<PostgresBusListener>(connectionString_, timeouts_, instance, std::move(onMessage),
                                                     std::move(log));
    }

private:
    // Runs one call within the statement time-out (after the connect
    // time-out, when it must connect first). A connection broken under it
    // (a restarted server, a cut network) is made again once and the call
    // run again within the same time: what the first try may have
    // committed is either repeated harmlessly (upserts, deletes) or
    // answered as already done, which the service treats as a refusal (a
    // spent ticket, a used nonce), never as a success that did not happen.
    // A database that does not answer in time fails the call, and the
    // calls of the next seconds fail at once.
    void call(const std::function<void()>& work) override {
        if (!conn_.isOpen()) reconnect(detail::Deadline::max());
        deadline_ = Clock::now() + conn_.statementTimeout();
        for (int attempt = 0;; ++attempt) {
            try {
                work();
                retryMillis_ = firstRetryMillis;
                return;
            } catch (const PostgresUnreachable& e) {
                if (e.why == PostgresUnreachable::Why::noAnswer)
                    away("did not answer within " + inSeconds(conn_.statementTimeout().count()) +
                         "; its connection is dropped");
                if (attempt > 0) away("the connection broke twice: " + e.reason);
            }
            reconnect(deadline_);
        }
    }

    void reconnect(detail::Deadline limit) {
        const auto now = monotonicMillis_();
        if (now < retryAt_)
            throw RelayStoreError(describe() + ": away (" + awayReason_ + "); the next try in " +
                                  inSeconds(retryAt_ - now));
        try {
            conn_.connect(limit);
            conn_.endAbandoned(std::min(limit, Clock::now() + conn_.statementTimeout()));
        } catch (const PostgresUnreachable& e) {
            away("cannot connect again: " + e.reason);
        }
    }

    [[noreturn]] void away(const std::string& reason) {
        conn_.drop();
        awayReason_ = reason;
        retryAt_ = monotonicMillis_() + retryMillis_;
        const auto wait = retryMillis_;
        retryMillis_ = std::min(retryMillis_ * 2, lastRetryMillis);
        throw RelayStoreError(describe() + ": " + reason + "; calls fail at once for the next " + inSeconds(wait));
    }

    detail::SqlRows run(std::string_view statement, std::span<const detail::SqlValue> values) override {
        return conn_.exec(statement, values, deadline_);
    }
    void runScript(const std::string& statements) override { conn_.execScript(statements, deadline_); }
    std::string_view int64Type() const override { return "BIGINT"; }
    std::string_view nowSeconds() const override { return "CAST(EXTRACT(EPOCH FROM now()) AS BIGINT)"; }
    std::string_view beginWrite() const override { return "BEGIN"; }
    void rollbackQuietly() override {
        if (!conn_.isOpen()) return;
        try {
            conn_.exec("ROLLBACK", {}, deadline_);
        } catch (...) {
            // The connection is dropped with it, which ends the transaction.
        }
    }
    void lockAccount(const std::string& userId) override {
        sql("SELECT pg_advisory_xact_lock(hashtextextended($1, 0))", userId);
    }
    // Instances starting together take turns migrating.
    void lockSchema() override { sql("SELECT pg_advisory_xact_lock(hashtextextended('morvane-relay schema', 0))"); }

    // The version is one row of schema_version.
    int storedVersion() override {
        sql("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)");
        const auto r = sql("SELECT version FROM schema_version");
        if (!r.empty()) return static_cast<int>(r.number(0, 0));
        sql("INSERT INTO schema_version (version) VALUES (0)");
        return 0;
    }
    void storeVersion(int version) override { sql("UPDATE schema_version SET version = $1", version); }

    std::string connectionString_;
    StoreTimeouts timeouts_;
    std::function<std::int64_t()> monotonicMillis_;
    PostgresConnection conn_;
    detail::Deadline deadline_{};
    std::int64_t retryAt_ = 0;
    std::int64_t retryMillis_ = firstRetryMillis;
    std::string awayReason_;
};

}  // namespace

std::unique_ptr<RelayStore> openPostgresRelayStore(const std::string& connectionString, const StoreTimeouts& timeouts,
                                                   std::function<std::int64_t()> monotonicMillis) {
    if (connectionString.empty()) throw RelayStoreError("no connection string is given for the postgresql store");
    return std::make_unique<PostgresRelayStore>(connectionString, timeouts, std::move(monotonicMillis));
}

}  // namespace morvane::relay_service
