#include "app/shell_qt.h"

#include <fcntl.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <QApplication>
#include <QDBusConnection>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <memory>
#include <mutex>

#include "app/build_version.h"
#include "app/code_identity.h"
#include "app/counting_input.h"
#include "app/keychain_flag.h"
#include "app/login_item.h"
#include "app/relay_bridge.h"
#include "app/relay_counters.h"
#include "app/main_queue_qt.h"
#include "app/password_prompt_qt.h"
#include "app/process_entry.h"
#include "app/screen_source_qt.h"
#include "app/server_for_shell.h"
#include "app/session_history.h"
#include "app/settings_store.h"
#include "app/port_holder.h"
#include "app/shell.h"
#include "app/shell_exit_qt.h"
#include "app/shell_lines.h"
#include "app/system_state.h"
#include "app/tray_qt.h"
#include "app/x11_probes_qt.h"
#include "core/loop_executor.h"
#include "core/paths.h"
#include "core/session_log.h"
#include "devices/device_store.h"
#include "devices/keychain_device_storage.h"
#include "devices/private_file.h"
#include "devices/refusing_device_storage.h"
#include "guide/guide_windows_qt.h"
#include "platform/linux/clipboard_x11.h"
#include "platform/linux/cover_window_qt.h"
#include "platform/linux/display_effects_x11.h"
#include "platform/linux/system_events_linux_qt.h"
#include "platform/linux/input_x11.h"
#include "platform/linux/audio_pulse.h"
#include "platform/linux/locker_linux.h"
#include "platform/linux/locker_watch_linux_qt.h"
#include "platform/linux/locker_xscreensaver_x11.h"
#include "platform/linux/net_path_monitor_linux.h"
#include "platform/linux/relay_sleep_watch_linux_qt.h"
#include "platform/linux/sleep_bus_linux_qt.h"
#include "platform/linux/tailscale_cli.h"
#include "relay/beast_relay_socket.h"
#include "relay/host_relay_link.h"
#include "relay/relay_account.h"
#include "relay/relay_controller.h"
#include "relay/relay_http.h"
#include "relay/relay_url.h"
#include "server/lock_relay.h"
#include "server/remote_server.h"
#include "tailnet/tailscale_control.h"
#include "transfer/disk_files.h"
#include "transfer/file_transfer_report.h"
#include "web/embedded_web.h"

namespace morvane {

namespace {

namespace fs = std::filesystem;

// Qt aborts when the display it was to open is gone: the session ended
// while the host was starting. That is no crash; it ends as a display that
// cannot be opened does.
void endWhenQtCannotStart(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, text)));
    if (type != QtFatalMsg) return;
    const char* name = std::getenv("DISPLAY");
    std::fprintf(stderr, "%s\n", ProcessEntry::unreachableDisplayMessage(name ? name : "").c_str());
    std::fflush(stderr);
    ::_exit(1);
}

fs::path executablePath() {
    std::error_code ec;
    const auto path = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path() : path;
}

// Where the disk store keeps received files; the menu shows the same place.
fs::path receivedRoot() {
    if (auto root = DiskFiles::standardRoot()) return *root;
    return fs::path("/tmp") / "Downloads" / "Morvane";
}

// Forwards to a sink that may be missing (no X display).
class OptionalSink final : public InputSink {
public:
    explicit OptionalSink(std::unique_ptr<InputSink> sink) : sink_(std::move(sink)) {}
    void handle(const InputEvent& event) override {
        if (sink_) sink_->handle(event);
    }
    void releaseEverything() override {
        if (sink_) sink_->releaseEverything();
    }

private:
    std::unique_ptr<InputSink> sink_;
};

// How long the quit waits for the queues that start programs to finish what
// they hold.
constexpr std::int64_t quitWaitMillis = 500;

