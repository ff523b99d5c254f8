#include "relay_service/store_wait.h"

#include <optional>
#include <thread>

#include "core/clock.h"
#include "core/repeating_timer.h"
#include "relay_service/service_manager.h"

namespace morvane::relay_service {

namespace {

// Tells the service manager's watchdog the program is alive while it waits
// (a try may take the whole connect time-out), from the queue it is given:
// the timer is made, started and let go there.
class WatchdogWhileWaiting {
public:
    explicit WatchdogWhileWaiting(Executor& beats) : beats_(beats) {
        const auto watchdog = service_manager::watchdogTime();
        if (!watchdog) return;
        runSync(beats_, [this, every = service_manager::pingEvery(*watchdog).count()] {
            service_manager::notify("WATCHDOG=1");
            timer_.emplace(beats_, nowMillis, every);
            timer_->start([] { service_manager::notify("WATCHDOG=1"); });
        });
    }
    ~WatchdogWhileWaiting() {
        if (timer_) runSync(beats_, [this] { timer_.reset(); });
    }
    WatchdogWhileWaiting(const WatchdogWhileWaiting&) = delete;
    WatchdogWhileWaiting& operator=(const WatchdogWhileWaiting&) = delete;

private:
    Executor& beats_;
    std::optional<RepeatingTimer> timer_;
};

}  // namespace

std::unique_ptr<RelayStore> openRelayStoreWhenItAnswers(
    const RelayStoreConfig& config, const StoreTimeouts& timeouts, const RelayLog& log, Executor& beats,
    std::chrono::milliseconds retry,
    std::function<std::unique_ptr<RelayStore>(const RelayStoreConfig&, const StoreTimeouts&)> open) {
    WatchdogWhileWaiting alive(beats);
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
