// The menu of the status icon under a real tray (Debian's trayer, installed
// by scripts/setup): it opens beside the icon, never over it, so a second
// click or a double click on the icon chooses nothing.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QScreen>
#include <QWindow>
#include <functional>
#include <string>
#include <vector>

#include "app/tray_qt.h"
#include "core/loop_executor.h"

// Last: Xlib's macros (Bool, Status, None) clash with what came before.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

extern char** environ;

namespace morvane {
namespace {

bool spin(const std::function<bool()>& done, int limitMillis = 5000) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < limitMillis) QApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

// A panel with a tray at one edge of the screen, for the length of a test.
class Trayer {
public:
    explicit Trayer(const std::string& edge) {
        if (std::system("command -v trayer >/dev/null 2>&1") != 0) return;
        std::vector<std::string> args{"trayer", "--edge", edge, "--align", "right", "--widthtype", "request",
                                      "--height", "24", "--SetDockType", "true", "--SetPartialStrut", "true"};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        if (posix_spawnp(&pid_, "trayer", &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Trayer() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    bool running() const { return pid_ > 0; }

private:
    pid_t pid_ = -1;
};

// Presses of the pointer's buttons through XTEST, as a person's clicks.
void clickAt(QPoint at, unsigned button, int times = 1) {
    Display* d = XOpenDisplay(nullptr);
    XTestFakeMotionEvent(d, 0, at.x(), at.y(), CurrentTime);
    for (int i = 0; i < times; ++i) {
        XTestFakeButtonEvent(d, button, True, CurrentTime);
        XTestFakeButtonEvent(d, button, False, CurrentTime);
    }
    XSync(d, False);
    XCloseDisplay(d);
}

struct EdgeCase {
    std::string edge;
    bool menuBelow;
};

TEST(TrayIconMenu, OpensBesideTheIconSoASecondClickOrADoubleClickChoosesNothing) {
    for (const auto& c : {EdgeCase{"top", true}, EdgeCase{"bottom", false}}) {
        SCOPED_TRACE("tray at the " + c.edge);
        Trayer trayer(c.edge);
        ASSERT_TRUE(trayer.running()) << "trayer is missing: run scripts/setup";
        ASSERT_TRUE(spin([] { return QSystemTrayIcon::isSystemTrayAvailable(); })) << "trayer took no icons";
        std::vector<MenuAction> performed;
        LoopExecutor background("background");
        TrayUi ui(
            [] {
                return std::vector<MenuItem>{MenuItem::command("Pause Morvane", MenuAction::pauseMorvane),
                                             MenuItem::line("Ready"), MenuItem::separator(),
                                             MenuItem::command("Quit Morvane", MenuAction::quit)};
            },
            [&](MenuAction a, const std::string&) { performed.push_back(a); }, nullptr, background);
        ui.start();
        ASSERT_TRUE(ui.usesTray());
        ASSERT_TRUE(spin([&] { return !ui.trayIcon()->geometry().isEmpty(); })) << "the icon was never docked";
        spin([] { return false; }, 300);  // let the panel settle around its new icon
        const QRect icon = ui.trayIcon()->geometry();
        const QRect screen = QGuiApplication::primaryScreen()->geometry();
        EXPECT_EQ(icon.top() < screen.height() / 2, c.edge == "top") << "the tray is not at its edge";

        for (unsigned buttonNumber : {1u, 3u}) {
            SCOPED_TRACE("button " + std::to_string(buttonNumber));
            clickAt(icon.center(), buttonNumber);
            ASSERT_TRUE(spin([&] { return ui.menu()->isVisible() && ui.menu()->windowHandle()->isExposed(); }))
                << "a click on the icon did not open the menu";
            const QRect menu = ui.menu()->geometry();
            EXPECT_FALSE(menu.intersects(icon)) << "the menu lies over the icon";
            EXPECT_TRUE(screen.contains(menu));
            if (c.menuBelow)
                EXPECT_GT(menu.top(), icon.bottom());
            else
                EXPECT_LT(menu.bottom(), icon.top());

            // The second click on the icon closes the menu and chooses nothing.
            clickAt(icon.center(), 1);
            EXPECT_TRUE(spin([&] { return !ui.menu()->isVisible(); })) << "a second click left the menu open";
            spin([] { return false; }, 300);
            EXPECT_FALSE(ui.menu()->isVisible()) << "the click that closed the menu opened it again";
            EXPECT_TRUE(performed.empty());
        }

        // A double click opens the menu (its second press may close it
        // again); nothing is chosen either way.
        int shown = 0;
        const auto onShow = QObject::connect(ui.menu(), &QMenu::aboutToShow, [&] { ++shown; });
        clickAt(icon.center(), 1, 2);
        EXPECT_TRUE(spin([&] { return shown > 0; })) << "a double click did not open the menu";
        spin([] { return false; }, 300);
        EXPECT_TRUE(performed.empty());
        EXPECT_FALSE(ui.menu()->isVisible() && ui.menu()->geometry().intersects(icon));
        QObject::disconnect(onShow);
        ui.menu()->hide();
        // A click within the double-click time of the last one would count as
        // its double click, which opens nothing by design.
        spin([] { return false; }, QApplication::doubleClickInterval() + 300);

        // The menu still works as a menu.
        clickAt(icon.center(), 1);
        ASSERT_TRUE(spin([&] { return ui.menu()->isVisible() && ui.menu()->windowHandle()->isExposed(); }));
        QAction* pause = ui.menu()->actions().front();
        clickAt(ui.menu()->mapToGlobal(ui.menu()->actionGeometry(pause).center()), 1);
        EXPECT_TRUE(spin([&] { return !performed.empty(); }));
        EXPECT_EQ(performed, std::vector<MenuAction>{MenuAction::pauseMorvane});
        spin([&] { return !ui.menu()->isVisible(); });
    }
}

// Where the menu goes for a few icon places on a 1280×720 screen.
TEST(TrayIconMenu, PlaceKeepsEveryItemOffTheIconAndTheMenuOnTheScreen) {
    const QRect screen(0, 0, 1280, 720);
    const QSize menu(240, 400);
    struct Case {
        const char* what;
        QRect icon;
        QPoint pointer;
        QPoint expected;
    };
    const Case cases[] = {
        {"top right: below, pulled in from the right edge", {1250, 0, 24, 24}, {}, {1040, 24}},
        {"bottom left: above", {0, 696, 24, 24}, {}, {0, 296}},
        {"high on a side panel: below", {0, 200, 24, 24}, {}, {0, 224}},
        {"low on a side panel: above", {0, 500, 24, 24}, {}, {0, 100}},
        {"no icon geometry: beside the pointer", {}, {600, 10}, {594, 17}},
        {"no icon geometry, pointer low: above it", {}, {600, 710}, {594, 304}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const QPoint at = TrayUi::menuPlace(c.icon, c.pointer, menu, screen);
        EXPECT_EQ(at, c.expected);
        const QRect placed(at, menu);
        EXPECT_TRUE(screen.contains(placed));
        const QRect under = c.icon.isEmpty() ? QRect(c.pointer, QSize(1, 1)) : c.icon;
        EXPECT_FALSE(placed.intersects(under));
    }
    // A menu taller than the screen stays on it, from the top.
    EXPECT_EQ(TrayUi::menuPlace({1250, 0, 24, 24}, {}, QSize(240, 900), screen), QPoint(1040, 0));
}

}  // namespace
}  // namespace morvane
