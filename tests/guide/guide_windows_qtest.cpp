// The Welcome and Connect windows on a private X server: what they show in
// their main states, screenshots of the display (kept for looking at) and
// the Connect window's code read back from the screenshot by zbarimg.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QToolButton>
#include <cstring>
#include <filesystem>
#include <memory>

#include "../app/manual_executor.h"
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

    explicit Rig(GuideSnapshot s, bool welcome = false, std::function<void()> dontShowAgain = nullptr)
        : current(std::move(s)) {
        panel = GuidePanel::create(
            welcome ? GuideTexts::welcomeWindowTitle : GuideTexts::connectWindowTitle, [this] { return current; },
            [this](const GuideAction& a) { performed.push_back(a); }, &main);
        panel->onClose = [this] { ++closes; };
        window.reset(welcome ? makeWelcomeWindow(panel, std::move(dontShowAgain)) : makeConnectWindow(panel));
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
    EXPECT_TRUE(shows(w, GuideTexts::appLineSoon));
    // Once the relay works the box follows the steps.
    EXPECT_GT(topOf(w, GuideTexts::relayReady), topOf(w, GuideTexts::chooseAddDevice));

    const auto shot = screenshot(w, "connect-ready");
    EXPECT_EQ(testing_tools::zbarimg(shot), "https://relay.morvane.example");

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

int main(int argc, char** argv) { return morvane::testing::runQtTestsUnderXvfb(argc, argv, "1280x1024x24"); }
