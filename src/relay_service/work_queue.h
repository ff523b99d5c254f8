// Work that may block (the store, the mail server) kept off the network
// thread: each job runs on a serial worker queue and its result comes back
// on the network queue. The queue is bounded twice over: a job that finds
// as many as `maxWaiting` ahead of it, or that is not done within
// `maxWaitMillis`, is answered at once with no result (the caller says
// "try-later") and, if it had not started, never touches the worker.
//
// Jobs come in lanes, so that one kind of call cannot take the queue from
// the others: a lane may be given the most of the queue's places its jobs
// may hold, and the worker takes the lanes' jobs in turn. A flood of one
// kind fills its own share and waits its turn; the other lanes still find
// places and are taken as often.
//
// Within a lane, each job comes under a turn (the network it came from):
// the worker takes the turns with jobs waiting in turn, each turn's jobs
// in the order they came, so a job waits behind at most one job of each
// other turn, however many each has queued. When a lane past the first is
// full, a job whose turn holds fewer of its places than another by two or
// more takes the place of that turn's newest waiting job, which is
// answered at once as if it had found the lane full: a flood from some
// turns cannot keep the lane from anyone else. A lane may rank its turns
// instead (asked on the network queue when the lane is full): a job takes
// the place of the newest job of the highest ranked turn, when that turn
// ranks higher than its own.
//
// What the log says of refusals is a state, said when it changes and at
// most once every `logEveryMillis`, with the count of calls refused:
// a queue that flaps between refusing and answering under a flood says so
// in a few lines, not in one line a call.
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
#include <vector>

#include "core/executor.h"
#include "core/one_shot_timer.h"
#include "relay_service/relay_log.h"

namespace morvane::relay_service {

// A lane other than the first: what the log calls its jobs ("sign-ins"),
// and the most of the queue's places they may hold.
struct WorkLane {
    std::string name;
    std::size_t maxWaiting = 0;
    // How much a turn has asked of late, when the lane ranks its turns.
    std::function<int(const std::string& turn)> rank = {};
};

struct WorkQueueLimits {
    std::size_t maxWaiting = 256;
    // A store that answers at all answers in milliseconds; past this, a
    // host's call (which gives up after 15 s) still hears "try-later".
    std::int64_t maxWaitMillis = 5'000;
    // Lanes 1, 2, …; lane 0 may hold every place.
    std::vector<WorkLane> lanes = {};
    std::int64_t logEveryMillis = ThrottledLine::defaultEveryMillis;
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
    // time. `done` is never called once the queue is closed. `turn`: whose
    // turn the job takes within its lane.
    template <class T>
    void run(std::function<T()> work, std::function<void(std::optional<T>)> done, std::size_t lane = 0,
             std::string turn = {}) {
        auto result = std::make_shared<std::optional<T>>();
        submit([work = std::move(work), result] { *result = work(); },
               [done = std::move(done), result](bool ran) { done(ran ? std::move(*result) : std::nullopt); }, lane,
               std::move(turn));
    }

    // After a spell of refusals, the worker is said to answer again only
    // once this says so too (the store: once a statement has really
    // succeeded, not merely a job that caught its failure); by default,
    // once a job ends without throwing.
    void answersWhen(std::function<bool()> answering) { answering_ = std::move(answering); }

    // Jobs not yet finished with by the worker.
    std::size_t waiting() const;
    // Skips what is still queued and waits for the job the worker is on.
    void close();

private:
    struct Job;
    struct Shared;
    // A state the log tells of: said when it changes, at most once every
    // `logEveryMillis`, with the calls refused meanwhile.
    struct Spell {
        bool on = false;
        bool said = false;
        std::int64_t saidAt = 0;
        bool everSaid = false;
        std::size_t refusals = 0;
        std::string why;
        bool telling() const;
    };
    void submit(std::function<void()> work, std::function<void(bool ran)> finish, std::size_t lane, std::string turn);
    // A full lane's room for a job of `turn`: the newest waiting job of
    // the turn holding the most (or ranked highest), answered at once,
    // when that is two more.
    bool makeRoom(std::size_t lane, const std::string& turn);
    void finished(const std::shared_ptr<Job>& job);
    void sweep();
    void arm();
    void refused(std::size_t spell, const std::string& why);
    void answered();
    void tell(std::size_t spell);
    void say(std::size_t spell);

    std::string name_;
    Executor& worker_;
    Executor& network_;
    std::function<std::int64_t()> now_;
    WorkQueueLimits limits_;
    RelayLog log_;
    ThrottledLine failures_;
    std::function<bool()> answering_;
    std::shared_ptr<Shared> shared_;
    // Jobs not answered yet, oldest first: their deadlines come in order.
    std::deque<std::shared_ptr<Job>> pending_;
    // The front job's deadline, and each spell's next line: owned, so that
    // once the queue is closed or gone, none of them calls into it.
    OneShotTimer sweepAt_;
    // Spell 0: the queue as a whole; spell n: lane n's share.
    std::vector<Spell> spells_;
    std::vector<std::unique_ptr<OneShotTimer>> tellAt_;
};

}  // namespace morvane::relay_service
