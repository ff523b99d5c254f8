#include "relayed_x11_rig.h"

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

}  // namespace morvane::testing
