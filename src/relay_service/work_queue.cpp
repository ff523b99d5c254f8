#include "relay_service/work_queue.h"

#include <algorithm>
#include <mutex>
#include <unordered_map>

namespace morvane::relay_service {

struct WorkQueue::Job {
    // Only the worker moves a job from waiting to running; only the network
    // queue answers it, on time or not.
    enum State : int { waiting, running, answered };
    std::atomic<int> state{waiting};
    std::int64_t deadline = 0;
    std::size_t lane = 0;
    bool failed = false;                // the work threw: set by the worker before it hands the job back
    std::string failure;
    std::function<void(bool)> finish;  // network queue only
    std::function<void()> work;        // worker only, once queued
};

// What the worker's jobs and the posts back share with the queue, which
// may be closed while they are still on their way.
struct WorkQueue::Shared {
    explicit Shared(std::size_t lanes) : laneHeld(lanes), queued(lanes) {}
    std::atomic<std::size_t> held{0};
    std::vector<std::atomic<std::size_t>> laneHeld;
    std::atomic<bool> closed{false};
    // The jobs the worker has yet to take, by lane and turn; it takes the
    // lanes in turn, starting after the one it took last, and in each lane
    // the turns with jobs in the order they are in `turns`.
    struct Lane {
        std::unordered_map<std::string, std::deque<std::shared_ptr<Job>>> byTurn;
        std::deque<std::string> turns;
        void clear() {
            byTurn.clear();
            turns.clear();
        }
    };
    std::mutex lock;
    std::vector<Lane> queued;
    std::size_t next = 0;

