#include "platform/linux/capture_x11_backend.h"
#include "platform/linux/x11_errors.h"

#include <X11/Xlib.h>
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xcomposite.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>
#include <X11/extensions/Xrender.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <set>
#include <mutex>
#include <optional>
#include <thread>

#include "capture/picture_pool.h"
#include "capture/screen_picture.h"
#include "core/heap.h"

namespace morvane {

namespace {

constexpr const char* domain = "X11";
// Error codes of this layer, reported as "error: X11 <code>".
constexpr int cannotOpenDisplay = 1;
constexpr int displayGone = 2;
constexpr int imageFailed = 3;
constexpr int sizeTooLarge = 4;
constexpr int connectionGone = 5;
constexpr int unsupportedVisual = 6;

struct ImageDestroyer {
    void operator()(XImage* image) const { XDestroyImage(image); }
};
using ImageHandle = std::unique_ptr<XImage, ImageDestroyer>;
struct XFreer {
    void operator()(void* p) const { XFree(p); }
};
template <typename T>
using XFreed = std::unique_ptr<T, XFreer>;
struct MonitorsFreer {
    void operator()(XRRMonitorInfo* list) const { XRRFreeMonitors(list); }
};
using MonitorList = std::unique_ptr<XRRMonitorInfo, MonitorsFreer>;

// Composite 0.2 names a window's pixmap; Render draws windows of any depth.
bool canCompose(Display* d) {
    int event = 0, error = 0, major = 0, minor = 0;
    if (!XCompositeQueryExtension(d, &event, &error) || !XCompositeQueryVersion(d, &major, &minor)) return false;
    if (major == 0 && minor < 2) return false;
    return XRenderQueryExtension(d, &event, &error);
}

struct Monitor {
    std::uint32_t id = 0;
    std::string name;
    bool primary = false;
    int x = 0, y = 0, width = 0, height = 0;
};

std::vector<Monitor> monitors(Display* d) {
    std::vector<Monitor> out;
    const Window root = DefaultRootWindow(d);
    int rrEvent = 0, rrError = 0;
    if (XRRQueryExtension(d, &rrEvent, &rrError)) {
        int count = 0;
        if (MonitorList list{XRRGetMonitors(d, root, True, &count)}) {
            for (int i = 0; i < count; ++i) {
                const XRRMonitorInfo& m = list.get()[i];
                if (m.width < 1 || m.height < 1) continue;
                Monitor mon;
                // The first output's id stays the same while the monitor is
                // there; a monitor without outputs is known by its name.
                mon.id = m.noutput > 0 ? static_cast<std::uint32_t>(m.outputs[0]) : static_cast<std::uint32_t>(m.name);
                if (XFreed<char> name{XGetAtomName(d, m.name)}) mon.name = name.get();
                mon.primary = m.primary;
                mon.x = m.x;
                mon.y = m.y;
                mon.width = m.width;
                mon.height = m.height;
                out.push_back(mon);
            }
        }
    }
    if (out.empty()) {
        Monitor whole;
        whole.id = 1;
        whole.primary = true;
        whole.width = DisplayWidth(d, DefaultScreen(d));
        whole.height = DisplayHeight(d, DefaultScreen(d));
        out.push_back(whole);
    }
    return out;
}

const Monitor* mainOf(const std::vector<Monitor>& list) {
    for (const auto& m : list)
        if (m.primary) return &m;
    for (const auto& m : list)
        if (m.x == 0 && m.y == 0) return &m;
    return list.empty() ? nullptr : &list.front();
}

bool looksBuiltin(const std::string& name) {
    return name.rfind("eDP", 0) == 0 || name.rfind("LVDS", 0) == 0 || name.rfind("DSI", 0) == 0;
}

DisplaySnapshot snapshotOf(const std::vector<Monitor>& list) {
    DisplaySnapshot s;
    const Monitor* main = mainOf(list);
    const int ox = main ? main->x : 0, oy = main ? main->y : 0;
    for (const auto& m : list) {
        DisplayFacts f;
        f.id = m.id;
        if (!m.name.empty()) f.systemName = m.name;
        f.builtin = looksBuiltin(m.name);
        f.pixelWidth = m.width;
        f.pixelHeight = m.height;
        f.bounds = {static_cast<double>(m.x - ox), static_cast<double>(m.y - oy), static_cast<double>(m.width),
                    static_cast<double>(m.height)};
        s.displays.push_back(std::move(f));
    }
    if (main) s.mainDisplay = main->id;
    return s;
}

// The process's mapping of a shared-memory segment, kept while a picture
// shows its pixels even after the X server has let the segment go.
struct Mapping {
    explicit Mapping(void* at) : at(at) {}
    ~Mapping() { shmdt(at); }
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    void* at;
};

// One shared-memory image of the captured rectangle.
class SharedImage {
public:
    SharedImage(Display* d, int width, int height) : d_(d) {
        image_ = XShmCreateImage(d, DefaultVisual(d, DefaultScreen(d)), DefaultDepth(d, DefaultScreen(d)), ZPixmap,
                                 nullptr, &shm_, static_cast<unsigned>(width), static_cast<unsigned>(height));
        if (!image_) return;
        shm_.shmid = shmget(IPC_PRIVATE, static_cast<std::size_t>(image_->bytes_per_line) * height, IPC_CREAT | 0600);
        if (shm_.shmid < 0) return;
        shm_.shmaddr = image_->data = static_cast<char*>(shmat(shm_.shmid, nullptr, 0));
        shm_.readOnly = False;
        if (shm_.shmaddr == reinterpret_cast<char*>(-1)) {
            // Nobody will ever attach the segment: give it back now.
            shmctl(shm_.shmid, IPC_RMID, nullptr);
            shm_.shmaddr = image_->data = nullptr;
            return;
        }
        mapping_ = std::make_shared<Mapping>(shm_.shmaddr);
        if (XShmAttach(d, &shm_)) {
            XSync(d, False);
            attached_ = takeX11Error(d) == 0;
        }
        // Gone with the last user, even if this process dies.
        shmctl(shm_.shmid, IPC_RMID, nullptr);
    }
    ~SharedImage() {
        // A lost connection takes no more requests; the server is gone anyway.
        if (attached_ && !x11ConnectionLost(d_)) {
            XShmDetach(d_, &shm_);
            XSync(d_, False);
        }
        if (image_) {
            image_->data = nullptr;
            XDestroyImage(image_);
        }
    }
    SharedImage(const SharedImage&) = delete;
    SharedImage& operator=(const SharedImage&) = delete;

