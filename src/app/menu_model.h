// The status icon and its menu as data. The menu holds no state of its own:
// it is a function of a snapshot of the shell's fields, rebuilt every time it
// opens, so the Qt layer only draws what this returns.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace morvane {

enum class MenuAction {
    none,
    resumeMorvane,
    pauseMorvane,
    showConnectWindow,
    openAddress,
    pairNewDevice,
    copyAddress,
    turnOnTailnet,
    turnOffTailnet,
    copyTailnetAddress,
    openScreenRecordingSettings,
    openAccessibilitySettings,
    openInputMonitoringSettings,
    resetDeviceStorage,
    revokeDevice,  // payload: the device id
    revokeAllDevices,
    toggleLockOnDisconnect,
    toggleResolutionMatch,
    toggleHideScreen,
    toggleStartAtLogin,
    chooseFilesForOutbox,
    showOutbox,
    showReceivedFiles,
    disconnectController,
    showWelcomeWindow,
    checkForUpdates,
    quit,
    relay,  // an item of the relay section; payload names it for the relay
};

struct MenuItem {
    enum class Kind { item, separator, header, warning };
    enum class Check { none, off, on, mixed };

    Kind kind = Kind::item;
    std::string title;
    bool enabled = false;
    MenuAction action = MenuAction::none;
    std::string payload;
    Check check = Check::none;
    std::vector<MenuItem> submenu;
    // Rarely used items name the submenu they may be gathered into when the
    // menu does not fit the screen in one column (foldMenu); a lower rank
    // folds first, 0 never.
    std::string foldInto;
    int foldRank = 0;

    static MenuItem make(Kind kind, std::string title, bool enabled = false, MenuAction what = MenuAction::none) {
        MenuItem item;
        item.kind = kind;
        item.title = std::move(title);
        item.enabled = enabled;
        item.action = what;
        return item;
    }
    static MenuItem line(std::string title) { return make(Kind::item, std::move(title)); }
    static MenuItem warning(std::string title) { return make(Kind::warning, std::move(title)); }
    static MenuItem header(std::string title) { return make(Kind::header, std::move(title)); }
    static MenuItem separator() { return make(Kind::separator, {}); }
    static MenuItem command(std::string title, MenuAction what, bool enabled = true) {
        return make(Kind::item, std::move(title), enabled, what);
    }
    bool operator==(const MenuItem&) const = default;
};

// Submenus the menu may gather rarely used items into, and their ranks: the
// relay's details fold first, then what only this computer uses, then the
// settings, then the permissions that are fine.
namespace MenuFolds {
inline constexpr const char* relayDetails = "Relay Details";
inline constexpr const char* thisComputer = "This Computer";
inline constexpr const char* settings = "Settings";
inline constexpr const char* permissions = "Permissions";
inline constexpr int relayDetailsRank = 1;
inline constexpr int thisComputerRank = 2;
inline constexpr int settingsRank = 3;
inline constexpr int permissionsRank = 4;
}  // namespace MenuFolds

// The menu with every run of neighbouring items of the same foldInto whose
// rank is at most `level` gathered into one submenu of that title, at the
// place of the run's first item. A header in a run is dropped (the
// submenu's title says it), warnings never fold, and a run of one item
// stays as it is. Level 0 is the menu as built.
std::vector<MenuItem> foldMenu(const std::vector<MenuItem>& items, int level);
// The highest rank in the menu: folding beyond it changes nothing.
int maxFoldLevel(const std::vector<MenuItem>& items);

enum class ScreenRecordingState { allowed, missing, needsRelaunch };
enum class LoginItemStatus { enabled, requiresApproval, off };

// What the menu reads of the tailnet control's snapshot.
struct TailnetMenuFacts {
    enum class Cli { notInstalled, untrusted, found };
    enum class Decision { on, off, conflictPort443, conflictOtherRoute, conflictOtherEntries, funnel, unreadable,
                          unavailable };
    Cli cli = Cli::notInstalled;
    std::string untrustedReason;
    Decision decision = Decision::off;
    std::optional<std::string> blocker;  // why it is off, for Decision::off
    std::string text;                    // for Decision::unreadable and unavailable
    std::optional<std::string> accessHost;  // present while the route is on
    std::optional<std::string> ownerLogin;
    std::optional<std::string> actionError;
    bool busy = false;
    bool published = false;
};

struct DeviceLine {
    std::string id;
    std::string name;  // already cleaned
    bool relay = false;
    std::optional<std::string> lastSeen;  // relative text such as "2 hours ago"; absent: never connected
};

