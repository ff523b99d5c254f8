#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include <nlohmann/json.hpp>

#include "../support/full_disk.h"
#include "../support/gunzip.h"
#include "harness_process.h"

namespace morvane::testing {
namespace {

const char* securityHeaders =
    "Content-Security-Policy: default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' blob: data:; "
    "connect-src 'self'; manifest-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'none'\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "Referrer-Policy: no-referrer\r\n"
    "Cache-Control: no-store\r\n"
    "Cross-Origin-Opener-Policy: same-origin\r\n";

class Harness : public ::testing::Test {
protected:
    void SetUp() override {
        dataHome = std::filesystem::temp_directory_path() /
                   ("morvane-harness-" + std::to_string(getpid()) + "-" +
                    std::to_string(Clock::now().time_since_epoch().count()));
        std::filesystem::create_directories(dataHome);
        launch();
    }
    void TearDown() override {
        host.reset();
        std::filesystem::remove_all(dataHome);
    }
    void launch() {
        std::uint16_t port = freePort();
        host = std::make_unique<HarnessProcess>(dataHome, port);
        auto line = host->waitLine("listening ");
        ASSERT_TRUE(line);
        ASSERT_EQ(*line, "listening 127.0.0.1:" + std::to_string(port));
        hostHeader = "127.0.0.1:" + std::to_string(port);
        origin = "http://" + hostHeader;
    }
    std::string exchange(const std::string& raw) {
        Socket s(host->port());
        s.send(raw);
        return s.readAll();
    }
    std::string get(const std::string& path, const std::string& extra = "") {
        return exchange("GET " + path + " HTTP/1.1\r\nHost: " + hostHeader + "\r\n" + extra + "\r\n");
    }
    std::string postPair(const std::string& body) {
        return exchange("POST /api/pair HTTP/1.1\r\nHost: " + hostHeader + "\r\nOrigin: " + origin +
                        "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
                        "\r\n\r\n" + body);
    }
    static std::string bodyOf(const std::string& answer) { return answer.substr(answer.find("\r\n\r\n") + 4); }
    std::string openCode() {
        host->command("pair");
        auto line = host->waitLine("code ");
        EXPECT_TRUE(line);
        return line ? line->substr(5) : "";
    }
    // Pairs a device and returns its token.
    std::string pair(const std::string& name) {
        std::string code = openCode();
        std::string lowered;
        for (char c : code) lowered.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
        auto answer = postPair(nlohmann::json{{"code", lowered}, {"name", name}}.dump());
        EXPECT_EQ(answer.substr(0, 15), "HTTP/1.1 200 OK") << answer;
        auto body = nlohmann::json::parse(bodyOf(answer), nullptr, false);
        EXPECT_TRUE(body.is_object());
        lastDeviceID = body.value("deviceId", "");
        return body.value("token", "");
    }
    std::unique_ptr<WebSocket> session(const std::string& token, const std::string& name) {
        auto ws = std::make_unique<WebSocket>(host->port());
        ws->sendText(nlohmann::json{{"t", "auth"}, {"token", token}}.dump());
        auto ready = ws->nextText();
        EXPECT_EQ(ready, nlohmann::json({{"t", "ready"}, {"device", name}, {"version", 1}}).dump());
        return ws;
    }