    bool usable() const { return attached_ && image_ && image_->bits_per_pixel == 32; }
    // Grabs the image's width and the given rows (at most its height) into
    // its top rows: the request takes its size from the image.
    bool grab(Drawable from, int x, int y, int rows) {
        const int height = image_->height;
        image_->height = rows;
        const bool ok = XShmGetImage(d_, from, image_, x, y, AllPlanes) && takeX11Error(d_) == 0;
        image_->height = height;
        return ok;
    }
    std::uint8_t* data() const { return reinterpret_cast<std::uint8_t*>(image_->data); }
    int stride() const { return image_->bytes_per_line; }
    // The pixels for a picture that shows them without a copy; they stay
    // mapped as long as it holds them.
    std::shared_ptr<const std::uint8_t> lend() const { return {mapping_, data()}; }
    // A picture still holds the pixels: they must not be written.
    bool lent() const { return mapping_.use_count() > 1; }

private:
    Display* d_;
    XShmSegmentInfo shm_{0, -1, nullptr, False};
    std::shared_ptr<Mapping> mapping_;
    XImage* image_ = nullptr;
    bool attached_ = false;
};

// Grabs the captured rectangle, or a band of its rows, into a buffer. While
// the previous picture is kept for comparison, grabs alternate between two
// buffers, so it stays without a copy; otherwise the second buffer (a whole
// screen) is given back. Plain GetImage when the server can't share memory.
class Grabber {
public:
    Grabber(Display* d, int width, int height) : d_(d), width_(width), height_(height) {
        int major, minor;
        Bool pixmaps;
        if (XShmQueryVersion(d, &major, &minor, &pixmaps)) {
            shared_[0] = std::make_unique<SharedImage>(d, width, height);
            if (!shared_[0]->usable()) shared_[0].reset();
            shm_ = shared_[0] != nullptr;
        }
    }
    Grabber(const Grabber&) = delete;
    Grabber& operator=(const Grabber&) = delete;

    void keepPrevious(bool keep) {
        if (keep == keep_) return;
        keep_ = keep;
        grabs_ = 0;  // what the other buffer holds is not the picture before
        if (!keep) {
            shared_[1 - current_].reset();
            plain_[1 - current_].reset();
        }
    }

    // Grabs the rectangle at x, y of the drawable (its first rows only, when
    // given) into the next buffer; false when the server refused.
    bool grab(Drawable from, int x, int y, std::optional<int> rows = std::nullopt) {
        const int height = std::min(rows.value_or(height_), height_);
        int next = keep_ ? 1 - current_ : current_;
        if (shm_) {
            // A picture that still shows the buffer keeps it; the grab goes
            // into a new one.
            if (shared_[next] && shared_[next]->lent()) shared_[next].reset();
            if (!shared_[next]) {
                shared_[next] = std::make_unique<SharedImage>(d_, width_, height_);
                if (!shared_[next]->usable()) {
                    shared_[next].reset();
                    if (next != current_ && shared_[current_] && !shared_[current_]->lent()) {
                        // No room for a second one: grab over the only one
                        // and compare nothing.
                        next = current_;
                        keep_ = false;
                    } else {
                        // No shared memory to be had: plain requests from now on.
                        shared_[0].reset();
                        shared_[1].reset();
                        shm_ = false;
                        grabs_ = 0;
                    }
                }
            }
        }
        if (shm_) {
            if (!shared_[next]->grab(from, x, y, height)) return false;
        } else {
            plain_[next].reset(XGetImage(d_, from, x, y, static_cast<unsigned>(width_), static_cast<unsigned>(height),
                                         AllPlanes, ZPixmap));
            if (!plain_[next] || takeX11Error(d_) != 0 || plain_[next]->bits_per_pixel != 32) return false;
        }
        current_ = next;
        ++grabs_;
        return true;
    }
    std::uint8_t* data(int which) const {
        return shm_ ? shared_[which]->data() : reinterpret_cast<std::uint8_t*>(plain_[which]->data);
    }
    int stride(int which) const { return shm_ ? shared_[which]->stride() : plain_[which]->bytes_per_line; }
    std::uint8_t* current() const { return data(current_); }
    int currentStride() const { return stride(current_); }

