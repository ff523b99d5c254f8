// What the controlling session is told of locking the computer: whether the
// computer can lock at all and whether it locks when the session ends (at the
// session's start and at every change, so the page's Lock button and
// Disconnect say so before they are used), and whether a lock the page asked
// for happened. The page of an older build ignores both messages. Runs on the
// server queue; the shell judges the lock on the main queue and the server
// hands its answer over, tagged with the ask it answers, so an answer for a
// session that has gone is dropped. "Cannot lock" is never said on what was
// known before the session came: a locker may have started since. A new
// session hears it only once the shell looked again and said so.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include <nlohmann/json.hpp>

#include "core/executor.h"
#include "server/session_link.h"

namespace morvane {

struct LockFacts {
    // A screen locker answers here (and input can be injected to reach it).
    bool canLock = true;
    // "Lock Computer When the Controller Disconnects" is on.
    bool onDisconnect = true;
    bool operator==(const LockFacts&) const = default;
};

namespace LockMessage {
// {"can":…,"onDisconnect":…,"t":"lock-state"}
nlohmann::json state(const LockFacts& facts);
// {"locked":…,"t":"lock-result"}
nlohmann::json result(bool locked);
}  // namespace LockMessage

class LockRelay {
public:
    explicit LockRelay(Executor& queue);

    // Server queue from here on. A new session hears the facts at once,
    // but for "cannot lock", which waits for the next setFacts.
    void attach(std::shared_ptr<SessionLink> link);
    void detach() { attach(nullptr); }
    // Said to the session when they changed, or when it waits for them.
    void setFacts(const LockFacts& facts);
    // The session asked to lock: the ask's number, which its answer carries.
    std::uint64_t asked();
    // A Lock tap of the session: its number, or nothing when an ask of the
    // same session still waits for its answer, which then answers this tap
    // too. However fast a page taps, one ask at a time crosses to the main
    // queue and the input, so taps never crowd out the pointer; an answer
    // that never came frees the way after `joinMillis`.
    static constexpr std::int64_t joinMillis = 5'000;
    std::optional<std::uint64_t> tapped(std::int64_t nowMillis);
    // The shell's verdict on an ask; said only to the session that asked.
    void answered(std::uint64_t ask, bool locked);

private:
    Executor& queue_;
    std::shared_ptr<SessionLink> link_;
    LockFacts facts_;
    bool owed_ = false;  // the session was not told yet
    std::uint64_t nextAsk_ = 1;
    // Asks from this number on belong to the session attached now.
    std::uint64_t firstAskOfSession_ = 1;
    struct Waiting {
        std::uint64_t ask = 0;
        std::int64_t since = 0;
    };
    std::optional<Waiting> waiting_;
};

}  // namespace morvane
