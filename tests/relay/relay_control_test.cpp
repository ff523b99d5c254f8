#include "relay/relay_control.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "relay/relay_bytes.h"

namespace morvane {
namespace {

using namespace RelayControl;

std::string joined(const std::string& c) { return R"({"t":"joined","c":)" + c + "}"; }
const std::string room = "000102030405060708090a0b0c0d0e0f";
std::string welcome(const std::string& r, const std::string& devices) {
    return R"({"t":"welcome","room":")" + r + R"(","devices":)" + devices + "}";
}
std::string challenge(const std::string& nonce) { return R"({"t":"challenge","nonce":")" + nonce + "\"}"; }

TEST(RelayControl, ConnectionIdsAreWholeNumbersFromOneToUint32Max) {
    const std::vector<std::pair<std::string, std::optional<RelayConnectionID>>> cases = {
        {"7", 7},         {"7.0", 7},        {"4294967295", 4294967295u}, {"1", 1},        {"0", std::nullopt},
        {"-1", std::nullopt}, {"4294967296", std::nullopt}, {"1.5", std::nullopt}, {"true", std::nullopt},
        {"\"7\"", std::nullopt}, {"null", std::nullopt}, {"[7]", std::nullopt}, {"1e300", std::nullopt},
        {"4294967295.0", 4294967295u}, {"-0.0", std::nullopt},
    };
    for (const auto& [c, id] : cases) {
        const auto parsed = parse(joined(c));
        if (id) {
            ASSERT_TRUE(parsed) << c;
            EXPECT_EQ(*parsed, Message(Joined{*id})) << c;
        } else {
            EXPECT_FALSE(parsed) << c;
        }
    }
    EXPECT_EQ(parse(R"({"t":"left","c":7})"), Message(Left{7}));
}

TEST(RelayControl, WelcomeNeedsALowerHexRoomAndDistinctListedIds) {
    std::string sixtyFour = "[", sixtyFive;
    for (int i = 1; i <= 64; ++i) sixtyFour += std::to_string(i) + (i < 64 ? "," : "]");
    sixtyFive = sixtyFour.substr(0, sixtyFour.size() - 1) + ",65]";
    const std::vector<std::pair<std::string, bool>> cases = {
        {welcome(room, "[7,9]"), true},
        {welcome(room, "[]"), true},
        {welcome(room, sixtyFour), true},
        {welcome(room, sixtyFive), false},
        {welcome(room, "[7,7]"), false},
        {welcome(room, "[7,0]"), false},
        {welcome(room, "7"), false},
        {R"({"t":"welcome","room":")" + room + "\"}", false},
        {welcome("000102030405060708090A0B0C0D0E0F", "[]"), false},
        {welcome(room.substr(1), "[]"), false},
        {welcome(room + "0", "[]"), false},
        {welcome("g00102030405060708090a0b0c0d0e0f", "[]"), false},
    };
    for (const auto& [text, ok] : cases) EXPECT_EQ(parse(text).has_value(), ok) << text;
    EXPECT_EQ(parse(welcome(room, "[9,7]")), Message(Welcome{room, {9, 7}}));
}

TEST(RelayControl, ChallengeNonceIsExactlyThirtyTwoStrictBase64UrlBytes) {
    const Bytes nonce(32, 0xfe);
    EXPECT_EQ(parse(challenge(RelayBytes::b64u(nonce))), Message(Challenge{nonce}));
    for (std::size_t n : {31u, 33u, 0u}) EXPECT_FALSE(parse(challenge(RelayBytes::b64u(Bytes(n, 1))))) << n;
    auto plus = RelayBytes::b64u(nonce);
    plus[3] = '+';
    EXPECT_FALSE(parse(challenge(plus)));
    auto slash = RelayBytes::b64u(nonce);
    slash[3] = '/';
    EXPECT_FALSE(parse(challenge(slash)));
    EXPECT_FALSE(parse(challenge(RelayBytes::b64u(nonce) + "=")));
}

