// System sleep and wake for the relay link, heard as logind's
// PrepareForSleep over the system bus: true before the machine sleeps,
// false once it is back. Each is reported on the Qt thread; the relay
// controller forwards them to the link (systemWillSleep / systemDidWake).
// Without a system bus nothing is ever heard and the link simply finds its
// socket gone after a sleep and backs off.
#pragma once

#include <functional>
#include <memory>

namespace morvane {

class RelaySleepWatch {
public:
    virtual ~RelaySleepWatch() = default;
    // False when the system bus could not be reached.
    virtual bool listening() const = 0;
};

std::unique_ptr<RelaySleepWatch> watchRelaySleep(std::function<void()> willSleep, std::function<void()> didWake);

}  // namespace morvane
