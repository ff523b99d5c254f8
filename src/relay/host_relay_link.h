// The host's one WebSocket link to the relay. While turned on it connects,
// proves that it owns its room, and then carries the records of every
// device connection the relay multiplexes onto it. It decides when to try
// and when to wait: back-off with jitter, a slow pace after refusals, the
// day's attempt budget and request allowance, the network path, system
// sleep, and a ping/pong liveness check.
//
// Runs on one queue (the server's session queue): every state change,
// timer, socket event and delegate call happens there. turnOn, turnOff,
// sleep/wake and the menu actions may be called from any thread and hop
// onto the queue; send, drop, isUp and turnOffOnQueue assume the queue.
// Only the published snapshot is read elsewhere, under its lock.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "core/clock.h"
#include "core/executor.h"
#include "relay/relay_budget.h"
#include "relay/relay_control.h"
#include "relay/relay_counter_storage.h"
#include "relay/relay_identity.h"
#include "relay/relay_link_transport.h"
#include "relay/relay_socket.h"

namespace morvane {

class HostRelayLink final : public RelayLinkTransport, public std::enable_shared_from_this<HostRelayLink> {
public:
    struct State {
        enum class Kind {
            backingOff,
            off,
            waitingForNetwork,
            connecting,
            proving,
            up,
            refused,
            notOnAccount,
            exhausted,
            suspended
        };
        Kind kind = Kind::off;
        std::int64_t until = 0;  // wall-clock milliseconds; backingOff only

        static State backingOffUntil(std::int64_t wallMillis) { return {Kind::backingOff, wallMillis}; }
        // The word used in logs and by the guide ("backing-off", "up", …).
        std::string_view word() const;
        bool operator==(const State& other) const {
            return kind == other.kind && (kind != Kind::backingOff || until == other.until);
        }
    };

    struct Snapshot {
        State state;
        std::int64_t attempts = 0;
        std::int64_t attemptLimit = RelayBudget::dailyAttempts;
        std::int64_t requests = 0;
        // The estimate at which the link stops for the day.
        std::int64_t requestLimit = RelayUsage::requestCeiling;
        // Attempts in a row the relay did not answer, and how the last one
        // failed (empty when none failed since it last answered).
        int unanswered = 0;
        std::string lastFailure{};
        RelayConnectFault lastFault = RelayConnectFault::other;
        bool operator==(const Snapshot&) const = default;
    };

    struct Timing {
        double connectSeconds = 15;
        double proveSeconds = 10;
        double pingSeconds = 25;
        double pongSeconds = 10;
        double stableSeconds = 60;
        double pathCheckSeconds = 5;
        double wakeDelaySeconds = 2;
        double pathBackDelaySeconds = 1;
        std::int64_t dailyAttempts = RelayBudget::dailyAttempts;
        std::int64_t requestCeiling = RelayUsage::requestCeiling;
    };

    static constexpr std::string_view subprotocol = RelayLinkLimits::subprotocol;
    static constexpr std::string_view hostPath = RelayLinkLimits::hostPath;
    static constexpr std::size_t maxIncomingMessage = RelayLinkLimits::maxIncomingMessageBytes;

    struct Options {
        std::string baseURL;  // "wss://" + relay address, or a loopback origin in tests
        RelayIdentity identity;
        Executor* queue = nullptr;
        std::shared_ptr<RelayCounterStorage> counters{};
        std::shared_ptr<RelaySocketFactory> sockets{};
        double unit = 1;  // seconds per back-off unit
        Timing timing{};
        // Absent: the path is not watched.
        NetworkPathMonitorFactory pathMonitor{};
        WallClock now = systemWallMillis;
        std::function<std::int64_t()> monotonicMillis = nowMillis;
        // Uniform in 0...1 inclusive; the jitter of the back-off.
        std::function<double()> random{};
    };

    // Absent when the socket address made from the base URL is not valid.
    static std::shared_ptr<HostRelayLink> create(Options options);
    ~HostRelayLink() override;

    std::function<void(const std::string&)> log;
    std::function<void(const Snapshot&)> onChange;

    Snapshot snapshot() const;
    // "The relay did not answer the last 3 tries: …", or where it answered
    // with a certificate this computer refused, "This computer did not trust
    // the relay's certificate the last 3 tries: …"; a clause in small
    // letters unless `sentence`.
    static std::string unansweredWords(int unanswered, const std::string& lastFailure, RelayConnectFault fault,
                                       bool sentence);
    const RelayURL& url() const { return url_; }

