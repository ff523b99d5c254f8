// Work that may block (the store, the mail server) kept off the network
// thread: each job runs on a serial worker queue and its result comes back
// on the network queue. The queue is bounded twice over: a job that finds
// as many as `maxWaiting` ahead of it, or that is not done within
// `maxWaitMillis`, is answered at once with no result (the caller says
// "try-later") and, if it had not started, never touches the worker. The
// first refusal after a good spell is logged as an error, the end of the
// spell as information.
//
// Called on the network queue only. The owner keeps both queues alive
// longer than this one and calls close() (or lets it go) before what the
// jobs use is gone: close() waits for the job the worker is on.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/executor.h"
#include "relay_service/relay_log.h"

namespace morvane::relay_service {

struct WorkQueueLimits {
    std::size_t maxWaiting = 256;
    // A store that answers at all answers in milliseconds; past this, a
    // host's call (which gives up after 15 s) still hears "try-later".
    std::int64_t maxWaitMillis = 5'000;
};

class WorkQueue {
public:
    // `name` is what the log calls the worker ("the store", "the mail").
    WorkQueue(std::string name, Executor& worker, Executor& network, std::function<std::int64_t()> monotonicMillis,
              WorkQueueLimits limits, RelayLog log);
    ~WorkQueue();
    WorkQueue(const WorkQueue&) = delete;
    WorkQueue& operator=(const WorkQueue&) = delete;

    // `work` on the worker; `done` on the network queue with what it
    // returned, or with nothing when the job was refused or ran out of
    // time. `done` is never called once the queue is closed.
    template <class T>
    void run(std::function<T()> work, std::function<void(std::optional<T>)> done) {
        auto result = std::make_shared<std::optional<T>>();
        submit([work = std::move(work), result] { *result = work(); },
               [done = std::move(done), result](bool ran) { done(ran ? std::move(*result) : std::nullopt); });
    }

    // Jobs not yet finished with by the worker.
    std::size_t waiting() const;
    // Skips what is still queued and waits for the job the worker is on.
    void close();

private:
    struct Job;
    struct Shared;
    void submit(std::function<void()> work, std::function<void(bool ran)> finish);
    void finished(const std::shared_ptr<Job>& job);
    void sweep();
    void arm();
    void refused(const std::string& why);

    std::string name_;
    Executor& worker_;
    Executor& network_;
    std::function<std::int64_t()> now_;
    WorkQueueLimits limits_;
    RelayLog log_;
    std::shared_ptr<Shared> shared_;
    // Jobs not answered yet, oldest first: their deadlines come in order.
    std::deque<std::shared_ptr<Job>> pending_;
    bool armed_ = false;
    bool refusing_ = false;
    std::size_t refusals_ = 0;
};

}  // namespace morvane::relay_service
