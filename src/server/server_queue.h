// The server queue: one io_context run by one thread. Every connection,
// timer and session decision of the server runs on it.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/io_context.hpp>

#include "core/executor.h"

namespace morvane {

// One deadline owned by one object: arming replaces the last one, and
// cancelling or destroying it lets go of the work at once instead of
// holding it until it would have come due. On its queue only.
class Deadline {
public:
    virtual ~Deadline() = default;
    virtual void arm(std::int64_t delayMillis, std::function<void()> work) = 0;
    virtual void cancel() = 0;
};

class ServerQueue final : public Executor {
public:
    explicit ServerQueue(std::string name);
    // Stops the loop; pending work is dropped.
    ~ServerQueue() override;
    // Stops the loop and waits for its thread (unless called from it), so
    // that objects bound to the context can be destroyed safely.
    void shutdown();
    ServerQueue(const ServerQueue&) = delete;
    ServerQueue& operator=(const ServerQueue&) = delete;

    void post(std::function<void()> work) override;
    void postAfter(std::int64_t delayMillis, std::function<void()> work) override;
    bool isCurrent() const override;

    boost::asio::io_context& context() { return *io_; }

    // Waits not yet finished: delayed work and armed timers. A cancelled
    // wait stops counting (and lets go of its work) on the queue's next turn.
    int pendingTimers() const { return pending_->load(); }

    // A deadline on this queue, counted among its waits while armed.
    class Timer final : public Deadline {
    public:
        explicit Timer(ServerQueue& queue);
        ~Timer() override;
        Timer(const Timer&) = delete;
        Timer& operator=(const Timer&) = delete;
        void arm(std::int64_t delayMillis, std::function<void()> work) override;
        void cancel() override;

    private:
        std::shared_ptr<std::atomic<int>> pending_;
        boost::asio::steady_timer timer_;
    };

private:
    std::shared_ptr<boost::asio::io_context> io_;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> guard_;
    std::thread thread_;
    std::atomic<std::thread::id> threadID_;
    std::shared_ptr<std::atomic<int>> pending_ = std::make_shared<std::atomic<int>>(0);
};

}  // namespace morvane