// Whether every queue has run what it held within `limitMillis`.
bool settledWithin(std::initializer_list<Executor*> queues, std::int64_t limitMillis) {
    struct Left {
        std::mutex m;
        std::condition_variable cv;
        std::size_t count = 0;
    };
    auto left = std::make_shared<Left>();
    left->count = queues.size();
    for (Executor* queue : queues)
        queue->post([left] {
            std::lock_guard lock(left->m);
            --left->count;
            left->cv.notify_all();
        });
    std::unique_lock lock(left->m);
    return left->cv.wait_for(lock, std::chrono::milliseconds(limitMillis), [&] { return left->count == 0; });
}

}  // namespace

int runShell(int argc, char** argv) {
    // SIGTERM and SIGINT, from here on, quit through the one way out; it
    // outlives everything below. The display going from the first
    // connection on is told in the words of one that cannot be opened.
    ShellExit exits;
    const char* displayName = std::getenv("DISPLAY");
    const std::string unreachable = ProcessEntry::unreachableDisplayMessage(displayName ? displayName : "");
    exits.watchStart(unreachable);
    // Qt would abort on a display it cannot open; say why instead.
    const X11Facts x11 = probeX11();
    if (!x11.display) {
        std::cerr << unreachable << "\n";
        return 1;
    }
    const QtMessageHandler qtMessages = qInstallMessageHandler(endWhenQtCannotStart);
    QApplication app(argc, argv);
    qInstallMessageHandler(qtMessages);
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setApplicationName("Morvane");
    exits.watchQuitRequests();

    // Left to the end of the process on purpose: threads that answer late
    // (a password check, a lock probe, a copy into the Outbox) may still
    // post to it after the event loop ended; it is closed, not destroyed.
    // Held by a static so that it stays reachable, not lost.
    static QtMainQueue* const keptMainQueue = new QtMainQueue();
    QtMainQueue& mainQueue = *keptMainQueue;
    const fs::path support = appSupportFolder().value_or(fs::path("/tmp") / "Morvane");
    // The program's queues. Each outlives the components given it (they
    // are declared first); each component waits for its own work as it goes.
    LoopExecutor logQueue("morvane.log");
    LoopExecutor saveQueue("morvane.device-store.save");
    LoopExecutor inputQueue("morvane.input");
    LoopExecutor clipboardQueue("morvane.clipboard");
    LoopExecutor sleepQueue("morvane.sleep");
    LoopExecutor fileQueue("morvane.files");
    // The sources are shared with the server, which may keep them a little
    // longer: their queues go with the last of them.
    auto captureControl = std::make_shared<LoopExecutor>("morvane.capture.control");
    auto captureEncode = std::make_shared<LoopExecutor>("morvane.capture.encode");
    auto soundControl = std::make_shared<LoopExecutor>("morvane.audio.control");
    auto soundBuild = std::make_shared<LoopExecutor>("morvane.audio.build");
    SessionLog log(support / "host.log", logQueue);
    // Slow checks (the lock state, whether a locker answers, PAM), copies
    // into the Outbox and the reaping of openers run here, off the main
    // queue; it finishes its work and is joined at quit, before the log it
    // may write to goes.
    LoopExecutor background("morvane.background");
    const auto write = [&log](const std::string& tag, const std::string& text) { log.write(tag, text); };
    // From here an exit() called by Qt (its X connection broke) or by a
    // library ends the host through the same wind-down as a quit.
    exits.guard(log);

    // The order of these lines is what the owner reads first in host.log.
    write("app", ShellLines::startLine(programVersionText(), ProcessEntry::systemText(), static_cast<long>(::getpid())));
    write("app", "program: " + CodeIdentity::describe());
    const fs::path program = executablePath();
    write("app", "program file: " + program.string());
    if (::geteuid() == 0) write("error", ProcessEntry::rootWarning);
    const std::string permissionsLine = ShellLines::permissions(x11.display, x11.xtest, x11.xinput2, false);
    write("permissions", permissionsLine);
    const bool hardened = CodeIdentity::hardenedRuntime();

    const CodeIdentity::NotHardened notHardened = CodeIdentity::notHardened();
    std::shared_ptr<DeviceStorage> storage;
    if (hardened) {
        storage = std::make_shared<KeychainDeviceStorage>(KeychainDeviceStorage::defaultService,
                                                          KeychainDeviceStorage::defaultAccount);
    } else {
        write("error", notHardened.warning + ": the paired-devices list is not opened. " + notHardened.advice + ".");
        storage = std::make_shared<RefusingDeviceStorage>(RefusingDeviceStorage::notHardenedReason);
    }
    // The list's file, which the owner can look at.
    const std::string storeName = storage->summary();
    DeviceStore store(storage, &saveQueue);
    // Until the shell exists; it then takes these over, with the menu.
    store.setOnSaveChange([&mainQueue, &log, summary = storeName](const std::optional<std::string>& failure) {
        if (failure)
            mainQueue.post([&log, line = ShellLines::devicesNotSaved(summary, *failure)] { log.write("error", line); });
    });
    // Not hardened, the list was never opened: the line above says why, and
    // starting fresh would not help.
    const auto failure = hardened ? store.storageFailure() : std::nullopt;
    if (failure)
        write("error", ShellLines::devicesNotRead(storeName, *failure));
    else if (hardened)
        write("pairing", std::to_string(store.devices().size()) + " paired device(s) read from " + storeName);

    SettingsStore settings(SettingsStore::standardPath().value_or(support / "settings.json"), write);
    KeychainFlag hideFlag(KeychainFlag::hideScreenAccount, KeychainFlag::hideScreenLabel, std::nullopt, write);
    SessionHistory history(
        settings.stringValue(SettingsKeys::sessionHistory), settings.dateValue(SettingsKeys::sessionHistorySeen),
        [&settings](const std::string& json) { settings.setString(SettingsKeys::sessionHistory, json); },
        [&settings](std::int64_t seen) { settings.setDate(SettingsKeys::sessionHistorySeen, seen); }, systemWallMillis);
    if (const auto& problem = history.storedProblem())
        write("error", "the session history in " + settings.file().string() + " could not be used (" + *problem +
                           "); it starts empty");

    std::optional<std::string> siteError;
    StaticSite site;
    try {
        site = StaticSite::fromEmbedded(EmbeddedWeb::files());
    } catch (const StaticSite::Problem& e) {
        siteError = e.what();
    }

    ScreenSourceParts screen = makeScreenSource(mainQueue, captureControl, captureEncode,
                                                [&log](const std::string& text) { log.write("capture", text); });
    std::unique_ptr<ClipboardAccess> clipboard =
        makeX11Clipboard(clipboardQueue, [&log](const std::string& text) { log.write("error", text); });
    // Asked of the system bus; systemctl and loginctl only where it does not answer.
    SleepBusWatch sleepBus(QDBusConnection::systemBus());
    auto sleepReader = makeSleepDisabledReader(sleepQueue, {sleepBus.targetStates(), sleepBus.blockInhibited()});
    // The screen lockers heard and asked over the buses and the display this
    // process holds, on this (Qt's) thread, which is the main queue. A saver
    // that comes or goes, or a lock that ends, has the shell look at the
    // locker again, so that the session hears at once whether this computer
    // can still lock.
    auto lockShell = std::make_shared<std::weak_ptr<Shell>>();
    ScreenLockWatch lockWatch(QDBusConnection::sessionBus(), QDBusConnection::systemBus(), XScreenSaverLink::open(),
                              [&mainQueue, lockShell] {
                                  mainQueue.post([lockShell] {
                                      if (auto s = lockShell->lock()) s->lockerMoved();
                                  });
                              });
    ScreenLocker locker(nullptr, &lockWatch, lockWatch.xscreensaver());
    // The injector reports only what does not work (no XTEST, no locker).
    // It wakes a locked screen's dialog before the keys meant for it.
    auto injector = std::make_shared<OptionalSink>(makeX11Input(
        inputQueue, screen.displayBounds, [&log](const std::string& text) { log.write("error", text); }, "",
        std::nullopt, [&lockWatch] { return lockWatch.locked(); }));
    CountingInput counted(injector);

    DisplayWake wake(makeX11DisplayWake());
    LoginItem loginItem(LoginItem::standardPath().value_or(support / "morvane.desktop"), program);
    if (const auto mended = loginItem.mendAtStart()) write(mended->tag, mended->text);
    PasswordPrompt prompt(mainQueue, background);

    // The display-effects driver lives as long as the process. It first
    // puts back a resolution that an earlier run of this boot left changed.
    std::shared_ptr<SystemDisplayEffects> effects = makeX11DisplayEffects(
        support / "display-change.json", [&log](const std::string& text) { log.write("display", text); }, mainQueue,
        makeQtCoverMaker(), [&log] { log.flush(); });
    std::unique_ptr<SystemEventsWatch> systemEvents;
    if (effects) {
        connectCover(effects, *screen.source);
        effects->recoverAtLaunch();
        std::weak_ptr<SystemDisplayEffects> weakEffects = effects;
        systemEvents = watchSystemEvents([weakEffects] {
            if (auto fx = weakEffects.lock()) fx->systemAway();
        });
    }

    RemoteServer::Setup setup;
    setup.port = 8722;
    setup.effects = effects.get();
    setup.site = std::move(site);
    setup.store = &store;
    setup.frames = screen.source.get();
    setup.input = &counted;
    setup.clipboard = clipboard.get();
    // Without a home folder there is nowhere to keep files; every file
    // request is then answered "unavailable".
    std::unique_ptr<DiskFiles> diskFiles;
    if (auto root = DiskFiles::standardRoot()) {
        diskFiles = std::make_unique<DiskFiles>(*root);
        // Off the main queue: the Downloads folder may be slow to list. The
        // task keeps its own copy, whatever outlives what.
        fileQueue.post([folder = *root] { DiskFiles(folder).removeLeftoverUploads(); });
    }
    setup.files = diskFiles.get();
    setup.fileQueue = &fileQueue;
    setup.mainQueue = &mainQueue;
    const bool xtest = x11.xtest;
    CachedProbe* sleepRaw = sleepReader.get();
    ScreenLockWatch* lockedRaw = &lockWatch;
    setup.status = [xtest, sleepRaw, lockedRaw] {
        return HostStatus{xtest, lockedRaw->locked(), sleepRaw->value(), SystemState::lidClosed()};
    };

    std::shared_ptr<Shell> shell;
    std::unique_ptr<TrayUi> tray;
    tray = std::make_unique<TrayUi>([&shell] { return shell->menu(); },
                                    [&shell](MenuAction action, const std::string& payload) {
                                        shell->perform(action, payload);
                                    },
                                    [] { ShellExit::requestQuit(); }, background);

    ShellDeps deps;
    deps.main = &mainQueue;
    deps.log = write;
    deps.settings = &settings;
    deps.store = &store;
    deps.storageSummary = storeName;
    deps.hardened = hardened;
    deps.notHardenedWarning = notHardened.warning;
    deps.notHardenedAdvice = notHardened.advice;
    deps.injector = injector.get();
    deps.counted = &counted;
    deps.history = &history;
    deps.wake = &wake;
    deps.ui = tray.get();
    deps.prompt = &prompt;
    deps.loginItem = &loginItem;
    deps.hideFlagIsOn = [&hideFlag] { return hideFlag.isOn(); };
    deps.hideFlagSet = [&hideFlag](bool on) { return hideFlag.set(on); };
    // When "off" can't be written, the item goes, so "on" can't come back
    // after a restart.
    deps.hideFlagRemove = [] {
        try {
            KeychainDeviceStorage(KeychainDeviceStorage::defaultService, KeychainFlag::hideScreenAccount,
                                  KeychainFlag::hideScreenLabel)
                .remove();
            return true;
        } catch (const std::exception&) {
            return false;
        }
    };
    deps.lookAtLocker = [&locker](std::function<void(LockerLook)> answer) {
        locker.look([answer](ScreenLocker::Look look) { answer(LockerLook{look.answers, look.locked}); });
    };
    deps.tryLock = [&locker](std::function<void(bool)> done) { locker.lock(std::move(done)); };
    deps.canInject = [xtest] { return xtest; };
    deps.canCapture = [display = x11.display] { return display; };
    deps.canWatchKeys = [xi = x11.xinput2] { return xi; };
    deps.takeStats = [stats = screen.takeStats]() -> std::optional<ShellLines::CaptureStats> { return stats(); };
    deps.screenCount = [screens = x11.screens] { return screens; };
    deps.restoreOwed = [fx = effects.get()] { return fx && fx->restoreOwed(); };
    deps.background = [&background](std::function<void()> work) { background.post(std::move(work)); };
    deps.receivedRoot = receivedRoot();
    deps.outbox = deps.receivedRoot / std::string(DiskFiles::outboxName);
    deps.naming = OutboxNaming::transfer();
    deps.program = program;
    // The guide windows live as long as the process, like their panels.
    std::unique_ptr<QWidget> welcomeWindow;
    std::unique_ptr<QWidget> connectWindow;
    deps.makeGuideWindow = [&welcomeWindow, &connectWindow](const std::shared_ptr<GuidePanel>& panel,
                                                            ShellDeps::GuideWindowKind kind,
                                                            std::function<void()> dontShowAgain) {
        if (kind == ShellDeps::GuideWindowKind::welcome)
            welcomeWindow.reset(makeWelcomeWindow(panel, std::move(dontShowAgain)));
        else
            connectWindow.reset(makeConnectWindow(panel));
    };
    deps.laptop = SystemState::hasBattery();
    shell = Shell::create(std::move(deps));
    *lockShell = shell;
    store.setOnSaveChange([&mainQueue, weak = std::weak_ptr<Shell>(shell)](const std::optional<std::string>& failure) {
        mainQueue.post([weak, failure] {
            if (auto s = weak.lock()) s->savesChanged(failure);
        });
    });
    shell->notePermissionsLogged(permissionsLine);
    shell->loadSettings();
    // Whether anything can lock the screen: the owner sees a missing locker
    // before relying on it.
    shell->lookAtLockerAtLaunch();

    std::shared_ptr<RemoteServer> server;
    std::unique_ptr<ServerForShell> serverForShell;
    // Made once the server listens; the wind-down lets go of them first.
    std::unique_ptr<LoopExecutor> tailscaleQueue;
    std::shared_ptr<TailscaleControl> tailscale;
    std::unique_ptr<SettingsRelaySettings> relaySettings;
    std::shared_ptr<RelayController> relay;
    std::unique_ptr<RelaySleepWatch> relaySleep;
    setup.paused = shell->paused();
    try {
        server = RemoteServer::create(std::move(setup));
    } catch (const std::exception& e) {
        write("error", std::string("server not created: ") + e.what());
    }
    if (server) {
        serverForShell = std::make_unique<ServerForShell>(server);
        shell->setServer(serverForShell.get());
        // The controller's device id comes with the session-started event
        // that follows the name in the same turn; the lock decision uses
        // that id, never a later reading of the server.
        auto pendingName = std::make_shared<std::optional<std::string>>();
        std::weak_ptr<Shell> weakShell = shell;
        server->onControllerChange = [weakShell, pendingName](std::optional<std::string> name) {
            auto s = weakShell.lock();
            if (!s) return;
            if (name) {
                *pendingName = std::move(name);
                return;
            }
            pendingName->reset();
            s->controllerChanged(std::nullopt, std::nullopt);
        };
        server->onSession = [weakShell, pendingName](const SessionEvent& event) {
            auto s = weakShell.lock();
            if (!s) return;
            s->sessionEvent(event);
            if (const auto* started = std::get_if<session_event::Started>(&event); started && *pendingName) {
                const auto name = **pendingName;
                pendingName->reset();
                s->controllerChanged(name, started->deviceID);
            }
        };
        server->onClipboardTransfer = [&counted](ClipboardDirection direction) { counted.count(direction); };
        server->onPairAttempt = [weakShell](bool viaTailnet, const RemoteServer::PairAttempt& attempt) {
            auto s = weakShell.lock();
            if (!s) return;
            if (const auto* paired = std::get_if<pair_attempt::Paired>(&attempt))
                s->pairAttempted(viaTailnet, paired->name, false);
            else if (const auto* notSaved = std::get_if<pair_attempt::NotSaved>(&attempt))
                s->pairRefused(viaTailnet, notSaved->reason);
            else
                s->pairAttempted(viaTailnet, std::nullopt, std::holds_alternative<pair_attempt::WrongCode>(attempt));
        };
        server->onFileTransfer = [&log](const FileTransferReport& report) { log.write("files", report.logLine()); };
        server->onStoppedOnMac = [weakShell] {
            if (auto s = weakShell.lock()) s->stoppedOnMac();
        };
        server->onLockAsked = [weakShell](std::uint64_t ask) {
            if (auto s = weakShell.lock()) s->lockAsked(ask);
        };
        // Sound: the source follows the default output of the sound server
        // the session runs.
        auto sound = std::make_shared<SystemAudioSource>(soundControl, soundBuild);
        sound->setOnReport([&log](const std::string& text) { log.write("audio", text); });
        server->setAudioSource(sound);
        server->setOnAudioSession([&log](double seconds, int sent, int dropped) {
            log.write("audio", ShellLines::audioSession(seconds, sent, dropped));
        });
        server->onListenerFailure = [weakShell](const std::string& reason) {
            if (auto s = weakShell.lock()) s->listenerFailed(reason);
        };
    }

    // Wind down in order, once, whatever ends the host from here on (before,
    // nothing needs it). A tool run under way may hold the tailnet queue for
    // the rest of its time limit.
    exits.setWindDown([&] {
        shell->setTailscale(nullptr);
        shell->setRelay({});
        // A relay turned off just before the quit still holds the server on its
        // queue until its goodbyes leave; the server and its queues go after.
        if (relay) relay->waitForGoodbyes();
        relay.reset();
        tailscale.reset();
        tailscaleQueue.reset();
        if (server) server->stop();
        injector->releaseEverything();
        // Every changed resolution goes back and the cover comes down; nothing
        // that might still arrive can change them again.
        if (effects) effects->restoreAll(std::numeric_limits<std::int64_t>::max());
        store.waitForSaves();
        if (server) {
            server->onControllerChange = nullptr;
            server->onSession = nullptr;
        }
        mainQueue.close();
        // What is left on these queues answers nobody now. A system check
        // that never answers holds its queue for its program's limit, and
        // letting go of the queue would join it: past a short wait the
        // process ends here instead, everything that matters being done.
        // Said before the quit line, the last.
        if (!settledWithin({&sleepQueue, &background}, quitWaitMillis)) {
            log.write("app", "a screen locker or system check did not answer; quitting without waiting for it");
            ShellExit::endAtFinish();
        }
        shell->terminate();
        log.flush();
    });

    tray->start();
    shell->updateIcon();

    if (siteError) {
        shell->setStartError("Not running: the built-in web client is damaged");
        write("error", "server not started: the built-in web client is damaged (" + *siteError + "). Build it again with scripts/run.");
    } else if (server) {
        try {
            server->start();
            write("server", "listening on 127.0.0.1:8722, " + std::to_string(store.devices().size()) +
                                " paired device(s)");
            std::cout << "Morvane is running: open http://127.0.0.1:8722/ in a browser on this computer; "
                      << (tray->usesTray() ? "its menu is under the Morvane icon in the tray"
                                           : "its menu is in the Morvane window")
                      << std::endl;
        } catch (const std::exception& e) {
            const auto* startError = dynamic_cast<const RemoteServer::StartError*>(&e);
            if (startError && startError->kind() == RemoteServer::StartError::Kind::portInUse) {
                // Most often another user logged in at the same time, whose
                // Morvane serves this computer: say who, and what to do.
                const auto words = port_holder::words(8722, port_holder::find(8722), ::getuid());
                shell->setStartError("Not running: " + words.menu, words.advice);
                std::cerr << "Morvane is not serving: " << words.line << "\n";
                write("error", "server did not start on 127.0.0.1:8722: " + words.line);
            } else {
                shell->setStartError(std::string("Not running: ") + e.what());
                std::cerr << "Morvane is not serving: " << e.what() << "; its menu says more\n";
                write("error", std::string("server did not start on 127.0.0.1:8722: ") + e.what());
            }
        }
    } else {
        shell->setStartError("Not running: the server could not be made");
    }

    // The tailnet road: read every 30 seconds, the server told each time.
    if (server) {
        tailscaleQueue = std::make_unique<LoopExecutor>("morvane.tailscale");
        TailscaleControl::Setup tailnetSetup;
        tailnetSetup.port = 8722;
        tailnetSetup.setAccess = [server](std::optional<TailnetAccess> access) {
            server->setTailnetAccess(std::move(access));
        };
        tailnetSetup.log = write;
        tailnetSetup.main = &mainQueue;
        tailnetSetup.queue = tailscaleQueue.get();
        tailnetSetup.cli = std::shared_ptr<TrustedCLI::Tool>(makeLinuxTrustedCLI());
        tailscale = TailscaleControl::create(std::move(tailnetSetup));
        shell->setTailscale(tailscale.get());
        tailscale->start();
    }

    // The relay road: one controller, made right after the server and
    // started only when the server listens.
    if (server && !shell->startError()) {
        relaySettings = std::make_unique<SettingsRelaySettings>(settings);
        auto port = std::make_shared<RemoteServerRelayPort>(server);
        std::shared_ptr<DeviceStorage> identityItem;
        if (hardened)
            identityItem = std::make_shared<KeychainDeviceStorage>(
                KeychainDeviceStorage::defaultService, RelayIdentityStore::account, RelayIdentityStore::label);
        else
            identityItem = std::make_shared<RefusingDeviceStorage>(RefusingDeviceStorage::notHardenedReason);
        std::weak_ptr<Shell> weakShell = shell;
        RelayController::Setup relaySetup;
        relaySetup.server = port;
        relaySetup.store = &store;
        relaySetup.log = write;
        relaySetup.hardened = hardened;
        relaySetup.hooks.blocked = [weakShell] {
            auto s = weakShell.lock();
            return !s || s->blocked();
        };
        relaySetup.hooks.paused = [weakShell] {
            auto s = weakShell.lock();
            return !s || s->paused();
        };
        relaySetup.hooks.authenticating = [weakShell] {
            auto s = weakShell.lock();
            return s && s->authenticating();
        };
        relaySetup.hooks.authenticate = [weakShell](const std::string& action, const std::string& reason,
                                                    std::function<void()> ok, std::function<void()> fail) {
            if (auto s = weakShell.lock()) s->withOwnerAuthentication(action, reason, std::move(fail), std::move(ok));
        };
        relaySetup.hooks.runAlert = [weakShell](const RelayAlert& alert, std::function<bool()> closeWhen) {
            auto s = weakShell.lock();
            if (!s) return RelayResponse::abort;
            AlertText text{alert.message, alert.informative, alert.buttons, alert.firstIsDefault};
            if (alert.field)
                text.field = AlertField{alert.field->text, alert.field->placeholder, alert.field->accessibilityLabel};
            return static_cast<int>(s->runAlert(text, std::move(closeWhen)));
        };
        relaySetup.hooks.fieldText = [weakShell] {
            auto s = weakShell.lock();
            return s ? s->alertFieldText() : std::string();
        };
        // The build's relay, unless MORVANE_RELAY_HOST names another; with
        // neither the owner enters theirs. MORVANE_RELAY_ORIGIN sends every
        // account call and the link to another origin (a morvane-relay on
        // loopback) whatever the address.
        relaySetup.builtInAddress = builtInRelayHost();
        if (const char* address = std::getenv("MORVANE_RELAY_HOST")) relaySetup.configuredAddress = address;
        std::optional<RelayEndpoints> endpoints;
        if (const char* origin = std::getenv("MORVANE_RELAY_ORIGIN")) {
            endpoints = relayEndpointsAt(origin);
            if (!endpoints) write("relay", "MORVANE_RELAY_ORIGIN is not an http(s) origin; the relay address is used");
        }
        auto accountHttp = std::make_shared<BeastRelayHttp>(RelayAccount::maxAnswerBytes);
        relaySetup.makeAccount = [accountHttp, endpoints](const std::string& origin) {
            return RelayAccount::create(endpoints ? endpoints->accountOrigin : origin, accountHttp, systemWallMillis);
        };
        relaySetup.computerName = [] { return RelayAccount::cleanHostName(computerName()); };
        relaySetup.settings = relaySettings.get();
        relaySetup.identities = std::make_shared<RelayIdentityStore>(identityItem);
        // The link lives on the server's queue: its socket, its timers and
        // the network path watch all run on that queue's context.
        ServerQueue* serverQueue = &server->sessionQueue();
        auto counters = std::make_shared<SettingsCounterStorage>(settings, mainQueue);
        relaySetup.makeLink = [serverQueue, counters, endpoints](const std::string& base, const RelayIdentity& identity) {
            HostRelayLink::Options options{
                .baseURL = endpoints ? endpoints->linkBase : base, .identity = identity, .queue = serverQueue};
            options.counters = counters;
            options.sockets = std::make_shared<BeastRelaySocketFactory>(serverQueue->context());
            options.pathMonitor = [serverQueue] { return makeNetlinkPathMonitor(serverQueue->context()); };
            return HostRelayLink::create(std::move(options));
        };
        relaySetup.makeHost = [port, &store, &mainQueue](const RelayIdentity& identity,
                                                         std::shared_ptr<RelayLinkTransport> link) {
            return RelayHost::create(RelayHost::setupFor(identity, port, store, std::move(link), mainQueue));
        };
        relay = RelayController::create(std::move(relaySetup));
        relay->start();
        std::weak_ptr<RelayController> weakRelay = relay;
        relaySleep = watchRelaySleep(
            [weakRelay] {
                if (auto r = weakRelay.lock()) r->willSleep();
            },
            [weakRelay] {
                if (auto r = weakRelay.lock()) r->didWake();
            });
        Shell::RelayHooks relayHooks;
        relayHooks.section = [weakRelay](bool blocked) {
            auto r = weakRelay.lock();
            return r ? relayMenuItems(r->menuSection(blocked)) : std::vector<MenuItem>{};
        };
        relayHooks.perform = [weakRelay](const std::string& action) {
            if (auto r = weakRelay.lock()) r->perform(action);
        };
        relayHooks.paused = [weakRelay] {
            if (auto r = weakRelay.lock()) r->morvanePaused();
        };
        relayHooks.guideFacts = [weakRelay] {
            auto r = weakRelay.lock();
            return r ? r->guideFacts() : ConnectRelayFacts{};
        };
        relayHooks.flowBusy = [weakRelay] {
            auto r = weakRelay.lock();
            return r && r->flowBusy();
        };
        relayHooks.recentlyAdded = [weakRelay]() -> std::optional<std::string> {
            auto r = weakRelay.lock();
            return r ? r->recentlyAdded() : std::nullopt;
        };
        relayHooks.address = [weakRelay] {
            auto r = weakRelay.lock();
            return r ? r->relayAddress() : std::string();
        };
        shell->setRelay(std::move(relayHooks));
    }

    // A device list of an earlier build is removed unread.
    const fs::path older = support / "devices.json";
    std::error_code ec;
    if (fs::exists(fs::symlink_status(older, ec))) {
        if (private_file::holdsSpecialFile(AT_FDCWD, older.string()))
            write("migration", "devices.json from an earlier build is not a regular file; it is left as it is");
        else if (fs::remove(older, ec))
            write("migration", "devices.json from an earlier build removed unread; pair again");
        else
            write("migration", "devices.json from an earlier build could not be removed");
    }

    shell->welcomeAtLaunch(store.devices().size());

    exits.started();
    return exits.finish(QApplication::exec());
}

}  // namespace morvane
