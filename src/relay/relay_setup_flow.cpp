// The relay controller's conversations with the owner: putting this machine
// on a relay account, moving it from another account, removing it. Each is
// a chain of alerts through the shell, with the owner's authentication in
// front of every step that changes something and a short working dialog
// while the relay answers. Main queue only.
#include <algorithm>
#include <cctype>

#include "relay/relay_controller.h"

namespace morvane {

namespace {

constexpr const char* working = "This takes a few seconds.";
// A name kept for examples, which no relay answers to.
constexpr const char* exampleAddress = "relay.example.org";

std::string withNote(const std::string& note, const std::string& text) {
    return note.empty() ? text : note + "\n\n" + text;
}

bool blank(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isspace(c) != 0; });
}

std::string trimmedSpaces(std::string text) {
    while (!text.empty() && text.front() == ' ') text.erase(text.begin());
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

}  // namespace

std::shared_ptr<RelayAccount> RelayController::accountFor(const std::string& address) {
    if (!s_.makeAccount) return nullptr;
    return std::shared_ptr<RelayAccount>(s_.makeAccount("https://" + address));
}

void RelayController::signOut(RelayAccount& account, const RelayAccountSession& session) {
    account.signOut(session.refreshToken, [](RelayAccountResult<std::monostate>) {});
}

void RelayController::tell(const std::string& title, const std::string& text) {
    s_.hooks.runAlert({title, text, {"OK"}}, [] { return false; });
}

namespace {
// The address the owner gave, as the account client reaches it.
std::string addressOf(const RelayAccount& account) { return account.apiBase().hostHeader(); }

// ": <why>" when the failure knows why.
std::string because(const RelayAccountFailure& failure) {
    return failure.why.empty() ? std::string() : ": " + failure.why;
}
}  // namespace

std::string RelayController::word(const RelayAccountFailure& failure) {
    switch (failure.kind) {
    case RelayAccountFailure::Kind::unreachable:
        return "unreachable";
    case RelayAccountFailure::Kind::untrusted:
        return "untrusted";
    case RelayAccountFailure::Kind::badAnswer:
        return "bad answer";
    case RelayAccountFailure::Kind::cancelled:
        return "cancelled";
    case RelayAccountFailure::Kind::refused:
        break;
    }
    static const char* known[] = {"host-taken",   "host-limit", "bad-proof",      "unauthorized",
                                  "rate-limited", "try-later",  "not-configured", "bad-request"};
    for (const char* w : known)
        if (failure.error == w) return failure.error;
    return "status " + std::to_string(failure.status);
}

template <class T>
std::optional<T> RelayController::waitForRelay(const std::string& title, std::function<void(T)> discard,
                                               const std::function<RelayAccount::Task(std::function<void(T)>)>& start) {
    auto pending = std::make_shared<RelayPending<T>>();
    auto task = start([pending](T value) { pending->set(std::move(value)); });
    if (pending->wait(s_.workingWindowDelaySeconds)) return pending->value();
    const int answer = s_.hooks.runAlert({title, working, {"Cancel"}},
                                         [pending] { return pending->value().has_value(); });
    switch (decideRelayWait(answer == RelayResponse::first, pending->value().has_value(), bool(discard))) {
    case RelayWaitOutcome::use:
        return pending->value();
    case RelayWaitOutcome::discard:
        discard(*pending->value());
        return std::nullopt;
    case RelayWaitOutcome::abandon:
        pending->abandon(discard);
        return std::nullopt;
    case RelayWaitOutcome::cancel:
        if (task) task->cancel();
        return std::nullopt;
    }
    return std::nullopt;
}

void RelayController::changeAddress() {
    if (!setUp() || enabled_) return;
    beginSetUp(true);
}

void RelayController::beginSetUp(bool chooseAddress) {
    if (!s_.hardened || identityFailure_ || s_.store->storageFailure() || flowRunning_ || s_.hooks.blocked()) return;
    if (enabled_ && (chooseAddress || !link_ || link_->snapshot().state.kind != HostRelayLink::State::Kind::notOnAccount))
        return;
    // No relay known yet: its address comes first.
    chooseAddress = chooseAddress || address_.empty();
    flowRunning_ = true;
    std::weak_ptr<RelayController> weak = weak_from_this();
    s_.hooks.authenticate(
        "set up the relay", "put this computer on your relay account",
        [weak, chooseAddress] {
            if (auto self = weak.lock()) self->signInAndRegister(chooseAddress);
        },
        [weak] {
            if (auto self = weak.lock()) self->flowRunning_ = false;
        });
}

