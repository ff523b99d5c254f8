// File transfers end to end: the harness with a real disk store under a
// private folder, driven by a WebSocket client that speaks the device's side.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <set>

#include "../support/eventually.h"
#include "harness_process.h"

namespace morvane::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr std::size_t uploadChunk = 16'000;
constexpr std::size_t uploadWindow = 8 * uploadChunk;

std::string sha256Hex(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < length; ++i) {
        out.push_back(hex[digest[i] >> 4]);
        out.push_back(hex[digest[i] & 0x0F]);
    }
    return out;
}

// Bytes that differ from chunk to chunk, so a chunk written at the wrong
// place changes the digest.
std::string content(std::size_t size, unsigned seed) {
    std::string s(size, '\0');
    std::uint32_t x = 2'463'534'242u + seed;
    for (auto& c : s) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x & 0xFF);
    }
    return s;
}

std::string chunkFrame(std::uint8_t tag, std::uint32_t id, std::uint32_t offset, std::string_view data) {
    std::string f(1, static_cast<char>(tag));
    for (std::uint32_t v : {id, offset})
        for (int shift = 24; shift >= 0; shift -= 8) f.push_back(static_cast<char>((v >> shift) & 0xFF));
    f.append(data);
    return f;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Everything in the received folder but the Outbox.
std::set<std::string> received(const fs::path& root) {
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(root, ec))
        if (entry.path().filename() != "Outbox") names.insert(entry.path().filename().string());
    return names;
}

class FileTransfers : public ::testing::Test {
protected:
    void SetUp() override {
        base = fs::temp_directory_path() / ("morvane-files-" + std::to_string(getpid()) + "-" +
                                            std::to_string(Clock::now().time_since_epoch().count()));
        root = base / "Downloads" / "Morvane";
        fs::create_directories(base / "data");
        host = std::make_unique<HarnessProcess>(base / "data", freePort(),
                                                std::vector<std::string>{"--files", root.string()});
        ASSERT_TRUE(host->waitLine("listening "));
        token = pair("Phone");
        ASSERT_FALSE(token.empty());
    }
    void TearDown() override {
        host.reset();
        fs::remove_all(base);
    }

