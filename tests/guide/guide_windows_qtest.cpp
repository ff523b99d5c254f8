// The Welcome and Connect windows on a private X server: what they show in
// their main states, screenshots of the display (kept for looking at) and
// the Connect window's code read back from the screenshot by zbarimg.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>
#include <QWindow>
#include <QToolButton>
#include <cstdlib>
#include <cstring>
#include <tuple>
#include <filesystem>
#include <memory>
#include <optional>

#include "../app/manual_executor.h"
#include "../support/desktop_panel.h"
#include "../support/qt_xvfb_main.h"
#include "guide/guide_panel.h"
#include "guide/guide_texts.h"
#include "guide/guide_windows_qt.h"
#include "guide_test_tools.h"

namespace morvane {
namespace {

using K = GuideAction::Kind;

void settle(int millis = 150) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < millis) QApplication::processEvents(QEventLoop::AllEvents, 20);
}

std::filesystem::path shotFolder() {
    auto folder = std::filesystem::current_path() / "guide-screenshots";
    std::filesystem::create_directories(folder);
    return folder;
}

// A screenshot of the X display around the window, as the owner sees it.
std::filesystem::path screenshot(QWidget* window, const std::string& name) {
    settle();
    const QRect frame = window->frameGeometry().adjusted(-8, -8, 8, 8);
    const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(0, frame.x(), frame.y(), frame.width(),
                                                                      frame.height());
    const auto file = shotFolder() / (name + ".png");
    EXPECT_TRUE(shot.save(QString::fromStdString(file.string()), "PNG")) << file;
    return file;
}

QPushButton* button(QWidget* window, const std::string& title) {
    for (auto* b : window->findChildren<QPushButton*>())
        if (b->isVisible() && b->text() == QString::fromStdString(title)) return b;
    return nullptr;
}

bool shows(QWidget* window, const std::string& text) {
    for (auto* l : window->findChildren<QLabel*>())
        if (l->isVisible() && l->text() == QString::fromStdString(text)) return true;
    return false;
}

int topOf(QWidget* window, const std::string& text) {
    for (auto* l : window->findChildren<QLabel*>())
        if (l->isVisible() && l->text() == QString::fromStdString(text)) return l->mapTo(window, QPoint()).y();
    return -1;
}

void press(QWidget* window, int key, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    QKeyEvent down(QEvent::KeyPress, key, mods);
    QApplication::sendEvent(window, &down);
    settle(50);
}

struct Rig {
    testing::ManualExecutor main;
    GuideSnapshot current;
    std::vector<GuideAction> performed;
    int closes = 0;
    std::shared_ptr<GuidePanel> panel;
    std::unique_ptr<QWidget> window;

    explicit Rig(GuideSnapshot s, bool welcome = false, std::function<void()> dontShowAgain = nullptr,
                 QScreen* on = nullptr)
        : current(std::move(s)) {
        panel = GuidePanel::create(
            welcome ? GuideTexts::welcomeWindowTitle : GuideTexts::connectWindowTitle, [this] { return current; },
            [this](const GuideAction& a) { performed.push_back(a); }, &main);
        panel->onClose = [this] { ++closes; };
        window.reset(welcome ? makeWelcomeWindow(panel, std::move(dontShowAgain)) : makeConnectWindow(panel));
        if (on) {
            window->winId();
            window->windowHandle()->setScreen(on);
        }
        panel->show();
        settle();
    }
};

GuideSnapshot base() {
    GuideSnapshot s;
    s.address = "relay.morvane.example";
    s.screen = ScreenRecordingPermission::allowed;
    s.accessibility = true;
    s.locker = true;
    return s;
}

