// Every word the Welcome and Connect windows show and every decision about
// what they show, as pure functions of the values in guide_values.h. They
// hold no state and touch nothing, so the windows and the shell may call
// them at any time on the main queue, and the tests need no display.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "guide/guide_values.h"

namespace morvane {

// The tray menu's section titles, which the guide's texts refer to.
namespace MenuTitles {
// The relay is a server the owner runs: this road is not put above the
// others.
inline constexpr const char* relay = "Connect From Anywhere Over Your Own Relay";
inline constexpr const char* tailscale = "Direct Over Tailscale (Advanced)";
inline constexpr const char* permissions = "Permissions";
inline constexpr const char* devices = "Devices and Settings";
}  // namespace MenuTitles

namespace GuideTexts {
inline constexpr const char* welcomeTitle = "Welcome to Morvane";
inline constexpr const char* welcomeWindowTitle = welcomeTitle;
inline constexpr const char* welcomeLede =
    "Reach this computer from your phone, tablet or any browser. It takes three steps.";
inline constexpr const char* tipBase = "Keep the computer awake and connected to power, so your devices can reach it.";
inline constexpr const char* tipPellmoor = " With the lid closed, Pellmoor on this computer can keep it awake.";
inline constexpr const char* menuBarNote =
    "Morvane lives in the tray of your desktop\u2019s panel. Click its icon, a small monitor, for everything: "
    "pausing, your devices, Quit, and Welcome to Morvane\u2026 to see this window again.";
inline constexpr const char* menuBarSpoken =
    "Morvane lives in the tray of your desktop\u2019s panel. Click its icon, a small monitor, for everything: "
    "pausing, your devices, Quit, and Welcome to Morvane, to see this window again.";
inline constexpr const char* dontShowAgain = "Don't Show Again";
inline constexpr const char* close = "Close";
inline constexpr const char* connectWindowTitle = "Connect a Device";
inline constexpr const char* connectLede = "Use your phone, tablet or another computer.";
inline constexpr const char* copy = "Copy";
inline constexpr const char* copied = "Copied";
inline constexpr const char* copySpoken = "Copy the address";
inline constexpr const char* copiedSpoken = "Address copied";
inline constexpr const char* copyTailnetSpoken = "Copy the tailnet address";
inline constexpr const char* advanced = "Advanced: your own Tailscale";
inline constexpr const char* setUpFirst = "The code works once this computer is on your account and its relay is on.";
inline constexpr const char* done = "Done";
inline constexpr const char* notDone = "Not done yet";
inline constexpr const char* allowed = "Allowed";
inline constexpr const char* setUpRelay = "Set Up Relay\u2026";
inline constexpr const char* turnOnRelay = "Turn On Relay\u2026";
inline constexpr const char* addDevice = "Add Device Over Relay\u2026";
inline constexpr const char* pairDevice = "Pair a Device Over Tailscale\u2026";
inline constexpr const char* openSettings = "Open Settings\u2026";
inline constexpr const char* connectDevice = "Connect a Device\u2026";
inline constexpr const char* quitAndReopen = "Quit and Reopen";
inline constexpr const char* cannotRelay = "This build of Morvane cannot use the relay.";
inline constexpr const char* devicesUnreadable =
    "Paired devices could not be read. Choose Start Fresh and Pair Again\u2026 in the Morvane menu.";
inline constexpr const char* keysUnreadable =
    "Relay keys could not be read. Choose Start Fresh With New Relay Keys\u2026 in the Morvane menu.";
inline constexpr const char* notSetUp = "This computer is not on your account yet. Set up the relay first.";
// No build, environment or earlier set-up names a relay: there is nothing
// to open or scan until the owner gives the address of the relay they run.
inline constexpr const char* noRelayChosen =
    "No relay is chosen yet. A relay is a server you run (morvane-relay); Set Up Relay\u2026 asks for its address.";
inline constexpr const char* noRelayStepOne =
    "Choose Set Up Relay\u2026 and enter the address of the relay you run.";
inline constexpr const char* otherRoads = "Until then, reach this computer over your tailnet or on this computer itself.";
inline constexpr const char* stepTwoNoRelay =
    "Morvane reaches this computer from anywhere through a relay you run (morvane-relay). Set Up Relay\u2026 asks "
    "for its address first.";
inline constexpr const char* stepThreeNoRelay =
    "Choose Connect a Device\u2026 below: it shows how to reach this computer over the relay once it is set up, "
    "over your tailnet, or on this computer.";
// The same words as the tray menu's items for this computer.
inline constexpr const char* openOnThisComputer = "Open in a Browser on This Computer";
inline constexpr const char* pairOnThisComputer = "Pair a Browser on This Computer\u2026";
inline constexpr const char* notOnAccount = "This computer is no longer on your account. Set up the relay again.";
inline constexpr const char* relayOff = "The relay is off.";
inline constexpr const char* relayReady = "Connected to the relay.";
inline constexpr const char* connecting = "Connecting to the relay\u2026";
inline constexpr const char* waitingForNetwork = "Waiting for the network\u2026";
inline constexpr const char* backingOff = "Could not reach the relay. Trying again soon.";
inline constexpr const char* refused = "The relay refused this computer. Check this computer's date and time.";
inline constexpr const char* exhausted = "Stopped for today to protect the relay's daily allowance.";
inline constexpr const char* gateControlled = "Not available while a device is in control.";
inline constexpr const char* gateRecent = "Available again in a few seconds.";
inline constexpr const char* gatePaused = "Morvane is paused. Choose Resume Morvane\u2026 in the menu first.";
inline constexpr const char* tailscaleOn =
    "Direct over your own Tailscale network. Open this address on a device signed in to your tailnet:";
inline constexpr const char* tailscaleOff =
    "Optional: if you use Tailscale, choose Turn On Access From My Devices\u2026 in the Morvane menu to connect "
    "directly.";
inline constexpr const char* tailscaleMissing =
    "Optional: with Tailscale on this computer and your device, Morvane can also connect directly.";
inline constexpr const char* tailscaleUnavailable =
    "Tailscale access is not available right now. The Morvane menu says why.";
// The first step names what X11 decides: the display can be read, the
// server offers XTEST, and a screen locker answers. Nothing here is granted
// in a settings pane, so the rows carry notes instead of settings buttons.
inline constexpr const char* stepOneTitle = "Let Morvane show this screen and take input";
inline constexpr const char* stepOneDetail =
    "Morvane needs the display to show your screen and XTEST to take clicks and typing from your devices.";
inline constexpr const char* screenRecording = "Screen Capture";
inline constexpr const char* accessibility = "Input (XTEST)";
inline constexpr const char* screenLocker = "Screen Locker";
inline constexpr const char* screenMissing =
    "The X display cannot be opened or read. Start Morvane inside your desktop session.";
inline constexpr const char* xtestMissing =
    "This X server offers no XTEST extension. Enable it in the server's configuration.";
// What the menu says under a locker that does not answer, and the Welcome
// window with it: the same probe, the same advice.
inline constexpr const char* lockerHint = "Start the desktop's screen locker, or xscreensaver";
inline constexpr const char* lockerMissing =
    "No screen locker answers. Start the desktop's screen locker, or xscreensaver.";
inline constexpr const char* found = "Found";
inline constexpr const char* reopenAfterSwitch = "After switching it on, quit and reopen Morvane.";
inline constexpr const char* reopenToFinish = "On. Quit and reopen Morvane to finish.";
inline constexpr const char* stepTwoTitle = "Sign in to put this computer on your account";
inline constexpr const char* stepTwoDetail =
    "Use the e-mail address you will also use on your phone, tablet or browser. We send you a code.";
inline constexpr const char* stepTwoAgain = "This computer is no longer on your account. Set it up again.";
inline constexpr const char* stepThreeTitle = "Connect a device";
inline constexpr const char* signInGeneric = "Sign in with the e-mail address you use for this computer.";
inline constexpr const char* chooseAddDevice =
    "Then choose Add Device Over Relay\u2026 below and confirm with your password. Choose Continue on the device "
    "within 2 minutes, and Approve here when both show the same six digits.";
// The same step while the window offers setting up or turning on the relay
// instead: the button it names comes only once the relay is on.
inline constexpr const char* chooseAddDeviceOnceOn =
    "Then, once the relay is on, choose Add Device Over Relay\u2026 in this window and confirm with your password. "
    "Choose Continue on the device within 2 minutes, and Approve here when both show the same six digits.";

std::string tip(bool laptop, bool pellmoorInstalled);
std::string tipSpoken(bool laptop, bool pellmoorInstalled);
std::string added(const std::string& name);
std::string signedIn(const std::string& email);
}  // namespace GuideTexts

struct RelayPanel {
    std::vector<std::string> lines;
    std::optional<GuideButton> button;
    bool operator==(const RelayPanel&) const = default;
};

struct TailscalePanel {
    std::string line;
    std::optional<std::string> address;
    std::optional<GuideButton> button;
    bool operator==(const TailscalePanel&) const = default;
};

namespace ConnectGuide {
ConnectRelayStatus relayStatus(const ConnectRelayFacts& facts);
std::string relayPageURL(const std::string& address);
// "On this computer, open <address> in a browser."
std::string thisComputerLine(const std::string& localAddress);
std::optional<std::string> gateNote(const GuideGate& gate);
bool setUpEnabled(const GuideGate& gate);
bool turnOnEnabled(const GuideGate& gate);
bool addDeviceEnabled(const ConnectRelayStatus& status, const GuideGate& gate);
bool pairEnabled(const GuideGate& gate);
// `relayChosen`: a relay address is known (the snapshot's address is not
// empty); without one the set-up asks for it first.
RelayPanel relayPanel(const ConnectRelayStatus& status, const GuideGate& gate, bool relayChosen = true);
bool relayFirst(const ConnectRelayStatus& status);
GuideButton primaryButton(const ConnectRelayStatus& status, const GuideGate& gate, bool relayChosen = true);
TailscalePanel tailscalePanel(const TailscaleFacts& facts, const GuideGate& gate);
// An empty address: no relay is chosen yet, and the first step says how to
// choose one. The last step names the add-device button below only where
// the window shows it.
std::vector<std::string> setUpSteps(const ConnectRelayStatus& status, const std::string& address);
std::string waitingText(const std::string& address, const std::string& email);
}  // namespace ConnectGuide

namespace WelcomeGuide {
inline constexpr const char* hiddenKey = "welcomeHidden";
inline constexpr const char* offeredKey = "welcomeOffered";
inline constexpr const char* pellmoorBundleID = "local.pellmoor.switch";

bool stepTwoDone(const ConnectRelayStatus& relay);
bool existingInstall(bool askedForPermissions, bool offered, int devices);
bool showAtLaunch(bool hidden, const ConnectRelayStatus& relay, bool existingInstall);
bool hideWhenClosed(bool reopening);
std::vector<WelcomeStep> steps(const GuideSnapshot& s);
std::optional<int> current(const std::vector<WelcomeStep>& steps);
std::optional<std::string> currentRow(const WelcomeStep& step);
std::string stepSpoken(const WelcomeStep& step);
}  // namespace WelcomeGuide

}  // namespace morvane
