// The owner's side of the host: the state behind the status icon and its
// menu, what happens when the controller changes, the menu's actions with
// their preconditions, locking when the controller leaves, the statistics
// lines and the session history. Runs on the main queue only. Everything
// that draws or asks the owner goes through ShellUi, so this class has no
// Qt in it and is tested with fakes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/display_wake.h"
#include "app/lock_scheduler.h"
#include "app/login_item.h"
#include "app/menu_model.h"
#include "app/outbox.h"
#include "app/owner_auth.h"
#include "app/session_history.h"
#include "app/settings_store.h"
#include "app/shell_lines.h"
#include "core/clock.h"
#include "core/executor.h"
#include "core/input_sink.h"
#include "core/types.h"
#include "tailnet/tailscale_control.h"
#include "guide/guide_panel.h"
#include "guide/guide_values.h"

namespace morvane {

class DeviceStore;
class CountingInput;

// What the shell needs of the server.
class ShellServer {
public:
    virtual ~ShellServer() = default;
    virtual void pause(PauseCause cause) = 0;
    virtual void resume() = 0;
    virtual void disconnectController(const std::string& reason) = 0;
    virtual void setEffectsAllowed(bool /*match*/, bool /*hide*/, bool /*locksOnDisconnect*/) {}
    // What the controlling session is told of locking: whether this
    // computer can lock, whether it locks on disconnect, and whether the
    // lock the session asked for (ask) happened.
    virtual void setLockFacts(bool /*canLock*/, bool /*onDisconnect*/) {}
    virtual void lockAnswered(std::uint64_t /*ask*/, bool /*locked*/) {}
    // Whether a resolution match is applied and a screen is hidden now.
    struct EffectsActive {
        bool matched = false;
        bool hidden = false;
    };
    virtual EffectsActive effectsActive() const { return {}; }
    virtual bool isPaused() const = 0;
    virtual std::optional<std::string> controllerName() const = 0;
    virtual std::optional<ConnectionRoute> controllerRoute() const = 0;
    virtual bool controllerViaTailnet() const = 0;
};

// A one-line text field shown under an alert's texts.
struct AlertField {
    std::string text;
    std::string placeholder;
    std::string accessibilityLabel;
    bool operator==(const AlertField&) const = default;
};

struct AlertText {
    std::string message;
    std::string informative;
    // The first is the default; the last is what Escape and the window's
    // close answer, so it must be the choice that changes nothing.
    std::vector<std::string> buttons;
    // False: Return must not press the first button (the last one is the
    // default then), for choices a stray key must not make.
    bool firstIsDefault = true;
    std::optional<AlertField> field{};
    bool operator==(const AlertText&) const = default;
};

// Drawing and asking, implemented by the Qt layer.
class ShellUi {
public:
    virtual ~ShellUi() = default;
    virtual void showIcon(const IconState& icon) = 0;
    // Runs the alert modally (a nested event loop) until a button is pressed
    // or abortAlert() is called, which answers ModalResponse::abort.
    virtual ModalResponse runModal(const AlertText& alert) = 0;
    virtual void abortAlert() = 0;
    // What was typed into the field of the alert that ran last.
    virtual std::string fieldText() const { return {}; }
    // An alert shown directly, outside the one-alert runner.
    virtual void showNotice(const AlertText& alert) = 0;
    virtual std::vector<std::filesystem::path> chooseFiles() = 0;
    virtual void copyText(const std::string& text) = 0;
    virtual void openLocation(const std::string& urlOrPath) = 0;
    virtual void quit() = 0;
};

struct ShellDeps {
    Executor* main = nullptr;
    std::function<std::int64_t()> clock = [] { return nowMillis(); };
    ShellLog log;
    SettingsStore* settings = nullptr;
    DeviceStore* store = nullptr;
    std::string storageSummary;
    bool hardened = false;
    // What the menu says while not hardened (CodeIdentity::notHardened).
    std::string notHardenedWarning;
    std::string notHardenedAdvice;
    ShellServer* server = nullptr;
    InputSink* injector = nullptr;  // the injector itself: the lock is not counted
    CountingInput* counted = nullptr;
    SessionHistory* history = nullptr;
    DisplayWake* wake = nullptr;
    ShellUi* ui = nullptr;
    OwnerPrompt* prompt = nullptr;
    LoginItem* loginItem = nullptr;

    // The stored permission for devices to hide the screen.
    std::function<bool()> hideFlagIsOn;
    std::function<bool(bool)> hideFlagSet;
    std::function<bool()> hideFlagRemove;

    // The screen locker, asked off the main queue on its own queues (a
    // locker may take seconds, or never answer): a look says whether one
    // answers and whether the screen is locked; a lock says whether one
    // took it. Each answers later, from any thread.
    std::function<void(std::function<void(LockerLook)>)> lookAtLocker;
    std::function<void(std::function<void(bool took)>)> tryLock;
    // Probes.
    std::function<bool()> canInject;        // synthetic input works (XTest)
    std::function<bool()> canCapture;       // the screen can be read
    std::function<bool()> canWatchKeys;     // the Escape watch can work
    std::function<std::optional<ShellLines::CaptureStats>()> takeStats;
    std::function<int()> screenCount;
    // A changed resolution could not be put back yet (the menu says so).
    std::function<bool()> restoreOwed;
    // Runs work off the main queue (copies into the Outbox).
    std::function<void(std::function<void()>)> background;

