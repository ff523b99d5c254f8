// The small client of the relay's account interface: ask for an e-mailed
// code, exchange it for a session, register or remove this computer, sign
// out. Also the input rules for e-mail addresses, codes, host names and user
// ids, and the owner-facing text of every failure. Holds no mutable state
// after creation; each completion runs on the transport's one-at-a-time
// queue, never on the main thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include <nlohmann/json.hpp>

#include "core/clock.h"
#include "relay/relay_http.h"
#include "relay/relay_identity.h"
#include "relay/relay_url.h"

namespace morvane {

struct RelayAccountSession {
    std::string accessToken;
    std::string refreshToken;
    std::string userId;  // lower-case UUID
    std::string email;   // normalised
    bool operator==(const RelayAccountSession&) const = default;
};

struct RelayAccountFailure {
    // `untrusted`: the relay's certificate was refused.
    enum class Kind { refused, unreachable, untrusted, badAnswer, cancelled };
    Kind kind = Kind::unreachable;
    int status = 0;                       // refused only
    std::string error;                    // refused only; "" when absent
    std::optional<std::int64_t> retryAfter;  // refused only
    // Why, for the log: the address and what failed ("…: name not found",
    // "HTTP 503"). Not part of the outcome: failures compare without it.
    std::string why;

    static RelayAccountFailure refused(int status, std::string error, std::optional<std::int64_t> retryAfter) {
        return {Kind::refused, status, std::move(error), retryAfter, {}};
    }
    static RelayAccountFailure of(Kind kind, std::string why = {}) { return {kind, 0, {}, std::nullopt, std::move(why)}; }
    // The kind and its reason in a few words: "unreachable: relay.example.com:443:
    // connection refused", "host-limit: relay.example.com:443 answered with HTTP 409".
    std::string describe() const;
    std::optional<std::string> errorWord() const {
        return kind == Kind::refused ? std::optional<std::string>(error) : std::nullopt;
    }
    std::optional<int> statusCode() const { return kind == Kind::refused ? std::optional<int>(status) : std::nullopt; }
    bool operator==(const RelayAccountFailure& other) const {
        return kind == other.kind && status == other.status && error == other.error && retryAfter == other.retryAfter;
    }
};

// A value or a failure; std::monostate stands for "no value".
template <class T>
using RelayAccountResult = std::variant<T, RelayAccountFailure>;

namespace RelayAccountTexts {
// `registration` is the register step (the word itself is reserved).
enum class Step { code, verify, registration, remove };
inline constexpr const char* enterEmail = "Enter your e-mail address.";
inline constexpr const char* badEmail = "Could not send a code. Check the address and try again.";
inline constexpr const char* enterCode = "Enter the 6-digit code from the e-mail.";
inline constexpr const char* wrongCode = "That code is wrong or has expired. Check it, or send a new code.";
inline constexpr const char* hostLimit =
    "This account already has 10 computers. Remove one on another device, then try again.";
inline constexpr const char* badClock =
    "This computer's date and time look wrong. Correct them in the system settings, then try again.";
inline constexpr const char* unreachable = "Could not reach the relay. Check your connection, then try again.";
// Whatever the step: nothing was sent to a relay whose certificate this
// computer does not trust.
inline constexpr const char* untrustedLog = "Morvane's log (host.log) says why.";
inline constexpr const char* newCodeSent = "A new code is on its way. ";
// No new code was mailed: the one mailed earlier stands for this sign-in.
inline constexpr const char* earlierCodeStands =
    "No new code was sent: the code in the last e-mail from the relay still works. Look for that e-mail. ";
// `address`, when given, is named where the text says the service could
// not be reached.
std::string text(const RelayAccountFailure& failure, Step step, const std::string& address = {});
}  // namespace RelayAccountTexts

class RelayAccount {
public:
    static constexpr double requestTimeout = 15.0;
    static constexpr std::size_t maxAnswerBytes = 65'536;
    static constexpr std::size_t maxBodyBytes = 8'192;

    using Task = std::shared_ptr<RelayHttpTask>;
    template <class T>
    using Done = std::function<void(RelayAccountResult<T>)>;

