#include "app/shell.h"

#include <algorithm>
#include <set>

#include <unistd.h>

#include "app/counting_input.h"
#include "app/reopen.h"
#include "core/overload.h"
#include "core/session_log.h"
#include "devices/device_store.h"
#include "guide/guide_texts.h"
#include "relay/relay_controller.h"

namespace morvane {

namespace {
constexpr std::int64_t alertTickMillis = 250;
constexpr std::int64_t statsMillis = 10'000;
}  // namespace

std::shared_ptr<Shell> Shell::create(ShellDeps deps) {
    auto shell = std::shared_ptr<Shell>(new Shell(std::move(deps)));
    std::weak_ptr<Shell> weak = shell;
    shell->auth_ = std::make_unique<OwnerAuthentication>(
        *shell->d_.main, *shell->d_.prompt,
        [weak] {
            auto s = weak.lock();
            return !s || s->blocked();
        },
        [weak](const std::string& tag, const std::string& text) {
            if (auto s = weak.lock()) s->log(tag, text);
        });
    return shell;
}

Shell::Shell(ShellDeps deps) : d_(std::move(deps)) {}

TailscaleFacts guideTailscaleFacts(const TailscaleControl::Snapshot& snapshot) {
    if (std::holds_alternative<cli_lookup::NotInstalled>(snapshot.cli)) return tailscale_facts::NotInstalled{};
    if (snapshot.access) return tailscale_facts::On{snapshot.access->host};
    if (std::holds_alternative<cli_lookup::Found>(snapshot.cli) &&
        std::holds_alternative<tailnet_decision::Off>(snapshot.decision))
        return tailscale_facts::Off{};
    // Untrusted, unreadable, in conflict or exposed: the menu says why.
    return tailscale_facts::Unavailable{};
}

TailnetMenuFacts tailnetMenuFacts(const TailscaleControl::Snapshot& snapshot) {
    using D = TailnetMenuFacts::Decision;
    TailnetMenuFacts facts;
    std::visit(Overload{
                   [&](const cli_lookup::NotInstalled&) { facts.cli = TailnetMenuFacts::Cli::notInstalled; },
                   [&](const cli_lookup::Untrusted& u) {
                       facts.cli = TailnetMenuFacts::Cli::untrusted;
                       facts.untrustedReason = u.reason;
                   },
                   [&](const cli_lookup::Found&) { facts.cli = TailnetMenuFacts::Cli::found; },
               },
               snapshot.cli);
    std::visit(Overload{
                   [&](const tailnet_decision::Unreadable& d) {
                       facts.decision = D::unreadable;
                       facts.text = d.text;
                   },
                   [&](const tailnet_decision::Unavailable& d) {
                       facts.decision = D::unavailable;
                       facts.text = d.text;
                   },
                   [&](const tailnet_decision::Off& d) {
                       facts.decision = D::off;
                       facts.blocker = d.blocker;
                   },
                   [&](const tailnet_decision::On&) { facts.decision = D::on; },
                   [&](const tailnet_decision::Conflict& d) {
                       switch (d.kind) {
                           case tailnet_decision::ConflictKind::port443: facts.decision = D::conflictPort443; break;
                           case tailnet_decision::ConflictKind::otherRoute: facts.decision = D::conflictOtherRoute; break;
                           case tailnet_decision::ConflictKind::otherEntries:
                               facts.decision = D::conflictOtherEntries;
                               break;
                       }
                   },
                   [&](const tailnet_decision::Funnel&) { facts.decision = D::funnel; },
               },
               snapshot.decision);
    if (snapshot.access) {
        facts.accessHost = snapshot.access->host;
        facts.ownerLogin = snapshot.access->ownerLogin;
    }
    facts.actionError = snapshot.actionError;
    facts.busy = snapshot.busy;
    facts.published = snapshot.published;
    return facts;
}

template <class F>
void Shell::later(std::int64_t millis, F work) {
    std::weak_ptr<Shell> weak = weak_from_this();
    d_.main->postAfter(millis, [weak, work = std::move(work)]() mutable {
        if (auto self = weak.lock()) work(*self);
    });
}

template <class F>
void Shell::soon(F work) {
    std::weak_ptr<Shell> weak = weak_from_this();
    d_.main->post([weak, work = std::move(work)]() mutable {
        if (auto self = weak.lock()) work(*self);
    });
}

bool Shell::blocked() const { return coolDownBlocks(controller_.has_value(), lastControllerEnd_, now()); }

void Shell::loadSettings() {
    const auto onOff = ShellLines::onOff;
    lockOnDisconnect_ = d_.settings ? d_.settings->boolValue(SettingsKeys::lockOnDisconnect).value_or(true) : true;
    log("app", "lock when the controller disconnects: " + onOff(lockOnDisconnect_));
    allowResolutionMatch_ =
        d_.settings ? d_.settings->boolValue(SettingsKeys::allowResolutionMatch).value_or(true) : true;
    allowHideScreen_ = d_.hideFlagIsOn ? d_.hideFlagIsOn() : false;
    log("app", "devices may change the resolution: " + onOff(allowResolutionMatch_) + "; " +
                   "devices may hide this screen: " + onOff(allowHideScreen_));
    paused_ = d_.settings ? d_.settings->boolValue(SettingsKeys::paused).value_or(false) : false;
    if (d_.settings) settingsDamaged_ = d_.settings->damaged();
    if (paused_)
        log("pause", "starting paused, as it was left: nobody can connect until Resume Morvane is chosen");
}

ConnectRelayStatus Shell::relayStatus() const {
    if (relay_.guideFacts) return ConnectGuide::relayStatus(relay_.guideFacts());
    // No controller (the server did not start): a relay never set up.
    ConnectRelayFacts facts;
    facts.hardened = d_.hardened;
    facts.storageReadable = !d_.store || !d_.store->storageFailure();
    return ConnectGuide::relayStatus(facts);
}

void Shell::welcomeAtLaunch(std::size_t pairedDevices) {
    if (!d_.settings) return;
    SettingsStore& settings = *d_.settings;
    const ConnectRelayStatus relay = relayStatus();
    const bool asked = settings.boolValue(SettingsKeys::askedForPermissions).value_or(false);
    const bool offered = settings.boolValue(SettingsKeys::welcomeOffered).value_or(false);
    const int devices = static_cast<int>(std::min<std::size_t>(pairedDevices, 1'000'000));
    const bool existingInstall = WelcomeGuide::existingInstall(asked, offered, devices);
    if (WelcomeGuide::stepTwoDone(relay) || existingInstall) settings.setBool(SettingsKeys::welcomeHidden, true);
    const bool hidden = settings.boolValue(SettingsKeys::welcomeHidden).value_or(false);
    // A host whose server did not start has nothing to walk the owner
    // through; the menu says what went wrong instead.
    if (!startError_ && WelcomeGuide::showAtLaunch(hidden, relay, existingInstall)) {
        settings.setBool(SettingsKeys::askedForPermissions, true);
        settings.setBool(SettingsKeys::welcomeOffered, true);
        log("app", "first run: showing the Welcome window");
        showWelcomeWindow();
    } else if (!asked && !startError_) {
        // Nothing to ask the desktop for here: the X server grants or lacks
        // its extensions, and the menu names what is missing. A start that
        // served nothing (another user's Morvane held the port) leaves it
        // unasked, or the next start would take this for an older install
        // and never welcome its owner.
        settings.setBool(SettingsKeys::askedForPermissions, true);
    }
}

GuideSnapshot Shell::guideSnapshot() const {
    GuideSnapshot s;
    s.relay = relayStatus();
    s.gate.paused = paused_;
    s.gate.controlled = controller_.has_value();
    s.gate.recentlyControlled = !controller_ && coolDownBlocks(false, lastControllerEnd_, now());
    s.gate.busy = authenticating() || (relay_.flowBusy && relay_.flowBusy());
    s.gate.pairBlocked = startError_.has_value() || !d_.store || d_.store->storageFailure().has_value() ||
                         d_.store->lastSaveFailure().has_value();
    s.screen = !d_.canCapture || d_.canCapture() ? ScreenRecordingPermission::allowed
                                                 : ScreenRecordingPermission::missing;
    s.openedScreenSettings = openedScreenSettings_;
    s.accessibility = !d_.canInject || d_.canInject();
    // The same answer the menu and the log give: the probe asked the locker.
    s.locker = !lockerMissing_;
    s.devices = d_.store ? static_cast<int>(std::min<std::size_t>(d_.store->devices().size(), 1'000'000)) : 0;
    s.address = relay_.address ? relay_.address() : std::string();
    s.localAddress = localAddress();
    s.tailscale =
        tailscale_ ? guideTailscaleFacts(tailscale_->snapshot()) : TailscaleFacts{tailscale_facts::NotInstalled{}};
    if (relay_.recentlyAdded) s.addedName = relay_.recentlyAdded();
    s.laptop = d_.laptop;
    // The keep-awake app exists only for another platform.
    s.pellmoorInstalled = false;
    return s;
}

void Shell::performGuide(const GuideAction& action) {
    using K = GuideAction::Kind;
    switch (action.kind) {
        case K::setUpRelay:
            if (relay_.perform) relay_.perform("setUp");
            break;
        case K::turnOnRelay:
            if (relay_.perform) relay_.perform("turnOn");
            break;
        case K::addDevice:
            if (relay_.perform) relay_.perform("addDevice");
            break;
        case K::pairDevice:
            pairNewDevice();
            break;
        case K::openScreenRecording:
        case K::openAccessibility:
            // No settings pane grants these on X; the windows offer no such
            // button, so an action that still arrives only notes the visit.
            if (action.kind == K::openScreenRecording) openedScreenSettings_ = true;
            break;
        case K::openConnectWindow:
            showConnectWindow();
            break;
        case K::quitAndReopen:
            quitAndReopen();
            break;
        case K::copy:
            if (d_.ui) d_.ui->copyText(action.text);
            break;
        case K::openOnThisComputer:
            if (d_.ui) d_.ui->openLocation(localAddress());
            break;
    }
    if (welcomePanel_) welcomePanel_->refresh();
    if (connectPanel_) connectPanel_->refresh();
}

std::shared_ptr<GuidePanel> Shell::makeGuidePanel(ShellDeps::GuideWindowKind kind) {
    std::weak_ptr<Shell> weak = weak_from_this();
    const bool welcome = kind == ShellDeps::GuideWindowKind::welcome;
    auto panel = GuidePanel::create(
        welcome ? GuideTexts::welcomeWindowTitle : GuideTexts::connectWindowTitle,
        [this] { return guideSnapshot(); },
        [weak](const GuideAction& action) {
            // A press may end in a nested alert loop; run it on a turn of
            // its own, after the button's handler returned.
            if (auto s = weak.lock()) s->soon([action](Shell& shell) { shell.performGuide(action); });
        },
        d_.main);
    std::function<void()> dontShowAgain;
    if (welcome) {
        panel->onRefresh = [weak](const GuideSnapshot& snapshot) {
            auto s = weak.lock();
            if (!s || !s->d_.settings || !WelcomeGuide::stepTwoDone(snapshot.relay)) return;
            if (!s->d_.settings->boolValue(SettingsKeys::welcomeHidden).value_or(false))
                s->d_.settings->setBool(SettingsKeys::welcomeHidden, true);
        };
        panel->onClose = [weak] {
            auto s = weak.lock();
            if (!s || !s->d_.settings || !WelcomeGuide::hideWhenClosed(s->reopening_)) return;
            if (s->d_.settings->boolValue(SettingsKeys::welcomeHidden).value_or(false)) return;
            s->d_.settings->setBool(SettingsKeys::welcomeHidden, true);
            s->log("app", "Welcome window closed: not shown by itself again");
        };
        dontShowAgain = [weak] {
            if (auto s = weak.lock()) s->welcomeDontShowAgain();
        };
    }
    if (d_.makeGuideWindow) d_.makeGuideWindow(panel, kind, std::move(dontShowAgain));
    return panel;
}

void Shell::showWelcomeWindow() {
    if (!welcomePanel_) welcomePanel_ = makeGuidePanel(ShellDeps::GuideWindowKind::welcome);
    welcomePanel_->show();
}

void Shell::showConnectWindow() {
    if (!connectPanel_) connectPanel_ = makeGuidePanel(ShellDeps::GuideWindowKind::connect);
    connectPanel_->show();
}

void Shell::welcomeDontShowAgain() {
    if (d_.settings) d_.settings->setBool(SettingsKeys::welcomeHidden, true);
    log("app", "Welcome window: don't show again");
    if (welcomePanel_) welcomePanel_->close();
}

void Shell::setStartError(std::optional<std::string> error, std::optional<std::string> advice) {
    startError_ = std::move(error);
    startAdvice_ = startError_ ? std::move(advice) : std::nullopt;
    updateIcon();
}

void Shell::controllerChanged(const std::optional<std::string>& name, const std::optional<std::string>& deviceID) {
    const auto old = controller_;
    if (old && !name) lastControllerEnd_ = now();
    controller_ = name;
    controllerDevice_ = name ? deviceID : std::nullopt;
    const bool serverPaused = d_.server ? d_.server->isPaused() : paused_;
    carryOut(lock_.handle(LockScheduler::ControllerChanged{name.has_value(), controllerDevice_, lockOnDisconnect_,
                                                           serverPaused},
                          now()));
    updateIcon();
    logSessionChange(old, name);
    if (name) {
        // A device now controls the machine: the owner's open choices end.
        if (pairingAlertOpen_ && d_.store) d_.store->closePairingWindow();
        if (alerts_.shouldAbort(true, false) && d_.ui) d_.ui->abortAlert();
        auth_->invalidate();
    }
}

void Shell::carryOut(const std::vector<LockScheduler::Action>& actions) {
    for (const auto& action : actions) {
        std::visit(Overload{
                       [&](const LockScheduler::Log& l) { log(l.tag, l.text); },
                       [&](const LockScheduler::StartGraceTimer& t) {
                           const auto ticket = t.ticket;
                           later(t.delayMillis, [ticket](Shell& s) {
                               s.carryOut(s.lock_.handle(LockScheduler::GraceElapsed{ticket}, s.now()));
                           });
                       },
                       [&](const LockScheduler::StartTimer& t) {
                           later(t.delayMillis, [fired = LockScheduler::TimerFired{t.which, t.ticket}](Shell& s) {
                               s.carryOut(s.lock_.handle(fired, s.now()));
                           });
                       },
                       [&](const LockScheduler::AnswerAsk& a) {
                           if (d_.server) d_.server->lockAnswered(a.ask, a.locked);
                       },
                       [&](const LockScheduler::LockerAnswers& a) { lockerAnswers(a.answers, a.changed); },
                       [&](const LockScheduler::Look&) {
                           onMainLater(d_.lookAtLocker, [](Shell& self, LockerLook look) {
                               self.carryOut(self.lock_.handle(LockScheduler::Looked{look}, self.now()));
                           });
                       },
                       [&](const LockScheduler::ProbeForLock&) {
                           askLocked([](Shell& self, bool locked) {
                               LockScheduler::LockProbed probe;
                               probe.lockOnDisconnect = self.lockOnDisconnect_;
                               probe.paused = self.d_.server ? self.d_.server->isPaused() : self.paused_;
                               probe.alreadyLocked = locked;
                               probe.canInject = self.d_.canInject ? self.d_.canInject() : true;
                               self.carryOut(self.lock_.handle(probe, self.now()));
                           });
                       },
                       [&](const LockScheduler::TryLock&) {
                           // Held keys and buttons go first; the lock itself
                           // runs beside the input, never in its way.
                           if (d_.injector) d_.injector->handle(input::Lock{});
                           onMainLater(d_.tryLock, [](Shell& self, bool took) {
                               self.carryOut(self.lock_.handle(LockScheduler::LockTried{took}, self.now()));
                           });
                       },
                       [&](const LockScheduler::StartLockCheck& c) {
                           later(c.delayMillis, [](Shell& s) {
                               s.askLocked([](Shell& self, bool locked) {
                                   self.lastLockFailed_ = !locked;
                                   self.updateIcon();
                                   self.carryOut(self.lock_.handle(LockScheduler::LockChecked{locked}, self.now()));
                               });
                           });
                       },
                   },
                   action);
    }
}

void Shell::askLocked(std::function<void(Shell&, bool)> then) {
    onMainLater(d_.lookAtLocker, [then = std::move(then)](Shell& self, LockerLook look) {
        self.carryOut(self.lock_.handle(LockScheduler::Heard{look.answers}, self.now()));
        then(self, look.locked);
    });
}

template <class Answer>
void Shell::onMainLater(const std::function<void(std::function<void(Answer)>)>& ask,
                        std::function<void(Shell&, std::type_identity_t<Answer>)> then) {
    std::weak_ptr<Shell> weak = weak_from_this();
    auto answer = [weak, main = d_.main, then = std::move(then)](Answer value) {
        main->post([weak, then, value] {
            if (auto self = weak.lock()) then(*self, value);
        });
    };
    if (ask)
        ask(std::move(answer));
    else
        answer(Answer{});
}

void Shell::lockAsked(std::uint64_t ask) { carryOut(lock_.handle(LockScheduler::Asked{ask}, now())); }

void Shell::lockerMoved() { carryOut(lock_.handle(LockScheduler::LockerMoved{}, now())); }

void Shell::logSessionChange(const std::optional<std::string>& old, const std::optional<std::string>& fresh) {
    if (old) {
        logStats();
        log("controller", ShellLines::disconnected(*old, now() - sessionStart_, fresh.has_value()));
    }
    if (fresh) {
        sessionStart_ = now();
        const auto route = d_.server ? d_.server->controllerRoute() : std::nullopt;
        const bool viaTailnet = d_.server && d_.server->controllerViaTailnet();
        log("controller",
            ShellLines::connected(*fresh, ShellLines::routeWords(route.value_or(ConnectionRoute::loopback), viaTailnet)));
        loggedPermissions_.reset();
        logPermissionsIfChanged();
        if (d_.counted) d_.counted->takeSummary();
        if (d_.wake && !d_.wake->held()) {
            if (d_.wake->hold(DisplayWake::reason))
                log("power", "display-sleep assertion held");
            else
                log("error", "could not hold the display-sleep assertion");
        }
        if (statsGeneration_ == 0) {
            statsGeneration_ = nextStatsGeneration_++;
            scheduleStats(statsGeneration_);
        }
        return;
    }
    statsGeneration_ = 0;
    if (d_.wake) d_.wake->release();
    log("power", "display-sleep assertion released");
}

void Shell::scheduleStats(std::uint64_t generation) {
    later(statsMillis, [generation](Shell& s) {
        if (s.statsGeneration_ != generation) return;
        s.logStats();
        s.scheduleStats(generation);
    });
}

void Shell::logStats() {
    if (d_.takeStats) {
        if (const auto stats = d_.takeStats()) log("capture", ShellLines::captureStats(*stats));
    }
    log("input", ShellLines::inputSummary(d_.counted ? d_.counted->takeSummary() : std::string()));
    logPermissionsIfChanged();
}

void Shell::logPermissionsIfChanged() {
    const std::string line = ShellLines::permissions(d_.canCapture ? d_.canCapture() : true,
                                                     d_.canInject ? d_.canInject() : true,
                                                     d_.canWatchKeys ? d_.canWatchKeys() : true, false);
    if (loggedPermissions_ == line) return;
    loggedPermissions_ = line;
    log("permissions", line);
}

void Shell::sessionEvent(const SessionEvent& event) {
    if (!d_.history) return;
    std::visit(Overload{
                   [&](const session_event::Started& e) { d_.history->started(e.deviceID, e.name, e.route); },
                   [&](const session_event::Ended& e) { d_.history->ended(e.deviceID, e.takenOver); },
               },
               event);
}

void Shell::pairAttempted(bool viaTailnet, const std::optional<std::string>& pairedName, bool wrongCode) {
    const std::string words = ShellLines::pairingRouteWords(viaTailnet);
    if (pairedName) {
        log("pairing", "code accepted " + words + ": paired " + *pairedName);
        notePaired(*pairedName);
        return;
    }
    if (wrongCode) {
        log("pairing", "a wrong code was entered " + words);
        return;
    }
    if (const auto delay = closedAttempts_.record(viaTailnet, now())) {
        later(*delay, [](Shell& s) { s.log("pairing", s.closedAttempts_.flush(s.now())); });
    }
}

void Shell::pairRefused(bool viaTailnet, const std::string& reason) {
    log("error", ShellLines::pairingNotSaved(viaTailnet, reason));
    savesChanged(reason);
}

void Shell::savesChanged(const std::optional<std::string>& failure) {
    if (failure == loggedSaveFailure_) return;
    if (failure)
        log("error", ShellLines::devicesNotSaved(d_.storageSummary, *failure));
    else if (loggedSaveFailure_)
        log("pairing", ShellLines::devicesSavedAgain(d_.storageSummary));
    loggedSaveFailure_ = failure;
}

void Shell::notePaired(const std::string& name) {
    pairedNotice_ = std::make_pair(SessionLog::clean(name, 40), now());
    updateIcon();
    later(MenuTimes::pairedIconTimerMillis, [](Shell& s) { s.updateIcon(); });
}

void Shell::stoppedOnMac() {
    paused_ = true;
    if (relay_.paused) relay_.paused();
    if (d_.settings) d_.settings->setBool(SettingsKeys::paused, true);
    settingChanged();
    log("pause",
        "Stop Sharing was pressed on the computer: the session is ended and Morvane is paused. "
        "Nobody can connect until Resume Morvane is chosen");
    carryOut(lock_.handle(LockScheduler::Paused{}, now()));
    updateIcon();
}

void Shell::listenerFailed(const std::string& reason) {
    log("error", "server stopped listening: " + reason);
    startError_ = "Not running: the server stopped";
    startAdvice_.reset();
    updateIcon();
}

void Shell::updateIcon() {
    if (!d_.ui) return;
    const bool recentlyPaired = pairedNotice_ && now() - pairedNotice_->second < MenuTimes::pairedIconMillis;
    // A lock that failed is a red line in the menu and the icon asks for a
    // look at it; a locker missing before any lock was tried is only advice.
    d_.ui->showIcon(iconState(startError_.has_value(), paused_, controller_, recentlyPaired, lastLockFailed_));
}

std::optional<std::string> Shell::historyTag(const SessionRecord& record) const {
    if (!d_.store) return std::nullopt;
    const auto devices = d_.store->devices();
    const auto it = std::find_if(devices.begin(), devices.end(),
                                 [&](const PairedDevice& d) { return d.id == record.deviceID; });
    if (it == devices.end()) return std::nullopt;
    const std::string name = SessionLog::clean(it->name, SessionHistory::nameLimit);
    const auto same = std::count_if(devices.begin(), devices.end(), [&](const PairedDevice& d) {
        return SessionLog::clean(d.name, SessionHistory::nameLimit) == name;
    });
    if (same < 2) return std::nullopt;
    return SessionHistory::pairedTag(it->pairedAt * 1000, {});
}

MenuSnapshot Shell::snapshot() {
    MenuSnapshot s;
    s.port = d_.port;
    s.paused = paused_;
    s.startError = startError_;
    s.startAdvice = startAdvice_;
    s.controller = controller_;
    s.blocked = blocked();
    s.authenticating = authenticating();
    if (pairedNotice_ && now() - pairedNotice_->second < MenuTimes::pairedNoticeMillis)
        s.pairedNoticeName = pairedNotice_->first;
    s.screen = !d_.canCapture || d_.canCapture() ? ScreenRecordingState::allowed : ScreenRecordingState::missing;
    s.openedScreenRecordingSettings = openedScreenSettings_;
    s.lockerMissing = lockerMissing_ && lockOnDisconnect_;
    s.lastLockFailed = lastLockFailed_;
    s.accessibility = !d_.canInject || d_.canInject();
    s.inputMonitoring = !d_.canWatchKeys || d_.canWatchKeys();
    s.hardened = d_.hardened;
    if (!d_.notHardenedWarning.empty()) s.notHardenedWarning = d_.notHardenedWarning;
    if (!d_.notHardenedAdvice.empty()) s.notHardenedAdvice = d_.notHardenedAdvice;
    if (d_.store) {
        s.storageFailure = d_.store->storageFailure();
        s.lastSaveFailure = d_.store->lastSaveFailure();
        switch (d_.store->unsavedRevocation()) {
            case DeviceStore::UnsavedRevocation::none: break;
            case DeviceStore::UnsavedRevocation::listRemoved: s.unsavedRevocation = UnsavedRevocationState::listRemoved; break;
            case DeviceStore::UnsavedRevocation::listKept: s.unsavedRevocation = UnsavedRevocationState::listKept; break;
        }
        const std::int64_t nowSeconds = systemWallMillis() / 1000;
        for (const auto& device : d_.store->devices()) {
            DeviceLine line{device.id, SessionLog::clean(device.name, 40), device.relayKey.has_value(), std::nullopt};
            if (device.lastSeen) line.lastSeen = relativeTime(*device.lastSeen - nowSeconds);
            s.devices.push_back(std::move(line));
        }
    }
    s.lockOnDisconnect = lockOnDisconnect_;
    s.allowResolutionMatch = allowResolutionMatch_;
    s.allowHideScreen = allowHideScreen_;
    s.hideScreenNotStored = hideScreenNotStored_;
    s.screens = d_.screenCount ? d_.screenCount() : 1;
    s.restoreOwed = d_.restoreOwed && d_.restoreOwed();
    if (controller_ && d_.server) {
        const auto active = d_.server->effectsActive();
        s.effectsMatched = active.matched;
        s.effectsHidden = active.hidden;
    }
    s.loginItem = d_.loginItem ? d_.loginItem->status() : LoginItemStatus::off;
    if (d_.loginItem) {
        s.loginItemUnavailable = d_.loginItem->unavailable();
        s.loginItemElsewhere = d_.loginItem->startsElsewhere();
    }
    s.loginItemError = loginItemError_;
    s.settingsDamaged = settingsDamaged_;
    if (d_.settings) {
        s.settingsNotSaved = d_.settings->saveFailure();
        s.pauseNotSaved = d_.settings->storedBoolValue(SettingsKeys::paused).value_or(false) != paused_;
    }
    if (d_.history) {
        const auto lines = d_.history->menuLines(controller_.has_value(), {},
                                                 [this](const SessionRecord& r) { return historyTag(r); });
        s.historyLine = lines.line;
        s.historyAlsoNew = lines.alsoNew;
        s.historyEarlier = lines.earlier;
        if (!s.blocked && lines.line) d_.history->markSeen();
    }
    if (tailscale_) s.tailnet = tailnetMenuFacts(tailscale_->snapshot());
    if (relay_.section) s.relaySection = relay_.section(s.blocked);
    // No update framework here: the item shows, unable to check.
    s.updatesItem = MenuItem::command("Check for Updates…", MenuAction::checkForUpdates, false);
    return s;
}

std::vector<MenuItem> Shell::menu() {
    auto s = snapshot();
    logPermissionsIfChanged();
    return buildMenu(s);
}

void Shell::perform(MenuAction action, const std::string& payload) {
    switch (action) {
        case MenuAction::none:
        case MenuAction::checkForUpdates:
            break;
        case MenuAction::relay:
            if (relay_.perform) relay_.perform(payload);
            break;
        case MenuAction::turnOnTailnet:
            turnOnTailnet();
            break;
        case MenuAction::turnOffTailnet:
            turnOffTailnet();
            break;
        case MenuAction::copyTailnetAddress:
            if (const auto host = tailnetHost(); host && d_.ui) d_.ui->copyText("https://" + *host);
            break;
        case MenuAction::showConnectWindow:
            showConnectWindow();
            break;
        case MenuAction::showWelcomeWindow:
            showWelcomeWindow();
            break;
        case MenuAction::resumeMorvane:
            resumeMorvane();
            break;
        case MenuAction::pauseMorvane:
            pauseMorvane();
            break;
        case MenuAction::openAddress:
            if (d_.ui) d_.ui->openLocation(localAddress());
            break;
        case MenuAction::copyAddress:
            if (d_.ui) d_.ui->copyText(localAddress());
            break;
        case MenuAction::pairNewDevice:
            pairNewDevice();
            break;
        case MenuAction::openScreenRecordingSettings:
            openedScreenSettings_ = true;
            explainMissing("The X display cannot be read, so Morvane cannot show this screen to your devices.");
            break;
        case MenuAction::openAccessibilitySettings:
            explainMissing("The X server offers no XTEST extension, so Morvane cannot pass input from your devices.");
            break;
        case MenuAction::openInputMonitoringSettings:
            explainMissing(
                "The X server offers no XInputExtension 2, so Morvane cannot watch for Escape held at this computer.");
            break;
        case MenuAction::resetDeviceStorage:
            resetDeviceStorage();
            break;
        case MenuAction::revokeDevice:
            revokeDevice(payload);
            break;
        case MenuAction::revokeAllDevices:
            revokeAllDevices();
            break;
        case MenuAction::toggleLockOnDisconnect:
            toggleLockOnDisconnect();
            break;
        case MenuAction::toggleResolutionMatch:
            toggleResolutionMatch();
            break;
        case MenuAction::toggleHideScreen:
            toggleHideScreen();
            break;
        case MenuAction::toggleStartAtLogin:
            toggleStartAtLogin();
            break;
        case MenuAction::chooseFilesForOutbox:
            chooseFilesForOutbox();
            break;
        case MenuAction::showOutbox:
            if (d_.ui) d_.ui->openLocation(prepareOutbox(d_.outbox).string());
            break;
        case MenuAction::showReceivedFiles:
            prepareOutbox(d_.outbox);
            if (d_.ui) d_.ui->openLocation(d_.receivedRoot.string());
            break;
        case MenuAction::disconnectController:
            log("controller", "disconnect chosen in the menu");
            if (d_.server) d_.server->disconnectController("disconnected-by-host");
            break;
        case MenuAction::quit:
            if (d_.ui) d_.ui->quit();
            break;
    }
}

void Shell::explainMissing(const std::string& what) {
    if (d_.ui) d_.ui->showNotice({"Morvane is missing a permission", what, {"OK"}});
}

void Shell::withOwnerAuthentication(const std::string& title, const std::string& reason,
                                    std::function<void()> otherwise, std::function<void()> then) {
    auth_->withOwnerAuthentication(title, reason, std::move(otherwise), std::move(then));
}

ModalResponse Shell::runAlert(const AlertText& alert, std::function<bool()> closeWhen) {
    const bool controlled = d_.server ? d_.server->controllerName().has_value() : controller_.has_value();
    if (!d_.ui || !alerts_.tryOpen(controlled)) return ModalResponse::abort;
    const std::uint64_t ticks = ++alertTicks_;
    auto closeWhenShared = std::make_shared<std::function<bool()>>(std::move(closeWhen));
    auto tickShared = std::make_shared<std::function<void(Shell&)>>();
    *tickShared = [ticks, closeWhenShared, weakTick = std::weak_ptr<std::function<void(Shell&)>>(tickShared)](
                      Shell& s) {
        if (s.alertTicks_ != ticks) return;
        const bool controlledNow = s.d_.server ? s.d_.server->controllerName().has_value() : s.controller_.has_value();
        if (s.alerts_.shouldAbort(controlledNow, (*closeWhenShared) ? (*closeWhenShared)() : false))
            s.d_.ui->abortAlert();
        if (auto next = weakTick.lock()) s.later(alertTickMillis, [next](Shell& self) { (*next)(self); });
    };
    later(alertTickMillis, [tickShared](Shell& s) { (*tickShared)(s); });
    const ModalResponse response = d_.ui->runModal(alert);
    alerts_.closed();
    ++alertTicks_;
    return alerts_.aborted() ? ModalResponse::abort : response;
}

void Shell::pairNewDevice() {
    // While the list cannot be saved, a pairing would hand out a token that
    // does not survive a restart.
    if (paused_ || startError_ || pairingAlertOpen_ || !d_.store || d_.store->storageFailure() ||
        d_.store->lastSaveFailure())
        return;
    withOwnerAuthentication("pair a new device", "show a pairing code for a new device", nullptr,
                            [weak = weak_from_this()] {
                                if (auto s = weak.lock()) s->showPairingCode();
                            });
}

void Shell::showPairingCode() {
    if (blocked() || paused_ || startError_ || pairingAlertOpen_ || alerts_.isOpen() || !d_.store ||
        d_.store->storageFailure() || d_.store->lastSaveFailure())
        return;
    std::set<std::string> before;
    for (const auto& d : d_.store->devices()) before.insert(d.id);
    const std::string code = d_.store->openPairingWindow();
    log("pairing", "window opened");
    AlertText alert{ShellLines::pairingCodeMessage(code), ShellLines::pairingInformative(tailnetHost(), d_.port),
                    {"Cancel Pairing"}};
    pairingAlertOpen_ = true;
    std::weak_ptr<Shell> weak = weak_from_this();
    runAlert(alert, [weak] {
        auto s = weak.lock();
        return !s || !s->d_.store->pairingWindowOpen();
    });
    pairingAlertOpen_ = false;
    d_.store->closePairingWindow();
    for (const auto& d : d_.store->devices()) {
        if (before.count(d.id)) continue;
        log("pairing", "window closed, paired: " + d.name);
        notePaired(d.name);
        return;
    }
    log("pairing", "window closed, nothing paired");
}

void Shell::revokeDevice(const std::string& id) {
    if (blocked() || !d_.store || id.empty()) return;
    std::string name = "unknown device";
    for (const auto& d : d_.store->devices())
        if (d.id == id) {
            name = d.name;
            break;
        }
    const auto failure = d_.store->revoke(id);
    log("pairing", "revoked: " + name);
    revoked(name == "unknown device" ? name : "“" + name + "”", failure);
}

void Shell::revoked(const std::string& what, const std::optional<std::string>& failure) {
    if (!failure) {
        // The revocation holds; the list itself may still wait for room.
        savesChanged(d_.store->lastSaveFailure());
        return;
    }
    ShellLines::RevocationOnDisk onDisk = ShellLines::RevocationOnDisk::saved;
    switch (d_.store->unsavedRevocation()) {
        case DeviceStore::UnsavedRevocation::none: break;
        case DeviceStore::UnsavedRevocation::listRemoved: onDisk = ShellLines::RevocationOnDisk::listRemoved; break;
        case DeviceStore::UnsavedRevocation::listKept: onDisk = ShellLines::RevocationOnDisk::listKept; break;
    }
    log("error", ShellLines::revocationNotSaved(what, *failure, onDisk));
    savesChanged(failure);
    // Told now, while the owner still thinks of it: the menu keeps saying so.
    const auto notice = ShellLines::revocationNotSavedNotice(what, *failure, onDisk);
    if (d_.ui) d_.ui->showNotice({notice.message, notice.informative, {"OK"}});
}

void Shell::revokeAllDevices() {
    if (blocked()) return;
    soon([](Shell& s) {
        if (s.blocked() || !s.d_.store) return;
        const auto response =
            s.runAlert({"Revoke all paired devices?", "Every device will have to be paired again before it can connect.",
                        {"Revoke All", "Cancel"}},
                       [] { return false; });
        if (response != ModalResponse::firstButton || s.blocked()) return;
        const auto failure = s.d_.store->revokeAll();
        s.log("pairing", "revoked all devices");
        s.revoked("every device", failure);
    });
}

void Shell::resetDeviceStorage() {
    if (!d_.hardened || blocked()) return;
    soon([](Shell& s) {
        if (s.blocked() || s.authenticating() || !s.d_.store) return;
        const auto response = s.runAlert(
            {"Start fresh?",
             "The stored list is removed and Morvane starts with no paired devices. Every device will have to be "
             "paired again.",
             {"Start Fresh", "Cancel"}},
            [] { return false; });
        if (response != ModalResponse::firstButton || s.blocked()) return;
        s.withOwnerAuthentication("start fresh", "remove the stored list of paired devices", nullptr,
                                  [weak = s.weak_from_this()] {
                                      auto self = weak.lock();
                                      if (!self) return;
                                      try {
                                          self->d_.store->resetStorage();
                                      } catch (const std::exception& e) {
                                          // Said on screen too: the owner chose this and waits for it.
                                          self->log("error", ShellLines::startFreshFailed(e.what()));
                                          const auto notice = ShellLines::startFreshFailedNotice(e.what());
                                          if (self->d_.ui)
                                              self->d_.ui->showNotice({notice.message, notice.informative, {"OK"}});
                                          return;
                                      }
                                      self->log("pairing", "start fresh: " + self->d_.storageSummary +
                                                               " removed, no paired devices");
                                  });
    });
}

void Shell::toggleLockOnDisconnect() {
    if (blocked()) return;
    if (lockOnDisconnect_) {
        withOwnerAuthentication("stop locking on disconnect", "stop locking this computer when the controller disconnects",
                                nullptr, [weak = weak_from_this()] {
                                    if (auto s = weak.lock()) s->setLockOnDisconnect(false);
                                });
    } else {
        setLockOnDisconnect(true);
    }
}

void Shell::toggleResolutionMatch() {
    if (allowResolutionMatch_) {
        setResolutionMatch(false);
        return;
    }
    if (blocked()) return;
    withOwnerAuthentication("let devices change the resolution",
                            "let paired devices change this computer's resolution while they are connected", nullptr,
                            [weak = weak_from_this()] {
                                if (auto s = weak.lock()) s->setResolutionMatch(true);
                            });
}

void Shell::toggleHideScreen() {
    if (allowHideScreen_) {
        setHideScreen(false);
        return;
    }
    if (blocked()) return;
    withOwnerAuthentication("let devices hide this screen",
                            "let paired devices hide this computer's screen while they are connected", nullptr,
                            [weak = weak_from_this()] {
                                if (auto s = weak.lock()) s->setHideScreen(true);
                            });
}

void Shell::lookAtLockerAtLaunch() { carryOut(lock_.handle(LockScheduler::Launched{}, now())); }

void Shell::lockerProbed(bool answers) { carryOut(lock_.handle(LockScheduler::Heard{answers}, now())); }

void Shell::lockerAnswers(bool answers, bool changed) {
    const bool wasMissing = lockerMissing_;
    lockerMissing_ = !answers;
    // Said every time, though often the same: a session that connected
    // hears "cannot" only once the locker was asked again.
    pushLockFacts();
    if (!changed) return;
    updateIcon();
    if (!answers && lockOnDisconnect_)
        log("error", "no screen locker answers: the screen cannot be locked when the controller disconnects");
    else if (answers && wasMissing)
        log("lock", "a screen locker answers now: the screen can be locked");
}

void Shell::setLockOnDisconnect(bool on) {
    lockOnDisconnect_ = on;
    if (d_.settings) d_.settings->setBool(SettingsKeys::lockOnDisconnect, on);
    settingChanged();
    log("app", ShellLines::lockSettingChanged(on));
    pushEffectsAllowed();
    pushLockFacts();
}

void Shell::setResolutionMatch(bool on) {
    allowResolutionMatch_ = on;
    if (d_.settings) d_.settings->setBool(SettingsKeys::allowResolutionMatch, on);
    settingChanged();
    log("app", ShellLines::resolutionSettingChanged(on));
    pushEffectsAllowed();
}

void Shell::setHideScreen(bool on) {
    const auto write = d_.hideFlagSet ? d_.hideFlagSet : [](bool) { return false; };
    const auto remove = d_.hideFlagRemove ? d_.hideFlagRemove : [] { return false; };
    const auto readBack = d_.hideFlagIsOn ? d_.hideFlagIsOn : [] { return false; };
    const auto outcome = ShellLines::setHideScreen(on, write, remove, readBack);
    allowHideScreen_ = outcome.allowed;
    hideScreenNotStored_ = outcome.notStored;
    settingChanged();
    log("app", outcome.line);
    pushEffectsAllowed();
}

void Shell::pushEffectsAllowed() {
    if (d_.server) d_.server->setEffectsAllowed(allowResolutionMatch_, allowHideScreen_, lockOnDisconnect_);
}

void Shell::pushLockFacts() {
    // The lock goes through the injector: without it nothing locks.
    const bool canLock = !lockerMissing_ && (!d_.canInject || d_.canInject());
    if (d_.server) d_.server->setLockFacts(canLock, lockOnDisconnect_);
}

void Shell::toggleStartAtLogin() {
    if (blocked() || !d_.loginItem) return;
    const bool turnOn = d_.loginItem->status() == LoginItemStatus::off;
    const std::string word = turnOn ? "on" : "off";
    const auto failure = turnOn ? d_.loginItem->registerItem() : d_.loginItem->unregisterItem();
    if (!failure) {
        loginItemError_.reset();
        log("app", "start at login: " + word + " (changed in the menu)");
        return;
    }
    loginItemError_ = "Start at Login could not be turned " + word + ": " + *failure;
    log("error", "start at login could not be turned " + word + ": " + *failure);
}

void Shell::pauseMorvane() {
    if (paused_ || startError_) return;
    const auto name = controller_;
    paused_ = true;
    if (d_.server) d_.server->pause(PauseCause::menu);
    if (relay_.paused) relay_.paused();
    if (d_.settings) d_.settings->setBool(SettingsKeys::paused, true);
    settingChanged();
    log("pause", ShellLines::pauseChosen(name));
    carryOut(lock_.handle(LockScheduler::Paused{}, now()));
    updateIcon();
}

void Shell::resumeMorvane() {
    if (!paused_ || blocked()) return;
    withOwnerAuthentication("resume", "let your paired devices connect to this computer again", nullptr,
                            [weak = weak_from_this()] {
                                auto s = weak.lock();
                                if (!s || !s->paused_) return;
                                s->paused_ = false;
                                if (s->d_.settings) s->d_.settings->setBool(SettingsKeys::paused, false);
                                s->settingChanged();
                                if (s->d_.server) s->d_.server->resume();
                                s->log("pause",
                                       "resumed from the menu after owner authentication: paired devices can connect "
                                       "again");
                                s->updateIcon();
                            });
}

std::optional<std::string> Shell::tailnetHost() const {
    if (!tailscale_ || !tailscale_->snapshot().access) return std::nullopt;
    return tailscale_->snapshot().access->host;
}

void Shell::turnOnTailnet() {
    if (blocked() || startError_ || !tailscale_) return;
    withOwnerAuthentication("turn on tailnet access", "let your Tailscale devices reach Morvane", nullptr,
                            [weak = weak_from_this()] {
                                auto s = weak.lock();
                                if (s && !s->startError_ && s->tailscale_) s->tailscale_->turnOn();
                            });
}

void Shell::turnOffTailnet() {
    if (blocked() || !tailscale_) return;
    tailscale_->turnOff();
}

void Shell::chooseFilesForOutbox() {
    if (!d_.ui) return;
    const auto files = d_.ui->chooseFiles();
    if (files.empty()) return;
    const auto outbox = prepareOutbox(d_.outbox);
    std::weak_ptr<Shell> weak = weak_from_this();
    auto work = [files, outbox, naming = d_.naming, weak, main = d_.main] {
        const auto result = copyIntoOutbox(files, outbox, naming);
        const auto text = outboxProblemText(result);
        if (!text) return;
        main->post([weak, text] {
            if (auto s = weak.lock())
                if (s->d_.ui) s->d_.ui->showNotice({"Some files were not added to the Outbox", *text, {"OK"}});
        });
    };
    if (d_.background)
        d_.background(std::move(work));
    else
        work();
}

void Shell::quitAndReopen() {
    if (const auto failure = startReopen(d_.program, ::getpid())) {
        log("error", "could not reopen Morvane: " + *failure);
        return;
    }
    log("app", "quit and reopen (Welcome window)");
    reopening_ = true;
    if (d_.ui) d_.ui->quit();
}

void Shell::terminate() {
    reopening_ = true;
    if (d_.history) d_.history->closeRunning();
    statsGeneration_ = 0;
    if (d_.wake) d_.wake->release();
    // The device's session ends with the host: the log says whose it was.
    if (controller_) log("app", "quit while controlled by " + *controller_);
    log("app", "quit");
}

}  // namespace morvane