    // Pictures may show the one shared buffer itself: with nothing to
    // compare with, it changes only when grabbed into.
    bool canLend() const { return shm_ && !keep_ && shared_[current_]; }
    std::shared_ptr<const std::uint8_t> lendCurrent() const { return shared_[current_]->lend(); }
    bool currentLent() const { return shm_ && shared_[current_] && shared_[current_]->lent(); }
    // The picture grabbed before the current one, while it is kept.
    const std::uint8_t* previous() const { return keep_ && grabs_ >= 2 ? data(1 - current_) : nullptr; }

private:
    Display* d_;
    int width_, height_;
    std::unique_ptr<SharedImage> shared_[2];
    ImageHandle plain_[2];
    bool shm_ = false;
    int current_ = 0;
    bool keep_ = false;
    long grabs_ = 0;
};

// The picture of the screen without the excluded windows. With the
// top-level windows redirected (automatically, so the screen still draws as
// usual) each keeps its own pixmap; the frame is drawn from the root
// background and every mapped top-level window's pixmap in stacking order.
class Composer {
public:
    Composer(Display* d, int x, int y, int width, int height) : d_(d), x_(x), y_(y), width_(width), height_(height) {
        const Window root = DefaultRootWindow(d);
        XCompositeRedirectSubwindows(d, root, CompositeRedirectAutomatic);
        frame_ = XCreatePixmap(d, root, static_cast<unsigned>(width), static_cast<unsigned>(height),
                               static_cast<unsigned>(DefaultDepth(d, DefaultScreen(d))));
        XRenderPictFormat* format = XRenderFindVisualFormat(d, DefaultVisual(d, DefaultScreen(d)));
        if (format) target_ = XRenderCreatePicture(d, frame_, format, 0, nullptr);
        gc_ = XCreateGC(d, frame_, 0, nullptr);
        XSync(d, False);
        usable_ = format && takeX11Error(d) == 0;
    }
    ~Composer() {
        if (x11ConnectionLost(d_)) return;
        if (target_) XRenderFreePicture(d_, target_);
        if (gc_) XFreeGC(d_, gc_);
        if (frame_) XFreePixmap(d_, frame_);
        XCompositeUnredirectSubwindows(d_, DefaultRootWindow(d_), CompositeRedirectAutomatic);
        XSync(d_, False);
        takeX11Error(d_);
    }
    Composer(const Composer&) = delete;
    Composer& operator=(const Composer&) = delete;

    bool usable() const { return usable_; }
    Drawable frame() const { return frame_; }

    // Draws the frame without the given window. Windows that go away while
    // it is drawn are simply missing from it.
    void compose(Window excluded) {
        const Window root = DefaultRootWindow(d_);
        const Window leftOut = topLevelOf(excluded);
        drawBackground(root);
        Window rootReturn = 0, parent = 0;
        Window* children = nullptr;
        unsigned count = 0;
        if (!XQueryTree(d_, root, &rootReturn, &parent, &children, &count)) return;
        XFreed<Window> owned(children);
        for (unsigned i = 0; i < count; ++i) {  // bottom first
            if (children[i] == leftOut) continue;
            XWindowAttributes a;
            if (!XGetWindowAttributes(d_, children[i], &a)) continue;
            if (a.map_state != IsViewable || a.c_class == InputOnly) continue;
            draw(children[i], a);
        }
        XSync(d_, False);
        takeX11Error(d_);
    }

private:
    // The child of the root that holds the window, or the window itself.
    Window topLevelOf(Window window) {
        const Window root = DefaultRootWindow(d_);
        for (int depth = 0; window && depth < 64; ++depth) {
            Window rootReturn = 0, parent = 0;
            Window* children = nullptr;
            unsigned count = 0;
            if (!XQueryTree(d_, window, &rootReturn, &parent, &children, &count)) return window;
            XFreed<Window> owned(children);
            if (parent == root || parent == 0) return window;
            window = parent;
        }
        return window;
    }

