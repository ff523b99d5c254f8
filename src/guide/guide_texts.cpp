#include "guide/guide_texts.h"

#include <cctype>

#include "core/overload.h"

namespace morvane {

namespace GuideTexts {
std::string tip(bool laptop, bool pellmoorInstalled) {
    std::string text = tipBase;
    if (laptop && pellmoorInstalled) text += tipPellmoor;
    return text;
}
std::string tipSpoken(bool laptop, bool pellmoorInstalled) { return "Tip: " + tip(laptop, pellmoorInstalled); }
std::string added(const std::string& name) { return "\u201C" + name + "\u201D was added. You can close this window."; }
std::string signedIn(const std::string& email) { return "Signed in as " + email + "."; }
}  // namespace GuideTexts

namespace {

using namespace relay_status;

std::string linkLine(RelayLinkState state) {
    switch (state) {
        case RelayLinkState::backingOff:
            return GuideTexts::backingOff;
        case RelayLinkState::waitingForNetwork:
            return GuideTexts::waitingForNetwork;
        case RelayLinkState::refused:
            return GuideTexts::refused;
        case RelayLinkState::exhausted:
            return GuideTexts::exhausted;
        case RelayLinkState::off:
        case RelayLinkState::connecting:
        case RelayLinkState::proving:
        case RelayLinkState::suspended:
        case RelayLinkState::up:
        case RelayLinkState::notOnAccount:
            break;
    }
    return GuideTexts::connecting;
}

// The account's e-mail of the statuses that mean "on an account".
const std::string* accountEmail(const ConnectRelayStatus& status) {
    if (const auto* s = std::get_if<Off>(&status)) return &s->email;
    if (const auto* s = std::get_if<Working>(&status)) return &s->email;
    if (const auto* s = std::get_if<Ready>(&status)) return &s->email;
    return nullptr;
}

GuideButton button(const char* title, GuideAction::Kind kind, bool enabled) {
    return {title, GuideAction::of(kind), enabled};
}


}  // namespace

namespace ConnectGuide {

ConnectRelayStatus relayStatus(const ConnectRelayFacts& f) {
    if (!f.hardened) return Unavailable{GuideTexts::cannotRelay};
    if (!f.storageReadable) return Unavailable{GuideTexts::devicesUnreadable};
    if (!f.keysReadable) return KeysUnreadable{};
    if (!f.email) return NotSetUp{};
    const std::string& email = *f.email;
    if (f.linkState && f.linkState->kind == RelayLinkState::notOnAccount) return NotOnAccount{email};
    if (!f.enabled || !f.linkState) return Off{email};
    if (f.linkState->kind == RelayLinkState::up) return Ready{email};
    return Working{email, linkLine(f.linkState->kind)};
}

std::string relayPageURL(const std::string& address) { return "https://" + address; }

std::string thisComputerLine(const std::string& localAddress) {
    return "On this computer, open " + localAddress + " in a browser.";
}

std::optional<std::string> gateNote(const GuideGate& g) {
    if (g.controlled) return GuideTexts::gateControlled;
    if (g.recentlyControlled) return GuideTexts::gateRecent;
    if (g.paused) return GuideTexts::gatePaused;
    return std::nullopt;
}

bool setUpEnabled(const GuideGate& g) { return !g.controlled && !g.recentlyControlled && !g.busy; }
bool turnOnEnabled(const GuideGate& g) { return !g.paused && setUpEnabled(g); }
bool addDeviceEnabled(const ConnectRelayStatus& status, const GuideGate& g) {
    return turnOnEnabled(g) && std::holds_alternative<Ready>(status);
}
bool pairEnabled(const GuideGate& g) { return turnOnEnabled(g) && !g.pairBlocked; }

RelayPanel relayPanel(const ConnectRelayStatus& status, const GuideGate& gate, bool relayChosen) {
    using K = GuideAction::Kind;
    return std::visit(
        Overload{
            [](const Unavailable& s) -> RelayPanel { return {{s.text}, std::nullopt}; },
            [&](const NotOnAccount&) -> RelayPanel {
                return {{GuideTexts::notOnAccount}, button(GuideTexts::setUpRelay, K::setUpRelay, setUpEnabled(gate))};
            },
            [&](const Off& s) -> RelayPanel {
                return {{GuideTexts::signedIn(s.email), GuideTexts::relayOff},
                        button(GuideTexts::turnOnRelay, K::turnOnRelay, turnOnEnabled(gate))};
            },
            [](const Working& s) -> RelayPanel { return {{GuideTexts::signedIn(s.email), s.line}, std::nullopt}; },
            [](const Ready& s) -> RelayPanel {
                return {{GuideTexts::signedIn(s.email), GuideTexts::relayReady}, std::nullopt};
            },
            [](const KeysUnreadable&) -> RelayPanel { return {{GuideTexts::keysUnreadable}, std::nullopt}; },
            [&](const NotSetUp&) -> RelayPanel {
                return {{relayChosen ? GuideTexts::notSetUp : GuideTexts::noRelayChosen},
                        button(GuideTexts::setUpRelay, K::setUpRelay, setUpEnabled(gate))};
            },
        },
        status);
}

bool relayFirst(const ConnectRelayStatus& status) {
    return !std::holds_alternative<Working>(status) && !std::holds_alternative<Ready>(status);
}

GuideButton primaryButton(const ConnectRelayStatus& status, const GuideGate& gate, bool relayChosen) {
    if (auto panel = relayPanel(status, gate, relayChosen); panel.button) return *panel.button;
    return button(GuideTexts::addDevice, GuideAction::Kind::addDevice, addDeviceEnabled(status, gate));
}

TailscalePanel tailscalePanel(const TailscaleFacts& facts, const GuideGate& gate) {
    return std::visit(Overload{
                          [&](const tailscale_facts::On& on) -> TailscalePanel {
                              return {GuideTexts::tailscaleOn, "https://" + on.host,
                                      button(GuideTexts::pairDevice, GuideAction::Kind::pairDevice, pairEnabled(gate))};
                          },
                          [](const tailscale_facts::NotInstalled&) -> TailscalePanel {
                              return {GuideTexts::tailscaleMissing, std::nullopt, std::nullopt};
                          },
                          [](const tailscale_facts::Off&) -> TailscalePanel {
                              return {GuideTexts::tailscaleOff, std::nullopt, std::nullopt};
                          },
                          [](const tailscale_facts::Unavailable&) -> TailscalePanel {
                              return {GuideTexts::tailscaleUnavailable, std::nullopt, std::nullopt};
                          },
                      },
                      facts);
}

std::vector<std::string> setUpSteps(const ConnectRelayStatus& status, const std::string& address) {
    const std::string* email = accountEmail(status);
    return {
        address.empty() ? std::string(GuideTexts::noRelayStepOne)
                        : "On the device, scan the code or open " + address + ".",
        email ? "Sign in with " + *email + "." : std::string(GuideTexts::signInGeneric),
        relayFirst(status) ? GuideTexts::chooseAddDeviceOnceOn : GuideTexts::chooseAddDevice,
    };
}

std::string waitingText(const std::string& address, const std::string& email) {
    return "On the new device, open https://" + address + " in a browser, and sign in as " + email +
           ". Then choose Continue.";
}

}  // namespace ConnectGuide

namespace WelcomeGuide {

bool stepTwoDone(const ConnectRelayStatus& relay) { return accountEmail(relay) != nullptr; }

bool existingInstall(bool askedForPermissions, bool offered, int devices) {
    return devices >= 1 || (askedForPermissions && !offered);
}

bool showAtLaunch(bool hidden, const ConnectRelayStatus& relay, bool existingInstall) {
    return !hidden && !existingInstall && !stepTwoDone(relay);
}

bool hideWhenClosed(bool reopening) { return !reopening; }

namespace {

using K = GuideAction::Kind;

PermissionRow screenRow(ScreenRecordingPermission screen, bool openedSettings) {
    const std::string name = GuideTexts::screenRecording;
    switch (screen) {
        case ScreenRecordingPermission::allowed:
            return {name, true, GuideTexts::allowed, std::nullopt, std::nullopt};
        case ScreenRecordingPermission::needsRelaunch:
            return {name, false, GuideTexts::reopenToFinish, button(GuideTexts::quitAndReopen, K::quitAndReopen, true),
                    std::nullopt};
        case ScreenRecordingPermission::missing:
            break;
    }
    // No settings pane grants the display on X, so no settings button: the
    // note says what to do, and a reopen is offered only once the owner
    // has been somewhere that could change it.
    if (openedSettings)
        return {name, false, GuideTexts::reopenAfterSwitch, button(GuideTexts::quitAndReopen, K::quitAndReopen, true),
                std::nullopt};
    return {name, false, GuideTexts::screenMissing, std::nullopt, std::nullopt};
}

PermissionRow checkRow(const char* name, bool present, const char* foundNote, const char* missingNote) {
    return {name, present, present ? foundNote : missingNote, std::nullopt, std::nullopt};
}

std::string stepThreeLine(int devices, const std::string& address) {
    if (devices <= 0 && address.empty()) return GuideTexts::stepThreeNoRelay;
    if (devices <= 0)
        return "Choose Connect a Device\u2026 below and follow it: on the device, open " + address +
               " in a browser and sign in with the same e-mail. Then choose Add Device Over Relay\u2026 in that window and "
               "approve the code.";
    if (devices == 1) return "1 device can connect. Add another any time.";
    return std::to_string(devices) + " devices can connect. Add another any time.";
}

}  // namespace

std::vector<WelcomeStep> steps(const GuideSnapshot& s) {
    WelcomeStep one;
    one.number = 1;
    one.title = GuideTexts::stepOneTitle;
    one.detail = {GuideTexts::stepOneDetail};
    one.rows = {
        screenRow(s.screen, s.openedScreenSettings),
        checkRow(GuideTexts::accessibility, s.accessibility, GuideTexts::allowed, GuideTexts::xtestMissing),
        checkRow(GuideTexts::screenLocker, s.locker, GuideTexts::found, GuideTexts::lockerMissing),
    };
    one.done = s.screen == ScreenRecordingPermission::allowed && s.accessibility && s.locker;

    WelcomeStep two;
    two.number = 2;
    two.title = GuideTexts::stepTwoTitle;
    two.done = stepTwoDone(s.relay);
    std::visit(Overload{
                   [&](const relay_status::NotSetUp&) {
                       two.detail = {GuideTexts::stepTwoDetail};
                       if (s.address.empty()) two.detail.push_back(GuideTexts::stepTwoNoRelay);
                       two.button = button(GuideTexts::setUpRelay, K::setUpRelay, ConnectGuide::setUpEnabled(s.gate));
                   },
                   [&](const relay_status::NotOnAccount&) {
                       two.detail = {GuideTexts::stepTwoAgain};
                       two.button = button(GuideTexts::setUpRelay, K::setUpRelay, ConnectGuide::setUpEnabled(s.gate));
                   },
                   [&](const relay_status::Ready& r) { two.detail = {GuideTexts::signedIn(r.email)}; },
                   [&](const auto&) {
                       auto panel = ConnectGuide::relayPanel(s.relay, s.gate);
                       two.detail = std::move(panel.lines);
                       two.button = std::move(panel.button);
                   },
               },
               s.relay);
    if (auto note = ConnectGuide::gateNote(s.gate)) two.detail.push_back(*note);

    WelcomeStep three;
    three.number = 3;
    three.title = GuideTexts::stepThreeTitle;
    three.done = s.devices >= 1;
    three.detail = {stepThreeLine(s.devices, s.address)};
    three.button = button(GuideTexts::connectDevice, K::openConnectWindow, true);

    return {std::move(one), std::move(two), std::move(three)};
}

std::optional<int> current(const std::vector<WelcomeStep>& steps) {
    for (const auto& step : steps) {
        if (step.done) continue;
        bool offers = step.button.has_value();
        for (const auto& row : step.rows) offers = offers || row.button.has_value();
        if (offers) return step.number;
    }
    return std::nullopt;
}

std::optional<std::string> currentRow(const WelcomeStep& step) {
    for (const auto& row : step.rows)
        if (!row.done && row.button) return row.name;
    return std::nullopt;
}

std::string stepSpoken(const WelcomeStep& step) {
    return "Step " + std::to_string(step.number) + " of 3: " + step.title + ". " +
           (step.done ? GuideTexts::done : GuideTexts::notDone) + ".";
}

}  // namespace WelcomeGuide

}  // namespace morvane
