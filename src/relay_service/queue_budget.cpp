#include "relay_service/queue_budget.h"

#include <algorithm>

namespace morvane::relay_service {

void QueueBudget::add(BudgetedQueue* queue, const std::string& account) {
    Entry entry;
    entry.account = account;
    queues_[queue] = std::move(entry);
    // Queues of no account are pooled, so that they too have a share.
    accounts_[account].queues.push_back(queue);
}

std::optional<QueueBudget::Over> QueueBudget::charge(BudgetedQueue* queue, std::size_t bytes, BudgetedQueue* sender) {
    const auto found = queues_.find(queue);
    if (found == queues_.end()) return Over{queue, Scope::connection, Cause::slow, {}};
    Entry& entry = found->second;
    const auto verdict = judge(queue, entry, bytes);
    if (verdict.over) return verdict.over;
    count(queue, entry, static_cast<long long>(bytes));
    if (!verdict.passes && sender && queues_.contains(sender)) hold(sender, queue);
    return std::nullopt;
}

QueueBudget::Verdict QueueBudget::judge(BudgetedQueue* queue, const Entry& entry, std::size_t extra) const {
    if (entry.bytes + extra > limits_.perConnection) {
        if (slow(entry)) return {Over{queue, Scope::connection, Cause::slow, *entry.pace}};
        return {};
    }
    const auto& owner = accounts_.at(entry.account);
    if (!entry.account.empty() && owner.bytes + extra > limits_.perAccount) {
        if (auto* chosen = slowest(owner.queues))
            return {Over{chosen, Scope::account, Cause::slowestOfAccount, *queues_.at(chosen).pace}};
        return {};
    }
    if (total_ + extra <= limits_.total) return {std::nullopt, true};
    const auto split = shares(owner.bytes == 0);
    const auto holds = [&](const std::string& name) {
        return accounts_.at(name).bytes + (name == entry.account ? extra : 0);
    };
    const auto over = [&](std::size_t share) {
        std::vector<BudgetedQueue*> heavy;
        for (auto* waiting : waiting_)
            if (holds(queues_.at(waiting).account) > share) heavy.push_back(waiting);
        return heavy;
    };
    if (auto* chosen = slowest(over(split.share)))
        return {Over{chosen, Scope::total, Cause::slowestOverShare, *queues_.at(chosen).pace}};
    // Nobody slow to spare. The quarter more the total lends is first for
    // an account within an even split of the total, whatever its pace: room
    // taken from it for others' sake would punish a phone on a bad link
    // beside strangers who read just fast enough. (The least share above
    // an even split is not room the relay has for every account at once.)
    // Any other is lent only for a queue its peer keeps up with, so what it
    // borrows is back in seconds.
    if (total_ + extra <= lent() && (holds(entry.account) <= split.even || keepsUp(entry, extra)))
        return {std::nullopt, true};
    // Past that, with the least share promised to more accounts than the
    // total holds, an account within an even split makes room where a peer
    // is slow in an account holding more than one; else it waits too. One
    // over an even split (a phone that reads fast among them) waits rather
    // than close a phone on a bad link that holds no more than a credit
    // window.
    if (holds(entry.account) <= split.even && split.even < split.share)
        if (auto* chosen = slowest(over(split.even)))
            return {Over{chosen, Scope::total, Cause::slowestOverEvenSplit, *queues_.at(chosen).pace}};
    return {};
}

QueueBudget::Shares QueueBudget::shares(bool joining) const {
    // An equal share of the total for each account holding something, one
    // about to be counted with them.
    const auto holding = std::max<std::size_t>(accountsWaiting_ + (joining ? 1 : 0), 1);
    const auto even = limits_.total / holding;
    return {even, std::max(even, limits_.leastShare)};
}

bool QueueBudget::keepsUp(const Entry& entry, std::size_t extra) const {
    const auto bytes = static_cast<std::uint64_t>(entry.bytes + extra);
    const auto& samples = entry.samples;
    if (samples.size() < 2) return bytes <= limits_.leastShare;
    const auto took = samples.back().taken - samples.front().taken;
    const auto millis = static_cast<std::uint64_t>(samples.back().at - samples.front().at);
    return bytes * millis <= took * static_cast<std::uint64_t>(limits_.keepUpMillis);
}

bool QueueBudget::withinEvenSplit(const Entry& entry) const {
    return accounts_.at(entry.account).bytes <= shares(false).even;
}

bool QueueBudget::slow(const Entry& entry) const {
    return !entry.closing && entry.pace &&
           entry.pace->took * 1000 < limits_.floorBytesPerSecond * static_cast<std::uint64_t>(entry.pace->millis);
}

template <class Among>
BudgetedQueue* QueueBudget::slowest(const Among& among) const {
    BudgetedQueue* chosen = nullptr;
    const Entry* best = nullptr;
    for (auto* queue : among) {
        const auto& entry = queues_.at(queue);
        if (entry.bytes == 0 || !slow(entry)) continue;
        // Took least a second; of two alike, the one holding more.
        if (best) {
            const auto mine = entry.pace->took * static_cast<std::uint64_t>(best->pace->millis);
            const auto theirs = best->pace->took * static_cast<std::uint64_t>(entry.pace->millis);
            if (mine > theirs || (mine == theirs && entry.bytes <= best->bytes)) continue;
        }
        chosen = queue, best = &entry;
    }
    return chosen;
}

void QueueBudget::count(BudgetedQueue* queue, Entry& entry, long long bytes) {
    auto& owner = accounts_.at(entry.account);
    const bool was = entry.bytes > 0, accountWas = owner.bytes > 0;
    entry.bytes = static_cast<std::size_t>(static_cast<long long>(entry.bytes) + bytes);
    if (!entry.closing) owner.bytes = static_cast<std::size_t>(static_cast<long long>(owner.bytes) + bytes);
    total_ = static_cast<std::size_t>(static_cast<long long>(total_) + bytes);
    if (!was && entry.bytes > 0) waiting_.insert(queue);
    if (was && entry.bytes == 0) {
        waiting_.erase(queue);
        // Its peer took all it had: the next wait is judged afresh.
        entry.samples.clear();
        entry.pace.reset();
    }
    if (!accountWas && owner.bytes > 0) ++accountsWaiting_;
    if (accountWas && owner.bytes == 0) --accountsWaiting_;
}

void QueueBudget::release(BudgetedQueue* queue, std::size_t bytes) {
    const auto found = queues_.find(queue);
    if (found == queues_.end()) return;
    count(queue, found->second, -static_cast<long long>(std::min(bytes, found->second.bytes)));
    if (!held_.empty()) resumeWhereRoom();
}

void QueueBudget::hold(BudgetedQueue* sender, BudgetedQueue* queue) {
    heldLately_.insert(sender);
    if (const auto found = std::find_if(held_.begin(), held_.end(), [&](const Held& held) { return held.sender == sender; });
        found != held_.end()) {
        found->queue = queue;
        return;
    }
    held_.push_back(Held{sender, queue});
}

bool QueueBudget::held(const BudgetedQueue* sender) const {
    return std::any_of(held_.begin(), held_.end(), [&](const Held& held) { return held.sender == sender; });
}

void QueueBudget::resumeWhereRoom() {
    // A sender goes on once its queue and its account are within their
    // limits and the total is too, or within what the total lends, the
    // queue's account within an even split or the queue kept up with: an
    // account over its share waits behind those within it. While the total
    // is only just kept, the longest held goes on alone: each reads a
    // message before it is judged again, and all at once would pass the
    // total by a message each.
    std::vector<BudgetedQueue*> going;
    const bool roomy = total_ + limits_.total / 8 <= limits_.total;
    bool room = total_ <= limits_.total;
    for (auto it = held_.begin(); it != held_.end();) {
        // A queue gone, or closing, takes nothing more.
        const auto found = queues_.find(it->queue);
        bool goes = found == queues_.end() || found->second.closing;
        if (!goes) {
            const auto& entry = found->second;
            const bool within = entry.bytes <= limits_.perConnection &&
                                (entry.account.empty() || accounts_.at(entry.account).bytes <= limits_.perAccount);
            if (within && room) {
                goes = true;
                room = roomy;
            } else {
                goes = within && total_ <= lent() && (withinEvenSplit(entry) || keepsUp(entry, 0));
            }
        }
        if (!goes) {
            ++it;
            continue;
        }
        going.push_back(it->sender);
        it = held_.erase(it);
    }
    for (auto* sender : going) sender->resume();
}

void QueueBudget::closing(BudgetedQueue* queue) {
    const auto found = queues_.find(queue);
    if (found == queues_.end() || found->second.closing) return;
    // What it still writes counts in all until it is released, but no
    // longer holds back its account's other senders: the peer was judged.
    auto& entry = found->second;
    auto& owner = accounts_.at(entry.account);
    const bool accountWas = owner.bytes > 0;
    owner.bytes -= entry.bytes;
    if (accountWas && owner.bytes == 0) --accountsWaiting_;
    entry.closing = true;
    forgetKernel(entry);
    // What it sends goes nowhere now: it is read to its close, not held.
    std::erase_if(held_, [&](const Held& held) { return held.sender == queue; });
    if (!held_.empty()) resumeWhereRoom();
}

void QueueBudget::remove(BudgetedQueue* queue) {
    const auto found = queues_.find(queue);
    if (found == queues_.end()) return;
    count(queue, found->second, -static_cast<long long>(found->second.bytes));
    forgetKernel(found->second);
    unlink(queue, found->second);
    queues_.erase(found);
    heldLately_.erase(queue);
    std::erase_if(held_, [&](const Held& held) { return held.sender == queue; });
    if (!held_.empty()) resumeWhereRoom();
}

void QueueBudget::tick(std::int64_t nowMillis) {
    // A sender let go reads, and what it sends on is released in turn; one
    // whose messages went nowhere leaves the next waiting for this.
    if (!held_.empty()) resumeWhereRoom();
    lastTick_ = nowMillis;
    weighKernel(nowMillis);
    for (auto* queue : waiting_) {
        auto& entry = queues_.at(queue);
        if (entry.closing) continue;
        auto& samples = entry.samples;
        samples.push_back(Sample{nowMillis, queue->taken()});
        // Keep the newest sample a window old, for the next window's start.
        while (samples.size() > 2 && samples[1].at <= nowMillis - limits_.windowMillis) samples.pop_front();
        const auto& first = samples.front();
        if (first.at <= nowMillis - limits_.windowMillis)
            entry.pace = QueuePace{samples.back().taken - std::min(first.taken, samples.back().taken), nowMillis - first.at};
    }
}

void QueueBudget::weighKernel(std::int64_t nowMillis) {
    // Only an account with a sender held back since the last tick, or
    // still, is weighed: anyone else's sockets are read as they are sent
    // to, and their kernel holds what is on its way.
    for (const auto& held : held_) heldLately_.insert(held.sender);
    std::unordered_set<std::string> weighing;
    for (auto* sender : heldLately_)
        if (const auto found = queues_.find(sender); found != queues_.end() && !found->second.account.empty())
            weighing.insert(found->second.account);
    for (const auto& name : weighed_) {
        const auto found = accounts_.find(name);
        if (weighing.contains(name) || found == accounts_.end()) continue;
        for (auto* queue : found->second.queues) forgetKernel(queues_.at(queue));
    }
    for (const auto& name : weighing) {
        auto& account = accounts_.at(name);
        account.kernel = 0;
        for (auto* queue : account.queues) {
            auto& entry = queues_.at(queue);
            entry.heldBack = heldLately_.contains(queue);
            entry.kernel = entry.closing ? 0 : queue->kernelBytes();
            account.kernel += entry.kernel;
        }
        if (account.kernel <= limits_.kernelPerAccount) continue;
        auto& watch = kernelWatch_.try_emplace(name, KernelWatch{nowMillis, std::nullopt}).first->second;
        watch.withinSince.reset();
    }
    // An account past its allowance stays watched until it has kept within
    // it for a while: one that passes it again meanwhile gets no window.
    for (auto it = kernelWatch_.begin(); it != kernelWatch_.end();) {
        auto& [name, watch] = *it;
        const auto found = accounts_.find(name);
        const bool over = weighing.contains(name) && found != accounts_.end() &&
                          found->second.kernel > limits_.kernelPerAccount;
        if (!over && !watch.withinSince) watch.withinSince = nowMillis;
        if (!over && nowMillis - *watch.withinSince >= limits_.kernelWatchMillis) {
            it = kernelWatch_.erase(it);
        } else {
            ++it;
        }
    }
    weighed_ = std::move(weighing);
    heldLately_.clear();
}

void QueueBudget::forgetKernel(Entry& entry) {
    if (const auto found = accounts_.find(entry.account); found != accounts_.end())
        found->second.kernel -= std::min(found->second.kernel, entry.kernel);
    entry.kernel = 0;
    entry.heldBack = false;
}

std::optional<QueueBudget::Over> QueueBudget::overdue() const {
    for (const auto& [sender, queue] : held_) {
        const auto found = queues_.find(queue);
        if (found == queues_.end()) continue;
        if (const auto verdict = judge(queue, found->second, 0); verdict.over) return verdict.over;
    }
    // An account past its kernel allowance for a window: the sender held
    // back holding most there, one at a time until it is within it.
    for (const auto& name : weighed_) {
        const auto found = accounts_.find(name);
        if (found == accounts_.end()) continue;
        const auto& account = found->second;
        const auto watch = kernelWatch_.find(name);
        if (account.kernel <= limits_.kernelPerAccount || watch == kernelWatch_.end() ||
            lastTick_ - watch->second.overSince < limits_.windowMillis)
            continue;
        BudgetedQueue* chosen = nullptr;
        std::size_t most = 0;
        for (auto* queue : account.queues) {
            const auto& entry = queues_.at(queue);
            if (entry.heldBack && !entry.closing && entry.kernel > most) chosen = queue, most = entry.kernel;
        }
        if (chosen) return Over{chosen, Scope::kernel, Cause::heldBack, {}, most, account.kernel};
    }
    return std::nullopt;
}

std::size_t QueueBudget::queued(const BudgetedQueue* queue) const {
    const auto found = queues_.find(const_cast<BudgetedQueue*>(queue));
    return found == queues_.end() ? 0 : found->second.bytes;
}

std::size_t QueueBudget::queuedFor(const std::string& account) const {
    const auto found = accounts_.find(account);
    return found == accounts_.end() ? 0 : found->second.bytes;
}

std::optional<QueuePace> QueueBudget::pace(const BudgetedQueue* queue) const {
    const auto found = queues_.find(const_cast<BudgetedQueue*>(queue));
    return found == queues_.end() ? std::nullopt : found->second.pace;
}

std::string QueueBudget::describe(Scope scope) const {
    switch (scope) {
        case Scope::connection:
            return "over the " + byteSize(limits_.perConnection) + " one connection may have waiting";
        case Scope::account:
            return "over the " + byteSize(limits_.perAccount) + " one account may have waiting";
        case Scope::total:
            return "over the " + byteSize(limits_.total) + " the relay may have waiting in all";
        case Scope::kernel:
            return "over the " + byteSize(limits_.kernelPerAccount) +
                   " of the kernel's memory one account's sockets may hold while their reads are held back";
    }
    return "";
}

std::string QueueBudget::explain(const Over& over) const {
    if (over.cause == Cause::heldBack)
        return "what it sent waited unread while its reads were held back, " + std::to_string(over.kernel >> 10) +
               " KiB of it in the kernel, the most of its account's sockets, which held " +
               std::to_string(over.accountKernel >> 10) + " KiB there for a window; " + describe(over.scope);
    const auto seconds = std::to_string(over.pace.millis / 1000) + "." + std::to_string(over.pace.millis % 1000 / 100);
    std::string why = "it took " + std::to_string(over.pace.took >> 10) + " KiB of what it is sent in " + seconds +
                      " s, under the " + byteSize(limits_.floorBytesPerSecond) + " a second asked of a peer";
    switch (over.cause) {
        case Cause::slow: break;
        case Cause::slowestOfAccount: why += ", the slowest of its account's connections"; break;
        case Cause::slowestOverShare: why += ", the slowest of the accounts holding more than their share"; break;
        case Cause::slowestOverEvenSplit:
            why += ", the slowest of the accounts holding more than an even split of the total among all that hold some";
            break;
        case Cause::heldBack: break;
    }
    return why + "; " + describe(over.scope);
}

void QueueBudget::unlink(BudgetedQueue* queue, Entry& entry) {
    const auto found = accounts_.find(entry.account);
    if (found == accounts_.end()) return;
    std::erase(found->second.queues, queue);
    if (found->second.queues.empty()) accounts_.erase(found);
}

std::string byteSize(std::size_t bytes) {
    if (bytes >= (1u << 20) && bytes % (1u << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
    if (bytes >= (1u << 10) && bytes % (1u << 10) == 0) return std::to_string(bytes >> 10) + " KiB";
    return std::to_string(bytes) + " bytes";
}

}  // namespace morvane::relay_service
