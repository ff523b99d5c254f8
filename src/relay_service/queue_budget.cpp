#include "relay_service/queue_budget.h"

#include <algorithm>

namespace morvane::relay_service {

void QueueBudget::add(BudgetedQueue* queue, const std::string& account) {
    queues_[queue] = Entry{account, 0, false};
    if (!account.empty()) accounts_[account].queues.push_back(queue);
}

std::optional<QueueBudget::Over> QueueBudget::charge(BudgetedQueue* queue, std::size_t bytes) {
    const auto found = queues_.find(queue);
    if (found == queues_.end()) return Over{queue, Scope::connection};
    Entry& entry = found->second;
    if (entry.bytes + bytes > limits_.perConnection) return Over{queue, Scope::connection};
    if (!entry.account.empty()) {
        const auto& owner = accounts_.at(entry.account);
        if (owner.bytes + bytes > limits_.perAccount)
            return Over{fullest(&owner.queues, queue, bytes), Scope::account};
    }
    if (total_ + bytes > limits_.total) return Over{fullest(nullptr, queue, bytes), Scope::total};
    entry.bytes += bytes;
    total_ += bytes;
    if (!entry.account.empty()) accounts_.at(entry.account).bytes += bytes;
    return std::nullopt;
}

void QueueBudget::release(BudgetedQueue* queue, std::size_t bytes) {
    const auto found = queues_.find(queue);
    if (found == queues_.end()) return;
    Entry& entry = found->second;
    bytes = std::min(bytes, entry.bytes);
    entry.bytes -= bytes;
    total_ -= bytes;
    if (!entry.account.empty()) accounts_.at(entry.account).bytes -= bytes;
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

BudgetedQueue* QueueBudget::fullest(const std::vector<BudgetedQueue*>* among, BudgetedQueue* charged,
                                    std::size_t extra) const {
    BudgetedQueue* chosen = charged;
    std::size_t most = queued(charged) + extra;
    const auto consider = [&](BudgetedQueue* queue, const Entry& entry) {
        if (entry.closing || queue == charged || entry.bytes <= most) return;
        chosen = queue;
        most = entry.bytes;
    };
    if (among) {
        for (auto* queue : *among) consider(queue, queues_.at(queue));
    } else {
        for (const auto& [queue, entry] : queues_) consider(queue, entry);
    }
    return chosen;
}

void QueueBudget::unlink(BudgetedQueue* queue, Entry& entry) {
    if (entry.account.empty()) return;
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
