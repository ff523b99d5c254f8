#include "transfer/clipboard_message.h"

#include <gtest/gtest.h>

#include "transfer/clipboard_assembler.h"
#include "transfer/clipboard_text.h"

namespace morvane {
namespace {

using nlohmann::json;

std::optional<ClipboardRequest> parse(const std::string& text) {
    const json object = json::parse(text);
    return parseClipboardRequest(object.at("t").get<std::string>(), object);
}

TEST(ClipboardRequest, FieldsAreCheckedBeforeARequestIsMade) {
    EXPECT_EQ(parse(R"({"t":"clip-get","id":1})"), ClipboardRequest(clipboard_request::Get{1}));
    EXPECT_EQ(parse(R"({"t":"clip-get","id":3.0})"), ClipboardRequest(clipboard_request::Get{3}));
    EXPECT_EQ(parse(R"({"t":"clip-get","id":999999})"), ClipboardRequest(clipboard_request::Get{999999}));
    for (const char* bad : {R"({"t":"clip-get"})", R"({"t":"clip-get","id":0})", R"({"t":"clip-get","id":1e6})",
                            R"({"t":"clip-get","id":1.5})", R"({"t":"clip-get","id":true})",
                            R"({"t":"clip-get","id":"1"})", R"({"t":"clip-get","id":null})"})
        EXPECT_FALSE(parse(bad)) << bad;

    EXPECT_EQ(parse(R"({"t":"clip-put","id":4,"n":2,"len":5})"),
              ClipboardRequest(clipboard_request::PutBegin{4, 2, 5}));
    // Upper bounds of n and len are the assembler's to refuse with a word.
    EXPECT_EQ(parse(R"({"t":"clip-put","id":4,"n":500,"len":999999})"),
              ClipboardRequest(clipboard_request::PutBegin{4, 500, 999999}));
    for (const char* bad : {R"({"t":"clip-put","id":4,"n":0,"len":5})", R"({"t":"clip-put","id":4,"n":1,"len":0})",
                            R"({"t":"clip-put","id":4,"n":1,"len":1000000})", R"({"t":"clip-put","id":4,"n":1})"})
        EXPECT_FALSE(parse(bad)) << bad;

    EXPECT_EQ(parse(R"({"t":"clip-chunk","id":4,"i":127,"s":"x"})"),
              ClipboardRequest(clipboard_request::PutChunk{4, 127, "x"}));
    for (const char* bad : {R"({"t":"clip-chunk","id":4,"i":128,"s":"x"})", R"({"t":"clip-chunk","id":4,"i":-1,"s":"x"})",
                            R"({"t":"clip-chunk","id":4,"i":0,"s":""})", R"({"t":"clip-chunk","id":4,"i":0,"s":5})"})
        EXPECT_FALSE(parse(bad)) << bad;

    // 4096 units pass whatever their byte length; 4097 do not.
    const std::string euros4096 = [] {
        std::string s;
        for (int i = 0; i < 4096; ++i) s += "\xE2\x82\xAC";
        return s;
    }();
    EXPECT_TRUE(parseClipboardRequest("clip-chunk", json{{"id", 1}, {"i", 0}, {"s", euros4096}}));
    EXPECT_FALSE(parseClipboardRequest("clip-chunk", json{{"id", 1}, {"i", 0}, {"s", euros4096 + "a"}}));

    EXPECT_FALSE(parseClipboardRequest("clip-Get", json{{"id", 1}}));
    EXPECT_FALSE(parseClipboardRequest("clip-get", json::array({1})));
}

TEST(ClipboardMessage, AnswersCarryExactlyTheirFields) {
    EXPECT_EQ(ClipboardMessage::state(3, "private").dump(), R"({"id":3,"state":"private","t":"clip"})");
    EXPECT_EQ(ClipboardMessage::putResult(9, std::nullopt).dump(), R"({"id":9,"ok":true,"t":"clip-put-result"})");
    EXPECT_EQ(ClipboardMessage::putResult(9, "write-failed").dump(),
              R"({"error":"write-failed","id":9,"ok":false,"t":"clip-put-result"})");

    const auto messages = ClipboardMessage::text(2, "hello", true);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].dump(), R"({"cut":true,"id":2,"len":5,"n":1,"state":"text","t":"clip"})");
    EXPECT_EQ(messages[1].dump(), R"({"i":0,"id":2,"s":"hello","t":"clip-data"})");
}

// What the host sends as a text answer is what a device may send back as a
// put: both halves agree on pieces, counts and lengths.
TEST(ClipboardMessage, TextAnswerIsAcceptedWholeAsAPut) {
    std::string text;
    for (int i = 0; i < 20'000; ++i) text += (i % 7 == 0) ? "\xF0\x9F\x98\x80" : (i % 5 == 0 ? "\xC3\xA9" : "w");
    const auto limited = ClipboardText::limited(text, ClipboardLimits::maxCharacters);
    const auto messages = ClipboardMessage::text(11, limited.text, limited.cut);
    const json& head = messages.front();
    EXPECT_EQ(head["n"].get<std::size_t>(), messages.size() - 1);

    ClipboardAssembler assembler;
    ASSERT_EQ(assembler.begin(11, head["n"].get<int>(), head["len"].get<int>(), 0),
              ClipboardAssembler::Outcome(clipboard_outcome::None{}));
    ClipboardAssembler::Outcome last;
    for (std::size_t i = 1; i < messages.size(); ++i) {
        const auto request = parseClipboardRequest("clip-chunk", messages[i]);
        ASSERT_TRUE(request);
        const auto& chunk = std::get<clipboard_request::PutChunk>(*request);
        last = assembler.chunk(chunk.id, chunk.index, chunk.text);
    }
    EXPECT_EQ(last, ClipboardAssembler::Outcome(clipboard_outcome::Complete{11, text}));
}

}  // namespace
}  // namespace morvane
