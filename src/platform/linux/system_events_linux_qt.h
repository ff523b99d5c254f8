// The machine going away, heard over the system bus: logind's
// PrepareForSleep, and the login session turning inactive (switched away)
// or locked. Each such change calls `away` once, on the Qt thread. Without a
// system bus (a test machine, a container) nothing is ever heard; the
// driver's systemAway() is then reached only by its callers.
#pragma once

#include <functional>
#include <memory>

namespace morvane {

class SystemEventsWatch {
public:
    virtual ~SystemEventsWatch() = default;
    // False when the system bus could not be reached.
    virtual bool listening() const = 0;
};

std::unique_ptr<SystemEventsWatch> watchSystemEvents(std::function<void()> away);

}  // namespace morvane
