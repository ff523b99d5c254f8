#include "relay/host_relay_link.h"

#include <algorithm>
#include <cmath>
#include <random>

#include "core/secure.h"
#include "core/session_log.h"
#include "relay/relay_bytes.h"
#include "relay/relay_tls.h"

namespace morvane {

namespace {

std::int64_t millis(double seconds) { return static_cast<std::int64_t>(std::llround(std::max(seconds, 0.0) * 1000)); }

// A wait as a person reads it: tenths under ten seconds (a jittered second
// is not "0 s"), whole seconds, rounded, above.
std::string secondsText(double seconds) {
    const auto tenths = std::llround(std::max(seconds, 0.0) * 10);
    if (tenths < 100 && tenths % 10 != 0) return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10);
    return std::to_string(std::llround(std::max(seconds, 0.0)));
}

double uniformRandom() {
    thread_local std::mt19937_64 engine{std::random_device{}()};
    // 53 bits, both ends included.
    return static_cast<double>(engine() >> 11) / static_cast<double>((std::uint64_t{1} << 53) - 1);
}

}  // namespace

std::string_view HostRelayLink::State::word() const {
    switch (kind) {
        case Kind::backingOff: return "backing-off";
        case Kind::off: return "off";
        case Kind::waitingForNetwork: return "waiting-for-network";
        case Kind::connecting: return "connecting";
        case Kind::proving: return "proving";
        case Kind::up: return "up";
        case Kind::refused: return "refused";
        case Kind::notOnAccount: return "not-on-account";
        case Kind::exhausted: return "exhausted";
        case Kind::suspended: return "suspended";
    }
    return "off";
}

std::shared_ptr<HostRelayLink> HostRelayLink::create(Options options) {
    auto url = RelayControl::socketURL(options.baseURL, options.identity.roomID());
    if (!url || !options.queue || !options.counters || !options.sockets) return nullptr;
    return std::make_shared<HostRelayLink>(std::move(options), std::move(*url));
}

std::string HostRelayLink::pageOrigin() const {
    return (url_.secure() ? "https://" : "http://") + url_.hostHeader() + "/";
}

HostRelayLink::HostRelayLink(Options options, RelayURL url)
    : options_(std::move(options)), url_(std::move(url)), retry_(options_.unit) {
    if (!options_.random) options_.random = uniformRandom;
    budget_ = RelayBudget(*options_.counters, options_.timing.dailyAttempts);
    usage_ = RelayUsage(*options_.counters, options_.timing.requestCeiling);
    const auto wall = options_.now();
    budget_.roll(wall);
    usage_.roll(wall);
    const auto mono = options_.monotonicMillis();
    attemptStarted_ = upSince_ = lastCounterSave_ = mono;
    snapshotValue_ = Snapshot{State{}, budget_.count, budget_.limit(), estimate(), usage_.ceiling()};
}

HostRelayLink::~HostRelayLink() {
    if (task_) task_->cancel();
    if (monitor_) monitor_->cancel();
}

HostRelayLink::Snapshot HostRelayLink::snapshot() const {
    std::lock_guard lock(snapshotLock_);
    return snapshotValue_;
}

std::int64_t HostRelayLink::estimate() const { return usage_.estimatedRequests(budget_.count); }

void HostRelayLink::say(const std::string& line) {
    if (log) log(line);
}

void HostRelayLink::hop(void (HostRelayLink::*member)()) {
    options_.queue->post([weak = weak_from_this(), member] {
        if (auto self = weak.lock()) ((*self).*member)();
    });
}

void HostRelayLink::schedule(double seconds, std::function<void(HostRelayLink&)> work) {
    options_.queue->postAfter(millis(seconds), [weak = weak_from_this(), generation = generation_, work = std::move(work)] {
        auto self = weak.lock();
        if (!self || self->generation_ != generation) return;
        work(*self);
    });
}

void HostRelayLink::turnOn() { hop(&HostRelayLink::turnOnOnQueue); }
void HostRelayLink::turnOff() { hop(&HostRelayLink::turnOffOnQueue); }
void HostRelayLink::systemWillSleep() { hop(&HostRelayLink::willSleepOnQueue); }
void HostRelayLink::systemDidWake() { hop(&HostRelayLink::didWakeOnQueue); }
void HostRelayLink::allowMoreToday() { hop(&HostRelayLink::allowMoreOnQueue); }
void HostRelayLink::tryNow() { hop(&HostRelayLink::tryNowOnQueue); }
void HostRelayLink::restartNow() { hop(&HostRelayLink::restartOnQueue); }

