// What the web page sends is what the host reads: every message the page's
// own encoders build (printed by page_messages.js under node) is parsed by
// the host's catalogue and must come out as the intended kind with the
// intended values.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/linux/input_x11_keys.h"
#include "server/client_message.h"

namespace morvane {
namespace {

using nlohmann::json;

struct PageCase {
    std::string name;
    std::vector<std::string> messages;
    json expect;
};

struct PageCases {
    std::vector<PageCase> cases;
    std::string problem;  // why there are none
};

const PageCases& pageCases() {
    static const PageCases loaded = [] {
        PageCases out;
        std::string node = MORVANE_NODE;
        if (node.empty() || node.find("NOTFOUND") != std::string::npos) {
            out.problem = "node is not installed";
            return out;
        }
        std::string command =
            "'" + node + "' '" MORVANE_PAGE_MESSAGES "' '" MORVANE_WEB_FOLDER "' '" MORVANE_PAGE_SCRIPT "'";
        FILE* pipe = ::popen(command.c_str(), "r");
        if (!pipe) {
            out.problem = "could not start node";
            return out;
        }
        std::string text;
        char buffer[65'536];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
        int status = ::pclose(pipe);
        if (status != 0) {
            out.problem = "page_messages.js failed with status " + std::to_string(status);
            return out;
        }
        std::size_t start = 0;
        while (start < text.size()) {
            std::size_t end = text.find('\n', start);
            if (end == std::string::npos) end = text.size();
            json line = json::parse(text.substr(start, end - start));
            out.cases.push_back({line.at("name"), line.at("messages").get<std::vector<std::string>>(), line.at("expect")});
            start = end + 1;
        }
        return out;
    }();
    return loaded;
}

// The cases of the given kinds; fails the test when the page printed none.
std::vector<PageCase> casesOf(std::initializer_list<std::string> kinds) {
    std::vector<PageCase> out;
    for (const auto& c : pageCases().cases) {
        for (const auto& k : kinds)
            if (c.expect.at("kind") == k) out.push_back(c);
    }
    return out;
}

#define REQUIRE_PAGE()                                                              \
    do {                                                                            \
        if (!pageCases().problem.empty()) GTEST_SKIP() << pageCases().problem;      \
        ASSERT_FALSE(pageCases().cases.empty()) << "the page printed no messages"; \
    } while (0)

const InputEvent* inputOf(const ClientMessage& m) {
    auto input = m.get<ClientMessage::Input>();
    return input ? &input->event : nullptr;
}

TEST(PageMessages, PointerMessagesReadAsTheSamePlaceButtonAndScroll) {
    REQUIRE_PAGE();
    auto cases = casesOf({"move", "button", "scroll"});
    ASSERT_GE(cases.size(), 20u);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name + ": " + c.messages.at(0));
        ASSERT_EQ(c.messages.size(), 1u);
        auto message = ClientMessage::parse(c.messages[0]);
        const InputEvent* event = inputOf(message);
        ASSERT_TRUE(event) << "not read as input";
        const json& e = c.expect;
        if (e["kind"] == "move") {
            auto move = std::get_if<input::Move>(event);
            ASSERT_TRUE(move);
            // The page sends five decimals: a tenth of a pixel on the widest screen.
            EXPECT_NEAR(move->x, e["x"].get<double>(), 0.5e-5);
            EXPECT_NEAR(move->y, e["y"].get<double>(), 0.5e-5);
        } else if (e["kind"] == "button") {
            auto button = std::get_if<input::Button>(event);
            ASSERT_TRUE(button);
            EXPECT_EQ(*button, (input::Button{e["button"], e["down"], e["x"], e["y"], e["clicks"]}));
        } else {
            auto scroll = std::get_if<input::Scroll>(event);
            ASSERT_TRUE(scroll);
            EXPECT_EQ(*scroll, (input::Scroll{e["dx"], e["dy"]}));
        }
    }
}

TEST(PageMessages, KeysAndTypedTextReadAsTheSameKeysAndCharacters) {
    REQUIRE_PAGE();
    auto keys = casesOf({"key"});
    ASSERT_GE(keys.size(), 20u);
    for (const auto& c : keys) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(c.messages.size(), 2u);
        const std::string code = c.expect["code"];
        for (std::size_t i = 0; i < 2; ++i) {
            auto message = ClientMessage::parse(c.messages[i]);
            const InputEvent* event = inputOf(message);
            ASSERT_TRUE(event) << c.messages[i];
            EXPECT_EQ(*event, InputEvent(input::Key{code, i == 0}));
        }
    }

