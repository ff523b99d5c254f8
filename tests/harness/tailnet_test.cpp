// Through the test host with the stand-in Tailscale tool: the route is
// turned on, a tailnet browser with the owner's login pairs and holds a
// session, and anyone else is refused.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "../tailnet/fake_tool.h"
#include "harness_process.h"

namespace morvane::testing {
namespace {

const std::string tailnetHost = FakeTool::dnsName;
const std::string tailnetOrigin = "https://" + tailnetHost;

class TailnetHarness : public ::testing::Test {
protected:
    void SetUp() override {
        dataHome = std::filesystem::temp_directory_path() /
                   ("morvane-tailnet-" + std::to_string(getpid()) + "-" +
                    std::to_string(Clock::now().time_since_epoch().count()));
        std::filesystem::create_directories(dataHome);
        const std::uint16_t port = freePort();
        fake.setPublished(FakeTool::publishedJson(port));
        host = std::make_unique<HarnessProcess>(
            dataHome, port,
            std::vector<std::string>{"--tailscale", fake.root().string(), "--files", (dataHome / "Received").string()});
        ASSERT_TRUE(host->waitLine("listening "));
    }
    void TearDown() override {
        host.reset();
        std::filesystem::remove_all(dataHome);
    }
    nlohmann::json nextTailnet(int millis = 10'000) {
        auto line = host->waitLine(R"({"access":)", millis);
        EXPECT_TRUE(line);
        return line ? nlohmann::json::parse(*line) : nlohmann::json();
    }
    // Waits until the control is idle with the given access.
    nlohmann::json settleOn(const nlohmann::json& access) {
        for (int i = 0; i < 10; ++i) {
            auto e = nextTailnet();
            if (e.is_null()) break;
            if (!e["busy"].get<bool>() && e["access"] == access) return e;
        }
        ADD_FAILURE() << "no tailnet event with access " << access.dump();
        return {};
    }
    std::string exchange(const std::string& raw) {
        Socket s(host->port());
        s.send(raw);
        return s.readAll();
    }
    std::string postPair(const std::string& body, const std::string& login) {
        return exchange("POST /api/pair HTTP/1.1\r\nHost: " + tailnetHost + "\r\nOrigin: " + tailnetOrigin +
                        "\r\nTailscale-User-Login: " + login +
                        "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
                        "\r\n\r\n" + body);
    }
    std::string code() {
        host->command("pair");
        auto line = host->waitLine("code ");
        EXPECT_TRUE(line);
        return line ? line->substr(5) : "";
    }