void HostRelayLink::turnOnOnQueue() {
    if (enabled_) return;
    enabled_ = true;
    retry_.restart();
    if (options_.pathMonitor && !monitor_) {
        monitor_ = options_.pathMonitor();
        if (monitor_)
            monitor_->start([weak = weak_from_this()](bool satisfied) {
                if (auto self = weak.lock()) self->pathChanged(satisfied);
            });
    }
    attempt();
}

void HostRelayLink::attempt() {
    if (!enabled_ || sleeping_) return;
    ++generation_;
    if (options_.pathMonitor && !pathSatisfied_) {
        waitForNetwork();
        return;
    }
    if (state_.kind == State::Kind::waitingForNetwork) say("link: the network is back");
    const auto wall = options_.now();
    budget_.roll(wall);
    usage_.roll(wall);
    if (usage_.reached(budget_.count)) {
        exhaust("allowance");
        return;
    }
    // Dialling again where the relay moved the room is the relay's doing,
    // not an attempt of this computer's: it does not spend the day's.
    const bool counted = !movedAway_;
    movedAway_ = false;
    if (counted && !budget_.canTake(wall)) {
        exhaust("attempts");
        return;
    }
    unpaid_ = counted;
    quotaTripped_ = false;
    challenged_ = false;
    attemptStarted_ = options_.monotonicMillis();
    setState({State::Kind::connecting});
    const auto limit = " of " + std::to_string(budget_.limit());
    const std::string unansweredNote = unanswered_ == 0 || lastFailure_.empty()
                                           ? std::string()
                                           : "; " + unansweredWords(unanswered_, lastFailure_, lastFault_, false);
    say(counted ? "link: connecting (attempt " + std::to_string(budget_.count + 1) + limit + " today" +
                      unansweredNote + ")"
                : "link: connecting again after a move (not counted; " + std::to_string(budget_.count) + limit +
                      " attempts today)");

    RelaySocketRequest request;
    request.url = url_;
    request.subprotocol = std::string(subprotocol);
    // The attempt's own deadline below is the one that speaks ("no answer
    // within 15 s"); the socket's is a backstop a second later, so that a
    // thread held between arming the two cannot let the socket's bare "timed
    // out" stand for the same wait.
    request.timeoutMillis = millis(options_.timing.connectSeconds) + 1'000;
    request.maxMessageBytes = maxIncomingMessage;
    try {
        const auto seconds = static_cast<std::uint64_t>(std::max<std::int64_t>(wall / 1000, 0));
        request.hostAuth = options_.identity.helloHeader(seconds, Secure::randomBytes(16));
    } catch (const std::exception&) {
        ended(Outcome::failure, "error");
        return;
    }
    const auto serial = ++nextSerial_;
    auto weak = weak_from_this();
    auto guard = [weak, serial](auto member) {
        return [weak, serial, member](auto&&... args) {
            if (auto self = weak.lock()) ((*self).*member)(serial, std::forward<decltype(args)>(args)...);
        };
    };
    RelaySocketHandlers handlers;
    handlers.opened = guard(&HostRelayLink::opened);
    handlers.text = guard(&HostRelayLink::incomingText);
    handlers.binary = guard(&HostRelayLink::incomingBinary);
    handlers.receiveFailed = guard(&HostRelayLink::receiveFailed);
    handlers.closed = guard(&HostRelayLink::closed);
    handlers.finished = guard(&HostRelayLink::finished);
    handlers.failedBecause = guard(&HostRelayLink::failedBecause);
    taskSerial_ = serial;
    task_ = options_.sockets->open(request, std::move(handlers));
    schedule(options_.timing.connectSeconds, [](HostRelayLink& self) {
        if (self.state_.kind != State::Kind::connecting) return;
        self.lastFailure_ = relayAddressText(self.url_) + ": no answer within " +
                            std::to_string(millis(self.options_.timing.connectSeconds) / 1000) + " s";
        self.lastFault_ = RelayConnectFault::other;
        self.say("link: " + self.lastFailure_);
        self.ended(Outcome::failure, "error");
    });
}