TEST(RelayControl, MalformedOrUnknownTextsParseToNothing) {
    for (const char* text : {"", "{}", "[]", "null", "7", R"({"t":7})", R"({"t":"hello"})", R"({"c":7})",
                             R"({"t":"joined"})", "{\"t\":\"joined\",\"c\":7", R"({"T":"joined","c":7})"})
        EXPECT_FALSE(parse(text)) << text;
    // Members that are not named are ignored.
    EXPECT_EQ(parse(R"({"t":"joined","c":7,"why":"x"})"), Message(Joined{7}));
}

TEST(RelayControl, TextsOverTheControlLimitAreRefusedEvenWhenValid) {
    const std::string base = R"({"t":"joined","c":7,"pad":")";
    std::string text = base + std::string(4'096 - base.size() - 2, 'x') + "\"}";
    ASSERT_EQ(text.size(), 4'096u);
    EXPECT_TRUE(parse(text));
    text.insert(base.size(), "x");
    EXPECT_FALSE(parse(text));
}

TEST(RelayControl, OutgoingTextsAreTheFixedForms) {
    EXPECT_EQ(drop(7), R"({"t":"drop","c":7,"why":"refused"})");
    EXPECT_EQ(drop(4294967295u), R"({"t":"drop","c":4294967295,"why":"refused"})");
    EXPECT_EQ(prove("abc_-"), R"({"t":"prove","sig":"abc_-"})");
    EXPECT_EQ(nlohmann::json::parse(prove("abc"))["sig"], "abc");
}

TEST(RelayControl, SocketUrlAcceptsOnlyWebSocketBasesWithoutQueryOrFragment) {
    Bytes roomID(16);
    for (std::size_t i = 0; i < 16; ++i) roomID[i] = static_cast<std::uint8_t>(i);
    const auto url = socketURL("wss://relay.example.com", roomID);
    ASSERT_TRUE(url);
    EXPECT_EQ(url->path, "/relay/v1/host/000102030405060708090a0b0c0d0e0f");
    EXPECT_EQ(url->host, "relay.example.com");
    EXPECT_EQ(url->port, 443);
    EXPECT_TRUE(url->secure());

    const auto local = socketURL("ws://127.0.0.1:8123", roomID);
    ASSERT_TRUE(local);
    EXPECT_EQ(local->port, 8123);
    EXPECT_EQ(local->hostHeader(), "127.0.0.1:8123");
    EXPECT_FALSE(local->secure());

    for (const char* bad : {"https://relay.example.com", "wss://", "wss://relay.example.com?x=1",
                            "wss://relay.example.com#f", "wss://user@relay.example.com", "relay.example.com",
                            "wss://relay example.com", "wss://relay.example.com:0", "wss://relay.example.com:99999",
                            "wss://[::1", "wss://relay.example.com:abc"})
        EXPECT_FALSE(socketURL(bad, roomID)) << bad;
    const auto v6 = socketURL("wss://[::1]:9", roomID);
    ASSERT_TRUE(v6);
    EXPECT_EQ(v6->host, "::1");
    EXPECT_EQ(v6->hostHeader(), "[::1]:9");
}

TEST(RelayFrame, FramesCarryABigEndianIdBeforeAtLeastOneRecordByte) {
    const Bytes record{0xaa, 0xbb};
    const auto frame = RelayFrame::make(0x01020304, record);
    EXPECT_EQ(frame, (Bytes{1, 2, 3, 4, 0xaa, 0xbb}));
    const auto parsed = RelayFrame::split(frame);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->id, 0x01020304u);
    EXPECT_EQ(Bytes(parsed->record.begin(), parsed->record.end()), record);
    EXPECT_FALSE(RelayFrame::split(Bytes{0, 0, 0, 7}));
    const auto five = RelayFrame::split(Bytes{0, 0, 0, 0, 9});
    ASSERT_TRUE(five);
    EXPECT_EQ(five->id, 0u);  // binary ids are not range-checked
    EXPECT_EQ(five->record.size(), 1u);
}

}  // namespace
}  // namespace morvane