    std::filesystem::path receivedRoot;  // where received files land
    std::filesystem::path outbox;        // receivedRoot / "Outbox"
    OutboxNaming naming = OutboxNaming::basic();
    std::filesystem::path program;       // for quit and reopen
    int port = 8722;

    // The guide windows. The widget layer makes the window of a panel once
    // and keeps it for the run; without it the panels run windowless.
    enum class GuideWindowKind { welcome, connect };
    std::function<void(const std::shared_ptr<GuidePanel>&, GuideWindowKind, std::function<void()> dontShowAgain)>
        makeGuideWindow;
    bool laptop = false;
};

// What the menu's tailnet section shows of the tailnet control's snapshot.
TailnetMenuFacts tailnetMenuFacts(const TailscaleControl::Snapshot& snapshot);
// What the guide's tailnet section shows of it.
TailscaleFacts guideTailscaleFacts(const TailscaleControl::Snapshot& snapshot);

class Shell : public std::enable_shared_from_this<Shell> {
public:
    static std::shared_ptr<Shell> create(ShellDeps deps);
    Shell(const Shell&) = delete;
    Shell& operator=(const Shell&) = delete;

    // Settings as read at launch.
    void loadSettings();
    // The permissions line the launch already wrote, so the first menu
    // opening does not write it again.
    void notePermissionsLogged(const std::string& line) { loggedPermissions_ = line; }
    // The server learns the owner's effect permissions as soon as it is
    // known, and again at every change.
    void setServer(ShellServer* server) {
        d_.server = server;
        pushEffectsAllowed();
        pushLockFacts();
    }
    // The tailnet control, made once the server listens.
    void setTailscale(TailscaleControl* tailscale) { tailscale_ = tailscale; }
    // The relay controller's part of the menu, made once the server listens:
    // its section (given the owner-action block), its actions by name, and
    // what it must hear when sharing pauses.
    struct RelayHooks {
        std::function<std::vector<MenuItem>(bool blocked)> section;
        std::function<void(const std::string& action)> perform;
        std::function<void()> paused;
        // What the guide windows read of the controller.
        std::function<ConnectRelayFacts()> guideFacts;
        std::function<bool()> flowBusy;
        std::function<std::optional<std::string>()> recentlyAdded;
        std::function<std::string()> address;
    };
    void setRelay(RelayHooks hooks) { relay_ = std::move(hooks); }
    // Why the server is not running, and what to do about it where the
    // menu can say more than the reason.
    void setStartError(std::optional<std::string> error, std::optional<std::string> advice = std::nullopt);
    // The first-run decision: show the Welcome window, or remember that
    // this is an existing install. Needs the Welcome window to exist.
    void welcomeAtLaunch(std::size_t pairedDevices);

    // The guide windows: what they show, what their buttons do, and the
    // Welcome window's flag rules.
    GuideSnapshot guideSnapshot() const;
    void performGuide(const GuideAction& action);
    void showWelcomeWindow();
    void showConnectWindow();
    void welcomeDontShowAgain();
    const std::shared_ptr<GuidePanel>& welcomePanel() const { return welcomePanel_; }
    const std::shared_ptr<GuidePanel>& connectPanel() const { return connectPanel_; }

    // Server callbacks, on the main queue. `deviceID` is the id that came
    // with the report.
    void controllerChanged(const std::optional<std::string>& name, const std::optional<std::string>& deviceID);
    void sessionEvent(const SessionEvent& event);
    void pairAttempted(bool viaTailnet, const std::optional<std::string>& pairedName, bool wrongCode);
    // The right code came, but the device list could not be saved.
    void pairRefused(bool viaTailnet, const std::string& reason);
    // The device list's saves began failing (with this reason) or are
    // saved again (absent): one log line per change, not per retry.
    void savesChanged(const std::optional<std::string>& failure);
    void stoppedOnMac();
    void listenerFailed(const std::string& reason);
    // The first look at the screen locker, at launch; it is looked at
    // again when it matters after that.
    void lookAtLockerAtLaunch();
    // Whether a screen locker answered a look. None answering is noted in
    // the log and shown in the menu while locking is on, and the
    // controlling session is told.
    void lockerProbed(bool answers);
    // The controller asked to lock from the page: judged, and answered
    // through the server with the same ask.
    void lockAsked(std::uint64_t ask);
    // The screen locker came, went, or the screen's lock changed, as the
    // host heard it: the locker is looked at again.
    void lockerMoved();

    // The menu, rebuilt at every opening.
    MenuSnapshot snapshot();
    std::vector<MenuItem> menu();
    void perform(MenuAction action, const std::string& payload = {});
    void updateIcon();

    // Starts a process that waits for this one to end and starts the
    // program again, then quits.
    void quitAndReopen();
    bool reopening() const { return reopening_; }

