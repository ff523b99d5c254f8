// How many bytes the relay may hold waiting to be written: to one
// connection, to the connections of one account, and in all. A peer that
// stops reading must not hold the relay's memory, nor one account's peers
// the memory every other account's records need. Pure bookkeeping on the
// server's one network thread; the sockets carry out its verdicts.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace morvane::relay_service {

struct QueueLimits {
    std::size_t perConnection = 4u << 20;
    std::size_t perAccount = 16u << 20;
    std::size_t total = 256u << 20;
};

// Which limit a charge ran into.
enum class QueueScope { connection, account, total };

// One connection's queue as the budget sees it.
class BudgetedQueue {
public:
    virtual ~BudgetedQueue() = default;
    // It must close to make room: it drops what waits and holds only what
    // is being written.
    virtual void overBudget(QueueScope scope) = 0;
};

class QueueBudget {
public:
    using Scope = QueueScope;
    // The queue that must be closed for a charge to fit, and which limit
    // the charge ran into.
    struct Over {
        BudgetedQueue* queue = nullptr;
        Scope scope = Scope::connection;
        bool operator==(const Over&) const = default;
    };

    explicit QueueBudget(QueueLimits limits) : limits_(limits) {}

    // A queue counted against an account ("" for none).
    void add(BudgetedQueue* queue, const std::string& account);
    // Charges `bytes` to the queue when they fit every limit. When they do
    // not, nothing is charged and the answer names the queue to close: this
    // one when it alone is over, else the fullest open queue of the account
    // or of the relay whose limit was reached (perhaps this one).
    std::optional<Over> charge(BudgetedQueue* queue, std::size_t bytes);
    void release(BudgetedQueue* queue, std::size_t bytes);
    // The queue is closing: it is never chosen to make room again, and what
    // it still holds counts until released.
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
    // The fullest queue that is not closing among `among` (all when null),
    // counting `extra` more for `charged`.
    BudgetedQueue* fullest(const std::vector<BudgetedQueue*>* among, BudgetedQueue* charged, std::size_t extra) const;
    void unlink(BudgetedQueue* queue, Entry& entry);

    QueueLimits limits_;
    std::unordered_map<BudgetedQueue*, Entry> queues_;
    std::unordered_map<std::string, Account> accounts_;
    std::size_t total_ = 0;
};

// "4 MiB", "512 KiB" or "1000 bytes": what the log says of a limit.
std::string byteSize(std::size_t bytes);

}  // namespace morvane::relay_service
