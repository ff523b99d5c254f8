#include "platform/linux/locker_xscreensaver_x11.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include "platform/linux/x11_errors.h"

namespace morvane {

namespace {

// Whether `window` carries `property` at all (any type, any length).
bool carries(Display* display, Window window, Atom property) {
    Atom type = None;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    const int status =
        XGetWindowProperty(display, window, property, 0, 0, False, AnyPropertyType, &type, &format, &items, &after, &data);
    if (data) XFree(data);
    return status == Success && type != None;
}

}  // namespace

std::unique_ptr<XScreenSaverLink> XScreenSaverLink::open(const std::string& display) {
    Display* d = openTolerantX11Display(display);
    if (!d) return nullptr;
    return std::unique_ptr<XScreenSaverLink>(new XScreenSaverLink(d));
}

XScreenSaverLink::XScreenSaverLink(Display* display) : display_(display) {
    root_ = DefaultRootWindow(display_);
    statusAtom_ = XInternAtom(display_, "_SCREENSAVER_STATUS", False);
    versionAtom_ = XInternAtom(display_, "_SCREENSAVER_VERSION", False);
    commandAtom_ = XInternAtom(display_, "SCREENSAVER", False);
    lockAtom_ = XInternAtom(display_, "LOCK", False);
    // The daemon writes its status on the root window when it starts and at
    // every change.
    XSelectInput(display_, root_, PropertyChangeMask);
    XFlush(display_);
}

XScreenSaverLink::~XScreenSaverLink() { closeX11Display(display_); }

int XScreenSaverLink::fd() const { return ConnectionNumber(display_); }

bool XScreenSaverLink::lost() const { return x11ConnectionLost(display_); }

void XScreenSaverLink::pump() {
    if (x11ConnectionLost(display_)) return;
    bool news = false;
    while (XPending(display_) > 0 && !x11ConnectionLost(display_)) {
        XEvent event;
        XNextEvent(display_, &event);
        if (event.type == PropertyNotify && event.xproperty.window == root_ && event.xproperty.atom == statusAtom_) {
            news = true;
            // A new daemon announces itself here too.
            if (!daemon_) lookForDaemon_ = true;
        } else if (event.type == DestroyNotify && event.xdestroywindow.window == daemon_) {
            // Killed, or restarted: its last status stays on the root window
            // and says nothing any more.
            news = true;
            daemon_ = 0;
            lookForDaemon_ = true;
        }
    }
    if (news && news_) news_();
}

unsigned long XScreenSaverLink::daemon() {
    if (x11ConnectionLost(display_)) return 0;
    if (daemon_ && !lookForDaemon_) return daemon_;
    lookForDaemon_ = false;
    daemon_ = 0;
    Window rootReturn = 0, parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(display_, root_, &rootReturn, &parent, &children, &count)) return 0;
    // Newest first: a restarted daemon's window is the last made.
    for (unsigned int i = count; i-- > 0 && !daemon_;)
        if (carries(display_, children[i], versionAtom_)) daemon_ = children[i];
    if (children) XFree(children);
    // Its going is heard, so that a stale status is never believed.
    if (daemon_) XSelectInput(display_, daemon_, StructureNotifyMask);
    // A window that went while it was looked at is no daemon.
    XSync(display_, False);
    if (takeX11Error(display_) != 0 && daemon_ && !carries(display_, daemon_, versionAtom_)) daemon_ = 0;
    return daemon_;
}

std::optional<bool> XScreenSaverLink::locked() {
    pump();
    const Window window = daemon();
    if (!window) return std::nullopt;
    Atom type = None;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    const int status = XGetWindowProperty(display_, root_, statusAtom_, 0, 3, False, XA_INTEGER, &type, &format, &items,
                                          &after, &data);
    bool locked = false;
    // The first word is the state's atom: LOCK, BLANK, or 0 when neither.
    if (status == Success && type == XA_INTEGER && format == 32 && items >= 1)
        locked = reinterpret_cast<const long*>(data)[0] == static_cast<long>(lockAtom_);
    if (data) XFree(data);
    pump();
    return locked;
}

bool XScreenSaverLink::lock() {
    pump();
    const Window window = daemon();
    if (!window) return false;
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.display = display_;
    event.xclient.window = window;
    event.xclient.message_type = commandAtom_;
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(lockAtom_);
    // No mask: the event goes to the window's maker, the daemon.
    const Status sent = XSendEvent(display_, window, False, 0, &event);
    XSync(display_, False);
    const bool refused = takeX11Error(display_) != 0;
    if (refused) lookForDaemon_ = true;
    return sent != 0 && !refused && !x11ConnectionLost(display_);
}

}  // namespace morvane
