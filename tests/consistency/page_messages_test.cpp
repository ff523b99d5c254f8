// What the web page sends is what the host reads: every message the page's
// own encoders build (printed by page_messages.js under node) is parsed by
// the host's catalogue and must come out as the intended kind with the
// intended values.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "effects/fx_message.h"
#include "input/key_map.h"
#include "platform/linux/input_x11_keys.h"
#include "server/client_message.h"
#include "server/lock_relay.h"

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

// Runs node with the given (quoted) arguments: what it printed, or why it
// printed nothing. scripts/setup installs node, so a missing one fails.
struct NodeRun {
    std::string output;
    std::string problem;
};

NodeRun runNode(const std::string& arguments) {
    NodeRun out;
    std::string node = MORVANE_NODE;
    if (node.empty() || node.find("NOTFOUND") != std::string::npos) {
        out.problem = "node is not installed (scripts/setup installs it)";
        return out;
    }
    std::string command = "'" + node + "' " + arguments;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) {
        out.problem = "could not start node";
        return out;
    }
    char buffer[65'536];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.output.append(buffer, n);
    int status = ::pclose(pipe);
    if (status != 0) out.problem = "node " + arguments + " failed with status " + std::to_string(status);
    return out;
}

std::vector<json> jsonLines(const std::string& text) {
    std::vector<json> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(json::parse(text.substr(start, end - start)));
        start = end + 1;
    }
    return lines;
}

const PageCases& pageCases() {
    static const PageCases loaded = [] {
        PageCases out;
        auto run = runNode("'" MORVANE_PAGE_MESSAGES "' '" MORVANE_WEB_FOLDER "' '" MORVANE_PAGE_SCRIPT "'");
        if (!run.problem.empty()) {
            out.problem = run.problem;
            return out;
        }
        for (const auto& line : jsonLines(run.output))
            out.cases.push_back({line.at("name"), line.at("messages").get<std::vector<std::string>>(), line.at("expect")});
        return out;
    }();
    return loaded;
}