    std::string pair(const std::string& name) {
        host->command("pair");
        auto line = host->waitLine("code ");
        if (!line) return "";
        std::string code = line->substr(5);
        std::string hostHeader = "127.0.0.1:" + std::to_string(host->port());
        std::string body = json{{"code", code}, {"name", name}}.dump();
        Socket s(host->port());
        s.send("POST /api/pair HTTP/1.1\r\nHost: " + hostHeader + "\r\nOrigin: http://" + hostHeader +
               "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
               body);
        auto answer = s.readAll();
        auto parsed = json::parse(answer.substr(answer.find("\r\n\r\n") + 4), nullptr, false);
        return parsed.is_object() ? parsed.value("token", "") : "";
    }
    std::unique_ptr<WebSocket> session() {
        auto ws = std::make_unique<WebSocket>(host->port());
        ws->sendText(json{{"t", "auth"}, {"token", token}}.dump());
        auto ready = ws->nextText();
        EXPECT_TRUE(ready && ready->find("\"t\":\"ready\"") != std::string::npos);
        return ws;
    }
    static json nextJSON(WebSocket& ws) {
        auto text = ws.nextText(10'000);
        return text ? json::parse(*text, nullptr, false) : json();
    }
    // The next message about transfer `id` other than an acknowledgement;
    // late ones of an earlier transfer are passed over.
    static json answerFor(WebSocket& ws, int id) {
        for (;;) {
            auto answer = nextJSON(ws);
            if (answer.is_null() || (answer.value("id", 0) == id && answer.value("t", "") != "file-ack"))
                return answer;
        }
    }
    // Starts an upload, asking again while the one-per-second rule holds
    // it back; the "file-put-ready" answer.
    static json startUpload(WebSocket& ws, int id, const std::string& name, std::size_t size) {
        for (int attempt = 0; attempt < 20; ++attempt) {
            ws.sendText(json{{"t", "file-put"}, {"id", id}, {"name", name}, {"size", size}}.dump());
            auto answer = answerFor(ws, id);
            if (answer.value("error", "") != "too-soon") return answer;
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
        }
        return json();
    }
    // Sends `data` up to `stopAt` bytes in full chunks, keeping within the
    // window the host acknowledges.
    static void sendChunks(WebSocket& ws, int id, const std::string& data, std::size_t stopAt) {
        std::size_t sent = 0, acked = 0;
        while (sent < stopAt) {
            while (sent < stopAt && sent - acked + std::min(uploadChunk, data.size() - sent) <= uploadWindow) {
                std::size_t n = std::min(uploadChunk, data.size() - sent);
                ws.sendRaw(clientFrame(0x2, chunkFrame(0x11, static_cast<std::uint32_t>(id),
                                                        static_cast<std::uint32_t>(sent), data.substr(sent, n))));
                sent += n;
            }
            if (sent >= stopAt) break;
            auto ack = nextJSON(ws);
            ASSERT_EQ(ack.value("t", ""), "file-ack") << ack.dump();
            acked = ack.value("n", 0);
        }
    }
    // A whole upload; the "file-put-result" answer.
    static json upload(WebSocket& ws, int id, const std::string& name, const std::string& data,
                       std::optional<std::string> digest = std::nullopt) {
        auto ready = startUpload(ws, id, name, data.size());
        EXPECT_EQ(ready.value("t", ""), "file-put-ready") << ready.dump();
        sendChunks(ws, id, data, data.size());
        ws.sendText(json{{"t", "file-put-end"}, {"id", id}, {"sha256", digest.value_or(sha256Hex(data))}}.dump());
        return answerFor(ws, id);
    }
    bool logged(const std::string& line) {
        return eventually([&] { return host->sawLine(json{{"event", "file-transfer"}, {"line", line}}.dump()); });
    }
    // A report line that begins and ends as given; what lies between (the
    // bytes written so far) depends on how far the disk has got.
    bool loggedMatching(const std::string& prefix, const std::string& suffix) {
        return eventually([&] {
            for (const auto& l : host->lines()) {
                auto j = json::parse(l, nullptr, false);
                if (!j.is_object() || j.value("event", "") != "file-transfer") continue;
                const std::string line = j.value("line", "");
                if (line.rfind(prefix, 0) == 0 && line.size() >= prefix.size() + suffix.size() &&
                    line.compare(line.size() - suffix.size(), suffix.size(), suffix) == 0)
                    return true;
            }
            return false;
        });
    }

    fs::path base, root;
    std::unique_ptr<HarnessProcess> host;
    std::string token;
};

TEST_F(FileTransfers, UploadsLandWholeUnderTheirNameAndASecondOfTheSameNameGetsAFreeOne) {
    auto ws = session();
    const std::string photo = content(300 * 1024 + 123, 1);
    auto first = upload(*ws, 1, "photo.jpg", photo);
    EXPECT_EQ(first, json({{"t", "file-put-result"}, {"id", 1}, {"ok", true}, {"name", "photo.jpg"}}));
    EXPECT_EQ(sha256Hex(readFile(root / "photo.jpg")), sha256Hex(photo));
    // The origin mark is set where the file system keeps user attributes,
    // and the report says which.
    const auto mark = originMark(root / "photo.jpg");
    if (mark.kept) {
        EXPECT_EQ(mark.origin, "http://127.0.0.1:" + std::to_string(host->port()) + "/");
    }
    EXPECT_TRUE(logged("upload of \"photo.jpg\": " + std::to_string(photo.size()) + " of " + std::to_string(photo.size()) +
                       " bytes, ok, " + (mark.kept ? "quarantine set" : "quarantine NOT set")));

    const std::string other = content(40'000, 2);
    auto second = upload(*ws, 2, "photo.jpg", other);
    EXPECT_EQ(second, json({{"t", "file-put-result"}, {"id", 2}, {"ok", true}, {"name", "photo (2).jpg"}}));
    EXPECT_EQ(readFile(root / "photo (2).jpg"), other);
    EXPECT_EQ(readFile(root / "photo.jpg"), photo) << "the first file is never overwritten";
    EXPECT_EQ(received(root), (std::set<std::string>{"photo.jpg", "photo (2).jpg"}));
}

TEST_F(FileTransfers, AnOutboxFileIsListedAndFetchedWholeInOrderedChunks) {
    fs::create_directories(root / "Outbox");
    const std::string report = content(100'000, 3);
    {
        std::ofstream out(root / "Outbox" / "report.bin", std::ios::binary);
        out << report;
    }
    auto ws = session();
    ws->sendText(json{{"t", "file-list"}, {"id", 5}}.dump());
    auto listing = nextJSON(*ws);
    ASSERT_EQ(listing.value("t", ""), "file-list-result") << listing.dump();
    ASSERT_EQ(listing["files"].size(), 1u) << listing.dump();
    EXPECT_EQ(listing["files"][0]["name"], "report.bin");
    EXPECT_EQ(listing["files"][0]["size"], report.size());

    json ready;
    for (int attempt = 0; attempt < 20; ++attempt) {
        ws->sendText(json{{"t", "file-get"}, {"id", 6}, {"name", "report.bin"}}.dump());
        ready = nextJSON(*ws);
        if (ready.value("error", "") != "too-soon") break;
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    ASSERT_EQ(ready.value("t", ""), "file-get-ready") << ready.dump();
    EXPECT_EQ(ready["size"], report.size());

    std::string fetched;
    json result;
    while (result.is_null()) {
        auto frame = ws->next(10'000);
        ASSERT_TRUE(frame) << "download stalled after " << fetched.size() << " bytes";
        if (frame->opcode == 0x1) {
            auto j = json::parse(frame->payload, nullptr, false);
            if (j.value("t", "") == "file-get-result") result = j;
            continue;
        }
        ASSERT_EQ(frame->opcode, 0x2);
        const auto& p = frame->payload;
        ASSERT_GT(p.size(), 9u);
        ASSERT_EQ(static_cast<unsigned char>(p[0]), 0x10);
        std::uint32_t id = 0, offset = 0;
        for (int i = 1; i < 5; ++i) id = id << 8 | static_cast<unsigned char>(p[i]);
        for (int i = 5; i < 9; ++i) offset = offset << 8 | static_cast<unsigned char>(p[i]);
        EXPECT_EQ(id, 6u);
        ASSERT_EQ(offset, fetched.size()) << "chunks arrive in order without gaps";
        fetched += p.substr(9);
    }
    EXPECT_EQ(result, json({{"t", "file-get-result"}, {"id", 6}, {"ok", true}, {"sha256", sha256Hex(report)}}));
    EXPECT_EQ(fetched, report);
    EXPECT_TRUE(logged("download: 100000 of 100000 bytes, ok"));
}

TEST_F(FileTransfers, AnUploadThatDoesNotArriveWholeLeavesNothingBehind) {
    auto ws = session();
    // The digest of other bytes is refused with its word.
    const std::string data = content(50'000, 4);
    auto refused = upload(*ws, 1, "notes.txt", data, sha256Hex("something else"));
    EXPECT_EQ(refused, json({{"t", "file-put-result"}, {"id", 1}, {"ok", false}, {"error", "hash-mismatch"}}));
    EXPECT_TRUE(logged("upload of \"notes.txt\": 50000 of 50000 bytes, hash-mismatch"));
    EXPECT_TRUE(eventually([&] { return received(root).empty(); })) << *received(root).begin();

    // Cancelled halfway: the partial file goes.
    const std::string big = content(200'000, 5);
    auto ready = startUpload(*ws, 2, "big.bin", big.size());
    ASSERT_EQ(ready.value("t", ""), "file-put-ready") << ready.dump();
    sendChunks(*ws, 2, big, 6 * uploadChunk);
    ASSERT_TRUE(eventually([&] { return !received(root).empty(); })) << "the partial file exists meanwhile";
    ws->sendText(json{{"t", "file-cancel"}, {"id", 2}}.dump());
    EXPECT_EQ(answerFor(*ws, 2), json({{"t", "file-put-result"}, {"id", 2}, {"ok", false}, {"error", "cancelled"}}));
    EXPECT_TRUE(loggedMatching("upload of \"big.bin\": ", " of 200000 bytes, cancelled"));
    EXPECT_TRUE(eventually([&] { return received(root).empty(); }));

    // The session goes on: another upload still works.
    auto after = upload(*ws, 3, "small.txt", "hello");
    EXPECT_EQ(after.value("ok", false), true) << after.dump();
    EXPECT_EQ(received(root), std::set<std::string>{"small.txt"});
}

TEST_F(FileTransfers, ATakeoverMidUploadRemovesThePartialFile) {
    auto first = session();
    const std::string data = content(200'000, 6);
    auto ready = startUpload(*first, 1, "movie.mov", data.size());
    ASSERT_EQ(ready.value("t", ""), "file-put-ready") << ready.dump();
    sendChunks(*first, 1, data, 4 * uploadChunk);
    ASSERT_TRUE(eventually([&] { return !received(root).empty(); }));

    auto second = session();
    first->waitClose();
    EXPECT_TRUE(loggedMatching("upload of \"movie.mov\": ", " of 200000 bytes, session-ended"));
    EXPECT_TRUE(eventually([&] { return received(root).empty(); }));
    // A chunk for the ended upload from the new controller is ignored, and
    // the new session can list the files.
    second->sendRaw(clientFrame(0x2, chunkFrame(0x11, 1, 64'000, data.substr(64'000, uploadChunk))));
    second->sendText(json{{"t", "file-list"}, {"id", 9}}.dump());
    auto listing = nextJSON(*second);
    EXPECT_EQ(listing, json({{"t", "file-list-result"}, {"id", 9}, {"ok", true}, {"files", json::array()},
                             {"more", false}}));
    EXPECT_TRUE(received(root).empty());
}

}  // namespace
}  // namespace morvane::testing