void HostRelayLink::attemptSoon(double seconds) {
    ++generation_;
    schedule(seconds, [](HostRelayLink& self) { self.attempt(); });
}

void HostRelayLink::opened(std::uint64_t serial, const std::string& chosen) {
    if (serial != taskSerial_ || state_.kind != State::Kind::connecting) return;
    reachedRelay();
    if (chosen != subprotocol) {
        say("link: " + relayAddressText(url_) + ": the relay chose the subprotocol \"" + SessionLog::clean(chosen, 40) +
            "\" instead of " + std::string(subprotocol));
        ended(Outcome::failure, "error");
        return;
    }
    setState({State::Kind::proving});
    schedule(options_.timing.proveSeconds, [](HostRelayLink& self) {
        if (self.state_.kind != State::Kind::proving) return;
        self.say("link: " + relayAddressText(self.url_) + ": the relay did not welcome this computer in time");
        self.ended(Outcome::failure, "error");
    });
}

void HostRelayLink::reachedRelay() {
    // An attempt costs the relay something only once it answers; those that
    // never get there (no network to it, the relay away) are paced by the
    // back-off alone, so an outage does not use up the day.
    unanswered_ = 0;
    lastFailure_.clear();
    lastFault_ = RelayConnectFault::other;
    if (!unpaid_) return;
    unpaid_ = false;
    budget_.take(options_.now());
    saveCounters();  // published with the state change that follows
}

void HostRelayLink::badMessage(const std::string& what) {
    say("link: " + relayAddressText(url_) + ": the relay sent " + what);
    ended(Outcome::failure, "error");
}

void HostRelayLink::incomingText(std::uint64_t serial, const std::string& text) {
    if (serial != taskSerial_) return;
    const auto message = RelayControl::parse(text);
    if (!message) {
        badMessage("a control message that could not be read");
        return;
    }
    if (state_.kind == State::Kind::proving) {
        proving(*message);
        return;
    }
    if (state_.kind == State::Kind::up) {
        auto delegate = delegate_.lock();
        if (const auto* joined = std::get_if<RelayControl::Joined>(&*message)) {
            if (delegate) delegate->relayLinkJoined(joined->id);
        } else if (const auto* left = std::get_if<RelayControl::Left>(&*message)) {
            if (delegate) delegate->relayLinkLeft(left->id);
        } else {
            badMessage("a control message out of order");
        }
        return;
    }
    badMessage("a control message out of order");
}

void HostRelayLink::proving(const RelayControl::Message& message) {
    if (const auto* challenge = std::get_if<RelayControl::Challenge>(&message); challenge && !challenged_) {
        challenged_ = true;
        std::string signature;
        try {
            signature = options_.identity.proveSignature(challenge->nonce);
        } catch (const std::exception&) {
            ended(Outcome::failure, "error");
            return;
        }
        if (!task_) return;
        task_->sendText(RelayControl::prove(signature), [weak = weak_from_this(), serial = taskSerial_](bool sent) {
            auto self = weak.lock();
            if (!sent && self && self->taskSerial_ == serial) self->ended(Outcome::failure, "error");
        });
        return;
    }
    if (const auto* welcome = std::get_if<RelayControl::Welcome>(&message); welcome && challenged_) {
        if (welcome->room != RelayBytes::hex(options_.identity.roomID())) {
            badMessage("a welcome into another room");
            return;
        }
        becomeUp(welcome->devices);
        return;
    }
    badMessage("a control message out of order");
}

void HostRelayLink::becomeUp(const std::vector<RelayConnectionID>& devices) {
    upSince_ = options_.monotonicMillis();
    retry_.welcomed(static_cast<double>(upSince_) / 1000.0);
    setState({State::Kind::up});
    say("link: up after " + std::to_string(upSince_ - attemptStarted_) + " ms");
    schedule(options_.timing.stableSeconds, [](HostRelayLink& self) {
        if (self.state_.kind == State::Kind::up) self.retry_.resetStep();
    });
    schedulePing(generation_);
    if (auto delegate = delegate_.lock()) delegate->relayLinkUp(devices);
}

