#include "server/effects_relay.h"

#include <cmath>

#include <nlohmann/json.hpp>

#include "core/overload.h"

namespace morvane {

std::shared_ptr<EffectsRelay> EffectsRelay::create(Executor& queue, Executor& main, DisplayEffects* effects,
                                                   FrameSource& frames, std::function<bool()> isPaused,
                                                   Clock uptimeMillis, int idleSeconds) {
    auto relay = std::make_shared<EffectsRelay>(queue, main, effects, frames, std::move(isPaused),
                                                std::move(uptimeMillis), idleSeconds);
    if (effects) {
        // The driver reports from the main queue; its events are the
        // machine's to judge on the server queue.
        std::weak_ptr<EffectsRelay> weak = relay;
        effects->setOnEvent([weak](const DisplayEffectsEvent& event) {
            auto self = weak.lock();
            if (!self) return;
            self->queue_.post([weak, event] {
                if (auto s = weak.lock()) s->feed(fx_machine_event::Seam{event});
            });
        });
    }
    return relay;
}

void EffectsRelay::displayShown(const DisplayListing& listing, bool changed) {
    if (changed) feed(fx_machine_event::DisplayChanged{});
    if (auto shown = shownOf(listing)) feed(*shown);
}

EffectsRelay::EffectsRelay(Executor& queue, Executor& main, DisplayEffects* effects, FrameSource& frames,
                           std::function<bool()> isPaused, Clock uptimeMillis, int idleSeconds)
    : queue_(queue),
      main_(main),
      effects_(effects),
      frames_(frames),
      isPaused_(std::move(isPaused)),
      uptime_(std::move(uptimeMillis)),
      fx_(effects != nullptr) {
    if (!isPaused_) isPaused_ = [] { return false; };
    if (effects_) fx_.idleLimit = idleSeconds;
}

std::optional<fx_machine_event::Shown> EffectsRelay::shownOf(const DisplayListing& listing) {
    if (!listing.current) return std::nullopt;
    for (const auto& d : listing.displays) {
        if (d.id != *listing.current) continue;
        return fx_machine_event::Shown{d.id, static_cast<int>(std::lround(d.bounds.width)),
                                       static_cast<int>(std::lround(d.bounds.height))};
    }
    return std::nullopt;
}

void EffectsRelay::onMain(std::function<void()> work) {
    std::weak_ptr<EffectsRelay> weak = weak_from_this();
    main_.post([weak, work = std::move(work)] {
        if (!weak.expired()) work();
    });
}

void EffectsRelay::feed(const FxMachine::Event& event) {
    fx_.gateNow = static_cast<std::uint64_t>(uptime_());
    auto actions = fx_.handle(event);
    mirror();
    perform(actions);
}

void EffectsRelay::mirror() {
    std::lock_guard lock(mirrorLock_);
    mirror_ = {fx_.match.has_value(), fx_.hide.has_value()};
}

std::pair<bool, bool> EffectsRelay::active() const {
    std::lock_guard lock(mirrorLock_);
    return mirror_;
}

EffectsRelay::Ended EffectsRelay::endSession(std::shared_ptr<SessionLink> newController) {
    bool hadMatch = fx_.match.has_value() || fx_.matchInFlight().has_value();
    auto now = static_cast<std::uint64_t>(uptime_());
    fx_.gateNow = now;
    // What the machine would do is replaced by restoring everything at once.
    (void)fx_.handle(fx_machine_event::SessionEnd{newController != nullptr, now});
    mirror();
    link_ = std::move(newController);
    return Ended{fx_.epoch, hadMatch};
}

void EffectsRelay::handle(const FxRequest& request, bool switching) {
    if (!link_ || isPaused_()) return;
    if (!effects_) {
        feed(fx_machine_event::Request{request, FxFacts{}, switching, static_cast<std::uint64_t>(uptime_())});
        return;
    }
    bool wantModes = std::holds_alternative<fx_request::Probe>(request) ||
                     std::holds_alternative<fx_request::Match>(request);
    std::weak_ptr<EffectsRelay> weak = weak_from_this();
    std::weak_ptr<SessionLink> asker = link_;
    onMain([weak, asker, request, switching, wantModes] {
        auto self = weak.lock();
        if (!self || self->isPaused_()) return;
        FxFacts facts = self->facts(wantModes);
        self->queue_.post([weak, asker, request, switching, facts] {
            auto s = weak.lock();
            auto link = asker.lock();
            // A request whose asker stopped being the controller meanwhile is dropped.
            if (!s || !link || s->link_ != link) return;
            s->feed(fx_machine_event::Request{request, facts, switching, static_cast<std::uint64_t>(s->uptime_())});
        });
    });
}

void EffectsRelay::input() { feed(fx_machine_event::Input{static_cast<std::uint64_t>(uptime_())}); }

bool EffectsRelay::gateActive() { return fx_.gate.active(static_cast<std::uint64_t>(uptime_())); }

void EffectsRelay::status(bool locked, const std::string& capture) {
    feed(fx_machine_event::Status{locked, capture});
}

void EffectsRelay::tick() { feed(fx_machine_event::Tick{static_cast<std::uint64_t>(uptime_())}); }

void EffectsRelay::setAllowed(bool match, bool hide, bool locksOnDisconnect) {
    runSync(queue_, [&] { feed(fx_machine_event::Allowed{match, hide, locksOnDisconnect}); });
}

FxFacts EffectsRelay::facts(bool modes) const {
    FxFacts facts;
    if (!effects_) return facts;
    DisplayListing listing = frames_.displayListing();
    facts.display = listing.current;
    if (listing.current) {
        if (auto found = effects_->modes(*listing.current)) {
            facts.current = found->current;
            facts.modes = modes ? found->all : std::vector<DisplayModeInfo>{};
        }
        facts.others = effects_->otherActiveDisplays(*listing.current);
    }
    facts.secureInput = effects_->secureInputOn();
    return facts;
}

void EffectsRelay::perform(const std::vector<FxMachine::Action>& actions) {
    std::weak_ptr<EffectsRelay> weak = weak_from_this();
    for (const auto& action : actions) {
        std::visit(
            Overload{
                [&](const fx_action::Result& a) {
                    if (link_) link_->sendJSON(FxMessage::result(a.result));
                },
                [&](const fx_action::State& a) {
                    // Only a controller that spoke of the effects in this
                    // session hears of them.
                    if (!fx_.fxClient || !link_) return;
                    FxMachine copy = fx_;
                    std::weak_ptr<SessionLink> target = link_;
                    onMain([weak, target, copy, a] {
                        auto self = weak.lock();
                        if (!self) return;
                        FxFacts facts = self->facts(false);
                        self->queue_.post([weak, target, copy, a, facts] {
                            auto s = weak.lock();
                            auto link = target.lock();
                            if (!s || !link || s->link_ != link) return;
                            link->sendJSON(FxMessage::state(copy.state(facts), a.ended, a.soon));
                        });
                    });
                },
                [&](const fx_action::SetMode& a) {
                    if (!effects_) return;
                    onMain([weak, a] {
                        auto self = weak.lock();
                        if (!self) return;
                        bool ok = !self->isPaused_() && self->effects_->setMode(a.mode.id, a.display, a.epoch);
                        if (ok) self->frames_.displayModeChanged();
                        DisplayListing listing = self->frames_.displayListing();
                        self->queue_.post([weak, a, ok, listing] {
                            auto s = weak.lock();
                            if (!s) return;
                            s->feed(fx_machine_event::ModeSet{a.request, ok, a.epoch});
                            if (auto shown = shownOf(listing)) s->feed(*shown);
                        });
                    });
                },
                [&](const fx_action::RestoreMode& a) {
                    if (!effects_) return;
                    onMain([weak, a] {
                        auto self = weak.lock();
                        if (!self) return;
                        bool ok = self->effects_->restoreMode(a.display);
                        if (ok) self->frames_.displayModeChanged();
                        DisplayListing listing = self->frames_.displayListing();
                        self->queue_.post([weak, ok, listing] {
                            auto s = weak.lock();
                            if (!s) return;
                            if (!ok) s->feed(fx_machine_event::RestoreFailed{});
                            if (auto shown = shownOf(listing)) s->feed(*shown);
                        });
                    });
                },
                [&](const fx_action::ForgetMode& a) {
                    if (!effects_) return;
                    onMain([weak, a] {
                        if (auto self = weak.lock()) {
                            self->effects_->forgetMode(a.display);
                            self->frames_.displayModeChanged();
                        }
                    });
                },
                [&](const fx_action::Hide& a) {
                    if (!effects_) return;
                    onMain([weak, a] {
                        if (auto self = weak.lock()) self->hide(a);
                    });
                },
                [&](const fx_action::RestoreAll& a) {
                    if (!effects_) return;
                    onMain([weak, a] {
                        if (auto self = weak.lock()) self->effects_->restoreAll(a.epoch);
                    });
                },
                [&](const fx_action::Unhide&) {
                    if (!effects_) return;
                    onMain([weak] {
                        auto self = weak.lock();
                        if (!self) return;
                        ++self->hideSerial_;
                        self->effects_->uncover();
                        self->effects_->disarmEscape();
                    });
                },
            },
            action);
    }
}

// Main queue.
void EffectsRelay::hide(const fx_action::Hide& action) {
    std::weak_ptr<EffectsRelay> weak = weak_from_this();
    auto report = [weak, action](HideOutcome outcome) {
        auto self = weak.lock();
        if (!self) return;
        self->queue_.post([weak, action, outcome] {
            if (auto s = weak.lock())
                s->feed(fx_machine_event::HideDone{action.request, outcome, action.epoch,
                                                   static_cast<std::uint64_t>(s->uptime_())});
        });
    };
    if (isPaused_()) {
        report(HideOutcome::failed);
        return;
    }
    switch (effects_->armEscape(action.epoch)) {
    case EscapeArm::noPermission:
        report(HideOutcome::noKeyWatch);
        return;
    case EscapeArm::failed:
        report(HideOutcome::failed);
        return;
    case EscapeArm::armed:
        break;
    }
    int serial = ++hideSerial_;
    effects_->cover(action.display, coverText, action.epoch, [weak, serial, report](bool ok) {
        // The driver answers on the main queue.
        auto self = weak.lock();
        if (!self) return;
        if (!ok && self->hideSerial_ == serial) self->effects_->disarmEscape();
        report(ok ? HideOutcome::ok : HideOutcome::failed);
    });
}

}  // namespace morvane
