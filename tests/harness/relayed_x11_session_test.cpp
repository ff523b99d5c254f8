// The host on a private X display reached from anywhere: the relay service
// itself in this process, over TLS on loopback, the owner's menu flows
// through the relay controller (dialogs answered as an owner would), and a
// phone-like test device, signed in to the owner's account, that enrols,
// connects and controls the screen through the relay. The relay keeps a
// copy of every record it carried, so the tests can tell it saw no
// plaintext.
#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include <nlohmann/json.hpp>

#include "../capture/x11_test_client.h"
#include "../relay/relay_controller_rig.h"
#include "../relay/test_certificates.h"
#include "../relay/test_device.h"
#include "relayed_x11_rig.h"
#include "../support/xvfb.h"
#include "core/loop_executor.h"
#include "harness_process.h"
#include "platform/linux/capture_x11_source.h"
#include "platform/linux/clipboard_x11.h"
#include "platform/linux/input_x11.h"
#include "relay/beast_relay_socket.h"
#include "relay/relay_bytes.h"
#include "relay/relay_http.h"
#include "relay/relay_url.h"
#include "screen_picture.h"
#include "service_rig.h"
#include "server/frame_message.h"
#include "server/remote_server.h"

// Last: its macros (None, Status) clash with names in the headers above.
#include <X11/Xlib.h>

namespace morvane::testing {
namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;
using Received = TestDevice::Received;

constexpr int screenWidth = 1280;
constexpr int screenHeight = 720;

using relay_service::testing::ServiceRig;

// The relay service over TLS, keeping what it carries.
struct TlsRelay {
    std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("morvane-relayed-x11-" + std::to_string(::getpid()));
    ServiceRig rig{[this] {
        const auto issued = authority().issue({"localhost"}, {"127.0.0.1"});
        return relay_service::testing::tlsOptions(folder, issued.certificatePem, issued.keyPem);
    }()};
    TlsRelay() { rig.keepCarried(); }
    ~TlsRelay() { std::filesystem::remove_all(folder); }
    std::string origin() const { return rig.origin("https", "localhost"); }
    // Only this computer links to it.
    bool hostUp() { return rig.links() > 0; }
    struct Host {
        std::string name, userId;
    };
    std::vector<Host> hosts() {
        std::vector<Host> found;
        rig.onStore([&] {
            for (const auto& [room, host] : rig.store.hosts) found.push_back({host.name, host.userId});
        });
        return found;
    }
};

class RelayedX11Session : public RelayedX11Host {
protected:
    std::string relayOrigin() override { return relay.origin(); }
    // The relay keeps the room until the link it held has gone.
    void turnedOff() override { within(5s, [&] { return !relay.hostUp(); }); }

    std::vector<std::string> titlesShown() {
        std::lock_guard lock(m);
        std::vector<std::string> titles;
        for (const auto& a : alerts) titles.push_back(a.message);
        return titles;
    }

    // The owner at the dialogs: types the e-mail and the code, waits out
    // the working dialogs, lets the phone answer the enrolment window and
    // approves when the codes match.
    int owner(const RelayAlert& alert, const std::function<bool()>& closeWhen) override {
        {
            std::lock_guard lock(m);
            alerts.push_back(alert);
        }
        const auto& title = alert.message;
        if (title == "Sign in to the relay") {
            typed = email;
            return RelayResponse::first;
        }
        if (title == "Enter the code from the e-mail") {
            typed = relay.rig.codeFor(email);
            if (!mistypedCodes.empty()) {
                typed = mistypedCodes.front();
                mistypedCodes.pop_front();
            }
            return RelayResponse::first;
        }
        if (title == "Relay address") {
            typed = "relay.example.com";
            return RelayResponse::first;
        }
        if (auto answer = enrolmentOrWorkingAnswer(title, closeWhen, [&] {
                if (newDevice) return newDevice();
                return phone.offerEnrolment() ? phone.device().code() : std::nullopt;
            }))
            return *answer;
        // "This computer is on another account", "Remove this computer…?",
        // and anything the relay has to say.
        return RelayResponse::first;
    }

