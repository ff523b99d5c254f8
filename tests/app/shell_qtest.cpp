// The Qt layer under a private X server: the main queue, the menu as drawn,
// the alert runner and the password prompt.
#include <unistd.h>

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QWidgetAction>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <thread>

#include "app/main_queue_qt.h"
#include "app/password_prompt_qt.h"
#include "app/tray_qt.h"
#include "core/loop_executor.h"
#include "manual_executor.h"
#include "../support/qt_xvfb_main.h"

namespace morvane {
namespace {

// Runs the event loop until `done` or the limit passes.
bool spinUntil(const std::function<bool()>& done, int limitMillis = 15'000) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < limitMillis) QApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

TEST(QtMainQueue, RunsPostedWorkInOrderOnTheMainThreadFromAnyThread) {
    QtMainQueue queue;
    EXPECT_TRUE(queue.isCurrent());
    std::vector<int> order;
    std::atomic<bool> otherThreadSaysCurrent{true};
    queue.post([&] { order.push_back(1); });
    QElapsedTimer clock;
    clock.start();
    qint64 ranAfter = -1;
    queue.postAfter(50, [&] {
        ranAfter = clock.elapsed();
        order.push_back(3);
    });
    std::thread([&] {
        otherThreadSaysCurrent = queue.isCurrent();
        queue.post([&] { order.push_back(2); });
    }).join();
    EXPECT_FALSE(otherThreadSaysCurrent);
    ASSERT_TRUE(spinUntil([&] { return order.size() == 3; }));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_GE(ranAfter, 50);  // never early

    // A longer delay is not cut short either (coarse timers may be 5 % early).
    bool ran = false;
    clock.restart();
    queue.postAfter(2'000, [&] {
        ranAfter = clock.elapsed();
        ran = true;
    });
    ASSERT_TRUE(spinUntil([&] { return ran; }, 15'000));
    EXPECT_GE(ranAfter, 2'000);
}

TEST(QtMainQueue, AClosedQueueDropsWhatIsPostedLate) {
    QtMainQueue queue;
    int ran = 0;
    queue.post([&] { ++ran; });  // queued before the close: dropped with it
    queue.postAfter(10, [&] { ++ran; });
    queue.close();
    std::thread([&] { queue.post([&] { ++ran; }); }).join();
    spinUntil([] { return false; }, 100);
    EXPECT_EQ(ran, 0);
    EXPECT_FALSE(queue.isCurrent());
}

TEST(TrayMenu, IsRebuiltAtEveryOpeningAndRunsTheChosenAction) {
    int builds = 0;
    std::vector<std::pair<MenuAction, std::string>> performed;
    LoopExecutor background("background");
    TrayUi ui(
        [&] {
            ++builds;
            std::vector<MenuItem> items;
            items.push_back(MenuItem::line(builds == 1 ? "Ready" : "Controlled by iPad"));
            items.push_back(MenuItem::warning("Paired devices could not be read"));
            items.push_back(MenuItem::separator());
            MenuItem devices = MenuItem::command("Devices", MenuAction::none);
            MenuItem revoke = MenuItem::command("Revoke", MenuAction::revokeDevice);
            revoke.payload = "id-7";
            devices.submenu.push_back(revoke);
            items.push_back(devices);
            MenuItem lock = MenuItem::command("Lock Computer When the Controller Disconnects",
                                              MenuAction::toggleLockOnDisconnect, false);
            lock.check = MenuItem::Check::on;
            items.push_back(lock);
            items.push_back(MenuItem::command("Pause Morvane", MenuAction::pauseMorvane));
            return items;
        },
        [&](MenuAction a, const std::string& payload) { performed.emplace_back(a, payload); }, nullptr, background);
    ui.start();  // no tray on a bare X server: the status window offers the menu
    EXPECT_FALSE(ui.usesTray());
    // Room for a window manager's title bar to show "Morvane" whole beside
    // its buttons.
    ASSERT_TRUE(ui.statusWindow());
    EXPECT_GE(ui.statusWindow()->width(), ui.statusWindow()->fontMetrics().horizontalAdvance("Morvane") + 160);
    QMenu* menu = ui.menu();
    menu->popup(QPoint(10, 10));
    ASSERT_TRUE(spinUntil([&] { return menu->isVisible(); }));
    auto actions = menu->actions();
    ASSERT_EQ(actions.size(), 6);
    EXPECT_EQ(actions[0]->text(), "Ready");
    EXPECT_FALSE(actions[0]->isEnabled());
    auto* warning = qobject_cast<QWidgetAction*>(actions[1]);
    ASSERT_NE(warning, nullptr);
    EXPECT_FALSE(warning->isEnabled());
    EXPECT_NE(static_cast<QLabel*>(warning->defaultWidget())->styleSheet().indexOf("#d42a2a"), -1);
    EXPECT_TRUE(actions[2]->isSeparator());
    ASSERT_NE(actions[3]->menu(), nullptr);
    EXPECT_TRUE(actions[4]->isChecked());
    EXPECT_FALSE(actions[4]->isEnabled());
    actions[3]->menu()->actions()[0]->trigger();
    actions[5]->trigger();
    menu->hide();
    ASSERT_TRUE(spinUntil([&] { return performed.size() == 2; }));
    EXPECT_EQ(performed[0], (std::pair<MenuAction, std::string>{MenuAction::revokeDevice, "id-7"}));
    EXPECT_EQ(performed[1].first, MenuAction::pauseMorvane);

    menu->popup(QPoint(10, 10));
    ASSERT_TRUE(spinUntil([&] { return menu->isVisible(); }));
    EXPECT_EQ(menu->actions()[0]->text(), "Controlled by iPad");
    menu->hide();
}

struct NoOwnerPrompt final : OwnerPrompt {
    void ask(const std::string&, std::function<void(bool)> done) override { done(false); }
    void cancel() override {}
};

TEST(TrayIcon, ThePairedMarkGoesAwayByItselfAfterSixSeconds) {
    QtMainQueue queue;
    LoopExecutor background("background");
    NoOwnerPrompt prompt;
    std::unique_ptr<TrayUi> ui;
    std::shared_ptr<Shell> shell;
    ui = std::make_unique<TrayUi>([&] { return shell->menu(); }, [](MenuAction, const std::string&) {}, nullptr,
                                  background);
    ShellDeps deps;
    deps.main = &queue;
    deps.ui = ui.get();
    deps.prompt = &prompt;
    shell = Shell::create(std::move(deps));
    ui->start();
    shell->updateIcon();
    EXPECT_EQ(ui->icon().symbol, "display");
    QElapsedTimer clock;
    clock.start();
    shell->pairAttempted(false, std::string("Firefox"), false);
    EXPECT_EQ(ui->icon().symbol, "checkmark.circle");
    // The time is read after the icon, so a mark seen gone before six
    // seconds went early, however slowly this machine runs the loop.
    qint64 goneAfter = -1;
    spinUntil(
        [&] {
            const bool gone = ui->icon().symbol == "display";
            if (gone && goneAfter < 0) goneAfter = clock.elapsed();
            return gone;
        },
        20'000);
    EXPECT_GE(goneAfter, 6'000) << "the mark did not stay six seconds (-1: it never went)";
}

TEST(TrayAlerts, AButtonOrAnAbortEndsTheModalAlert) {
    LoopExecutor background("background");
    TrayUi ui([] { return std::vector<MenuItem>{}; }, [](MenuAction, const std::string&) {}, nullptr, background);
    const AlertText alert{"Revoke all paired devices?", "Every device will have to be paired again before it can connect.",
                          {"Revoke All", "Cancel"}};
    QTimer::singleShot(100, [] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) {
                EXPECT_EQ(box->text(), "Revoke all paired devices?");
                for (auto* b : box->buttons())
                    if (b->text() == "Revoke All") b->click();
            }
    });
    EXPECT_EQ(ui.runModal(alert), ModalResponse::firstButton);
    QTimer::singleShot(100, [&] { ui.abortAlert(); });
    EXPECT_EQ(ui.runModal(alert), ModalResponse::abort);
    QTimer::singleShot(100, [] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible())
                for (auto* b : box->buttons())
                    if (b->text() == "Cancel") b->click();
    });
    EXPECT_EQ(ui.runModal(alert), ModalResponse::secondButton);
}

TEST(TrayAlerts, TextsArePlainAndTheFieldIsReadBackAndReturnNeedNotApprove) {
    LoopExecutor background("background");
    TrayUi ui([] { return std::vector<MenuItem>{}; }, [](MenuAction, const std::string&) {}, nullptr, background);
    AlertText alert{"Code: 123 456", "\u201C<b>Phone</b>\u201D wants to control this Mac.", {"Approve", "Cancel"}};
    alert.firstIsDefault = false;
    alert.field = AlertField{"<i>typed</i>", "6 digits", "Sign-in code"};
    QTimer::singleShot(100, [] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(w);
            if (!box || !box->isVisible()) continue;
            EXPECT_EQ(box->textFormat(), Qt::PlainText);
            auto* informative = box->findChild<QLabel*>("qt_msgbox_informativelabel");
            ASSERT_TRUE(informative);
            EXPECT_EQ(informative->textFormat(), Qt::PlainText);
            EXPECT_EQ(box->defaultButton()->text(), "Cancel");
            auto* field = box->findChild<QLineEdit*>();
            ASSERT_TRUE(field);
            EXPECT_EQ(field->text(), "<i>typed</i>");
            EXPECT_EQ(field->placeholderText(), "6 digits");
            // Typing comes first: the field lies above every button.
            for (auto* b : box->buttons())
                EXPECT_LT(field->mapTo(box, QPoint(0, field->height())).y(), b->mapTo(box, QPoint()).y())
                    << b->text().toStdString();
            field->setText("654 321");
            for (auto* b : box->buttons())
                if (b->text() == "Approve") b->click();
        }
    });
    EXPECT_EQ(ui.runModal(alert), ModalResponse::firstButton);
    EXPECT_EQ(ui.fieldText(), "654 321");
}

// The chooser of files to send opens in Downloads, or the home folder
// without one, wherever the host was started.
TEST(TrayAlerts, TheFileChooserStartsInDownloadsOrHome) {
    LoopExecutor background("background");
    TrayUi ui([] { return std::vector<MenuItem>{}; }, [](MenuAction, const std::string&) {}, nullptr, background);
    const auto home = std::filesystem::temp_directory_path() / ("chooser-home-" + std::to_string(::getpid()));
    const auto elsewhere = home / "checkout";
    std::filesystem::create_directories(elsewhere);
    const std::string oldHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    const char* oldConfig = std::getenv("XDG_CONFIG_HOME");
    const std::string oldConfigValue = oldConfig ? oldConfig : "";
    const auto oldCwd = std::filesystem::current_path();
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
    std::filesystem::current_path(elsewhere);
    for (const bool withDownloads : {true, false}) {
        if (withDownloads)
            std::filesystem::create_directories(home / "Downloads");
        else
            std::filesystem::remove_all(home / "Downloads");
        QString shown;
        QTimer::singleShot(0, [&shown] {
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* d = qobject_cast<QFileDialog*>(w); d && d->isVisible()) {
                    shown = d->directory().absolutePath();
                    d->reject();
                }
        });
        EXPECT_TRUE(ui.chooseFiles().empty());
        const auto expected = withDownloads ? home / "Downloads" : home;
        EXPECT_EQ(shown.toStdString(), expected.string());
    }
    std::filesystem::current_path(oldCwd);
    setenv("HOME", oldHome.c_str(), 1);
    if (oldConfig)
        setenv("XDG_CONFIG_HOME", oldConfigValue.c_str(), 1);
    else
        unsetenv("XDG_CONFIG_HOME");
    std::filesystem::remove_all(home);
}

