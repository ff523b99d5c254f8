// The status icon on a desktop that has a tray: a small tray host of our
// own (the XEmbed system-tray protocol) takes the icon in, and a click on it
// opens the menu.
#include <poll.h>

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <atomic>
#include <thread>

#include "app/tray_qt.h"
#include "core/loop_executor.h"

// Last: Xlib's macros (Bool, Status, None) clash with what came before.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

namespace morvane {
namespace {

class TrayHost {
public:
    TrayHost() : display_(XOpenDisplay(nullptr)) {
        if (!display_) return;
        const Window root = DefaultRootWindow(display_);
        window_ = XCreateSimpleWindow(display_, root, 0, 0, 240, 40, 0, 0, 0);
        selection_ = XInternAtom(display_, "_NET_SYSTEM_TRAY_S0", False);
        opcode_ = XInternAtom(display_, "_NET_SYSTEM_TRAY_OPCODE", False);
        XSelectInput(display_, window_, SubstructureNotifyMask);
        XMapWindow(display_, window_);
        XSetSelectionOwner(display_, selection_, window_, CurrentTime);
        XEvent announce{};
        announce.xclient.type = ClientMessage;
        announce.xclient.window = root;
        announce.xclient.message_type = XInternAtom(display_, "MANAGER", False);
        announce.xclient.format = 32;
        announce.xclient.data.l[0] = CurrentTime;
        announce.xclient.data.l[1] = static_cast<long>(selection_);
        announce.xclient.data.l[2] = static_cast<long>(window_);
        XSendEvent(display_, root, False, StructureNotifyMask, &announce);
        XSync(display_, False);
        thread_ = std::thread([this] { run(); });
    }
    ~TrayHost() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (display_) XCloseDisplay(display_);
    }
    static constexpr int iconSize = 24;
    bool ready() const { return display_ != nullptr; }
    Window icon() const { return icon_; }

    // Clicks the docked icon through XTEST.
    void clickIcon() {
        Display* d = XOpenDisplay(nullptr);
        if (!d) return;
        XTestFakeMotionEvent(d, 0, 8, 8, CurrentTime);
        XTestFakeButtonEvent(d, 1, True, CurrentTime);
        XTestFakeButtonEvent(d, 1, False, 50);
        XSync(d, False);
        XCloseDisplay(d);
    }

private:
    void run() {
        pollfd p{ConnectionNumber(display_), POLLIN, 0};
        while (!stop_) {
            while (XPending(display_)) {
                XEvent e;
                XNextEvent(display_, &e);
                // SYSTEM_TRAY_REQUEST_DOCK: take the icon's window in.
                if (e.type == ClientMessage && e.xclient.message_type == opcode_ && e.xclient.data.l[1] == 0) {
                    const Window icon = static_cast<Window>(e.xclient.data.l[2]);
                    XReparentWindow(display_, icon, window_, 0, 0);
                    XResizeWindow(display_, icon, iconSize, iconSize);
                    XMapRaised(display_, icon);
                    XSync(display_, False);
                    icon_ = icon;
                }
            }
            ::poll(&p, 1, 20);
        }
    }

    Display* display_;
    Window window_ = 0;
    Atom selection_ = 0, opcode_ = 0;
    std::atomic<Window> icon_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

bool spin(const std::function<bool()>& done, int limitMillis = 15'000) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < limitMillis) QApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

TEST(TrayIcon, DocksInTheDesktopTrayAndOpensTheMenuWhenClicked) {
    TrayHost host;
    ASSERT_TRUE(host.ready());
    ASSERT_TRUE(spin([] { return QSystemTrayIcon::isSystemTrayAvailable(); }));
    int builds = 0;
    LoopExecutor background("background");
    TrayUi ui(
        [&] {
            ++builds;
            return std::vector<MenuItem>{MenuItem::line("Ready"), MenuItem::command("Quit Morvane", MenuAction::quit)};
        },
        [](MenuAction, const std::string&) {}, nullptr, background);
    ui.start();
    ui.showIcon(iconState(false, false, std::string("iPad"), false));
    // Docked once the host sees its icon where the tray put it.
    ASSERT_TRUE(spin([&] {
        return host.icon() != 0 && ui.usesTray() && ui.trayIcon() &&
               ui.trayIcon()->geometry() == QRect(0, 0, TrayHost::iconSize, TrayHost::iconSize);
    })) << "the icon was never docked";
    host.clickIcon();
    ASSERT_TRUE(spin([&] { return ui.menu()->isVisible(); })) << "a click on the icon did not open the menu";
    EXPECT_EQ(builds, 1);
    EXPECT_EQ(ui.menu()->actions().size(), 2);
    ui.menu()->hide();
}

}  // namespace
}  // namespace morvane
