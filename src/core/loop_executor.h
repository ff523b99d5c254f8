// A plain serial executor on a thread of its own: the main queue of the
// harness and of tests, and the background queues the program's assembly
// makes and hands to its components.
#pragma once

#include <memory>
#include <string>
#include <thread>

#include "core/executor.h"

namespace morvane {

class LoopExecutor final : public Executor {
public:
    explicit LoopExecutor(std::string name = "loop");
    // Runs what was posted, drops timers and joins. Destroyed from its own
    // thread (the last owner let go inside a piece of its work), it cannot
    // join: the thread then finishes what was posted and ends on its own.
    ~LoopExecutor() override;
    LoopExecutor(const LoopExecutor&) = delete;
    LoopExecutor& operator=(const LoopExecutor&) = delete;

    // Dropped once the queue is stopping.
    void post(std::function<void()> work) override;
    void postAfter(std::int64_t delayMillis, std::function<void()> work) override;
    bool isCurrent() const override;
    // Once the queue is stopping, returns when what it still holds has run
    // rather than waiting for work it no longer takes.
    void drain() override;

private:
    struct State;
    static void run(const std::shared_ptr<State>& state);
    // Shared with the thread, which may outlive this object (see above).
    std::shared_ptr<State> state_;
    std::thread thread_;
};

}  // namespace morvane
