#include "core/loop_executor.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <stdexcept>

#include "core/clock.h"

namespace morvane {

struct LoopExecutor::State {
    std::string name;
    std::mutex m;
    std::condition_variable cv;
    std::deque<std::function<void()>> ready;
    std::multimap<std::int64_t, std::function<void()>> timers;
    std::uint64_t posted = 0;    // pieces of work taken so far
    std::uint64_t finished = 0;  // of those, how many have run
    bool stopping = false;
};

LoopExecutor::LoopExecutor(std::string name) : state_(std::make_shared<State>()) {
    state_->name = std::move(name);
    thread_ = std::thread([state = state_] { run(state); });
}

LoopExecutor::~LoopExecutor() {
    {
        std::lock_guard lock(state_->m);
        state_->stopping = true;
        state_->timers.clear();
    }
    state_->cv.notify_all();
    if (!thread_.joinable()) return;
    if (thread_.get_id() == std::this_thread::get_id())
        thread_.detach();
    else
        thread_.join();
}

void LoopExecutor::post(std::function<void()> work) {
    {
        std::lock_guard lock(state_->m);
        if (state_->stopping) return;
        state_->ready.push_back(std::move(work));
        ++state_->posted;
    }
    state_->cv.notify_all();
}

void LoopExecutor::postAfter(std::int64_t delayMillis, std::function<void()> work) {
    {
        std::lock_guard lock(state_->m);
        if (state_->stopping) return;
        state_->timers.emplace(nowMillis() + (delayMillis > 0 ? delayMillis : 0), std::move(work));
    }
    state_->cv.notify_all();
}

bool LoopExecutor::isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }

void LoopExecutor::drain() {
    if (isCurrent()) throw std::logic_error("synchronous call on its own queue would deadlock");
    std::unique_lock lock(state_->m);
    // Everything taken before this call has run once the count of finished
    // work reaches it. A stopping queue takes nothing new but still runs all
    // it took, so the count gets there.
    const std::uint64_t target = state_->posted;
    state_->cv.wait(lock, [&] { return state_->finished >= target; });
}

void LoopExecutor::run(const std::shared_ptr<State>& state) {
    std::unique_lock lock(state->m);
    for (;;) {
        auto now = nowMillis();
        while (!state->timers.empty() && state->timers.begin()->first <= now) {
            state->ready.push_back(std::move(state->timers.begin()->second));
            state->timers.erase(state->timers.begin());
            ++state->posted;
        }
        if (!state->ready.empty()) {
            auto work = std::move(state->ready.front());
            state->ready.pop_front();
            lock.unlock();
            work();
            // The work's captures go before the count says it has run.
            work = nullptr;
            lock.lock();
            ++state->finished;
            state->cv.notify_all();
            continue;
        }
        if (state->stopping) return;
        if (state->timers.empty())
            state->cv.wait(lock);
        else
            state->cv.wait_for(lock, std::chrono::milliseconds(state->timers.begin()->first - now));
    }
}

}  // namespace morvane
