#include "transfer/clipboard_message.h"

#include <gtest/gtest.h>

#include "transfer/clipboard_assembler.h"
#include "transfer/clipboard_text.h"

namespace morvane {
namespace {

using nlohmann::json;

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
        const json& data = messages[i];
        ASSERT_EQ(data["t"], "clip-data");
        ASSERT_LE(ClipboardText::length(data["s"].get<std::string>()), ClipboardLimits::maxChunkCharacters);
        last = assembler.chunk(data["id"].get<int>(), data["i"].get<int>(), data["s"].get<std::string>());
    }
    EXPECT_EQ(last, ClipboardAssembler::Outcome(clipboard_outcome::Complete{11, text}));
}

}  // namespace
}  // namespace morvane