    void turnOn();
    void turnOff();
    void turnOffOnQueue();
    void systemWillSleep();
    void systemDidWake();
    void allowMoreToday();
    void tryNow();
    void restartNow();

    // RelayLinkTransport
    std::weak_ptr<RelayLinkDelegate> delegate() const override { return delegate_; }
    void setDelegate(std::weak_ptr<RelayLinkDelegate> delegate) override { delegate_ = std::move(delegate); }
    bool isUp() const override { return state_.kind == State::Kind::up; }
    void send(RelayConnectionID id, std::span<const std::uint8_t> record,
              std::function<void(bool sent)> completion) override;
    void drop(RelayConnectionID id) override;
    // The origin the link's socket is on, with the page's scheme.
    std::string pageOrigin() const override;

    HostRelayLink(Options options, RelayURL url);  // use create()

private:
    using Outcome = RelayRetry::Outcome;

    void hop(void (HostRelayLink::*member)());
    void schedule(double seconds, std::function<void(HostRelayLink&)> work);
    void turnOnOnQueue();
    void attempt();
    void attemptSoon(double seconds);
    void opened(std::uint64_t serial, const std::string& chosen);
    void incomingText(std::uint64_t serial, const std::string& text);
    void incomingBinary(std::uint64_t serial, const Bytes& data);
    void receiveFailed(std::uint64_t serial);
    void closed(std::uint64_t serial, int code);
    void finished(std::uint64_t serial, std::optional<int> status);
    void failedBecause(std::uint64_t serial, const std::string& why, RelayConnectFault fault);
    // Logs what the relay sent that ends the link, then ends it as an error.
    void badMessage(const std::string& what);
    // The relay answered the current attempt: it is counted now.
    void reachedRelay();
    void proving(const RelayControl::Message& message);
    void becomeUp(const std::vector<RelayConnectionID>& devices);
    void schedulePing(std::uint64_t generation);
    void ping(double limitSeconds, const std::string& word);
    void pathChanged(bool satisfied);
    void countMessage();
    void checkCeiling();
    void exhaust(const std::string& why);
    void scheduleMidnight(std::int64_t deadlineWallMillis, std::uint64_t generation);
    void ended(Outcome outcome, const std::string& word, std::optional<int> code = std::nullopt);
    void tearDown(const std::string& word, bool report);
    void waitForNetwork();
    void setState(State state);
    void publish();
    void saveCounters();
    void say(const std::string& line);
    std::int64_t estimate() const;
    void willSleepOnQueue();
    void didWakeOnQueue();
    void allowMoreOnQueue();
    void tryNowOnQueue();
    void restartOnQueue();

    Options options_;
    RelayURL url_;
    std::weak_ptr<RelayLinkDelegate> delegate_;
    State state_{};
    bool enabled_ = false;
    bool sleeping_ = false;
    bool pathSatisfied_ = true;
    std::unique_ptr<NetworkPathMonitor> monitor_;
    std::shared_ptr<RelaySocket> task_;
    std::uint64_t taskSerial_ = 0;  // names the current task; 0 = none
    std::uint64_t nextSerial_ = 0;
    std::uint64_t generation_ = 0;
    RelayRetry retry_;
    RelayBudget budget_;
    RelayUsage usage_;
    bool challenged_ = false;
    std::int64_t attemptStarted_ = 0;
    std::int64_t upSince_ = 0;
    std::uint64_t pingSerial_ = 0;
    std::uint64_t pongSerial_ = 0;
    bool quotaTripped_ = false;
    // The relay moved the room and the next attempt follows it promptly.
    bool movedAway_ = false;
    // The current attempt is to be counted, and is not yet.
    bool unpaid_ = false;
    // Attempts in a row the relay never answered (not counted against the
    // day), and why the last one failed: the next attempt's line says so,
    // or a relay failing every handshake reads as the same attempt again.
    int unanswered_ = 0;
    std::string lastFailure_;
    RelayConnectFault lastFault_ = RelayConnectFault::other;
    std::int64_t lastCounterSave_ = 0;
    mutable std::mutex snapshotLock_;
    Snapshot snapshotValue_{};
};

}  // namespace morvane
