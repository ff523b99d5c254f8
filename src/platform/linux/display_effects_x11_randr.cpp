// The driver's modes over XRandR. A display is an output that drives a CRTC
// (the screen source names a display by its first output); its modes are the
// output's, its current mode the CRTC's. Mode changes grow or shrink the
// screen around the new CRTC size under a server grab, so no client sees a
// screen that does not hold its CRTCs.
// Before the X headers: their None macro would clash with the verdict.
#include "platform/linux/display_effects_x11.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>
#include <X11/extensions/dpms.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/linux/x11_errors.h"

namespace morvane {

namespace {

struct Resources {
    explicit Resources(Display* d) : res(XRRGetScreenResourcesCurrent(d, DefaultRootWindow(d))) {}
    ~Resources() {
        if (res) XRRFreeScreenResources(res);
    }
    XRRScreenResources* res;
};

struct OutputInfo {
    OutputInfo(Display* d, XRRScreenResources* r, RROutput o) : info(XRRGetOutputInfo(d, r, o)) {}
    ~OutputInfo() {
        if (info) XRRFreeOutputInfo(info);
    }
    XRROutputInfo* info;
};

struct CrtcInfo {
    CrtcInfo(Display* d, XRRScreenResources* r, RRCrtc c) : info(XRRGetCrtcInfo(d, r, c)) {}
    ~CrtcInfo() {
        if (info) XRRFreeCrtcInfo(info);
    }
    XRRCrtcInfo* info;
};

DisplayModeInfo modeInfo(const XRRModeInfo& m) {
    DisplayModeInfo out;
    out.id = static_cast<std::int32_t>(m.id);
    out.width = out.pixelWidth = static_cast<int>(m.width);
    out.height = out.pixelHeight = static_cast<int>(m.height);
    double v = static_cast<double>(m.vTotal);
    if (m.modeFlags & RR_DoubleScan) v *= 2;
    if (m.modeFlags & RR_Interlace) v /= 2;
    if (m.hTotal && v > 0) out.refresh = static_cast<double>(m.dotClock) / (static_cast<double>(m.hTotal) * v);
    // Interlaced modes flicker on a desktop.
    out.usable = (m.modeFlags & RR_Interlace) == 0;
    out.stretched = false;
    return out;
}

const XRRModeInfo* findMode(XRRScreenResources* r, RRMode id) {
    for (int i = 0; i < r->nmode; ++i)
        if (r->modes[i].id == id) return &r->modes[i];
    return nullptr;
}

bool sideways(Rotation r) { return (r & (RR_Rotate_90 | RR_Rotate_270)) != 0; }

class RandrBackend final : public DisplayModeBackend {
public:
    RandrBackend(Display* d, std::string name) : d_(d), name_(std::move(name)) {
        int ev = 0, err = 0;
        randr_ = XRRQueryExtension(d_, &ev, &err);
        int major = 0, minor = 0;
        randr_ = randr_ && XRRQueryVersion(d_, &major, &minor) && (major > 1 || minor >= 3);
        int dpmsEvent = 0, dpmsError = 0;
        dpms_ = DPMSQueryExtension(d_, &dpmsEvent, &dpmsError) && DPMSCapable(d_);
    }
    ~RandrBackend() override {
        stopWatch();
        closeX11Display(d_);
    }

    ReconfigClassifier::Topology topology() override {
        ReconfigClassifier::Topology t;
        if (!usable()) return t;
        Resources r(d_);
        if (!r.res) return t;
        const RROutput primary = XRRGetOutputPrimary(d_, DefaultRootWindow(d_));
        std::optional<std::uint32_t> first;
        for (int c = 0; c < r.res->ncrtc; ++c) {
            CrtcInfo crtc(d_, r.res, r.res->crtcs[c]);
            if (!crtc.info || crtc.info->mode == None || crtc.info->noutput < 1) continue;
            const auto lead = static_cast<std::uint32_t>(crtc.info->outputs[0]);
            t.online.insert(lead);
            if (!first) first = lead;
            for (int o = 1; o < crtc.info->noutput; ++o)
                t.mirrors[static_cast<std::uint32_t>(crtc.info->outputs[o])] = lead;
            for (int o = 0; o < crtc.info->noutput; ++o)
                if (crtc.info->outputs[o] == primary) t.main = lead;
        }
        if (t.main == 0 && first) t.main = *first;
        return t;
    }

