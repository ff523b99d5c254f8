// The part of the SQLite and PostgreSQL stores that is the same for both:
// one schema, one set of statements (written with PostgreSQL's $1, $2, …,
// which SQLite reads as named parameters), the schema versions' rule and
// the calls of the interface built from them. Each database brings how a
// statement runs, how a write transaction begins, where it keeps its
// schema version, and its bus. Not part of the stores' interface.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "relay_service/relay_store.h"

namespace morvane::relay_service::detail {

// A value bound to a statement's $N: text or a whole number.
struct SqlValue {
    SqlValue(std::string s) : text(std::move(s)) {}
    SqlValue(const char* s) : text(s) {}
    SqlValue(std::int64_t n) : text(std::to_string(n)), number(n), isNumber(true) {}
    SqlValue(int n) : SqlValue(std::int64_t{n}) {}
    std::string text;  // a number too, as PostgreSQL takes it
    std::int64_t number = 0;
    bool isNumber = false;
};

// What a statement answered: its rows, each cell as text (NULL reads as
// ""), and how many rows it changed.
struct SqlRows {
    std::size_t columns = 0;
    std::vector<std::string> cells;
    std::int64_t changed = 0;
    std::size_t size() const { return columns ? cells.size() / columns : 0; }
    bool empty() const { return cells.empty(); }
    const std::string& text(std::size_t row, std::size_t column) const { return cells[row * columns + column]; }
    std::int64_t number(std::size_t row, std::size_t column) const;
};

// The schema as steps, one per version, applied in order and never edited
// once released: a database of version N runs steps N+1… when this program
// opens it. A new column or table is a new step at the end. Each step says
// which programs may still use a database it has run on: the oldest schema
// version a program must know, which an additive step leaves as it was.
struct SchemaStep {
    const char* sql;  // "{int64}" stands for the database's 64-bit whole number type
    int compatible;
};
std::span<const SchemaStep> schemaSteps();
int schemaVersion();
// Step `index` (0 for version 1) in a database's own words.
std::string schemaStepSql(std::size_t index, std::string_view int64Type);

// How old a row of links or instances may be and still count (a store
// just back from an outage), and whose.
struct Widening {
    std::int64_t seconds = 0;
    std::optional<std::vector<std::string>> only;
};

class SqlRelayStore : public RelayStore {
public:
    std::string sealKey() const override { return sealKey_; }
    Account accountForEmail(const std::string& email, std::int64_t nowSeconds) override;
    std::optional<Account> account(const std::string& userId) override;
    void putCode(const SignInCode& code) override;
    std::optional<SignInCode> code(const std::string& email, const std::string& loginId) override;
    std::optional<SignInCode> spendCodeTry(const std::string& email, const std::string& loginId,
                                           std::int64_t nowSeconds) override;
    bool deleteCode(const std::string& email, const std::string& loginId) override;
    void putTokens(const std::vector<Token>& tokens) override;
    std::optional<Token> token(const std::string& hash) override;
    bool deleteToken(const std::string& hash) override;
    bool replaceToken(const std::string& spentHash, const std::vector<Token>& replacements) override;
    AddHostOutcome addHost(const HostRecord& host, int maxHostsPerAccount) override;
    std::optional<HostRecord> hostByKey(const std::string& publicKey) override;
    std::optional<HostRecord> hostByRoom(const std::string& room) override;
    std::vector<HostRecord> hostsOf(const std::string& userId) override;
    bool removeHost(const std::string& room) override;
    std::vector<std::string> roomsRegisteredSince(std::int64_t sinceSeconds, std::size_t most) override;
    bool useNonce(const std::string& nonce, std::int64_t expiresAt, std::int64_t nowSeconds) override;
    void putSignOut(const std::string& session, std::int64_t until) override;
    bool signedOut(const std::string& session, std::int64_t nowSeconds) override;
    std::optional<std::int64_t> countRate(const std::string& key, int most, std::int64_t windowSeconds,
                                          std::int64_t nowSeconds) override;
    bool putPresence(const std::string& room, const std::string& instance) override;
    bool dropPresence(const std::string& room, const std::string& instance) override;
    std::optional<int> refreshPresence(const std::string& instance) override;
    std::optional<int> expirePresence(const std::string& instance, const std::optional<std::string>& room,
                                      std::int64_t forSeconds, std::int64_t freshSeconds) override;
    std::optional<std::string> presenceHolder(const std::string& room, std::int64_t freshSeconds) override;
    std::vector<std::string> roomsOnline(const std::vector<std::string>& rooms, std::int64_t freshSeconds) override;
    void putPeer(const std::string& instance, const std::string& address) override;
    void dropPeer(const std::string& instance) override;
    std::vector<PeerRecord> peers(const std::string& except, std::int64_t freshSeconds) override;
    std::string fleetSecret() override;
    void requestLink(const std::string& room, const std::string& holder) override;
    std::vector<std::string> takeLinkRequests(const std::string& holder, std::int64_t withinSeconds) override;
    std::vector<std::string> signedOutAmong(const std::vector<std::string>& sessions, std::int64_t nowSeconds) override;
    void purgeExpired(std::int64_t nowSeconds) override;

protected:
    // One statement; throws RelayStoreError when it fails.
    virtual SqlRows run(std::string_view statement, std::span<const SqlValue> values) = 0;
    // Several statements without values, as a schema step is written.
    virtual void runScript(const std::string& statements) = 0;
    virtual std::string_view int64Type() const = 0;
    // The database's clock in whole Unix seconds, as an expression.
    virtual std::string_view nowSeconds() const = 0;
    // A write of presence rows that the database runs later than
    // RelayLimits::presenceLateMillis after it was sent (held in a paused
    // server while its instance died, say) would make the rows of a process
    // that is gone count again: where the store can tell, a condition that
    // the statement runs in time, by the database's own clock, and its
    // value; absent where it cannot (a database of one process's own).
    struct OnTime {
        std::string condition;  // "<the database's clock now, in ms> <= $n"
        std::int64_t latestMillis;
    };
    virtual std::optional<OnTime> onTime(std::size_t /*parameter*/) const { return std::nullopt; }
    // A write of presence rows whose `{in time}` stands where the condition
    // goes: the rows it changed, or nothing when the database ran it too
    // late (it then changed nothing).
    std::optional<int> presenceWrite(std::string statement, std::vector<SqlValue> values);
    // The statement that begins a transaction that will write.
    virtual std::string_view beginWrite() const = 0;
    // Undoes an unfinished transaction, when the connection still allows.
    virtual void rollbackQuietly() = 0;
    // Runs one call of the interface, which may be several statements.
    virtual void call(const std::function<void()>& work) { work(); }
    // Inside a write transaction: registrations of one account, and
    // instances migrating one database, wait for each other (SQLite's write
    // lock already makes them).
    virtual void lockAccount(const std::string&) {}
    virtual void lockSchema() {}
    // Where the database keeps its schema version.
    virtual int storedVersion() = 0;
    virtual void storeVersion(int version) = 0;

