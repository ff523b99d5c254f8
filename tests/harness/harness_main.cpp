// morvane-harness: runs the real server on 127.0.0.1 with stand-in platform
// adapters so tests can drive it with real sockets.
//
//   morvane-harness [--port PORT] [--x11] [--files DIR] [--tailscale DIR] [--relay ORIGIN]
//
// With --x11 the server drives the real Linux adapters on $DISPLAY: the X11
// screen source, input through XTEST, the CLIPBOARD selection, the sound
// of the PulseAudio server named by the environment, and the display effects
// (RandR modes, the Qt cover window, the Escape watch, the watchdog), whose
// log lines come out as "display" events; the main queue is then Qt's loop
// and standard input is read on a thread of its own. Without
// it the screen, input and clipboard are stand-ins that report on stdout.
// With --files, received files land in DIR and DIR/Outbox is offered to
// devices; without it every file request is answered "unavailable".
// With --tailscale, the tailnet control runs the tool DIR/bin/tailscale,
// trusting folders from DIR down and the package lists in DIR/dpkg (a
// root-owned stand-in the tests make); its state changes are printed as
// "tailnet" events.
// A lock the page asks for is judged as the tray's shell judges it, through
// the desktop's screen locker (which, with no session bus and no display in
// its environment, finds none), and its lines come out as "shell" events;
// the test host never locks when the controller leaves (its shell's
// settings say so), and tells the page so. The shell hears the controller
// come and go, as the tray's does, and looks at the locker when one comes.
// With --relay (an http(s) origin of a relay on loopback, morvane-relay in
// the tests) the host asks the relay for a sign-in code for
// owner@example.com, prints "relay-code-sent" and reads the code from its
// first input line, registers as "Test Machine", keeps its link up and serves
// relayed devices; "relay-enrol" opens its window for a new device,
// "relay-approve" and "relay-cancel" answer the code, which comes out as a
// "relay-code" event, and "relay-enrolled" says how the window ended.
//
// Prints "listening 127.0.0.1:PORT" once the listener is up, then one JSON
// line per event it observes. Reads commands on standard input, one a line:
// "pair", "pause", "resume", "revoke ID" (answered with what a restart
// would find: "revoke saved", "revoke recorded" when only a record beside
// the unsaved list keeps the device out, "revoke not-saved list-removed" or
// "revoke not-saved list-kept"; "revoke not-paired" when no paired device
// has that id, and nothing is changed), "stats" (open connections and the
// server queue's pending waits), "quit", and "stall-main SECONDS", which
// keeps the main queue busy for that long (a stuck host), and with
// --tailscale "tailscale refresh", "tailscale on", "tailscale off".
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <QApplication>
#include <QDBusConnection>
#include <chrono>
#include <future>
#include <limits>
#include <nlohmann/json.hpp>
#include <thread>

#include "core/heap.h"
#include "app/main_queue_qt.h"
#include "app/server_for_shell.h"
#include "app/settings_store.h"
#include "app/shell.h"
#include "app/system_state.h"

#include "core/clipboard_access.h"
#include "core/frame_source.h"
#include "core/input_sink.h"
#include "core/loop_executor.h"
#include "core/paths.h"
#include "platform/linux/audio_pulse.h"
#include "platform/linux/capture_x11_source.h"
#include "platform/linux/clipboard_x11.h"
#include "platform/linux/cover_window_qt.h"
#include "platform/linux/display_effects_x11.h"
#include "platform/linux/input_x11.h"
#include "platform/linux/locker_linux.h"
#include "platform/linux/locker_watch_linux_qt.h"
#include "platform/linux/locker_xscreensaver_x11.h"
#include "platform/linux/tailscale_cli.h"
#include "devices/device_store.h"
#include "relay/beast_relay_socket.h"
#include "relay/host_relay_link.h"
#include "relay/relay_account.h"
#include "relay/relay_counter_storage.h"
#include "relay/relay_host.h"
#include "relay/relay_http.h"
#include "relay/relay_identity.h"
#include "relay/relay_server_port.h"
#include "relay/relay_url.h"
#include "devices/keychain_device_storage.h"
#include "server/lock_relay.h"
#include "server/remote_server.h"
#include "protocol/static_site.h"
#include "tailnet/tailscale_control.h"
#include "transfer/disk_files.h"
#include "web/embedded_web.h"

