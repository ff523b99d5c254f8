// Every way a person leaves one of the owner's alerts, under a real window
// manager: the last button, Escape, Alt+F4, the window's × and a quit of the
// program all answer what the last button answers, whatever the number of
// buttons, and nothing else.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QTimer>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/tray_qt.h"
#include "core/loop_executor.h"
#include "relay/relay_http.h"
#include "../relay/relay_controller_rig.h"
#include "../support/desktop_panel.h"

// Last: Xlib's macros clash with what came before.
#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <X11/extensions/XTest.h>

namespace morvane {
namespace {

QMessageBox* shownAlert() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) return box;
    return nullptr;
}

// Says `what` to this display on a connection of its own, and waits until
// the server has it.
void toTheDisplay(const std::function<void(Display*)>& what) {
    Display* d = XOpenDisplay(nullptr);
    if (!d) return;
    what(d);
    XSync(d, False);
    XCloseDisplay(d);
}

// Keys as a keyboard of this display types them into `window` (pressed in
// order, let go in reverse), if the window has the keyboard; answers whether
// it had. The server is held from the look to the last key: on a loaded
// machine the window manager, still settling the last alert's going, can
// move the keyboard away after the window got it, and keys typed then are
// lost where no one reads them, which no person would take for the alert's
// answer.
bool typeChordInto(QWidget* window, const std::vector<KeySym>& keys) {
    bool had = false;
    toTheDisplay([&](Display* d) {
        XGrabServer(d);
        Window focus = None;
        int revert = 0;
        XGetInputFocus(d, &focus, &revert);
        had = focus == static_cast<Window>(window->winId());
        if (had) {
            for (KeySym k : keys) XTestFakeKeyEvent(d, XKeysymToKeycode(d, k), True, CurrentTime);
            for (auto k = keys.rbegin(); k != keys.rend(); ++k)
                XTestFakeKeyEvent(d, XKeysymToKeycode(d, *k), False, CurrentTime);
            // The keys are delivered before the window manager runs again.
            XSync(d, False);
        }
        XUngrabServer(d);
    });
    return had;
}

// The keyboard to the window, as a click on it gives it. The window
// manager keeps a window that asks for it from taking it from the keys
// typed just before (the last case's).
void giveKeyboard(QWidget* window) {
    toTheDisplay([&](Display* d) { XSetInputFocus(d, static_cast<Window>(window->winId()), RevertToParent, CurrentTime); });
}

// What the window manager sends for its × button.
void pressTheWindowsCross(QWidget* window) {
    toTheDisplay([&](Display* d) {
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = static_cast<Window>(window->winId());
        event.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
        event.xclient.format = 32;
        event.xclient.data.l[0] = static_cast<long>(XInternAtom(d, "WM_DELETE_WINDOW", False));
        event.xclient.data.l[1] = CurrentTime;
        XSendEvent(d, event.xclient.window, False, NoEventMask, &event);
    });
}

enum class Way { lastButton, escape, altF4, cross, quit };

std::string nameOf(Way way) {
    static const char* const names[] = {"the last button", "Escape", "Alt+F4", "the window's ×", "a quit"};
    return names[static_cast<int>(way)];
}

// The tray under a real window manager, its menu empty.
class TrayAlertExits : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(openbox.running()) << "openbox is missing: run scripts/setup"; }
    testing::Openbox openbox;
    LoopExecutor background{"background"};
    TrayUi ui{[] { return std::vector<MenuItem>{}; }, [](MenuAction, const std::string&) {}, nullptr, background};
};

// Runs the alert and leaves it by `way` once it is up (and, for a key, once
// the keys go to it), from the loop the alert runs; a way that does not
// work is ended by an abort after ten seconds and makes `stuck` true. A
// quit is made inside the application's loop, as the host's quit runs.
ModalResponse runAndLeave(TrayUi& ui, const AlertText& alert, Way way, bool& stuck) {
    ModalResponse answer = ModalResponse::abort;
    QElapsedTimer waited;
    waited.start();
    bool taken = false;
    QTimer step;
    step.setInterval(50);
    QObject::connect(&step, &QTimer::timeout, [&] {
        QMessageBox* box = shownAlert();
        if (waited.elapsed() > 10'000) {
            stuck = true;
            step.stop();
            ui.abortAlert();
            if (way == Way::quit) QCoreApplication::exit(1);
            return;
        }
        if (taken || !box) return;
        if (way == Way::escape || way == Way::altF4) {
            const std::vector<KeySym> chord = way == Way::escape ? std::vector<KeySym>{XK_Escape}
                                                                 : std::vector<KeySym>{XK_Alt_L, XK_F4};
            taken = QApplication::activeWindow() == box && typeChordInto(box, chord);
            if (!taken) giveKeyboard(box);
            return;
        }
        taken = true;
        if (way == Way::lastButton)
            for (QAbstractButton* b : box->buttons())
                if (b->text().toStdString() == alert.buttons.back()) b->click();
        if (way == Way::cross) pressTheWindowsCross(box);
        if (way == Way::quit) QApplication::quit();
    });
    step.start();
    if (way != Way::quit) return ui.runModal(alert);
    QTimer::singleShot(0, [&] { answer = ui.runModal(alert); });
    EXPECT_EQ(QApplication::exec(), 0) << "the quit was refused";
    return answer;
}