    void drawBackground(Window root) {
        // Desktop setters leave the wallpaper's pixmap on the root.
        const Atom property = XInternAtom(d_, "_XROOTPMAP_ID", True);
        if (property != None) {
            Atom type = None;
            int format = 0;
            unsigned long items = 0, after = 0;
            unsigned char* data = nullptr;
            if (XGetWindowProperty(d_, root, property, 0, 1, False, XA_PIXMAP, &type, &format, &items, &after,
                                   &data) == Success &&
                data) {
                XFreed<unsigned char> owned(data);
                if (type == XA_PIXMAP && format == 32 && items == 1) {
                    const Pixmap wallpaper = *reinterpret_cast<const Pixmap*>(data);
                    XCopyArea(d_, wallpaper, frame_, gc_, x_, y_, static_cast<unsigned>(width_),
                              static_cast<unsigned>(height_), 0, 0);
                    XSync(d_, False);
                    if (takeX11Error(d_) == 0) return;
                }
            }
        }
        XSetForeground(d_, gc_, BlackPixel(d_, DefaultScreen(d_)));
        XFillRectangle(d_, frame_, gc_, 0, 0, static_cast<unsigned>(width_), static_cast<unsigned>(height_));
    }

    void draw(Window window, const XWindowAttributes& a) {
        const int outerWidth = a.width + 2 * a.border_width, outerHeight = a.height + 2 * a.border_width;
        const int left = std::max(a.x, x_), top = std::max(a.y, y_);
        const int right = std::min(a.x + outerWidth, x_ + width_), bottom = std::min(a.y + outerHeight, y_ + height_);
        if (right <= left || bottom <= top) return;
        XRenderPictFormat* format = XRenderFindVisualFormat(d_, a.visual);
        if (!format) return;
        const Pixmap pixmap = XCompositeNameWindowPixmap(d_, window);
        XRenderPictureAttributes attributes{};
        attributes.subwindow_mode = IncludeInferiors;
        const ::Picture source = XRenderCreatePicture(d_, pixmap, format, CPSubwindowMode, &attributes);
        const bool translucent = format->type == PictTypeDirect && format->direct.alphaMask != 0;
        XRenderComposite(d_, translucent ? PictOpOver : PictOpSrc, source, None, target_, left - a.x, top - a.y, 0, 0,
                         left - x_, top - y_, static_cast<unsigned>(right - left),
                         static_cast<unsigned>(bottom - top));
        XRenderFreePicture(d_, source);
        XFreePixmap(d_, pixmap);
    }

    Display* d_;
    int x_, y_, width_, height_;
    Pixmap frame_ = 0;
    ::Picture target_ = 0;
    GC gc_ = nullptr;
    bool usable_ = false;
};

CursorImage cursorOf(const XFixesCursorImage& image) {
    CursorImage cursor;
    cursor.x = image.x;
    cursor.y = image.y;
    cursor.xhot = image.xhot;
    cursor.yhot = image.yhot;
    cursor.width = image.width;
    cursor.height = image.height;
    cursor.serial = image.cursor_serial;
    cursor.argb.resize(static_cast<std::size_t>(image.width) * image.height);
    for (std::size_t i = 0; i < cursor.argb.size(); ++i) cursor.argb[i] = static_cast<std::uint32_t>(image.pixels[i]);
    return cursor;
}

class X11Stream final : public CaptureStream {
public:
    X11Stream(std::string displayName, std::uint32_t id, StreamConfig config, StreamHandlers handlers)
        : displayName_(std::move(displayName)), id_(id), config_(config), handlers_(std::move(handlers)) {}
    ~X11Stream() override {
        stop();
        if (wake_ >= 0) close(wake_);
    }

    std::optional<CaptureError> begin() {
        X11Display display(openTolerantX11Display(displayName_));
        if (!display) return CaptureError{domain, cannotOpenDisplay};
        Display* d = display.get();
        auto list = monitors(d);
        const Monitor* target = nullptr;
        for (const auto& m : list)
            if (m.id == id_) target = &m;
        if (!target) return CaptureError{domain, displayGone};
        if (target->width > 16384 || target->height > 16384) return CaptureError{domain, sizeTooLarge};
        // Pictures are read as blue, green, red and one unused byte.
        const Visual* visual = DefaultVisual(d, DefaultScreen(d));
        if (visual->red_mask != 0xFF0000 || visual->green_mask != 0xFF00 || visual->blue_mask != 0xFF)
            return CaptureError{domain, unsupportedVisual};
        monitor_ = *target;
        d_ = std::move(display);
        int fixesError = 0;
        hasFixes_ = XFixesQueryExtension(d, &fixesEvent_, &fixesError);
        if (hasFixes_) XFixesSelectCursorInput(d, DefaultRootWindow(d), XFixesDisplayCursorNotifyMask);
        // The server says when the screen changes, so a still screen costs
        // no pictures and a change is taken as soon as the rate allows.
        int damageError = 0;
        if (XDamageQueryExtension(d, &damageEvent_, &damageError))
            damage_ = XDamageCreate(d, DefaultRootWindow(d), XDamageReportNonEmpty);
        // Damage is reported for the whole screen; these regions tell what
        // of it falls on the monitor, so other monitors' changes cost no
        // picture.
        int fixesMajor = 0, fixesMinor = 0;
        if (damage_ && hasFixes_ && XFixesQueryVersion(d, &fixesMajor, &fixesMinor) && fixesMajor >= 2) {
            XRectangle area{static_cast<short>(monitor_.x), static_cast<short>(monitor_.y),
                            static_cast<unsigned short>(monitor_.width), static_cast<unsigned short>(monitor_.height)};
            monitorArea_ = XFixesCreateRegion(d, &area, 1);
            damageParts_ = XFixesCreateRegion(d, nullptr, 0);
        }
        int rrError = 0;
        if (XRRQueryExtension(d, &rrEvent_, &rrError))
            XRRSelectInput(d, DefaultRootWindow(d),
                           RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
        XSync(d, False);
        if (takeX11Error(d) != 0) damage_ = monitorArea_ = damageParts_ = 0;
        wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wake_ < 0) return CaptureError{domain, cannotOpenDisplay};
        thread_ = std::thread([this] { run(); });
        return std::nullopt;
    }