// What the page's parsers make of messages the host built, one for each.
std::vector<json> pageReads(const std::vector<json>& messages) {
    const auto file = std::filesystem::temp_directory_path() /
                      ("morvane-host-messages-" + std::to_string(::getpid()) + ".jsonl");
    {
        std::ofstream out(file);
        for (const auto& m : messages) out << m.dump() << '\n';
    }
    auto run = runNode("'" MORVANE_PAGE_READS "' '" + file.string() + "' '" MORVANE_PAGE_SCRIPT "'");
    std::filesystem::remove(file);
    if (!run.problem.empty()) {
        ADD_FAILURE() << run.problem;
        return {};
    }
    return jsonLines(run.output);
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
        ASSERT_TRUE(pageCases().problem.empty()) << pageCases().problem;            \
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

TEST(PageMessages, EveryKeyThePageButtonsSendIsKnownAndHasAKeyOnX) {
    REQUIRE_PAGE();
    for (const auto& c : casesOf({"key"})) {
        if (!c.expect.value("button", false)) continue;
        const std::string code = c.expect["code"];
        // Long made-up codes are there to test the catalogue's limits only.
        if (code.size() > 16) continue;
        // The injector passes over any name the key table does not know.
        EXPECT_TRUE(KeyMap::keyCode(code).has_value()) << code << " is not a key the host knows";
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

TEST(PageMessages, ScreenControlRequestsReadAsTheSameIdsShapesAndSwitches) {
    REQUIRE_PAGE();
    auto cases = casesOf({"fx-hello", "fx-probe", "fx-match", "fx-restore", "fx-hide"});
    ASSERT_GE(cases.size(), 15u);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(c.messages.size(), 1u);
        SCOPED_TRACE(c.messages[0]);
        auto message = ClientMessage::parse(c.messages[0]);
        auto fx = message.get<ClientMessage::Fx>();
        ASSERT_TRUE(fx) << "not read as a display-effects message";
        auto request = FxMessage::parse(fx->type, fx->object);
        ASSERT_TRUE(request) << "refused by the effects parser";
        const json& e = c.expect;
        const std::string kind = e["kind"];
        EXPECT_EQ(fx->type, kind);
        if (kind == "fx-hello") {
            EXPECT_EQ(*request, FxRequest(fx_request::Hello{}));
        } else if (kind == "fx-probe") {
            EXPECT_EQ(*request, FxRequest(fx_request::Probe{e["id"], e["w"], e["h"], e["scale"]}));
        } else if (kind == "fx-match") {
            EXPECT_EQ(*request, FxRequest(fx_request::Match{e["id"], e["w"], e["h"], e["scale"]}));
        } else if (kind == "fx-restore") {
            EXPECT_EQ(*request, FxRequest(fx_request::Restore{e["id"]}));
        } else {
            EXPECT_EQ(*request, FxRequest(fx_request::Hide{e["id"], e["on"]}));
        }
    }
}

TEST(PageMessages, ThePageReadsTheHostsEffectStatesAndResultsAsMeant) {
    using FxMessage::MatchSize;
    FxMessage::State everything;
    everything.display = 4'294'967'295u;
    everything.matchAvailable = everything.matchAllowed = true;
    everything.matchSize = MatchSize{3840, 2160, true};
    everything.hideAvailable = everything.hideAllowed = everything.hideActive = true;
    everything.idle = 86'400;
    everything.others = 16;
    everything.locks = true;
    const FxMessage::State nothing;

    const json plainMatch = {{"available", false}, {"allowed", false}, {"active", false}, {"w", 0}, {"h", 0},
                             {"smaller", false}};
    const json plainHide = {{"available", false}, {"allowed", false}, {"active", false},
                            {"idle", 600},        {"others", 0},      {"locks", false}};
    struct Row {
        json message;
        json read;
    };
    const std::vector<Row> rows = {
        {FxMessage::state(nothing, std::nullopt, std::nullopt),
         {{"display", 0}, {"match", plainMatch}, {"hide", plainHide}, {"ended", nullptr}, {"soon", nullptr}}},
        {FxMessage::state(everything, FxEnded{FxWhat::match, FxWhy::changedOnMac}, 90),
         {{"display", 4'294'967'295u},
          {"match", {{"available", true}, {"allowed", true}, {"active", true}, {"w", 3840}, {"h", 2160}, {"smaller", true}}},
          {"hide",
           {{"available", true}, {"allowed", true}, {"active", true}, {"idle", 86'400}, {"others", 16}, {"locks", true}}},
          {"ended", {{"what", "match"}, {"why", "changed-on-mac"}}},
          {"soon", {{"what", "hide"}, {"in", 90}}}}},
        {FxMessage::state(nothing, FxEnded{FxWhat::hide, FxWhy::secureInput}, std::nullopt),
         {{"display", 0}, {"match", plainMatch}, {"hide", plainHide},
          {"ended", {{"what", "hide"}, {"why", "secure-input"}}}, {"soon", nullptr}}},
        {FxMessage::result(FxResult::ok(2'147'483'647, FxWhat::match)),
         {{"id", 2'147'483'647}, {"what", "match"}, {"ok", true}, {"error", ""}, {"restored", false}, {"verdict", ""},
          {"before", 0}, {"after", 0}, {"smaller", false}}},
        {FxMessage::result(FxResult::refused(7, FxWhat::match, FxError::noBetterMode, true)),
         {{"id", 7}, {"what", "match"}, {"ok", false}, {"error", "no-better-mode"}, {"restored", true}, {"verdict", ""},
          {"before", 0}, {"after", 0}, {"smaller", false}}},
        {FxMessage::result(FxResult{1, FxWhat::probe, std::nullopt, false, FxVerdict::noFit, 1000, 0, true}),
         {{"id", 1}, {"what", "probe"}, {"ok", true}, {"error", ""}, {"restored", false}, {"verdict", "no-fit"},
          {"before", 1000}, {"after", 0}, {"smaller", true}}},
        {FxMessage::result(FxResult::refused(3, FxWhat::hide, FxError::noKeyWatch, false)),
         {{"id", 3}, {"what", "hide"}, {"ok", false}, {"error", "no-key-watch"}, {"restored", false}, {"verdict", ""},
          {"before", 0}, {"after", 0}, {"smaller", false}}},
    };
    std::vector<json> messages;
    for (const auto& r : rows) messages.push_back(r.message);
    const auto reads = pageReads(messages);
    ASSERT_EQ(reads.size(), rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(rows[i].message.dump());
        EXPECT_EQ(reads[i], rows[i].read);
    }
}

TEST(PageMessages, ThePageReadsWhatTheHostSaysOfLockingAsMeant) {
    struct Row {
        json message;
        json read;
    };
    const std::vector<Row> rows = {
        {LockMessage::state({true, true}), {{"can", true}, {"onDisconnect", true}}},
        {LockMessage::state({false, true}), {{"can", false}, {"onDisconnect", true}}},
        {LockMessage::state({false, false}), {{"can", false}, {"onDisconnect", false}}},
        {LockMessage::result(true), {{"locked", true}}},
        {LockMessage::result(false), {{"locked", false}}},
    };
    std::vector<json> messages;
    for (const auto& r : rows) messages.push_back(r.message);
    const auto reads = pageReads(messages);
    ASSERT_EQ(reads.size(), rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(reads[i], rows[i].read) << rows[i].message.dump();
}

}  // namespace
}  // namespace morvane
