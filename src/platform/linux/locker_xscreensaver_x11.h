// xscreensaver spoken to in its own X protocol, as its command-line client
// does, over a connection of our own: the daemon's window carries
// _SCREENSAVER_VERSION, the root window's _SCREENSAVER_STATUS says whether it
// blanked or locked, and a SCREENSAVER client message sent to the daemon's
// window asks it to LOCK. The connection hears the status change and the
// daemon come and go (a property change on the root window, its window
// destroyed), so the owner learns of a restart at once instead of by asking.
//
// Used on one thread, the owner's (the Qt thread in the tray host, whose
// loop watches fd()).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/linux/locker_linux.h"

typedef struct _XDisplay Display;

namespace morvane {

class XScreenSaverLink final : public XScreenSaverAccess {
public:
    // Null when the display cannot be opened.
    static std::unique_ptr<XScreenSaverLink> open(const std::string& display = "");
    ~XScreenSaverLink() override;
    XScreenSaverLink(const XScreenSaverLink&) = delete;
    XScreenSaverLink& operator=(const XScreenSaverLink&) = delete;

    // The connection's socket, readable when the server sent something.
    int fd() const;
    // Reads what the server sent.
    void pump();
    // The server went away: the socket says nothing more worth reading.
    bool lost() const;
    // Called, on the owner's thread from within whichever call read it, when
    // xscreensaver came, went or changed its state: it may only take note
    // or queue work.
    void setNews(std::function<void()> news) { news_ = std::move(news); }

    std::optional<bool> locked() override;
    bool lock() override;

private:
    explicit XScreenSaverLink(Display* display);
    // The daemon's window, looked for again after news; 0 when none runs.
    unsigned long daemon();

    Display* display_;
    unsigned long root_ = 0;
    unsigned long statusAtom_ = 0, versionAtom_ = 0, commandAtom_ = 0, lockAtom_ = 0;
    unsigned long daemon_ = 0;
    bool lookForDaemon_ = true;
    std::function<void()> news_;
};

}  // namespace morvane