TEST_F(TrayAlertExits, CancelEscapeTheCrossAndAQuitAnswerTheLastButtonAndNothingElse) {
    struct Shape {
        AlertText alert;
        ModalResponse last;
    };
    AlertText code{"Enter the code from the e-mail", "We sent a code to anna@example.com.",
                   {"Sign In", "Send a New Code", "Cancel"}};
    code.field = AlertField{"", "6 digits", "Sign-in code"};
    const std::vector<Shape> shapes = {
        {{"Sending the code…", "This takes a few seconds.", {"Cancel"}}, ModalResponse::firstButton},
        {{"Code: 123 456", "“Phone” wants to control this computer.", {"Approve", "Cancel"}, false},
         ModalResponse::secondButton},
        {code, ModalResponse::thirdButton},
    };
    // The quit comes last: once a quit went through, Qt activates no window.
    for (Way way : {Way::lastButton, Way::escape, Way::altF4, Way::cross, Way::quit})
        for (const auto& shape : shapes) {
            SCOPED_TRACE(shape.alert.message + ", left by " + nameOf(way));
            bool stuck = false;
            const ModalResponse answer = runAndLeave(ui, shape.alert, way, stuck);
            EXPECT_FALSE(stuck) << "the alert stayed open";
            EXPECT_EQ(answer, stuck ? ModalResponse::abort : shape.last);
            EXPECT_EQ(shownAlert(), nullptr);
        }
}

// Answers every account call with {"ok":true}, counting them by path.
class CountingAccountHttp final : public RelayHttpTransport {
public:
    struct Task final : RelayHttpTask {
        void cancel() override {}
    };
    std::shared_ptr<RelayHttpTask> post(RelayHttpRequest request, std::function<void(RelayHttpAnswer)> done) override {
        ++calls[request.target];
        const std::string ok = R"({"ok":true})";
        done({RelayHttpAnswer::Kind::answered, 200, Bytes(ok.begin(), ok.end()), {}});
        return std::make_shared<Task>();
    }
    std::map<std::string, int> calls;
};

// The relay's sign-in with its code window drawn by the tray: the owner
// leaves it by its Cancel, Escape or the window's ×, five times each, and
// the relay is asked for one code each time, the one the sign-in sent.
TEST_F(TrayAlertExits, LeavingTheRelaysCodeWindowAsksForNoNewCode) {
    for (Way way : {Way::lastButton, Way::escape, Way::cross})
        for (int round = 1; round <= 5; ++round) {
            SCOPED_TRACE(nameOf(way) + ", round " + std::to_string(round));
            auto http = std::make_shared<CountingAccountHttp>();
            testing::ControllerRig rig(true, std::nullopt, [http](const std::string& origin) {
                return RelayAccount::create(origin, http, [] { return testing::ControllerRig::noon; });
            });
            bool stuck = false;
            int windows = 0;
            rig.answer = [&](const RelayAlert& alert, std::function<bool()>) {
                if (alert.message == "Sign in to the relay") {
                    rig.typed = "owner@example.com";
                    return RelayResponse::first;
                }
                // The window again means the way out asked for a new code:
                // said below, and not taken again.
                if (alert.message != "Enter the code from the e-mail" || ++windows > 1) return RelayResponse::abort;
                AlertText shown{alert.message, alert.informative, alert.buttons, alert.firstIsDefault};
                if (alert.field)
                    shown.field = AlertField{alert.field->text, alert.field->placeholder, alert.field->accessibilityLabel};
                const int answer = static_cast<int>(runAndLeave(ui, shown, way, stuck));
                rig.typed = ui.fieldText();
                return answer;
            };
            rig.controller->start();
            rig.controller->perform("setUp");
            EXPECT_FALSE(stuck) << "the code window stayed open";
            EXPECT_EQ(windows, 1);
            EXPECT_EQ(http->calls["/v1/auth/code"], 1);
            EXPECT_EQ(http->calls["/v1/auth/verify"], 0);
            EXPECT_FALSE(rig.controller->flowBusy());
            EXPECT_EQ(shownAlert(), nullptr);
        }
}

}  // namespace
}  // namespace morvane
