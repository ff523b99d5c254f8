#include "relayed_x11_rig.h"

#include <set>

#include "capture/h264.h"
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

namespace {
// How far the band's noise travels sideways, and how far each step moves it.
constexpr int bandTravel = 64;
constexpr int bandStep = 7;
}  // namespace

BusyScreen::BusyScreen() {
    // The rows the bars are checked on (a fifth from the top or the bottom)
    // stay clear of the band.
    bandTop_ = client_.height() * 3 / 10;
    bandHeight_ = client_.height() * 4 / 10;
    const int width = client_.width() + bandTravel;
    noise_.resize(static_cast<std::size_t>(width) * bandHeight_ * 4);
    std::uint32_t state = 0x9e3779b9u;
    for (std::size_t i = 0; i < noise_.size(); i += 4) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        noise_[i] = static_cast<std::uint8_t>(state);
        noise_[i + 1] = static_cast<std::uint8_t>(state >> 8);
        noise_[i + 2] = static_cast<std::uint8_t>(state >> 16);
    }
}

void BusyScreen::paint(int step) {
    client_.paint(step);
    Picture band;
    band.width = client_.width();
    band.height = bandHeight_;
    band.borrowedStride = (client_.width() + bandTravel) * 4;
    const std::size_t offset = static_cast<std::size_t>(step * bandStep % bandTravel) * 4;
    band.borrowed = std::shared_ptr<const std::uint8_t>(std::shared_ptr<const std::uint8_t>(), noise_.data() + offset);
    client_.put(band, 0, bandTop_);
}

void BusyScreen::expectPicture(Phone& phone) {
    auto picture = phone.nextBinary(FrameMessage::jpegTag, 10s);
    ASSERT_TRUE(picture) << "no picture";
    EXPECT_GT(picture->size(), smallLimitBytes);
    EXPECT_GT(phone.largestRecord, smallLimitBytes);
    auto decoded = decodeJPEG(std::string(picture->begin() + 5, picture->end()));
    ASSERT_TRUE(decoded);
    const int width = client_.width(), height = client_.height();
    int sx = 0, sy = 0;
    client_.squareAt(0, &sx, &sy);
    const int row = sy > height / 2 ? height / 5 : height * 4 / 5;
    for (int bar = 0; bar < 8; ++bar) {
        const int x = (2 * bar + 1) * width / 16;
        EXPECT_TRUE(nearColour(decoded->at(x * decoded->width / width, row * decoded->height / height),
                               PaintClient::barColour(x, width), 48))
            << "bar " << bar;
    }
}

void BusyScreen::expectVideo(Phone& phone) {
    phone.sendJSON({{"t", "video"}, {"want", "h264"}, {"maxW", client_.width()}, {"maxH", client_.height()}});
    std::atomic<bool> moving{true};
    std::thread mover([&] {
        for (int step = 1; moving; ++step) {
            paint(step);
            std::this_thread::sleep_for(33ms);
        }
    });
    // The stream's first keyframe may be made from the last still picture
    // (a JPEG, smoother than the screen) when the machine is slow to grab a
    // fresh one, so a keyframe of the moving noise is asked for as well: that
    // one must be well over the small limit and still arrive.
    std::vector<FrameMessage::DecodedVideo> units;
    std::size_t largestKeyframe = 0;
    bool asked = false;
    const auto deadline = std::chrono::steady_clock::now() + 15s;
    while ((units.size() < 10 || largestKeyframe <= smallLimitBytes) && std::chrono::steady_clock::now() < deadline) {
        if (units.size() >= 10 && !asked) {
            phone.sendJSON({{"t", "keyframe"}});
            asked = true;
        }
        auto message = phone.nextBinary(FrameMessage::videoTag, 2s);
        if (!message) continue;
        if (auto unit = FrameMessage::decodeVideo(*message)) {
            units.push_back(*unit);
            if (unit->keyframe) largestKeyframe = std::max(largestKeyframe, message->size());
        }
    }
    moving = false;
    mover.join();
    ASSERT_GE(units.size(), 10u);
    ASSERT_TRUE(units[0].keyframe);
    EXPECT_GT(largestKeyframe, smallLimitBytes);
    std::set<int> kinds;
    for (auto& nal : H264::splitAnnexB(units[0].accessUnit))
        if (auto type = H264::nalType(nal)) kinds.insert(*type);
    EXPECT_TRUE(kinds.count(H264::NALType::sps) && kinds.count(H264::NALType::pps) && kinds.count(H264::NALType::idrSlice));
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

void RelayedX11Host::expectLinkHeld() {
    std::lock_guard lock(m);
    int ups = 0;
    for (const auto& line : log) {
        if (line.rfind("link: up", 0) == 0) ++ups;
        EXPECT_EQ(line.rfind("link: down", 0), std::string::npos) << line;
    }
    EXPECT_EQ(ups, 1) << ::testing::PrintToString(log);
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
