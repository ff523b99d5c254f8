// The server queue: one io_context run by one thread. Every connection,
// timer and session decision of the server runs on it.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include "core/executor.h"

namespace morvane {

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

private:
    std::shared_ptr<boost::asio::io_context> io_;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> guard_;
    std::thread thread_;
    std::atomic<std::thread::id> threadID_;
};

}  // namespace morvane
