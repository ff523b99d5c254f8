#include "platform/linux/capture_x11_backend.h"
#include "platform/linux/x11_errors.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <set>
#include <mutex>
#include <thread>

#include <libyuv/scale_argb.h>

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
        if (XRRMonitorInfo* list = XRRGetMonitors(d, root, True, &count)) {
            for (int i = 0; i < count; ++i) {
                const XRRMonitorInfo& m = list[i];
                if (m.width < 1 || m.height < 1) continue;
                Monitor mon;
                // The first output's id stays the same while the monitor is
                // there; a monitor without outputs is known by its name.
                mon.id = m.noutput > 0 ? static_cast<std::uint32_t>(m.outputs[0]) : static_cast<std::uint32_t>(m.name);
                if (char* name = XGetAtomName(d, m.name)) {
                    mon.name = name;
                    XFree(name);
                }
                mon.primary = m.primary;
                mon.x = m.x;
                mon.y = m.y;
                mon.width = m.width;
                mon.height = m.height;
                out.push_back(mon);
            }
            XRRFreeMonitors(list);
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
        if (shm_.shmaddr) shmdt(shm_.shmaddr);
        if (image_) {
            image_->data = nullptr;
            XDestroyImage(image_);
        }
    }
    SharedImage(const SharedImage&) = delete;
    SharedImage& operator=(const SharedImage&) = delete;

    bool usable() const { return attached_ && image_ && image_->bits_per_pixel == 32; }
    bool grab(int x, int y) {
        return XShmGetImage(d_, DefaultRootWindow(d_), image_, x, y, AllPlanes) && takeX11Error(d_) == 0;
    }
    const std::uint8_t* data() const { return reinterpret_cast<const std::uint8_t*>(image_->data); }
    int stride() const { return image_->bytes_per_line; }

private:
    Display* d_;
    XShmSegmentInfo shm_{0, -1, nullptr, False};
    XImage* image_ = nullptr;
    bool attached_ = false;
};

// Grabs the captured rectangle into one of two buffers in turn, so the
// previous picture stays for comparison without a copy. Plain GetImage when
// the server can't share memory.
class Grabber {
public:
    Grabber(Display* d, int width, int height) : d_(d), width_(width), height_(height) {
        int major, minor;
        Bool pixmaps;
        if (XShmQueryVersion(d, &major, &minor, &pixmaps)) {
            for (auto& image : shared_) image = std::make_unique<SharedImage>(d, width, height);
            if (!shared_[0]->usable() || !shared_[1]->usable())
                for (auto& image : shared_) image.reset();
        }
    }
    ~Grabber() {
        for (auto* image : plain_)
            if (image) XDestroyImage(image);
    }
    Grabber(const Grabber&) = delete;
    Grabber& operator=(const Grabber&) = delete;

    // Grabs into the next buffer; false when the server refused.
    bool grab(int x, int y) {
        const int next = 1 - current_;
        if (shared_[0]) {
            if (!shared_[next]->grab(x, y)) return false;
        } else {
            if (plain_[next]) XDestroyImage(plain_[next]);
            plain_[next] = XGetImage(d_, DefaultRootWindow(d_), x, y, static_cast<unsigned>(width_),
                                     static_cast<unsigned>(height_), AllPlanes, ZPixmap);
            if (!plain_[next] || takeX11Error(d_) != 0 || plain_[next]->bits_per_pixel != 32) return false;
        }
        current_ = next;
        ++grabs_;
        return true;
    }
    const std::uint8_t* data(int which) const {
        return shared_[0] ? shared_[which]->data() : reinterpret_cast<const std::uint8_t*>(plain_[which]->data);
    }
    int stride(int which) const { return shared_[0] ? shared_[which]->stride() : plain_[which]->bytes_per_line; }
    const std::uint8_t* current() const { return data(current_); }
    int currentStride() const { return stride(current_); }
    // The buffer before the current one, when two grabs were made.
    const std::uint8_t* previous() const { return grabs_ >= 2 ? data(1 - current_) : nullptr; }

private:
    Display* d_;
    int width_, height_;
    std::unique_ptr<SharedImage> shared_[2];
    XImage* plain_[2] = {nullptr, nullptr};
    int current_ = 1;
    long grabs_ = 0;
};

