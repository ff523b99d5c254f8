// A serial queue of work. The main queue is backed by Qt's event loop in the
// application and by a plain loop in tests; the server queue by one
// io_context on one thread.
//
// Who owns a queue: the program's assembly (the shell, the test host, a
// test) makes every queue and hands it to the components that run work on
// it; no component makes a queue of its own. The owner keeps a queue alive
// longer than every component it gave it to (declared before them, or held
// by shared_ptr). A component that posts work holding itself waits, in its
// destructor, until that work has run (`drain`), so the queue may be shared
// and no queued work outlives what it points at; delayed work, which drain
// does not wait for, checks a token the component lets go of as it goes
// (periodic work: an owned RepeatingTimer, core/repeating_timer.h).
// A component is therefore never destroyed on that queue's own thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

namespace morvane {

class Executor {
public:
    virtual ~Executor() = default;
    virtual void post(std::function<void()> work) = 0;
    virtual void postAfter(std::int64_t delayMillis, std::function<void()> work) = 0;
    // True when the calling thread is the one running this queue's work.
    virtual bool isCurrent() const = 0;
    // Returns once everything posted before the call has run (delayed work
    // not yet due is not waited for). Refuses, as runSync does, on the
    // queue's own thread.
    virtual void drain();
};

// Runs work on the executor and waits for it. Refuses (throws
// std::logic_error) when called on that executor's own thread, where waiting
// would deadlock.
void runSync(Executor& executor, const std::function<void()>& work);

// A method meant for one queue was called from another thread.
class WrongQueue : public std::logic_error {
public:
    explicit WrongQueue(const std::string& what) : std::logic_error(what + " called off its queue") {}
};

// The check at the top of a method that may only run on one queue. It stays
// in release builds, where assert would be gone: a call from the wrong
// thread is a race that no test may let pass.
inline void expectOn(const Executor& executor, const char* method) {
    if (!executor.isCurrent()) throw WrongQueue(method);
}

}  // namespace morvane