void RelayController::signInAndRegister(bool chooseAddress) {
    std::optional<std::string> address = chooseAddress ? askForAddress() : std::optional<std::string>(address_);
    auto account = address ? accountFor(*address) : nullptr;
    if (!account) {
        flowRunning_ = false;
        return;
    }
    auto session = signIn(account, *address);
    if (!session) {
        flowRunning_ = false;
        return;
    }
    if (s_.hooks.blocked()) {
        signOut(*account, *session);
        flowRunning_ = false;
        return;
    }
    auto identity = ensureIdentity();
    if (!identity) {
        signOut(*account, *session);
        flowRunning_ = false;
        return;
    }
    registerWith(SetUp{account, *address, *session, *identity}, false);
}

std::optional<std::string> RelayController::askForAddress() {
    if (s_.hooks.blocked()) return std::nullopt;
    std::string note;
    std::string field = address_;
    // With no relay of the build's to name, the example is a documentation
    // name and the text says whose relay is meant.
    const std::string example = defaultAddress_.empty() ? std::string(exampleAddress) : defaultAddress_;
    const std::string ask = defaultAddress_.empty()
                                ? "Enter the address of the relay you run (morvane-relay), for example " + example +
                                      ". Only the name, without https://."
                                : "Enter the address of the relay, for example " + example +
                                      ". Only the name, without https://.";
    for (;;) {
        RelayAlert alert{"Relay address", withNote(note, ask), {"Continue", "Cancel"}};
        alert.field = RelayField{field, example, "Relay address"};
        if (s_.hooks.runAlert(alert, [] { return false; }) != RelayResponse::first) return std::nullopt;
        field = s_.hooks.fieldText();
        if (auto usable = usableAddress(field)) return usable;
        note = "That is not a relay address.";
        if (s_.hooks.blocked()) return std::nullopt;
    }
}

std::optional<RelayAccountSession> RelayController::signIn(const std::shared_ptr<RelayAccount>& account,
                                                           const std::string& address) {
    if (s_.hooks.blocked()) return std::nullopt;
    std::string field = accountEmail_.value_or("");
    std::string note;
    const std::string relayLine = address == defaultAddress_ ? "" : "\n\nRelay: " + address;
    for (;;) {
        RelayAlert alert{"Sign in to the relay",
                         withNote(note, "Enter your e-mail address. We will send you a code. Sign in with the same "
                                        "address on your phone and other devices." +
                                            relayLine),
                         {"Send Code", "Cancel"}};
        alert.field = RelayField{field, "name@example.com", "E-mail address"};
        if (s_.hooks.runAlert(alert, [] { return false; }) != RelayResponse::first) return std::nullopt;
        field = s_.hooks.fieldText();
        const auto email = RelayAccount::normalizeEmail(field);
        if (blank(field)) {
            note = RelayAccountTexts::enterEmail;
        } else if (!email) {
            note = RelayAccountTexts::badEmail;
        } else {
            const std::string loginId = RelayAccount::newLoginID();
            using Sent = RelayAccountResult<bool>;
            auto sent = waitForRelay<Sent>("Sending the code\u2026", nullptr, [&](std::function<void(Sent)> done) {
                return account->sendCode(*email, loginId, std::move(done));
            });
            if (sent) {
                if (auto failure = std::get_if<RelayAccountFailure>(&*sent)) {
                    say("set up: the code could not be sent: " + failure->describe());
                    note = RelayAccountTexts::text(*failure, RelayAccountTexts::Step::code, addressOf(*account));
                } else {
                    auto answer = askForCode(account, *email, loginId, std::get<bool>(*sent));
                    if (answer.kind == CodeAnswer::Kind::signedIn) return answer.session;
                    if (answer.kind == CodeAnswer::Kind::cancelled) return std::nullopt;
                    note.clear();
                }
            }
        }
        if (s_.hooks.blocked()) return std::nullopt;
    }
}