    void update(const StreamConfig& config, std::function<void(std::optional<CaptureError>)> done) override {
        std::function<void(std::optional<CaptureError>)> superseded;
        {
            std::lock_guard l(m_);
            if (stopping_) {
                superseded = std::move(done);
            } else {
                // A newer configuration replaces one not yet applied; the
                // older request is done only once the newer one is taken, as
                // what it asked (a window left out) may not be shown before.
                pending_ = config;
                if (pendingDone_)
                    pendingDone_ = [older = std::move(pendingDone_),
                                    newer = std::move(done)](std::optional<CaptureError> error) {
                        older(error);
                        if (newer) newer(error);
                    };
                else
                    pendingDone_ = std::move(done);
            }
        }
        wakeUp();
        if (superseded) superseded(std::nullopt);
    }

    void stop() override {
        std::function<void(std::optional<CaptureError>)> done;
        {
            std::lock_guard l(m_);
            stopping_ = true;
            done = std::move(pendingDone_);
            pendingDone_ = nullptr;
        }
        wakeUp();
        if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
        if (done) done(std::nullopt);
        if (d_ && !x11ConnectionLost(d_.get())) {
            if (damage_) XDamageDestroy(d_.get(), damage_);
            for (XserverRegion region : {monitorArea_, damageParts_})
                if (region) XFixesDestroyRegion(d_.get(), region);
        }
        damage_ = monitorArea_ = damageParts_ = 0;
        composer_.reset();
        grabber_.reset();
        bands_.reset();
        lastBanded_.reset();
        d_.reset();
        // The pool's spare pictures, and those still in use once their users
        // let go, are freed rather than kept for a stream that is over.
        pool_->close();
        heap::giveBackFreed();
    }

private:
    void run() {
        using clock = std::chrono::steady_clock;
        bool forceDelivery = true;
        bool damaged = true;    // the monitor is to be grabbed: nothing taken yet
        bool reported = false;  // the screen was damaged, somewhere
        int failures = 0;
        auto lastTaken = clock::now() - std::chrono::hours(1);
        auto nextLook = clock::now();
        auto spacing = [this] {
            return std::chrono::microseconds(1'000'000 / std::clamp(config_.framesPerSecond, 1, 120));
        };
        const bool lookForPointer = hasFixes_;
        while (true) {
            // A change waits only for the spacing since the last picture; a
            // still screen is looked at once a tick for the pointer alone.
            const bool pointerShown = lookForPointer && config_.showCursor;
            waitForWork(!watching() ? nextLook
                        : damaged || reported ? lastTaken + spacing()
                                    : (pointerShown ? nextLook : clock::time_point::max()));
            std::function<void(std::optional<CaptureError>)> applied;
            {
                std::lock_guard l(m_);
                if (stopping_) return;
                if (pending_) {
                    config_ = *pending_;
                    pending_.reset();
                    applied = std::move(pendingDone_);
                    pendingDone_ = nullptr;
                    forceDelivery = true;
                }
            }
            Display* d = d_.get();
            if (x11ConnectionLost(d)) {
                if (applied) applied(std::nullopt);
                if (handlers_.onStopped) handlers_.onStopped(CaptureError{domain, connectionGone});
                return;
            }
            const Events events = drainEvents();
            if (events.layout && handlers_.onLayoutChanged) handlers_.onLayoutChanged();
            reported = reported || events.damage;
            cursorShapeChanged_ = cursorShapeChanged_ || events.cursor;
            const auto now = clock::now();
            if (!applied && !forceDelivery &&
                now < (watching() && (damaged || reported) ? lastTaken + spacing() : nextLook))
                continue;
            nextLook = now + spacing();
            if (reported) {
                reported = false;
                damaged = damaged || (watching() && damageOnMonitor(d));
            }

            const int width = std::max(config_.width, 2), height = std::max(config_.height, 2);
            // Full-size video of a screen that reports its damage needs no
            // whole screen kept between pictures: it is grabbed in bands, each
            // converted as it comes.
            const bool banded =
                config_.video && width == monitor_.width && height == monitor_.height && watching();
            bool grabNow = forceDelivery || damaged || !watching();
            std::optional<CursorImage> cursor;
            bool pointerMoved = false;
            if (lookForPointer && config_.showCursor) {
                if (grabNow || pointerMovedSinceLast(d)) {
                    if (XFreed<XFixesCursorImage> image{XFixesGetCursorImage(d)}) cursor = cursorOf(*image);
                }
                if (cursor) {
                    // A pointer that neither is nor was on the monitor
                    // changes nothing of its picture.
                    const auto key = std::tuple{cursor->x, cursor->y, cursor->serial};
                    pointerMoved = key != cursorKey_ && (cursorShown_ || onMonitor(*cursor));
                    cursorKey_ = key;
                }
            }
            if (!grabNow && pointerMoved && (banded || !grabber_)) {
                // Nothing of the screen is kept to draw the pointer's move on.
                grabNow = true;
            } else if (!grabNow && pointerMoved && !under_.empty()) {
                // The pointer drawn into the buffer for the last picture
                // goes: what it covered is put back, or, while that picture
                // still shows it, the screen is grabbed afresh.
                if (grabber_->currentLent()) {
                    grabNow = true;
                } else {
                    putBack(under_, grabber_->current(), grabber_->currentStride());
                    under_ = UnderPointer{};
                }
            }
            if (!grabNow && !pointerMoved) {
                if (applied) applied(std::nullopt);
                handlers_.onSample(nullptr);
                continue;
            }
            bool changed = forceDelivery || pointerMoved;
            PicturePtr picture;
            if (grabNow) {
                // Whatever is drawn from here on is reported again; left
                // unsubtracted, the damage would never be reported again.
                // Bands grabbed afresh need to know which rows it covered.
                if (banded && damageParts_)
                    takeDamage(d);
                else if (damage_)
                    XDamageSubtract(d, damage_, None, None);
                damaged = false;
                lastTaken = now;
                under_ = UnderPointer{};  // grabbed over, or left in another buffer
                const Grab grab =
                    banded ? grabBands(cursor ? &*cursor : nullptr, forceDelivery, picture) : grabScreen();
                if (grab == Grab::withheld) {
                    if (applied) applied(std::nullopt);
                    handlers_.onSample(nullptr);
                    continue;
                }
                if (grab == Grab::failed) {
                    if (applied) applied(std::nullopt);
                    // The screen shrank under the stream, or the server went away.
                    if (++failures >= 3 || x11ConnectionLost(d)) {
                        if (handlers_.onStopped)
                            handlers_.onStopped(
                                CaptureError{domain, x11ConnectionLost(d) ? connectionGone : imageFailed});
                        return;
                    }
                    damaged = true;
                    continue;
                }
                failures = 0;
                // Looked at on a tick, the screen is compared with the last
                // picture; reported damage is taken as a change.
                const std::uint8_t* before = banded ? nullptr : grabber_->previous();
                changed = changed || !before ||
                          std::memcmp(before, grabber_->current(),
                                      static_cast<std::size_t>(grabber_->currentStride()) * monitor_.height) != 0;
            }
            forceDelivery = false;
            if (!changed) {
                if (applied) applied(std::nullopt);
                handlers_.onSample(nullptr);
                continue;
            }
            cursorShown_ = cursor && onMonitor(*cursor);
            if (picture) {
                if (applied) applied(std::nullopt);
                handlers_.onSample(std::move(picture));
                continue;
            }
            // Without a new grab the last one still shows the screen: no
            // damage came since it was taken.
            const ScreenPixels screen{grabber_->current(), grabber_->currentStride(), monitor_.width, monitor_.height,
                                      monitor_.x, monitor_.y};
            if (!config_.video && width == monitor_.width && height == monitor_.height && grabber_->canLend() &&
                !grabber_->currentLent()) {
                // A JPEG picture at full size is compressed from the grabbed
                // buffer itself, the pointer drawn into it until the next
                // picture; the next grab goes elsewhere while it is held.
                if (cursor) under_ = drawPointerOver(*cursor, screen, grabber_->current());
                auto shown = std::make_shared<Picture>();
                shown->width = width;
                shown->height = height;
                shown->borrowed = grabber_->lendCurrent();
                shown->borrowedStride = grabber_->currentStride();
                picture = std::move(shown);
            } else {
                picture = shapePicture(screen, cursor ? &*cursor : nullptr, width, height, config_.video,
                                       [this](Picture::Format format, int w, int h) { return pool_->make(format, w, h); });
            }
            if (applied) applied(std::nullopt);
            handlers_.onSample(std::move(picture));
        }
    }