TEST(ConnectWindow, ReadyRelayShowsACodeACameraReadsAndAddDeviceAnswersReturn) {
    auto s = base();
    s.relay = relay_status::Ready{"owner@example.com"};
    s.tailscale = tailscale_facts::On{"desk.tail1234.ts.net"};
    Rig rig(s);
    QWidget* w = rig.window.get();
    EXPECT_EQ(w->windowTitle(), "Connect a Device");
    EXPECT_TRUE(shows(w, "https://relay.morvane.example"));
    EXPECT_FALSE(shows(w, GuideTexts::setUpFirst));
    for (auto* l : w->findChildren<QLabel*>())
        EXPECT_FALSE(l->text().contains("App Store") || l->text().contains("Morvane app")) << l->text().toStdString();
    // Once the relay works the box follows the steps.
    EXPECT_GT(topOf(w, GuideTexts::relayReady), topOf(w, GuideTexts::chooseAddDevice));

    const auto shot = screenshot(w, "connect-ready");
    EXPECT_EQ(testing_tools::zbarimg(shot), "https://relay.morvane.example");
    // Screen readers meet the code as a picture with a name.
    QLabel* code = nullptr;
    for (auto* l : w->findChildren<QLabel*>())
        if (!l->pixmap().isNull()) code = l;
    ASSERT_TRUE(code);
    QAccessibleInterface* spoken = QAccessible::queryAccessibleInterface(code);
    ASSERT_TRUE(spoken);
    EXPECT_EQ(spoken->role(), QAccessible::Graphic);
    EXPECT_EQ(spoken->text(QAccessible::Name), "QR code for relay.morvane.example");

    press(w, Qt::Key_Return);
    ASSERT_EQ(rig.performed.size(), 1u);
    EXPECT_EQ(rig.performed[0], GuideAction::of(K::addDevice));

    // The address's copy button turns into "Copied" for that text only.
    auto* copy = button(w, GuideTexts::copy);
    ASSERT_TRUE(copy);
    copy->click();
    settle(50);
    EXPECT_EQ(rig.performed.back(), GuideAction::copy("https://relay.morvane.example"));
    EXPECT_TRUE(button(w, std::string("\u2713 ") + GuideTexts::copied));
    rig.main.advance(GuideState::copiedMillis);
    settle(50);
    EXPECT_FALSE(button(w, std::string("\u2713 ") + GuideTexts::copied));

    // The advanced section opens to the tailnet address and pairing.
    auto* advanced = w->findChild<QToolButton*>();
    ASSERT_TRUE(advanced);
    advanced->click();
    settle();
    EXPECT_TRUE(shows(w, "https://desk.tail1234.ts.net"));
    ASSERT_TRUE(button(w, GuideTexts::pairDevice));
    screenshot(w, "connect-ready-advanced");

    press(w, Qt::Key_Escape);
    EXPECT_EQ(rig.closes, 1);
    EXPECT_FALSE(w->isVisible());
    rig.panel->show();
    settle();
    EXPECT_FALSE(shows(w, "https://desk.tail1234.ts.net"));  // folded again
    press(w, Qt::Key_W, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_TRUE(w->isVisible());
    press(w, Qt::Key_W, Qt::ControlModifier);
    EXPECT_FALSE(w->isVisible());
    EXPECT_EQ(rig.closes, 2);
}

TEST(ConnectWindow, RelayNotSetUpComesFirstWithAFadedCodeAndTheNote) {
    auto s = base();
    s.relay = relay_status::NotSetUp{};
    s.gate.recentlyControlled = true;
    Rig rig(s);
    QWidget* w = rig.window.get();
    EXPECT_TRUE(shows(w, GuideTexts::setUpFirst));
    EXPECT_TRUE(shows(w, GuideTexts::gateRecent));
    EXPECT_LT(topOf(w, GuideTexts::notSetUp), topOf(w, GuideTexts::setUpFirst));
    auto* setUp = button(w, GuideTexts::setUpRelay);
    ASSERT_TRUE(setUp);
    EXPECT_FALSE(setUp->isEnabled());
    EXPECT_FALSE(setUp->isDefault());
    screenshot(w, "connect-not-set-up");
    press(w, Qt::Key_Return);
    EXPECT_TRUE(rig.performed.empty());

    // The refresh after the gate opens enables the button and takes Return.
    rig.current.gate = {};
    rig.current.addedName = "Pat's <b>phone</b>";
    rig.panel->refresh();
    settle();
    ASSERT_TRUE(button(w, GuideTexts::setUpRelay));
    EXPECT_TRUE(button(w, GuideTexts::setUpRelay)->isEnabled());
    EXPECT_TRUE(shows(w, GuideTexts::added("Pat's <b>phone</b>")));  // plain text, as typed
    press(w, Qt::Key_Return);
    EXPECT_EQ(rig.performed, std::vector<GuideAction>{GuideAction::of(K::setUpRelay)});

    rig.current.relay = relay_status::Working{"owner@example.com", GuideTexts::backingOff};
    rig.current.addedName.reset();
    rig.panel->refresh();
    settle();
    EXPECT_FALSE(shows(w, GuideTexts::setUpFirst));
    EXPECT_TRUE(shows(w, GuideTexts::backingOff));
    screenshot(w, "connect-working");
}

// No relay named by the build, the environment or a set-up: no code, no
// page address; the set-up comes first and the tailnet and this computer
// are offered instead.
TEST(ConnectWindow, WithNoRelayChosenShowsNoCodeAndOffersTheTailnetAndThisComputer) {
    auto s = base();
    s.address.clear();
    s.localAddress = "http://127.0.0.1:8722";
    s.relay = relay_status::NotSetUp{};
    s.tailscale = tailscale_facts::On{"desk.tail1234.ts.net"};
    Rig rig(s);
    QWidget* w = rig.window.get();
    for (auto* l : w->findChildren<QLabel*>()) {
        if (!l->isVisible()) continue;
        EXPECT_TRUE(l->pixmap().isNull()) << "a code is drawn";
        EXPECT_FALSE(l->text().startsWith("https://") && !l->text().contains("ts.net")) << l->text().toStdString();
    }
    EXPECT_TRUE(shows(w, GuideTexts::noRelayChosen));
    EXPECT_TRUE(shows(w, GuideTexts::noRelayStepOne));
    // No step sends the owner to an add-device button the window lacks.
    EXPECT_FALSE(button(w, GuideTexts::addDevice));
    for (auto* l : w->findChildren<QLabel*>())
        EXPECT_FALSE(l->text().contains(QString::fromUtf8("Add Device Over Relay\u2026 below")))
            << l->text().toStdString();
    EXPECT_TRUE(shows(w, "https://desk.tail1234.ts.net"));
    EXPECT_TRUE(shows(w, "On this computer, open http://127.0.0.1:8722 in a browser."));
    EXPECT_FALSE(w->findChild<QToolButton*>()) << "the tailnet is folded away although it is the road left";
    screenshot(w, "connect-no-relay");

    ASSERT_TRUE(button(w, GuideTexts::openOnThisComputer));
    button(w, GuideTexts::openOnThisComputer)->click();
    // The tailnet's pairing pairs a browser here too: one pairing button.
    EXPECT_TRUE(button(w, GuideTexts::pairDevice));
    EXPECT_FALSE(button(w, GuideTexts::pairOnThisComputer));
    rig.current.tailscale = tailscale_facts::NotInstalled{};
    rig.panel->refresh();
    settle();
    ASSERT_TRUE(button(w, GuideTexts::pairOnThisComputer));
    button(w, GuideTexts::pairOnThisComputer)->click();
    press(w, Qt::Key_Return);
    EXPECT_EQ(rig.performed, (std::vector<GuideAction>{GuideAction::of(K::openOnThisComputer),
                                                       GuideAction::of(K::pairDevice), GuideAction::of(K::setUpRelay)}));
}

TEST(WelcomeWindow, FirstRunShowsTheStepsAndReturnPressesTheCurrentOne) {
    auto s = base();
    s.accessibility = false;
    s.relay = relay_status::NotSetUp{};
    int dont = 0;
    Rig rig(s, true, [&] { ++dont; });
    QWidget* w = rig.window.get();
    EXPECT_EQ(w->windowTitle(), "Welcome to Morvane");
    EXPECT_TRUE(shows(w, GuideTexts::welcomeLede));
    EXPECT_TRUE(shows(w, GuideTexts::xtestMissing));
    EXPECT_TRUE(shows(w, GuideTexts::stepTwoDetail));
    EXPECT_TRUE(shows(w, GuideTexts::menuBarNote));
    EXPECT_FALSE(button(w, GuideTexts::openSettings));  // nothing to open on X
    screenshot(w, "welcome-first-run");

    press(w, Qt::Key_Return);
    EXPECT_EQ(rig.performed, std::vector<GuideAction>{GuideAction::of(K::setUpRelay)});
    button(w, GuideTexts::connectDevice)->click();
    EXPECT_EQ(rig.performed.back(), GuideAction::of(K::openConnectWindow));
    button(w, GuideTexts::dontShowAgain)->click();
    EXPECT_EQ(dont, 1);

    // Every step done: nothing answers Return.
    rig.current.accessibility = true;
    rig.current.relay = relay_status::Ready{"owner@example.com"};
    rig.current.devices = 2;
    rig.panel->refresh();
    settle();
    EXPECT_TRUE(shows(w, "2 devices can connect. Add another any time."));
    screenshot(w, "welcome-all-done");
    rig.performed.clear();
    press(w, Qt::Key_Return);
    EXPECT_TRUE(rig.performed.empty());
    button(w, GuideTexts::close)->click();
    settle(50);
    EXPECT_FALSE(w->isVisible());
    EXPECT_EQ(rig.closes, 1);
}

// The laptop screens of this run (X screens 1 and 2, beside the primary).
QScreen* screenOfSize(int width, int height) {
    for (auto* s : QGuiApplication::screens())
        if (s->geometry().size() == QSize(width, height)) return s;
    return nullptr;
}

std::filesystem::path outputFolder() {
    const std::filesystem::path folder = MORVANE_TEST_OUTPUT_DIR;
    std::filesystem::create_directories(folder);
    return folder;
}

std::filesystem::path shotOn(QScreen* screen, QWidget* window, const std::string& name) {
    settle();
    const QRect frame = window->frameGeometry();
    const QPixmap shot = screen->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
    const auto file = outputFolder() / (name + ".png");
    EXPECT_TRUE(shot.save(QString::fromStdString(file.string()), "PNG")) << file;
    return file;
}

const std::string longRelay = "relay-for-the-whole-family.eu-central-2.hosting-company-example.morvane.example";

struct FitCase {
    std::string name;
    bool welcome;
    GuideSnapshot snapshot;
    bool openAdvanced;
};

std::vector<FitCase> fitCases() {
    std::vector<FitCase> cases;
    auto first = base();
    first.accessibility = false;
    first.locker = false;
    first.relay = relay_status::NotSetUp{};
    cases.push_back({"welcome-first-run", true, first, false});
    auto done = base();
    done.relay = relay_status::Ready{"owner@example.com"};
    done.devices = 2;
    cases.push_back({"welcome-all-done", true, done, false});
    auto notSetUp = base();
    notSetUp.relay = relay_status::NotSetUp{};
    notSetUp.gate.recentlyControlled = true;
    cases.push_back({"connect-not-set-up", false, notSetUp, false});
    auto noRelay = notSetUp;
    noRelay.address.clear();
    noRelay.localAddress = "http://127.0.0.1:8722";
    noRelay.tailscale = tailscale_facts::On{"desk.tail1234.ts.net"};
    cases.push_back({"connect-no-relay", false, noRelay, false});
    auto ready = base();
    ready.relay = relay_status::Ready{"owner@example.com"};
    ready.tailscale = tailscale_facts::On{"desk.tail1234.ts.net"};
    ready.addedName = "Pat's phone";
    cases.push_back({"connect-ready-advanced", false, ready, true});
    auto longAddress = ready;
    longAddress.address = longRelay;
    longAddress.tailscale = tailscale_facts::On{"a-desktop-with-a-long-name.tail-and-more-words-1234.ts.net"};
    cases.push_back({"connect-long-address", false, longAddress, true});
    return cases;
}

// On a laptop's screen the window lies wholly inside the screen's free
// area, and every button can be scrolled to and clicked: the widget under
// its centre is the button itself. No line is cut off at the right edge,
// and a long address is shortened with its whole text still spoken.
TEST(GuideWindowsOnLaptopScreens, FitTheScreenTheyOpenOnWithEveryButtonReachable) {
    for (const auto& [width, height] : {std::pair{1280, 720}, std::pair{1366, 768}}) {
        QScreen* screen = screenOfSize(width, height);
        ASSERT_TRUE(screen) << width << "x" << height << " is not a screen of this run";
        const QRect area = screen->availableGeometry();
        for (const auto& c : fitCases()) {
            const std::string size = std::to_string(width) + "x" + std::to_string(height);
            SCOPED_TRACE(c.name + " at " + size);
            Rig rig(c.snapshot, c.welcome, [] {}, screen);
            QWidget* w = rig.window.get();
            if (c.openAdvanced) {
                auto* advanced = w->findChild<QToolButton*>();
                ASSERT_TRUE(advanced);
                advanced->click();
                settle();
                EXPECT_TRUE(button(w, GuideTexts::pairDevice)) << "the unfolded section is missing";
            }
            EXPECT_EQ(w->screen(), screen);
            EXPECT_TRUE(area.contains(w->frameGeometry()))
                << "window " << w->frameGeometry().x() << "," << w->frameGeometry().y() << " "
                << w->frameGeometry().width() << "x" << w->frameGeometry().height();
            auto* scroll = w->findChild<QScrollArea*>();
            ASSERT_TRUE(scroll);
            EXPECT_LE(scroll->widget()->minimumSizeHint().width(), scroll->viewport()->width())
                << "the content is wider than the window";
            scroll->verticalScrollBar()->setValue(0);
            shotOn(screen, w, c.name + "-" + size);
            if (scroll->verticalScrollBar()->isVisible()) {
                scroll->verticalScrollBar()->setValue(scroll->verticalScrollBar()->maximum());
                shotOn(screen, w, c.name + "-" + size + "-scrolled");
            }

            int buttons = 0;
            for (auto* b : w->findChildren<QAbstractButton*>()) {
                if (!b->isVisibleTo(w)) continue;
                ++buttons;
                scroll->ensureWidgetVisible(b, 0, 0);
                settle(20);
                const QPoint centre = b->mapTo(w, b->rect().center());
                QWidget* hit = w->childAt(centre);
                EXPECT_TRUE(hit == b || (hit && b->isAncestorOf(hit)))
                    << "\"" << b->text().toStdString() << "\" cannot be clicked";
                EXPECT_TRUE(w->rect().contains(QRect(b->mapTo(w, QPoint()), b->size())))
                    << "\"" << b->text().toStdString() << "\" sticks out of the window";
            }
            EXPECT_GE(buttons, 2);
            for (auto* l : w->findChildren<QLabel*>()) {
                if (!l->isVisibleTo(w) || l->wordWrap() || !l->pixmap().isNull()) continue;
                EXPECT_LE(l->sizeHint().width(), l->width()) << "cut off: " << l->text().toStdString();
                EXPECT_LE(l->mapTo(w, QPoint()).x() + l->width(), w->width()) << l->text().toStdString();
            }
            if (c.snapshot.address == longRelay) {
                QLabel* address = nullptr;
                for (auto* l : w->findChildren<QLabel*>())
                    if (l->accessibleName() == QString::fromStdString("https://" + longRelay)) address = l;
                ASSERT_TRUE(address) << "the long address is not spoken whole";
                EXPECT_NE(address->text(), address->accessibleName());
                EXPECT_TRUE(address->text().contains(QChar(0x2026)));
                EXPECT_EQ(address->toolTip(), address->accessibleName());
                // Copying still hands out the whole address.
                auto* copy = button(w, GuideTexts::copy);
                ASSERT_TRUE(copy);
                copy->click();
                EXPECT_EQ(rig.performed.back(), GuideAction::copy("https://" + longRelay));
            }
            rig.window->hide();
        }
    }
}

// Under a real window manager with a panel at the top, the window with its
// frame fits the work area the window manager reports, on each laptop
// screen, whatever the window manager does with the place asked for.
TEST(GuideWindowsOnLaptopScreens, FitTheWorkAreaOfAWindowManagerWithAPanel) {
    int windows = 0;
    int framedWindows = 0;
    // Qt asks the primary screen's window manager what it supports: one
    // manages that screen too, for the whole test.
    testing::Openbox primary;
    ASSERT_TRUE(primary.running()) << "openbox is missing: run scripts/setup";
    for (const auto& [width, height, number] : {std::tuple{1280, 720, 1}, std::tuple{1366, 768, 2}}) {
        QScreen* screen = screenOfSize(width, height);
        ASSERT_TRUE(screen);
        const std::string display = std::string(std::getenv("DISPLAY")) + "." + std::to_string(number);
        testing::Openbox openbox(display);
        ASSERT_TRUE(openbox.running()) << "openbox is missing: run scripts/setup";
        // A loaded machine starts them slowly.
        std::optional<testing::Trayer> trayer;
        EXPECT_EQ(testing::startPanel(trayer, openbox, display, [&] {
            QElapsedTimer waited;
            waited.start();
            while (screen->availableGeometry().top() == 0 && waited.elapsed() < 8'000) settle(50);
            return screen->availableGeometry().top() > 0;
        }), "");
        const QRect area = screen->availableGeometry();
        ASSERT_GT(area.top(), 0);
        const QFont usual = QApplication::font();
        // The desktop's usual font sizes: at the larger one the windows
        // are taller than the work area and scroll.
        for (int points : {9, 11})
        for (const auto& c : fitCases()) {
            QFont font = usual;
            font.setPointSize(points);
            QApplication::setFont(font);
            const std::string size = std::to_string(width) + "x" + std::to_string(height);
            SCOPED_TRACE(c.name + " at " + size + " under openbox, " + std::to_string(points) + " pt");
            Rig rig(c.snapshot, c.welcome, [] {}, screen);
            QWidget* w = rig.window.get();
            // Framed, placed and sized by the window manager by now.
            QElapsedTimer framed;
            framed.start();
            while (w->frameGeometry() == w->geometry() && framed.elapsed() < 3000) settle(50);
            settle(300);
            const QRect frame = w->frameGeometry();
            framedWindows += frame != w->geometry();
            ++windows;
            EXPECT_TRUE(area.contains(frame)) << "window " << frame.x() << "," << frame.y() << " " << frame.width()
                                              << "x" << frame.height() << " in " << area.y() << "+" << area.height();
            shotOn(screen, w, c.name + "-" + size + "-openbox-" + std::to_string(points));
            rig.window->hide();
        }
        QApplication::setFont(usual);
    }
    // The window manager's frames were known, so the test measured them.
    EXPECT_GE(framedWindows * 4, windows * 3);
}

// A window opened on a tall screen shows everything without scrolling.
TEST(GuideWindowsOnLaptopScreens, NothingScrollsWhereTheScreenIsTallEnough) {
    for (bool welcome : {true, false}) {
        auto s = base();
        s.relay = relay_status::NotSetUp{};
        Rig rig(s, welcome, [] {}, QGuiApplication::primaryScreen());
        auto* scroll = rig.window->findChild<QScrollArea*>();
        ASSERT_TRUE(scroll);
        EXPECT_FALSE(scroll->verticalScrollBar()->isVisible()) << (welcome ? "welcome" : "connect");
        EXPECT_GE(scroll->widget()->height(), scroll->widget()->heightForWidth(scroll->viewport()->width()));
    }
}

TEST(WelcomeWindow, QuittingTheApplicationIsNotTheOwnerClosingTheWindow) {
    auto s = base();
    Rig rig(s, true);
    ASSERT_TRUE(rig.window->isVisible());
    QTimer::singleShot(0, [] { QApplication::quit(); });
    QApplication::exec();
    EXPECT_EQ(rig.closes, 0);

    // Shown again, closing it is the owner's close once more.
    rig.panel->show();
    settle();
    press(rig.window.get(), Qt::Key_Escape);
    EXPECT_EQ(rig.closes, 1);
}

}  // namespace
}  // namespace morvane

int main(int argc, char** argv) {
    return morvane::testing::runQtTestsUnderXvfb(argc, argv, {"1280x1024x24", "1280x720x24", "1366x768x24"});
}
