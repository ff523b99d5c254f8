#include "relay_service/postgres_relay_store.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "relay_service/postgres_connection.h"
#include "relay_service/relay_limits.h"
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
// meanwhile instead of waiting out a time-out on every call. A check on a
// connection of its own, off the store's thread, asks it far more often
// and ends the wait as soon as it answers.
constexpr std::int64_t firstRetryMillis = 2'000;
constexpr std::int64_t lastRetryMillis = 16'000;
// A check that is not answered within this is tried again, rather than
// waiting out the whole connect time-out while the database comes back.
constexpr int checkTimeoutSeconds = 2;
// A check that has not answered within this is counted as a database that
// does not answer, before its time-out says so: a statement this small
// answers in milliseconds. Judged by the check's own wait, which looks at
// what arrived before it says so.
constexpr std::int64_t pulseLateMillis = 1'000;
// The others' answers to one round of questions come within this of each
// other, and an answer lost now and then is made up for by the round
// after (asked every two seconds while the database is away, each round
// waiting 1.5 s for its answers).
constexpr std::int64_t heardSlackMillis = 4'000;
constexpr std::int64_t forgetHeardMillis = 10 * 60'000;
// The database's clock, read as it runs a statement (not as the statement
// came), in Unix milliseconds; and how far a check's answer may leave it
// from this process's clock for the reading to be taken.
constexpr std::string_view clockMillis = "CAST(EXTRACT(EPOCH FROM clock_timestamp()) * 1000 AS BIGINT)";
constexpr std::int64_t clockSlackMillis = 250;

std::int64_t steadyMillis() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

std::string inSeconds(std::int64_t millis) { return std::to_string((millis + 999) / 1000) + " s"; }

// The bus sends itself a beat this often, on a channel only its own
// connection listens on, and counts itself lost when one has not come back
// within beatAnswerMillis: a connection that a cut, a proxy or the database
// left without answer is known within about two seconds, while its
// statements may still work on the store's own connection.
constexpr std::int64_t beatEveryMillis = 500;
constexpr std::int64_t beatAnswerMillis = 1'500;