    // Without damage reports (or while a window is left out, whose changes
    // under it the screen never shows) the screen is looked at on every tick
    // and compared.
    bool watching() const { return damage_ && !config_.excludedWindow; }

    // Sleeps until the deadline, a configuration or stop request, or an
    // event from the server, whichever comes first.
    void waitForWork(std::chrono::steady_clock::time_point due) {
        Display* d = d_.get();
        {
            std::lock_guard l(m_);
            if (stopping_ || pending_) return;
        }
        if (x11ConnectionLost(d) || XPending(d) > 0) return;
        int timeout = -1;
        if (due != std::chrono::steady_clock::time_point::max()) {
            const auto left = due - std::chrono::steady_clock::now();
            if (left <= std::chrono::steady_clock::duration::zero()) return;
            timeout = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
        }
        pollfd fds[2] = {{ConnectionNumber(d), POLLIN, 0}, {wake_, POLLIN, 0}};
        poll(fds, 2, timeout);
        std::uint64_t count = 0;
        if (fds[1].revents & POLLIN) [[maybe_unused]] auto n = read(wake_, &count, sizeof count);
    }

    void wakeUp() {
        const std::uint64_t one = 1;
        if (wake_ >= 0) [[maybe_unused]] auto n = write(wake_, &one, sizeof one);
    }