// What the stored device list holds while a revocation is not saved.
enum class UnsavedRevocationState { none, listRemoved, listKept };

struct MenuSnapshot {
    int port = 8722;
    bool paused = false;
    std::optional<std::string> startError;
    // What to do about it, the line under it.
    std::optional<std::string> startAdvice;
    std::optional<std::string> controller;
    bool blocked = false;
    bool authenticating = false;
    std::optional<std::string> pairedNoticeName;  // set while the notice is under 60 s old

    TailnetMenuFacts tailnet;
    std::vector<MenuItem> relaySection;

    ScreenRecordingState screen = ScreenRecordingState::allowed;
    bool openedScreenRecordingSettings = false;
    bool accessibility = true;
    bool inputMonitoring = true;

    bool hardened = true;
    // Said instead of the paired devices while not hardened.
    std::string notHardenedWarning = "This build is not hardened";
    std::string notHardenedAdvice = "Build it again with scripts/run and start the new build";
    std::optional<std::string> storageFailure;
    std::optional<std::string> lastSaveFailure;
    std::vector<DeviceLine> devices;

    bool lockOnDisconnect = true;
    bool allowResolutionMatch = true;
    bool allowHideScreen = false;
    // The stored hiding flag could not be brought in line with the setting
    // shown (a failed write left "on" stored).
    bool hideScreenNotStored = false;
    int screens = 1;
    std::int64_t hideIdleSeconds = 600;

    // The settings file found at launch could not be used (why, and where
    // it was kept); shown until the owner changes a setting.
    std::optional<std::string> settingsDamaged;
    // Why the settings file is not being written, while it is not; and
    // whether the pause shown differs from what the next start reads.
    std::optional<std::string> settingsNotSaved;
    bool pauseNotSaved = false;

    LoginItemStatus loginItem = LoginItemStatus::off;
    std::optional<std::string> loginItemError;
    // Why Start at Login cannot be turned on here (a build folder and
    // nothing installed); and what the entry starts when that is neither
    // this program nor an installed one.
    std::optional<std::string> loginItemUnavailable;
    std::optional<std::string> loginItemElsewhere;

    bool effectsMatched = false;
    bool effectsHidden = false;
    bool restoreOwed = false;

    std::optional<std::string> historyLine;
    std::vector<std::string> historyAlsoNew;
    std::vector<std::string> historyEarlier;

    std::optional<MenuItem> updatesItem;

    // No screen locker answered at launch while locking is on.
    bool lockerMissing = false;
    // The last lock after a disconnect did not take.
    bool lastLockFailed = false;

    UnsavedRevocationState unsavedRevocation = UnsavedRevocationState::none;
};

// The gate of both pairing items.
bool pairEnabled(const MenuSnapshot& s);

// A failure text on one menu line of at most `limit` characters. The reason
// after the last ": " is what the owner acts on, so it is kept whole; the
// subject before it (an item or a path) gives way, shortened in its last
// word. Only a reason that alone does not fit is cut, at its end.
std::string failureLine(std::string_view text, int limit);
// A text on as many menu lines of at most `width` characters as it needs,
// none of it cut: wrapped at its blanks, a word longer than a line (a path,
// as a rule) broken after a "/" in the line's second half, else at its end.
std::vector<std::string> wrapLines(std::string_view text, int width);
// A failure text: the one line of failureLine when its reason stays whole
// there, else the whole text wrapped.
std::vector<std::string> failureLines(std::string_view text, int width);

std::vector<MenuItem> buildMenu(const MenuSnapshot& s);

struct IconState {
    std::string symbol;         // the badge's symbol, e.g. "pause.circle"; "display" for none
    std::string fallbackTitle;  // shown only when no image can be drawn
    std::string tooltip;
    bool red = false;
    bool operator==(const IconState&) const = default;
};

// `lockTrouble`: the menu shows that the screen could not be locked.
IconState iconState(bool startError, bool paused, const std::optional<std::string>& controller, bool recentlyPaired,
                    bool lockTrouble = false);

namespace MenuTimes {
inline constexpr std::int64_t pairedNoticeMillis = 60'000;
inline constexpr std::int64_t pairedIconMillis = 6'000;
inline constexpr std::int64_t pairedIconTimerMillis = 6'100;
}  // namespace MenuTimes

// "2 hours ago", "in 3 days": the relative text of a device's last visit.
std::string relativeTime(std::int64_t secondsFromNow, const std::string& locale = {});

}  // namespace morvane