namespace morvane {
namespace {

std::mutex outputLock;

void say(const std::string& line) {
    std::lock_guard lock(outputLock);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void event(nlohmann::json e) { say(e.dump()); }

// What a restart after this revocation would find. An id that names no
// device revokes nothing: a test that typed a wrong id must not read that
// something was saved.
std::string revokeAnswer(DeviceStore& store, const std::string& id) {
    const auto devices = store.devices();
    if (std::none_of(devices.begin(), devices.end(), [&](const PairedDevice& d) { return d.id == id; }))
        return "not-paired";
    if (store.revoke(id)) {
        return store.unsavedRevocation() == DeviceStore::UnsavedRevocation::listRemoved ? "not-saved list-removed"
                                                                                        : "not-saved list-kept";
    }
    return store.lastSaveFailure() ? "recorded" : "saved";
}

// Picture delivery is not wired yet, so the source only reports a state.
class TestCardSource final : public FrameSource {
public:
    std::string state() const override { return running_ ? "ok" : "starting"; }
    void start(const std::shared_ptr<FrameObserver>&) override { running_ = true; }
    void stop() override { running_ = false; }
    void setQuality(FrameQuality q) override { event({{"event", "quality"}, {"quality", std::string(toString(q))}}); }
    void requestFrame() override {}

private:
    bool running_ = false;
};

class PrintingInput final : public InputSink {
public:
    void handle(const InputEvent& e) override {
        nlohmann::json line = {{"event", "input"}};
        std::visit(
            [&](const auto& v) {
                using T = std::decay_t<decltype(v)>;
                if constexpr (std::is_same_v<T, input::Move>) {
                    line["kind"] = "move", line["x"] = v.x, line["y"] = v.y;
                } else if constexpr (std::is_same_v<T, input::Button>) {
                    line["kind"] = "button", line["button"] = v.button, line["down"] = v.down;
                    line["x"] = v.x, line["y"] = v.y, line["clicks"] = v.clicks;
                } else if constexpr (std::is_same_v<T, input::Scroll>) {
                    line["kind"] = "scroll", line["dx"] = v.dx, line["dy"] = v.dy;
                } else if constexpr (std::is_same_v<T, input::Key>) {
                    line["kind"] = "key", line["code"] = v.code, line["down"] = v.down;
                } else if constexpr (std::is_same_v<T, input::Text>) {
                    line["kind"] = "text", line["text"] = v.text;
                } else {
                    line["kind"] = "lock";
                }
            },
            e);
        event(line);
    }
    void releaseEverything() override { event({{"event", "release"}}); }
};

class MemoryClipboard final : public ClipboardAccess {
public:
    void readPlainText(int /*limit*/, std::function<void(ClipboardRead)> completion) override {
        std::lock_guard lock(m_);
        completion(text_.empty() ? ClipboardRead(clipboard_read::Empty{}) : ClipboardRead(clipboard_read::Text{text_}));
    }
    bool writePlainText(const std::string& text) override {
        std::lock_guard lock(m_);
        text_ = text;
        return true;
    }

private:
    std::mutex m_;
    std::string text_;
};

// The relay identity lives only as long as this run.
class MemoryItem final : public DeviceStorage {
public:
    std::string summary() const override { return "memory"; }
    std::optional<Bytes> load() override { return bytes_; }
    void save(std::span<const std::uint8_t> data) override { bytes_ = Bytes(data.begin(), data.end()); }
    void remove() override { bytes_.reset(); }

private:
    std::optional<Bytes> bytes_;
};

// Signs in and registers this host at the relay, the owner's set-up done in
// one go; the error text when it fails.
std::optional<std::string> registerAtRelay(const std::string& origin, const RelayIdentity& identity) {
    auto account = RelayAccount::create(origin, std::make_shared<BeastRelayHttp>(RelayAccount::maxAnswerBytes),
                                        systemWallMillis);
    if (!account) return "not a relay origin: " + origin;
    const std::string email = "owner@example.com", login = RelayAccount::newLoginID();
    auto failed = [](const RelayAccountFailure& f) {
        return "relay refused: " + f.error + " (" + std::to_string(f.status) + ")";
    };
    std::promise<RelayAccountResult<bool>> sent;
    auto t1 = account->sendCode(email, login, [&](auto r) { sent.set_value(std::move(r)); });
    auto code = sent.get_future().get();
    if (auto f = std::get_if<RelayAccountFailure>(&code)) return failed(*f);
    say("relay-code-sent");
    std::string typed;
    if (!std::getline(std::cin, typed)) return std::string("no sign-in code on standard input");
    std::promise<RelayAccountResult<RelayAccountSession>> verified;
    auto t2 = account->verify(email, login, typed, [&](auto r) { verified.set_value(std::move(r)); });
    auto session = verified.get_future().get();
    if (auto f = std::get_if<RelayAccountFailure>(&session)) return failed(*f);
    std::promise<RelayAccountResult<bool>> registered;
    auto t3 = account->registerHost(identity, std::get<RelayAccountSession>(session), "Test Machine",
                                    [&](auto r) { registered.set_value(std::move(r)); });
    auto answer = registered.get_future().get();
    if (auto f = std::get_if<RelayAccountFailure>(&answer)) return failed(*f);
    return std::nullopt;
}

// The test host allows every display effect from its start and never locks
// as its controller goes, whatever the settings say; its page is told so.
class LockingShellServer final : public ServerForShell {
public:
    using ServerForShell::ServerForShell;
    void setEffectsAllowed(bool, bool, bool) override {}
    void setLockFacts(bool canLock, bool) override { ServerForShell::setLockFacts(canLock, false); }
};

struct NoOwner final : OwnerPrompt {
    void ask(const std::string&, std::function<void(bool)> done) override { done(false); }
    void cancel() override {}
};

std::string pairOutcome(const RemoteServer::PairAttempt& attempt) {
    if (std::holds_alternative<pair_attempt::Paired>(attempt)) return "paired";
    if (std::holds_alternative<pair_attempt::WrongCode>(attempt)) return "wrong-code";
    if (std::holds_alternative<pair_attempt::NotSaved>(attempt)) return "not-saved";
    return "closed";
}

void complain(const std::string& text) {
    std::lock_guard lock(outputLock);
    std::fprintf(stderr, "morvane-harness: %s\n", text.c_str());
    std::fflush(stderr);
}

int run(int argc, char** argv) {
    std::uint16_t port = 8722;
    bool x11 = false;
    std::optional<std::string> filesRoot;
    std::optional<std::filesystem::path> toolFolder;
    std::optional<std::string> relayOrigin;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--port" && i + 1 < argc) {
            long value = std::strtol(argv[++i], nullptr, 10);
            if (value < 0 || value > 65'535) {
                std::fprintf(stderr, "morvane-harness: invalid port\n");
                return 2;
            }
            port = static_cast<std::uint16_t>(value);
        } else if (arg == "--x11") {
            x11 = true;
        } else if (arg == "--files" && i + 1 < argc) {
            filesRoot = argv[++i];
        } else if (arg == "--tailscale" && i + 1 < argc) {
            toolFolder = std::filesystem::path(argv[++i]);
        } else if (arg == "--relay" && i + 1 < argc) {
            relayOrigin = argv[++i];
        } else {
            std::fprintf(stderr,
                         "usage: morvane-harness [--port PORT] [--x11] [--files DIR] [--tailscale DIR] [--relay ORIGIN]\n");
            return 2;
        }
    }

