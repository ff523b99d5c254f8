// The program's top level: the command-line contract (help, version, the
// two diagnostic modes, refusing what it does not know), and the one-host
// rule before the application starts.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "web/embedded_web.h"

namespace morvane::ProcessEntry {

enum class Mode { webHashes, selfCheck, help, version, usageError, application };

// No argument starts the application; exactly one argument spelled exactly
// as an option selects it; anything else is a usage error, so a mistyped
// option never starts a host the user did not ask for.
Mode mode(const std::vector<std::string>& arguments);

// The text "--help" prints: the options that exist and what they do.
std::string usage();
// Printed and logged when the host runs as root.
inline constexpr const char* rootWarning =
    "Morvane is running as root: screen lockers refuse to lock for root, and the paired devices and relay keys "
    "would be root's. Start it as the desktop user instead.";
// On stderr when another host of this user holds the lock.
inline constexpr const char* alreadyRunning = "Morvane is already running";

// When there is no X display to run on.
inline constexpr const char* noDisplayMessage =
    "Morvane needs an X display and DISPLAY is not set: start it from your desktop session.";
// When DISPLAY names a display that does not open: not running, or not
// letting this user in (started over ssh, under another user, or with the
// wrong XAUTHORITY).
inline std::string unreachableDisplayMessage(const std::string& display) {
    return "Morvane needs an X display and cannot open DISPLAY=" + display +
           ": it is not running or does not let this user in. Start Morvane from your desktop session (a "
           "terminal there shows its display with: echo $DISPLAY).";
}
// In a Wayland session. Its X server (Xwayland) runs the host but shows it
// none of the other windows: devices would see a black screen.
inline constexpr const char* waylandMessage =
    "Morvane needs an X11 session and this is a Wayland session, where devices would see a black screen: "
    "log out, choose \"GNOME on Xorg\" with the gear button at the login screen, and start it again.";
// The button of the window that says it.
inline constexpr const char* refusalButton = "OK";

// The session the host is started in, as its environment describes it.
struct Session {
    std::string display;         // DISPLAY
    std::string sessionType;     // XDG_SESSION_TYPE
    std::string waylandDisplay;  // WAYLAND_DISPLAY
    static Session current();
};

// Why the host cannot run in this session; absent when it can.
struct Refusal {
    std::string text;
    // Started from the desktop's menu or at login, standard error is read
    // by nobody: a refused desktop session is logged, and said in a window
    // where an X server (Xwayland) can show one.
    bool toThePerson = false;
};
std::optional<Refusal> sessionRefusal(const Session& session);

// Says a refusal: on `err`; when it is for the person, as the start line and
// an "error" line in `logFile` (host.log, absent without a home folder) and
// through `show` when the session has an X display. The exit status.
int refuse(const Refusal& refusal, const Session& session, const std::optional<std::filesystem::path>& logFile,
           std::ostream& err, const std::function<void(const std::string&)>& show);

// "Debian GNU/Linux 12 (bookworm), kernel 6.1.0-13-amd64", for the start line.
std::string systemText();

// What the self-check asks of the rest of the program; tests replace it.
struct SelfCheckProbes {
    std::function<bool()> hardenedRuntime;
    std::function<std::string()> describeCode;
    std::function<bool()> childProcessPlumbing;
    // The Tailscale line or lines.
    std::function<std::vector<std::string>()> tailscaleLines;
    static SelfCheckProbes system();
};

// "--web-hashes": the hash lines on `out`, or the damage on `err`. Returns
// the exit status.
int webHashes(std::span<const EmbeddedFile> rows, std::ostream& out, std::ostream& err);
// "--self-check": the diagnostic lines on `out`. Returns the exit status.
int selfCheck(std::span<const EmbeddedFile> rows, const SelfCheckProbes& probes, std::ostream& out);

// The server alone on 127.0.0.1:8722, with no capture and no input,
// running until SIGINT or SIGTERM.
int runApplication(std::span<const EmbeddedFile> rows);

// Everything above, as main() does it, writing on `out` and `err`.
// `application` starts the application once this user's instance lock
// (`lockPath`) is held; without one it is runApplication(rows).
int main(int argc, char** argv, std::span<const EmbeddedFile> rows, std::function<int()> application,
         const std::filesystem::path& lockPath, std::ostream& out, std::ostream& err);
int main(int argc, char** argv, std::span<const EmbeddedFile> rows, std::function<int()> application = nullptr);

}  // namespace morvane::ProcessEntry