// LISTEN on a connection of its own, read on a thread of its own; made
// again when the database comes back. Its beat checks the connection even
// while nothing is said.
class PostgresBusListener final : public BusListener {
public:
    PostgresBusListener(const std::string& connectionString, const StoreTimeouts& timeouts, std::string instance,
                        BusHooks hooks)
        : conn_(connectionString, timeouts, "morvane-relay bus"),
          instance_(std::move(instance)),
          hooks_(std::move(hooks)),
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
        if (hooks_.log) hooks_.log(line);
    }

    // A handler that throws must not end the process from this thread.
    void hand(const BusMessage& message) const {
        try {
            hooks_.onMessage(message);
        } catch (const std::exception& e) {
            say(std::string("bus: a message could not be handed on: ") + e.what());
        }
    }

    // Within `limit` when listening again: a connection that a cut left
    // unanswered is given up soon and tried anew, so that the bus is back
    // within about a second of the database. A server process a beat left
    // waiting is ended, as it would hold the database's queue of
    // notifications back.
    void listen(detail::Deadline limit = detail::Deadline::max()) {
        conn_.connect(limit);
        conn_.endAbandoned(std::min(limit, Clock::now() + conn_.statementTimeout()));
        conn_.exec(std::string("LISTEN ") + busChannel, {}, Clock::now() + conn_.statementTimeout());
        beatChannel_ = std::string(busChannel) + "_beat_" + std::to_string(conn_.backend());
        conn_.exec("LISTEN " + beatChannel_, {}, Clock::now() + conn_.statementTimeout());
    }

    // True when asked to stop during the wait.
    bool stopRequested(std::chrono::milliseconds wait) const {
        pollfd fd{wake_, POLLIN, 0};
        return ::poll(&fd, 1, static_cast<int>(wait.count())) > 0;
    }

    static void call(const std::function<void()>& hook) {
        if (hook) hook();
    }

    void run() {
        const auto retry = std::chrono::milliseconds(500);
        // A try unanswered gives the next one a second more, for a
        // database slow to connect to on a busy machine.
        auto limit = std::chrono::seconds(checkTimeoutSeconds);
        for (bool lost = false;;) {
            if (lost) {
                if (stopRequested(retry)) return;
                try {
                    listen(Clock::now() + limit);
                    say("bus: listening again on " + conn_.describe());
                    lost = false;
                    limit = std::chrono::seconds(checkTimeoutSeconds);
                    call(hooks_.resumed);
                } catch (const PostgresUnreachable& e) {
                    limit = e.why == PostgresUnreachable::Why::noAnswer ? limit + std::chrono::seconds(1)
                                                                         : std::chrono::seconds(checkTimeoutSeconds);
                    continue;
                } catch (const RelayStoreError&) {
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
            call(hooks_.lost);
        }
    }

    // False when asked to stop; throws when the connection is lost or its
    // beat does not come back in time.
    bool hearUntilLost() {
        const auto every = std::chrono::milliseconds(beatEveryMillis);
        const auto answer = std::chrono::milliseconds(beatAnswerMillis);
        auto nextBeat = Clock::now() + every;
        std::optional<Clock::time_point> awaited;  // a beat on its way back, until then
        const auto heard = [&] {
            while (const auto notification = conn_.nextNotification()) {
                if (notification->channel == beatChannel_) {
                    if (notification->payload == std::to_string(beats_)) awaited.reset();
                } else if (notification->channel == busChannel) {
                    if (const auto message = detail::decodeBusMessage(notification->payload);
                        message && detail::addressedTo(*message, instance_))
                        hand(*message);
                }
            }
        };
        for (;;) {
            heard();
            const auto now = Clock::now();
            if (awaited && now >= *awaited) {
                // What came while this thread was held up is read before
                // the beat counts as lost.
                conn_.consumeInput();
                heard();
            }
            if (awaited && now >= *awaited)
                throw PostgresUnreachable{PostgresUnreachable::Why::noAnswer,
                                          "its own beat did not come back within " + inSeconds(beatAnswerMillis)};
            if (!awaited && now >= nextBeat) {
                awaited = now + answer;
                nextBeat = now + every;
                const detail::SqlValue values[] = {beatChannel_, std::to_string(++beats_)};
                try {
                    conn_.exec("SELECT pg_notify($1, $2)", values, *awaited);
                } catch (const PostgresUnreachable& e) {
                    if (e.why == PostgresUnreachable::Why::broken) throw;
                    throw PostgresUnreachable{e.why, "its own beat was not answered within " + inSeconds(beatAnswerMillis)};
                }
                continue;
            }
            const auto until = awaited ? *awaited : nextBeat;
            const auto wait = std::chrono::ceil<std::chrono::milliseconds>(until - now);
            pollfd fds[2] = {{conn_.socket(), POLLIN, 0}, {wake_, POLLIN, 0}};
            const int rc = ::poll(fds, 2, static_cast<int>(std::max<std::int64_t>(0, wait.count())));
            if (rc < 0 && errno != EINTR)
                throw PostgresUnreachable{PostgresUnreachable::Why::broken, std::strerror(errno)};
            if (fds[1].revents) return false;
            if (fds[0].revents) conn_.consumeInput();
        }
    }

    PostgresConnection conn_;
    std::string instance_;
    BusHooks hooks_;
    std::string beatChannel_;
    std::uint64_t beats_ = 0;
    int wake_;
    std::thread thread_;
};

class PostgresRelayStore final : public detail::SqlRelayStore {
public:
    PostgresRelayStore(std::string connectionString, const StoreTimeouts& timeouts,
                       std::function<std::int64_t()> monotonicMillis, std::int64_t checkEveryMillis)
        : connectionString_(std::move(connectionString)),
          timeouts_(timeouts),
          monotonicMillis_(monotonicMillis ? std::move(monotonicMillis) : steadyMillis),
          checkEvery_(checkEveryMillis),
          conn_(connectionString_, timeouts_) {
        const auto began = monotonicMillis_();
        try {
            connectFirst();
        } catch (const PostgresUnreachable& e) {
            throw RelayStoreUnreachable("cannot connect to " + conn_.describe() + ": " + e.reason);
        }
        migrate(describe());
        noteAnswered(began, monotonicMillis_());
        countOutageBefore();
        if (checkEvery_ > 0) checker_ = std::thread([this] { pulse(); });
    }

    ~PostgresRelayStore() override {
        {
            std::lock_guard lock(checkLock_);
            stopping_ = true;
        }
        checkWake_.notify_all();
        if (checker_.joinable()) checker_.join();
    }

    std::string describe() const override { return conn_.describe(); }
    bool shared() const override { return true; }
    StoreReach reach() const override { return reach_.load(); }

    // Never judged by the age of the last answer: a check or call that has
    // not begun, or that this process was held up in, is no answer that did
    // not come. Whoever decides on it sees how old the check behind it is.
    StoreHealth health() const override {
        const auto now = monotonicMillis_();
        std::lock_guard lock(healthLock_);
        const auto reach = pulseLate_ ? StoreReach::silent : reach_.load();
        const auto checked = now - (pulseLate_ ? pulseStartedAt_ : checkedAt_);
        if (reach != StoreReach::answering) return {reach, now - lastAnswered_, checked};
        return {reach, steadySince_ ? now - steadySince_ : 0, checked};
    }

    // Right after the database was away from this instance, the rows of the
    // others are as old as the outage, and as fresh as they were before
    // it until their instances renew them (each within a beat of the
    // database's return): for a beat after it, a row counts for as
    // much longer as the outage lasted, so that a list does not call a
    // linked computer offline, nor an instance forget the others, because
    // a row was not renewed yet; and past the beat, the links' rows of the
    // instances that answered this one since, for as long as a row counts
    // unrenewed. Not the rows of an instance started again
    // during the outage, once its new life has said where it is, nor, when
    // this instance asked the others while it was away, those of one that
    // had stopped answering by then: their process is gone, and its links
    // with it.
    std::vector<std::string> roomsOnline(const std::vector<std::string>& rooms, std::int64_t freshSeconds) override {
        return roomsOnlineWithin(rooms, freshSeconds, widened(freshSeconds, true));
    }
    std::optional<std::string> presenceHolder(const std::string& room, std::int64_t freshSeconds) override {
        return presenceHolderWithin(room, freshSeconds, widened(freshSeconds, true));
    }
    // The same for the instances' own rows: right after an outage the
    // others are not gone because they have not said they are there yet.
    // One that did not answer is still listed, to be asked again.
    std::vector<PeerRecord> peers(const std::string& except, std::int64_t freshSeconds) override {
        return peersWithin(except, freshSeconds, widened(freshSeconds, false));
    }

    void heardFrom(const std::vector<std::string>& instances, std::int64_t askedMillisAgo) override {
        const auto now = monotonicMillis_();
        const auto asked = now - std::max<std::int64_t>(0, askedMillisAgo);
        std::lock_guard lock(healthLock_);
        roundAt_ = asked;
        for (const auto& instance : instances) heard_[instance] = std::max(heard_[instance], asked);
        // The instances sharing a database are a handful; those that
        // stopped answering long ago are let go of.
        std::erase_if(heard_, [&](const auto& entry) { return now - entry.second > forgetHeardMillis; });
    }

    void publish(const BusMessage& message) override {
        detail::requireSendable(message);
        op([&] { sql("SELECT pg_notify($1, $2)", busChannel, detail::encodeBusMessage(message)); });
    }

    std::unique_ptr<BusListener> listen(const std::string& instance, BusHooks hooks) override {
        return std::make_unique<PostgresBusListener>(connectionString_, timeouts_, instance, std::move(hooks));
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
    // calls of the next seconds fail at once, until it answers a check.
    void call(const std::function<void()>& work) override {
        callBegan_ = monotonicMillis_();
        if (!conn_.isOpen()) reconnect(detail::Deadline::max());
        deadline_ = Clock::now() + conn_.statementTimeout();
        for (int attempt = 0;; ++attempt) {
            try {
                work();
                answered();
                return;
            } catch (const PostgresUnreachable& e) {
                if (e.why == PostgresUnreachable::Why::noAnswer)
                    away("did not answer within " + inSeconds(conn_.statementTimeout().count()) +
                             "; its connection is dropped",
                         StoreReach::silent);
                if (attempt > 0) away("the connection broke twice: " + e.reason, StoreReach::refusing);
            } catch (const RelayStoreError&) {
                // A statement the database refused: it answers.
                answered();
                throw;
            }
            reconnect(deadline_);
        }
    }

    // Started while the database is away, one connection made into a
    // silent cut would wait out the whole connect time-out after it came
    // back (where nothing answers, nothing tells the connection to try
    // again): tries of a check's length instead, each a second longer
    // than the last for a database slow to connect to on a busy machine,
    // within the same time. A refusal is an answer, and ends it at once.
    void connectFirst() {
        const auto whole = std::chrono::seconds(std::max(1, timeouts_.connectSeconds));
        const auto until = Clock::now() + whole;
        for (auto bite = std::chrono::seconds(checkTimeoutSeconds);; bite += std::chrono::seconds(1)) {
            try {
                return conn_.connect(std::min(until, Clock::now() + bite));
            } catch (const PostgresUnreachable& e) {
                if (e.why != PostgresUnreachable::Why::noAnswer) throw;
                if (Clock::now() >= until)
                    throw PostgresUnreachable{e.why, "no connection within " + inSeconds(whole.count() * 1000)};
            }
        }
    }

    void answered() {
        retryMillis_ = firstRetryMillis;
        retryAt_ = 0;
        reach_ = StoreReach::answering;
        noteAnswered(callBegan_, monotonicMillis_());
    }

    // An answer to a check (`pulse`) or call begun at `began`. One after
    // trouble ends an outage, whose length the rows are judged by for a
    // while.
    void noteAnswered(std::int64_t began, std::int64_t now, bool pulse = false) {
        std::lock_guard lock(healthLock_);
        checkedAt_ = std::max(checkedAt_, began);
        if (pulse) pulseLate_ = false;
        if (!steadySince_) {
            steadySince_ = now;
            if (lastAnswered_ != 0) {
                auto outage = now - lastAnswered_;
                // Away again before the others had a beat to renew their
                // rows after the last return: those not renewed yet are
                // as old as both outages and the moment between.
                if (backAt_ != 0 && lastAnswered_ - backAt_ < RelayLimits::presenceBeatSeconds * 1000)
                    outage = std::max(outage, now - (backAt_ - outageMillis_));
                outageMillis_ = outage;
                backAt_ = now;
            }
        }
        lastAnswered_ = std::max(lastAnswered_, now);
    }
    void noteTrouble(std::int64_t began, bool pulse = false) {
        std::lock_guard lock(healthLock_);
        checkedAt_ = std::max(checkedAt_, began);
        if (pulse) pulseLate_ = false;
        steadySince_ = 0;
    }

    // Opened just as the database came back (this process started while
    // it was away, a restart during an outage): the other instances' rows
    // are as old as an outage this store never saw, and are renewed only
    // as each instance finds the database back, some maybe before this one
    // opened. How long those that have not could not write (the newest of
    // the rows older than two beats, when within ten minutes: beyond that
    // the fleet was down, not cut off) is counted as an outage seen here.
    void countOutageBefore() {
        try {
            const std::string now(nowSeconds());
            const auto r = sql("SELECT COALESCE(" + now + " - MAX(seen_at), 0) FROM peers WHERE seen_at < " + now +
                                   " - $1",
                               2 * RelayLimits::presenceBeatSeconds);
            const auto silentSeconds = r.empty() ? 0 : r.number(0, 0);
            if (silentSeconds <= 2 * RelayLimits::presenceBeatSeconds || silentSeconds > 600) return;
            std::lock_guard lock(healthLock_);
            outageMillis_ = silentSeconds * 1000;
            backAt_ = monotonicMillis_();
        } catch (const std::exception&) {
            // Only the lists of the next seconds are at stake.
        }
    }

    // How old a row may be to count now and, when this instance asked the
    // others during the outage (`byAnswers`), whose rows that old count: of
    // the instances that answered the latest questions. None answering at
    // all says more of this instance's own road to them than of them.
    detail::Widening widened(std::int64_t freshSeconds, bool byAnswers) const {
        const auto now = monotonicMillis_();
        std::lock_guard lock(healthLock_);
        // Each instance renews its rows as soon as its database is back, and
        // at its next beat at the latest: rows not renewed by then are a
        // process that is gone, unless it has said otherwise since.
        const auto renewedWithin = std::min(freshSeconds, RelayLimits::presenceBeatSeconds) * 1000;
        if (backAt_ == 0) return {freshSeconds, std::nullopt};
        detail::Widening widening{freshSeconds + (outageMillis_ + 999) / 1000, std::nullopt};
        // The rows of the instances heard from since then, where only theirs count.
        std::optional<std::int64_t> heardSince;
        if (now - backAt_ >= renewedWithin) {
            // Except those that answered a question asked since: they are
            // there, and their database may have come back for them seconds
            // after this one's, their beat later still. Their rows count
            // until the others' would have gone stale by now.
            if (!byAnswers || now - backAt_ >= freshSeconds * 1000) return {freshSeconds, std::nullopt};
            heardSince = backAt_;
        } else if (byAnswers && roundAt_ != 0 && roundAt_ >= backAt_ - outageMillis_) {
            heardSince = roundAt_ - heardSlackMillis;
        }
        if (heardSince) {
            widening.only.emplace();
            for (const auto& [instance, at] : heard_)
                if (at >= *heardSince) widening.only->push_back(instance);
        }
        return widening;
    }

    void reconnect(detail::Deadline limit) {
        const auto now = monotonicMillis_();
        // A check that found the database answering ends the wait at once.
        const bool checkedBack = checked_.exchange(false);
        if (now < retryAt_ && !checkedBack)
            throw RelayStoreUnreachable(describe() + ": away (" + awayReason_ + "); the next try in " +
                                        inSeconds(retryAt_ - now));
        // A try while it is away, unless a check found it back, gives up as
        // soon as a check would: one made into a silent cut would otherwise
        // hold the store's queue for the whole connect time-out after the
        // database came back.
        if (retryAt_ != 0 && !checkedBack)
            limit = std::min(limit, Clock::now() + std::chrono::seconds(checkTimeoutSeconds));
        try {
            conn_.connect(limit);
            conn_.endAbandoned(std::min(limit, Clock::now() + conn_.statementTimeout()));
        } catch (const PostgresUnreachable& e) {
            away("cannot connect again: " + e.reason,
                 e.why == PostgresUnreachable::Why::noAnswer ? StoreReach::silent : StoreReach::refusing);
        }
    }

    [[noreturn]] void away(const std::string& reason, StoreReach reach) {
        conn_.drop();
        bool stale = false;
        {
            std::lock_guard lock(healthLock_);
            stale = steadySince_ != 0 && callBegan_ < steadySince_;
        }
        if (stale) {
            // A try made into an outage that gave up after a check found the
            // database back: its connection was lost to the cut, not the
            // database now. Taken for a new outage, it would hold the calls
            // of the next seconds (the links' rows among them) and measure
            // the rows' age from the check's answer rather than from before.
            retryAt_ = 0;
            throw RelayStoreUnreachable(describe() + ": " + reason + "; it answers again, the next call connects anew");
        }
        awayReason_ = reason;
        retryAt_ = monotonicMillis_() + retryMillis_;
        const auto wait = retryMillis_;
        retryMillis_ = std::min(retryMillis_ * 2, lastRetryMillis);
        check(reach);
        throw RelayStoreUnreachable(describe() + ": " + reason + "; calls fail at once until it answers again (" +
                                    inSeconds(wait) + " at most)");
    }

    // The database is away: says so. Under the check's lock, so that a
    // check that found the database answering as a call found it away does
    // not say it answers.
    void check(StoreReach reach) {
        std::lock_guard lock(checkLock_);
        ++aways_;
        reach_ = reach;
        checked_ = false;
        noteTrouble(callBegan_);
    }

    // On a thread of its own, every `checkEvery_`: one statement on a
    // connection of its own, within a short time-out, whatever the calls
    // do. Its answers say how long the database has answered without a
    // break, which the other instances are told when they ask; its
    // failures that the database is away, which a call may not meet for
    // seconds; and while a call found it away, the first answer ends the
    // calls' wait at once, so that a database back from a cut is used
    // within about a second whatever the connect time-out.
    void pulse() {
        const StoreTimeouts quick{std::min(timeouts_.connectSeconds, checkTimeoutSeconds),
                                  std::min(timeouts_.statementSeconds, checkTimeoutSeconds), timeouts_.keepaliveSeconds};
        PostgresConnection probe(connectionString_, quick, "morvane-relay check");
        for (;;) {
            std::uint64_t aways = 0;
            {
                std::unique_lock lock(checkLock_);
                if (checkWake_.wait_for(lock, std::chrono::milliseconds(checkEvery_), [this] { return stopping_; })) return;
                aways = aways_;
            }
            const auto began = monotonicMillis_();
            {
                std::lock_guard lock(healthLock_);
                pulseStartedAt_ = began;
            }
            probe.lateAt(Clock::now() + std::chrono::milliseconds(pulseLateMillis), [this] {
                std::lock_guard lock(healthLock_);
                pulseLate_ = true;
                steadySince_ = 0;
            });
            std::optional<StoreReach> away;
            try {
                if (!probe.isOpen()) probe.connect();
                const auto clock =
                    probe.exec("SELECT " + std::string(clockMillis), {}, Clock::now() + probe.statementTimeout());
                if (!clock.empty()) learnClock(began, monotonicMillis_(), clock.number(0, 0));
            } catch (const PostgresUnreachable& e) {
                away = e.why == PostgresUnreachable::Why::noAnswer ? StoreReach::silent : StoreReach::refusing;
            } catch (const RelayStoreError&) {
                // Refused, say while it starts.
                away = StoreReach::refusing;
            }
            probe.lateDone();
            if (away) {
                probe.drop();
                {
                    std::lock_guard lock(checkLock_);
                    reach_ = *away;
                }
                noteTrouble(began, true);
                continue;
            }
            noteAnswered(began, monotonicMillis_(), true);
            std::lock_guard lock(checkLock_);
            // A call found it away meanwhile: only the next check tells.
            if (aways != aways_ || reach_ == StoreReach::answering) continue;
            reach_ = StoreReach::answering;
            checked_ = true;
        }
    }

    // The database's clock less this process's monotonic one, from a check
    // answered quickly enough to place it within clockSlackMillis: a
    // stale sample only while none better came.
    void learnClock(std::int64_t began, std::int64_t answered, std::int64_t databaseMillis) {
        const auto slack = (answered - began + 1) / 2;
        std::lock_guard lock(healthLock_);
        if (slack > clockSlackMillis && clockOffset_) return;
        clockOffset_ = databaseMillis - (began + answered) / 2;
        clockSlack_ = slack;
    }

    std::optional<OnTime> onTime(std::size_t parameter) const override {
        const auto now = monotonicMillis_();
        std::lock_guard lock(healthLock_);
        if (!clockOffset_) return std::nullopt;
        return OnTime{std::string(clockMillis) + " <= $" + std::to_string(parameter),
                      now + *clockOffset_ + clockSlack_ + RelayLimits::presenceLateMillis};
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
    std::int64_t checkEvery_;
    PostgresConnection conn_;
    detail::Deadline deadline_{};
    std::int64_t retryAt_ = 0;
    std::int64_t retryMillis_ = firstRetryMillis;
    std::string awayReason_;
    std::atomic<StoreReach> reach_{StoreReach::answering};
    // The check found the database answering: the next call tries at once.
    std::atomic<bool> checked_{false};
    std::mutex checkLock_;
    std::condition_variable checkWake_;
    // When the call under way began (the store's thread only).
    std::int64_t callBegan_ = 0;
    // What health() tells: when the database last answered, since when
    // without a break (0: not since it was last found away), when the
    // newest check or call that found it answering or away began, and when
    // the check under way began and whether its wait passed the late mark
    // with nothing come. And the last outage's length and end (0: none).
    mutable std::mutex healthLock_;
    std::int64_t lastAnswered_ = 0;
    std::int64_t steadySince_ = 0;
    std::int64_t checkedAt_ = 0;
    std::int64_t pulseStartedAt_ = 0;
    bool pulseLate_ = false;
    std::int64_t outageMillis_ = 0;
    std::int64_t backAt_ = 0;
    std::optional<std::int64_t> clockOffset_;
    std::int64_t clockSlack_ = 0;
    // When another instance last answered a question of this one, and
    // when the latest answer came (0: never).
    std::map<std::string, std::int64_t> heard_;
    std::int64_t roundAt_ = 0;
    bool stopping_ = false;
    std::uint64_t aways_ = 0;  // calls that found it away
    std::thread checker_;
};

}  // namespace

std::unique_ptr<RelayStore> openPostgresRelayStore(const std::string& connectionString, const StoreTimeouts& timeouts,
                                                   std::function<std::int64_t()> monotonicMillis,
                                                   std::int64_t checkEveryMillis) {
    if (connectionString.empty()) throw RelayStoreError("no connection string is given for the postgresql store");
    return std::make_unique<PostgresRelayStore>(connectionString, timeouts, std::move(monotonicMillis),
                                                checkEveryMillis);
}

}  // namespace morvane::relay_service
