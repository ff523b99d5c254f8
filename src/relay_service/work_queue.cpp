#include "relay_service/work_queue.h"

#include <algorithm>

namespace morvane::relay_service {

namespace {

std::string secondsText(std::int64_t millis) {
    return millis % 1000 == 0 ? std::to_string(millis / 1000) + " s" : std::to_string(millis) + " ms";
}

}  // namespace

struct WorkQueue::Job {
    // Only the worker moves a job from waiting to running; only the network
    // queue answers it, on time or not.
    enum State : int { waiting, running, answered };
    std::atomic<int> state{waiting};
    std::int64_t deadline = 0;
    bool failed = false;                // the work threw: set by the worker before it hands the job back
    std::string failure;
    std::function<void(bool)> finish;  // network queue only
};

// What the worker's jobs and the posts back share with the queue, which
// may be closed while they are still on their way.
struct WorkQueue::Shared {
    std::atomic<std::size_t> held{0};
    std::atomic<bool> closed{false};
};

WorkQueue::WorkQueue(std::string name, Executor& worker, Executor& network, std::function<std::int64_t()> monotonicMillis,
                     WorkQueueLimits limits, RelayLog log)
    : name_(std::move(name)),
      worker_(worker),
      network_(network),
      now_(std::move(monotonicMillis)),
      limits_(limits),
      log_(std::move(log)),
      shared_(std::make_shared<Shared>()) {}

WorkQueue::~WorkQueue() { close(); }

std::size_t WorkQueue::waiting() const { return shared_->held.load(); }

void WorkQueue::close() {
    if (shared_->closed.exchange(true)) return;
    worker_.drain();
    pending_.clear();
}

void WorkQueue::submit(std::function<void()> work, std::function<void(bool)> finish) {
    if (shared_->closed) return;
    if (shared_->held.load() >= limits_.maxWaiting) {
        refused(std::to_string(limits_.maxWaiting) + " waiting");
        network_.post([shared = shared_, finish = std::move(finish)] {
            if (!shared->closed) finish(false);
        });
        return;
    }
    auto job = std::make_shared<Job>();
    job->deadline = now_() + limits_.maxWaitMillis;
    job->finish = std::move(finish);
    pending_.push_back(job);
    ++shared_->held;
    arm();
    worker_.post([this, shared = shared_, job, work = std::move(work)]() mutable {
        int expected = Job::waiting;
        const bool start = !shared->closed && job->state.compare_exchange_strong(expected, Job::running);
        if (start) {
            try {
                work();
            } catch (const std::exception& error) {
                job->failed = true;
                job->failure = error.what();
            }
        }
        work = nullptr;
        --shared->held;
        if (!start) return;
        network_.post([this, shared, job] {
            if (!shared->closed) finished(job);
        });
    });
}

void WorkQueue::finished(const std::shared_ptr<Job>& job) {
    if (job->state.exchange(Job::answered) != Job::answered) {
        if (job->failed) log_.error(name_ + " failed: " + job->failure);
        if (refusing_ && !job->failed) {
            log_.info(name_ + " answers again (" + std::to_string(refusals_) + " calls were answered try-later)");
            refusing_ = false;
            refusals_ = 0;
        }
        auto finish = std::move(job->finish);
        finish(!job->failed);
    }
    // A serial worker ends its jobs in order: the front is usually this one.
    while (!pending_.empty() && pending_.front()->state.load() == Job::answered) pending_.pop_front();
}

void WorkQueue::arm() {
    if (armed_ || pending_.empty()) return;
    armed_ = true;
    const auto delay = std::max<std::int64_t>(0, pending_.front()->deadline - now_());
    network_.postAfter(delay, [this, shared = shared_] {
        if (shared->closed) return;
        armed_ = false;
        sweep();
    });
}

void WorkQueue::sweep() {
    const auto now = now_();
    while (!pending_.empty()) {
        const auto job = pending_.front();
        if (job->state.load() != Job::answered) {
            if (job->deadline > now) break;
            // Waiting, it is skipped; running, what it returns is dropped.
            if (job->state.exchange(Job::answered) != Job::answered) {
                refused("one waited " + secondsText(limits_.maxWaitMillis));
                auto finish = std::move(job->finish);
                finish(false);
            }
        }
        pending_.pop_front();
    }
    arm();
}

void WorkQueue::refused(const std::string& why) {
    ++refusals_;
    if (refusing_) return;
    refusing_ = true;
    log_.error(name_ + " is not answering in time (" + why + "): calls are answered try-later until it does");
}

}  // namespace morvane::relay_service