    std::shared_ptr<Job> take() {
        std::lock_guard guard(lock);
        for (std::size_t i = 0; i < queued.size(); ++i) {
            const auto index = (next + i) % queued.size();
            auto& lane = queued[index];
            if (lane.turns.empty()) continue;
            auto turn = std::move(lane.turns.front());
            lane.turns.pop_front();
            auto& jobs = lane.byTurn[turn];
            auto job = std::move(jobs.front());
            jobs.pop_front();
            if (jobs.empty())
                lane.byTurn.erase(turn);
            else
                lane.turns.push_back(std::move(turn));
            next = index + 1;
            return job;
        }
        return nullptr;
    }
};

WorkQueue::WorkQueue(std::string name, Executor& worker, Executor& network, std::function<std::int64_t()> monotonicMillis,
                     WorkQueueLimits limits, RelayLog log)
    : name_(std::move(name)),
      worker_(worker),
      network_(network),
      now_(std::move(monotonicMillis)),
      limits_(std::move(limits)),
      log_(std::move(log)),
      shared_(std::make_shared<Shared>(limits_.lanes.size() + 1)),
      sweepAt_(network_, now_),
      spells_(limits_.lanes.size() + 1) {
    for (std::size_t i = 0; i < spells_.size(); ++i) tellAt_.push_back(std::make_unique<OneShotTimer>(network_, now_));
}

WorkQueue::~WorkQueue() { close(); }

std::size_t WorkQueue::waiting() const { return shared_->held.load(); }

void WorkQueue::close() {
    if (shared_->closed.exchange(true)) return;
    sweepAt_.stop();
    for (auto& timer : tellAt_) timer->stop();
    worker_.drain();
    pending_.clear();
    std::lock_guard guard(shared_->lock);
    for (auto& lane : shared_->queued) lane.clear();
}

bool WorkQueue::makeRoom(std::size_t lane, const std::string& turn) {
    std::shared_ptr<Job> job;
    {
        std::lock_guard guard(shared_->lock);
        auto& queued = shared_->queued[lane];
        const auto& rank = limits_.lanes[lane - 1].rank;
        // By what each turn holds, or by its rank.
        const auto weight = [&](const std::string& of, std::size_t held) {
            return rank ? static_cast<std::size_t>(std::max(0, rank(of))) : held;
        };
        const auto mine = queued.byTurn.find(turn);
        const std::size_t held = weight(turn, mine == queued.byTurn.end() ? 0 : mine->second.size());
        auto most = queued.byTurn.end();
        std::size_t heaviest = 0;
        for (auto it = queued.byTurn.begin(); it != queued.byTurn.end(); ++it) {
            const auto weighs = weight(it->first, it->second.size());
            if (it->first != turn && (most == queued.byTurn.end() || weighs > heaviest)) most = it, heaviest = weighs;
        }
        // By places held, a turn two fewer, or two turns would take each
        // other's place in turn; by rank, any lower.
        if (most == queued.byTurn.end() || heaviest < held + (rank ? 1 : 2)) return false;
        job = std::move(most->second.back());
        most->second.pop_back();
        if (most->second.empty()) {
            queued.turns.erase(std::find(queued.turns.begin(), queued.turns.end(), most->first));
            queued.byTurn.erase(most);
        }
    }
    // Never taken by the worker now: its turn there finds nothing, or the
    // next job.
    --shared_->laneHeld[lane];
    --shared_->held;
    job->work = nullptr;
    int expected = Job::waiting;
    if (job->state.compare_exchange_strong(expected, Job::answered)) {
        refused(lane, "one caller's call made room for another's");
        network_.post([shared = shared_, finish = std::move(job->finish)] {
            if (!shared->closed) finish(false);
        });
    }
    return true;
}

void WorkQueue::submit(std::function<void()> work, std::function<void(bool)> finish, std::size_t lane,
                       std::string turn) {
    if (shared_->closed) return;
    lane = std::min(lane, limits_.lanes.size());
    const auto refuse = [&](std::size_t spell, const std::string& why) {
        refused(spell, why);
        network_.post([shared = shared_, finish = std::move(finish)] {
            if (!shared->closed) finish(false);
        });
    };
    if (shared_->held.load() >= limits_.maxWaiting) return refuse(0, std::to_string(limits_.maxWaiting) + " waiting");
    if (lane > 0) {
        const auto& share = limits_.lanes[lane - 1];
        if (shared_->laneHeld[lane].load() >= share.maxWaiting && !makeRoom(lane, turn))
            return refuse(lane, std::to_string(share.maxWaiting) + " waiting");
        if (spells_[lane].on) {
            spells_[lane].on = false;
            tell(lane);
        }
    }
    auto job = std::make_shared<Job>();
    job->deadline = now_() + limits_.maxWaitMillis;
    job->lane = lane;
    job->finish = std::move(finish);
    job->work = std::move(work);
    pending_.push_back(job);
    ++shared_->held;
    ++shared_->laneHeld[lane];
    arm();
    {
        std::lock_guard guard(shared_->lock);
        auto& queued = shared_->queued[lane];
        auto& jobs = queued.byTurn[turn];
        if (jobs.empty()) queued.turns.push_back(turn);
        jobs.push_back(job);
    }
    // One turn of the worker for each job queued: the turn takes whichever
    // lane's job is next.
    worker_.post([this, shared = shared_] {
        const auto job = shared->take();
        if (!job) return;
        int expected = Job::waiting;
        const bool start = !shared->closed && job->state.compare_exchange_strong(expected, Job::running);
        if (start) {
            try {
                job->work();
            } catch (const std::exception& error) {
                job->failed = true;
                job->failure = error.what();
            }
        }
        job->work = nullptr;
        --shared->laneHeld[job->lane];
        --shared->held;
        if (!start) return;
        network_.post([this, shared, job] {
            if (!shared->closed) finished(job);
        });
    });
}

void WorkQueue::finished(const std::shared_ptr<Job>& job) {
    if (job->state.exchange(Job::answered) != Job::answered) {
        if (job->failed) failures_.say(log_, Severity::error, name_ + " failed: " + job->failure, now_());
        if (!job->failed && (!answering_ || answering_())) answered();
        auto finish = std::move(job->finish);
        finish(!job->failed);
    }
    // A serial worker ends its jobs in order: the front is usually this one.
    while (!pending_.empty() && pending_.front()->state.load() == Job::answered) pending_.pop_front();
}

void WorkQueue::arm() {
    if (sweepAt_.running() || pending_.empty()) return;
    sweepAt_.start(std::max<std::int64_t>(0, pending_.front()->deadline - now_()), [this] { sweep(); });
}

void WorkQueue::sweep() {
    const auto now = now_();
    while (!pending_.empty()) {
        const auto job = pending_.front();
        if (job->state.load() != Job::answered) {
            if (job->deadline > now) break;
            // Waiting, it is skipped; running, what it returns is dropped.
            if (job->state.exchange(Job::answered) != Job::answered) {
                refused(0, "one waited " + durationText(limits_.maxWaitMillis));
                auto finish = std::move(job->finish);
                finish(false);
            }
        }
        pending_.pop_front();
    }
    arm();
}

void WorkQueue::refused(std::size_t spell, const std::string& why) {
    auto& s = spells_[spell];
    if (!s.said && s.refusals == 0) s.why = why;
    ++s.refusals;
    if (s.on) return;
    s.on = true;
    tell(spell);
}

void WorkQueue::answered() {
    if (!spells_[0].on) return;
    spells_[0].on = false;
    tell(0);
}

// What the log should say now: refusing while it refuses, and also while
// the calls it refused since it last said it answers are untold, so that
// a spell too short to be said in its time is said late rather than lost.
bool WorkQueue::Spell::telling() const { return on || (!said && refusals > 0); }

void WorkQueue::tell(std::size_t spell) {
    auto& s = spells_[spell];
    if (s.telling() == s.said) return;
    const auto now = now_();
    if (!s.everSaid || now - s.saidAt >= limits_.logEveryMillis) return say(spell);
    auto& next = *tellAt_[spell];
    if (next.running()) return;
    next.start(s.saidAt + limits_.logEveryMillis - now, [this, spell] { tell(spell); });
}

void WorkQueue::say(std::size_t spell) {
    auto& s = spells_[spell];
    s.said = s.telling();
    s.saidAt = now_();
    s.everSaid = true;
    if (spell == 0) {
        if (s.said)
            log_.error(name_ + " is not answering in time (" + s.why + "): calls are answered try-later until it does");
        else
            log_.info(name_ + " answers again (" + std::to_string(s.refusals) + " calls were answered try-later)");
    } else {
        const auto& lane = limits_.lanes[spell - 1].name;
        if (s.said)
            log_.warning("too many " + lane + " for " + name_ + " (" + s.why + "): more are answered try-later until fewer wait");
        else
            log_.info(name_ + " takes " + lane + " again (" + std::to_string(s.refusals) + " were answered try-later)");
    }
    if (!s.said) s.refusals = 0;
    // Said late, a spell that has ended is followed by its end in turn.
    if (s.said && !s.on) tell(spell);
}

}  // namespace morvane::relay_service
