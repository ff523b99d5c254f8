#include "core/loop_executor.h"

#include "core/clock.h"

namespace morvane {

LoopExecutor::LoopExecutor(std::string name) : name_(std::move(name)) {
    thread_ = std::thread([this] { run(); });
}

LoopExecutor::~LoopExecutor() {
    {
        std::lock_guard lock(m_);
        stopping_ = true;
        timers_.clear();
    }
    cv_.notify_all();
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id())
            thread_.detach();
        else
            thread_.join();
    }
}

void LoopExecutor::post(std::function<void()> work) {
    {
        std::lock_guard lock(m_);
        if (stopping_) return;
        ready_.push_back(std::move(work));
    }
    cv_.notify_all();
}

void LoopExecutor::postAfter(std::int64_t delayMillis, std::function<void()> work) {
    {
        std::lock_guard lock(m_);
        if (stopping_) return;
        timers_.emplace(nowMillis() + (delayMillis > 0 ? delayMillis : 0), std::move(work));
    }
    cv_.notify_all();
}

bool LoopExecutor::isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }

void LoopExecutor::drain() { runSync(*this, [] {}); }

void LoopExecutor::run() {
    std::unique_lock lock(m_);
    for (;;) {
        auto now = nowMillis();
        while (!timers_.empty() && timers_.begin()->first <= now) {
            ready_.push_back(std::move(timers_.begin()->second));
            timers_.erase(timers_.begin());
        }
        if (!ready_.empty()) {
            auto work = std::move(ready_.front());
            ready_.pop_front();
            lock.unlock();
            work();
            lock.lock();
            continue;
        }
        if (stopping_) return;
        if (timers_.empty())
            cv_.wait(lock);
        else
            cv_.wait_for(lock, std::chrono::milliseconds(timers_.begin()->first - now));
    }
}

}  // namespace morvane