RelayController::CodeAnswer RelayController::askForCode(const std::shared_ptr<RelayAccount>& account,
                                                        const std::string& email, const std::string& loginId,
                                                        bool mailed) {
    if (s_.hooks.blocked()) return {};
    std::string field;
    // The person waits for no mail that will not come.
    std::string note = mailed ? "" : trimmedSpaces(RelayAccountTexts::earlierCodeStands);
    for (;;) {
        RelayAlert alert{"Enter the code from the e-mail",
                         withNote(note, "We sent a code to " + email + ". It can take a minute to arrive."),
                         {"Sign In", "Send a New Code", "Cancel"}};
        alert.field = RelayField{field, "6 digits", "Sign-in code"};
        const int answer = s_.hooks.runAlert(alert, [] { return false; });
        field = s_.hooks.fieldText();
        if (answer == RelayResponse::first) {
            if (const auto code = RelayAccount::normalizeCode(field); !code) {
                note = RelayAccountTexts::enterCode;
            } else {
                using Verified = RelayAccountResult<RelayAccountSession>;
                // A session that arrives after the owner gave up is signed out;
                // the account client lives as long as that answer may come.
                auto discard = [account](Verified late) {
                    if (auto session = std::get_if<RelayAccountSession>(&late)) signOut(*account, *session);
                };
                auto verified = waitForRelay<Verified>("Signing in\u2026", discard, [&](std::function<void(Verified)> done) {
                    return account->verify(email, loginId, *code, std::move(done));
                });
                if (verified) {
                    if (auto session = std::get_if<RelayAccountSession>(&*verified))
                        return {CodeAnswer::Kind::signedIn, *session};
                    const auto& failure = std::get<RelayAccountFailure>(*verified);
                    say("set up: sign-in failed: " + failure.describe());
                    if (failure.errorWord() == "invalid-email") return {CodeAnswer::Kind::changeEmail, std::nullopt};
                    note = RelayAccountTexts::text(failure, RelayAccountTexts::Step::verify, addressOf(*account));
                    field.clear();
                }
            }
        } else if (answer == RelayResponse::second) {
            using Sent = RelayAccountResult<bool>;
            auto sent = waitForRelay<Sent>("Sending the code\u2026", nullptr, [&](std::function<void(Sent)> done) {
                return account->sendCode(email, loginId, std::move(done));
            });
            if (sent) {
                if (auto failure = std::get_if<RelayAccountFailure>(&*sent)) {
                    say("set up: the code could not be sent: " + failure->describe());
                    note = RelayAccountTexts::text(*failure, RelayAccountTexts::Step::code, addressOf(*account));
                } else
                    note = trimmedSpaces(std::get<bool>(*sent) ? RelayAccountTexts::newCodeSent
                                                              : RelayAccountTexts::earlierCodeStands);
            }
        } else {
            return {};
        }
        if (s_.hooks.blocked()) return {};
    }
}

std::optional<RelayIdentity> RelayController::ensureIdentity() {
    if (identity_) return identity_;
    try {
        identity_ = s_.identities->create(s_.wallClock());
        say("set up: identity created");
        return identity_;
    } catch (const std::exception& error) {
        identityFailure_ = error.what();
        say("error", std::string("the relay identity could not be stored: ") + error.what());
        tell("Could not set up the relay", "The relay keys could not be stored on this computer.");
        return std::nullopt;
    }
}

void RelayController::registerWith(SetUp setUp, bool moved) {
    auto& account = *setUp.account;
    if (s_.hooks.blocked()) {
        signOut(account, setUp.session);
        flowRunning_ = false;
        return;
    }
    std::string name = s_.computerName ? s_.computerName() : "";
    if (name.empty()) name = "Computer";
    using Registered = RelayAccountResult<bool>;
    auto registered = waitForRelay<Registered>(
        "Adding this computer to your account\u2026", nullptr, [&](std::function<void(Registered)> done) {
            return account.registerHost(setUp.identity, setUp.session, name, std::move(done));
        });
    if (!registered) {
        signOut(account, setUp.session);
        flowRunning_ = false;
        return;
    }
    if (auto failure = std::get_if<RelayAccountFailure>(&*registered)) {
        if (failure->errorWord() == "host-taken" && !moved) return offerMove(std::move(setUp));
        say("set up: not registered (" + word(*failure) + because(*failure) + ")");
        tell("Could not set up the relay",
             RelayAccountTexts::text(*failure, RelayAccountTexts::Step::registration, addressOf(account)));
        signOut(account, setUp.session);
        flowRunning_ = false;
        return;
    }
    if (moved) say("set up: moved from another account");
    signOut(account, setUp.session);
    flowRunning_ = false;
    address_ = setUp.address;
    s_.settings->setString(hostKey, address_);
    accountEmail_ = setUp.session.email;
    s_.settings->setString(emailKey, *accountEmail_);
    say("set up: registered with the account");
    if (!enabled_) {
        // While paused the relay stays off; it is turned on later from the menu.
        if (!s_.hooks.paused()) {
            enabled_ = true;
            s_.settings->setBool(enabledKey, true);
            say("turned on (owner authenticated)");
            startLink();
        }
    } else if (link_) {
        link_->restartNow();
    }
}

