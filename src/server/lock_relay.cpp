#include "server/lock_relay.h"

namespace morvane {

nlohmann::json LockMessage::state(const LockFacts& facts) {
    return {{"t", "lock-state"}, {"can", facts.canLock}, {"onDisconnect", facts.onDisconnect}};
}

nlohmann::json LockMessage::result(bool locked) { return {{"t", "lock-result"}, {"locked", locked}}; }

LockRelay::LockRelay(Executor& queue) : queue_(queue) {}

void LockRelay::attach(std::shared_ptr<SessionLink> link) {
    expectOn(queue_, __func__);
    link_ = std::move(link);
    firstAskOfSession_ = nextAsk_;
    waiting_.reset();
    owed_ = link_ && !facts_.canLock;
    if (link_ && !owed_) link_->sendJSON(LockMessage::state(facts_));
}

void LockRelay::setFacts(const LockFacts& facts) {
    expectOn(queue_, __func__);
    if (facts == facts_ && !owed_) return;
    facts_ = facts;
    owed_ = false;
    if (link_) link_->sendJSON(LockMessage::state(facts_));
}

std::uint64_t LockRelay::asked() {
    expectOn(queue_, __func__);
    return nextAsk_++;
}

std::optional<std::uint64_t> LockRelay::tapped(std::int64_t nowMillis) {
    expectOn(queue_, __func__);
    if (waiting_ && nowMillis - waiting_->since < joinMillis) return std::nullopt;
    const auto ask = asked();
    waiting_ = Waiting{ask, nowMillis};
    return ask;
}

void LockRelay::answered(std::uint64_t ask, bool locked) {
    expectOn(queue_, __func__);
    if (waiting_ && ask >= waiting_->ask) waiting_.reset();
    if (!link_ || ask < firstAskOfSession_ || ask >= nextAsk_) return;
    link_->sendJSON(LockMessage::result(locked));
}

}  // namespace morvane
