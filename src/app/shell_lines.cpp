#include "app/shell_lines.h"

#include <cmath>
#include <cstdio>
#include <vector>

#include "core/session_log.h"

namespace morvane::ShellLines {

std::string routeWords(ConnectionRoute route, bool viaTailnet) {
    if (route == ConnectionRoute::relay) return "over the relay";
    return pairingRouteWords(viaTailnet);
}

std::string pairingRouteWords(bool viaTailnet) { return viaTailnet ? "over the tailnet" : "from this computer"; }

std::string devicesNotRead(const std::string& storageSummary, const std::string& reason) {
    // The way out comes before the reason, which may be long enough for the
    // log to cut.
    return "paired devices could not be read from " + storageSummary +
           ", so no device is accepted and nothing can be paired until you choose Start Fresh and Pair Again\u2026 in "
           "the Morvane menu: " + reason;
}

std::string devicesNotSaved(const std::string& storageSummary, const std::string& reason) {
    return "paired devices could not be saved to " + storageSummary + ": " + reason +
           ". New pairings are refused until they are; Morvane tries again every 10 seconds";
}

std::string devicesSavedAgain(const std::string& storageSummary) {
    return "paired devices are saved to " + storageSummary + " again";
}

std::string pairingNotSaved(bool viaTailnet, const std::string& reason) {
    return "pairing refused " + pairingRouteWords(viaTailnet) +
           ": the code was right, but the list of paired devices cannot be saved: " + reason;
}

namespace {
std::string afterRestart(RevocationOnDisk onDisk, const std::string& what) {
    switch (onDisk) {
        case RevocationOnDisk::listRemoved:
            if (what == "every device")
                return "the stored list was removed, so after a restart no device is accepted until the list is saved";
            return "the stored list was removed and could not be written again: if Morvane stops before the disk has "
                   "room, the other devices must be paired again";
        case RevocationOnDisk::listKept:
            return "the stored list still names it, so after a restart it would be accepted again";
        case RevocationOnDisk::saved:
            break;
    }
    return {};
}
}  // namespace

std::string revocationNotSaved(const std::string& what, const std::string& reason, RevocationOnDisk onDisk) {
    std::string line = "the revocation of " + what + " could not be saved: " + reason;
    if (onDisk != RevocationOnDisk::saved) line += "; " + afterRestart(onDisk, what);
    return line;
}

NoticeText revocationNotSavedNotice(const std::string& what, const std::string& reason, RevocationOnDisk onDisk) {
    std::string text = "The list of paired devices could not be saved: " + reason + ".\n\n" +
                       "Morvane tries again every 10 seconds and at every change. ";
    switch (onDisk) {
        case RevocationOnDisk::listRemoved:
            // Nothing else is lost when every device was revoked.
            text += what == "every device" ? "Until the list is saved, no device is accepted after a restart."
                                           : "Keep Morvane running until the disk has room: if it is quit or restarted "
                                             "before the list is saved, the other paired devices must be paired again.";
            break;
        case RevocationOnDisk::listKept:
            text += "Until the list is saved, keep Morvane running: after a restart the stored list would let " +
                    what + " connect again.";
            break;
        case RevocationOnDisk::saved:
            break;
    }
    const std::string message = what == "every device" ? "No device can connect now, but the revocation was not saved"
                                                        : what + " can no longer connect, but the revocation was not saved";
    return {message, text};
}

std::string disconnected(const std::string& name, std::int64_t sessionMillis, bool takenOver) {
    const std::int64_t seconds = sessionMillis > 0 ? sessionMillis / 1000 : 0;
    return "disconnected: " + name + " after " + std::to_string(seconds) + " s" + (takenOver ? " (taken over)" : "");
}

std::string connected(const std::string& name, const std::string& words) {
    return "connected: " + name + " (" + words + ")";
}

std::string captureStats(const CaptureStats& s) {
    char fps[32];
    std::snprintf(fps, sizeof fps, "%.1f", static_cast<double>(s.frames) / 10.0);
    std::string video;
    if (s.video || s.keyframes >= 1) {
        const auto kbit = static_cast<std::int64_t>(static_cast<double>(s.bytes) * 8.0 / 10.0 / 1000.0);
        video = ", h264 " + std::to_string(kbit) + " kbit/s, " + std::to_string(s.keyframes) + " keyframes";
    }
    return "state " + s.state + ", " + std::to_string(s.frames) + " frames (" + fps + " fps), " +
           std::to_string(s.width) + "x" + std::to_string(s.height) + " px, " + std::to_string(s.bytes / 1024) +
           " KiB, " + std::to_string(s.callbacks) + " callbacks" + video;
}

std::string inputSummary(const std::string& tallySummary) {
    return tallySummary.empty() ? "no events" : tallySummary;
}

std::string permissions(bool screenRecording, bool accessibility, bool inputMonitoring, bool needsRelaunch) {
    const auto yn = [](bool v) { return std::string(v ? "yes" : "no"); };
    return "screen-capture=" + yn(screenRecording) + " input-injection=" + yn(accessibility) +
           " key-watch=" + yn(inputMonitoring) + (needsRelaunch ? " (screen capture needs a relaunch)" : "");
}

std::string pairingCodeMessage(const std::string& code) {
    if (code.size() <= 4) return "Pairing code: " + code;
    return "Pairing code: " + code.substr(0, 4) + "-" + code.substr(4);
}

std::string pairingInformative(const std::optional<std::string>& tailnetHost, int port) {
    const std::string tail = " It works once and expires after 2 minutes.\n\nClosing this window cancels pairing.";
    const std::string local = "http://127.0.0.1:" + std::to_string(port);
    if (tailnetHost)
        return "On your device, open https://" + *tailnetHost + " (or on this computer, " + local +
               ") and enter the code." + tail;
    return "Only a browser on this computer can use this code: open " + local + " and enter it. " +
           "For a phone, tablet or another computer, choose Connect a Device… in the Morvane menu instead." + tail;
}

std::string startFreshFailed(const std::string& reason) { return "paired devices could not be reset: " + reason; }

NoticeText startFreshFailedNotice(const std::string& reason) {
    return {"Morvane could not start fresh",
            "The stored list of paired devices could not be reset: " + reason +
                ". No device is accepted until it can be."};
}

std::string pauseChosen(const std::optional<std::string>& controllerName) {
    std::string line = "Pause Morvane chosen in the menu";
    if (controllerName) line += ": " + SessionLog::clean(*controllerName, 40) + " is disconnected";
    return line + ". Nobody can connect until Resume Morvane is chosen";
}

std::string onOff(bool on) { return on ? "on" : "off"; }

std::string lockSettingChanged(bool on) {
    return "lock when the controller disconnects: " + onOff(on) + " (changed in the menu)";
}

std::string resolutionSettingChanged(bool on) {
    return "devices may change the resolution: " + onOff(on) + " (changed in the menu)";
}

std::string hideSettingChanged(bool on, bool keychainFailed) {
    return "devices may hide this screen: " + onOff(on) + " (changed in the menu)" +
           (keychainFailed ? "; the setting could not be stored" : "");
}

std::string audioSession(double seconds, std::int64_t sent, std::int64_t dropped) {
    const auto rounded = static_cast<std::int64_t>(std::llround(seconds));
    return "sound was on for " + std::to_string(rounded) + " s: " + std::to_string(sent) + " packets sent, " +
           std::to_string(dropped) + " dropped";
}

std::optional<std::string> prettyName(std::string_view osRelease) {
    std::size_t start = 0;
    while (start < osRelease.size()) {
        auto end = osRelease.find('\n', start);
        if (end == std::string_view::npos) end = osRelease.size();
        std::string_view line = osRelease.substr(start, end - start);
        start = end + 1;
        constexpr std::string_view key = "PRETTY_NAME=";
        if (line.substr(0, key.size()) != key) continue;
        std::string_view value = line.substr(key.size());
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        std::string out;
        for (std::size_t i = 0; i < value.size(); ++i) {
            if (value[i] == '\\' && i + 1 < value.size()) ++i;
            out.push_back(value[i]);
        }
        if (out.empty()) return std::nullopt;
        return SessionLog::clean(out, 80);
    }
    return std::nullopt;
}

std::string startLine(const std::string& version, const std::string& system, long pid) {
    return "start: Morvane " + version + ", " + system + ", pid " + std::to_string(pid);
}

std::optional<std::int64_t> ClosedAttempts::record(bool viaTailnet, std::int64_t nowMillis) {
    (viaTailnet ? tailnet_ : local_) += 1;
    if (pending_) return std::nullopt;
    pending_ = true;
    if (!lastLine_) return 0;
    const std::int64_t wait = spacingMillis - (nowMillis - *lastLine_);
    return wait > 0 ? wait : 0;
}

std::string ClosedAttempts::flush(std::int64_t nowMillis) {
    pending_ = false;
    lastLine_ = nowMillis;
    const int local = local_, tailnet = tailnet_;
    local_ = tailnet_ = 0;
    return std::to_string(local + tailnet) + " code(s) sent while no pairing window was open (" +
           std::to_string(local) + " from this computer, " + std::to_string(tailnet) + " over the tailnet)";
}

HideScreenOutcome setHideScreen(bool on, const std::function<bool(bool)>& write, const std::function<bool()>& remove,
                                const std::function<bool()>& readBack) {
    HideScreenOutcome outcome;
    const bool ok = write(on);
    outcome.allowed = on && ok;
    if (!ok && !on) {
        remove();
        outcome.notStored = readBack();
    }
    outcome.line = hideSettingChanged(outcome.allowed, !ok);
    return outcome;
}

}  // namespace morvane::ShellLines