void HostRelayLink::incomingBinary(std::uint64_t serial, const Bytes& data) {
    if (serial != taskSerial_) return;
    const auto frame = RelayFrame::split(data);
    if (state_.kind != State::Kind::up || !frame) {
        badMessage(frame ? "a record before the link was up" : "a record too short to carry a connection");
        return;
    }
    countMessage();
    if (auto delegate = delegate_.lock())
        delegate->relayLinkReceived(frame->id, Bytes(frame->record.begin(), frame->record.end()));
    checkCeiling();
}

void HostRelayLink::receiveFailed(std::uint64_t serial) {
    if (serial != taskSerial_) return;
    // Give the socket's own ending (a close code or an upgrade status) a
    // moment to arrive first: it says more than a bare read error.
    options_.queue->postAfter(500, [self = shared_from_this(), serial] {
        if (self->taskSerial_ == serial) self->ended(Outcome::failure, "error");
    });
}

void HostRelayLink::failedBecause(std::uint64_t serial, const std::string& why, RelayConnectFault fault) {
    if (serial != taskSerial_) return;
    lastFailure_ = why;
    lastFault_ = fault;
    say("link: " + why +
        (fault == RelayConnectFault::untrustedCertificate ? std::string(". ") + untrustedCertificateAdvice : ""));
}

std::string HostRelayLink::unansweredWords(int unanswered, const std::string& lastFailure, RelayConnectFault fault,
                                           bool sentence) {
    const std::string tries = unanswered == 1 ? std::string("try") : std::to_string(unanswered) + " tries";
    // It answered, with a certificate this computer does not take.
    if (fault == RelayConnectFault::untrustedCertificate)
        return std::string(sentence ? "This" : "this") + " computer did not trust the relay's certificate the last " +
               tries + ": " + lastFailure;
    return std::string(sentence ? "The" : "the") + " relay did not answer the last " + tries + ": " + lastFailure;
}

void HostRelayLink::closed(std::uint64_t serial, int code) {
    if (serial != taskSerial_) return;
    if (code != RelayLinkLimits::closeRefused && code != RelayLinkLimits::closeReplaced &&
        code != RelayLinkLimits::closeNotOnAccount && code != RelayLinkClose::moved.code)
        say("link: " + relayAddressText(url_) + ": the relay closed the link (code " + std::to_string(code) + ")");
    switch (code) {
        case RelayLinkLimits::closeRefused: ended(Outcome::refused, "closed-by-relay", code); break;
        case RelayLinkLimits::closeReplaced: ended(Outcome::replaced, "replaced"); break;
        case RelayLinkLimits::closeNotOnAccount: ended(Outcome::notOnAccount, "closed-by-relay", code); break;
        case RelayLinkClose::moved.code: ended(Outcome::moved, "moved"); break;
        default: ended(Outcome::failure, "closed-by-relay"); break;
    }
}

void HostRelayLink::finished(std::uint64_t serial, std::optional<int> status) {
    if (serial != taskSerial_) return;
    // A gateway's "nothing behind me" (or the relay's own "not now") is an
    // outage like a refused connection, and is tried through as quickly.
    if (status && *status != 502 && *status != 503 && *status != 504) reachedRelay();
    if (status == 401 || status == 403)
        ended(Outcome::refused, "error", status);
    else if (status == 410)
        ended(Outcome::notOnAccount, "error", status);
    else
        ended(Outcome::failure, state_.kind == State::Kind::up ? "closed-by-relay" : "error");
}

void HostRelayLink::schedulePing(std::uint64_t generation) {
    options_.queue->postAfter(millis(options_.timing.pingSeconds), [weak = weak_from_this(), generation] {
        auto self = weak.lock();
        if (!self || self->generation_ != generation || self->state_.kind != State::Kind::up) return;
        self->ping(self->options_.timing.pongSeconds, "no-pong");
        self->schedulePing(generation);
    });
}

void HostRelayLink::ping(double limitSeconds, const std::string& word) {
    if (state_.kind != State::Kind::up || !task_) return;
    const auto serial = ++pingSerial_;
    task_->ping([weak = weak_from_this(), generation = generation_, serial, word](bool ponged) {
        auto self = weak.lock();
        if (!self || self->generation_ != generation) return;
        if (ponged)
            self->pongSerial_ = std::max(self->pongSerial_, serial);
        else
            self->ended(Outcome::failure, word);
    });
    schedule(limitSeconds, [serial, word](HostRelayLink& self) {
        if (self.pongSerial_ < serial) self.ended(Outcome::failure, word);
    });
}

