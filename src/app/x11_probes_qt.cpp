#include "app/x11_probes_qt.h"

#include "platform/linux/x11_errors.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/dpms.h>
#include <X11/extensions/scrnsaver.h>

namespace morvane {

X11Facts probeX11() {
    X11Facts facts;
    Display* display = XOpenDisplay(nullptr);
    if (!display) return facts;
    facts.display = true;
    int event = 0, error = 0, major = 0, minor = 0;
    facts.xtest = XTestQueryExtension(display, &event, &error, &major, &minor) == True;
    int opcode = 0;
    facts.xinput2 = XQueryExtension(display, "XInputExtension", &opcode, &event, &error) == True;
    int monitors = 0;
    if (XRRQueryExtension(display, &event, &error)) {
        XRRMonitorInfo* info = XRRGetMonitors(display, DefaultRootWindow(display), True, &monitors);
        if (info) XRRFreeMonitors(info);
    }
    facts.screens = monitors > 0 ? monitors : 1;
    XCloseDisplay(display);
    return facts;
}

namespace {

class X11DisplayWake final : public DisplayWakeBackend {
public:
    // Released as the host quits, which may be because the display went:
    // a connection of its own that may be lost without ending the process.
    X11DisplayWake() : display_(openTolerantX11Display("")) {}
    ~X11DisplayWake() override { closeX11Display(display_); }

    void declareActivity(const std::string&) override {
        if (!display_ || x11ConnectionLost(display_)) return;
        XResetScreenSaver(display_);
        int event = 0, error = 0;
        if (DPMSQueryExtension(display_, &event, &error) && DPMSCapable(display_)) DPMSForceLevel(display_, DPMSModeOn);
        XFlush(display_);
    }

    bool inhibit(const std::string&) override {
        if (!display_ || x11ConnectionLost(display_)) return false;
        int event = 0, error = 0, major = 0, minor = 0;
        if (!XScreenSaverQueryExtension(display_, &event, &error) ||
            !XScreenSaverQueryVersion(display_, &major, &minor) || (major == 1 && minor < 1))
            return false;
        XScreenSaverSuspend(display_, True);
        XFlush(display_);
        return true;
    }

    void uninhibit() override {
        if (!display_ || x11ConnectionLost(display_)) return;
        XScreenSaverSuspend(display_, False);
        XFlush(display_);
    }

private:
    Display* display_;
};

}  // namespace

std::unique_ptr<DisplayWakeBackend> makeX11DisplayWake() { return std::make_unique<X11DisplayWake>(); }

}  // namespace morvane
