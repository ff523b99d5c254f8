#include "core/executor.h"

#include <condition_variable>
#include <exception>
#include <mutex>
#include <stdexcept>

namespace morvane {

void runSync(Executor& executor, const std::function<void()>& work) {
    if (executor.isCurrent()) throw std::logic_error("synchronous call on its own queue would deadlock");
    struct State {
        std::mutex m;
        std::condition_variable cv;
        bool done = false;
        std::exception_ptr error;
    };
    auto state = std::make_shared<State>();
    executor.post([state, &work] {
        try {
            work();
        } catch (...) {
            state->error = std::current_exception();
        }
        std::lock_guard lock(state->m);
        state->done = true;
        state->cv.notify_all();
    });
    std::unique_lock lock(state->m);
    state->cv.wait(lock, [&] { return state->done; });
    if (state->error) std::rethrow_exception(state->error);
}

void Executor::drain() { runSync(*this, [] {}); }

}  // namespace morvane
