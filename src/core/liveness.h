// "Is my owner still here?", asked by work an owner handed to a queue or a
// completion that may come after it went: a delayed post, an answer from
// another queue, a callback of a stream it closed. The owner holds a
// Liveness; the work holds a Liveness::Token and does nothing once the
// owner went (or ended its liveness early, as it stops). Written once here
// rather than as a flag of each class's own.
//
// The token is read on the queue the owner goes on, never while the owner
// is going on another thread: it says whether the owner is there, it does
// not keep it there.
#pragma once

#include <memory>

namespace morvane {

class Liveness {
public:
    class Token {
    public:
        Token() = default;
        explicit operator bool() const { return !flag_.expired(); }

    private:
        friend class Liveness;
        explicit Token(std::weak_ptr<const char> flag) : flag_(std::move(flag)) {}
        std::weak_ptr<const char> flag_;
    };

    Liveness() = default;
    Liveness(const Liveness&) = delete;
    Liveness& operator=(const Liveness&) = delete;

    Token token() const { return Token(flag_); }
    // Every token handed out, now or later, says the owner is gone.
    void end() { flag_.reset(); }

private:
    std::shared_ptr<const char> flag_ = std::make_shared<const char>(0);
};

}  // namespace morvane
