// Work for an object shared across queues: the queue holds it weakly, so
// work that comes due after the object is gone does nothing.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>

#include "core/executor.h"

namespace morvane {

template <typename T, typename F>
void postWeak(Executor& queue, std::weak_ptr<T> target, F f, std::int64_t delayMillis = 0) {
    auto work = [target = std::move(target), f = std::move(f)]() mutable {
        if (auto self = target.lock()) f(*self);
    };
    if (delayMillis > 0)
        queue.postAfter(delayMillis, std::move(work));
    else
        queue.post(std::move(work));
}

}  // namespace morvane
