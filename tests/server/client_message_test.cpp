#include "server/client_message.h"

#include <gtest/gtest.h>

#include <string>

namespace morvane {
namespace {

using M = ClientMessage;

M parse(const std::string& text) { return M::parse(text); }
bool ignored(const std::string& text) { return parse(text).is<M::Ignored>(); }
bool malformed(const std::string& text) { return parse(text).is<M::Malformed>(); }
InputEvent inputOf(const std::string& text) {
    auto m = parse(text);
    EXPECT_TRUE(m.is<M::Input>()) << text;
    return m.is<M::Input>() ? m.get<M::Input>()->event : InputEvent{};
}

TEST(ClientMessage, SizeAndShapeDecideMalformedBeforeAnythingElse) {
    std::string head = R"({"t":"text","s":")";
    std::string tail = R"("})";
    std::string exact = head + std::string(16'384 - head.size() - tail.size(), 'a') + tail;
    ASSERT_EQ(exact.size(), 16'384u);
    EXPECT_FALSE(malformed(exact));
    std::string over = R"({"t":"ping","id":1})" + std::string(16'385 - 19, ' ');
    ASSERT_EQ(over.size(), 16'385u);
    EXPECT_TRUE(malformed(over));

    EXPECT_TRUE(malformed("[1,2]"));
    EXPECT_TRUE(malformed(R"("auth")"));
    EXPECT_TRUE(malformed("5"));
    EXPECT_TRUE(malformed("{\"t\":"));
    EXPECT_TRUE(malformed("\xff\xfe"));
    EXPECT_TRUE(ignored("{}"));
    EXPECT_TRUE(ignored(R"({"t":5})"));
    EXPECT_TRUE(ignored(R"({"t":"Auth","token":"x"})"));
    EXPECT_TRUE(ignored(R"({"t":"nonsense"})"));
}

TEST(ClientMessage, FieldReadersAcceptOnlyTheirOwnJSONKinds) {
    EXPECT_EQ(parse(R"({"t":"hello","v":1.0})"), M{M::Hello{1}});
    EXPECT_TRUE(ignored(R"({"t":"hello","v":"1"})"));
    EXPECT_TRUE(ignored(R"({"t":"hello","v":1.5})"));
    EXPECT_TRUE(ignored(R"({"t":"hello","v":true})"));
    EXPECT_TRUE(ignored(R"({"t":"hello","v":1000000})"));
    EXPECT_EQ(parse(R"({"t":"hello","v":999999})"), M{M::Hello{999'999}});

    EXPECT_EQ(parse(R"({"t":"auth","token":""})"), M{M::Auth{""}});
    EXPECT_EQ(parse(R"({"t":"auth","token":")" + std::string(128, 'a') + "\"}"), M{M::Auth{std::string(128, 'a')}});
    EXPECT_TRUE(ignored(R"({"t":"auth","token":")" + std::string(129, 'a') + "\"}"));
    EXPECT_TRUE(ignored(R"({"t":"auth","token":12})"));

    auto ping = parse(R"({"t":"ping","id":7.5})");
    ASSERT_TRUE(ping.is<M::Ping>());
    EXPECT_EQ(ping.get<M::Ping>()->id.dump(), "7.5");
    EXPECT_EQ(parse(R"({"t":"ping","id":7})").get<M::Ping>()->id.dump(), "7");
    EXPECT_TRUE(ignored(R"({"t":"ping","id":false})"));
    EXPECT_TRUE(ignored(R"({"t":"ping"})"));
}

TEST(ClientMessage, PointerInputIsClampedOrRefused) {
    EXPECT_EQ(inputOf(R"({"t":"mm","x":1.5,"y":-0.2})"), InputEvent(input::Move{1.0, 0.0}));
    EXPECT_TRUE(ignored(R"({"t":"mm","x":true,"y":0})"));
    EXPECT_TRUE(ignored(R"({"t":"mm","x":0.5})"));

    EXPECT_EQ(inputOf(R"({"t":"mb","b":0,"d":true,"x":0.5,"y":0.5})"),
              InputEvent(input::Button{0, true, 0.5, 0.5, 1}));
    EXPECT_EQ(inputOf(R"({"t":"mb","b":2,"d":false,"x":0,"y":1,"c":3})"),
              InputEvent(input::Button{2, false, 0.0, 1.0, 3}));
    for (const char* bad : {R"({"t":"mb","b":0,"d":true,"x":0.5,"y":0.5,"c":4})",
                            R"({"t":"mb","b":0,"d":true,"x":0.5,"y":0.5,"c":0})",
                            R"({"t":"mb","b":0,"d":true,"x":0.5,"y":0.5,"c":null})",
                            R"({"t":"mb","b":0,"d":1,"x":0.5,"y":0.5})",
                            R"({"t":"mb","b":3,"d":true,"x":0.5,"y":0.5})"})
        EXPECT_TRUE(ignored(bad)) << bad;

    EXPECT_EQ(inputOf(R"({"t":"sc","dx":-5000,"dy":12.5})"), InputEvent(input::Scroll{-2000.0, 12.5}));
    EXPECT_TRUE(ignored(R"({"t":"sc","dx":"1","dy":0})"));
    EXPECT_EQ(inputOf(R"({"t":"lock"})"), InputEvent(input::Lock{}));
}

TEST(ClientMessage, KeyCodesAreShortASCIIAlphanumerics) {
    EXPECT_EQ(inputOf(R"({"t":"k","code":"KeyA","d":true})"), InputEvent(input::Key{"KeyA", true}));
    std::string code32(32, 'Z');
    EXPECT_EQ(inputOf(R"({"t":"k","code":")" + code32 + R"(","d":false})"), InputEvent(input::Key{code32, false}));
    EXPECT_TRUE(ignored(R"({"t":"k","code":")" + std::string(33, 'Z') + R"(","d":false})"));
    EXPECT_TRUE(ignored(R"({"t":"k","code":"Key A","d":true})"));
    EXPECT_TRUE(ignored(R"({"t":"k","code":"Key\u00c4","d":true})"));
    EXPECT_TRUE(ignored(R"({"t":"k","code":"","d":true})"));
    EXPECT_TRUE(ignored(R"({"t":"k","code":"KeyA"})"));
}

TEST(ClientMessage, TextCountsWhatTheUserSeesAndChunksCountUTF16) {
    std::string emoji;
    for (int i = 0; i < 2000; ++i) emoji += "\xF0\x9F\x98\x80";  // one character, two UTF-16 units
    EXPECT_EQ(inputOf(R"({"t":"text","s":")" + emoji + "\"}"), InputEvent(input::Text{emoji}));
    EXPECT_TRUE(ignored(R"({"t":"text","s":")" + emoji + "a\"}"));
    std::string family = "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7";  // one cluster
    EXPECT_TRUE(parse(R"({"t":"text","s":")" + family + "\"}").is<M::Input>());
    EXPECT_TRUE(ignored(R"({"t":"text","s":""})"));

    std::string units4096(4096, 'x');
    EXPECT_EQ(parse(R"({"t":"clip-chunk","id":1,"i":127,"s":")" + units4096 + "\"}"),
              (M{M::Clipboard{clipboard_request::PutChunk{1, 127, units4096}}}));
    EXPECT_TRUE(ignored(R"({"t":"clip-chunk","id":1,"i":0,"s":")" + units4096 + "x\"}"));
    std::string pairs;
    for (int i = 0; i < 2048; ++i) pairs += "\xF0\x9F\x98\x80";
    EXPECT_FALSE(ignored(R"({"t":"clip-chunk","id":1,"i":0,"s":")" + pairs + "\"}"));
    EXPECT_TRUE(ignored(R"({"t":"clip-chunk","id":1,"i":0,"s":")" + pairs + "x\"}"));
    EXPECT_TRUE(ignored(R"({"t":"clip-chunk","id":1,"i":128,"s":"a"})"));
    EXPECT_TRUE(ignored(R"({"t":"clip-chunk","id":1000000,"i":0,"s":"a"})"));
    EXPECT_EQ(parse(R"({"t":"clip-put","id":999999,"n":2,"len":10})"),
              (M{M::Clipboard{clipboard_request::PutBegin{999'999, 2, 10}}}));
    EXPECT_TRUE(ignored(R"({"t":"clip-put","id":1,"n":0,"len":10})"));
    EXPECT_EQ(parse(R"({"t":"clip-get","id":4})"), M{M::Clipboard{clipboard_request::Get{4}}});
    EXPECT_TRUE(ignored(R"({"t":"clip-get","id":0})"));
}

TEST(ClientMessage, PictureDisplayAndSoundRequests) {
    EXPECT_EQ(parse(R"({"t":"quality","q":"high"})"), M{M::Quality{FrameQuality::high}});
    EXPECT_TRUE(ignored(R"({"t":"quality","q":"HIGH"})"));
    EXPECT_EQ(parse(R"({"t":"video","want":"h264","maxW":1920,"maxH":64})"),
              (M{M::Video{video_request::H264{1920, 64}}}));
    EXPECT_TRUE(ignored(R"({"t":"video","want":"h264","maxW":63,"maxH":1080})"));
    EXPECT_TRUE(ignored(R"({"t":"video","want":"h264","maxW":1920,"maxH":16385})"));
    EXPECT_EQ(parse(R"({"t":"video","want":"jpeg"})"), M{M::Video{video_request::Jpeg{}}});
    EXPECT_TRUE(ignored(R"({"t":"video","want":"vp9"})"));
    EXPECT_TRUE(parse(R"({"t":"refresh"})").is<M::Refresh>());
    EXPECT_TRUE(parse(R"({"t":"keyframe"})").is<M::Keyframe>());

    EXPECT_EQ(parse(R"({"t":"disp-select","id":0})"), M{M::Display{DisplayRequest{0}}});
    EXPECT_EQ(parse(R"({"t":"disp-select","id":4294967295})"),
              M{M::Display{DisplayRequest{4'294'967'295u}}});
    for (const char* bad : {R"({"t":"disp-select","id":1.5})", R"({"t":"disp-select","id":-1})",
                            R"({"t":"disp-select","id":4294967296})"})
        EXPECT_TRUE(ignored(bad)) << bad;

    EXPECT_EQ(parse(R"({"t":"audio-start"})"), M{M::Audio{AudioRequest::start}});
    EXPECT_EQ(parse(R"({"t":"audio-stop"})"), M{M::Audio{AudioRequest::stop}});

    EXPECT_EQ(parse(R"({"t":"file-list","id":3})"), (M{M::File{FileRequest{file_request::List{3}}}}));
    EXPECT_EQ(parse(R"({"t":"file-get","id":4,"name":"a.txt"})"),
              (M{M::File{FileRequest{file_request::Get{4, "a.txt"}}}}));
    EXPECT_TRUE(ignored(R"({"t":"file-delete"})"));
    // A known file type with a field the file side refuses is passed over.
    EXPECT_TRUE(ignored(R"({"t":"file-list","id":"3"})"));
    EXPECT_TRUE(ignored(R"({"t":"file-put","id":1,"name":"a","size":-1})"));
    EXPECT_TRUE(parse(R"({"t":"fx-hide"})").is<M::Fx>());
    EXPECT_TRUE(ignored(R"({"t":"fx-nothing"})"));
}

}  // namespace
}  // namespace morvane
