// The values the Welcome and Connect windows are made of. The shell and the
// relay controller gather plain facts into these; the pure rules in
// guide_texts.h turn them into statuses, lines and buttons; the windows only
// draw those and hand every press back to the shell as a GuideAction. All
// compare field by field, so a window can tell whether anything it shows
// has changed.
#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "relay/host_relay_link.h"

namespace morvane {

// Where the relay link stands, as its snapshot reports it.
using RelayLinkState = HostRelayLink::State::Kind;

// Built by the relay controller.
struct ConnectRelayFacts {
    bool hardened = false;            // the build may keep relay keys
    bool storageReadable = true;      // the paired-device store reports no failure
    bool keysReadable = true;         // loading the relay identity did not fail
    std::optional<std::string> email;  // while an identity is held
    bool enabled = false;              // the owner switched the relay on
    std::optional<HostRelayLink::State> linkState;  // none without a link object
    bool operator==(const ConnectRelayFacts&) const = default;
};

namespace relay_status {
struct Unavailable {
    std::string text;
    bool operator==(const Unavailable&) const = default;
};
struct NotOnAccount {
    std::string email;
    bool operator==(const NotOnAccount&) const = default;
};
struct Off {
    std::string email;
    bool operator==(const Off&) const = default;
};
struct Working {
    std::string email;
    std::string line;
    bool operator==(const Working&) const = default;
};
struct Ready {
    std::string email;
    bool operator==(const Ready&) const = default;
};
struct KeysUnreadable {
    bool operator==(const KeysUnreadable&) const = default;
};
struct NotSetUp {
    bool operator==(const NotSetUp&) const = default;
};
}  // namespace relay_status

using ConnectRelayStatus =
    std::variant<relay_status::Unavailable, relay_status::NotOnAccount, relay_status::Off, relay_status::Working,
                 relay_status::Ready, relay_status::KeysUnreadable, relay_status::NotSetUp>;

struct GuideGate {
    bool paused = false;
    bool controlled = false;
    bool recentlyControlled = false;  // control ended under 10 seconds ago
    bool busy = false;                // an owner check or a relay flow runs
    bool pairBlocked = false;         // server down, import running or store failed
    bool operator==(const GuideGate&) const = default;
};

struct GuideAction {
    enum class Kind {
        copy,
        setUpRelay,
        turnOnRelay,
        addDevice,
        pairDevice,
        openScreenRecording,
        openAccessibility,
        openConnectWindow,
        quitAndReopen,
        openOnThisComputer
    };
    Kind kind = Kind::openConnectWindow;
    std::string text;  // copy only
    static GuideAction copy(std::string text) { return {Kind::copy, std::move(text)}; }
    static GuideAction of(Kind kind) { return {kind, {}}; }
    bool operator==(const GuideAction&) const = default;
};

struct GuideButton {
    std::string title;
    GuideAction action;
    bool enabled = true;
    bool operator==(const GuideButton&) const = default;
};

struct PermissionRow {
    std::string name;
    bool done = false;
    std::optional<std::string> note;
    std::optional<GuideButton> button;  // the row's main button
    std::optional<GuideButton> second;  // a further one shown beside it
    bool operator==(const PermissionRow&) const = default;
};

struct WelcomeStep {
    int number = 1;
    std::string title;
    std::vector<std::string> detail;
    bool done = false;
    std::vector<PermissionRow> rows;  // step 1 only
    std::optional<GuideButton> button;
    bool operator==(const WelcomeStep&) const = default;
};

namespace tailscale_facts {
struct On {
    std::string host;  // the tailnet name this computer is published under
    bool operator==(const On&) const = default;
};
struct NotInstalled {
    bool operator==(const NotInstalled&) const = default;
};
struct Off {
    bool operator==(const Off&) const = default;
};
struct Unavailable {
    bool operator==(const Unavailable&) const = default;
};
}  // namespace tailscale_facts

using TailscaleFacts = std::variant<tailscale_facts::On, tailscale_facts::NotInstalled, tailscale_facts::Off,
                                    tailscale_facts::Unavailable>;

// Whether this computer's screen can be shown: the display opens and can be
// read; `needsRelaunch` when reading was refused although the check passed,
// which only a fresh process can clear.
enum class ScreenRecordingPermission { allowed, missing, needsRelaunch };

// Everything a guide window shows, read afresh by the shell on every call.
struct GuideSnapshot {
    ConnectRelayStatus relay = relay_status::NotSetUp{};
    GuideGate gate;
    ScreenRecordingPermission screen = ScreenRecordingPermission::missing;
    bool openedScreenSettings = false;
    bool accessibility = false;  // input can be injected (XTEST)
    int devices = 0;
    // The relay host name, without scheme; empty while no relay is chosen
    // (no build or environment names one, and none was set up).
    std::string address;
    // The address a browser on this computer opens, "http://127.0.0.1:<port>".
    std::string localAddress;
    TailscaleFacts tailscale = tailscale_facts::NotInstalled{};
    std::optional<std::string> addedName;
    bool laptop = false;
    bool pellmoorInstalled = false;
    bool locker = true;  // a screen locker answered the probe (or was not asked yet)
    bool operator==(const GuideSnapshot&) const = default;
};

}  // namespace morvane