    // Whether the pointer is elsewhere, or shows another image, than when
    // last asked. Cheaper than fetching its image every tick.
    bool pointerMovedSinceLast(Display* d) {
        Window rootReturn = 0, child = 0;
        int rootX = 0, rootY = 0, winX = 0, winY = 0;
        unsigned mask = 0;
        if (!XQueryPointer(d, DefaultRootWindow(d), &rootReturn, &child, &rootX, &rootY, &winX, &winY, &mask))
            return false;
        const bool moved = cursorShapeChanged_ || rootX != std::get<0>(cursorKey_) || rootY != std::get<1>(cursorKey_);
        cursorShapeChanged_ = false;
        return moved;
    }

    // Takes the damage reported so far and says whether any of it falls on
    // the monitor. One round trip; without the regions, all damage counts.
    bool damageOnMonitor(Display* d) {
        if (!damageParts_) return true;
        return takeDamage(d) || x11ConnectionLost(d);
    }

    // Takes the damage reported so far and keeps the monitor's rows it
    // covers until the next grab; whether there were any.
    bool takeDamage(Display* d) {
        XDamageSubtract(d, damage_, None, damageParts_);
        XFixesIntersectRegion(d, damageParts_, damageParts_, monitorArea_);
        int count = 0;
        XRectangle bounds{};
        XFreed<XRectangle> parts{XFixesFetchRegionAndBounds(d, damageParts_, &count, &bounds)};
        for (int i = 0; parts && i < count; ++i)
            changedRows_.push_back({parts.get()[i].y - monitor_.y, parts.get()[i].height});
        return count > 0;
    }

    // Whether the pointer's image covers any pixel of the monitor.
    bool onMonitor(const CursorImage& cursor) const {
        const int left = cursor.x - cursor.xhot, top = cursor.y - cursor.yhot;
        return left < monitor_.x + monitor_.width && left + cursor.width > monitor_.x &&
               top < monitor_.y + monitor_.height && top + cursor.height > monitor_.y;
    }

    enum class Grab { grabbed, failed, withheld };

    // Grabs the monitor's rectangle: what the screen shows, or the composed
    // frame while a window is left out.
    Grab grabScreen() {
        Display* d = d_.get();
        auto result = [](bool ok) { return ok ? Grab::grabbed : Grab::failed; };
        bands_.reset();
        lastBanded_.reset();
        changedRows_.clear();
        if (!grabber_) grabber_ = std::make_unique<Grabber>(d, monitor_.width, monitor_.height);
        grabber_->keepPrevious(!watching());
        if (!config_.excludedWindow) {
            composer_.reset();
            exclusionLost_ = false;
            return result(grabber_->grab(DefaultRootWindow(d), monitor_.x, monitor_.y));
        }
        // What was to be left out is never shown: once it cannot be, the
        // screen is withheld until the user takes the exclusion back.
        if (exclusionLost_) return Grab::withheld;
        if (!composer_ && canCompose(d)) {
            composer_ = std::make_unique<Composer>(d, monitor_.x, monitor_.y, monitor_.width, monitor_.height);
            if (!composer_->usable()) composer_.reset();
        }
        if (!composer_) {
            exclusionLost_ = true;
            if (handlers_.onExclusionLost) handlers_.onExclusionLost();
            return Grab::withheld;
        }
        composer_->compose(static_cast<Window>(*config_.excludedWindow));
        return result(grabber_->grab(composer_->frame(), 0, 0));
    }

    // Grabs the monitor a band at a time into one small buffer and converts
    // each into a full-size video picture, the pointer drawn in; the whole
    // screen's buffer is given back. With the damaged rows known, only their
    // bands and the pointer's are grabbed, the rest copied from the last
    // picture.
    Grab grabBands(const CursorImage* cursor, bool whole, PicturePtr& out) {
        Display* d = d_.get();
        composer_.reset();
        exclusionLost_ = false;
        grabber_.reset();
        if (!bands_) bands_ = std::make_unique<Grabber>(d, monitor_.width, std::min(screenBandRows, monitor_.height));
        PicturePtr picture = pool_->make(Picture::Format::i420, monitor_.width, monitor_.height);
        auto grab = [&](int first, int rows) {
            if (!bands_->grab(DefaultRootWindow(d), monitor_.x, monitor_.y + first, rows)) return ScreenPixels{};
            return ScreenPixels{bands_->current(), bands_->currentStride(), monitor_.width, rows, monitor_.x,
                                monitor_.y + first};
        };
        auto* filled = const_cast<Picture*>(picture.get());
        bool grabbed;
        if (!whole && lastBanded_ && damageParts_) {
            if (lastPointerRows_) changedRows_.push_back(*lastPointerRows_);
            grabbed = updateBandedI420(*lastBanded_, changedRows_, monitor_.x, monitor_.y, screenBandRows, cursor,
                                       grab, *filled);
        } else {
            grabbed = shapeBandedI420(monitor_.width, monitor_.height, monitor_.x, monitor_.y, screenBandRows, cursor,
                                      grab, *filled);
        }
        // What failed is grabbed again, with everything changed since.
        if (!grabbed) return Grab::failed;
        changedRows_.clear();
        lastBanded_ = picture;
        lastPointerRows_.reset();
        if (cursor && cursor->valid()) lastPointerRows_ = pointerRows(*cursor, monitor_.y);
        out = std::move(picture);
        return Grab::grabbed;
    }