    // Quit work after the server stopped: history, timers, wake, last line.
    void terminate();

    // State the tests and the Qt layer read.
    bool blocked() const;
    bool paused() const { return paused_; }
    bool authenticating() const { return auth_ ? auth_->authenticating() : false; }
    bool lockOnDisconnect() const { return lockOnDisconnect_; }
    bool allowResolutionMatch() const { return allowResolutionMatch_; }
    bool allowHideScreen() const { return allowHideScreen_; }
    const std::optional<std::string>& controller() const { return controller_; }
    const std::optional<std::string>& startError() const { return startError_; }
    bool pairingAlertOpen() const { return pairingAlertOpen_; }
    bool statsRunning() const { return statsGeneration_ != 0; }

    // The owner's gate, for the relay controller's hooks.
    void withOwnerAuthentication(const std::string& title, const std::string& reason, std::function<void()> otherwise,
                                 std::function<void()> then);
    ModalResponse runAlert(const AlertText& alert, std::function<bool()> closeWhen);
    std::string alertFieldText() const { return d_.ui ? d_.ui->fieldText() : std::string(); }

private:
    explicit Shell(ShellDeps deps);
    std::int64_t now() const { return d_.clock(); }
    void log(const std::string& tag, const std::string& text) const {
        if (d_.log) d_.log(tag, text);
    }
    template <class F>
    void later(std::int64_t millis, F work);
    template <class F>
    void soon(F work);

    void carryOut(const std::vector<LockScheduler::Action>& actions);
    void logSessionChange(const std::optional<std::string>& old, const std::optional<std::string>& now);
    void logStats();
    void scheduleStats(std::uint64_t generation);
    void logPermissionsIfChanged();
    void notePaired(const std::string& name);
    // The owner changed a setting: the note about a damaged settings file
    // has been seen and is over.
    void settingChanged() { settingsDamaged_.reset(); }

    void pairNewDevice();
    void showPairingCode();
    void revokeDevice(const std::string& id);
    void revoked(const std::string& what, const std::optional<std::string>& failure);
    void revokeAllDevices();
    void resetDeviceStorage();
    void toggleLockOnDisconnect();
    void toggleResolutionMatch();
    void toggleHideScreen();
    void toggleStartAtLogin();
    void setLockOnDisconnect(bool on);
    void setResolutionMatch(bool on);
    void setHideScreen(bool on);
    void pushEffectsAllowed();
    void pushLockFacts();
    // Looks at the locker, off the main queue; `then` runs on
    // the main queue with the answer while the shell lives.
    void askLocked(std::function<void(Shell&, bool)> then);
    // Asks `ask` and hands its answer to `then` on the main queue while the
    // shell lives; no `ask` answers a default value at once.
    template <class Answer>
    void onMainLater(const std::function<void(std::function<void(Answer)>)>& ask,
                     std::function<void(Shell&, std::type_identity_t<Answer>)> then);
    void lockerAnswers(bool answers, bool changed);
    void pauseMorvane();
    void resumeMorvane();
    void turnOnTailnet();
    void turnOffTailnet();
    std::optional<std::string> tailnetHost() const;
    // What a browser on this computer opens.
    std::string localAddress() const { return "http://127.0.0.1:" + std::to_string(d_.port); }
    void chooseFilesForOutbox();
    void explainMissing(const std::string& what);
    std::shared_ptr<GuidePanel> makeGuidePanel(ShellDeps::GuideWindowKind kind);
    ConnectRelayStatus relayStatus() const;
    std::optional<std::string> historyTag(const SessionRecord& record) const;

    ShellDeps d_;
    TailscaleControl* tailscale_ = nullptr;
    RelayHooks relay_;
    std::unique_ptr<OwnerAuthentication> auth_;
    LockScheduler lock_;
    ModalAlertGate alerts_;
    ShellLines::ClosedAttempts closedAttempts_;

    bool paused_ = false;
    bool lockOnDisconnect_ = true;
    bool allowResolutionMatch_ = true;
    bool allowHideScreen_ = false;
    bool hideScreenNotStored_ = false;
    bool lockerMissing_ = false;
    bool lastLockFailed_ = false;
    std::optional<std::string> startError_;
    std::optional<std::string> startAdvice_;
    std::optional<std::string> settingsDamaged_;
    std::optional<std::string> controller_;
    std::optional<std::string> controllerDevice_;
    std::optional<std::int64_t> lastControllerEnd_;
    std::int64_t sessionStart_ = 0;
    std::optional<std::string> loggedPermissions_;
    std::optional<std::pair<std::string, std::int64_t>> pairedNotice_;
    bool pairingAlertOpen_ = false;
    std::uint64_t alertTicks_ = 0;
    std::uint64_t statsGeneration_ = 0;
    std::uint64_t nextStatsGeneration_ = 1;
    std::optional<std::string> loginItemError_;
    std::optional<std::string> loggedSaveFailure_;
    bool openedScreenSettings_ = false;
    bool reopening_ = false;
    std::shared_ptr<GuidePanel> welcomePanel_;
    std::shared_ptr<GuidePanel> connectPanel_;
};

}  // namespace morvane