    std::filesystem::path dataHome;
    std::unique_ptr<HarnessProcess> host;
    std::string hostHeader, origin, lastDeviceID;
};

TEST_F(Harness, HTTPAnswersCarryExactStatusHeadersAndBodies) {
    // The page may be kept by the browser, which asks each time whether it
    // changed: its tag, and no-cache rather than no-store.
    std::string pageHeaders = securityHeaders;
    pageHeaders.replace(pageHeaders.find("no-store"), 8, "no-cache");
    auto page = get("/");
    EXPECT_EQ(page.substr(0, page.find("Content-Length")), "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n");
    auto head = page.substr(0, page.find("\r\n\r\n") + 4);
    auto body = bodyOf(page);
    const auto tagAt = head.find("ETag: \"");
    ASSERT_NE(tagAt, std::string::npos) << head;
    const auto tag = head.substr(tagAt + 6, 34);
    EXPECT_EQ(head, "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                        std::to_string(body.size()) + "\r\nConnection: close\r\n" + pageHeaders + "ETag: " + tag +
                        "\r\nVary: Accept-Encoding\r\n\r\n");
    EXPECT_NE(body.find("<html"), std::string::npos);
    // A repeat visit is told nothing changed, without the page.
    EXPECT_EQ(get("/", "If-None-Match: " + tag + "\r\n"), "HTTP/1.1 304 Not Modified\r\nConnection: close\r\n" +
                                                              pageHeaders + "ETag: " + tag +
                                                              "\r\nVary: Accept-Encoding\r\n\r\n");
    // A browser that takes gzip gets the page gzipped, a fraction of its
    // size, under a tag of its own.
    auto packed = get("/", "Accept-Encoding: gzip, deflate, br\r\n");
    auto packedHead = packed.substr(0, packed.find("\r\n\r\n") + 4);
    auto packedBody = bodyOf(packed);
    const auto packedTag = packedHead.substr(packedHead.find("ETag: \"") + 6, 34);
    EXPECT_NE(packedTag, tag);
    EXPECT_EQ(packedHead, "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                              std::to_string(packedBody.size()) + "\r\nConnection: close\r\n" + pageHeaders +
                              "Content-Encoding: gzip\r\nETag: " + packedTag + "\r\nVary: Accept-Encoding\r\n\r\n");
    EXPECT_EQ(gunzip(packedBody), body);
    EXPECT_LT(packedBody.size() * 3, body.size());
    EXPECT_EQ(get("/", "Accept-Encoding: gzip\r\nIf-None-Match: " + packedTag + "\r\n"),
              "HTTP/1.1 304 Not Modified\r\nConnection: close\r\n" + pageHeaders + "ETag: " + packedTag +
                  "\r\nVary: Accept-Encoding\r\n\r\n");

    auto plain = [](int status, const std::string& reason, const std::string& extra = "") {
        std::string text = reason + "\n";
        return "HTTP/1.1 " + std::to_string(status) + " " + reason +
               "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " + std::to_string(text.size()) +
               "\r\nConnection: close\r\n" + securityHeaders + extra + "\r\n" + text;
    };
    std::string port = std::to_string(host->port());
    EXPECT_EQ(exchange("GET / HTTP/1.1\r\nHost: localhost:" + port + "\r\n\r\n"), plain(421, "Misdirected Request"));
    EXPECT_EQ(get("/", "X-Forwarded-For: 10.0.0.1\r\n"), plain(403, "Forbidden"));
    EXPECT_EQ(get("/api/pair"), plain(405, "Method Not Allowed", "Allow: POST\r\n"));
    EXPECT_EQ(exchange("HEAD / HTTP/1.1\r\nHost: " + hostHeader + "\r\n\r\n"),
              plain(405, "Method Not Allowed", "Allow: GET\r\n"));
    EXPECT_EQ(get("/", "X-Long: " + std::string(9000, 'a') + "\r\n"), plain(431, "Request Header Fields Too Large"));
    EXPECT_EQ(get("/", "Content-Length: 4097\r\n"), plain(413, "Content Too Large"));
    EXPECT_EQ(get("/", "Transfer-Encoding: chunked\r\n"), plain(400, "Bad Request"));
    EXPECT_EQ(get("/nothing-here"), plain(404, "Not Found"));
    EXPECT_EQ(exchange("DELETE /nothing-here HTTP/1.1\r\nHost: " + hostHeader + "\r\n\r\n"), plain(404, "Not Found"));
    EXPECT_EQ(get("/ws", "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
                         "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"),
              plain(403, "Forbidden"))
        << "no Origin";
    EXPECT_EQ(get("/ws", "Origin: " + origin + "\r\nUpgrade: websocket\r\nConnection: keep-alive\r\n"
                         "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"),
              plain(400, "Bad Request"));

    // A peer that stops sending right after its request still gets the answer.
    {
        Socket halfClosed(host->port());
        halfClosed.send("GET /nothing-here HTTP/1.1\r\nHost: " + hostHeader + "\r\n\r\n");
        halfClosed.shutdownSending();
        EXPECT_EQ(halfClosed.readAll(), plain(404, "Not Found"));
    }

    WebSocket ws(host->port());
    EXPECT_EQ(ws.answer, std::string("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                     "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n") +
                             securityHeaders + "\r\n");
    // "Upgrade" among other connection options, in any case, is enough.
    Socket listed(host->port());
    listed.send("GET /ws HTTP/1.1\r\nHost: " + hostHeader + "\r\nOrigin: " + origin +
                "\r\nUpgrade: WebSocket\r\nConnection: keep-alive, , UPGRADE \r\nSec-WebSocket-Version: 13\r\n"
                "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n");
    ASSERT_TRUE(listed.fill(34));
    EXPECT_EQ(listed.buffer().substr(0, 34), "HTTP/1.1 101 Switching Protocols\r\n");
}

TEST_F(Harness, PairingRefusalsAreJSONAndReported) {
    auto json403 = [](const std::string& word) { return nlohmann::json{{"error", word}}.dump(); };
    // Without a window.
    auto closed = postPair(R"({"code":"ABCD-EFGH","name":"x"})");
    EXPECT_EQ(closed.substr(0, 22), "HTTP/1.1 403 Forbidden");
    EXPECT_NE(closed.find("Content-Type: application/json\r\n"), std::string::npos);
    EXPECT_EQ(bodyOf(closed), json403("code-not-accepted"));
    EXPECT_TRUE(host->waitLine(R"({"event":"pair-attempt","outcome":"closed")"));

    auto noOrigin = exchange("POST /api/pair HTTP/1.1\r\nHost: " + hostHeader +
                             "\r\nContent-Type: application/json\r\nContent-Length: 2\r\n\r\n{}");
    EXPECT_EQ(bodyOf(noOrigin), json403("forbidden"));
    auto wrongType = exchange("POST /api/pair HTTP/1.1\r\nHost: " + hostHeader + "\r\nOrigin: " + origin +
                              "\r\nContent-Length: 2\r\n\r\n{}");
    EXPECT_EQ(wrongType.substr(0, 12), "HTTP/1.1 415");
    EXPECT_EQ(bodyOf(wrongType), json403("bad-request"));
    EXPECT_EQ(postPair(R"({"code":5})").substr(0, 12), "HTTP/1.1 400");
    auto charset = exchange("POST /api/pair HTTP/1.1\r\nHost: " + hostHeader + "\r\nOrigin: " + origin +
                            "\r\nContent-Type: Application/JSON ; charset=utf-8\r\nContent-Length: 15\r\n\r\n"
                            R"({"code":"AAAA"})");
    EXPECT_EQ(bodyOf(charset), json403("code-not-accepted"));

    // Five wrong codes close the window; the right one is refused afterwards.
    std::string code = openCode();
    for (int i = 0; i < 5; ++i) {
        auto wrong = postPair(R"({"code":"ZZZZ-ZZZZ","name":"x"})");
        EXPECT_EQ(bodyOf(wrong), json403("code-not-accepted"));
    }
    EXPECT_EQ(bodyOf(postPair(nlohmann::json{{"code", code}, {"name", "late"}}.dump())), json403("code-not-accepted"));

    // A code is used once.
    code = openCode();
    auto first = postPair(nlohmann::json{{"code", code}, {"name", "Phone"}}.dump());
    EXPECT_EQ(first.substr(0, 15), "HTTP/1.1 200 OK");
    EXPECT_TRUE(host->waitLine(R"({"event":"pair-attempt","name":"Phone","outcome":"paired")"));
    EXPECT_EQ(bodyOf(postPair(nlohmann::json{{"code", code}, {"name", "Again"}}.dump())), json403("code-not-accepted"));

    // While paused the answer is "paused", whatever the body.
    host->command("pause");
    ASSERT_TRUE(host->waitLine("ok"));
    auto paused = exchange("POST /api/pair HTTP/1.1\r\nHost: " + hostHeader + "\r\nOrigin: " + origin +
                           "\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(bodyOf(paused), json403("paused"));
}

// The test host with its data folder on a small tmpfs filled to the last
// byte, as a full disk meets it.
class HarnessOnFullDisk : public Harness {
protected:
    void SetUp() override { freshDisk(); }
    void TearDown() override {
        host.reset();
        disk.reset();
    }
    // A new empty disk and a host started on it.
    void freshDisk() {
        host.reset();
        // Few names: a test can use them all up.
        disk = std::make_unique<SmallTmpfs>("size=256k,nr_inodes=64,mode=0700");
        if (disk->needsRoot()) GTEST_SKIP() << "mounting a tmpfs needs root";
        ASSERT_TRUE(disk->mounted()) << std::strerror(disk->error());
        dataHome = disk->path();
        launch();
    }
    void fill() { disk->fill(); }
    // Takes every name the disk has left.
    void useUpNames() {
        std::filesystem::create_directory(dataHome / "names");
        for (int i = 0;; ++i) {
            const int fd = ::open((dataHome / "names" / std::to_string(i)).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
            if (fd < 0) break;
            ::close(fd);
        }
    }
    void expectRefused(const std::string& token) {
        WebSocket ws(host->port());
        ws.sendText(nlohmann::json{{"t", "auth"}, {"token", token}}.dump());
        EXPECT_EQ(ws.waitClose(), 1008) << "accepted after a restart";
    }
    std::unique_ptr<SmallTmpfs> disk;
};

TEST_F(HarnessOnFullDisk, NoTokenIsHandedOutAndARevokedDeviceStaysOutAfterARestart) {
    const std::string laptop = pair("Laptop");
    const std::string laptopID = lastDeviceID;
    const std::string phone = pair("Phone");
    fill();

    const std::string code = openCode();
    const auto refused = postPair(nlohmann::json{{"code", code}, {"name", "Tablet"}}.dump());
    EXPECT_EQ(refused.substr(0, 12), "HTTP/1.1 503") << refused;
    EXPECT_EQ(bodyOf(refused), nlohmann::json({{"error", "cannot-save"}}).dump());
    EXPECT_EQ(refused.find("token"), std::string::npos);
    EXPECT_TRUE(host->waitLine(R"({"event":"pair-attempt","outcome":"not-saved")"));

    host->command("revoke " + laptopID);
    ASSERT_TRUE(host->waitLine("revoke recorded"));
    // A restart on the still full disk.
    host.reset();
    launch();
    expectRefused(laptop);
    session(phone, "Phone");

    std::filesystem::remove(dataHome / "filler");
    EXPECT_FALSE(pair("Tablet").empty());
}

TEST_F(HarnessOnFullDisk, WhereTheListCannotBeRewrittenTheOthersStayPairedOrTheAnswerSaysTheyWillNot) {
    struct Case {
        const char* name;
        bool namesLeft;
        std::string answer;
        bool othersAfterRestart;
    };
    const std::vector<Case> cases = {
        // A name of an empty file needs no byte: the record keeps the
        // revoked device out and every other in.
        {"a name can still be made", true, "revoke recorded", true},
        {"not even a name", false, "revoke not-saved list-removed", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        freshDisk();
        const std::string laptop = pair("Laptop");
        const std::string laptopID = lastDeviceID;
        const std::string phone = pair("Phone");
        // A second name for the stored list (a backup's hard link) keeps its
        // bytes on the disk: removing the list frees no room for a new one.
        std::filesystem::create_hard_link(dataHome / "Morvane" / "keychain" / "local.morvane.host@paired-devices",
                                          dataHome / "backup");
        fill();
        if (!c.namesLeft) useUpNames();

        host->command("revoke " + laptopID);
        ASSERT_TRUE(host->waitLine("revoke ")) << "no answer";
        EXPECT_TRUE(host->sawLine(c.answer));

        host.reset();
        launch();
        expectRefused(laptop);
        if (c.othersAfterRestart)
            session(phone, "Phone");
        else
            expectRefused(phone);
    }
}

TEST_F(Harness, SeventeenthIdleConnectionEvictsTheOldest) {
    std::vector<std::unique_ptr<Socket>> idle;
    for (int i = 0; i < 16; ++i) idle.push_back(std::make_unique<Socket>(host->port()));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // all accepted, in order
    EXPECT_FALSE(idle[0]->closedWithin(100));
    Socket extra(host->port());
    EXPECT_TRUE(idle[0]->closedWithin(2000));
    for (int i = 1; i < 16; ++i) EXPECT_FALSE(idle[i]->closedWithin(20)) << i;
    extra.send("GET / HTTP/1.1\r\nHost: " + hostHeader + "\r\n\r\n");
    EXPECT_EQ(extra.readAll().substr(0, 15), "HTTP/1.1 200 OK");
}

TEST_F(Harness, ClosedConnectionsLeaveNoConnectionOrTimerBehind) {
    auto stats = [&] {
        host->command("stats");
        auto line = host->waitLine("stats ");
        EXPECT_TRUE(line);
        return nlohmann::json::parse(line ? line->substr(6) : "{}", nullptr, false);
    };
    auto before = stats();
    ASSERT_TRUE(before.is_object());
    const int idleTimers = before.value("timers", -1);
    // Answered pages, refusals and sessions closed before they proved
    // anything: each used to hold its deadlines for up to 30 seconds.
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(get("/").substr(0, 15), "HTTP/1.1 200 OK");
        ASSERT_EQ(get("/missing").substr(0, 12), "HTTP/1.1 404");
    }
    for (int i = 0; i < 10; ++i) {
        WebSocket ws(host->port());
        ws.sendText(R"({"t":"auth","token":"wrong"})");
        EXPECT_EQ(ws.nextText(), R"({"t":"denied"})");
    }
    nlohmann::json after;
    for (int attempt = 0; attempt < 100; ++attempt) {
        after = stats();
        if (after.value("connections", -1) == 0 && after.value("timers", -1) <= idleTimers) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(after.value("connections", -1), 0);
    EXPECT_LE(after.value("timers", -1), idleTimers) << "closed connections still hold their deadlines";
}

TEST_F(Harness, PairedDeviceAuthenticatesPingsAndIsTakenOver) {
    std::string token = pair("Phone");
    std::string phoneID = lastDeviceID;
    auto phone = session(token, "Phone");
    EXPECT_TRUE(host->waitLine(R"({"event":"controller","name":"Phone"})"));
    EXPECT_TRUE(host->waitLine(R"({"device":")" + phoneID + R"(","event":"session-started","name":"Phone","route":"local"})"));

    // A WebSocket ping is answered with the same payload; a JSON ping with the same id.
    phone->sendRaw(clientFrame(0x9, "hi"));
    auto pong = phone->next();
    while (pong && pong->opcode == 0x1) pong = phone->next();
    ASSERT_TRUE(pong);
    EXPECT_EQ(pong->opcode, 0xA);
    EXPECT_EQ(pong->payload, "hi");
    phone->sendText(R"({"t":"ping","id":42})");
    EXPECT_EQ(phone->nextText(), R"({"id":42,"t":"pong"})");
    phone->sendText(R"({"t":"mm","x":0.5,"y":2})");
    EXPECT_TRUE(host->waitLine(R"({"event":"input","kind":"move","x":0.5,"y":1.0})"));

    std::string tabletToken = pair("Tablet");
    auto tablet = session(tabletToken, "Tablet");
    EXPECT_EQ(phone->nextText(), R"({"reason":"taken-over","t":"bye"})");
    EXPECT_EQ(phone->waitClose(), 1000);
    EXPECT_TRUE(phone->peerClosed());
    EXPECT_TRUE(host->waitLine(R"({"event":"controller","name":"Tablet"})"));
    EXPECT_TRUE(host->waitLine(R"({"device":")" + phoneID + R"(","event":"session-ended","takenOver":true})"));

    // A wrong token is denied.
    WebSocket stranger(host->port());
    stranger.sendText(R"({"t":"auth","token":"0000"})");
    EXPECT_EQ(stranger.nextText(), R"({"t":"denied"})");
    EXPECT_EQ(stranger.waitClose(), 1008);

    // After a restart the device is still paired.
    tablet.reset();
    phone.reset();
    host.reset();
    launch();
    session(token, "Phone");
}

TEST_F(Harness, BrokenOrSilentSessionsAreClosedWithTheirCodes) {
    std::string token = pair("Phone");
    {
        WebSocket silent(host->port());
        EXPECT_EQ(silent.nextText(7000), R"({"t":"denied"})");
        EXPECT_EQ(silent.waitClose(), 1008);
    }
    {
        WebSocket flood(host->port());
        // 4,097 bytes of an unfinished frame before any message.
        std::string frame = clientFrame(0x1, std::string(5000, 'a'));
        flood.sendRaw(frame.substr(0, 4097));
        EXPECT_EQ(flood.nextText(), R"({"t":"denied"})");
        EXPECT_EQ(flood.waitClose(), 1008);
    }
    {
        auto ws = session(token, "Phone");
        ws->sendText("this is not json");
        EXPECT_EQ(ws->waitClose(), 1007);
    }
    {
        auto ws = session(token, "Phone");
        ws->sendText(std::string(16'385, 'x'));
        EXPECT_EQ(ws->waitClose(), 1009);
    }
    {
        auto ws = session(token, "Phone");
        host->command("pause");
        EXPECT_EQ(ws->nextText(), R"({"reason":"paused","t":"bye"})");
        EXPECT_EQ(ws->waitClose(), 1000);
        WebSocket refused(host->port());
        refused.sendText(nlohmann::json{{"t", "auth"}, {"token", token}}.dump());
        EXPECT_EQ(refused.nextText(), R"({"reason":"paused","t":"bye"})");
        EXPECT_EQ(refused.waitClose(), 1000);
        host->command("resume");
        ASSERT_TRUE(host->waitLine("ok"));
    }
    {
        std::string other = pair("Tablet");
        std::string id = lastDeviceID;
        auto ws = session(other, "Tablet");
        host->command("revoke " + id);
        EXPECT_EQ(ws->nextText(3000), R"({"reason":"revoked","t":"bye"})");
        EXPECT_EQ(ws->waitClose(), 1000);
        ASSERT_TRUE(host->waitLine("revoke saved"));
        // Gone already, and never paired: nothing is revoked, and the answer
        // says so rather than that something was saved.
        for (const std::string& stranger : {id, std::string("no-such-device")}) {
            host->command("revoke " + stranger);
            ASSERT_TRUE(host->waitLine("revoke not-paired")) << stranger;
        }
        session(token, "Phone");
    }
}

TEST_F(Harness, SilentControllerIsEndedWithTimeout) {
    std::string token = pair("Phone");
    auto ws = session(token, "Phone");
    auto started = Clock::now();
    EXPECT_EQ(ws->nextText(20'000), R"({"reason":"timeout","t":"bye"})");
    EXPECT_GE(Clock::now() - started, std::chrono::seconds(15));
    EXPECT_EQ(ws->waitClose(), 1000);
}

}  // namespace
}  // namespace morvane::testing
