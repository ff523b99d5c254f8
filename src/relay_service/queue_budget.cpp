#include "relay_service/queue_budget.h"

#include <algorithm>
#include <limits>

namespace morvane::relay_service {

void QueueBudget::add(BudgetedQueue* queue, const std::string& account) {
    queues_[queue] = Entry{account, 0, false};
    // Queues of no account are pooled, so that they too have a share.
    accounts_[account].queues.push_back(queue);
}

std::optional<QueueBudget::Over> QueueBudget::charge(BudgetedQueue* queue, std::size_t bytes, std::int64_t nowMillis) {
    const auto found = queues_.find(queue);
    if (found == queues_.end()) return Over{queue, Scope::connection};
    Entry& entry = found->second;
    if (entry.bytes + bytes > limits_.perConnection) return Over{queue, Scope::connection};
    auto& owner = accounts_.at(entry.account);
    if (!entry.account.empty() && owner.bytes + bytes > limits_.perAccount)
        return choose(&owner.queues, Scope::account, queue, bytes, nowMillis);
    if (total_ + bytes > limits_.total) return choose(nullptr, Scope::total, queue, bytes, nowMillis);
    entry.bytes += bytes;
    total_ += bytes;
    owner.bytes += bytes;
    return std::nullopt;
}

void QueueBudget::release(BudgetedQueue* queue, std::size_t bytes) {
    const auto found = queues_.find(queue);
    if (found == queues_.end()) return;
    Entry& entry = found->second;
    bytes = std::min(bytes, entry.bytes);
    entry.bytes -= bytes;
    total_ -= bytes;
    accounts_.at(entry.account).bytes -= bytes;
}

void QueueBudget::closing(BudgetedQueue* queue) {
    if (const auto found = queues_.find(queue); found != queues_.end()) found->second.closing = true;
}

void QueueBudget::remove(BudgetedQueue* queue) {
    const auto found = queues_.find(queue);
    if (found == queues_.end()) return;
    total_ -= found->second.bytes;
    unlink(queue, found->second);
    queues_.erase(found);
}

std::size_t QueueBudget::queued(const BudgetedQueue* queue) const {
    const auto found = queues_.find(const_cast<BudgetedQueue*>(queue));
    return found == queues_.end() ? 0 : found->second.bytes;
}

std::size_t QueueBudget::queuedFor(const std::string& account) const {
    const auto found = accounts_.find(account);
    return found == accounts_.end() ? 0 : found->second.bytes;
}

std::string QueueBudget::describe(Scope scope) const {
    switch (scope) {
        case Scope::connection:
            return "over the " + byteSize(limits_.perConnection) + " one connection may have waiting";
        case Scope::account:
            return "over the " + byteSize(limits_.perAccount) + " one account may have waiting";
        case Scope::total:
            return "over the " + byteSize(limits_.total) + " the relay may have waiting in all";
    }
    return "";
}

std::string QueueBudget::explain(const Over& over) const {
    std::string why;
    switch (over.cause) {
        case Cause::ownLimit: why = "it does not read what it is sent"; break;
        case Cause::stuck:
            why = "it has taken nothing of what it is sent for " + std::to_string(over.stillMillis) +
                  " ms, the longest of " + (over.scope == Scope::account ? "its account's connections" : "any connection");
            break;
        case Cause::overShare: why = "its account has the most waiting of any"; break;
        case Cause::stillWriting: why = "it was closed as slow and the room its unfinished write holds is needed"; break;
    }
    return why + ", " + describe(over.scope);
}

QueueBudget::Over QueueBudget::choose(const std::vector<BudgetedQueue*>* among, Scope scope, BudgetedQueue* charged,
                                      std::size_t extra, std::int64_t nowMillis) const {
    // The open queue whose front write has not moved for longest; the
    // charged one, idle before, would begin its write now.
    BudgetedQueue* stalest = charged;
    // Among all, a queue closed as slow whose unfinished write holds the
    // room: its peer was judged already, and its grace is worth less than
    // the room of a queue that reads.
    BudgetedQueue* writing = nullptr;
    std::size_t most = 0;
    const auto since = [&](BudgetedQueue* queue, const Entry& entry) {
        return entry.bytes == 0 ? nowMillis : queue->movedAt();
    };
    std::int64_t oldest = since(charged, queues_.at(charged));
    const auto consider = [&](BudgetedQueue* queue, const Entry& entry) {
        if (entry.bytes == 0 || queue == charged) return;
        if (entry.closing) {
            if (scope == Scope::total && entry.bytes > most) writing = queue, most = entry.bytes;
            return;
        }
        if (const auto moved = queue->movedAt(); moved < oldest) stalest = queue, oldest = moved;
    };
    if (among) {
        for (auto* queue : *among) consider(queue, queues_.at(queue));
    } else {
        for (const auto& [queue, entry] : queues_) consider(queue, entry);
    }
    // Within one account the stalest goes, perhaps the charged one: it is
    // that account's own to choose. Among all, a queue that merely moved a
    // moment before another is not stuck.
    if (scope == Scope::account || nowMillis - oldest >= limits_.stuckMillis)
        return Over{stalest, scope, Cause::stuck, nowMillis - oldest};
    if (writing) return Over{writing, scope, Cause::stillWriting, nowMillis - writing->movedAt()};
    // Nothing is stuck: the account holding most (the furthest over its
    // share) gives up its stalest queue.
    const auto& chargedAccount = queues_.at(charged).account;
    const Account* heaviest = nullptr;
    std::size_t heaviestBytes = 0;
    for (const auto& [name, account] : accounts_) {
        const auto bytes = account.bytes + (name == chargedAccount ? extra : 0);
        if (!heaviest || bytes > heaviestBytes) heaviest = &account, heaviestBytes = bytes;
    }
    BudgetedQueue* chosen = nullptr;
    oldest = std::numeric_limits<std::int64_t>::max();
    for (auto* queue : heaviest->queues) {
        const auto& entry = queues_.at(queue);
        if (entry.closing || (entry.bytes == 0 && queue != charged)) continue;
        if (const auto moved = since(queue, entry); moved < oldest) chosen = queue, oldest = moved;
    }
    if (!chosen) chosen = charged, oldest = nowMillis;
    return Over{chosen, scope, Cause::overShare, nowMillis - oldest};
}

void QueueBudget::unlink(BudgetedQueue* queue, Entry& entry) {
    const auto found = accounts_.find(entry.account);
    if (found == accounts_.end()) return;
    found->second.bytes -= std::min(found->second.bytes, entry.bytes);
    std::erase(found->second.queues, queue);
    if (found->second.queues.empty()) accounts_.erase(found);
}

std::string byteSize(std::size_t bytes) {
    if (bytes >= (1u << 20) && bytes % (1u << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
    if (bytes >= (1u << 10) && bytes % (1u << 10) == 0) return std::to_string(bytes >> 10) + " KiB";
    return std::to_string(bytes) + " bytes";
}

}  // namespace morvane::relay_service