    std::optional<std::vector<DisplayModeInfo>> allModes(std::uint32_t display) override {
        if (!usable()) return std::nullopt;
        Resources r(d_);
        if (!r.res) return std::nullopt;
        OutputInfo out(d_, r.res, display);
        if (!out.info || out.info->crtc == None) return std::nullopt;
        std::vector<DisplayModeInfo> modes;
        for (int i = 0; i < out.info->nmode; ++i)
            if (const auto* m = findMode(r.res, out.info->modes[i])) modes.push_back(modeInfo(*m));
        return modes;
    }

    std::string name(std::uint32_t display) override {
        if (usable()) {
            Resources r(d_);
            // Only an output the server lists is asked about: the number may
            // come from an old undo record.
            for (int i = 0; r.res && i < r.res->noutput; ++i) {
                if (r.res->outputs[i] != display) continue;
                OutputInfo out(d_, r.res, display);
                if (out.info && out.info->nameLen > 0) return std::string(out.info->name, out.info->nameLen);
            }
        }
        return DisplayModeBackend::name(display);
    }

    std::optional<DisplayModeInfo> currentMode(std::uint32_t display) override {
        if (!usable()) return std::nullopt;
        return withCrtc<DisplayModeInfo>(display, [](XRRScreenResources* res, XRRCrtcInfo* crtc) {
            const auto* m = findMode(res, crtc->mode);
            return m ? std::optional(modeInfo(*m)) : std::nullopt;
        });
    }

    bool apply(std::uint32_t display, const DisplayModeInfo& mode) override {
        if (!usable()) return false;
        takeX11Error(d_);
        XGrabServer(d_);
        const bool ok = applyGrabbed(display, static_cast<RRMode>(mode.id));
        XUngrabServer(d_);
        XSync(d_, False);
        return ok && takeX11Error(d_) == 0 && !x11ConnectionLost(d_);
    }

    std::optional<Rect> bounds(std::uint32_t display) override {
        if (x11ConnectionLost(d_)) return std::nullopt;
        if (!randr_) {
            // Without RandR the one display is the whole screen.
            return Rect{0, 0, static_cast<double>(DisplayWidth(d_, DefaultScreen(d_))),
                        static_cast<double>(DisplayHeight(d_, DefaultScreen(d_)))};
        }
        return withCrtc<Rect>(display, [](XRRScreenResources*, XRRCrtcInfo* crtc) {
            return std::optional(Rect{static_cast<double>(crtc->x), static_cast<double>(crtc->y),
                                      static_cast<double>(crtc->width), static_cast<double>(crtc->height)});
        });
    }

    bool screensAwake() override {
        if (!dpms_ || x11ConnectionLost(d_)) return true;
        CARD16 level = DPMSModeOn;
        BOOL enabled = False;
        if (!DPMSInfo(d_, &level, &enabled) || !enabled) return true;
        return level == DPMSModeOn;
    }

    bool onTop(unsigned long window) override {
        if (x11ConnectionLost(d_)) return true;
        Window root = 0, parent = 0;
        Window* children = nullptr;
        unsigned int count = 0;
        if (!XQueryTree(d_, DefaultRootWindow(d_), &root, &parent, &children, &count)) return true;
        bool top = true;
        // Children come bottom first: the first mapped one from the end is
        // what shows on top.
        for (unsigned int i = count; i-- > 0;) {
            if (children[i] == window) break;
            XWindowAttributes a;
            if (XGetWindowAttributes(d_, children[i], &a) && a.map_state == IsViewable) {
                top = false;
                break;
            }
        }
        if (children) XFree(children);
        takeX11Error(d_);
        return top;
    }

