// A plain serial executor on a thread of its own: the main queue of the
// harness and of tests, and the private queue of components that want one.
#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "core/executor.h"

namespace morvane {

class LoopExecutor final : public Executor {
public:
    explicit LoopExecutor(std::string name = "loop");
    ~LoopExecutor() override;  // runs what is due, drops timers, joins
    LoopExecutor(const LoopExecutor&) = delete;
    LoopExecutor& operator=(const LoopExecutor&) = delete;

    void post(std::function<void()> work) override;
    void postAfter(std::int64_t delayMillis, std::function<void()> work) override;
    bool isCurrent() const override;
    // Waits until everything posted before this call has run.
    void drain();

private:
    void run();
    std::string name_;
    mutable std::mutex m_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> ready_;
    std::multimap<std::int64_t, std::function<void()>> timers_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace morvane