    FakeTool fake;
    std::filesystem::path dataHome;
    std::unique_ptr<HarnessProcess> host;
};

TEST_F(TailnetHarness, TheOwnersTailnetBrowserPairsAndConnectsAndOthersAreRefused) {
    settleOn(nullptr);
    // Before the route is on, the tailnet name is not this host's.
    EXPECT_EQ(postPair(R"({"code":"x","name":"y"})", "owner@example.com").substr(0, 12), "HTTP/1.1 421");

    host->command("tailscale on");
    const auto on = settleOn(tailnetHost);
    EXPECT_EQ(on["login"], "owner@example.com");
    EXPECT_EQ(on["published"], true);
    EXPECT_NE(fake.calls().find("serve\n--bg\n--https=443\nhttp://127.0.0.1:" + std::to_string(host->port()) + "\n"),
              std::string::npos);

    // Another login is refused before anything is looked at.
    const std::string pairing = code();
    const auto stranger = postPair(nlohmann::json{{"code", pairing}, {"name", "Intruder"}}.dump(), "other@example.com");
    EXPECT_EQ(stranger.substr(0, 12), "HTTP/1.1 403") << stranger;
    EXPECT_NE(stranger.find("Strict-Transport-Security: max-age=31536000\r\n"), std::string::npos);
    EXPECT_EQ(postPair(nlohmann::json{{"code", pairing}, {"name", "Nobody"}}.dump(), "").substr(0, 12),
              "HTTP/1.1 403");

    const auto answer = postPair(nlohmann::json{{"code", pairing}, {"name", "Laptop"}}.dump(), "owner@example.com");
    ASSERT_EQ(answer.substr(0, 15), "HTTP/1.1 200 OK") << answer;
    EXPECT_TRUE(host->waitLine(R"({"event":"pair-attempt","name":"Laptop","outcome":"paired","viaTailnet":true})"));
    const auto body = nlohmann::json::parse(answer.substr(answer.find("\r\n\r\n") + 4));
    const std::string token = body["token"];

    // The session over the tailnet, then the owner changes: it is ended.
    WebSocket ws(host->port(), tailnetHost, tailnetOrigin, "Tailscale-User-Login: owner@example.com\r\n");
    ws.sendText(nlohmann::json{{"t", "auth"}, {"token", token}}.dump());
    EXPECT_EQ(ws.nextText(), nlohmann::json({{"t", "ready"}, {"device", "Laptop"}, {"version", 1}}).dump());
    EXPECT_TRUE(host->waitLine(R"({"device":")" + body["deviceId"].get<std::string>() +
                               R"(","event":"session-started","name":"Laptop","route":"tailnet"})"));
    // A file sent over the tailnet is marked as coming from the tailnet's page.
    ws.sendText(nlohmann::json{{"t", "file-put"}, {"id", 1}, {"name", "note.txt"}, {"size", 5}}.dump());
    EXPECT_NE(ws.nextText().value_or("").find("file-put-ready"), std::string::npos);
    ws.sendRaw(clientFrame(0x2, std::string("\x11\0\0\0\x01\0\0\0\0hello", 14)));
    ws.sendText(nlohmann::json{{"t", "file-put-end"}, {"id", 1},
                               {"sha256", "2cf24dba5fb0a30e26e83b2ac5b9e29e1b161e5c1fa7425e73043362938b9824"}}
                    .dump());
    for (int i = 0; i < 5; ++i)
        if (ws.nextText().value_or("").find("file-put-result") != std::string::npos) break;
    const auto received = dataHome / "Received" / "note.txt";
    EXPECT_TRUE(std::filesystem::exists(received));
    if (const auto mark = originMark(received); mark.kept) {
        EXPECT_EQ(mark.origin, tailnetOrigin + "/");
    }
    WebSocket other(host->port(), tailnetHost, tailnetOrigin, "Tailscale-User-Login: other@example.com\r\n");
    EXPECT_EQ(other.answer.substr(0, 12), "HTTP/1.1 403");

    fake.setStatus(FakeTool::statusJson("new-owner@example.com"));
    host->command("tailscale refresh");
    EXPECT_EQ(settleOn(tailnetHost)["login"], "new-owner@example.com");
    EXPECT_EQ(ws.nextText(), R"({"reason":"disconnected-by-host","t":"bye"})");
    EXPECT_EQ(ws.waitClose(), 1000);

    // Turned off: the publication goes and so does the route.
    host->command("tailscale off");
    settleOn(nullptr);
    EXPECT_EQ(fake.serve(), "null\n");
}

TEST_F(TailnetHarness, AnUntrustedToolIsNeverRunAndKeepsTheRouteShut) {
    fake.setServe(FakeTool::publishedJson(host->port()));
    host->command("tailscale refresh");
    settleOn(tailnetHost);
    ::chmod(fake.tool().c_str(), 0777);
    host->command("tailscale refresh");
    settleOn(nullptr);
    // Every read queued before this one has run; none may run from now on.
    const auto before = fake.calls();
    host->command("tailscale on");
    host->command("tailscale refresh");
    settleOn(nullptr);
    EXPECT_EQ(fake.calls(), before);
    EXPECT_EQ(postPair(R"({"code":"x","name":"y"})", "owner@example.com").substr(0, 12), "HTTP/1.1 421");
}

}  // namespace
}  // namespace morvane::testing