    // Signs in with the e-mail code and registers, from the menu.
    void setUpFromMenu() {
        ASSERT_TRUE(shows("Set Up Relay\u2026"));
        menu("setUp");
        ASSERT_TRUE(within(15s, [&] { return relay.hostUp(); })) << ::testing::PrintToString(log);
        ASSERT_TRUE(within(5s, [&] { return shows("Relay: connected"); }));
        phone.forRoom(roomID());
        signInPhone();
    }
    // The phone signs in to the owner's account as the page does, and asks
    // for a ticket each time it opens the room.
    void signInPhone() {
        const auto origin = relay.origin();
        exchange(origin, "POST", "/v1/auth/code", json{{"email", email}, {"login_id", "phone"}}.dump());
        const auto session = json::parse(
            exchange(origin, "POST", "/v1/auth/verify",
                     json{{"email", email}, {"login_id", "phone"}, {"code", relay.rig.codeFor(email)}, {"client", "web"}}
                         .dump())
                .body,
            nullptr, false);
        ASSERT_TRUE(session.contains("access_token")) << session.dump();
        access = session["access_token"];
        phone.useTickets([this, origin](const std::string& roomHex) {
            const auto body = json::parse(exchange(origin, "POST", "/v1/hosts/" + roomHex + "/ticket", "{}", access).body,
                                          nullptr, false);
            return body.contains("ticket") ? body["ticket"].get<std::string>() : "";
        });
    }
    void enrolFromMenu() {
        menu("addDevice");
        auto enrolled = phone.record();
        ASSERT_TRUE(enrolled);
        ASSERT_TRUE(phone.device().readEnrolled(*enrolled));
    }

