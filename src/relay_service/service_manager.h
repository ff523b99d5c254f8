// What the service manager (systemd) is told, through the socket it names
// in NOTIFY_SOCKET, written to directly rather than through libsystemd:
// the watchdog's pings (WATCHDOG=1), sent from the network thread's beat
// (and while the store is waited for at start), so that an instance whose
// thread is held up past the unit's WatchdogSec (stopped, deadlocked,
// starved) is ended and started again rather than keeping its computers
// and phones for as long as it hangs: nginx sends new connections on past
// an instance that refuses them, not past one whose kernel still takes
// them for a process that never answers.
#pragma once

#include <chrono>
#include <optional>
#include <string_view>

namespace morvane::relay_service {

namespace service_manager {
// The watchdog's time as the manager set it for this process
// (WATCHDOG_USEC, and WATCHDOG_PID when it names one); absent without.
std::optional<std::chrono::milliseconds> watchdogTime();
// How often the watchdog is told all is well: a quarter of its time, at
// most a second, so that a pause of a few seconds is never taken for a
// hang.
std::chrono::milliseconds pingEvery(std::chrono::milliseconds watchdog);
// Sends `state` (as "WATCHDOG=1") to the manager's socket; false where
// there is none or it could not be sent.
bool notify(std::string_view state);
}  // namespace service_manager

}  // namespace morvane::relay_service