// Reuses picture buffers once their users let go, so a frame costs no fresh
// pages.
class PicturePool : public std::enable_shared_from_this<PicturePool> {
public:
    PicturePtr make(Picture::Format format, int width, int height) {
        std::unique_ptr<Picture> picture;
        {
            std::lock_guard l(m_);
            for (auto it = spare_.begin(); it != spare_.end(); ++it)
                if ((*it)->format == format && (*it)->width == width && (*it)->height == height) {
                    picture = std::move(*it);
                    spare_.erase(it);
                    break;
                }
        }
        if (!picture)
            picture = std::make_unique<Picture>(format == Picture::Format::bgra ? Picture::makeBGRA(width, height)
                                                                                : Picture::makeI420(width, height));
        std::weak_ptr<PicturePool> pool = weak_from_this();
        return PicturePtr(picture.release(), [pool](const Picture* p) {
            std::unique_ptr<Picture> owned(const_cast<Picture*>(p));
            if (auto self = pool.lock()) self->giveBack(std::move(owned));
        });
    }

private:
    void giveBack(std::unique_ptr<Picture> picture) {
        std::lock_guard l(m_);
        if (spare_.size() < 4) spare_.push_back(std::move(picture));
    }
    std::mutex m_;
    std::vector<std::unique_ptr<Picture>> spare_;
};

// Draws the pointer (premultiplied ARGB from XFixes) into a BGRA frame.
void compositeCursor(const XFixesCursorImage& cursor, int originX, int originY, double scaleX, double scaleY,
                     std::uint8_t* frame, int stride, int width, int height) {
    const int left = static_cast<int>((cursor.x - originX) * scaleX) - cursor.xhot;
    const int top = static_cast<int>((cursor.y - originY) * scaleY) - cursor.yhot;
    for (int row = 0; row < cursor.height; ++row) {
        const int y = top + row;
        if (y < 0 || y >= height) continue;
        for (int col = 0; col < cursor.width; ++col) {
            const int x = left + col;
            if (x < 0 || x >= width) continue;
            const auto argb = static_cast<std::uint32_t>(cursor.pixels[row * cursor.width + col]);
            const std::uint32_t a = argb >> 24;
            if (a == 0) continue;
            std::uint8_t* px = frame + static_cast<std::size_t>(y) * stride + static_cast<std::size_t>(x) * 4;
            const std::uint32_t keep = 255 - a;
            px[0] = static_cast<std::uint8_t>(std::min<std::uint32_t>(255, (argb & 0xFF) + px[0] * keep / 255));
            px[1] = static_cast<std::uint8_t>(std::min<std::uint32_t>(255, ((argb >> 8) & 0xFF) + px[1] * keep / 255));
            px[2] = static_cast<std::uint8_t>(std::min<std::uint32_t>(255, ((argb >> 16) & 0xFF) + px[2] * keep / 255));
        }
    }
}

// Draws the pointer into a planar picture converted at full size: the patch
// under the pointer (on the chroma grid) is composited in BGRA and converted
// again, so the rest of the picture needs no copy.
void compositeCursorI420(const XFixesCursorImage& cursor, int originX, int originY, const std::uint8_t* screen,
                         int stride, Picture& picture) {
    int left = cursor.x - cursor.xhot - originX, top = cursor.y - cursor.yhot - originY;
    int right = std::min(left + cursor.width, picture.width), bottom = std::min(top + cursor.height, picture.height);
    left = std::max(left, 0) & ~1;
    top = std::max(top, 0) & ~1;
    right = std::min((right + 1) & ~1, picture.width);
    bottom = std::min((bottom + 1) & ~1, picture.height);
    if (right <= left || bottom <= top) return;
    const int w = right - left, h = bottom - top;
    Picture patch = Picture::makeBGRA(w, h);
    for (int row = 0; row < h; ++row)
        std::memcpy(patch.pixels.data() + static_cast<std::size_t>(row) * patch.stride(),
                    screen + static_cast<std::size_t>(top + row) * stride + static_cast<std::size_t>(left) * 4,
                    static_cast<std::size_t>(w) * 4);
    compositeCursor(cursor, originX + left, originY + top, 1.0, 1.0, patch.pixels.data(), patch.stride(), w, h);
    const Picture small = toI420(patch);
    for (int row = 0; row < h; ++row)
        std::memcpy(picture.y() + static_cast<std::size_t>(top + row) * picture.width + left,
                    small.y() + static_cast<std::size_t>(row) * w, static_cast<std::size_t>(w));
    const int cw = picture.chromaWidth();
    for (int row = 0; row < small.chromaHeight(); ++row) {
        const std::size_t at = static_cast<std::size_t>(top / 2 + row) * cw + left / 2;
        std::memcpy(picture.u() + at, small.u() + static_cast<std::size_t>(row) * small.chromaWidth(),
                    static_cast<std::size_t>(small.chromaWidth()));
        std::memcpy(picture.v() + at, small.v() + static_cast<std::size_t>(row) * small.chromaWidth(),
                    static_cast<std::size_t>(small.chromaWidth()));
    }
}

