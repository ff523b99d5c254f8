#include "protocol/ws_codec.h"

#include <gtest/gtest.h>

#include "protocol/http_base64.h"
#include "protocol/ws_parser.h"
#include "../support/text_bytes.h"

namespace morvane {
namespace {

// A frame as a browser writes it: masked, with the shortest length form
// unless `lengthForm` forces 126 or 127.
Bytes clientFrame(std::uint8_t opcode, const Bytes& payload, bool fin = true, int lengthForm = 0,
                  std::uint8_t reserved = 0, bool masked = true) {
    Bytes out;
    out.push_back(static_cast<std::uint8_t>((fin ? 0x80 : 0) | reserved | opcode));
    const std::uint64_t n = payload.size();
    const std::uint8_t maskBit = masked ? 0x80 : 0;
    if (lengthForm == 127 || (lengthForm == 0 && n > 0xFFFF)) {
        out.push_back(maskBit | 127);
        for (int s = 56; s >= 0; s -= 8) out.push_back(static_cast<std::uint8_t>(n >> s));
    } else if (lengthForm == 126 || (lengthForm == 0 && n >= 126)) {
        out.push_back(maskBit | 126);
        out.push_back(static_cast<std::uint8_t>(n >> 8));
        out.push_back(static_cast<std::uint8_t>(n));
    } else {
        out.push_back(static_cast<std::uint8_t>(maskBit | n));
    }
    const std::uint8_t mask[4] = {0x37, 0xFA, 0x21, 0x3D};
    if (masked) out.insert(out.end(), mask, mask + 4);
    for (std::size_t i = 0; i < payload.size(); ++i)
        out.push_back(masked ? static_cast<std::uint8_t>(payload[i] ^ mask[i % 4]) : payload[i]);
    return out;
}

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

std::uint16_t failureCode(WSParser& parser, const Bytes& data) {
    auto result = parser.feed(data);
    if (result.failure) {
        EXPECT_TRUE(result.events.empty()) << "a failure drops the events of its call";
    }
    return result.failure.value_or(0);
}

std::uint16_t failureCode(const Bytes& data) {
    WSParser parser;
    return failureCode(parser, data);
}

using Events = std::vector<WSParser::Event>;
WSParser::Event text(std::string_view s) { return ws_event::Message{WSOpcode::text, bytes(s)}; }

// The events of one call that must not fail.
Events fed(WSParser& parser, const Bytes& data) {
    auto result = parser.feed(data);
    EXPECT_FALSE(result.failure);
    return result.events;
}

TEST(WSCodec, AcceptKeyIsTheHandshakeDigestOfTheKeyAsReceived) {
    EXPECT_EQ(WSCodec::acceptKey("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
    EXPECT_NE(WSCodec::acceptKey(" dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

TEST(WSCodec, ServerFramesAreFinalUnmaskedAndUseTheShortestLengthForm) {
    EXPECT_EQ(WSCodec::frame(WSOpcode::text, bytes("hi")), (Bytes{0x81, 0x02, 'h', 'i'}));
    EXPECT_EQ(WSCodec::frame(WSOpcode::pong, {}), (Bytes{0x8A, 0x00}));

    const auto f125 = WSCodec::frame(WSOpcode::binary, Bytes(125, 7));
    EXPECT_EQ(f125.size(), 2u + 125);
    EXPECT_EQ(f125[1], 125);
    const auto f126 = WSCodec::frame(WSOpcode::binary, Bytes(126, 7));
    EXPECT_EQ(f126.size(), 4u + 126);
    EXPECT_EQ((Bytes{f126[0], f126[1], f126[2], f126[3]}), (Bytes{0x82, 126, 0x00, 126}));
    const auto f65535 = WSCodec::frame(WSOpcode::binary, Bytes(65535, 7));
    EXPECT_EQ((Bytes{f65535[1], f65535[2], f65535[3]}), (Bytes{126, 0xFF, 0xFF}));
    const auto f65536 = WSCodec::frame(WSOpcode::binary, Bytes(65536, 7));
    EXPECT_EQ(f65536.size(), 10u + 65536);
    EXPECT_EQ(Bytes(f65536.begin(), f65536.begin() + 10), (Bytes{0x82, 127, 0, 0, 0, 0, 0, 1, 0, 0}));

    EXPECT_EQ(WSCodec::closeFrame(1008), (Bytes{0x88, 0x02, 0x03, 0xF0}));
    EXPECT_EQ(WSCodec::closeFrame(1000), (Bytes{0x88, 0x02, 0x03, 0xE8}));
}

TEST(WSParser, AssemblesFramesSplitAcrossCallsAndYieldsEventsInOrder) {
    const auto frame = clientFrame(0x1, bytes("ok"));
    WSParser parser;
    EXPECT_TRUE(fed(parser, Bytes(frame.begin(), frame.begin() + 1)).empty());
    EXPECT_TRUE(fed(parser, Bytes(frame.begin() + 1, frame.begin() + 4)).empty());
    EXPECT_EQ(fed(parser, Bytes(frame.begin() + 4, frame.end())), Events{text("ok")});
    EXPECT_EQ(parser.bufferedBytes(), 0u);

    // Two frames and the start of a third in one call.
    const auto third = clientFrame(0x2, Bytes{1, 2, 3});
    auto data = join({clientFrame(0x1, bytes("a")), clientFrame(0x9, bytes("p")), Bytes(third.begin(), third.begin() + 5)});
    EXPECT_EQ(fed(parser, data), (Events{text("a"), ws_event::Ping{bytes("p")}}));
    EXPECT_EQ(fed(parser, Bytes(third.begin() + 5, third.end())),
              (Events{ws_event::Message{WSOpcode::binary, Bytes{1, 2, 3}}}));

    // Byte by byte through every length form.
    WSParser slow;
    const auto big = clientFrame(0x2, Bytes(300, 9));
    const auto huge = clientFrame(0x1, Bytes(1000, 'x'), true, 127);
    Events got;
    for (auto b : join({big, huge, clientFrame(0xA, bytes("x"))})) {
        auto events = fed(slow, Bytes{b});
        got.insert(got.end(), events.begin(), events.end());
    }
    EXPECT_EQ(got, (Events{ws_event::Message{WSOpcode::binary, Bytes(300, 9)},
                           ws_event::Message{WSOpcode::text, Bytes(1000, 'x')}, ws_event::Pong{}}));
}

TEST(WSParser, JoinsFragmentsAroundControlFrames) {
    WSParser parser;
    auto events = fed(parser, join({clientFrame(0x1, bytes("hel"), false), clientFrame(0x9, bytes("!")),
                                    clientFrame(0x0, bytes("lo "), false), clientFrame(0x0, bytes("world"))}));
    EXPECT_EQ(events, (Events{ws_event::Ping{bytes("!")}, text("hello world")}));
    // The message state is clear again afterwards.
    EXPECT_EQ(fed(parser, clientFrame(0x2, bytes("b"))), (Events{ws_event::Message{WSOpcode::binary, bytes("b")}}));
    // An empty final continuation ends a message.
    EXPECT_EQ(fed(parser, join({clientFrame(0x2, bytes("x"), false), clientFrame(0x0, {})})),
              (Events{ws_event::Message{WSOpcode::binary, bytes("x")}}));
    // A message whose pieces and frames arrive cut across calls.
    const auto middle = clientFrame(0x0, bytes("ment"), false);
    EXPECT_TRUE(fed(parser, join({clientFrame(0x1, bytes("frag"), false), Bytes(middle.begin(), middle.begin() + 3)})).empty());
    EXPECT_TRUE(fed(parser, Bytes(middle.begin() + 3, middle.end())).empty());
    EXPECT_EQ(fed(parser, join({clientFrame(0x0, bytes("ed")), clientFrame(0x1, bytes("next"))})),
              (Events{text("fragmented"), text("next")}));
    EXPECT_EQ(parser.bufferedBytes(), 0u);
}

TEST(WSParser, StopsAtACloseAndKeepsWhatFollows) {
    WSParser parser;
    const Bytes closePayload = {0x03, 0xE8};
    EXPECT_EQ(fed(parser, join({clientFrame(0x1, bytes("a")), clientFrame(0x8, closePayload), clientFrame(0x1, bytes("b"))})),
              (Events{text("a"), ws_event::Close{}}));
    EXPECT_EQ(parser.bufferedBytes(), clientFrame(0x1, bytes("b")).size());
}

TEST(WSParser, ProtocolBreachesFailWith1002) {
    EXPECT_EQ(failureCode(clientFrame(0x1, bytes("a"), true, 0, 0x40)), 1002);  // reserved bits
    EXPECT_EQ(failureCode(clientFrame(0x1, bytes("a"), true, 0, 0x20)), 1002);
    EXPECT_EQ(failureCode(clientFrame(0x1, bytes("a"), true, 0, 0x10)), 1002);
    for (std::uint8_t op : {0x3, 0x7, 0xB, 0xF}) EXPECT_EQ(failureCode(clientFrame(op, bytes("a"))), 1002) << int(op);
    EXPECT_EQ(failureCode(clientFrame(0x1, bytes("a"), true, 0, 0, false)), 1002);  // unmasked
    // An unmasked header fails before its payload arrives.
    EXPECT_EQ(failureCode(Bytes{0x81, 0x05}), 1002);

    EXPECT_EQ(failureCode(clientFrame(0x9, Bytes(126, 0))), 1002);
    EXPECT_EQ(failureCode(clientFrame(0x9, bytes("a"), false)), 1002);
    EXPECT_EQ(failureCode(clientFrame(0x8, {}, false)), 1002);
    EXPECT_EQ(failureCode(clientFrame(0x1, {}, false)), 1002);
    EXPECT_EQ(failureCode(clientFrame(0x0, bytes("x"))), 1002);
    EXPECT_EQ(failureCode(join({clientFrame(0x1, bytes("a"), false), clientFrame(0x1, bytes("b"))})), 1002);
    EXPECT_EQ(failureCode(join({clientFrame(0x1, bytes("a"), false), clientFrame(0x2, bytes("b"), false)})), 1002);

    WSParser ok;
    EXPECT_EQ(fed(ok, clientFrame(0x9, Bytes(125, 1))), (Events{ws_event::Ping{Bytes(125, 1)}}));
}

TEST(WSParser, MessagesOverTheLimitFailWith1009) {
    WSParser parser;
    const Bytes limit(WSLimits::maxMessageBytes, 'x');
    EXPECT_EQ(fed(parser, clientFrame(0x1, limit)), (Events{ws_event::Message{WSOpcode::text, limit}}));
    EXPECT_EQ(failureCode(clientFrame(0x1, Bytes(WSLimits::maxMessageBytes + 1, 'x'))), 1009);

    // Announced too large: refused as soon as the header is complete.
    const auto announced = clientFrame(0x2, Bytes(WSLimits::maxMessageBytes + 1, 'x'), true, 126);
    EXPECT_EQ(failureCode(Bytes(announced.begin(), announced.begin() + 4)), 1009);
    Bytes giant = {0x82, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(failureCode(giant), 1009);

    // Fragments count together.
    const Bytes half(WSLimits::maxMessageBytes / 2, 'y');
    WSParser whole;
    EXPECT_EQ(fed(whole, join({clientFrame(0x1, half, false), clientFrame(0x0, half)})),
              (Events{ws_event::Message{WSOpcode::text, join({half, half})}}));
    EXPECT_EQ(failureCode(join({clientFrame(0x1, half, false), clientFrame(0x0, half, false), clientFrame(0x0, bytes("z"))})),
              1009);
    // While a message is open even a control frame counts against it.
    const Bytes nearly(WSLimits::maxMessageBytes - 2, 'y');
    EXPECT_EQ(failureCode(join({clientFrame(0x1, nearly, false), clientFrame(0x9, bytes("abc"))})), 1009);
}

TEST(WSParser, AFailureDropsTheEventsOfItsCall) {
    WSParser parser;
    EXPECT_EQ(failureCode(parser, join({clientFrame(0x1, bytes("lost")), clientFrame(0x1, bytes("x"), true, 0, 0x40)})),
              1002);
}

TEST(Base64, EncodesAndStrictlyDecodesStandardText) {
    EXPECT_EQ(Base64::encode(bytes("")), "");
    EXPECT_EQ(Base64::encode(bytes("f")), "Zg==");
    EXPECT_EQ(Base64::encode(bytes("fo")), "Zm8=");
    EXPECT_EQ(Base64::encode(bytes("foo")), "Zm9v");
    EXPECT_EQ(Base64::encode(Bytes{0xFB, 0xFF}), "+/8=");
    for (std::string_view s : {"", "f", "fo", "foo", "foob", "fooba", "foobar"})
        EXPECT_EQ(Base64::decode(Base64::encode(bytes(s))), bytes(s)) << s;
    EXPECT_EQ(Base64::decode("dGhlIHNhbXBsZSBub25jZQ==")->size(), 16u);
    for (std::string_view bad : {"Zg", "Zg=", "Z===", "====", "Zm9v\n", "Zm 9v", "Zm9-", "Zm9_", "Z=g=", "Zg==Zg=="})
        EXPECT_FALSE(Base64::decode(bad)) << bad;
}

}  // namespace
}  // namespace morvane
