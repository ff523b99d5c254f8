// The relay's network queue (one io_context run by one thread) as an
// Executor, so that what posts back to it can be driven by hand in tests.
#pragma once

#include <chrono>
#include <memory>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include "core/executor.h"

namespace morvane::relay_service {

class IoExecutor final : public Executor {
public:
    explicit IoExecutor(boost::asio::io_context& io) : io_(io) {}

    void post(std::function<void()> work) override { boost::asio::post(io_, std::move(work)); }
    void postAfter(std::int64_t delayMillis, std::function<void()> work) override {
        auto timer = std::make_shared<boost::asio::steady_timer>(io_, std::chrono::milliseconds(delayMillis));
        timer->async_wait([timer, work = std::move(work)](const boost::system::error_code& ec) {
            if (!ec) work();
        });
    }
    bool isCurrent() const override { return io_.get_executor().running_in_this_thread(); }

private:
    boost::asio::io_context& io_;
};

}  // namespace morvane::relay_service