    auto texts = casesOf({"text", "text-pieces"});
    ASSERT_GE(texts.size(), 5u);
    for (const auto& c : texts) {
        SCOPED_TRACE(c.name);
        std::string joined;
        for (const auto& m : c.messages) {
            auto message = ClientMessage::parse(m);
            const InputEvent* event = inputOf(message);
            ASSERT_TRUE(event) << "not read as input: " << m.substr(0, 200);
            auto text = std::get_if<input::Text>(event);
            ASSERT_TRUE(text);
            joined += text->text;
        }
        EXPECT_EQ(joined, c.expect["s"].get<std::string>());
        if (c.expect["kind"] == "text") {
            EXPECT_EQ(c.messages.size(), 1u);
        }
    }

    auto live = casesOf({"live"});
    ASSERT_EQ(live.size(), 1u);
    const auto& c = live[0];
    std::vector<InputEvent> events;
    for (const auto& m : c.messages) {
        auto message = ClientMessage::parse(m);
        ASSERT_TRUE(inputOf(message)) << m;
        events.push_back(*inputOf(message));
    }
    const std::string code = c.expect["code"];
    EXPECT_EQ(events, (std::vector<InputEvent>{input::Text{c.expect["text"]}, input::Key{code, true},
                                               input::Key{code, false}}));
}

TEST(PageMessages, EveryKeyThePageButtonsSendHasAKeyOnX) {
    REQUIRE_PAGE();
    for (const auto& c : casesOf({"key"})) {
        if (!c.expect.value("button", false)) continue;
        const std::string code = c.expect["code"];
        // Long made-up codes are there to test the catalogue's limits only.
        if (code.size() > 16) continue;
        EXPECT_TRUE(x11Key(code).has_value()) << code << " does nothing on this host";
    }
}

TEST(PageMessages, SessionAndPictureRequestsReadAsIntended) {
    REQUIRE_PAGE();
    auto cases = casesOf({"auth", "ping", "quality", "lock", "refresh", "keyframe", "video-h264", "video-jpeg",
                          "audio-start", "audio-stop"});
    ASSERT_GE(cases.size(), 16u);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name + ": " + c.messages.at(0));
        ASSERT_EQ(c.messages.size(), 1u);
        auto m = ClientMessage::parse(c.messages[0]);
        const std::string kind = c.expect["kind"];
        if (kind == "auth") {
            ASSERT_TRUE(m.is<ClientMessage::Auth>());
            EXPECT_EQ(m.get<ClientMessage::Auth>()->token, c.expect["token"].get<std::string>());
        } else if (kind == "ping") {
            ASSERT_TRUE(m.is<ClientMessage::Ping>());
            EXPECT_EQ(m.get<ClientMessage::Ping>()->id, c.expect["id"]);
        } else if (kind == "quality") {
            ASSERT_TRUE(m.is<ClientMessage::Quality>());
            EXPECT_EQ(toString(m.get<ClientMessage::Quality>()->quality), c.expect["q"].get<std::string>());
        } else if (kind == "lock") {
            ASSERT_TRUE(inputOf(m));
            EXPECT_TRUE(std::holds_alternative<input::Lock>(*inputOf(m)));
        } else if (kind == "refresh") {
            EXPECT_TRUE(m.is<ClientMessage::Refresh>());
        } else if (kind == "keyframe") {
            EXPECT_TRUE(m.is<ClientMessage::Keyframe>());
        } else if (kind == "audio-start" || kind == "audio-stop") {
            ASSERT_TRUE(m.is<ClientMessage::Audio>());
            EXPECT_EQ(m.get<ClientMessage::Audio>()->request,
                      kind == "audio-start" ? AudioRequest::start : AudioRequest::stop);
        } else if (kind == "video-h264") {
            ASSERT_TRUE(m.is<ClientMessage::Video>());
            EXPECT_EQ(m.get<ClientMessage::Video>()->request,
                      VideoRequest(video_request::H264{c.expect["maxW"], c.expect["maxH"]}));
        } else {
            ASSERT_TRUE(m.is<ClientMessage::Video>());
            EXPECT_EQ(m.get<ClientMessage::Video>()->request, VideoRequest(video_request::Jpeg{}));
        }
    }
}