    auto support = appSupportFolder();
    if (!support || !createFolders(*support)) {
        std::fprintf(stderr, "morvane-harness: no application support folder\n");
        return 1;
    }
    auto storage = std::make_shared<KeychainDeviceStorage>(KeychainDeviceStorage::defaultService,
                                                           KeychainDeviceStorage::defaultAccount);
    DeviceStore store(storage);

    StaticSite site;
    try {
        site = StaticSite::fromEmbedded(EmbeddedWeb::files());
    } catch (const StaticSite::Problem& problem) {
        std::fprintf(stderr, "morvane-harness: %s\n", problem.what());
        return 1;
    }

    // Qt's loop is the main queue with --x11, for the cover window.
    std::unique_ptr<QApplication> qt;
    std::unique_ptr<QtMainQueue> qtQueue;
    std::unique_ptr<LoopExecutor> loopQueue;
    if (x11) {
        qt = std::make_unique<QApplication>(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
        qtQueue = std::make_unique<QtMainQueue>();
    } else {
        loopQueue = std::make_unique<LoopExecutor>("main");
    }
    Executor& mainQueue = qtQueue ? static_cast<Executor&>(*qtQueue) : *loopQueue;
    // With --x11, the screen lockers are heard and asked as the tray's host
    // does, over the buses and the display on Qt's thread (the main queue
    // then); without, there is none to ask. The input asks whether the
    // screen is locked too, to wake a locked screen's dialog before its keys.
    std::unique_ptr<ScreenLockWatch> lockWatch;
    auto lockShell = std::make_shared<std::weak_ptr<Shell>>();
    if (x11)
        lockWatch = std::make_unique<ScreenLockWatch>(QDBusConnection::sessionBus(), QDBusConnection::systemBus(),
                                                      XScreenSaverLink::open(), [&mainQueue, lockShell] {
                                                          mainQueue.post([lockShell] {
                                                              if (auto s = lockShell->lock()) s->lockerMoved();
                                                          });
                                                      });
    ScreenLocker locker(nullptr, lockWatch.get(), lockWatch ? lockWatch->xscreensaver() : nullptr);
    // The host's queues, made before the components given them.
    LoopExecutor inputQueue("morvane.input");
    LoopExecutor clipboardQueue("morvane.clipboard");
    LoopExecutor fileQueue("morvane.files");
    std::unique_ptr<FrameSource> frames;
    std::unique_ptr<InputSink> input;
    std::unique_ptr<ClipboardAccess> clipboard;
    if (x11) {
        auto screen = makeX11ScreenSource(std::make_shared<LoopExecutor>("morvane.capture.control"),
                                          std::make_shared<LoopExecutor>("morvane.capture.encode"));
        screen->setOnReport([](const std::string& text) { complain("capture: " + text); });
        ScreenFrameSource* raw = screen.get();
        input = makeX11Input(
            inputQueue, [raw] { return raw->displayBounds(); },
            [](const std::string& text) { complain("input: " + text); }, "", std::nullopt,
            [&lockWatch] { return lockWatch->locked(); });
        clipboard = makeX11Clipboard(clipboardQueue, [](const std::string& text) { complain("clipboard: " + text); });
        frames = std::move(screen);
        if (!input || !clipboard) {
            complain("--x11: no X display");
            return 1;
        }
    } else {
        frames = std::make_unique<TestCardSource>();
        input = std::make_unique<PrintingInput>();
        clipboard = std::make_unique<MemoryClipboard>();
    }
    frames->setMainQueue(&mainQueue);
    std::unique_ptr<DiskFiles> files;
    // The floor keeps an owner's disk from filling up. The uploads here are
    // a few kilobytes on whatever disk the tests run on, so the floor counts
    // as free: a test machine with under 2 GiB left still runs them, and a
    // disk that is truly full still refuses them.
    if (filesRoot)
        files = std::make_unique<DiskFiles>(*filesRoot, [](int folder) {
            auto free = DiskFiles::systemFreeSpace(folder);
            if (free) *free += DiskFiles::freeSpaceFloor;
            return free;
        });

    RemoteServer::Setup setup;
    setup.port = port;
    setup.site = std::move(site);
    setup.store = &store;
    setup.frames = frames.get();
    setup.input = input.get();
    setup.clipboard = clipboard.get();
    setup.files = files.get();
    setup.fileQueue = &fileQueue;
    setup.mainQueue = &mainQueue;
    if (x11)
        setup.status = [&lockWatch] { return HostStatus{true, lockWatch->locked(), false, false}; };
    else
        setup.status = [] { return HostStatus{true, false, false, false}; };
    // Made on the main thread, which is Qt's here; it first puts back what
    // an earlier run of this boot left changed.
    std::shared_ptr<SystemDisplayEffects> effects;
    if (x11) {
        effects = makeX11DisplayEffects(
            *support / "display-change.json",
            [](const std::string& text) { event({{"event", "display"}, {"line", text}}); }, mainQueue,
            makeQtCoverMaker());
        if (effects) {
            connectCover(effects, *frames);
            effects->recoverAtLaunch();
        }
    }
    setup.effects = effects.get();
    auto server = RemoteServer::create(std::move(setup));
    server->onPairAttempt = [](bool viaTailnet, const RemoteServer::PairAttempt& attempt) {
        nlohmann::json line = {{"event", "pair-attempt"}, {"outcome", pairOutcome(attempt)}, {"viaTailnet", viaTailnet}};
        if (auto paired = std::get_if<pair_attempt::Paired>(&attempt)) line["name"] = paired->name;
        event(line);
    };
    server->onListenerFailure = [](const std::string& error) { event({{"event", "listener-failure"}, {"error", error}}); };
    server->onStoppedOnMac = [] { event({{"event", "stopped-on-mac"}}); };
    server->onFileTransfer = [](const FileTransferReport& report) {
        event({{"event", "file-transfer"}, {"line", report.logLine()}});
    };

    // The machine's sound, from the default output of the sound server
    // named by the environment.
    std::shared_ptr<SystemAudioSource> sound;
    if (x11) {
        sound = std::make_shared<SystemAudioSource>(std::make_shared<LoopExecutor>("morvane.audio.control"),
                                                    std::make_shared<LoopExecutor>("morvane.audio.build"));
        sound->setOnReport([](const std::string& text) { complain("audio: " + text); });
        server->setAudioSource(sound);
        server->setOnAudioSession([](double seconds, int sent, int dropped) {
            event({{"event", "audio-session"}, {"seconds", seconds}, {"sent", sent}, {"dropped", dropped}});
        });
    }

    try {
        server->start();
    } catch (const RemoteServer::StartError& e) {
        std::fprintf(stderr, "morvane-harness: %s\n", e.what());
        return 1;
    }
    // The test host's owner allows both effects; it never locks.
    server->setEffectsAllowed(true, true, false);

    // A lock the page asks for, judged by the shell through the screen
    // locker, off the main queue as the tray asks it.
    NoOwner owner;
    LockingShellServer shellServer(server);
    SettingsStore shellSettings(*support / "harness-settings.json", nullptr);
    shellSettings.setBool(SettingsKeys::lockOnDisconnect, false);
    ShellDeps shellDeps;
    shellDeps.main = &mainQueue;
    shellDeps.settings = &shellSettings;
    shellDeps.prompt = &owner;
    shellDeps.log = [](const std::string& tag, const std::string& text) {
        event({{"event", "shell"}, {"tag", tag}, {"line", text}});
    };
    // On the main queue, where the watch answers.
    shellDeps.lookAtLocker = [&locker](std::function<void(LockerLook)> answer) {
        locker.look([answer](ScreenLocker::Look look) { answer(LockerLook{look.answers, look.locked}); });
    };
    shellDeps.tryLock = [&locker](std::function<void(bool)> done) { locker.lock(std::move(done)); };
    auto shell = Shell::create(std::move(shellDeps));
    shell->loadSettings();
    shell->setServer(&shellServer);
    // As the tray's: the device id comes with the session-started event
    // that follows the name.
    auto pendingName = std::make_shared<std::optional<std::string>>();
    server->onControllerChange = [weak = std::weak_ptr<Shell>(shell), pendingName](std::optional<std::string> name) {
        event({{"event", "controller"}, {"name", name ? nlohmann::json(*name) : nlohmann::json(nullptr)}});
        *pendingName = name;
        if (auto s = weak.lock(); s && !name) s->controllerChanged(std::nullopt, std::nullopt);
    };
    server->onSession = [weak = std::weak_ptr<Shell>(shell), pendingName](const SessionEvent& e) {
        if (auto started = std::get_if<session_event::Started>(&e)) {
            event({{"event", "session-started"}, {"device", started->deviceID}, {"name", started->name},
                   {"route", started->route}});
            if (auto s = weak.lock(); s && *pendingName) s->controllerChanged(**pendingName, started->deviceID);
            pendingName->reset();
        } else if (auto ended = std::get_if<session_event::Ended>(&e)) {
            event({{"event", "session-ended"}, {"device", ended->deviceID}, {"takenOver", ended->takenOver}});
        }
    };
    server->onLockAsked = [weak = std::weak_ptr<Shell>(shell)](std::uint64_t ask) {
        if (auto s = weak.lock()) s->lockAsked(ask);
    };
    *lockShell = shell;
    shell->lookAtLockerAtLaunch();
    say("listening 127.0.0.1:" + std::to_string(port));

    LoopExecutor tailscaleQueue("morvane.tailscale");
    std::shared_ptr<TailscaleControl> tailscale;
    if (toolFolder) {
        TailscaleControl::Setup tailnet;
        tailnet.port = port;
        tailnet.setAccess = [server](std::optional<TailnetAccess> access) { server->setTailnetAccess(std::move(access)); };
        tailnet.log = [](const std::string& tag, const std::string& text) { complain(tag + ": " + text); };
        tailnet.main = &mainQueue;
        tailnet.queue = &tailscaleQueue;
        tailnet.cli = std::shared_ptr<TrustedCLI::Tool>(makeLinuxTrustedCLI(
            {{*toolFolder / "bin" / "tailscale"}, *toolFolder, *toolFolder / "dpkg"}));
        tailscale = TailscaleControl::create(std::move(tailnet));
        TailscaleControl* raw = tailscale.get();
        tailscale->onChange = [raw] {
            const auto& s = raw->snapshot();
            event({{"event", "tailnet"},
                   {"access", s.access ? nlohmann::json(s.access->host) : nlohmann::json(nullptr)},
                   {"login", s.access && s.access->ownerLogin ? nlohmann::json(*s.access->ownerLogin)
                                                              : nlohmann::json(nullptr)},
                   {"busy", s.busy},
                   {"published", s.published},
                   {"error", s.actionError ? nlohmann::json(*s.actionError) : nlohmann::json(nullptr)}});
        };
        mainQueue.post([raw] { raw->start(); });
    }

    // The relay: link and host on the server's queue, as the tray's relay
    // controller keeps them.
    std::shared_ptr<HostRelayLink> relayLink;
    std::shared_ptr<RelayHost> relayHost;
    if (relayOrigin) {
        const auto endpoints = relayEndpointsAt(*relayOrigin);
        if (!endpoints) {
            complain("--relay: not a relay origin");
            return 2;
        }
        RelayIdentityStore identities(std::make_shared<MemoryItem>());
        const RelayIdentity identity = identities.create(systemWallMillis());
        if (auto problem = registerAtRelay(endpoints->accountOrigin, identity)) {
            complain(*problem);
            return 1;
        }
        ServerQueue* queue = &server->sessionQueue();
        HostRelayLink::Options o{.baseURL = endpoints->linkBase, .identity = identity, .queue = queue};
        o.counters = std::make_shared<MemoryCounterStorage>();
        o.sockets = std::make_shared<BeastRelaySocketFactory>(queue->context());
        relayLink = HostRelayLink::create(std::move(o));
        relayLink->log = [](const std::string& text) { event({{"event", "relay"}, {"line", text}}); };
        relayHost = RelayHost::create(
            RelayHost::setupFor(identity, std::make_shared<RemoteServerRelayPort>(server), store, relayLink, mainQueue));
        relayHost->log = relayLink->log;
        relayHost->onEnrolmentRequest = [](const std::string& name, const std::string& code) {
            event({{"event", "relay-code"}, {"name", name}, {"code", code}});
        };
        relayHost->onEnrolmentFinished = [](const std::optional<PairedDevice>& device) {
            event({{"event", "relay-enrolled"}, {"device", device ? nlohmann::json(device->id) : nlohmann::json(nullptr)}});
        };
        relayHost->start();
        relayLink->turnOn();
    }

    auto commands = [&] {
        std::string line;
        while (std::getline(std::cin, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line == "quit") break;
            if (line == "pair") {
                std::string code = store.openPairingWindow();
                if (code.size() == 8) code.insert(4, "-");
                say("code " + code);
            } else if (line == "pause") {
                server->pause(PauseCause::menu);
                say("ok");
            } else if (line == "resume") {
                server->resume();
                say("ok");
            } else if (line.rfind("revoke ", 0) == 0) {
                say("revoke " + revokeAnswer(store, line.substr(7)));
            } else if (relayHost && line == "relay-enrol") {
                say(relayHost->openEnrolmentWindow() ? "ok" : "error closed");
            } else if (relayHost && line == "relay-approve") {
                relayHost->approveEnrolment();
                say("ok");
            } else if (relayHost && line == "relay-cancel") {
                relayHost->cancelEnrolment();
                say("ok");
            } else if (line == "stats") {
                say("stats " + nlohmann::json{{"connections", server->connectionCount()},
                                              {"timers", server->pendingTimers()}}
                                   .dump());
            } else if (line.rfind("stall-main ", 0) == 0) {
                const long seconds = std::strtol(line.c_str() + 11, nullptr, 10);
                if (seconds < 1 || seconds > 600) {
                    say("error bad-seconds");
                    continue;
                }
                mainQueue.post([seconds] { std::this_thread::sleep_for(std::chrono::seconds(seconds)); });
                say("ok");
            } else if (tailscale && line.rfind("tailscale ", 0) == 0) {
                const std::string what = line.substr(10);
                TailscaleControl* raw = tailscale.get();
                if (what == "refresh")
                    mainQueue.post([raw] { raw->refresh(); });
                else if (what == "on")
                    mainQueue.post([raw] { raw->turnOn(); });
                else if (what == "off")
                    mainQueue.post([raw] { raw->turnOff(); });
                else {
                    say("error unknown-command");
                    continue;
                }
                say("ok");
            } else if (line.empty()) {
                continue;
            } else {
                say("error unknown-command");
            }
        }
    };
    if (qt) {
        std::thread reader([&] {
            commands();
            qtQueue->post([] { QApplication::quit(); });
        });
        QApplication::exec();
        reader.join();
    } else {
        commands();
    }
    // Work already queued for the control finds it gone.
    tailscale.reset();
    if (relayHost) {
        std::promise<void> gone;
        relayHost->shutDown([&] {
            relayLink->turnOffOnQueue();
            gone.set_value();
        });
        gone.get_future().wait_for(std::chrono::seconds(5));
    }
    server->stop();
    server->onLockAsked = nullptr;
    // On the main queue's thread: its timers may still be running there.
    if (loopQueue)
        runSync(*loopQueue, [&shell] { shell.reset(); });
    else
        shell.reset();
    if (effects) effects->restoreAll(std::numeric_limits<std::int64_t>::max());
    if (loopQueue) loopQueue->drain();
    if (qtQueue) qtQueue->close();
    return 0;
}

}  // namespace
}  // namespace morvane

int main(int argc, char** argv) {
    morvane::heap::configureForStreaming();
    std::signal(SIGPIPE, SIG_IGN);
    return morvane::run(argc, argv);
}
