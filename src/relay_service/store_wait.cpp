#include "relay_service/store_wait.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "relay_service/service_manager.h"

namespace morvane::relay_service {

namespace {

// Tells the service manager's watchdog the program is alive while it waits
// (a try may take the whole connect time-out), from a thread of its own.
class WatchdogWhileWaiting {
public:
    WatchdogWhileWaiting() {
        const auto watchdog = service_manager::watchdogTime();
        if (!watchdog) return;
        thread_ = std::thread([this, every = service_manager::pingEvery(*watchdog)] {
            std::unique_lock lock(mutex_);
            do service_manager::notify("WATCHDOG=1");
            while (!woken_.wait_for(lock, every, [this] { return done_; }));
        });
    }
    ~WatchdogWhileWaiting() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        woken_.notify_all();
        if (thread_.joinable()) thread_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable woken_;
    bool done_ = false;
    std::thread thread_;
};

}  // namespace

std::unique_ptr<RelayStore> openRelayStoreWhenItAnswers(
    const RelayStoreConfig& config, const StoreTimeouts& timeouts, const RelayLog& log, std::chrono::milliseconds retry,
    std::function<std::unique_ptr<RelayStore>(const RelayStoreConfig&, const StoreTimeouts&)> open) {
    WatchdogWhileWaiting alive;
    const auto every = durationText(retry.count());
    std::string said;
    for (;;) {
        try {
            auto store = open(config, timeouts);
            if (!said.empty()) log.info("the store answers: " + store->describe());
            return store;
        } catch (const RelayStoreUnreachable& error) {
            if (error.what() != said)
                log.warning(std::string("the store does not answer (") + error.what() +
                            "): waiting for it, trying again every " + every);
            said = error.what();
        }
        std::this_thread::sleep_for(retry);
    }
}

}  // namespace morvane::relay_service