TEST(PageMessages, ClipboardPutsArriveWholeAndGetsAndDisplaySelectsKeepTheirIds) {
    REQUIRE_PAGE();
    auto puts = casesOf({"clip-put"});
    ASSERT_GE(puts.size(), 4u);
    for (const auto& c : puts) {
        SCOPED_TRACE(c.name);
        ASSERT_GE(c.messages.size(), 2u);
        const int id = c.expect["id"];
        auto begin = ClientMessage::parse(c.messages[0]);
        ASSERT_TRUE(begin.is<ClientMessage::Clipboard>()) << c.messages[0];
        const int chunks = static_cast<int>(c.messages.size()) - 1;
        EXPECT_EQ(begin.get<ClientMessage::Clipboard>()->request,
                  ClipboardRequest(clipboard_request::PutBegin{id, chunks, c.expect["len"]}));
        std::string joined;
        for (int i = 0; i < chunks; ++i) {
            auto chunk = ClientMessage::parse(c.messages[static_cast<std::size_t>(i) + 1]);
            ASSERT_TRUE(chunk.is<ClientMessage::Clipboard>()) << "chunk " << i << " refused";
            auto piece = std::get_if<clipboard_request::PutChunk>(&chunk.get<ClientMessage::Clipboard>()->request);
            ASSERT_TRUE(piece);
            EXPECT_EQ(piece->id, id);
            EXPECT_EQ(piece->index, i);
            joined += piece->text;
        }
        EXPECT_EQ(joined, c.expect["text"].get<std::string>());
    }

    for (const auto& c : casesOf({"clip-get"})) {
        auto m = ClientMessage::parse(c.messages.at(0));
        ASSERT_TRUE(m.is<ClientMessage::Clipboard>()) << c.name;
        EXPECT_EQ(m.get<ClientMessage::Clipboard>()->request, ClipboardRequest(clipboard_request::Get{c.expect["id"]}));
    }

    auto displays = casesOf({"display"});
    ASSERT_GE(displays.size(), 3u);
    for (const auto& c : displays) {
        auto m = ClientMessage::parse(c.messages.at(0));
        ASSERT_TRUE(m.is<ClientMessage::Display>()) << c.name;
        EXPECT_EQ(m.get<ClientMessage::Display>()->request, (DisplayRequest{c.expect["id"].get<std::uint32_t>()}));
    }
}

Bytes fromHex(const std::string& hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

TEST(PageMessages, FileRequestsAndUploadChunksReadAsTheSameIdsNamesSizesAndBytes) {
    REQUIRE_PAGE();
    auto requests = casesOf({"file-list", "file-cancel", "file-put", "file-put-end", "file-get"});
    ASSERT_GE(requests.size(), 14u);
    for (const auto& c : requests) {
        SCOPED_TRACE(c.name + ": " + c.messages.at(0).substr(0, 200));
        ASSERT_EQ(c.messages.size(), 1u);
        auto m = ClientMessage::parse(c.messages[0]);
        ASSERT_TRUE(m.is<ClientMessage::File>()) << "not read as a file request";
        const json& e = c.expect;
        const std::int64_t id = e["id"];
        FileRequest expected;
        if (e["kind"] == "file-list") expected = {file_request::List{id}};
        else if (e["kind"] == "file-cancel") expected = {file_request::Cancel{id}};
        else if (e["kind"] == "file-put") expected = {file_request::Put{id, e["name"], e["size"]}};
        else if (e["kind"] == "file-put-end") expected = {file_request::PutEnd{id, e["sha256"]}};
        else expected = {file_request::Get{id, e["name"]}};
        EXPECT_EQ(m.get<ClientMessage::File>()->request, expected);
    }

    auto chunks = casesOf({"file-chunk"});
    ASSERT_GE(chunks.size(), 4u);
    for (const auto& c : chunks) {
        SCOPED_TRACE(c.name);
        const Bytes frame = fromHex(c.messages.at(0));
        auto decoded = FileChunk::decodeUpload(frame);
        ASSERT_TRUE(decoded) << "the host refused the page's frame";
        EXPECT_EQ(decoded->id, c.expect["id"].get<std::int64_t>());
        EXPECT_EQ(decoded->offset, c.expect["offset"].get<std::int64_t>());
        EXPECT_EQ(Bytes(decoded->data.begin(), decoded->data.end()), fromHex(c.expect["data"]));
    }
}

}  // namespace
}  // namespace morvane
