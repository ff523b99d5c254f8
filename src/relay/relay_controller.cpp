#include "relay/relay_controller.h"

#include <algorithm>
#include <cctype>

#include "core/session_log.h"
#include "protocol/host_policy.h"
#include "relay/relay_url.h"

namespace morvane {

namespace {

std::string trimmed(std::string_view text) {
    const auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return std::string(text);
}

}  // namespace

std::shared_ptr<RelayController> RelayController::create(Setup setup) {
    return std::make_shared<RelayController>(std::move(setup));
}

RelayController::RelayController(Setup setup) : s_(std::move(setup)) {
    const auto configured = s_.configuredAddress ? usableAddress(*s_.configuredAddress) : std::nullopt;
    const auto builtIn = usableAddress(s_.builtInAddress);
    defaultAddress_ = configured ? *configured : builtIn.value_or("");
    address_ = defaultAddress_;
}

std::optional<std::string> RelayController::usableAddress(std::string_view text) {
    const auto host = relayNameIn(text);
    if (!host) return std::nullopt;
    auto access = TailnetAccess::make(*host, std::nullopt);
    if (!access) return std::nullopt;
    return access->host;
}

// ---- Launch ----

void RelayController::start() {
    auto& settings = *s_.settings;
    if (settings.intValue(versionKey).value_or(0) < 2) {
        const bool hasEmail = settings.stringValue(emailKey).has_value();
        if (!hasEmail && (settings.stringValue(hostKey) || settings.boolValue(enabledKey).value_or(false))) {
            settings.remove(hostKey);
            settings.setBool(enabledKey, false);
            say("the relay now uses accounts: set it up again");
        }
        settings.setInt(versionKey, 2);
    }
    const auto stored = usableAddress(settings.stringValue(hostKey).value_or(""));
    address_ = stored ? *stored : defaultAddress_;
    accountEmail_.reset();
    if (auto email = settings.stringValue(emailKey); email && !trimmed(*email).empty()) accountEmail_ = trimmed(*email);
    enabled_ = settings.boolValue(enabledKey).value_or(false);
    loadIdentity();
    if (enabled_ && !setUp()) {
        enabled_ = false;
        // An unreadable identity leaves the stored setting alone.
        if (s_.hardened && !identityFailure_) {
            settings.setBool(enabledKey, false);
            say("was on but is not set up: turned off");
        }
    }
    if (enabled_) startLink();
}

void RelayController::loadIdentity() {
    identity_.reset();
    identityFailure_.reset();
    if (!s_.hardened) return;
    auto loaded = s_.identities->load();
    if (auto identity = std::get_if<RelayIdentity>(&loaded)) {
        identity_ = *identity;
    } else if (auto failure = std::get_if<RelayIdentityStore::Failure>(&loaded)) {
        identityFailure_ = failure->text;
        say("identity could not be read: " + failure->text);
    }
}

void RelayController::startLink() {
    if (link_ || !identity_ || address_.empty()) return;
    auto link = s_.makeLink("wss://" + address_, *identity_);
    if (!link) return;
    auto log = s_.log;
    link->log = [log](const std::string& text) {
        if (log) log("relay", text);
    };
    auto host = s_.makeHost(*identity_, link);
    host->log = link->log;
    std::weak_ptr<RelayController> weak = weak_from_this();
    host->onEnrolmentRequest = [weak](const std::string& name, const std::string& code) {
        if (auto self = weak.lock()) self->enrolRequest_ = {name, code};
    };
    host->onEnrolmentFinished = [weak](const std::optional<PairedDevice>& device) {
        auto self = weak.lock();
        if (!self) return;
        self->enrolEnded_ = true;
        if (device) self->addedNotice_ = {SessionLog::clean(device->name, 40), self->s_.wallClock()};
    };
    host->start();
    link_ = link;
    host_ = host;
    link->turnOn();
}

void RelayController::stopLink() {
    if (!link_ || !host_) return;
    auto link = std::exchange(link_, nullptr);
    auto host = std::exchange(host_, nullptr);
    enrolEnded_ = true;
    {
        std::lock_guard lock(leaving_->m);
        ++leaving_->hosts;
    }
    // The link goes down only after the host's goodbyes have left. It is let
    // go here, on the queue, before anyone waiting is told.
    host->shutDown([link, leaving = leaving_]() mutable {
        link->turnOffOnQueue();
        link.reset();
        {
            std::lock_guard lock(leaving->m);
            --leaving->hosts;
        }
        leaving->cv.notify_all();
    });
}

void RelayController::waitForGoodbyes() {
    std::unique_lock lock(leaving_->m);
    leaving_->cv.wait(lock, [this] { return leaving_->hosts == 0; });
}

void RelayController::willSleep() {
    if (link_) link_->systemWillSleep();
}

void RelayController::didWake() {
    if (link_) link_->systemDidWake();
}

void RelayController::morvanePaused() {
    s_.server->closeRelayed("disconnected-by-host");
    if (host_) host_->closeEnrolmentWindow();
}

void RelayController::startFresh() {
    s_.server->closeRelayed("disconnected-by-host");
    // The relay is asked to forget this machine; its answer is not awaited.
    if (setUp()) {
        if (std::shared_ptr<RelayAccount> account = accountFor(address_))
            account->removeSelf(*identity_, [account](RelayAccountResult<std::monostate>) {});
    }
    stopLink();
    enabled_ = false;
    s_.settings->setBool(enabledKey, false);
    accountEmail_.reset();
    s_.settings->remove(emailKey);
    try {
        s_.identities->reset();
        say("start fresh: " + s_.identities->summary() + " removed");
    } catch (const DeviceStorageError& error) {
        say("error", std::string("the relay identity could not be removed: ") + error.what());
    }
    loadIdentity();
}

// ---- Owner actions ----

void RelayController::turnOn() {
    if (!setUp() || enabled_ || s_.hooks.paused() || s_.hooks.blocked()) return;
    std::weak_ptr<RelayController> weak = weak_from_this();
    s_.hooks.authenticate("turn on the relay", "let your enrolled devices reach this computer through the relay",
                          [weak] {
                              auto self = weak.lock();
                              if (!self || !self->setUp() || self->enabled_ || self->s_.hooks.paused()) return;
                              self->enabled_ = true;
                              self->s_.settings->setBool(enabledKey, true);
                              self->say("turned on (owner authenticated)");
                              self->startLink();
                          },
                          nullptr);
}

void RelayController::turnOff() {
    if (!enabled_) return;
    say("turned off in the menu");
    enabled_ = false;
    s_.settings->setBool(enabledKey, false);
    stopLink();
}

void RelayController::tryNow() {
    if (enabled_ && link_) link_->tryNow();
}

void RelayController::allowMore() {
    if (!enabled_ || s_.hooks.blocked()) return;
    std::weak_ptr<RelayController> weak = weak_from_this();
    s_.hooks.authenticate("allow more relay use today", "let the relay be used beyond today's limit",
                          [weak] {
                              if (auto self = weak.lock(); self && self->link_) self->link_->allowMoreToday();
                          },
                          nullptr);
}

void RelayController::resetKeys() {
    if (!s_.hardened || !identityFailure_ || s_.hooks.blocked()) return;
    std::weak_ptr<RelayController> weak = weak_from_this();
    s_.hooks.authenticate("start fresh with new relay keys", "remove the relay keys that cannot be read",
                          [weak] {
                              if (auto self = weak.lock()) self->startFresh();
                          },
                          nullptr);
}

void RelayController::addDevice() {
    if (!enabled_ || !host_ || s_.hooks.paused() || s_.hooks.blocked() || !enrolEnded_) return;
    std::weak_ptr<RelayController> weak = weak_from_this();
    s_.hooks.authenticate("add a device over the relay", "add a new device that can control this computer",
                          [weak] {
                              if (auto self = weak.lock()) self->enrolDevice();
                          },
                          nullptr);
}

void RelayController::perform(const std::string& action) {
    if (action == "turnOn") return turnOn();
    if (action == "turnOff") return turnOff();
    if (action == "tryNow") return tryNow();
    if (action == "allowMore") return allowMore();
    if (action == "resetKeys") return resetKeys();
    if (action == "addDevice") return addDevice();
    if (action == "setUp") return beginSetUp(false);
    if (action == "setUpElsewhere") return beginSetUp(true);
    if (action == "changeAddress") return changeAddress();
    if (action == "removeFromAccount") return removeFromAccount();
}

// ---- Facts ----

ConnectRelayFacts RelayController::guideFacts() const {
    ConnectRelayFacts facts;
    facts.hardened = s_.hardened;
    facts.storageReadable = !s_.store->storageFailure();
    facts.keysReadable = !identityFailure_;
    if (setUp()) facts.email = accountEmail_;
    facts.enabled = enabled_;
    if (link_) facts.linkState = link_->snapshot().state;
    return facts;
}

std::optional<std::string> RelayController::recentlyAdded() const {
    if (addedNotice_ && s_.wallClock() - addedNotice_->second < noticeMillis) return addedNotice_->first;
    return std::nullopt;
}

// ---- The menu section ----

std::vector<RelayMenuItem> RelayController::linkLines(const HostRelayLink::State& state, std::int64_t nowWallMillis,
                                                      bool held, bool setUpAllowed) {
    using Item = RelayMenuItem;
    using Kind = HostRelayLink::State::Kind;
    switch (state.kind) {
    case Kind::backingOff: {
        const std::int64_t left = state.until - nowWallMillis;
        const std::int64_t seconds = std::max<std::int64_t>(1, (left + 999) / 1000);
        return {Item::label("Relay: trying again in " + std::to_string(seconds) + " s")};
    }
    case Kind::off:
    case Kind::connecting:
    case Kind::proving:
    case Kind::suspended:
        return {Item::label("Relay: connecting\u2026")};
    case Kind::waitingForNetwork:
        return {Item::label("Relay: waiting for the network")};
    case Kind::up:
        return {Item::label("Relay: connected")};
    case Kind::refused:
        return {Item::label("Relay: the relay refused this computer"), Item::label("Check this computer's date and time"),
                Item::label("Trying again every 30 minutes"), Item::command("Try Now", "tryNow", true)};
    case Kind::notOnAccount:
        return {Item::label("Relay: this computer is not on your account"),
                Item::label("It was removed, or set up with another account"),
                Item::command("Set Up Relay\u2026", "setUp", setUpAllowed), Item::command("Try Now", "tryNow", true)};
    case Kind::exhausted:
        return {Item::label("Relay: stopped for today to protect the daily allowance"),
                Item::command("Allow More Relay Use Today\u2026", "allowMore", !held)};
    }
    return {};
}

std::string RelayController::unansweredLine(const HostRelayLink::Snapshot& snapshot) {
    using Kind = HostRelayLink::State::Kind;
    const Kind k = snapshot.state.kind;
    if (snapshot.unanswered == 0 || snapshot.lastFailure.empty()) return {};
    if (k != Kind::connecting && k != Kind::proving && k != Kind::backingOff) return {};
    return HostRelayLink::unansweredWords(snapshot.unanswered, snapshot.lastFailure, snapshot.lastFault, true);
}

std::vector<RelayMenuItem> RelayController::menuSection(bool blocked) {
    using Item = RelayMenuItem;
    std::vector<Item> items;
    const bool busy = s_.hooks.authenticating() || flowRunning_;
    const bool held = blocked || busy;
    const bool storageFine = !s_.store->storageFailure();

    if (auto added = recentlyAdded())
        items.push_back(Item::label("Added \u201C" + *added + "\u201D just now. Revoke it under Devices"));

    if (identityFailure_) {
        items.push_back(Item::warning("Relay keys could not be read"));
        items.push_back(Item::label("Relay stays off until you start fresh"));
        if (storageFine) items.push_back(Item::command("Start Fresh With New Relay Keys\u2026", "resetKeys", !held));
        return items;
    }
    const bool setUpAllowed = !held && s_.hardened && storageFine;
    auto accountLabels = [&] {
        items.push_back(Item::detail("Relay account: " + accountEmail_.value_or("")));
        if (address_ != defaultAddress_) items.push_back(Item::detail("Relay address: " + address_));
    };

    if (!setUp()) {
        items.push_back(Item::label("Relay: off"));
        items.push_back(Item::command("Set Up Relay\u2026", "setUp", setUpAllowed));
        // Without an address the set-up asks for one anyway.
        if (!address_.empty())
            items.push_back(Item::command("Set Up Relay With Another Address\u2026", "setUpElsewhere", setUpAllowed));
        return items;
    }

    if (enabled_ && link_) {
        const auto snapshot = link_->snapshot();
        for (auto& line : linkLines(snapshot.state, s_.wallClock(), held, setUpAllowed)) items.push_back(line);
        // Beside the state, folded with the details when the menu is too tall.
        if (auto why = unansweredLine(snapshot); !why.empty()) {
            items.push_back(Item::detail(std::move(why)));
            if (snapshot.lastFault == RelayConnectFault::untrustedCertificate)
                items.push_back(Item::detail(std::string(untrustedCertificateAdvice) + "."));
        }
        accountLabels();
        items.push_back(Item::detail("Connection attempts today: " + std::to_string(snapshot.attempts) + " of " +
                                     std::to_string(snapshot.attemptLimit)));
        // The relay is the owner's own: no provider's free allowance stands
        // behind it, only the day's share this computer keeps to.
        items.push_back(
            Item::detail("Relay use today: " + RelayUsage::allowanceText(snapshot.requests, snapshot.requestLimit)));
        items.push_back(Item::command("Add Device Over Relay\u2026", "addDevice",
                                      !held && !s_.hooks.paused() &&
                                          snapshot.state.kind == HostRelayLink::State::Kind::up && storageFine &&
                                          !s_.store->lastSaveFailure()));
        items.push_back(Item::command("Remove This Computer From Your Account\u2026", "removeFromAccount", !held));
        items.push_back(Item::command("Turn Off Relay", "turnOff", true));
        return items;
    }

    items.push_back(Item::label("Relay: off"));
    accountLabels();
    items.push_back(Item::command("Turn On Relay\u2026", "turnOn", !held && !s_.hooks.paused()));
    items.push_back(Item::command("Change Relay Address\u2026", "changeAddress", setUpAllowed));
    items.push_back(Item::command("Remove This Computer From Your Account\u2026", "removeFromAccount", !held));
    return items;
}

// ---- Adding a device ----

void RelayController::enrolDevice() {
    if (!host_ || !accountEmail_ || !enabled_ || !enrolEnded_) return;
    if (s_.hooks.paused() || s_.hooks.blocked()) return;
    enrolRequest_.reset();
    enrolEnded_ = false;
    auto host = host_;
    if (!host->openEnrolmentWindow()) {
        enrolEnded_ = true;
        return;
    }
    std::weak_ptr<RelayController> weak = weak_from_this();
    auto cancel = [this, host] {
        if (!enrolEnded_) host->cancelEnrolment();
        enrolEnded_ = true;
    };

    const std::string waiting = "On the new device, open https://" + address_ + " in a browser, and sign in as " +
                                *accountEmail_ + ". Then choose Continue.";
    const int answer = s_.hooks.runAlert(
        {"Waiting for the new device", waiting + "\n\nThis window closes after 2 minutes. Closing it cancels the set-up.",
         {"Cancel"}},
        [weak] {
            auto self = weak.lock();
            return !self || self->enrolRequest_ || self->enrolEnded_ || self->s_.hooks.paused();
        });
    if (answer == RelayResponse::first) return cancel();
    if (enrolEnded_) return;
    if (s_.hooks.paused() || s_.hooks.blocked() || !enrolRequest_) return cancel();

    const auto [name, code] = *enrolRequest_;
    const std::int64_t opened = s_.wallClock();
    const int verdict = s_.hooks.runAlert(
        {"Code: " + code.substr(0, 3) + " " + code.substr(code.size() - 3),
         "\u201C" + name + "\u201D wants to control this computer. It must show the same code.\n\n"
                           "If the codes differ, or you did not start this, choose Cancel.",
         {"Approve", "Cancel"},
         /*firstIsDefault=*/false},
        [weak, opened] {
            auto self = weak.lock();
            return !self || self->enrolEnded_ || self->s_.hooks.paused() ||
                   self->s_.wallClock() - opened >= codeDialogMillis;
        });
    if (verdict == RelayResponse::first) {
        if (enrolEnded_) return;
        if (!s_.hooks.paused() && !s_.hooks.blocked()) {
            host->approveEnrolment();
            enrolEnded_ = true;
            return;
        }
    }
    cancel();
}

}  // namespace morvane