    TlsRelay relay;
    Phone phone{"Phone 7f3a", relay.origin()};
    std::string email = "owner@example.com";
    std::string access;
    std::deque<std::string> mistypedCodes;  // typed before the right code
    // Answers the enrolment window in place of the phone; gives the code
    // the device derived.
    std::function<std::optional<std::string>()> newDevice;
    std::vector<RelayAlert> alerts;
};

TEST_F(RelayedX11Session, EnrolledDeviceSeesAndControlsTheScreenAndTheRelaySeesOnlySealedRecords) {
    BusyScreen screen;
    screen.paint(0);
    setUpFromMenu();
    EXPECT_EQ(relay.rig.codesSentTo(), std::vector<std::string>{email});
    ASSERT_EQ(relay.hosts().size(), 1u);
    EXPECT_EQ(relay.hosts()[0].name, "Test Machine");

    enrolFromMenu();
    {
        std::lock_guard lock(m);
        const auto& approval = alerts.back();
        EXPECT_EQ(approval.message, "Code: " + phone.device().code()->substr(0, 3) + " " + phone.device().code()->substr(3));
        EXPECT_NE(approval.informative.find("\u201CPhone 7f3a\u201D wants to control this computer"), std::string::npos);
    }
    ASSERT_TRUE(store.relayDevice(phone.device().publicKey()));
    EXPECT_TRUE(within(5s, [&] { return shows("Added \u201CPhone 7f3a\u201D just now. Revoke it under Devices"); }));

    ASSERT_TRUE(phone.connect());
    auto ready = phone.nextOfType("ready");
    ASSERT_TRUE(ready);
    EXPECT_EQ(ready->value("device", ""), "Phone 7f3a");

    // A picture of the real screen: the bars where the client painted them.
    ASSERT_NO_FATAL_FAILURE(screen.expectPicture(phone));

    // A pointer move lands where the device meant it.
    phone.sendJSON({{"t", "mm"}, {"x", 0.25}, {"y", 0.5}});
    EXPECT_TRUE(within(5s, [] { return pointerOnX() == std::pair{screenWidth / 4, screenHeight / 2}; }))
        << pointerOnX().first << "," << pointerOnX().second;

    // Clipboard text one way and back.
    const std::string secret = "clipboard-secret-5e1d09";
    phone.sendJSON({{"t", "clip-put"}, {"id", 1}, {"n", 1}, {"len", secret.size()}});
    phone.sendJSON({{"t", "clip-chunk"}, {"id", 1}, {"i", 0}, {"s", secret}});
    auto put = phone.nextOfType("clip-put-result");
    ASSERT_TRUE(put);
    EXPECT_EQ(put->value("ok", false), true);
    phone.sendJSON({{"t", "clip-get"}, {"id", 2}});
    auto data = phone.nextOfType("clip-data");
    ASSERT_TRUE(data);
    EXPECT_EQ(data->value("s", ""), secret);

    // H.264 through the relay, starting with its parameter sets.
    ASSERT_NO_FATAL_FAILURE(screen.expectVideo(phone));
    expectLinkHeld();

    // Everything crossed the relay, sealed.
    EXPECT_GT(relay.rig.carriedBytes(), 20'000u);
    for (const std::string& plain : {secret, std::string("Phone 7f3a"), std::string(R"("t":"hello")"),
                                    std::string(R"("t":"ready")"), std::string(R"("t":"mm")"),
                                    std::string(R"("t":"enrolled")")})
        EXPECT_FALSE(relay.rig.carriedContains(plain)) << plain;
}

TEST_F(RelayedX11Session, TakeoverPauseAndRevocationEndRelayedSessionsWithTheirWords) {
    setUpFromMenu();
    enrolFromMenu();

    // A local browser takes over from the phone, and the phone takes back.
    ASSERT_TRUE(phone.connect());
    ASSERT_TRUE(phone.nextOfType("ready"));
    const std::string token = store.pair(store.openPairingWindow(), "Laptop")->token;
    WebSocket browser(server->port());
    browser.sendText(json{{"t", "auth"}, {"token", token}}.dump());
    ASSERT_NE(browser.nextText().value_or("").find(R"("t":"ready")"), std::string::npos);
    EXPECT_TRUE(phone.endedWith("taken-over"));
    ASSERT_TRUE(phone.connect());
    ASSERT_TRUE(phone.nextOfType("ready"));
    browser.waitClose();
    bool told = false;
    for (const auto& text : browser.seen) told = told || text.find(R"({"reason":"taken-over","t":"bye"})") != std::string::npos;
    EXPECT_TRUE(told) << ::testing::PrintToString(browser.seen);
    EXPECT_EQ(server->controllerName(), "Phone 7f3a");

    // Pausing from the menu ends the relayed session with its word.
    server->pause(PauseCause::menu);
    onMain([&] { controller->morvanePaused(); });
    EXPECT_TRUE(phone.endedWith("paused"));
    server->resume();

    // Revoking the phone ends its session, and its next handshake is refused.
    ASSERT_TRUE(phone.connect());
    ASSERT_TRUE(phone.nextOfType("ready"));
    store.revoke(store.relayDevice(phone.device().publicKey())->id);
    EXPECT_TRUE(phone.endedWith("revoked"));
    phone.join();
    phone.send(phone.device().sessionMessage1());
    EXPECT_FALSE(phone.record());
    EXPECT_TRUE(relay.rig.logged("host of room " + room() + " dropped device", 5s));
}

TEST_F(RelayedX11Session, OwnerTurnsTheRelayOffAndOnMovesTheMachineToAnotherAccountAndRemovesIt) {
    setUpFromMenu();
    const auto hosts = relay.hosts();
    ASSERT_EQ(hosts.size(), 1u);
    const auto firstUser = hosts[0].userId;

    menu("turnOff");
    EXPECT_TRUE(within(5s, [&] { return !relay.hostUp(); }));
    EXPECT_TRUE(shows("Relay: off"));
    menu("turnOn");
    EXPECT_TRUE(within(15s, [&] { return relay.hostUp(); }));
    EXPECT_TRUE(within(5s, [&] { return shows("Relay: connected"); }));

    // Set up again under another e-mail: the relay says the machine is
    // taken, and the owner moves it.
    menu("turnOff");
    email = "other@example.com";
    mistypedCodes = {"000000"};
    menu("changeAddress");
    {
        // The wrong code is answered with the relay's word for it.
        std::lock_guard lock(m);
        int codeDialogs = 0;
        for (const auto& alert : alerts) {
            if (alert.message == "Enter the code from the e-mail" && ++codeDialogs == 3) {
                EXPECT_EQ(alert.informative.rfind(RelayAccountTexts::wrongCode, 0), 0u) << alert.informative;
            }
        }
        EXPECT_EQ(codeDialogs, 3);
    }
    ASSERT_EQ(relay.hosts().size(), 1u);
    EXPECT_NE(relay.hosts()[0].userId, firstUser);
    const auto titles = titlesShown();
    EXPECT_NE(std::find(titles.begin(), titles.end(), "This computer is on another account"), titles.end());
    EXPECT_TRUE(shows("Relay account: other@example.com"));
    EXPECT_TRUE(within(15s, [&] { return relay.hostUp(); }));

    menu("removeFromAccount");
    EXPECT_TRUE(relay.hosts().empty());
    EXPECT_TRUE(shows("Set Up Relay\u2026"));
    std::lock_guard lock(m);
    EXPECT_NE(std::find(log.begin(), log.end(), "set up: moved from another account"), log.end());
    EXPECT_NE(std::find(log.begin(), log.end(), "set up: removed from the account"), log.end());
}

// The program a person runs: it prints the code the approval shows, its
// session's messages, and its scripted inputs reach the screen.
TEST_F(RelayedX11Session, TestDeviceProgramEnrolsConnectsAndItsInputsReachTheScreen) {
    setUpFromMenu();
    const std::string roomHex = room();
    const auto folder = std::filesystem::temp_directory_path() / ("morvane-relay-x11-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const std::string state = (folder / "device.keys").string();
    std::unique_ptr<HarnessProcess> program;
    auto start = [&] {
        program = std::make_unique<HarnessProcess>(
            MORVANE_TEST_DEVICE_PATH,
            std::vector<std::string>{"--relay", relay.origin(), "--room", roomHex, "--access", access, "--name",
                                     "Tried By Hand", "--state", state, "--seconds", "2"},
            folder);
    };
    newDevice = [&]() -> std::optional<std::string> {
        start();
        auto line = program->waitLine("code ", 10'000);
        return line ? std::optional(line->substr(5)) : std::nullopt;
    };
    menu("addDevice");
    EXPECT_TRUE(program->waitLine("enrolled"));
    EXPECT_TRUE(program->waitLine("session open"));
    EXPECT_TRUE(program->waitLine(R"(text {"device":"Tried By Hand","t":"ready")"));
    EXPECT_TRUE(program->waitLine("binary tag 1,", 10'000)) << ::testing::PrintToString(program->lines());
    EXPECT_TRUE(within(5s, [] { return pointerOnX() == std::pair{screenWidth / 4, screenHeight / 4}; }));
    // Its last line may still be on the way when it has exited.
    EXPECT_TRUE(program->waitLine("closed the session", 10'000)) << ::testing::PrintToString(program->lines());
    EXPECT_EQ(program->waitExit(), 0);

    // Run again with its keys: it connects without enrolling.
    start();
    EXPECT_TRUE(program->waitLine(R"(text {"device":"Tried By Hand","t":"ready")"));
    EXPECT_TRUE(program->waitLine("closed the session", 10'000));
    EXPECT_EQ(program->waitExit(), 0);
    EXPECT_FALSE(program->sawLine("enrolled"));
    std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace morvane::testing
