#include "relayed_x11_rig.h"

#include "../capture/x11_test_client.h"
#include "screen_picture.h"
#include "server/frame_message.h"
#include "ws_client.h"

#include <X11/Xlib.h>

#include "../devices/test_support.h"
#include "relay/beast_relay_socket.h"
#include "relay/relay_counter_storage.h"
#include "relay/relay_host.h"
#include "relay/relay_http.h"
#include "relay/relay_identity.h"
#include "relay/relay_server_port.h"
#include "relay/relay_url.h"

namespace morvane::testing {

std::pair<int, int> pointerOnX() {
    Display* d = XOpenDisplay(nullptr);
    if (!d) return {-1, -1};
    Window root = 0, child = 0;
    int rx = -1, ry = -1, wx = 0, wy = 0;
    unsigned mask = 0;
    XQueryPointer(d, DefaultRootWindow(d), &root, &child, &rx, &ry, &wx, &wy, &mask);
    XCloseDisplay(d);
    return {rx, ry};
}

void expectPaintedBars(Phone& phone, PaintClient& paint, int screenWidth, int screenHeight) {
    auto picture = phone.nextBinary(FrameMessage::jpegTag, 10s);
    ASSERT_TRUE(picture) << "no picture";
    auto decoded = decodeJPEG(std::string(picture->begin() + 5, picture->end()));
    ASSERT_TRUE(decoded);
    int sx = 0, sy = 0;
    paint.squareAt(0, &sx, &sy);
    const int row = sy > screenHeight / 2 ? screenHeight / 5 : screenHeight * 4 / 5;
    for (int bar = 0; bar < 8; ++bar) {
        const int x = (2 * bar + 1) * screenWidth / 16;
        EXPECT_TRUE(nearColour(decoded->at(x * decoded->width / screenWidth, row * decoded->height / screenHeight),
                               PaintClient::barColour(x, screenWidth), 48))
            << "bar " << bar;
    }
}

std::shared_ptr<RelayController> makeRealRelayController(RealRelayControllerParts parts) {
    const auto endpoints = relayEndpointsAt(parts.origin);
    if (!endpoints) return nullptr;
    auto port = std::make_shared<RemoteServerRelayPort>(parts.server);
    RelayController::Setup c;
    c.server = port;
    c.store = parts.store;
    c.log = std::move(parts.log);
    c.hardened = true;
    c.hooks.blocked = [] { return false; };
    c.hooks.paused = [server = parts.server] { return server->isPaused(); };
    c.hooks.authenticating = [] { return false; };
    c.hooks.authenticate = [main = parts.main](const std::string&, const std::string&, std::function<void()> ok,
                                               std::function<void()>) { main->post(std::move(ok)); };
    c.hooks.runAlert = std::move(parts.owner);
    c.hooks.fieldText = std::move(parts.typed);
    c.settings = parts.settings;
    c.identities = std::make_shared<RelayIdentityStore>(std::make_shared<MemoryStorage>());
    auto http = std::make_shared<BeastRelayHttp>(RelayAccount::maxAnswerBytes);
    c.makeAccount = [http, origin = endpoints->accountOrigin](const std::string&) {
        return RelayAccount::create(origin, http, systemWallMillis);
    };
    c.computerName = [] { return std::string("Test Machine"); };
    ServerQueue* queue = &parts.server->sessionQueue();
    c.makeLink = [queue, base = endpoints->linkBase](const std::string&, const RelayIdentity& identity) {
        HostRelayLink::Options o{.baseURL = base, .identity = identity, .queue = queue};
        o.counters = std::make_shared<MemoryCounterStorage>();
        o.sockets = std::make_shared<BeastRelaySocketFactory>(queue->context());
        return HostRelayLink::create(std::move(o));
    };
    c.makeHost = [store = parts.store, main = parts.main, port](const RelayIdentity& identity,
                                                                std::shared_ptr<RelayLinkTransport> link) {
        return RelayHost::create(RelayHost::setupFor(identity, port, *store, std::move(link), *main));
    };
    c.builtInAddress = "relay.example.com";
    return RelayController::create(std::move(c));
}

void RelayedX11Host::SetUp() {
    screen = makeX11ScreenSource(std::make_shared<LoopExecutor>("control"), std::make_shared<LoopExecutor>("encode"));
    ScreenFrameSource* raw = screen.get();
    input = makeX11Input(inputQueue, [raw] { return raw->displayBounds(); }, [](const std::string&) {});
    clipboard = makeX11Clipboard(clipboardQueue, [](const std::string&) {});
    ASSERT_TRUE(input && clipboard);
    screen->setMainQueue(&main);

    RemoteServer::Setup setup;
    setup.port = freePort();
    setup.store = &store;
    setup.frames = screen.get();
    setup.input = input.get();
    setup.clipboard = clipboard.get();
    setup.mainQueue = &main;
    setup.status = [] { return HostStatus{true}; };
    server = RemoteServer::create(std::move(setup));
    server->start();

    controller = makeRealRelayController({
        .origin = relayOrigin(),
        .server = server,
        .store = &store,
        .main = &main,
        .settings = &settings,
        .log = [this](const std::string& tag, const std::string& text) {
            std::lock_guard lock(m);
            log.push_back(tag == "relay" ? text : tag + ": " + text);
        },
        .owner = [this](const RelayAlert& alert, std::function<bool()> closeWhen) {
            return owner(alert, std::move(closeWhen));
        },
        .typed = [this] { return typed; },
    });
    ASSERT_TRUE(controller);
    onMain([&] { controller->start(); });
}

void RelayedX11Host::TearDown() {
    if (controller) {
        onMain([&] { controller->turnOff(); });
        turnedOff();
        onMain([&] { controller.reset(); });
    }
    if (server) server->stop();
}

void RelayedX11Host::onMain(const std::function<void()>& work) { runSync(main, work); }

void RelayedX11Host::menu(const std::string& action) {
    onMain([&] { controller->perform(action); });
    ASSERT_TRUE(within(20s, [&] {
        bool idle = false;
        onMain([&] { idle = !controller->flowBusy() && controller->enrolEnded(); });
        return idle;
    }));
}

std::vector<RelayMenuItem> RelayedX11Host::section() {
    std::vector<RelayMenuItem> items;
    onMain([&] { items = controller->menuSection(false); });
    return items;
}

bool RelayedX11Host::shows(const std::string& title) {
    for (const auto& item : section())
        if (item.title == title) return true;
    return false;
}

Bytes RelayedX11Host::roomID() {
    Bytes id;
    onMain([&] {
        if (controller && controller->identity()) id = controller->identity()->roomID();
    });
    return id;
}

std::optional<int> RelayedX11Host::enrolmentOrWorkingAnswer(const std::string& title,
                                                           const std::function<bool()>& closeWhen,
                                                           const std::function<std::optional<std::string>()>& offer) {
    if (title == "Waiting for the new device") {
        deviceCode = offer();
        if (!deviceCode) return RelayResponse::first;
        return main.runUntil(closeWhen, 10s) ? RelayResponse::abort : RelayResponse::first;
    }
    if (title.rfind("Code: ", 0) == 0) {
        const bool same = deviceCode && deviceCode->size() == 6 &&
                          title == "Code: " + deviceCode->substr(0, 3) + " " + deviceCode->substr(3);
        return same ? RelayResponse::first : RelayResponse::second;
    }
    if (title.size() > 3 && title.compare(title.size() - 3, 3, "\u2026") == 0) {
        main.runUntil(closeWhen, 15s);
        return RelayResponse::abort;
    }
    return std::nullopt;
}

}  // namespace morvane::testing
