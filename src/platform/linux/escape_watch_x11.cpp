// The Escape watch over XInput 2 raw key events, on an X connection and a
// thread of its own ("morvane.escape-watch"). Raw events reach the root
// window whatever client holds the keyboard, and each names the device it
// came from: the host injects through the core XTEST keyboard, so events of
// that device are its own and never count.
// Before the X headers: their None macro would clash with the verdict.
#include "platform/linux/display_effects_x11.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/keysym.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <set>
#include <thread>

#include "platform/linux/x11_errors.h"

namespace morvane {

namespace {

// The core keyboard's XTEST device: where XTestFakeKeyEvent's keys come from.
std::set<int> coreXTestKeyboards(Display* d) {
    std::set<int> out;
    int count = 0;
    XIDeviceInfo* devices = XIQueryDevice(d, XIAllDevices, &count);
    if (!devices) return out;
    int coreKeyboard = -1;
    for (int i = 0; i < count; ++i)
        if (devices[i].use == XIMasterKeyboard && std::strcmp(devices[i].name, "Virtual core keyboard") == 0)
            coreKeyboard = devices[i].deviceid;
    for (int i = 0; i < count; ++i)
        if (devices[i].use == XISlaveKeyboard && devices[i].attachment == coreKeyboard &&
            std::strstr(devices[i].name, "XTEST"))
            out.insert(devices[i].deviceid);
    XIFreeDeviceInfo(devices);
    return out;
}

class X11EscapeWatch final : public EscapeKeyWatch {
public:
    explicit X11EscapeWatch(std::string name) : name_(std::move(name)) {}
    ~X11EscapeWatch() override { stop(); }

    EscapeArm start(std::function<void(bool, bool)> key) override {
        stop();
        Display* d = openTolerantX11Display(name_);
        if (!d) return EscapeArm::failed;
        int opcode = 0, event = 0, error = 0;
        int major = 2, minor = 2;
        if (!XQueryExtension(d, "XInputExtension", &opcode, &event, &error) ||
            XIQueryVersion(d, &major, &minor) != Success || major < 2) {
            closeX11Display(d);
            return EscapeArm::noPermission;
        }
        const KeyCode escape = XKeysymToKeycode(d, XK_Escape);
        unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
        XISetMask(bits, XI_RawKeyPress);
        XISetMask(bits, XI_RawKeyRelease);
        XIEventMask mask{XIAllMasterDevices, static_cast<int>(sizeof bits), bits};
        XISelectEvents(d, DefaultRootWindow(d), &mask, 1);
        XSync(d, False);
        if (escape == 0 || takeX11Error(d) != 0 || ::pipe2(wake_, O_CLOEXEC) != 0) {
            closeX11Display(d);
            return EscapeArm::failed;
        }
        const std::set<int> own = coreXTestKeyboards(d);
        // The thread keeps what it uses: it may outlive this object when the
        // key callback drops the last reference to the driver.
        auto alive = std::make_shared<std::atomic<bool>>(true);
        alive_ = alive;
        thread_ = std::thread([d, wake = wake_[0], alive, opcode, escape, own, key = std::move(key)] {
            pthread_setname_np(pthread_self(), "morvane.escape-watch");
            const int fd = ConnectionNumber(d);
            bool stopped = false;
            while (!stopped) {
                while (XPending(d) > 0) {
                    XEvent e;
                    XNextEvent(d, &e);
                    XGenericEventCookie* cookie = &e.xcookie;
                    if (cookie->type != GenericEvent || cookie->extension != opcode || !XGetEventData(d, cookie))
                        continue;
                    if (cookie->evtype == XI_RawKeyPress || cookie->evtype == XI_RawKeyRelease) {
                        const auto* raw = static_cast<const XIRawEvent*>(cookie->data);
                        if (raw->detail == escape && !own.contains(raw->sourceid))
                            key(cookie->evtype == XI_RawKeyPress, (raw->flags & XIKeyRepeat) != 0);
                    }
                    XFreeEventData(d, cookie);
                }
                if (x11ConnectionLost(d)) break;
                pollfd fds[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
                if (::poll(fds, 2, -1) < 0 && errno != EINTR) break;
                stopped = fds[1].revents != 0;
            }
            if (!stopped) *alive = false;
            closeX11Display(d);
        });
        return EscapeArm::armed;
    }

    void stop() override {
        if (!thread_.joinable()) return;
        const char byte = 1;
        [[maybe_unused]] const auto n = ::write(wake_[1], &byte, 1);
        // The key callback may hold the last reference to the driver: the
        // thread then ends by itself (its pipe is left to the process's end).
        if (thread_.get_id() == std::this_thread::get_id()) {
            thread_.detach();
            wake_[0] = wake_[1] = -1;
            return;
        }
        thread_.join();
        ::close(wake_[0]);
        ::close(wake_[1]);
        wake_[0] = wake_[1] = -1;
    }

    bool alive() const override { return alive_ && *alive_; }

private:
    std::string name_;
    std::thread thread_;
    int wake_[2] = {-1, -1};
    std::shared_ptr<std::atomic<bool>> alive_;
};

}  // namespace

std::unique_ptr<EscapeKeyWatch> makeX11EscapeWatch(const std::string& displayName) {
    return std::make_unique<X11EscapeWatch>(displayName);
}

}  // namespace morvane
