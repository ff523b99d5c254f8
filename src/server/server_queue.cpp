#include "server/server_queue.h"

#include <pthread.h>

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

namespace morvane {

ServerQueue::ServerQueue(std::string name)
    : io_(std::make_shared<boost::asio::io_context>(1)), guard_(boost::asio::make_work_guard(*io_)) {
    // The thread holds the context too, so a last release from inside one of
    // its own handlers cannot pull the loop out from under it.
    auto io = io_;
    thread_ = std::thread([io, name] {
        std::string shortName = name.substr(0, 15);  // the kernel's limit
        pthread_setname_np(pthread_self(), shortName.c_str());
        io->run();
    });
    threadID_ = thread_.get_id();
}

ServerQueue::~ServerQueue() { shutdown(); }

void ServerQueue::shutdown() {
    guard_.reset();
    io_->stop();
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id())
            thread_.detach();
        else
            thread_.join();
    }
}

void ServerQueue::post(std::function<void()> work) { boost::asio::post(*io_, std::move(work)); }

void ServerQueue::postAfter(std::int64_t delayMillis, std::function<void()> work) {
    auto timer = std::make_shared<boost::asio::steady_timer>(*io_, std::chrono::milliseconds(std::max<std::int64_t>(0, delayMillis)));
    ++*pending_;
    timer->async_wait([timer, pending = pending_, work = std::move(work)](const boost::system::error_code& ec) {
        --*pending;
        if (!ec) work();
    });
}

ServerQueue::Timer::Timer(ServerQueue& queue) : pending_(queue.pending_), timer_(*queue.io_) {}

ServerQueue::Timer::~Timer() { cancel(); }

void ServerQueue::Timer::arm(std::int64_t delayMillis, std::function<void()> work) {
    timer_.expires_after(std::chrono::milliseconds(std::max<std::int64_t>(0, delayMillis)));  // cancels the last wait
    ++*pending_;
    timer_.async_wait([pending = pending_, work = std::move(work)](const boost::system::error_code& ec) {
        --*pending;
        if (!ec) work();
    });
}

void ServerQueue::Timer::cancel() { timer_.cancel(); }

bool ServerQueue::isCurrent() const { return std::this_thread::get_id() == threadID_.load(); }

}  // namespace morvane
