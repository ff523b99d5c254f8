#include "app/shell.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "app/counting_input.h"
#include "devices/device_store.h"
#include "devices/file_device_storage.h"
#include "guide/guide_texts.h"
#include "manual_executor.h"

namespace morvane {
namespace {

namespace fs = std::filesystem;

struct FakeServer final : ShellServer {
    void pause(PauseCause) override {
        paused = true;
        ++pauses;
    }
    void resume() override { paused = false; }
    void disconnectController(const std::string& reason) override { disconnects.push_back(reason); }
    void setEffectsAllowed(bool match, bool hide, bool lock) override { effects = {match, hide, lock}; }
    void setLockFacts(bool canLock, bool onDisconnect) override { lockFacts.emplace_back(canLock, onDisconnect); }
    void lockAnswered(std::uint64_t ask, bool locked) override { lockAnswers.emplace_back(ask, locked); }
    EffectsActive effectsActive() const override { return active; }
    bool isPaused() const override { return paused; }
    std::optional<std::string> controllerName() const override { return name; }
    std::optional<ConnectionRoute> controllerRoute() const override { return route; }
    bool controllerViaTailnet() const override { return false; }
    bool paused = false;
    int pauses = 0;
    std::optional<std::string> name;
    std::optional<ConnectionRoute> route = ConnectionRoute::loopback;
    std::vector<std::string> disconnects;
    std::array<bool, 3> effects{};
    EffectsActive active;
    std::vector<std::pair<bool, bool>> lockFacts;
    std::vector<std::pair<std::uint64_t, bool>> lockAnswers;
};

struct FakeUi final : ShellUi {
    explicit FakeUi(testing::ManualExecutor& main) : main(main) {}
    void showIcon(const IconState& icon) override { icons.push_back(icon); }
    ModalResponse runModal(const AlertText& alert) override {
        alerts.push_back(alert);
        aborted = false;
        if (duringAlert) duringAlert(alert);
        // The nested loop: time passes until a button or an abort ends it.
        for (int i = 0; i < 1000 && !aborted; ++i) {
            if (press) return *press;
            main.advance(50);
        }
        return ModalResponse::abort;
    }
    void abortAlert() override { aborted = true; }
    void showNotice(const AlertText& alert) override { notices.push_back(alert); }
    std::vector<fs::path> chooseFiles() override { return chosen; }
    void copyText(const std::string& text) override { copied.push_back(text); }
    void openLocation(const std::string& where) override { opened.push_back(where); }
    void quit() override { ++quits; }

    testing::ManualExecutor& main;
    std::vector<IconState> icons;
    std::vector<AlertText> alerts;
    std::vector<AlertText> notices;
    std::function<void(const AlertText&)> duringAlert;
    std::optional<ModalResponse> press;
    bool aborted = false;
    std::vector<fs::path> chosen;
    std::vector<std::string> copied, opened;
    int quits = 0;
};

struct ShellPrompt final : OwnerPrompt {
    void ask(const std::string& reason, std::function<void(bool)> done) override {
        reasons.push_back(reason);
        if (answer) {
            done(*answer);
        } else {
            pending = std::move(done);
        }
    }
    void cancel() override {
        if (auto d = std::move(pending)) {
            pending = nullptr;
            d(false);
        }
    }
    std::optional<bool> answer = true;
    std::vector<std::string> reasons;
    std::function<void(bool)> pending;
};

// A guide window that counts how often it was brought up and closes
// through its panel like the real one.
struct FakeGuideWindow final : GuideWindow {
    explicit FakeGuideWindow(std::shared_ptr<GuidePanel> p) : panel(std::move(p)) { panel->attach(this); }
    bool isVisible() const override { return visible; }
    void centre() override {}
    void bringToFront() override {
        visible = true;
        ++shown;
    }
    void closeNow() override { performClose(); }
    void performClose() override {
        if (!visible) return;
        visible = false;
        panel->windowWillClose();
    }
    std::shared_ptr<GuidePanel> panel;
    bool visible = false;
    int shown = 0;
    std::function<void()> dontShowAgain;
};

// The device file, with saves and removals that fail on demand (a full or
// read-only disk).
struct FlakyFileStorage final : DeviceStorage {
    explicit FlakyFileStorage(fs::path path) : file(std::move(path)) {}
    std::string summary() const override { return file.summary(); }
    std::optional<Bytes> load() override { return file.load(); }
    void save(std::span<const std::uint8_t> data) override {
        if (saveError) throw DeviceStorageError(*saveError);
        file.save(data);
    }
    void remove() override {
        if (removeError) throw DeviceStorageError(*removeError);
        file.remove();
    }
    FileDeviceStorage file;
    std::optional<std::string> saveError, removeError;
};

struct ShellInputSink final : InputSink {
    void handle(const InputEvent& e) override { events.push_back(e); }
    void releaseEverything() override {}
    std::vector<InputEvent> events;
};

struct WakeBackend final : DisplayWakeBackend {
    void declareActivity(const std::string&) override {}
    bool inhibit(const std::string&) override { return true; }
    void uninhibit() override {}
};

struct Harness {
    fs::path dir = fs::temp_directory_path() / ("shell-test-" + std::to_string(::getpid()) + "-" +
                                                std::to_string(reinterpret_cast<std::uintptr_t>(this)));
    testing::ManualExecutor main;
    FakeServer server;
    FakeUi ui{main};
    ShellPrompt prompt;
    std::shared_ptr<ShellInputSink> injector = std::make_shared<ShellInputSink>();
    CountingInput counted{injector};
    std::vector<std::string> lines;
    std::unique_ptr<SettingsStore> settings;
    std::shared_ptr<FlakyFileStorage> storage;
    std::unique_ptr<DeviceStore> store;
    std::unique_ptr<SessionHistory> history;
    DisplayWake wake{std::make_unique<WakeBackend>()};
    std::unique_ptr<LoginItem> loginItem;
    bool locked = false;
    bool flagOn = false;
    bool flagWrites = true;
    bool restoreOwed = false;
    std::unique_ptr<FakeGuideWindow> welcomeWindow, connectWindow;
    std::optional<ConnectRelayFacts> relayFacts;
    bool relayBusy = false;
    std::vector<std::string> relayCalls;
    bool canInject = true;
    bool lockerAnswers = true;
    bool lockTakes = true;
    int tries = 0;
    std::shared_ptr<Shell> shell;
    int welcomes() const { return welcomeWindow ? welcomeWindow->shown : 0; }

