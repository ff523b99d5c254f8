// The Qt cover window under a private X server: the window manager never
// sees it, nothing shows until the capture leaves it out, it covers its
// display and goes back on top when something is mapped over it.
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QWidget>
#include <gtest/gtest.h>

#include "../support/xvfb.h"
#include "platform/linux/cover_window_qt.h"

// Last: the X headers' None and Status macros clash with names above.
#include <X11/Xlib.h>

namespace morvane {
namespace {

void pump(int millis) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < millis) QApplication::processEvents(QEventLoop::AllEvents, 10);
}

struct Attributes {
    bool overrideRedirect = false;
    bool viewable = false;
    int x = 0, y = 0, width = 0, height = 0;
};

Attributes attributesOf(Display* d, unsigned long window) {
    XWindowAttributes a{};
    XGetWindowAttributes(d, window, &a);
    return {a.override_redirect == True, a.map_state == IsViewable, a.x, a.y, a.width, a.height};
}

TEST(CoverWindow, StaysHiddenUntilOpaqueThenCoversItsDisplayAboveEverything) {
    Display* d = XOpenDisplay(nullptr);
    ASSERT_TRUE(d);
    auto backend = makeRandrBackend();
    ASSERT_TRUE(backend);
    const Rect frame{0, 0, 1280, 720};
    auto cover = makeQtCoverMaker()(frame, "This computer is in use remotely.");
    ASSERT_TRUE(cover);
    pump(100);
    const unsigned long number = cover->windowNumber();
    ASSERT_NE(number, 0u);
    EXPECT_FALSE(attributesOf(d, number).viewable);

    cover->makeOpaque();
    pump(200);
    const auto shown = attributesOf(d, number);
    EXPECT_TRUE(shown.overrideRedirect);
    EXPECT_TRUE(shown.viewable);
    EXPECT_EQ((std::array<int, 4>{shown.x, shown.y, shown.width, shown.height}),
              (std::array<int, 4>{0, 0, 1280, 720}));
    EXPECT_TRUE(backend->onTop(number));

    // Another program maps a window: it lands above the cover until the
    // cover is raised again.
    XSetWindowAttributes over{};
    over.override_redirect = True;
    const Window other = XCreateWindow(d, DefaultRootWindow(d), 10, 10, 200, 100, 0, CopyFromParent, InputOutput,
                                       CopyFromParent, CWOverrideRedirect, &over);
    XMapRaised(d, other);
    XSync(d, False);
    EXPECT_FALSE(backend->onTop(number));
    cover->raise();
    pump(100);
    EXPECT_TRUE(backend->onTop(number));

    cover->setFrame(Rect{0, 0, 640, 360});
    pump(200);
    const auto moved = attributesOf(d, number);
    EXPECT_EQ((std::array<int, 2>{moved.width, moved.height}), (std::array<int, 2>{640, 360}));

    cover.reset();
    pump(100);
    XDestroyWindow(d, other);
    XCloseDisplay(d);
}

TEST(CoverWindow, TextGrowsWithTheScreenWithinItsBounds) {
    struct Case {
        double height;
        int pixels;
    };
    for (const Case& c : {Case{1440, 28}, Case{800, 17}, Case{1000, 20}, Case{4320, 28}, Case{0, 17}})
        EXPECT_EQ(coverTextPixels(c.height), c.pixels) << c.height;
}

}  // namespace
}  // namespace morvane

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    morvane::testing::Xvfb xvfb("1280x720x24");
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    return RUN_ALL_TESTS();
}
