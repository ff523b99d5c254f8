// The application: builds every long-lived component in order, runs the
// status icon on Qt's event loop, and winds everything down in order at quit
// (from the menu, SIGTERM or SIGINT).
#pragma once

#include <optional>
#include <string>

namespace morvane {

// On stderr when there is no X display to run on.
inline constexpr const char* noDisplayMessage =
    "Morvane needs an X display and DISPLAY is not set: start it from your desktop session.";
// On stderr in a Wayland session. Its X server (Xwayland) runs the host but
// shows it none of the other windows: devices would see a black screen.
inline constexpr const char* waylandMessage =
    "Morvane needs an X11 session and this is a Wayland session, where devices would see a black screen: "
    "log out, choose \"GNOME on Xorg\" with the gear button at the login screen, and start it again.";

// Why the host cannot run in this session, from DISPLAY, XDG_SESSION_TYPE
// and WAYLAND_DISPLAY (null when unset); absent when it can.
inline std::optional<std::string> sessionRefusal(const char* display, const char* sessionType,
                                                 const char* waylandDisplay) {
    const auto set = [](const char* value) { return value && *value; };
    const std::string type = sessionType ? sessionType : "";
    if (type == "wayland" || (type != "x11" && set(waylandDisplay))) return std::string(waylandMessage);
    if (!set(display)) return std::string(noDisplayMessage);
    return std::nullopt;
}

// Runs the host as a tray application until it quits; the exit status.
int runShell(int argc, char** argv);

}  // namespace morvane