    // `before` prepares the folder before the settings are read.
    explicit Harness(const std::function<void(const fs::path& dir)>& before = {}) {
        fs::create_directories(dir);
        if (before) before(dir);
        settings = std::make_unique<SettingsStore>(dir / "settings.json", nullptr);
        storage = std::make_shared<FlakyFileStorage>(dir / "devices.bin");
        store = std::make_unique<DeviceStore>(storage);
        history = std::make_unique<SessionHistory>(std::nullopt, std::nullopt, nullptr, nullptr,
                                                   [] { return 1'772'359'200'000; });
        loginItem = std::make_unique<LoginItem>(dir / "autostart" / "morvane.desktop", "/usr/bin/morvane-host");
        ShellDeps d;
        d.main = &main;
        d.clock = [this] { return main.now() + 1'000'000; };
        d.log = [this](const std::string& tag, const std::string& text) { lines.push_back(tag + "  " + text); };
        d.settings = settings.get();
        d.store = store.get();
        d.storageSummary = "file " + (dir / "devices.bin").string();
        d.hardened = true;
        d.server = &server;
        d.injector = injector.get();
        d.counted = &counted;
        d.history = history.get();
        d.wake = &wake;
        d.ui = &ui;
        d.prompt = &prompt;
        d.loginItem = loginItem.get();
        d.hideFlagIsOn = [this] { return flagOn; };
        d.hideFlagSet = [this](bool v) {
            if (flagWrites) flagOn = v;
            return flagWrites;
        };
        d.hideFlagRemove = [] { return false; };
        d.lookAtLocker = [this](std::function<void(LockerLook)> answer) {
            answer(LockerLook{lockerAnswers || locked, locked});
        };
        d.tryLock = [this](std::function<void(bool)> done) {
            ++tries;
            done(lockTakes);
        };
        d.receivedRoot = dir / "Received";
        d.outbox = dir / "Received" / "Outbox";
        d.makeGuideWindow = [this](const std::shared_ptr<GuidePanel>& panel, ShellDeps::GuideWindowKind kind,
                                   std::function<void()> dontShowAgain) {
            auto& slot = kind == ShellDeps::GuideWindowKind::welcome ? welcomeWindow : connectWindow;
            slot = std::make_unique<FakeGuideWindow>(panel);
            slot->dontShowAgain = std::move(dontShowAgain);
        };
        d.canInject = [this] { return canInject; };
        d.restoreOwed = [this] { return restoreOwed; };
        shell = Shell::create(std::move(d));
        Shell::RelayHooks relay;
        relay.perform = [this](const std::string& action) { relayCalls.push_back(action); };
        relay.guideFacts = [this] {
            if (relayFacts) return *relayFacts;
            return ConnectRelayFacts{true, true, true, std::nullopt, false, std::nullopt};
        };
        relay.address = [] { return std::string("relay.example"); };
        relay.flowBusy = [this] { return relayBusy; };
        shell->setRelay(std::move(relay));
        shell->loadSettings();
        lines.clear();
    }
    ~Harness() {
        shell.reset();
        fs::remove_all(dir);
    }
    void connect(const std::string& name, const std::string& id) {
        server.name = name;
        shell->controllerChanged(name, id);
        main.runAll();
    }
    void leave() {
        server.name.reset();
        shell->controllerChanged(std::nullopt, std::nullopt);
        main.runAll();
    }
    bool logged(const std::string& line) const { return std::find(lines.begin(), lines.end(), line) != lines.end(); }
};

TEST(Shell, ControlledStretchHoldsTheDisplayLogsStatisticsAndLocksAfterTheGrace) {
    Harness h;
    h.connect("iPad", "dev-1");
    EXPECT_EQ(h.lines, (std::vector<std::string>{
                           "controller  connected: iPad (from this computer)",
                           "permissions  screen-capture=yes input-injection=yes key-watch=yes",
                           "power  display-sleep assertion held",
                       }));
    EXPECT_TRUE(h.wake.held());
    EXPECT_EQ(h.ui.icons.back().symbol, "record.circle.fill");
    h.counted.handle(input::Move{0.1, 0.1});
    h.injector->events.clear();
    h.lines.clear();
    h.main.advance(10'000);
    EXPECT_EQ(h.lines, std::vector<std::string>{"input  move=1"});
    h.main.advance(10'000);
    EXPECT_EQ(h.lines.back(), "input  no events");

    h.lines.clear();
    h.main.advance(2'500);
    h.leave();
    EXPECT_EQ(h.lines, (std::vector<std::string>{"input  no events", "controller  disconnected: iPad after 22 s",
                                                 "power  display-sleep assertion released"}));
    EXPECT_FALSE(h.wake.held());
    EXPECT_TRUE(h.shell->blocked());
    h.lines.clear();
    h.main.advance(4'999);
    EXPECT_TRUE(h.injector->events.empty());
    h.main.advance(1);
    EXPECT_EQ(h.injector->events, std::vector<InputEvent>{input::Lock{}});
    EXPECT_EQ(h.counted.takeSummary(), "");  // the lock is not counted as the controller's input
    h.main.advance(3'000);
    EXPECT_EQ(h.lines, (std::vector<std::string>{"lock  controller left: locking the computer",
                                                 "error  the computer did not lock within 3 s"}));
    // The statistics timer stopped with the session.
    h.lines.clear();
    h.main.advance(30'000);
    EXPECT_TRUE(h.lines.empty());
    EXPECT_FALSE(h.shell->blocked());
}

// The red lines about locking, in the order the menu shows them.
std::vector<std::string> lockWarnings(Shell& shell) {
    std::vector<std::string> out;
    for (const auto& item : shell.menu())
        if (item.kind == MenuItem::Kind::warning && item.title.rfind("The screen could not be locked", 0) == 0)
            out.push_back(item.title);
    return out;
}

TEST(Shell, AScreenThatCannotBeLockedIsLoggedAsAnErrorAndShownInTheMenuTheIconAndTheWelcomeWindow) {
    Harness h;
    const auto iconSymbol = [&h] { return h.ui.icons.empty() ? std::string() : h.ui.icons.back().symbol; };
    // Nothing answered the probe at launch, while locking is on. No lock was
    // tried yet: the menu advises, nothing claims a lock failed.
    h.lockerAnswers = false;
    h.shell->lockerProbed(false);
    EXPECT_EQ(h.lines, std::vector<std::string>{
                           "error  no screen locker answers: the screen cannot be locked when the controller disconnects"});
    EXPECT_TRUE(lockWarnings(*h.shell).empty());
    EXPECT_EQ(iconSymbol(), "display");
    EXPECT_EQ(h.ui.icons.back().tooltip, "Morvane");
    // The Welcome window's row gives the same answer and the menu's advice.
    const auto snapshot = h.shell->guideSnapshot();
    EXPECT_FALSE(snapshot.locker);
    const auto menu = h.shell->menu();
    EXPECT_TRUE(std::any_of(menu.begin(), menu.end(), [](const MenuItem& i) { return i.title == GuideTexts::lockerHint; }));
    const auto stepOne = WelcomeGuide::steps(snapshot).front();
    const auto row = std::find_if(stepOne.rows.begin(), stepOne.rows.end(),
                                  [](const PermissionRow& r) { return r.name == GuideTexts::screenLocker; });
    ASSERT_NE(row, stepOne.rows.end());
    EXPECT_FALSE(row->done);
    ASSERT_TRUE(row->note);
    EXPECT_NE(row->note->find(GuideTexts::lockerHint), std::string::npos) << *row->note;

    // A lock after a disconnect that did not take is shown too, and a lock
    // that does take clears it.
    h.connect("iPad", "dev-1");
    h.leave();
    h.main.advance(5'000);
    h.main.advance(3'000);
    EXPECT_TRUE(h.logged("error  the computer did not lock within 3 s"));
    EXPECT_EQ(lockWarnings(*h.shell), std::vector<std::string>{"The screen could not be locked: no screen locker answers"});
    EXPECT_EQ(iconSymbol(), "exclamationmark.triangle");
    EXPECT_EQ(h.ui.icons.back().tooltip, "Morvane: the screen could not be locked");
    h.lockerAnswers = true;
    h.shell->lockerProbed(true);
    EXPECT_TRUE(h.logged("lock  a screen locker answers now: the screen can be locked"));
    EXPECT_EQ(lockWarnings(*h.shell),
              std::vector<std::string>{"The screen could not be locked when the controller disconnected"});
    // A failed lock keeps the icon asking for a look, even with a locker.
    EXPECT_EQ(iconSymbol(), "exclamationmark.triangle");
    h.locked = true;
    h.main.advance(10'000);
    h.connect("iPad", "dev-1");
    h.leave();
    h.main.advance(5'000);
    EXPECT_TRUE(h.logged("lock  controller left; the computer is already locked"));
    h.locked = false;
    h.main.advance(10'000);
    h.connect("iPad", "dev-1");
    h.leave();
    h.main.advance(5'000);
    h.locked = true;
    h.main.advance(3'000);
    EXPECT_TRUE(h.logged("lock  the computer is locked"));
    EXPECT_TRUE(lockWarnings(*h.shell).empty());
    EXPECT_EQ(iconSymbol(), "display");

    // With locking off, a missing locker is nobody's concern.
    h.main.advance(10'000);
    h.shell->perform(MenuAction::toggleLockOnDisconnect);
    h.main.runAll();
    ASSERT_FALSE(h.shell->lockOnDisconnect());
    h.lines.clear();
    h.shell->lockerProbed(false);
    EXPECT_TRUE(h.lines.empty());
    EXPECT_TRUE(lockWarnings(*h.shell).empty());
    EXPECT_EQ(iconSymbol(), "display");
}

TEST(Shell, TheSessionIsToldWhetherThisComputerCanLockAndWhetherTheLockItAskedForHappened) {
    Harness h;
    using Facts = std::pair<bool, bool>;  // can lock, locks on disconnect
    using Answer = std::pair<std::uint64_t, bool>;
    h.lockerAnswers = false;
    h.lockTakes = false;
    h.shell->lockerProbed(false);
    EXPECT_EQ(h.server.lockFacts.back(), Facts(false, true));
    // Nothing took the lock: said at once, off the input.
    h.shell->lockAsked(4);
    h.main.runAll();
    EXPECT_EQ(h.server.lockAnswers, std::vector<Answer>{Answer(4, false)});
    EXPECT_EQ(h.tries, 1);
    // A locker that came after the probe: the lock takes, and the session
    // hears that this computer can lock after all, before the answer.
    h.main.advance(LockLimits::freshAnswerMillis);
    h.lockerAnswers = h.lockTakes = h.locked = true;
    h.shell->lockAsked(5);
    h.main.runAll();
    EXPECT_EQ(h.server.lockAnswers.back(), Answer(5, true));
    EXPECT_EQ(h.server.lockFacts.back(), Facts(true, true));
    // A screen that locks after the deadline is told too.
    h.main.advance(LockLimits::freshAnswerMillis);
    h.locked = false;
    h.shell->lockAsked(6);
    h.main.advance(LockLimits::answerMillis);
    EXPECT_EQ(h.server.lockAnswers.back(), Answer(6, false));
    h.locked = true;
    h.main.advance(LockLimits::lateLookMillis);
    EXPECT_EQ(h.server.lockAnswers.back(), Answer(6, true));
    EXPECT_EQ(h.tries, 3);
}

TEST(Shell, TakeoverKeepsTheSessionGoingAndSchedulesNoLock) {
    Harness h;
    h.connect("iPad", "dev-1");
    h.main.advance(3'000);
    h.lines.clear();
    h.connect("Laptop", "dev-2");
    EXPECT_EQ(h.lines[1], "controller  disconnected: iPad after 3 s (taken over)");
    EXPECT_EQ(h.lines[2], "controller  connected: Laptop (from this computer)");
    EXPECT_FALSE(h.logged("power  display-sleep assertion released"));
    h.main.advance(6'000);
    EXPECT_TRUE(h.injector->events.empty());
}

TEST(Shell, PairingShowsTheCodeAndClosesWhenABrowserPairs) {
    Harness h;
    h.ui.duringAlert = [&](const AlertText& alert) {
        ASSERT_EQ(alert.message.rfind("Pairing code: ", 0), 0u);
        std::string code = alert.message.substr(14);
        ASSERT_EQ(code.size(), 9u);
        EXPECT_EQ(code[4], '-');
        code.erase(4, 1);
        const auto outcome = h.store->attemptPair(code, "Firefox");
        EXPECT_TRUE(std::holds_alternative<pair_outcome::Paired>(outcome));
    };
    h.shell->perform(MenuAction::pairNewDevice);
    h.main.runAll();
    EXPECT_EQ(h.prompt.reasons, std::vector<std::string>{"show a pairing code for a new device"});
    ASSERT_EQ(h.ui.alerts.size(), 1u);
    EXPECT_EQ(h.ui.alerts[0].buttons, std::vector<std::string>{"Cancel Pairing"});
    EXPECT_TRUE(h.logged("pairing  window opened"));
    EXPECT_TRUE(h.logged("pairing  window closed, paired: Firefox"));
    EXPECT_FALSE(h.store->pairingWindowOpen());
    EXPECT_EQ(h.ui.icons.back().symbol, "checkmark.circle");
    h.main.advance(6'100);
    EXPECT_EQ(h.ui.icons.back().symbol, "display");
    const auto menu = h.shell->menu();
    EXPECT_TRUE(std::any_of(menu.begin(), menu.end(), [](const MenuItem& i) {
        return i.title == "Paired “Firefox” just now. Revoke it under Devices";
    }));
}

TEST(Shell, ADeviceConnectingEndsTheOwnersOpenChoices) {
    Harness h;
    h.ui.duringAlert = [&](const AlertText&) { h.connect("iPad", "dev-1"); };
    h.shell->perform(MenuAction::pairNewDevice);
    h.main.runAll();
    ASSERT_EQ(h.ui.alerts.size(), 1u);
    EXPECT_TRUE(h.logged("pairing  window closed, nothing paired"));
    EXPECT_FALSE(h.store->pairingWindowOpen());
    // While controlled no alert is shown at all, and no prompt comes up.
    EXPECT_EQ(h.shell->runAlert({"x", "y", {"OK"}}, [] { return false; }), ModalResponse::abort);
    h.shell->perform(MenuAction::toggleLockOnDisconnect);
    h.main.runAll();
    EXPECT_EQ(h.prompt.reasons.size(), 1u);
    EXPECT_TRUE(h.shell->lockOnDisconnect());

    // A prompt that is up when a device connects ends as failed.
    h.leave();
    h.main.advance(10'000);
    h.prompt.answer.reset();
    h.shell->perform(MenuAction::toggleLockOnDisconnect);
    h.main.runAll();
    ASSERT_TRUE(h.prompt.pending);
    h.connect("iPad", "dev-1");
    EXPECT_TRUE(h.logged("auth  stop locking on disconnect: owner authentication failed or was cancelled"));
    EXPECT_TRUE(h.shell->lockOnDisconnect());
}

TEST(Shell, PauseNarrowsAtOnceAndResumeNeedsTheOwnerAfterTheCoolDown) {
    Harness h;
    h.connect("iPad", "dev-1");
    h.lines.clear();
    h.shell->perform(MenuAction::pauseMorvane);
    EXPECT_EQ(h.server.pauses, 1);
    EXPECT_EQ(h.settings->boolValue(SettingsKeys::paused), true);
    EXPECT_EQ(h.lines.back(),
              "pause  Pause Morvane chosen in the menu: iPad is disconnected. Nobody can connect until Resume Morvane "
              "is chosen");
    // The server ends the session: ended by pausing, so no lock.
    h.leave();
    EXPECT_TRUE(h.logged("lock  the session was ended at the computer (paused): not locking"));
    EXPECT_EQ(h.ui.icons.back().symbol, "pause.circle");

    h.shell->perform(MenuAction::resumeMorvane);
    h.main.runAll();
    EXPECT_TRUE(h.prompt.reasons.empty());
    EXPECT_TRUE(h.shell->paused());
    h.main.advance(10'000);
    h.shell->perform(MenuAction::resumeMorvane);
    h.main.runAll();
    EXPECT_FALSE(h.shell->paused());
    EXPECT_FALSE(h.server.paused);
    EXPECT_EQ(h.settings->boolValue(SettingsKeys::paused), false);
    EXPECT_EQ(h.lines.back(),
              "pause  resumed from the menu after owner authentication: paired devices can connect again");
}

TEST(Shell, ADamagedSettingsFileIsShownInTheMenuUntilTheOwnerChangesASetting) {
    Harness h([](const fs::path& dir) { std::ofstream(dir / "settings.json") << "{\"paused\": tr"; });
    const auto damageShown = [&] {
        const auto menu = h.shell->menu();
        return std::any_of(menu.begin(), menu.end(), [](const MenuItem& i) {
                   return i.kind == MenuItem::Kind::warning &&
                          i.title == "The settings file was damaged: the defaults are in use";
               }) &&
               std::any_of(menu.begin(), menu.end(), [](const MenuItem& i) {
                   return i.title == "settings.json: not valid JSON; kept as settings.json.damaged";
               });
    };
    EXPECT_FALSE(h.shell->paused());
    EXPECT_TRUE(damageShown());
    // Writes the host makes by itself (the first-run flags) are not the
    // owner's change.
    h.shell->welcomeAtLaunch(1);
    EXPECT_TRUE(damageShown());
    h.shell->perform(MenuAction::pauseMorvane);
    EXPECT_FALSE(damageShown());
}

TEST(Shell, APauseTheSettingsFileCannotTakeIsToldInTheMenuToHoldOnlyUntilQuit) {
    // Two files the reader takes whole and the writer must refuse after the
    // change: one at its cap, and one whose numbers grow when written again.
    const std::string full = "{\"note\":\"" + std::string(SettingsLimits::maxFileBytes - 12, 'x') + "\"}";
    std::string growing = "{\"n\":[1E5";
    while (growing.size() < 200'000) growing += ",1E5";
    growing += "]}";
    const struct {
        const char* name;
        std::string file;
        std::string reason;
    } cases[] = {
        {"at its cap", full, "the file would take 262158 bytes, more than the 262144 it may hold"},
        {"numbers that grow", growing, "the file would take 450013 bytes, more than the 262144 it may hold"},
    };
    const std::string pauseLine = "This pause is not saved: it holds only until Morvane quits";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h([&](const fs::path& dir) { std::ofstream(dir / "settings.json") << c.file; });
        const auto titles = [&] {
            std::vector<std::string> out;
            for (const auto& item : h.shell->menu()) out.push_back(item.title);
            return out;
        };
        h.shell->perform(MenuAction::pauseMorvane);
        EXPECT_TRUE(h.shell->paused());
        auto menu = titles();
        ASSERT_GE(menu.size(), 3u);
        EXPECT_EQ(std::vector<std::string>(menu.begin(), menu.begin() + 3),
                  (std::vector<std::string>{"Paused: nobody can connect", "Resume Morvane…", pauseLine}));
        const auto block = std::find(menu.begin(), menu.end(), "Settings are not being saved");
        ASSERT_LE(block + 3, menu.end());
        EXPECT_EQ(std::vector<std::string>(block + 1, block + 3),
                  (std::vector<std::string>{c.reason, "Changes made now hold only until Morvane quits"}));
        // What the menu says is what the next start does.
        EXPECT_FALSE(SettingsStore(h.dir / "settings.json", nullptr).boolValue(SettingsKeys::paused));

        // Once a write goes through again, the pause is saved and the lines go.
        h.settings->remove("note");
        h.settings->remove("n");
        menu = titles();
        EXPECT_EQ(std::count(menu.begin(), menu.end(), pauseLine), 0);
        EXPECT_EQ(std::count(menu.begin(), menu.end(), "Settings are not being saved"), 0);
        EXPECT_EQ(SettingsStore(h.dir / "settings.json", nullptr).boolValue(SettingsKeys::paused), true);
    }
}

TEST(Shell, PausingDuringTheGraceCancelsTheLock) {
    Harness h;
    h.connect("iPad", "dev-1");
    h.leave();
    h.main.advance(3'000);
    h.shell->perform(MenuAction::pauseMorvane);
    EXPECT_TRUE(h.logged("lock  paused before the lock after the last disconnect was due: not locking"));
    h.main.advance(5'000);
    EXPECT_TRUE(h.injector->events.empty());
}

TEST(Shell, OptionTogglesWidenOnlyWithTheOwnerAndAlwaysNarrow) {
    Harness h;
    h.shell->perform(MenuAction::toggleHideScreen);
    h.main.runAll();
    EXPECT_TRUE(h.shell->allowHideScreen());
    EXPECT_TRUE(h.flagOn);
    EXPECT_EQ(h.server.effects, (std::array<bool, 3>{true, true, true}));

    h.connect("iPad", "dev-1");
    h.flagWrites = false;  // the stored flag refuses to change
    h.shell->perform(MenuAction::toggleHideScreen);
    EXPECT_FALSE(h.shell->allowHideScreen());
    EXPECT_EQ(h.lines.back(),
              "app  devices may hide this screen: off (changed in the menu); the setting could not be stored");
    auto menu = h.shell->menu();
    EXPECT_TRUE(std::any_of(menu.begin(), menu.end(), [](const MenuItem& i) {
        return i.kind == MenuItem::Kind::warning &&
               i.title == "The stored screen-hiding setting could not be turned off";
    }));
    h.shell->perform(MenuAction::toggleResolutionMatch);  // off, while controlled
    EXPECT_FALSE(h.shell->allowResolutionMatch());
    EXPECT_EQ(h.settings->boolValue(SettingsKeys::allowResolutionMatch), false);
    h.shell->perform(MenuAction::toggleResolutionMatch);  // on: refused while controlled
    h.main.runAll();
    EXPECT_FALSE(h.shell->allowResolutionMatch());
}

TEST(Shell, TheServerHearsTheEffectPermissionsAtLaunchAndTheMenuShowsEffectsInForce) {
    Harness h;
    FakeServer launched;
    h.shell->setServer(&launched);
    // Matching is allowed by default, hiding is not, locking on disconnect is.
    EXPECT_EQ(launched.effects, (std::array<bool, 3>{true, false, true}));
    h.shell->setServer(&h.server);

    const std::string owed = "The resolution could not be put back yet. Quitting Morvane puts it back";
    const std::string matched = "Resolution changed for iPad. Back to normal when it disconnects";
    const std::string hidden = "This screen is hidden from view. Hold Escape for 3 seconds to show it";
    auto shown = [&h](const std::string& title) {
        const auto menu = h.shell->menu();
        return std::any_of(menu.begin(), menu.end(), [&title](const MenuItem& i) { return i.title == title; });
    };
    struct Case {
        bool controlled, matched, hidden, owed;
    };
    for (const Case& c : {Case{false, true, true, false}, Case{true, true, false, false}, Case{true, false, true, true},
                          Case{false, false, false, true}}) {
        if (c.controlled && !h.shell->controller()) h.connect("iPad", "dev-1");
        if (!c.controlled && h.shell->controller()) h.leave();
        h.server.active = {c.matched, c.hidden};
        h.restoreOwed = c.owed;
        // The lines about effects in force belong to a controlled session.
        EXPECT_EQ(shown(matched), c.controlled && c.matched);
        EXPECT_EQ(shown(hidden), c.controlled && c.hidden);
        EXPECT_EQ(shown(owed), c.owed);
    }
}

TEST(Shell, StartAtLoginWritesTheAutostartEntry) {
    Harness h;
    h.shell->perform(MenuAction::toggleStartAtLogin);
    EXPECT_TRUE(fs::exists(h.dir / "autostart" / "morvane.desktop"));
    EXPECT_EQ(h.lines.back(), "app  start at login: on (changed in the menu)");
    h.shell->perform(MenuAction::toggleStartAtLogin);
    EXPECT_FALSE(fs::exists(h.dir / "autostart" / "morvane.desktop"));
}

TEST(Shell, RevokeAllAsksAndStartsNothingWhenAborted) {
    Harness h;
    h.store->openPairingWindow();
    h.shell->perform(MenuAction::revokeAllDevices);
    h.ui.press = ModalResponse::secondButton;
    h.main.runAll();
    EXPECT_EQ(h.ui.alerts.back().message, "Revoke all paired devices?");
    EXPECT_FALSE(h.logged("pairing  revoked all devices"));
    h.ui.press = ModalResponse::firstButton;
    h.shell->perform(MenuAction::revokeAllDevices);
    h.main.runAll();
    EXPECT_TRUE(h.logged("pairing  revoked all devices"));
    h.shell->perform(MenuAction::revokeDevice, "no-such-id");
    EXPECT_EQ(h.lines.back(), "pairing  revoked: unknown device");
}

TEST(Shell, WhileTheListCannotBeSavedPairingIsOffAndAnUnsavedRevocationIsToldAtOnce) {
    const std::string full = "cannot update private item local.morvane.host/paired-devices: No space left on device (28)";
    struct Case {
        const char* name;
        bool removalWorks;
        std::string afterRestart;  // the menu's line about a restart meanwhile
        std::string noticeEnd;
    };
    const std::vector<Case> cases = {
        {"the old list removed", true, "Keep Morvane running: after a restart the other devices must be paired again",
         "Keep Morvane running until the disk has room: if it is quit or restarted before the list is saved, the "
         "other paired devices must be paired again."},
        {"the old list kept", false, "Until then a revoked device would be accepted again after a restart",
         "Until the list is saved, keep Morvane running: after a restart the stored list would let “iPad” connect "
         "again."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        const auto ipad = std::get<pair_outcome::Paired>(h.store->attemptPair(h.store->openPairingWindow(), "iPad"));
        h.store->attemptPair(h.store->openPairingWindow(), "Phone");
        h.storage->saveError = full;
        if (!c.removalWorks) h.storage->removeError = "cannot remove private item: Read-only file system (30)";

        h.shell->perform(MenuAction::revokeDevice, ipad.device.id);
        ASSERT_EQ(h.ui.notices.size(), 1u);
        EXPECT_EQ(h.ui.notices[0].message, "“iPad” can no longer connect, but the revocation was not saved");
        EXPECT_EQ(h.ui.notices[0].informative, "The list of paired devices could not be saved: " + full +
                                                   ".\n\nMorvane tries again every 10 seconds and at every change. " +
                                                   c.noticeEnd);
        EXPECT_TRUE(h.logged("pairing  revoked: iPad"));
        const std::string summary = "file " + (h.dir / "devices.bin").string();
        EXPECT_TRUE(h.logged("error  paired devices could not be saved to " + summary + ": " + full +
                             ". New pairings are refused until they are; Morvane tries again every 10 seconds"));

        auto menu = h.shell->menu();
        const auto find = [&](const std::string& title) {
            return std::find_if(menu.begin(), menu.end(), [&](const MenuItem& i) { return i.title == title; });
        };
        ASSERT_NE(find("Paired devices are not being saved"), menu.end());
        EXPECT_NE(find("cannot update private item local.morvane.host/paired-devices: No space left on device (28)"), menu.end());
        EXPECT_NE(find("New pairings are refused; Morvane tries again every 10 seconds"), menu.end());
        EXPECT_NE(find(c.afterRestart), menu.end());
        ASSERT_NE(find("Pair a Browser on This Computer…"), menu.end());
        EXPECT_FALSE(find("Pair a Browser on This Computer…")->enabled);
        EXPECT_TRUE(h.shell->guideSnapshot().gate.pairBlocked);
        h.shell->perform(MenuAction::pairNewDevice);
        h.main.runAll();
        EXPECT_TRUE(h.prompt.reasons.empty()) << "no code is offered for a pairing that cannot be kept";

        // A browser with the right code: the log says why, once.
        h.lines.clear();
        h.shell->pairRefused(true, full);
        h.shell->savesChanged(full);
        EXPECT_EQ(h.lines, std::vector<std::string>{"error  pairing refused over the tailnet: the code was right, but "
                                                    "the list of paired devices cannot be saved: " +
                                                    full});

        h.storage->saveError.reset();
        h.storage->removeError.reset();
        h.store->retrySave();
        h.shell->savesChanged(std::nullopt);
        EXPECT_EQ(h.lines.back(), "pairing  paired devices are saved to " + summary + " again");
        menu = h.shell->menu();
        EXPECT_EQ(find("Paired devices are not being saved"), menu.end());
        EXPECT_TRUE(find("Pair a Browser on This Computer…")->enabled);
        const auto kept = DeviceStore(h.dir / "devices.bin").devices();
        ASSERT_EQ(kept.size(), 1u);
        EXPECT_EQ(kept[0].name, "Phone");
    }
}

TEST(Shell, StartFreshThatCannotResetTheListSaysWhyOnScreen) {
    Harness h([](const fs::path& dir) {
        std::ofstream(dir / "devices.bin", std::ios::binary) << "not a list of devices";
    });
    ASSERT_TRUE(h.store->storageFailure());
    const std::string why = "the link " + (h.dir / "devices.bin").string() +
                            " leads into /srv/shared/morvane-keys, which others may change";
    h.storage->removeError = why;
    h.ui.press = ModalResponse::firstButton;
    h.shell->perform(MenuAction::resetDeviceStorage);
    h.main.runAll();
    ASSERT_EQ(h.ui.notices.size(), 1u);
    EXPECT_EQ(h.ui.notices[0].message, "Morvane could not start fresh");
    EXPECT_EQ(h.ui.notices[0].informative, "The stored list of paired devices could not be reset: " + why +
                                               ". No device is accepted until it can be.");
    EXPECT_TRUE(h.logged("error  paired devices could not be reset: " + why));
    EXPECT_TRUE(h.store->storageFailure()) << "nothing was reset";

    // Once the link is mended the same choice works and says nothing more.
    h.storage->removeError.reset();
    h.shell->perform(MenuAction::resetDeviceStorage);
    h.main.runAll();
    EXPECT_EQ(h.ui.notices.size(), 1u);
    EXPECT_FALSE(h.store->storageFailure());
}

TEST(Shell, QuitClosesTheRunningHistoryEntryAndWritesQuitLast) {
    Harness h;
    h.connect("iPad", "dev-1");
    h.shell->sessionEvent(session_event::Started{"dev-1", "iPad", "local"});
    h.shell->terminate();
    ASSERT_GE(h.lines.size(), 2u);
    EXPECT_EQ(h.lines[h.lines.size() - 2], "app  quit while controlled by iPad");
    EXPECT_EQ(h.lines.back(), "app  quit");
    EXPECT_TRUE(h.history->records().front().end);
    EXPECT_FALSE(h.wake.held());
    h.lines.clear();
    h.main.advance(20'000);
    EXPECT_TRUE(h.lines.empty());  // no statistics after quit

    // Nobody in control: the quit alone.
    Harness idle;
    idle.shell->terminate();
    EXPECT_EQ(idle.lines, std::vector<std::string>{"app  quit"});
}

TEST(Shell, ClosedPairingAttemptsAreSummarisedOnceAMinute) {
    Harness h;
    h.shell->pairAttempted(false, std::nullopt, false);
    h.main.advance(0);  // after a quiet minute the first is summarised at once
    for (int i = 0; i < 2; ++i) h.shell->pairAttempted(false, std::nullopt, false);
    h.shell->pairAttempted(true, std::nullopt, false);
    h.shell->pairAttempted(true, std::nullopt, false);
    h.main.advance(59'999);
    EXPECT_EQ(h.lines, std::vector<std::string>{
                           "pairing  1 code(s) sent while no pairing window was open (1 from this computer, 0 over the "
                           "tailnet)"});
    h.main.advance(60'000);
    EXPECT_EQ(h.lines.back(),
              "pairing  4 code(s) sent while no pairing window was open (2 from this computer, 2 over the tailnet)");
}

TEST(Shell, TheWelcomeWindowOpensByItselfOnlyOnAFirstRun) {
    Harness first;
    first.shell->welcomeAtLaunch(0);
    EXPECT_EQ(first.welcomes(), 1);
    EXPECT_EQ(first.lines, std::vector<std::string>{"app  first run: showing the Welcome window"});
    EXPECT_EQ(first.settings->boolValue(SettingsKeys::askedForPermissions), true);
    EXPECT_EQ(first.settings->boolValue(SettingsKeys::welcomeOffered), true);
    EXPECT_FALSE(first.settings->boolValue(SettingsKeys::welcomeHidden));

    // Paired devices make it an existing install: hidden for good.
    Harness existing;
    existing.shell->welcomeAtLaunch(2);
    EXPECT_EQ(existing.welcomes(), 0);
    EXPECT_EQ(existing.settings->boolValue(SettingsKeys::welcomeHidden), true);
    EXPECT_EQ(existing.settings->boolValue(SettingsKeys::askedForPermissions), true);

    // Asked before but never offered: an install from before the window.
    Harness older;
    older.settings->setBool(SettingsKeys::askedForPermissions, true);
    older.shell->welcomeAtLaunch(0);
    EXPECT_EQ(older.welcomes(), 0);
    EXPECT_EQ(older.settings->boolValue(SettingsKeys::welcomeHidden), true);

    // A server that did not start (another user's Morvane held the port)
    // shows no window, and leaves the first run to the next start that
    // serves.
    Harness broken;
    broken.shell->setStartError("Not running: the port is taken by another program");
    broken.shell->welcomeAtLaunch(0);
    EXPECT_EQ(broken.welcomes(), 0);
    EXPECT_FALSE(broken.settings->boolValue(SettingsKeys::askedForPermissions));
    broken.shell->setStartError(std::nullopt);
    broken.shell->welcomeAtLaunch(0);
    EXPECT_EQ(broken.welcomes(), 1);
}

TEST(Shell, TheRelaySectionSitsUnderItsHeaderAndHearsActionsAndPauses) {
    Harness h;
    std::vector<std::string> heard;
    Shell::RelayHooks relay;
    relay.section = [&](bool blocked) {
        heard.push_back(blocked ? "section blocked" : "section");
        auto item = MenuItem::command("Turn On Relay…", MenuAction::relay, !blocked);
        item.payload = "turnOn";
        return std::vector<MenuItem>{MenuItem::line("Relay: off"), item};
    };
    relay.perform = [&](const std::string& action) { heard.push_back("perform " + action); };
    relay.paused = [&] { heard.push_back("paused"); };
    h.shell->setRelay(relay);

    auto menu = h.shell->menu();
    auto header = std::find(menu.begin(), menu.end(), MenuItem::header("Connect From Anywhere Over Your Own Relay"));
    ASSERT_NE(header, menu.end());
    EXPECT_EQ(*(header + 1), MenuItem::line("Relay: off"));
    EXPECT_EQ((header + 2)->payload, "turnOn");
    EXPECT_EQ((header + 3)->kind, MenuItem::Kind::separator);
    h.shell->perform(MenuAction::relay, "turnOn");

    h.connect("iPad", "dev-1");
    h.shell->menu();
    h.shell->perform(MenuAction::pauseMorvane);
    h.shell->stoppedOnMac();
    EXPECT_EQ(heard, (std::vector<std::string>{"section", "perform turnOn", "section blocked", "paused", "paused"}));
}

TEST(Shell, ARelayAlreadyOnAnAccountHidesTheWelcomeWindowAtLaunch) {
    Harness h;
    h.relayFacts = ConnectRelayFacts{true, true, true, std::string("me@x.org"), false, std::nullopt};
    h.shell->welcomeAtLaunch(0);
    EXPECT_EQ(h.welcomes(), 0);
    EXPECT_EQ(h.settings->boolValue(SettingsKeys::welcomeHidden), true);
    EXPECT_EQ(h.settings->boolValue(SettingsKeys::askedForPermissions), true);
    EXPECT_TRUE(h.lines.empty());

    // The menu still shows it whatever the flag says.
    h.shell->perform(MenuAction::showWelcomeWindow);
    EXPECT_EQ(h.welcomes(), 1);
}

TEST(Shell, WelcomeFlagIsSetOnceByDontShowAgainByClosingAndByStepTwo) {
    {
        Harness h;
        h.shell->welcomeAtLaunch(0);
        h.lines.clear();
        h.welcomeWindow->dontShowAgain();
        EXPECT_EQ(h.settings->boolValue(SettingsKeys::welcomeHidden), true);
        EXPECT_FALSE(h.welcomeWindow->visible);
        // The close that follows finds the flag set and logs nothing more.
        EXPECT_EQ(h.lines, std::vector<std::string>{"app  Welcome window: don't show again"});
    }
    {
        Harness h;
        h.shell->welcomeAtLaunch(0);
        h.lines.clear();
        h.welcomeWindow->performClose();  // Escape, Ctrl+W, Close or the title bar
        EXPECT_EQ(h.settings->boolValue(SettingsKeys::welcomeHidden), true);
        h.shell->showWelcomeWindow();
        h.welcomeWindow->performClose();
        EXPECT_EQ(h.lines, std::vector<std::string>{"app  Welcome window closed: not shown by itself again"});
    }
    {
        // Closed because the host quits to reopen: still shown next time.
        Harness h;
        h.shell->welcomeAtLaunch(0);
        h.lines.clear();
        h.shell->terminate();
        h.welcomeWindow->performClose();
        EXPECT_FALSE(h.settings->boolValue(SettingsKeys::welcomeHidden));
        EXPECT_FALSE(h.logged("app  Welcome window closed: not shown by itself again"));
    }
    {
        Harness h;
        h.shell->welcomeAtLaunch(0);
        h.lines.clear();
        h.relayFacts = ConnectRelayFacts{true, true, true, std::string("me@x.org"), true,
                                      HostRelayLink::State{RelayLinkState::connecting, 0}};
        h.main.advance(GuidePanel::refreshMillis);
        EXPECT_EQ(h.settings->boolValue(SettingsKeys::welcomeHidden), true);
        EXPECT_TRUE(h.welcomeWindow->visible);  // set without closing
        EXPECT_TRUE(h.lines.empty());
        EXPECT_EQ(h.shell->welcomePanel()->state().snapshot().relay,
                  ConnectRelayStatus(relay_status::Working{"me@x.org", GuideTexts::connecting}));
    }
}

TEST(Shell, GuideSnapshotGatesFollowControlPauseAndBusyFlows) {
    Harness h;
    auto gate = [&] { return h.shell->guideSnapshot().gate; };
    EXPECT_EQ(gate(), GuideGate{});
    h.connect("iPad", "dev-1");
    EXPECT_EQ(gate(), (GuideGate{.controlled = true}));
    h.leave();
    EXPECT_EQ(gate(), (GuideGate{.recentlyControlled = true}));
    h.main.advance(9'999);
    EXPECT_TRUE(gate().recentlyControlled);
    h.main.advance(1);
    EXPECT_EQ(gate(), GuideGate{});
    h.relayBusy = true;
    EXPECT_EQ(gate(), (GuideGate{.busy = true}));
    h.relayBusy = false;
    h.shell->setStartError("Not running: port in use");
    EXPECT_EQ(gate(), (GuideGate{.pairBlocked = true}));

    Harness p;
    p.shell->perform(MenuAction::pauseMorvane);
    p.main.runAll();
    EXPECT_TRUE(p.shell->guideSnapshot().gate.paused);
}

TEST(Shell, GuideSnapshotNamesWhatThisDisplayLacksAndTheRelayWithoutAController) {
    Harness h;
    auto s = h.shell->guideSnapshot();
    EXPECT_EQ(s.relay, ConnectRelayStatus(relay_status::NotSetUp{}));
    EXPECT_EQ(s.address, "relay.example");
    EXPECT_EQ(s.tailscale, TailscaleFacts(tailscale_facts::NotInstalled{}));
    EXPECT_TRUE(s.accessibility);
    EXPECT_TRUE(s.locker);
    EXPECT_EQ(s.devices, 0);
    EXPECT_EQ(s.localAddress, "http://127.0.0.1:8722");
    h.canInject = false;
    h.shell->lockerProbed(false);
    s = h.shell->guideSnapshot();
    EXPECT_FALSE(s.accessibility);
    EXPECT_FALSE(s.locker);
    h.shell->lockerProbed(true);
    EXPECT_TRUE(h.shell->guideSnapshot().locker);
    h.relayFacts = ConnectRelayFacts{false, true, true, std::string("me@x.org"), true,
                                      HostRelayLink::State{RelayLinkState::up, 0}};
    EXPECT_EQ(h.shell->guideSnapshot().relay,
              ConnectRelayStatus(relay_status::Unavailable{GuideTexts::cannotRelay}));
}

TEST(Shell, GuideActionsReachTheirOwnersAndRefreshTheOpenWindows) {
    Harness h;
    h.shell->perform(MenuAction::showConnectWindow);
    ASSERT_TRUE(h.connectWindow);
    EXPECT_EQ(h.connectWindow->shown, 1);
    auto& state = h.shell->connectPanel()->state();
    using K = GuideAction::Kind;
    for (auto kind : {K::setUpRelay, K::turnOnRelay, K::addDevice}) state.perform(GuideAction::of(kind));
    EXPECT_TRUE(h.relayCalls.empty());  // on a later turn, after the press returned
    h.main.runAll();
    EXPECT_EQ(h.relayCalls, (std::vector<std::string>{"setUp", "turnOn", "addDevice"}));

    state.perform(GuideAction::copy("https://relay.example"));
    h.main.runAll();
    EXPECT_EQ(h.ui.copied, std::vector<std::string>{"https://relay.example"});

    // The window shows the result of an action at once, not a second later.
    h.relayFacts = ConnectRelayFacts{true, true, true, std::string("me@x.org"), true,
                                      HostRelayLink::State{RelayLinkState::up, 0}};
    state.perform(GuideAction::of(K::openConnectWindow));
    h.main.runAll();
    EXPECT_EQ(state.snapshot().relay, ConnectRelayStatus(relay_status::Ready{"me@x.org"}));
    EXPECT_EQ(h.connectWindow->shown, 2);
    EXPECT_FALSE(h.welcomeWindow);

    state.perform(GuideAction::of(K::pairDevice));
    h.main.runAll();
    EXPECT_EQ(h.prompt.reasons, std::vector<std::string>{"show a pairing code for a new device"});
}

TEST(Shell, GuideTailnetFactsOfferAnAddressOnlyWhileTheServerAcceptsTheTailnet) {
    const TailnetAccess access{"desk.tail1.ts.net", std::string("me@x.org")};
    const cli_lookup::Found found{"/usr/bin/tailscale", "root-owned"};
    const auto snap = [](TrustedCLI::Lookup cli, TailnetDecision decision, std::optional<TailnetAccess> given) {
        TailscaleControl::Snapshot s;
        s.cli = std::move(cli);
        s.decision = std::move(decision);
        s.access = std::move(given);
        return s;
    };
    struct Case {
        const char* name;
        TailscaleControl::Snapshot snapshot;
        TailscaleFacts want;
    };
    const std::vector<Case> cases = {
        {"not installed", {}, tailscale_facts::NotInstalled{}},
        {"on", snap(found, tailnet_decision::On{access}, access), tailscale_facts::On{"desk.tail1.ts.net"}},
        {"off", snap(found, tailnet_decision::Off{}, std::nullopt), tailscale_facts::Off{}},
        {"off with a blocker",
         snap(found, tailnet_decision::Off{std::string("Tailscale is switched off")}, std::nullopt),
         tailscale_facts::Off{}},
        {"still being read", snap(found, tailnet_decision::Unreadable{"Checking"}, std::nullopt),
         tailscale_facts::Unavailable{}},
        {"in conflict", snap(found, tailnet_decision::Conflict{}, std::nullopt), tailscale_facts::Unavailable{}},
        {"funnel", snap(found, tailnet_decision::Funnel{}, std::nullopt), tailscale_facts::Unavailable{}},
        {"untrusted tool", snap(cli_lookup::Untrusted{"group-writable"}, tailnet_decision::Off{}, std::nullopt),
         tailscale_facts::Unavailable{}},
    };
    for (const auto& c : cases) EXPECT_EQ(guideTailscaleFacts(c.snapshot), c.want) << c.name;
}

}  // namespace
}  // namespace morvane