class X11Stream final : public CaptureStream {
public:
    X11Stream(std::string displayName, std::uint32_t id, StreamConfig config, StreamHandlers handlers)
        : displayName_(std::move(displayName)), id_(id), config_(config), handlers_(std::move(handlers)) {}
    ~X11Stream() override { stop(); }

    std::optional<CaptureError> begin() {
        d_ = openTolerantX11Display(displayName_);
        if (!d_) return CaptureError{domain, cannotOpenDisplay};
        auto list = monitors(d_);
        const Monitor* target = nullptr;
        for (const auto& m : list)
            if (m.id == id_) target = &m;
        if (!target) {
            closeX11Display(d_);
            d_ = nullptr;
            return CaptureError{domain, displayGone};
        }
        if (target->width > 16384 || target->height > 16384) {
            closeX11Display(d_);
            d_ = nullptr;
            return CaptureError{domain, sizeTooLarge};
        }
        // Pictures are read as blue, green, red and one unused byte.
        const Visual* visual = DefaultVisual(d_, DefaultScreen(d_));
        if (visual->red_mask != 0xFF0000 || visual->green_mask != 0xFF00 || visual->blue_mask != 0xFF) {
            closeX11Display(d_);
            d_ = nullptr;
            return CaptureError{domain, unsupportedVisual};
        }
        monitor_ = *target;
        grabber_ = std::make_unique<Grabber>(d_, monitor_.width, monitor_.height);
        int fixesError = 0;
        hasFixes_ = XFixesQueryExtension(d_, &fixesEvent_, &fixesError);
        int rrError = 0;
        if (XRRQueryExtension(d_, &rrEvent_, &rrError))
            XRRSelectInput(d_, DefaultRootWindow(d_),
                           RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
        XSync(d_, False);
        takeX11Error(d_);
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
                superseded = std::move(pendingDone_);
                pending_ = config;
                pendingDone_ = std::move(done);
            }
        }
        cv_.notify_all();
        // A newer configuration replaces one not yet applied; the older
        // request counts as done once the newer one is taken.
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
        cv_.notify_all();
        if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
        if (done) done(std::nullopt);
        grabber_.reset();
        if (d_) {
            closeX11Display(d_);
            d_ = nullptr;
        }
    }

