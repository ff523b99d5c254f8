// How many bytes the relay may hold waiting to be written: to one
// connection, to the connections of one account, and in all. A peer that
// stops reading must not hold the relay's memory, nor one account's peers
// the memory every other account's records need; and when the relay is
// full, room is made by closing a connection that is stuck, never one that
// reads what it is sent. Pure bookkeeping on the server's one network
// thread; the sockets carry out its verdicts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace morvane::relay_service {

struct QueueLimits {
    std::size_t perConnection = 4u << 20;
    std::size_t perAccount = 16u << 20;
    std::size_t total = 256u << 20;
    // A queue whose front write has not moved for this long is stuck: the
    // first to go when room must be made. Below it, an account holding
    // more than its share goes first.
    std::int64_t stuckMillis = 1'000;
};

// Which limit a charge ran into.
enum class QueueScope { connection, account, total };

// Why a queue must make room.
enum class QueueCause {
    ownLimit,      // it holds all one connection may
    stuck,         // its front write moved least recently
    overShare,     // its account holds the most of what waits
    stillWriting,  // closed as slow already, what it is still writing is the room needed
};

class BudgetedQueue;

// The queue that must make room for a charge, and why.
struct QueueOver {
    BudgetedQueue* queue = nullptr;
    QueueScope scope = QueueScope::connection;
    QueueCause cause = QueueCause::ownLimit;
    std::int64_t stillMillis = 0;  // how long its front write had not moved
    bool operator==(const QueueOver&) const = default;
};

// One connection's queue as the budget sees it.
class BudgetedQueue {
public:
    virtual ~BudgetedQueue() = default;
    // When its front write last moved (the kernel took some of it) or,
    // when it was idle before, when that write began; on the clock the
    // budget is given.
    virtual std::int64_t movedAt() const = 0;
    // Makes room: a queue closed as slow already gives back at once what
    // it is still writing (its connection is reset, and it is removed from
    // the budget); any other closes as slow, dropping what waits.
    virtual void makeRoom(const QueueOver& over) = 0;
};

class QueueBudget {
public:
    using Scope = QueueScope;
    using Cause = QueueCause;
    using Over = QueueOver;

    explicit QueueBudget(QueueLimits limits) : limits_(limits) {}

    // A queue counted against an account ("" for none).
    void add(BudgetedQueue* queue, const std::string& account);
    // Charges `bytes` to the queue when they fit every limit. When they do
    // not, nothing is charged and the answer names the queue that must make
    // room (perhaps this one): past its own limit, this one; past its
    // account's, that account's open queue whose front write has not moved
    // for longest; past the total, that queue among all when it has not
    // moved for `stuckMillis`, else a queue closed as slow that still
    // writes, else the stalest queue of the account holding most.
    std::optional<Over> charge(BudgetedQueue* queue, std::size_t bytes, std::int64_t nowMillis);
    void release(BudgetedQueue* queue, std::size_t bytes);
    // The queue is closing as slow: it is never chosen to close again, and
    // what it still holds counts until released or given back.
    void closing(BudgetedQueue* queue);
    // Forgets the queue and whatever it still held.
    void remove(BudgetedQueue* queue);

    std::size_t queued(const BudgetedQueue* queue) const;
    std::size_t queuedFor(const std::string& account) const;
    std::size_t total() const { return total_; }
    const QueueLimits& limits() const { return limits_; }

    // The words the log gives a scope's limit, as "over the 16 MiB one
    // account may have waiting".
    std::string describe(Scope scope) const;
    // Why the queue was chosen, as the log tells it: its cause and the
    // limit reached.
    std::string explain(const Over& over) const;

private:
    struct Entry {
        std::string account;
        std::size_t bytes = 0;
        bool closing = false;
    };
    struct Account {
        std::size_t bytes = 0;
        std::vector<BudgetedQueue*> queues;
    };
    // Who makes room in `among` (every queue when null) for `extra` more
    // bytes charged to `charged`.
    Over choose(const std::vector<BudgetedQueue*>* among, Scope scope, BudgetedQueue* charged, std::size_t extra,
                std::int64_t nowMillis) const;
    void unlink(BudgetedQueue* queue, Entry& entry);

    QueueLimits limits_;
    std::unordered_map<BudgetedQueue*, Entry> queues_;
    std::unordered_map<std::string, Account> accounts_;
    std::size_t total_ = 0;
};

// "4 MiB", "512 KiB" or "1000 bytes": what the log says of a limit.
std::string byteSize(std::size_t bytes);

}  // namespace morvane::relay_service
