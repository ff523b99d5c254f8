// Paints the whole X screen one colour at a time, on command, and says when
// the X server has done it. The glass-to-glass benchmark measures from that
// moment to the first page frame that shows the colour.
//
// Reads lines "RRGGBB" from standard input; after each, fills a full-screen
// window with the colour, waits for the server (XSync) and prints the wall
// clock in milliseconds, the clock the browser's performance.timeOrigin uses.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <string>

namespace {

double wallMs() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

}  // namespace

int main() {
  Display* dpy = XOpenDisplay(nullptr);
  if (dpy == nullptr) {
    std::cerr << "cannot open the X display\n";
    return 1;
  }
  const int screen = DefaultScreen(dpy);
  const unsigned width = static_cast<unsigned>(DisplayWidth(dpy, screen));
  const unsigned height = static_cast<unsigned>(DisplayHeight(dpy, screen));
  XSetWindowAttributes attrs{};
  attrs.override_redirect = True;
  attrs.background_pixel = BlackPixel(dpy, screen);
  const Window win = XCreateWindow(dpy, RootWindow(dpy, screen), 0, 0, width, height, 0, CopyFromParent,
                                   InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel, &attrs);
  XMapRaised(dpy, win);
  const GC gc = XCreateGC(dpy, win, 0, nullptr);
  XSync(dpy, False);
  std::cout << "ready" << std::endl;

  std::string line;
  while (std::getline(std::cin, line)) {
    if (line.size() != 6) continue;
    char* end = nullptr;
    const unsigned long rgb = std::strtoul(line.c_str(), &end, 16);
    if (end == nullptr || *end != '\0') continue;
    // A TrueColor 24-bit visual: the pixel value is the RGB triple itself.
    XSetForeground(dpy, gc, rgb);
    XFillRectangle(dpy, win, gc, 0, 0, width, height);
    XSync(dpy, False);
    std::printf("%.3f\n", wallMs());
    std::fflush(stdout);
  }
  XFreeGC(dpy, gc);
  XDestroyWindow(dpy, win);
  XCloseDisplay(dpy);
  return 0;
}