    struct Events {
        bool layout = false;  // the screen layout may have changed
        bool damage = false;
        bool cursor = false;  // the pointer's image changed
    };
    Events drainEvents() {
        Display* d = d_.get();
        Events seen;
        while (!x11ConnectionLost(d) && XPending(d) > 0) {
            XEvent event;
            XNextEvent(d, &event);
            if (event.type >= rrEvent_ && event.type <= rrEvent_ + RRNotify) {
                XRRUpdateConfiguration(&event);
                seen.layout = true;
            } else if (damage_ && event.type == damageEvent_ + XDamageNotify) {
                seen.damage = true;
            } else if (hasFixes_ && event.type == fixesEvent_ + XFixesCursorNotify) {
                seen.cursor = true;
            }
        }
        return seen;
    }

    std::string displayName_;
    std::uint32_t id_;
    StreamConfig config_;
    StreamHandlers handlers_;
    X11Display d_;
    Monitor monitor_;
    // The whole monitor, grabbed for the pictures that need all of it at
    // once; made when first needed.
    std::unique_ptr<Grabber> grabber_;
    // One band of it, for full-size video. Only one of the two is kept.
    std::unique_ptr<Grabber> bands_;
    // The last banded picture, what of the monitor was damaged since, and
    // the rows its pointer was drawn on: a picture after it grabs only
    // those rows' bands again.
    PicturePtr lastBanded_;
    std::vector<RowSpan> changedRows_;
    std::optional<RowSpan> lastPointerRows_;
    std::unique_ptr<Composer> composer_;
    bool exclusionLost_ = false;
    bool hasFixes_ = false;
    int fixesEvent_ = 0;
    int rrEvent_ = 0;
    int damageEvent_ = 0;
    Damage damage_ = 0;
    XserverRegion monitorArea_ = 0;
    XserverRegion damageParts_ = 0;
    // The last picture sent shows the pointer: its leaving must be sent.
    bool cursorShown_ = false;
    // What the pointer drawn into the current buffer covered.
    UnderPointer under_;
    bool cursorShapeChanged_ = false;
    int wake_ = -1;
    std::shared_ptr<PicturePool> pool_ = std::make_shared<PicturePool>();
    std::tuple<int, int, std::uint64_t> cursorKey_{-1, -1, 0};

    std::mutex m_;
    bool stopping_ = false;
    std::optional<StreamConfig> pending_;
    std::function<void(std::optional<CaptureError>)> pendingDone_;
    std::thread thread_;
};

class X11Backend final : public CaptureBackend {
public:
    explicit X11Backend(std::string display) : display_(std::move(display)) {}
    bool permitted() override { return true; }

    std::variant<DisplaySnapshot, CaptureError> displays() override {
        std::lock_guard l(m_);
        Display* d = connection();
        if (!d) return CaptureError{domain, cannotOpenDisplay};
        // Pick up configuration changes made by others since the last look.
        while (!x11ConnectionLost(d) && XPending(d) > 0) {
            XEvent event;
            XNextEvent(d, &event);
        }
        auto snapshot = x11ConnectionLost(d) ? DisplaySnapshot{} : snapshotOf(monitors(d));
        if (x11ConnectionLost(d)) {
            d_.reset();
            return CaptureError{domain, connectionGone};
        }
        return snapshot;
    }

    bool canExcludeWindows() override {
        std::lock_guard l(m_);
        Display* d = connection();
        return d && canCompose(d);
    }

    std::variant<std::shared_ptr<CaptureStream>, CaptureError> startStream(std::uint32_t display,
                                                                           const StreamConfig& config,
                                                                           StreamHandlers handlers) override {
        auto stream = std::make_shared<X11Stream>(display_, display, config, std::move(handlers));
        if (auto error = stream->begin()) return *error;
        return std::shared_ptr<CaptureStream>(stream);
    }

private:
    // The backend's own connection, opened again once lost.
    Display* connection() {
        if (d_ && x11ConnectionLost(d_.get())) d_.reset();
        if (!d_) d_.reset(openTolerantX11Display(display_));
        return d_.get();
    }

    std::string display_;
    std::mutex m_;
    X11Display d_;
};

}  // namespace

std::shared_ptr<CaptureBackend> makeX11CaptureBackend(const std::string& display) {
    return std::make_shared<X11Backend>(display);
}

}  // namespace morvane