void RelayController::offerMove(SetUp setUp) {
    const std::string email = setUp.session.email;
    const int answer = s_.hooks.runAlert({"This computer is on another account",
                                          "Move it to " + email + "? Devices then need to sign in as " + email +
                                              " to reach it over the relay.",
                                          {"Move to This Account", "Cancel"}},
                                         [] { return false; });
    if (answer != RelayResponse::first || s_.hooks.blocked()) {
        signOut(*setUp.account, setUp.session);
        flowRunning_ = false;
        return;
    }
    std::weak_ptr<RelayController> weak = weak_from_this();
    auto shared = std::make_shared<SetUp>(std::move(setUp));
    s_.hooks.authenticate(
        "move this computer to another relay account", "move this computer to another relay account",
        [weak, shared] {
            auto self = weak.lock();
            if (!self) return;
            auto& account = *shared->account;
            using Removed = RelayAccountResult<std::monostate>;
            auto removed = self->waitForRelay<Removed>("Moving this computer\u2026", nullptr,
                                                       [&](std::function<void(Removed)> done) {
                                                           return account.removeSelf(shared->identity, std::move(done));
                                                       });
            if (!removed) {
                signOut(account, shared->session);
                self->flowRunning_ = false;
            } else if (auto failure = std::get_if<RelayAccountFailure>(&*removed)) {
                self->say("set up: not moved (" + word(*failure) + because(*failure) + ")");
                self->tell("Could not move this computer",
                           RelayAccountTexts::text(*failure, RelayAccountTexts::Step::remove, addressOf(account)));
                signOut(account, shared->session);
                self->flowRunning_ = false;
            } else {
                self->registerWith(*shared, true);
            }
        },
        [weak, shared] {
            signOut(*shared->account, shared->session);
            if (auto self = weak.lock()) self->flowRunning_ = false;
        });
}

void RelayController::removeFromAccount() {
    if (!setUp() || flowRunning_ || s_.hooks.blocked()) return;
    flowRunning_ = true;
    std::weak_ptr<RelayController> weak = weak_from_this();
    s_.hooks.authenticate(
        "remove this computer from the relay account", "remove this computer from your relay account",
        [weak] {
            auto self = weak.lock();
            if (!self) return;
            self->flowRunning_ = false;
            if (!self->setUp()) return;
            const int answer = self->s_.hooks.runAlert(
                {"Remove this computer from your account?",
                 "Devices can no longer reach this computer over the relay until you set it up again.",
                 {"Remove", "Cancel"}},
                [] { return false; });
            if (answer != RelayResponse::first || self->s_.hooks.blocked()) return;
            auto account = self->accountFor(self->address_);
            if (!account) return;
            self->flowRunning_ = true;
            using Removed = RelayAccountResult<std::monostate>;
            const RelayIdentity identity = *self->identity_;
            auto removed = self->waitForRelay<Removed>("Removing this computer from your account\u2026", nullptr,
                                                       [&](std::function<void(Removed)> done) {
                                                           return account->removeSelf(identity, std::move(done));
                                                       });
            self->flowRunning_ = false;
            if (!removed) return;
            if (auto failure = std::get_if<RelayAccountFailure>(&*removed)) {
                self->say("set up: not removed (" + word(*failure) + because(*failure) + ")");
                self->tell("Could not remove this computer",
                           RelayAccountTexts::text(*failure, RelayAccountTexts::Step::remove, addressOf(*account)));
                return;
            }
            if (self->enabled_) {
                self->enabled_ = false;
                self->s_.settings->setBool(enabledKey, false);
                self->stopLink();
            }
            self->accountEmail_.reset();
            self->s_.settings->remove(emailKey);
            self->say("set up: removed from the account");
        },
        [weak] {
            if (auto self = weak.lock()) self->flowRunning_ = false;
        });
}

}  // namespace morvane