QDialog* visiblePrompt() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* d = qobject_cast<QDialog*>(w); d && d->isVisible() && d->findChild<QLineEdit*>("password")) return d;
    return nullptr;
}

TEST(PasswordPrompt, ChecksTheTypedPasswordOffTheMainThreadAndAnswersOnce) {
    QtMainQueue queue;
    LoopExecutor background("background");
    std::atomic<bool> checkedOnMain{true};
    std::string seenPassword;
    PasswordPrompt prompt(queue, background, [&](const std::string& user, const std::string& password) {
        checkedOnMain = queue.isCurrent();
        seenPassword = password;
        EXPECT_FALSE(user.empty());
        return password == "right horse";
    });
    std::vector<bool> answers;
    prompt.ask("show a pairing code for a new device", [&](bool ok) { answers.push_back(ok); });
    ASSERT_TRUE(spinUntil([] { return visiblePrompt() != nullptr; }));
    QDialog* dialog = visiblePrompt();
    bool reasonShown = false;
    for (auto* label : dialog->findChildren<QLabel*>())
        reasonShown |= label->text().contains("show a pairing code for a new device");
    EXPECT_TRUE(reasonShown);
    dialog->findChild<QLineEdit*>("password")->setText("right horse");
    dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
    ASSERT_TRUE(spinUntil([&] { return answers.size() == 1; }));
    EXPECT_TRUE(answers[0]);
    EXPECT_FALSE(checkedOnMain);
    EXPECT_EQ(seenPassword, "right horse");

    // Cancel and a wrong password both fail.
    prompt.ask("resume", [&](bool ok) { answers.push_back(ok); });
    ASSERT_TRUE(spinUntil([] { return visiblePrompt() != nullptr; }));
    visiblePrompt()->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Cancel)->click();
    ASSERT_TRUE(spinUntil([&] { return answers.size() == 2; }));
    EXPECT_FALSE(answers[1]);
    // A wrong password keeps the dialog up with the retry text; the third
    // wrong one fails.
    prompt.ask("resume", [&](bool ok) { answers.push_back(ok); });
    ASSERT_TRUE(spinUntil([] { return visiblePrompt() != nullptr; }));
    QDialog* asking = visiblePrompt();
    for (int attempt = 1; attempt <= PasswordPrompt::maxTries; ++attempt) {
        SCOPED_TRACE(attempt);
        ASSERT_TRUE(spinUntil([&] { return asking->findChild<QLineEdit*>("password")->isEnabled(); }));
        asking->findChild<QLineEdit*>("password")->setText("wrong");
        asking->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
        if (attempt == PasswordPrompt::maxTries) break;
        ASSERT_TRUE(spinUntil([&] { return asking->findChild<QLabel*>("wrong")->isVisible(); }));
        EXPECT_EQ(asking->findChild<QLabel*>("wrong")->text(), "Wrong password");
        EXPECT_EQ(answers.size(), 2u) << "a wrong password answered before the last try";
    }
    ASSERT_TRUE(spinUntil([&] { return answers.size() == 3; }));
    EXPECT_FALSE(answers[2]);
    EXPECT_EQ(visiblePrompt(), nullptr);

    // A right password after a wrong one is accepted.
    prompt.ask("resume", [&](bool ok) { answers.push_back(ok); });
    ASSERT_TRUE(spinUntil([] { return visiblePrompt() != nullptr; }));
    asking = visiblePrompt();
    asking->findChild<QLineEdit*>("password")->setText("wrong");
    asking->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
    ASSERT_TRUE(spinUntil([&] { return asking->findChild<QLabel*>("wrong")->isVisible(); }));
    ASSERT_TRUE(spinUntil([&] { return asking->findChild<QLineEdit*>("password")->isEnabled(); }));
    asking->findChild<QLineEdit*>("password")->setText("right horse");
    asking->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
    ASSERT_TRUE(spinUntil([&] { return answers.size() == 4; }));
    EXPECT_TRUE(answers[3]);

    // A device connecting cancels the prompt that is up: one "failed" answer.
    prompt.ask("resume", [&](bool ok) { answers.push_back(ok); });
    ASSERT_TRUE(spinUntil([] { return visiblePrompt() != nullptr; }));
    prompt.cancel();
    spinUntil([] { return false; }, 200);
    EXPECT_EQ(answers.size(), 5u);
    EXPECT_FALSE(answers[4]);
    EXPECT_EQ(visiblePrompt(), nullptr);
}

