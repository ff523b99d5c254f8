// The shell's log lines and alert texts that depend on its state, built in
// one place so they stay byte for byte what the owner reads in host.log.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/types.h"

namespace morvane::ShellLines {

// "over the relay", "over the tailnet" or "from this computer".
std::string routeWords(ConnectionRoute route, bool viaTailnet);
std::string pairingRouteWords(bool viaTailnet);

std::string disconnected(const std::string& name, std::int64_t sessionMillis, bool takenOver);
std::string connected(const std::string& name, const std::string& routeWords);

// The capture counters of one statistics period.
struct CaptureStats {
    std::string state;
    std::int64_t callbacks = 0;
    std::int64_t frames = 0;
    std::int64_t bytes = 0;
    int width = 0;
    int height = 0;
    bool video = false;
    std::int64_t keyframes = 0;
};
// Rates are per statistics period of 10 s.
std::string captureStats(const CaptureStats& stats);
std::string inputSummary(const std::string& tallySummary);

std::string permissions(bool screenRecording, bool accessibility, bool inputMonitoring, bool needsRelaunch);

std::string pairingCodeMessage(const std::string& code);
std::string pairingInformative(const std::optional<std::string>& tailnetHost, int port);

// The paired-device list and its saves, as the log says them.
enum class RevocationOnDisk { saved, listRemoved, listKept };
// The list could not be read at launch: where it is, why, and the menu's
// way out.
std::string devicesNotRead(const std::string& storageSummary, const std::string& reason);
std::string devicesNotSaved(const std::string& storageSummary, const std::string& reason);
std::string devicesSavedAgain(const std::string& storageSummary);
std::string pairingNotSaved(bool viaTailnet, const std::string& reason);
std::string revocationNotSaved(const std::string& what, const std::string& reason, RevocationOnDisk onDisk);
// The owner's notice when a revocation was made but could not be saved;
// `what` is "“iPad”" or "every device".
struct NoticeText {
    std::string message;
    std::string informative;
};
NoticeText revocationNotSavedNotice(const std::string& what, const std::string& reason, RevocationOnDisk onDisk);
// The log line and the owner's notice when Start Fresh could not reset the
// list: the reason whole, as the menu's lines show it.
std::string startFreshFailed(const std::string& reason);
NoticeText startFreshFailedNotice(const std::string& reason);

std::string pauseChosen(const std::optional<std::string>& controllerName);
std::string onOff(bool on);
std::string lockSettingChanged(bool on);
std::string resolutionSettingChanged(bool on);
std::string hideSettingChanged(bool on, bool keychainFailed);

std::string audioSession(double seconds, std::int64_t sent, std::int64_t dropped);

// "Debian GNU/Linux 12 (bookworm)" from the text of /etc/os-release; absent
// when it names none.
std::optional<std::string> prettyName(std::string_view osRelease);
std::string startLine(const std::string& version, const std::string& system, long pid);

// Counts pairing codes that arrive while no pairing window is open and
// writes at most one summary line a minute.
class ClosedAttempts {
public:
    static constexpr std::int64_t spacingMillis = 60'000;
    // Counts one; returns the delay after which to call flush() when no
    // summary is pending yet (0: at once), none when one already is.
    std::optional<std::int64_t> record(bool viaTailnet, std::int64_t nowMillis);
    // The summary line; the counts start again from zero.
    std::string flush(std::int64_t nowMillis);

private:
    int local_ = 0;
    int tailnet_ = 0;
    bool pending_ = false;
    std::optional<std::int64_t> lastLine_;
};

// Turning the screen-hiding permission on or off through its stored flag.
// A failed "off" must not leave "on" stored, where it would come back after
// a restart: the item is then removed, and if "on" still reads back the
// disagreement is reported.
struct HideScreenOutcome {
    bool allowed = false;    // what the shell now goes by
    bool notStored = false;  // the stored flag still says "on" while the shell says off
    std::string line;        // the "app" log line
};
HideScreenOutcome setHideScreen(bool on, const std::function<bool(bool)>& write, const std::function<bool()>& remove,
                                const std::function<bool()>& readBack);

}  // namespace morvane::ShellLines