    // Absent unless the origin is https (or http on 127.0.0.1 or localhost),
    // with a host, no path beyond "/", no query, fragment or user name.
    static std::unique_ptr<RelayAccount> create(std::string_view origin, std::shared_ptr<RelayHttpTransport> transport,
                                                WallClock now);

    // Input rules.
    static std::string newLoginID();
    static std::optional<std::string> normalizeEmail(std::string_view text);
    static std::optional<std::string> normalizeCode(std::string_view text);
    static std::string cleanHostName(std::string_view name);
    static bool isUserId(std::string_view text);

    // Each returns the running task, or nothing when the request could not
    // be built, in which case `done` has already run with badAnswer.
    // True when a new code was mailed; false when the relay mailed none and
    // the code it mailed to the address earlier signs this login in too.
    Task sendCode(const std::string& email, const std::string& loginId, Done<bool> done);
    Task verify(const std::string& email, const std::string& loginId, const std::string& code,
                Done<RelayAccountSession> done);
    // True when the relay made a new registration (201), false when it
    // accepted an existing one.
    Task registerHost(const RelayIdentity& identity, const RelayAccountSession& session, const std::string& name,
                      Done<bool> done);
    Task removeSelf(const RelayIdentity& identity, Done<std::monostate> done);
    Task signOut(const std::string& refreshToken, Done<std::monostate> done);

    // Building blocks.
    std::optional<RelayHttpRequest> request(const std::string& path, const nlohmann::json& body,
                                            const std::optional<std::string>& bearer) const;
    static RelayAccountResult<nlohmann::json> read(int status, const std::optional<Bytes>& data);
    static std::optional<RelayAccountSession> session(const nlohmann::json& object, const std::string& email);
    nlohmann::json registerBody(const RelayIdentity& identity, const std::string& userId, const std::string& name) const;
    nlohmann::json removeBody(const RelayIdentity& identity) const;

    const RelayURL& apiBase() const { return origin_; }

    RelayAccount(RelayURL origin, std::shared_ptr<RelayHttpTransport> transport, WallClock now);

private:
    Task post(std::optional<RelayHttpRequest> request,
              std::function<void(RelayAccountResult<nlohmann::json>, int status)> done);
    std::uint64_t unixSeconds() const;

    RelayURL origin_;
    std::string apiPath_;  // "/v1"
    std::shared_ptr<RelayHttpTransport> transport_;
    WallClock now_;
};

// A one-shot box a modal wait can block on: the first value counts; a value
// that arrives after the waiter gave up goes to the clean-up handler.
template <class T>
class RelayPending {
public:
    std::optional<T> value() const {
        std::lock_guard guard(lock_);
        return stored_;
    }
    void set(T v) {
        std::function<void(T)> discard;
        {
            std::lock_guard guard(lock_);
            if (stored_) return;
            stored_ = v;
            discard = std::move(discard_);
            discard_ = nullptr;
            // Told under the lock: a waiter that sees the value may destroy
            // the box at once (one on its stack), and nothing here may touch
            // it after.
            arrived_.notify_all();
        }
        if (discard) discard(std::move(v));
    }
    // True when a value is there, at once or within the wait.
    bool wait(double seconds) {
        std::unique_lock guard(lock_);
        return arrived_.wait_for(guard, std::chrono::duration<double>(seconds), [&] { return stored_.has_value(); });
    }
    void abandon(std::function<void(T)> handler) {
        std::optional<T> now;
        {
            std::lock_guard guard(lock_);
            if (stored_)
                now = stored_;
            else
                discard_ = std::move(handler);
        }
        if (now && handler) handler(std::move(*now));
    }

private:
    mutable std::mutex lock_;
    std::condition_variable arrived_;
    std::optional<T> stored_;
    std::function<void(T)> discard_;
};

enum class RelayWaitOutcome { use, discard, abandon, cancel };
RelayWaitOutcome decideRelayWait(bool ownerCancelled, bool answered, bool discardable);

}  // namespace morvane
