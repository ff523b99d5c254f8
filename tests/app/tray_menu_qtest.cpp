// The menu of the status icon under a real tray (Debian's trayer, installed
// by scripts/setup): it opens beside the icon, never over it, so a second
// click or a double click on the icon chooses nothing.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QScreen>
#include <QWindow>
#include <functional>
#include <set>
#include <optional>
#include <string>
#include <vector>

#include "app/relay_bridge.h"
#include "app/tray_qt.h"
#include "core/loop_executor.h"
#include "../support/desktop_panel.h"

// Last: Xlib's macros (Bool, Status, None) clash with what came before.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

namespace morvane {
namespace {

bool spin(const std::function<bool()>& done, int limitMillis = 15000) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < limitMillis) QApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

using testing::Openbox;
using testing::Trayer;

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

// The whole menu of a computer with the relay set up and connected (its
// longest common form) on a 1280×720 screen with a panel at the top.
std::vector<MenuItem> relayConnectedMenu() {
    MenuSnapshot s;
    s.relaySection = relayMenuItems({
        RelayMenuItem::label("Relay: connected"),
        RelayMenuItem::detail("Relay account: owner@example.com"),
        RelayMenuItem::detail("Relay address: relay.example.org"),
        RelayMenuItem::detail("Connection attempts today: 1 of 200"),
        RelayMenuItem::detail("Relay use today: about 0% of this computer's daily allowance"),
        RelayMenuItem::command("Add Device Over Relay\u2026", "addDevice", true),
        RelayMenuItem::command("Remove This Computer From Your Account\u2026", "removeFromAccount", true),
        RelayMenuItem::command("Turn Off Relay", "turnOff", true),
    });
    s.tailnet.cli = TailnetMenuFacts::Cli::found;
    s.devices = {{"1", "Pat's phone", true, std::string("2 hours ago")}};
    return buildMenu(s);
}

// Every title of a menu, submenus included.
void titlesOf(const QMenu* menu, std::vector<std::string>& out) {
    for (QAction* a : menu->actions()) {
        if (a->isSeparator() && a->text().isEmpty()) continue;
        out.push_back(a->text().toStdString());
        if (a->menu()) titlesOf(a->menu(), out);
    }
}

// Under a real window manager whose work area leaves out the panel: at the
// desktop's font sizes the menu stands in one column beside the icon,
// folding rarely used items into submenus only when it would not fit.
TEST(TrayIconMenu, TheLongestMenuFitsBesideTheIconInOneColumnWithEveryItemReachable) {
    const auto items = relayConnectedMenu();
    ASSERT_GE(items.size(), 36u) << "not the menu that did not fit";
    Openbox openbox;
    ASSERT_TRUE(openbox.running()) << "openbox is missing: run scripts/setup";
    // A loaded machine starts them slowly.
    std::optional<Trayer> trayer;
    bool icons = true;
    EXPECT_EQ(testing::startPanel(trayer, openbox, {},
                                  [&] {
                                      icons = spin([] { return QSystemTrayIcon::isSystemTrayAvailable(); });
                                      return icons && spin([] {
                                          return QGuiApplication::primaryScreen()->availableGeometry().top() > 0;
                                      }, 8000);
                                  }),
              "");
    ASSERT_TRUE(icons) << "trayer took no icons";
    ASSERT_GT(QGuiApplication::primaryScreen()->availableGeometry().top(), 0);
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    const QFont usual = QApplication::font();
    struct Case {
        int points;
        bool folds;  // the menu as built is too tall for 1280×720 less the panel
    };
    for (const auto& c : {Case{9, false}, Case{11, true}, Case{13, true}}) {
        SCOPED_TRACE(std::to_string(c.points) + " pt");
        QFont font = usual;
        font.setPointSize(c.points);
        QApplication::setFont(font);
        LoopExecutor background("background");
        std::vector<MenuAction> performed;
        TrayUi ui([&] { return items; }, [&](MenuAction a, const std::string&) { performed.push_back(a); },
                  nullptr, background);
        ui.start();
        ASSERT_TRUE(spin([&] { return !ui.trayIcon()->geometry().isEmpty(); })) << "the icon was never docked";
        spin([] { return false; }, 300);
        const QRect icon = ui.trayIcon()->geometry();

        clickAt(icon.center(), 1);
        ASSERT_TRUE(spin([&] { return ui.menu()->isVisible() && ui.menu()->windowHandle()->isExposed(); }));
        const QRect menu = ui.menu()->geometry();
        EXPECT_FALSE(menu.intersects(icon)) << "the menu lies over the icon";
        EXPECT_TRUE(area.contains(menu)) << "the menu leaves the work area: " << menu.y() << "+" << menu.height();
        std::set<int> columns;
        for (QAction* a : ui.menu()->actions())
            if (a->isVisible()) columns.insert(ui.menu()->actionGeometry(a).left());
        EXPECT_EQ(columns.size(), 1u) << "the menu is split into columns";

        // Whatever was gathered into submenus is still there, and what is
        // used daily stays in the menu itself.
        std::vector<std::string> shown;
        titlesOf(ui.menu(), shown);
        for (const auto& item : items) {
            if (item.kind == MenuItem::Kind::separator) continue;
            EXPECT_NE(std::find(shown.begin(), shown.end(), item.title), shown.end()) << item.title << " is missing";
        }
        std::vector<std::string> top;
        for (QAction* a : ui.menu()->actions()) top.push_back(a->text().toStdString());
        for (const char* daily : {"Pause Morvane", "Connect a Device\u2026", "Add Device Over Relay\u2026",
                                  "Devices", "Quit Morvane"})
            EXPECT_NE(std::find(top.begin(), top.end(), daily), top.end()) << daily << " was folded away";
        EXPECT_EQ(std::find(top.begin(), top.end(), MenuFolds::relayDetails) != top.end(), c.folds);

        // An item in a submenu still does what it says.
        for (QAction* a : ui.menu()->actions())
            if (a->menu() && a->text() == MenuFolds::thisComputer) a->menu()->actions().front()->trigger();
        spin([] { return false; }, 100);
        if (std::find(top.begin(), top.end(), MenuFolds::thisComputer) != top.end()) {
            EXPECT_EQ(performed, std::vector<MenuAction>{MenuAction::openAddress});
        }
        ui.menu()->hide();
        spin([] { return false; }, 100);
    }
    QApplication::setFont(usual);
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
