// How many bytes the relay may hold waiting to be written: to one
// connection, to the connections of one account, and in all. A peer that
// stops reading must not hold the relay's memory, nor one account's peers
// the memory every other account's records need. A peer is judged by what
// it took over a window of seconds, never by one wake-up of its writer: the
// kernel wakes a blocked writer only once a good part of its buffer is free,
// seconds apart for a phone on a slow link. Only a peer that took less than
// the floor while it had something waiting is ever closed to make room;
// otherwise whoever sent past a limit reads no more until room returns, and
// an account within its fair share of the total may pass it by a little.
// Room is only ever taken from accounts over their share: one within it is
// never closed, whatever its pace, for another account's sake. What the
// kernel holds for an account's sockets while one of them is held back
// counts too: past the account's allowance for a window, the sender held
// back with most of it there is closed.
// Pure bookkeeping on the server's one network thread; the sockets carry
// out its verdicts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace morvane::relay_service {

struct QueueLimits {
    std::size_t perConnection = 4u << 20;
    std::size_t perAccount = 16u << 20;
    std::size_t total = 256u << 20;
    // A peer whose queue held something for this long is judged by what it
    // took of it meanwhile...
    std::int64_t windowMillis = 5'000;
    // ...and is slow when that was less than this a second. A phone on a
    // poor mobile link takes 150 KB or more a second, and one that stops
    // for 2.5 s in a window of 5 still takes several times this.
    std::size_t floorBytesPerSecond = 32u << 10;
    // An account's fair share of the total is never less than what a
    // computer may have on its way to one phone (its credit window and a
    // record), however many accounts hold something.
    std::size_t leastShare = 2u << 20;
    // Past the total, a queue whose peer takes what it holds within this
    // long is lent room (a quarter of the total at most) rather than its
    // sender made to wait; before its pace is known, one holding no more
    // than the least share.
    std::int64_t keepUpMillis = 10'000;
    // What the kernel may hold for one account's sockets (what they were
    // sent and the relay has not read, what they were written and their
    // peers have not taken) while the reads of one of them are held back.
    // An account past it for a window has the sender held back that holds
    // most there closed as slow, then the next, until it is within it.
    // A phone's uploads go a file's window (128 KB) at a time, into a
    // device socket's small receive buffer.
    std::size_t kernelPerAccount = 4u << 20;
    // An account once past it is watched until it has kept within it this
    // long: passing it again meanwhile (its senders closed dial again and
    // fill the kernel anew), its fullest held senders close at once.
    std::int64_t kernelWatchMillis = 60'000;
};

// Which limit a charge ran into.
enum class QueueScope { connection, account, total, kernel };

// Why a queue must make room: its peer took less than the floor over the
// window, and it is
enum class QueueCause {
    slow,               // the queue over its own limit
    slowestOfAccount,   // the slowest of its account's, over the account's limit
    slowestOverShare,   // the slowest of the accounts holding more than their share of the total
    slowestOverEvenSplit,  // more accounts hold something than the least share fits: the slowest over an even split
    heldBack,           // a sender held back, holding most of what the kernel holds for its account
};

class BudgetedQueue;

// What a peer took of its queue over the window, and how long that was.
struct QueuePace {
    std::uint64_t took = 0;
    std::int64_t millis = 0;
    bool operator==(const QueuePace&) const = default;
};

// The queue that must make room for a charge, and why.
struct QueueOver {
    BudgetedQueue* queue = nullptr;
    QueueScope scope = QueueScope::connection;
    QueueCause cause = QueueCause::slow;
    QueuePace pace;
    // What the kernel held for it, and for its account (heldBack).
    std::size_t kernel = 0, accountKernel = 0;
    bool operator==(const QueueOver&) const = default;
};

// One connection's queue as the budget sees it.
class BudgetedQueue {
public:
    virtual ~BudgetedQueue() = default;
    // Bytes its peer has taken since the connection opened: what the
    // kernel has had acknowledged, never less than before.
    virtual std::uint64_t taken() const = 0;
    // Closes as slow: what waits is dropped, the close goes next.
    virtual void makeRoom(const QueueOver& over) = 0;
    // Its reads were held back (it sent past a limit) and may go on.
    virtual void resume() = 0;
    // What the kernel holds for its socket: what it was sent and the relay
    // has not read, and what it was written and its peer has not taken.
    virtual std::size_t kernelBytes() const { return 0; }
};

class QueueBudget {
public:
    using Scope = QueueScope;
    using Cause = QueueCause;
    using Over = QueueOver;

    explicit QueueBudget(QueueLimits limits) : limits_(limits) {}

