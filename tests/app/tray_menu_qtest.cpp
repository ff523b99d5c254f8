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
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

namespace morvane {
namespace {

bool spinTray(const std::function<bool()>& done, int limitMillis = 15000) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < limitMillis) QApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

using testing::Openbox;
using testing::Trayer;

// Presses of the pointer's buttons through XTEST, as a person's clicks.
// Each call is a click of its own: one within the double-click time of
// the last would count as its double click, which opens nothing by design.
void clickAt(QPoint at, unsigned button, int times = 1) {
    static QElapsedTimer sinceLast;
    if (sinceLast.isValid()) {
        // The toolkit compares the X server's times of the presses; the
        // server had the last one before that call returned.
        const qint64 due = QApplication::doubleClickInterval() + 100;
        spinTray([&] { return sinceLast.elapsed() > due; }, static_cast<int>(due) + 1000);
    }
    Display* d = XOpenDisplay(nullptr);
    if (!d) return;
    XTestFakeMotionEvent(d, 0, at.x(), at.y(), CurrentTime);
    for (int i = 0; i < times; ++i) {
        XTestFakeButtonEvent(d, button, True, CurrentTime);
        XTestFakeButtonEvent(d, button, False, CurrentTime);
    }
    XSync(d, False);
    XCloseDisplay(d);
    sinceLast.start();
}

// Where a window lies on the screen now, as the X server says.
QRect placeOf(Display* d, Window window) {
    XWindowAttributes attributes;
    int x = 0, y = 0;
    Window child = 0;
    if (!XGetWindowAttributes(d, window, &attributes) || attributes.map_state != IsViewable ||
        !XTranslateCoordinates(d, window, DefaultRootWindow(d), 0, 0, &x, &y, &child))
        return {};
    return {x, y, attributes.width, attributes.height};
}

// The first viewable window below `window` that `wanted` accepts by its
// class hint.
Window findWindow(Display* d, Window window, const std::function<bool(const XClassHint&)>& wanted) {
    Window root = 0, parent = 0, *children = nullptr;
    unsigned count = 0;
    Window found = 0;
    if (!XQueryTree(d, window, &root, &parent, &children, &count)) return 0;
    for (unsigned i = 0; i < count && !found; ++i) {
        XClassHint hint{};
        if (XGetClassHint(d, children[i], &hint)) {
            if (wanted(hint) && !placeOf(d, children[i]).isEmpty()) found = children[i];
            if (hint.res_name) XFree(hint.res_name);
            if (hint.res_class) XFree(hint.res_class);
        }
        if (!found) found = findWindow(d, children[i], wanted);
    }
    if (children) XFree(children);
    return found;
}

// The icon as trayer shows it once its panel stands where it stays: along
// `edge`, at the right, with the icon inside. Empty until then: trayer
// first maps its panel elsewhere and grows it as icons come, so the icon
// moves after it is docked.
QRect iconInSettledPanel(const std::string& edge) {
    Display* d = XOpenDisplay(nullptr);
    if (!d) return {};
    // A window may go between being listed and being asked about.
    const auto oldHandler = XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    const Window root = DefaultRootWindow(d);
    const Window panel = findWindow(d, root, [](const XClassHint& h) {
        return h.res_class && std::string(h.res_class) == "trayer" && h.res_name && std::string(h.res_name) == "panel";
    });
    // Inside the panel only the icon says what program it belongs to.
    const Window icon = panel ? findWindow(d, panel, [&](const XClassHint& h) { return h.res_class != nullptr; })
                              : 0;
    const QRect panelPlace = panel ? placeOf(d, panel) : QRect();
    const QRect iconPlace = icon ? placeOf(d, icon) : QRect();
    XWindowAttributes rootAttributes{};
    XGetWindowAttributes(d, root, &rootAttributes);
    XSetErrorHandler(oldHandler);
    XCloseDisplay(d);
    const bool atEdge = edge == "top" ? panelPlace.top() == 0 : panelPlace.bottom() == rootAttributes.height - 1;
    if (panelPlace.isEmpty() || iconPlace.isEmpty() || !atEdge || panelPlace.right() != rootAttributes.width - 1 ||
        !panelPlace.contains(iconPlace))
        return {};
    return iconPlace;
}

// The icon of `ui` docked in trayer's settled panel along `edge`, where the
// host sees it too (it places its menu from there). Empty until then.
QRect dockedIcon(const TrayUi& ui, const std::string& edge) {
    if (!ui.usesTray() || !ui.trayIcon()) return {};
    const QRect shown = iconInSettledPanel(edge);
    return !shown.isEmpty() && ui.trayIcon()->geometry() == shown ? shown : QRect();
}

// The menu is open and drawn.
bool menuShown(TrayUi& ui) {
    return ui.menu()->isVisible() && ui.menu()->windowHandle() && ui.menu()->windowHandle()->isExposed();
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
        ASSERT_TRUE(spinTray([] { return QSystemTrayIcon::isSystemTrayAvailable(); })) << "trayer took no icons";
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
        QRect icon;
        ASSERT_TRUE(spinTray([&] { return !(icon = dockedIcon(ui, c.edge)).isEmpty(); }))
            << "the icon was never docked in the panel; the host has it at "
            << (ui.trayIcon() ? ui.trayIcon()->geometry().y() : -1) << (ui.usesTray() ? "" : ", with its window");
        const QRect screen = QGuiApplication::primaryScreen()->geometry();
        EXPECT_EQ(icon.top() < screen.height() / 2, c.edge == "top") << "the tray is not at its edge";

        for (unsigned buttonNumber : {1u, 3u}) {
            SCOPED_TRACE("button " + std::to_string(buttonNumber));
            clickAt(icon.center(), buttonNumber);
            ASSERT_TRUE(spinTray([&] { return menuShown(ui); })) << "a click on the icon did not open the menu";
            const QRect menu = ui.menu()->geometry();
            EXPECT_FALSE(menu.intersects(icon)) << "the menu lies over the icon";
            EXPECT_TRUE(screen.contains(menu));
            if (c.menuBelow)
                EXPECT_GT(menu.top(), icon.bottom());
            else
                EXPECT_LT(menu.bottom(), icon.top());

            // The second click on the icon closes the menu and chooses nothing.
            clickAt(icon.center(), 1);
            EXPECT_TRUE(spinTray([&] { return !ui.menu()->isVisible(); })) << "a second click left the menu open";
            spinTray([] { return false; }, 300);
            EXPECT_FALSE(ui.menu()->isVisible()) << "the click that closed the menu opened it again";
            EXPECT_TRUE(performed.empty());
        }

        // A double click opens the menu (its second press may close it
        // again); nothing is chosen either way.
        int shown = 0;
        const auto onShow = QObject::connect(ui.menu(), &QMenu::aboutToShow, [&] { ++shown; });
        clickAt(icon.center(), 1, 2);
        EXPECT_TRUE(spinTray([&] { return shown > 0; })) << "a double click did not open the menu";
        spinTray([] { return false; }, 300);
        EXPECT_TRUE(performed.empty());
        EXPECT_FALSE(ui.menu()->isVisible() && ui.menu()->geometry().intersects(icon));
        QObject::disconnect(onShow);
        ui.menu()->hide();

        // The menu still works as a menu.
        clickAt(icon.center(), 1);
        ASSERT_TRUE(spinTray([&] { return menuShown(ui); }));
        ASSERT_FALSE(ui.menu()->actions().isEmpty());
        QAction* pause = ui.menu()->actions().front();
        clickAt(ui.menu()->mapToGlobal(ui.menu()->actionGeometry(pause).center()), 1);
        EXPECT_TRUE(spinTray([&] { return !performed.empty(); }));
        EXPECT_EQ(performed, std::vector<MenuAction>{MenuAction::pauseMorvane});
        spinTray([&] { return !ui.menu()->isVisible(); });
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

// The menu of a computer whose keychain item is a link into a folder others
// may change, while its relay does not answer: reasons too long for a line.
std::vector<MenuItem> longReasonsMenu() {
    MenuSnapshot s;
    s.storageFailure = "the link /home/anna/.local/share/Morvane/keychain/local.morvane.host%40paired-devices.dat "
                       "leads into /srv/shared/morvane-keys, which others may change";
    s.relaySection = relayMenuItems({
        RelayMenuItem::label("Relay: connecting\u2026"),
        RelayMenuItem::detail("The relay did not answer the last 3 tries: relay.example.org: the TLS handshake failed: "
                             "certificate verify failed (unable to get local issuer certificate)"),
        RelayMenuItem::detail("Relay account: owner@example.com"),
        RelayMenuItem::detail("Connection attempts today: 4 of 200"),
        RelayMenuItem::detail("Relay use today: about 0% of this computer's daily allowance"),
        RelayMenuItem::command("Add Device Over Relay\u2026", "addDevice", true),
        RelayMenuItem::command("Turn Off Relay", "turnOff", true),
    });
    s.tailnet.cli = TailnetMenuFacts::Cli::found;
    return buildMenu(s);
}

// Under a real window manager whose work area leaves out the panel: at the
// desktop's font sizes the menu stands in one column beside the icon,
// folding rarely used items into submenus only when it would not fit.
TEST(TrayIconMenu, TheLongestMenuFitsBesideTheIconInOneColumnWithEveryItemReachable) {
    ASSERT_GE(relayConnectedMenu().size(), 36u) << "not the menu that did not fit";
    Openbox openbox;
    ASSERT_TRUE(openbox.running()) << "openbox is missing: run scripts/setup";
    // A loaded machine starts them slowly.
    std::optional<Trayer> trayer;
    bool icons = true;
    EXPECT_EQ(testing::startPanel(trayer, openbox, {},
                                  [&] {
                                      icons = spinTray([] { return QSystemTrayIcon::isSystemTrayAvailable(); });
                                      return icons && spinTray([] {
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
    // The long reasons' menu is only checked to stand whole in one column.
    struct Menu {
        const char* name;
        std::vector<MenuItem> items;
        bool checkFolds;
    };
    for (const Menu& m : {Menu{"relay connected", relayConnectedMenu(), true},
                          Menu{"long reasons", longReasonsMenu(), false}}) {
        const std::vector<MenuItem>& items = m.items;
        const bool checkFolds = m.checkFolds;
        for (const auto& c : {Case{9, false}, Case{11, true}, Case{13, true}}) {
            SCOPED_TRACE(std::string(m.name) + ", " + std::to_string(c.points) + " pt");
            QFont font = usual;
            font.setPointSize(c.points);
            QApplication::setFont(font);
            LoopExecutor background("background");
            std::vector<MenuAction> performed;
            TrayUi ui([&] { return items; }, [&](MenuAction a, const std::string&) { performed.push_back(a); },
                      nullptr, background);
            ui.start();
            QRect icon;
            ASSERT_TRUE(spinTray([&] { return !(icon = dockedIcon(ui, "top")).isEmpty(); }))
                << "the icon was never docked in the panel";

            clickAt(icon.center(), 1);
            ASSERT_TRUE(spinTray([&] { return menuShown(ui); })) << "a click on the icon did not open the menu";
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
            if (checkFolds) {
                EXPECT_EQ(std::find(top.begin(), top.end(), MenuFolds::relayDetails) != top.end(), c.folds);
            }
            EXPECT_LE(menu.width(), area.width()) << "a line wider than the screen";

            // An item in a submenu still does what it says.
            bool triggered = false;
            for (QAction* a : ui.menu()->actions())
                if (a->menu() && a->text() == MenuFolds::thisComputer && !a->menu()->actions().isEmpty()) {
                    a->menu()->actions().front()->trigger();
                    triggered = true;
                }
            EXPECT_EQ(triggered, std::find(top.begin(), top.end(), MenuFolds::thisComputer) != top.end());
            if (triggered) {
                EXPECT_TRUE(spinTray([&] { return !performed.empty(); }));
                EXPECT_EQ(performed, std::vector<MenuAction>{MenuAction::openAddress});
            }
            ui.menu()->hide();
            EXPECT_TRUE(spinTray([&] { return !ui.menu()->isVisible(); }));
        }
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