private:
    void run() {
        using clock = std::chrono::steady_clock;
        bool forceDelivery = true;
        int failures = 0;
        auto next = clock::now();
        while (true) {
            std::function<void(std::optional<CaptureError>)> applied;
            {
                std::unique_lock l(m_);
                cv_.wait_until(l, next, [this] { return stopping_ || pending_.has_value(); });
                if (stopping_) return;
                if (pending_) {
                    config_ = *pending_;
                    pending_.reset();
                    applied = std::move(pendingDone_);
                    pendingDone_ = nullptr;
                    forceDelivery = true;
                } else if (clock::now() < next) {
                    continue;
                }
            }
            const int fps = std::clamp(config_.framesPerSecond, 1, 120);
            next = std::max(next + std::chrono::microseconds(1'000'000 / fps), clock::now());

            if (x11ConnectionLost(d_)) {
                if (applied) applied(std::nullopt);
                if (handlers_.onStopped) handlers_.onStopped(CaptureError{domain, connectionGone});
                return;
            }
            if (drainEvents() && handlers_.onLayoutChanged) handlers_.onLayoutChanged();
            if (!grabber_->grab(monitor_.x, monitor_.y)) {
                if (applied) applied(std::nullopt);
                // The screen shrank under the stream, or the server went away.
                if (++failures >= 3 || x11ConnectionLost(d_)) {
                    if (handlers_.onStopped)
                        handlers_.onStopped(CaptureError{domain, x11ConnectionLost(d_) ? connectionGone : imageFailed});
                    return;
                }
                continue;
            }
            failures = 0;
            const std::uint8_t* data = grabber_->current();
            const int stride = grabber_->currentStride();
            const std::uint8_t* before = grabber_->previous();
            const std::size_t frameBytes = static_cast<std::size_t>(stride) * monitor_.height;
            bool changed = forceDelivery || !before || std::memcmp(before, data, frameBytes) != 0;
            forceDelivery = false;
            XFixesCursorImage* cursor = (config_.showCursor && hasFixes_) ? XFixesGetCursorImage(d_) : nullptr;
            if (cursor) {
                const auto key = std::tuple{cursor->x, cursor->y, cursor->cursor_serial};
                if (key != cursorKey_) changed = true;
                cursorKey_ = key;
            }
            if (!changed) {
                if (cursor) XFree(cursor);
                if (applied) applied(std::nullopt);
                handlers_.onSample(nullptr);
                continue;
            }
            const int width = std::max(config_.width, 2), height = std::max(config_.height, 2);
            PicturePtr picture;
            if (config_.video && width == monitor_.width && height == monitor_.height) {
                // Straight from the grabbed pixels into the video format.
                picture = pool_->make(Picture::Format::i420, width, height);
                auto* out = const_cast<Picture*>(picture.get());
                bgraToI420(data, stride, width, height, *out);
                if (cursor) compositeCursorI420(*cursor, monitor_.x, monitor_.y, data, stride, *out);
            } else {
                PicturePtr shown = pool_->make(Picture::Format::bgra, width, height);
                auto* out = const_cast<Picture*>(shown.get());
                if (width == monitor_.width && height == monitor_.height) {
                    for (int row = 0; row < height; ++row)
                        std::memcpy(out->pixels.data() + static_cast<std::size_t>(row) * out->stride(),
                                    data + static_cast<std::size_t>(row) * stride,
                                    static_cast<std::size_t>(width) * 4);
                } else {
                    libyuv::ARGBScale(data, stride, monitor_.width, monitor_.height, out->pixels.data(),
                                      out->stride(), width, height, libyuv::kFilterBox);
                }
                if (cursor)
                    compositeCursor(*cursor, monitor_.x, monitor_.y, static_cast<double>(width) / monitor_.width,
                                    static_cast<double>(height) / monitor_.height, out->pixels.data(),
                                    out->stride(), width, height);
                picture = shown;
                if (config_.video) {
                    picture = pool_->make(Picture::Format::i420, width, height);
                    bgraToI420(out->pixels.data(), out->stride(), width, height,
                               *const_cast<Picture*>(picture.get()));
                }
            }
            if (cursor) XFree(cursor);
            if (applied) applied(std::nullopt);
            handlers_.onSample(std::move(picture));
        }
    }

    // True when the screen layout may have changed.
    bool drainEvents() {
        bool changed = false;
        while (!x11ConnectionLost(d_) && XPending(d_) > 0) {
            XEvent event;
            XNextEvent(d_, &event);
            if (event.type >= rrEvent_ && event.type <= rrEvent_ + RRNotify) {
                XRRUpdateConfiguration(&event);
                changed = true;
            }
        }
        return changed;
    }

    std::string displayName_;
    std::uint32_t id_;
    StreamConfig config_;
    StreamHandlers handlers_;
    Display* d_ = nullptr;
    Monitor monitor_;
    std::unique_ptr<Grabber> grabber_;
    bool hasFixes_ = false;
    int fixesEvent_ = 0;
    int rrEvent_ = 0;
    std::shared_ptr<PicturePool> pool_ = std::make_shared<PicturePool>();
    std::tuple<short, short, unsigned long> cursorKey_{-1, -1, 0};

    std::mutex m_;
    std::condition_variable cv_;
    bool stopping_ = false;
    std::optional<StreamConfig> pending_;
    std::function<void(std::optional<CaptureError>)> pendingDone_;
    std::thread thread_;
};

class X11Backend final : public CaptureBackend {
public:
    explicit X11Backend(std::string display) : display_(std::move(display)) {}
    ~X11Backend() override { closeX11Display(d_); }

    bool permitted() override { return true; }

    std::variant<DisplaySnapshot, CaptureError> displays() override {
        std::lock_guard l(m_);
        if (d_ && x11ConnectionLost(d_)) {
            closeX11Display(d_);
            d_ = nullptr;
        }
        if (!d_) d_ = openTolerantX11Display(display_);
        if (!d_) return CaptureError{domain, cannotOpenDisplay};
        // Pick up configuration changes made by others since the last look.
        while (!x11ConnectionLost(d_) && XPending(d_) > 0) {
            XEvent event;
            XNextEvent(d_, &event);
        }
        auto snapshot = x11ConnectionLost(d_) ? DisplaySnapshot{} : snapshotOf(monitors(d_));
        if (x11ConnectionLost(d_)) {
            closeX11Display(d_);
            d_ = nullptr;
            return CaptureError{domain, connectionGone};
        }
        return snapshot;
    }

    std::variant<std::shared_ptr<CaptureStream>, CaptureError> startStream(std::uint32_t display,
                                                                           const StreamConfig& config,
                                                                           StreamHandlers handlers) override {
        auto stream = std::make_shared<X11Stream>(display_, display, config, std::move(handlers));
        if (auto error = stream->begin()) return *error;
        return std::shared_ptr<CaptureStream>(stream);
    }

private:
    std::string display_;
    std::mutex m_;
    Display* d_ = nullptr;
};

}  // namespace

std::shared_ptr<CaptureBackend> makeX11CaptureBackend(const std::string& display) {
    return std::make_shared<X11Backend>(display);
}

}  // namespace morvane