void HostRelayLink::pathChanged(bool satisfied) {
    const bool before = pathSatisfied_;
    pathSatisfied_ = satisfied;
    if (!enabled_ || sleeping_) return;
    switch (state_.kind) {
        case State::Kind::backingOff:
        case State::Kind::refused:
        case State::Kind::notOnAccount:
            if (!before && satisfied) attemptSoon(options_.timing.pathBackDelaySeconds);
            break;
        case State::Kind::waitingForNetwork:
            if (satisfied) attemptSoon(options_.timing.pathBackDelaySeconds);
            break;
        case State::Kind::up: ping(options_.timing.pathCheckSeconds, "network"); break;
        default: break;
    }
}

void HostRelayLink::countMessage() {
    usage_.count(1, options_.now());
    if (options_.monotonicMillis() - lastCounterSave_ > 60'000) {
        saveCounters();
        publish();
    }
}

void HostRelayLink::checkCeiling() {
    if (quotaTripped_ || state_.kind != State::Kind::up) return;
    if (!usage_.reached(budget_.count)) return;
    quotaTripped_ = true;
    if (auto delegate = delegate_.lock()) delegate->relayLinkQuotaReached();
    schedule(0.3, [](HostRelayLink& self) { self.exhaust("allowance"); });
}

void HostRelayLink::exhaust(const std::string& why) {
    tearDown("closed-by-relay", true);
    setState({State::Kind::exhausted});
    say("link: stopped for today (" + why + ")");
    saveCounters();
    const auto wall = options_.now();
    scheduleMidnight(wall + millis(RelayDay::secondsToMidnight(wall) + 1), generation_);
}

void HostRelayLink::scheduleMidnight(std::int64_t deadline, std::uint64_t generation) {
    // The deadline is on the wall clock: a wait measured in monotonic time
    // would run late by every hour the machine slept.
    const auto left = std::max<std::int64_t>(deadline - options_.now(), 0);
    options_.queue->postAfter(left, [weak = weak_from_this(), deadline, generation] {
        auto self = weak.lock();
        if (!self || self->generation_ != generation) return;
        if (self->options_.now() < deadline) {
            self->scheduleMidnight(deadline, generation);
            return;
        }
        if (self->enabled_ && self->state_.kind == State::Kind::exhausted) {
            self->retry_.restart();
            self->attempt();
        }
    });
}

void HostRelayLink::ended(Outcome outcome, const std::string& word, std::optional<int> code) {
    if (unpaid_) {
        unpaid_ = false;
        ++unanswered_;
    }
    tearDown(word, true);
    movedAway_ = false;
    if (!enabled_) {
        setState({State::Kind::off});
        return;
    }
    if (sleeping_) {
        setState({State::Kind::suspended});
        return;
    }
    if (quotaTripped_) {
        exhaust("allowance");
        return;
    }
    if (code) {
        if (outcome == Outcome::notOnAccount)
            say("link: this computer is not on the account (" + std::to_string(*code) + ")");
        else if (outcome == Outcome::refused)
            say("link: refused by the relay (" + std::to_string(*code) + ")");
    }
    const int moves = retry_.moves;
    const double d =
        retry_.delay(outcome, options_.random(), static_cast<double>(options_.monotonicMillis()) / 1000.0);
    movedAway_ = retry_.moves > moves;
    if (options_.pathMonitor && !pathSatisfied_) {
        waitForNetwork();
        return;
    }
    if (retry_.notOnAccount)
        setState({State::Kind::notOnAccount});
    else if (retry_.slow)
        setState({State::Kind::refused});
    else
        setState(State::backingOffUntil(options_.now() + millis(d)));
    say("link: trying again in " + secondsText(d) + " s");
    schedule(d, [](HostRelayLink& self) { self.attempt(); });
}

void HostRelayLink::waitForNetwork() {
    // Said once as the wait begins; the path may report many times meanwhile.
    if (state_.kind != State::Kind::waitingForNetwork) say("link: waiting for the network");
    // What failed while the network went says nothing of the relay.
    unanswered_ = 0;
    lastFailure_.clear();
    lastFault_ = RelayConnectFault::other;
    setState({State::Kind::waitingForNetwork});
}

