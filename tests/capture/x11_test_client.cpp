#include "x11_test_client.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace morvane::testing {

namespace {
const std::uint32_t bars[8] = {0xFFFFFF, 0xFFFF00, 0x00FFFF, 0x00FF00, 0xFF00FF, 0xFF0000, 0x0000FF, 0x000000};
}

std::uint32_t PaintClient::barColour(int x, int width) { return bars[std::min(7, x * 8 / width)]; }

PaintClient::PaintClient(const std::string& display) {
    d_ = XOpenDisplay(display.empty() ? nullptr : display.c_str());
    if (!d_) throw std::runtime_error("cannot open the X display");
    const int screen = DefaultScreen(d_);
    width_ = DisplayWidth(d_, screen);
    height_ = DisplayHeight(d_, screen);
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.background_pixel = BlackPixel(d_, screen);
    window_ = XCreateWindow(d_, RootWindow(d_, screen), 0, 0, static_cast<unsigned>(width_),
                            static_cast<unsigned>(height_), 0, CopyFromParent, InputOutput, CopyFromParent,
                            CWOverrideRedirect | CWBackPixel, &attributes);
    XMapRaised(d_, window_);
    gc_ = XCreateGC(d_, window_, 0, nullptr);
    XSync(d_, False);
}

PaintClient::~PaintClient() {
    if (gc_) XFreeGC(d_, static_cast<GC>(gc_));
    if (window_) XDestroyWindow(d_, window_);
    XCloseDisplay(d_);
}

unsigned long PaintClient::addPanel(int x, int y, int width, int height, std::uint32_t colour) {
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.background_pixel = colour;
    const Window panel = XCreateWindow(d_, DefaultRootWindow(d_), x, y, static_cast<unsigned>(width),
                                       static_cast<unsigned>(height), 0, CopyFromParent, InputOutput, CopyFromParent,
                                       CWOverrideRedirect | CWBackPixel, &attributes);
    XSync(d_, False);
    return panel;
}

void PaintClient::show(unsigned long window) {
    XMapRaised(d_, window);
    XSync(d_, False);
}

void PaintClient::movePointer(int x, int y) {
    XWarpPointer(d_, None, DefaultRootWindow(d_), 0, 0, 0, 0, x, y);
    XSync(d_, False);
}

void PaintClient::fill(int x, int y, int width, int height, std::uint32_t colour) {
    GC gc = static_cast<GC>(gc_);
    XSetForeground(d_, gc, colour);
    XFillRectangle(d_, window_, gc, x, y, static_cast<unsigned>(width), static_cast<unsigned>(height));
    XSync(d_, False);
}

void PaintClient::put(const Picture& bgra, int x, int y) {
    const int screen = DefaultScreen(d_);
    // The image only points at the pixels; they stay the picture's.
    XImage* image = XCreateImage(d_, DefaultVisual(d_, screen), static_cast<unsigned>(DefaultDepth(d_, screen)),
                                 ZPixmap, 0, const_cast<char*>(reinterpret_cast<const char*>(bgra.bgra())),
                                 static_cast<unsigned>(bgra.width), static_cast<unsigned>(bgra.height), 32,
                                 bgra.stride());
    if (!image) throw std::runtime_error("cannot make an X image");
    XPutImage(d_, window_, static_cast<GC>(gc_), image, 0, 0, x, y, static_cast<unsigned>(bgra.width),
              static_cast<unsigned>(bgra.height));
    image->data = nullptr;
    XDestroyImage(image);
    XSync(d_, False);
}

void PaintClient::squareAt(int step, int width, int height, int* x, int* y) {
    const int spanX = std::max(1, width - squareSide), spanY = std::max(1, height - squareSide);
    *x = (step * 37) % spanX;
    *y = (step * 23) % spanY;
}

Picture PaintClient::painted(int width, int height, int step) {
    Picture p = Picture::makeBGRA(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const std::uint32_t c = barColour(x, width);
            std::uint8_t* px = p.pixels.data() + static_cast<std::size_t>(y) * p.stride() + x * 4;
            px[0] = c & 0xFF;
            px[1] = (c >> 8) & 0xFF;
            px[2] = (c >> 16) & 0xFF;
        }
    int sx, sy;
    squareAt(step, width, height, &sx, &sy);
    for (int y = sy; y < std::min(sy + squareSide, height); ++y)
        for (int x = sx; x < std::min(sx + squareSide, width); ++x)
            std::memset(p.pixels.data() + static_cast<std::size_t>(y) * p.stride() + x * 4, 0x80, 3);
    return p;
}

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void PaintClient::paint(int step) {
    GC gc = static_cast<GC>(gc_);
    for (int i = 0; i < 8; ++i) {
        const int left = i * width_ / 8, right = (i + 1) * width_ / 8;
        XSetForeground(d_, gc, bars[i]);
        XFillRectangle(d_, window_, gc, left, 0, static_cast<unsigned>(right - left), static_cast<unsigned>(height_));
    }
    int x, y;
    squareAt(step, &x, &y);
    XSetForeground(d_, gc, 0x808080);
    XFillRectangle(d_, window_, gc, x, y, squareSide, squareSide);
    XSync(d_, False);
}

}  // namespace morvane::testing