    void setOnReconfigured(std::function<void()> handler) override {
        stopWatch();
        if (!handler || !randr_) return;
        Display* w = openTolerantX11Display(name_);
        if (!w) return;
        if (::pipe2(wake_, O_CLOEXEC) != 0) {
            closeX11Display(w);
            return;
        }
        XRRSelectInput(w, DefaultRootWindow(w),
                       RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
        XFlush(w);
        // The thread keeps what it uses: the handler may drop the last
        // reference to the driver and so end this object under it.
        watch_ = std::thread([w, wake = wake_[0], handler = std::move(handler)] {
            const int fd = ConnectionNumber(w);
            for (;;) {
                while (XPending(w) > 0) {
                    XEvent e;
                    XNextEvent(w, &e);
                    XRRUpdateConfiguration(&e);
                    handler();
                }
                if (x11ConnectionLost(w)) break;
                pollfd fds[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
                if (::poll(fds, 2, -1) < 0 && errno != EINTR) break;
                if (fds[1].revents) break;
            }
            closeX11Display(w);
        });
    }

private:
    bool usable() const { return randr_ && !x11ConnectionLost(d_); }

    // Runs `read` on the CRTC that shows the display, when it shows one.
    template <class T, class F>
    std::optional<T> withCrtc(std::uint32_t display, F read) {
        Resources r(d_);
        if (!r.res) return std::nullopt;
        OutputInfo out(d_, r.res, display);
        if (!out.info || out.info->crtc == None) return std::nullopt;
        CrtcInfo crtc(d_, r.res, out.info->crtc);
        if (!crtc.info || crtc.info->mode == None) return std::nullopt;
        return read(r.res, crtc.info);
    }

    bool applyGrabbed(std::uint32_t display, RRMode modeID) {
        Resources r(d_);
        if (!r.res) return false;
        OutputInfo out(d_, r.res, display);
        if (!out.info || out.info->crtc == None) return false;
        const RRCrtc target = out.info->crtc;
        CrtcInfo crtc(d_, r.res, target);
        const auto* mode = findMode(r.res, modeID);
        if (!crtc.info || !mode) return false;
        const bool turned = sideways(crtc.info->rotation);
        const int newW = static_cast<int>(turned ? mode->height : mode->width);
        const int newH = static_cast<int>(turned ? mode->width : mode->height);

        // The screen must hold every CRTC at its size after the change.
        int needW = crtc.info->x + newW, needH = crtc.info->y + newH;
        for (int c = 0; c < r.res->ncrtc; ++c) {
            if (r.res->crtcs[c] == target) continue;
            CrtcInfo other(d_, r.res, r.res->crtcs[c]);
            if (!other.info || other.info->mode == None) continue;
            needW = std::max(needW, other.info->x + static_cast<int>(other.info->width));
            needH = std::max(needH, other.info->y + static_cast<int>(other.info->height));
        }
        int minW = 0, minH = 0, maxW = 0, maxH = 0;
        if (XRRGetScreenSizeRange(d_, DefaultRootWindow(d_), &minW, &minH, &maxW, &maxH)) {
            if (needW > maxW || needH > maxH) return false;
            needW = std::max(needW, minW);
            needH = std::max(needH, minH);
        }
        // Xlib's idea of the screen size is the one from when the
        // connection opened; the root window's geometry is the server's.
        Window root = 0;
        int rx = 0, ry = 0;
        unsigned int rw = 0, rh = 0, border = 0, depth = 0;
        if (!XGetGeometry(d_, DefaultRootWindow(d_), &root, &rx, &ry, &rw, &rh, &border, &depth)) return false;
        const int curW = static_cast<int>(rw), curH = static_cast<int>(rh);
        const int screen = DefaultScreen(d_);
        // Keep the screen's pixel density as it was when we connected.
        auto millimetres = [](int pixels, int refPixels, int refMM) {
            if (refPixels > 0 && refMM > 0) return static_cast<int>(std::lround(double(pixels) * refMM / refPixels));
            return static_cast<int>(std::lround(pixels * 25.4 / 96.0));
        };
        auto resize = [&](int w, int h) {
            XRRSetScreenSize(d_, DefaultRootWindow(d_), w, h,
                             millimetres(w, DisplayWidth(d_, screen), DisplayWidthMM(d_, screen)),
                             millimetres(h, DisplayHeight(d_, screen), DisplayHeightMM(d_, screen)));
        };
        // Grow first so the new CRTC fits, shrink after it took its size.
        const int grownW = std::max(needW, curW), grownH = std::max(needH, curH);
        if (grownW != curW || grownH != curH) resize(grownW, grownH);
        const Status status = XRRSetCrtcConfig(d_, r.res, target, CurrentTime, crtc.info->x, crtc.info->y, modeID,
                                               crtc.info->rotation, crtc.info->outputs, crtc.info->noutput);
        if (status != RRSetConfigSuccess) return false;
        if (needW != grownW || needH != grownH) resize(needW, needH);
        return true;
    }

    void stopWatch() {
        if (!watch_.joinable()) return;
        const char byte = 1;
        [[maybe_unused]] const auto n = ::write(wake_[1], &byte, 1);
        // The last owner of the driver may let go of it on the watch thread
        // itself, inside the handler: the thread then ends by itself (its
        // pipe is left to the process's end).
        if (watch_.get_id() == std::this_thread::get_id()) {
            watch_.detach();
            return;
        }
        watch_.join();
        ::close(wake_[0]);
        ::close(wake_[1]);
    }

    Display* d_;
    std::string name_;
    bool randr_ = false;
    bool dpms_ = false;
    std::thread watch_;
    int wake_[2] = {-1, -1};
};

// steady_clock is CLOCK_MONOTONIC here: it stands still while the machine
// sleeps, so a sleep never looks like a stalled host.
class MonotonicLeaseTimer final : public LeaseTimer {
public:
    ~MonotonicLeaseTimer() override { stop(); }
    void start(std::function<void()> fire) override {
        stop();
        // Shared with the thread, which may outlive this object when its
        // `fire` drops the last reference to the driver.
        auto state = std::make_shared<State>();
        state_ = state;
        thread_ = std::thread([state, fire = std::move(fire)] {
            pthread_setname_np(pthread_self(), "morvane.lease");
            auto next = std::chrono::steady_clock::now();
            for (;;) {
                next += std::chrono::seconds(1);
                {
                    std::unique_lock lock(state->m);
                    if (state->cv.wait_until(lock, next, [&state] { return state->stopping; })) return;
                }
                fire();
            }
        });
    }
    void stop() override {
        if (!state_) return;
        {
            std::lock_guard lock(state_->m);
            state_->stopping = true;
        }
        state_->cv.notify_all();
        state_.reset();
        if (!thread_.joinable()) return;
        if (thread_.get_id() == std::this_thread::get_id())
            thread_.detach();
        else
            thread_.join();
    }

private:
    struct State {
        std::mutex m;
        std::condition_variable cv;
        bool stopping = false;
    };
    std::shared_ptr<State> state_;
    std::thread thread_;
};


}  // namespace

std::unique_ptr<DisplayModeBackend> makeRandrBackend(const std::string& displayName) {
    Display* d = openTolerantX11Display(displayName);
    if (!d) return nullptr;
    return std::make_unique<RandrBackend>(d, displayName);
}

std::unique_ptr<LeaseTimer> makeMonotonicLeaseTimer() { return std::make_unique<MonotonicLeaseTimer>(); }

std::shared_ptr<SystemDisplayEffects> makeX11DisplayEffects(const std::filesystem::path& markerPath,
                                                            std::function<void(const std::string&)> log,
                                                            Executor& main, CoverMaker makeCover,
                                                            std::function<void()> flushLog,
                                                            const std::string& displayName) {
    auto backend = makeRandrBackend(displayName);
    if (!backend) return nullptr;
    DisplayEffectsSetup s;
    s.markerPath = markerPath;
    s.log = std::move(log);
    s.main = &main;
    s.backend = std::move(backend);
    s.makeCover = std::move(makeCover);
    s.keys = makeX11EscapeWatch(displayName);
    s.leaseTimer = makeMonotonicLeaseTimer();
    s.uptime = [] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    };
    s.bootId = readBootId;
    s.leaseExpired = [displayName, flushLog](const std::vector<ModeToRestore>& modes) {
        if (flushLog) flushLog();
        restoreAndExit(modes, displayName);
    };
    return SystemDisplayEffects::create(std::move(s));
}

void connectCover(const std::shared_ptr<SystemDisplayEffects>& effects, FrameSource& source) {
    FrameSource* raw = &source;
    effects->excludeWindow = [raw](std::optional<int> window, std::function<void(bool)> done) {
        raw->setExcludedWindow(window, std::move(done));
    };
    std::weak_ptr<SystemDisplayEffects> weak = effects;
    source.setOnExclusionLost([weak] {
        if (auto fx = weak.lock()) fx->coverLost();
    });
}

void restoreAndExit(const std::vector<ModeToRestore>& modes, const std::string& displayName) {
    // The main thread may hold the driver's own connection mid-request: a
    // connection of our own is the only safe way to reach the server.
    if (!modes.empty()) {
        if (auto backend = makeRandrBackend(displayName))
            for (const auto& m : modes) backend->apply(m.display, m.mode);
    }
    ::_exit(75);
}

}  // namespace morvane