void HostRelayLink::tearDown(const std::string& word, bool report) {
    const bool wasUp = state_.kind == State::Kind::up;
    const bool wasActive = wasUp || state_.kind == State::Kind::proving;
    ++generation_;
    auto task = std::move(task_);
    task_.reset();
    taskSerial_ = 0;
    if (task) task->cancel();
    if (wasActive)
        if (auto delegate = delegate_.lock()) delegate->relayLinkDown();
    if (wasUp) {
        if (report)
            say("link: down after " + std::to_string((options_.monotonicMillis() - upSince_) / 1000) + " s (" + word +
                ")");
        say("use today: " + RelayUsage::allowanceText(estimate(), usage_.ceiling()) + " (" +
            std::to_string(estimate()) + " requests of " + std::to_string(usage_.ceiling()) + ")");
        saveCounters();
    }
}

void HostRelayLink::turnOffOnQueue() {
    if (!enabled_ && state_.kind == State::Kind::off) return;
    enabled_ = false;
    movedAway_ = false;
    tearDown("closed-by-relay", false);
    if (monitor_) {
        monitor_->cancel();
        monitor_.reset();
    }
    saveCounters();
    setState({State::Kind::off});
}

void HostRelayLink::willSleepOnQueue() {
    sleeping_ = true;
    if (!enabled_) return;
    tearDown("sleep", true);
    setState({State::Kind::suspended});
}

void HostRelayLink::didWakeOnQueue() {
    if (!sleeping_) return;
    sleeping_ = false;
    if (!enabled_) return;
    say("link: woke, connecting");
    retry_.resetStep();
    ++generation_;
    setState(State::backingOffUntil(options_.now() + millis(options_.timing.wakeDelaySeconds)));
    schedule(options_.timing.wakeDelaySeconds, [](HostRelayLink& self) { self.attempt(); });
}

void HostRelayLink::allowMoreOnQueue() {
    const auto wall = options_.now();
    budget_.allowMore(wall);
    usage_.allowMore(wall);
    saveCounters();
    quotaTripped_ = false;
    publish();
    if (enabled_ && state_.kind == State::Kind::exhausted) {
        retry_.restart();
        attempt();
    }
}

void HostRelayLink::tryNowOnQueue() {
    if (!enabled_ || sleeping_) return;
    if (state_.kind != State::Kind::refused && state_.kind != State::Kind::notOnAccount) return;
    say("link: trying now (chosen in the menu)");
    attempt();
}

void HostRelayLink::restartOnQueue() {
    if (!enabled_ || sleeping_) return;
    const auto k = state_.kind;
    if (k == State::Kind::connecting || k == State::Kind::proving || k == State::Kind::up) return;
    retry_.restart();
    attempt();
}

void HostRelayLink::send(RelayConnectionID id, std::span<const std::uint8_t> record,
                         std::function<void(bool sent)> completion) {
    if (state_.kind != State::Kind::up || !task_) {
        options_.queue->post([completion = std::move(completion)] {
            if (completion) completion(false);
        });
        return;
    }
    countMessage();
    task_->sendBinary(RelayFrame::make(id, record), [weak = weak_from_this(), completion = std::move(completion)](bool sent) {
        if (completion) completion(sent);
        if (auto self = weak.lock()) self->checkCeiling();
    });
}

void HostRelayLink::drop(RelayConnectionID id) {
    if (state_.kind != State::Kind::up || !task_) return;
    task_->sendText(RelayControl::drop(id), [](bool) {});
}

void HostRelayLink::setState(State state) {
    state_ = state;
    publish();
}

void HostRelayLink::publish() {
    const Snapshot next{state_,      budget_.count, budget_.limit(), estimate(), usage_.ceiling(),
                        unanswered_, lastFailure_,  lastFault_};
    bool changed = false;
    {
        std::lock_guard lock(snapshotLock_);
        changed = !(next == snapshotValue_);
        snapshotValue_ = next;
    }
    if (changed && onChange) onChange(next);
}

void HostRelayLink::saveCounters() {
    budget_.save(*options_.counters);
    usage_.save(*options_.counters);
    lastCounterSave_ = options_.monotonicMillis();
}

}  // namespace morvane
