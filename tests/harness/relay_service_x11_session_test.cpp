// The host on a private X display reached through morvane-relay itself,
// over TLS checked against a throw-away CA: the owner signs in from the
// menu with the code the relay wrote to its log, the computer registers
// and links, a phone-like device signs in to the same account, enrols with
// the code the approval shows, sees a busy screen as pictures and as H.264
// without the link dropping, controls it, is revoked, and the owner removes
// the computer from the account.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <csignal>
#include <filesystem>
#include <fstream>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <nlohmann/json.hpp>

#include "../capture/x11_test_client.h"
#include "../relay/relay_controller_rig.h"
#include "../support/xvfb.h"
#include "core/loop_executor.h"
#include "harness_process.h"
#include "platform/linux/capture_x11_source.h"
#include "platform/linux/clipboard_x11.h"
#include "platform/linux/input_x11.h"
#include "relay/beast_relay_socket.h"
#include "relay/relay_http.h"
#include "relay/relay_tls.h"
#include "relay/relay_url.h"
#include "relayed_x11_rig.h"
#include "screen_picture.h"
#include "server/frame_message.h"
#include "server/remote_server.h"

namespace morvane::testing {
namespace {

using json = nlohmann::json;

// morvane-relay as a person runs it, with its log read line by line.
class RelayProgram {
public:
    RelayProgram() {
        std::filesystem::create_directories(folder_);
        const auto issued = authority().issue({"localhost"}, {"127.0.0.1"});
        write(folder_ / "cert.pem", issued.certificatePem);
        write(folder_ / "key.pem", issued.keyPem);
        port_ = freePort();
        const json config{{"listen", "127.0.0.1:" + std::to_string(port_)},
                          {"data_dir", (folder_ / "data").string()},
                          {"codes_in_log", true},
                          {"tls", {{"certificate", (folder_ / "cert.pem").string()}, {"key", (folder_ / "key.pem").string()}}}};
        write(folder_ / "relay.json", config.dump());
        process_ = std::make_unique<HarnessProcess>(
            MORVANE_RELAY_PATH, std::vector<std::string>{"--config", (folder_ / "relay.json").string()}, folder_,
            /*errorsToo=*/true);
        if (!process_->waitLineWith("listening on", 10'000)) throw std::runtime_error("morvane-relay did not start");
    }
    ~RelayProgram() {
        process_->signal(SIGTERM);
        process_.reset();
        std::filesystem::remove_all(folder_);
    }
    std::string origin() const { return "https://localhost:" + std::to_string(port_); }
    std::vector<std::string> lines() { return process_->lines(); }

    // The codes the log gave the address so far, oldest first.
    std::vector<std::string> codesFor(const std::string& email) {
        const std::string prefix = "Sign-in code for " + email + ": ";
        std::vector<std::string> codes;
        for (const auto& line : lines())
            if (const auto at = line.find(prefix); at != std::string::npos) codes.push_back(line.substr(at + prefix.size()));
        return codes;
    }
    // The first code not yet taken: the relay's log reaches us through a
    // pipe some time after its answer, so the code just asked for may not be
    // read yet, and the one before it is already spent.
    std::string nextCodeFor(const std::string& email) {
        std::vector<std::string> codes;
        within(10s, [&] { return (codes = codesFor(email)).size() > codesTaken_; });
        return codes.size() > codesTaken_ ? codes[codesTaken_++] : std::string{};
    }
    bool hostUp(const std::string& room) {
        bool up = false;
        for (const auto& line : lines()) {
            if (line.find("link up for room " + room) != std::string::npos) up = true;
            if (line.find("link down for room " + room) != std::string::npos) up = false;
        }
        return up;
    }
    bool logged(const std::string& part) {
        for (const auto& line : lines())
            if (line.find(part) != std::string::npos) return true;
        return false;
    }

    // One call of the account interface, as a device's page makes it.
    json call(const std::string& method, const std::string& target, const json& body, const std::string& bearer = "") {
        namespace beast = boost::beast;
        namespace http = beast::http;
        boost::asio::io_context io;
        auto tls = makeRelayTlsContext();
        beast::ssl_stream<beast::tcp_stream> stream(io, *tls);
        boost::asio::ip::tcp::resolver resolver(io);
        beast::get_lowest_layer(stream).connect(resolver.resolve("localhost", std::to_string(port_)));
        prepareRelayTls(stream.native_handle(), "localhost");
        stream.handshake(boost::asio::ssl::stream_base::client);
        http::request<http::string_body> request{http::string_to_verb(method), target, 11};
        request.set(http::field::host, "localhost:" + std::to_string(port_));
        request.set(http::field::content_type, "application/json");
        if (!bearer.empty()) request.set(http::field::authorization, "Bearer " + bearer);
        if (!body.is_null()) request.body() = body.dump();
        request.prepare_payload();
        http::write(stream, request);
        beast::flat_buffer buffer;
        http::response<http::string_body> response;
        http::read(stream, buffer, response);
        return json::parse(response.body(), nullptr, false);
    }

private:
    static void write(const std::filesystem::path& path, const std::string& text) {
        std::ofstream(path) << text;
        ::chmod(path.c_str(), 0600);
    }
    std::filesystem::path folder_ =
        std::filesystem::temp_directory_path() / ("morvane-relay-service-x11-" + std::to_string(::getpid()));
    std::uint16_t port_ = 0;
    std::size_t codesTaken_ = 0;
    std::unique_ptr<HarnessProcess> process_;
};

class RelayServiceX11Session : public RelayedX11Host {
protected:
    std::string relayOrigin() override { return relay.origin(); }

    // The owner at the dialogs, typing the code the relay's log shows.
    int owner(const RelayAlert& alert, const std::function<bool()>& closeWhen) override {
        const auto& title = alert.message;
        if (title == "Sign in to the relay") {
            typed = email;
            return RelayResponse::first;
        }
        if (title == "Enter the code from the e-mail") {
            typed = relay.nextCodeFor(email);
            return RelayResponse::first;
        }
        if (auto answer = enrolmentOrWorkingAnswer(title, closeWhen, [&] {
                return phone.offerEnrolment() ? phone.device().code() : std::nullopt;
            }))
            return *answer;
        return RelayResponse::first;
    }

    // The phone signs in to the owner's account as the page does, and asks
    // for a ticket each time it opens the room.
    void signInPhone() {
        relay.call("POST", "/v1/auth/code", {{"email", email}, {"login_id", "phone"}});
        const auto session = relay.call("POST", "/v1/auth/verify",
                                        {{"email", email}, {"login_id", "phone"}, {"code", relay.nextCodeFor(email)}, {"client", "web"}});
        ASSERT_TRUE(session.contains("access_token")) << session.dump();
        access = session["access_token"];
        phone.useTickets([this](const std::string& roomHex) {
            return relay.call("POST", "/v1/hosts/" + roomHex + "/ticket", json::object(), access).value("ticket", "");
        });
    }

    RelayProgram relay;
    Phone phone{"Phone 7f3a", relay.origin()};
    std::string email = "owner@example.com";
    std::string access;
};

TEST_F(RelayServiceX11Session, AnOwnerSetsUpEnrolsControlsRevokesAndRemovesThroughMorvaneRelay) {
    BusyScreen screen;
    screen.paint(0);
    ASSERT_TRUE(shows("Set Up Relay\u2026"));
    menu("setUp");
    ASSERT_TRUE(within(15s, [&] { return relay.hostUp(room()); })) << ::testing::PrintToString(relay.lines());
    ASSERT_TRUE(within(5s, [&] { return shows("Relay: connected"); }));
    EXPECT_TRUE(relay.logged("registered room " + room() + " \"Test Machine\""));

    signInPhone();
    EXPECT_EQ(relay.call("GET", "/v1/hosts", nullptr, access),
              (json{{"hosts", {{{"room", room()}, {"name", "Test Machine"}, {"online", true}}}}}));
    phone.forRoom(roomID());
    menu("addDevice");
    auto enrolled = phone.record();
    ASSERT_TRUE(enrolled);
    ASSERT_TRUE(phone.device().readEnrolled(*enrolled));
    ASSERT_TRUE(store.relayDevice(phone.device().publicKey()));

    ASSERT_TRUE(phone.connect());
    ASSERT_TRUE(phone.nextOfType("ready"));
    // Pictures and keyframes of a busy screen are several times 64 KB, and
    // the link carries them.
    ASSERT_NO_FATAL_FAILURE(screen.expectPicture(phone));
    ASSERT_NO_FATAL_FAILURE(screen.expectVideo(phone));
    expectLinkHeld();
    phone.sendJSON({{"t", "mm"}, {"x", 0.25}, {"y", 0.5}});
    EXPECT_TRUE(within(5s, [] { return pointerOnX() == std::pair{1280 / 4, 720 / 2}; }));
    const std::string secret = "clipboard-secret-8c21f4";
    phone.sendJSON({{"t", "clip-put"}, {"id", 1}, {"n", 1}, {"len", secret.size()}});
    phone.sendJSON({{"t", "clip-chunk"}, {"id", 1}, {"i", 0}, {"s", secret}});
    ASSERT_TRUE(phone.nextOfType("clip-put-result"));
    phone.sendJSON({{"t", "clip-get"}, {"id", 2}});
    auto data = phone.nextOfType("clip-data");
    ASSERT_TRUE(data);
    EXPECT_EQ(data->value("s", ""), secret);

    // Revoked, the phone's session ends with its word and its next
    // handshake is dropped by the host, which the relay logs.
    store.revoke(store.relayDevice(phone.device().publicKey())->id);
    EXPECT_TRUE(phone.endedWith("revoked"));
    phone.join();
    phone.send(phone.device().sessionMessage1());
    EXPECT_FALSE(phone.record());
    EXPECT_TRUE(within(5s, [&] { return relay.logged("host of room " + room() + " dropped device"); }));
    // The relay's log reaches us through a pipe, in the order it was
    // written: with this line read, any drop of the link before it is too.
    EXPECT_FALSE(relay.logged("link down for room " + room()));

    // The owner removes the computer: its link ends and the relay forgets it.
    const auto removed = room();
    menu("removeFromAccount");
    EXPECT_TRUE(shows("Set Up Relay\u2026"));
    EXPECT_TRUE(within(5s, [&] { return relay.logged("removed room " + removed); }));
    EXPECT_EQ(relay.call("GET", "/v1/hosts", nullptr, access), (json{{"hosts", json::array()}}));

    // The log holds no code beyond its own lines for them, and no token.
    const auto codes = relay.codesFor(email);
    ASSERT_EQ(codes.size(), 2u);
    for (const auto& line : relay.lines()) {
        EXPECT_EQ(line.find(access), std::string::npos) << line;
        if (line.find("Sign-in code for ") != std::string::npos) continue;
        for (const auto& code : codes) EXPECT_EQ(line.find(code), std::string::npos) << line;
    }
}

}  // namespace
}  // namespace morvane::testing