// A screenshot of the X display around the dialog, as the owner sees it,
// kept in the test's folder for looking at.
void screenshot(QWidget* window, const std::string& name) {
    spinUntil([] { return false; }, 100);
    const auto folder = std::filesystem::current_path() / "prompt-screenshots";
    std::filesystem::create_directories(folder);
    const QRect frame = window->frameGeometry().adjusted(-8, -8, 8, 8);
    const QPixmap shot =
        QGuiApplication::primaryScreen()->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
    const auto file = folder / (name + ".png");
    EXPECT_TRUE(shot.save(QString::fromStdString(file.string()), "PNG")) << file;
}

// Every label that shows is wholly inside the dialog and as tall as its
// text needs at its width: nothing is cut.
void expectNothingClipped(QDialog* dialog) {
    for (auto* label : dialog->findChildren<QLabel*>()) {
        if (!label->isVisible()) continue;
        SCOPED_TRACE(label->text().toStdString());
        EXPECT_TRUE(dialog->rect().contains(label->geometry()));
        const int needed = label->wordWrap() ? label->heightForWidth(label->width()) : label->sizeHint().height();
        EXPECT_GE(label->height(), needed);
    }
}

TEST(PasswordPrompt, WrongPasswordsAreReportedAndTheThirdIsShownBeforeTheDialogCloses) {
    testing::ManualExecutor main;
    testing::ManualExecutor background;
    PasswordPrompt prompt(main, background, [](const std::string&, const std::string& password) {
        return password == "right horse";
    });
    std::vector<std::string> events;
    prompt.report = [&](OwnerPrompt::Event event, int tries) {
        events.push_back(std::string(event == OwnerPrompt::Event::wrongPassword ? "wrong "
                                     : event == OwnerPrompt::Event::triesUsedUp ? "used up "
                                                                                : "cancelled ") +
                         std::to_string(tries));
    };
    std::vector<bool> answers;
    const auto turn = [&] {
        background.runAll();
        main.runAll();
        spinUntil([] { return false; }, 50);
    };
    prompt.ask("turn on the relay", [&](bool ok) { answers.push_back(ok); });
    ASSERT_TRUE(spinUntil([] { return visiblePrompt() != nullptr; }));
    QDialog* dialog = visiblePrompt();
    screenshot(dialog, "asking");
    expectNothingClipped(dialog);
    const int firstHeight = dialog->height();
    auto* wrong = dialog->findChild<QLabel*>("wrong");
    for (int attempt = 1; attempt <= PasswordPrompt::maxTries; ++attempt) {
        SCOPED_TRACE(attempt);
        dialog->findChild<QLineEdit*>("password")->setText("wrong");
        dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
        turn();
        ASSERT_TRUE(wrong->isVisible());
        expectNothingClipped(dialog);
        if (attempt < PasswordPrompt::maxTries) {
            EXPECT_EQ(wrong->text(), PasswordPrompt::wrongPasswordText);
            if (attempt == 1) screenshot(dialog, "wrong-password");
        }
    }
    // The dialog grew to show the line and, after the third, says so and
    // stays up a moment with nothing to press.
    EXPECT_GT(dialog->height(), firstHeight);
    EXPECT_EQ(wrong->text(), PasswordPrompt::triesUsedUpText);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_FALSE(dialog->findChild<QDialogButtonBox*>()->isEnabled());
    EXPECT_TRUE(answers.empty());
    screenshot(dialog, "three-wrong-passwords");
    main.advance(PasswordPrompt::triesUsedUpMillis);
    ASSERT_TRUE(spinUntil([] { return visiblePrompt() == nullptr; }));
    EXPECT_EQ(answers, std::vector<bool>{false});
    EXPECT_EQ(events, (std::vector<std::string>{"wrong 1", "wrong 2", "used up 3"}));

    // Cancel is told apart; a cancel by the host (a device connected) is
    // not the owner's and is not reported as one.
    prompt.ask("resume", [&](bool ok) { answers.push_back(ok); });
    ASSERT_TRUE(spinUntil([] { return visiblePrompt() != nullptr; }));
    visiblePrompt()->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Cancel)->click();
    turn();
    prompt.ask("resume", [&](bool ok) { answers.push_back(ok); });
    ASSERT_TRUE(spinUntil([] { return visiblePrompt() != nullptr; }));
    prompt.cancel();
    turn();
    EXPECT_EQ(answers, (std::vector<bool>{false, false, false}));
    EXPECT_EQ(events, (std::vector<std::string>{"wrong 1", "wrong 2", "used up 3", "cancelled 0"}));
}

TEST(PasswordPrompt, PamRefusesAWrongPasswordAndAnUnknownUser) {
    EXPECT_FALSE(pamCheckPassword("", "anything"));
    EXPECT_FALSE(pamCheckPassword("no-such-user-morvane", "anything"));
    EXPECT_FALSE(pamCheckPassword("root", "surely not the password of root 7c1e"));
}

}  // namespace
}  // namespace morvane

int main(int argc, char** argv) { return morvane::testing::runQtTestsUnderXvfb(argc, argv, "1280x720x24"); }