    // A queue counted against an account ("" for none).
    void add(BudgetedQueue* queue, const std::string& account);
    // Charges `bytes` sent by `sender` (the connection whose message they
    // are, or null) to the queue. When they pass a limit, a queue its peer
    // drains too slowly must make room first: the answer names it, perhaps
    // this one, and nothing is charged. Past its own limit, this one if it
    // is slow; past its account's, that account's slowest; past the total,
    // the slowest of the accounts over their share, never one within it.
    // When no peer is slow enough to close, an account within an even
    // split of the total passes it by up to a quarter whatever its pace,
    // any other only for a queue its peer keeps up with; any other sender
    // is charged and held back: `held` until the queue, its account and the
    // total are within their limits again (within what the total lends,
    // for an account within an even split), when it is resumed. Past what the
    // total lends, with a least share promised to more accounts than the
    // total holds, an account within an even split makes room where a peer
    // is slow in an account over one.
    std::optional<Over> charge(BudgetedQueue* queue, std::size_t bytes, BudgetedQueue* sender);
    void release(BudgetedQueue* queue, std::size_t bytes);
    // The queue is closing as slow: it is never chosen again, what it
    // still holds counts until released, and it is held back no more.
    void closing(BudgetedQueue* queue);
    // Forgets the queue, whatever it still held and its being held back.
    void remove(BudgetedQueue* queue);
    bool held(const BudgetedQueue* sender) const;

    // Notes what each peer with something waiting has taken, and what the
    // kernel holds for each account with a sender held back lately, every
    // fifth of the window (`tickMillis`).
    void tick(std::int64_t nowMillis);
    std::int64_t tickMillis() const { return limits_.windowMillis / 5; }
    // A slow queue standing in the way of a sender held back, or a sender
    // held back of an account past its kernel allowance for a window, to
    // close.
    std::optional<Over> overdue() const;

    std::size_t queued(const BudgetedQueue* queue) const;
    std::size_t queuedFor(const std::string& account) const;
    std::size_t total() const { return total_; }
    const QueueLimits& limits() const { return limits_; }
    // What its peer took over the last window, once it has had something
    // waiting that long.
    std::optional<QueuePace> pace(const BudgetedQueue* queue) const;

    // The words the log gives a scope's limit, as "over the 16 MiB one
    // account may have waiting".
    std::string describe(Scope scope) const;
    // Why the queue was chosen, as the log tells it: what it took, its
    // cause and the limit reached.
    std::string explain(const Over& over) const;

private:
    struct Sample {
        std::int64_t at = 0;
        std::uint64_t taken = 0;
    };
    struct Entry {
        std::string account;
        std::size_t bytes = 0;
        bool closing = false;
        // Taken a tick apart while it has held something, back to the last
        // one a window old.
        std::deque<Sample> samples;
        std::optional<QueuePace> pace;
        // What the kernel held for it at the last tick, and whether it was
        // held back since the tick before.
        std::size_t kernel = 0;
        bool heldBack = false;
    };
    struct Account {
        std::size_t bytes = 0;
        std::vector<BudgetedQueue*> queues;
        std::size_t kernel = 0;
    };
    // An account past its kernel allowance: since when, and since when it
    // has kept within it.
    struct KernelWatch {
        std::int64_t overSince = 0;
        std::optional<std::int64_t> withinSince;
    };

    // The total and what it lends past it.
    std::size_t lent() const { return limits_.total + limits_.total / 4; }
    // The total split evenly among the accounts holding something, and an
    // account's share of it, never less than the least share.
    struct Shares {
        std::size_t even = 0, share = 0;
    };
    Shares shares(bool joining) const;
    bool withinEvenSplit(const Entry& entry) const;
    bool slow(const Entry& entry) const;
    bool keepsUp(const Entry& entry, std::size_t extra) const;
    // The queue whose peer took least, of those slow enough to close that
    // `among` admits.
    template <class Among>
    BudgetedQueue* slowest(const Among& among) const;
    // What stands in the way of `extra` more bytes charged to `queue`: a
    // queue to close, or nothing to close (the bytes may pass, or the
    // sender waits).
    struct Verdict {
        std::optional<Over> over;
        bool passes = false;  // within every limit, or an account within its share lent a little of the total
    };
    Verdict judge(BudgetedQueue* queue, const Entry& entry, std::size_t extra) const;
    void count(BudgetedQueue* queue, Entry& entry, long long bytes);
    void hold(BudgetedQueue* sender, BudgetedQueue* queue);
    void resumeWhereRoom();
    void unlink(BudgetedQueue* queue, Entry& entry);
    void weighKernel(std::int64_t nowMillis);
    void forgetKernel(Entry& entry);

    QueueLimits limits_;
    std::unordered_map<BudgetedQueue*, Entry> queues_;
    std::unordered_map<std::string, Account> accounts_;
    std::unordered_set<BudgetedQueue*> waiting_;  // queues holding something
    std::size_t accountsWaiting_ = 0;             // accounts holding something
    // Senders held back, each with the queue it sent past a limit, the
    // longest held first.
    struct Held {
        BudgetedQueue* sender;
        BudgetedQueue* queue;
    };
    std::vector<Held> held_;
    // Senders held back since the last tick, and the accounts whose kernel
    // memory was weighed at it.
    std::unordered_set<BudgetedQueue*> heldLately_;
    std::unordered_set<std::string> weighed_;
    std::unordered_map<std::string, KernelWatch> kernelWatch_;
    std::int64_t lastTick_ = 0;
    std::size_t total_ = 0;
};

// "4 MiB", "512 KiB" or "1000 bytes": what the log says of a limit.
std::string byteSize(std::size_t bytes);

}  // namespace morvane::relay_service