    // Brings the database to this program's schema, or accepts a newer one
    // this program may use, and reads its seal key (made by the first
    // program to need it); throws RelayStoreError naming `database`.
    void migrate(const std::string& database);
    // One token's row, inside the call or transaction under way.
    void insertToken(const Token& token);
    // The reads of links and instances, where a row `freshSeconds` old
    // counts, and one up to `widenedSeconds` old (a store just back from an
    // outage) counts too unless its instance was started again meanwhile:
    // another instance has put a row of its own at the same peer address
    // since that instance last renewed its row. A new life never renews
    // its former self's rows, so they are only what a dead process left.
    // With `only`, the rows that old count only for those instances.
    std::optional<std::string> presenceHolderWithin(const std::string& room, std::int64_t freshSeconds,
                                                    const Widening& widened);
    std::vector<std::string> roomsOnlineWithin(const std::vector<std::string>& rooms, std::int64_t freshSeconds,
                                               const Widening& widened);
    std::vector<PeerRecord> peersWithin(const std::string& except, std::int64_t freshSeconds, const Widening& widened);

    template <class... V>
    SqlRows sql(std::string_view statement, V&&... values) {
        const std::array<SqlValue, sizeof...(V)> params{SqlValue(std::forward<V>(values))...};
        return run(statement, params);
    }

    template <class F>
    std::invoke_result_t<F> op(F work) {
        using Result = std::invoke_result_t<F>;
        if constexpr (std::is_void_v<Result>) {
            call(work);
        } else {
            std::optional<Result> out;
            call([&] { out.emplace(work()); });
            return std::move(*out);
        }
    }

    class Transaction {
    public:
        explicit Transaction(SqlRelayStore& store);
        ~Transaction();
        void commit();
        Transaction(const Transaction&) = delete;
        Transaction& operator=(const Transaction&) = delete;

    private:
        SqlRelayStore& store_;
        bool done_ = false;
    };

private:
    std::string sealKey_;
};

}  // namespace morvane::relay_service::detail
