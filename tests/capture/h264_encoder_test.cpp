#include "capture/h264_encoder.h"

#include <gtest/gtest.h>

#include <map>

#include "capture/h264.h"

namespace morvane {

namespace {

const Bytes fakeSPS = {0x67, 0x64, 0x00, 0x28, 0xAC};
const Bytes fakePPS = {0x68, 0xEE, 0x3C};

// A session that behaves as scripted and remembers what it was told.
struct Script {
    std::int32_t create = 0;
    std::int32_t profile = 0;
    std::map<SessionProperty, std::int32_t> properties;
    enum class First { keyframe, nonKeyframe, nothing, failed } first = First::keyframe;
};

struct Journal {
    std::vector<std::string> opened;  // "lowLatency profile level"
    int invalidated = 0;
    std::vector<std::pair<SessionProperty, std::int64_t>> properties;
    std::vector<std::int64_t> second;
};

class FakeSession final : public CompressionSession {
public:
    FakeSession(Script script, Journal& journal, bool lowLatency) : s_(std::move(script)), j_(journal), low_(lowLatency) {}
    std::int32_t setProfileLevel(H264Profile p, std::optional<int> level) override {
        j_.opened.push_back(std::string(low_ ? "low " : "") + std::string(toString(p)) + " " +
                            (level ? std::to_string(*level) : "auto"));
        return s_.profile;
    }
    std::int32_t setAllowFrameReordering(bool) override { return 0; }
    std::int32_t setProperty(SessionProperty p, std::int64_t value, std::int64_t second) override {
        j_.properties.push_back({p, value});
        j_.second.push_back(second);
        auto it = s_.properties.find(p);
        return it == s_.properties.end() ? 0 : it->second;
    }
    void prepareToEncode() override {}
    std::pair<std::int32_t, CompressedSample> encodeFrame(const Picture&, std::uint64_t, bool force) override {
        CompressedSample sample;
        ++frames_;
        if (frames_ == 1 && s_.first == Script::First::failed) return {-5, sample};
        if (frames_ == 1 && s_.first == Script::First::nothing) return {0, sample};
        const bool key = force && !(frames_ == 1 && s_.first == Script::First::nonKeyframe);
        sample.present = true;
        sample.avcc = {0, 0, 0, 2, static_cast<std::uint8_t>(key ? 0x65 : 0x41), 0x88};
        sample.parameterSets = {fakeSPS, fakePPS};
        return {0, sample};
    }
    std::int32_t completeFrames() override { return 0; }
    std::optional<bool> usingHardware() const override { return std::nullopt; }
    void invalidate() override { ++j_.invalidated; }

private:
    Script s_;
    Journal& j_;
    bool low_;
    int frames_ = 0;
};

class FakeEngine final : public CompressionEngine {
public:
    std::vector<Script> scripts;  // one per try; the last repeats
    Journal journal;
    int created = 0;
    std::pair<std::int32_t, std::unique_ptr<CompressionSession>> create(int, int, bool lowLatency) override {
        Script s = scripts.empty() ? Script{} : scripts[std::min<std::size_t>(created, scripts.size() - 1)];
        ++created;
        if (s.create != 0) return {s.create, nullptr};
        return {0, std::make_unique<FakeSession>(s, journal, lowLatency)};
    }
};

struct Lines {
    std::vector<std::string> lines;
    H264Encoder::Report report() {
        return [this](const std::string& l) { lines.push_back(l); };
    }
};

}  // namespace

TEST(H264EncoderLadder, OddOrTinySizesAreRefusedBeforeAnySession) {
    auto engine = std::make_shared<FakeEngine>();
    Lines log;
    EXPECT_FALSE(H264Encoder::make(1, 2, 30, 3'000'000, 0, log.report(), engine));
    EXPECT_FALSE(H264Encoder::make(1280, 721, 30, 3'000'000, 0, log.report(), engine));
    EXPECT_EQ(engine->created, 0);
    ASSERT_EQ(log.lines.size(), 2u);
    EXPECT_EQ(log.lines[0], "h264 encoder not started: 1x2 px is not a size it can take");
    EXPECT_EQ(log.lines[1], "h264 encoder not started: 1280x721 px is not a size it can take");
}

TEST(H264EncoderLadder, TriesRungsInOrderAndGroupsRefusalsByReason) {
    auto engine = std::make_shared<FakeEngine>();
    Script refused;
    refused.create = -12908;
    engine->scripts = {refused, refused, refused, Script{}};
    Lines log;
    auto encoder = H264Encoder::make(1920, 1080, 60, 6'000'000, 5, log.report(), engine);
    ASSERT_TRUE(encoder);
    EXPECT_EQ(engine->created, 4);
    EXPECT_EQ(engine->journal.opened, (std::vector<std::string>{"High 42"}));
    ASSERT_EQ(log.lines.size(), 2u);
    EXPECT_EQ(log.lines[0],
              "h264 encoder refused (create -12908): High low-latency level 4.2, High low-latency auto level, "
              "Constrained High low-latency auto level");
    EXPECT_EQ(log.lines[1],
              "h264 encoder started: 1920x1080 px, High level 4.0 (avc1.640028), reorder: SPS could not be read, "
              "standard rate control, software, 6000 kbit/s, up to 60 fps");
}

TEST(H264EncoderLadder, ExhaustedLadderReportsEveryReasonOnceAndStaysOnJpeg) {
    auto engine = std::make_shared<FakeEngine>();
    Script noKey;
    noKey.first = Script::First::nonKeyframe;
    Script empty;
    empty.first = Script::First::nothing;
    Script failing;
    failing.first = Script::First::failed;
    Script badProfile;
    badProfile.profile = -7;
    engine->scripts = {noKey, empty, failing, badProfile, noKey};
    Lines log;
    EXPECT_FALSE(H264Encoder::make(1280, 720, 30, 3'000'000, 0, log.report(), engine));
    // Level 3.1 exists: 3 low-latency tries and 7 standard ones.
    EXPECT_EQ(engine->created, 10);
    EXPECT_EQ(engine->journal.opened,
              (std::vector<std::string>{"low High 31", "low High auto", "low Constrained High auto", "High 31",
                                        "High auto", "Constrained High auto", "Main 31", "Main auto", "Baseline 31",
                                        "Baseline auto"}));
    EXPECT_EQ(engine->journal.invalidated, 10);
    ASSERT_EQ(log.lines.size(), 5u);
    EXPECT_EQ(log.lines[0],
              "h264 encoder refused (first frame was not a keyframe): High low-latency level 3.1, High auto level, "
              "Constrained High auto level, Main level 3.1, Main auto level, Baseline level 3.1, Baseline auto level");
    EXPECT_EQ(log.lines[1], "h264 encoder refused (first frame gave no output): High low-latency auto level");
    EXPECT_EQ(log.lines[2], "h264 encoder refused (first encode -5): Constrained High low-latency auto level");
    EXPECT_EQ(log.lines[3], "h264 encoder refused (profile -7, no-reordering 0): High level 3.1");
    EXPECT_EQ(log.lines[4], "h264 encoder not started at 1280x720 px: no configuration worked, staying on JPEG");
}

TEST(H264EncoderLadder, LevelsWithoutAConstantOnlyTryAutomatic) {
    auto engine = std::make_shared<FakeEngine>();
    Script refused;
    refused.create = -1;
    engine->scripts = {refused};
    Lines log;
    EXPECT_FALSE(H264Encoder::make(640, 480, 30, 1'500'000, 0, log.report(), engine));  // level 3.1 fits
    engine->journal = {};
    engine->created = 0;
    log.lines.clear();
    // 8192 wide fits no level at all: each profile once, automatic.
    EXPECT_FALSE(H264Encoder::make(16384, 16, 30, 1'500'000, 0, log.report(), engine));
    EXPECT_EQ(engine->created, 6);
    EXPECT_EQ(log.lines[0],
              "h264 encoder refused (create -1): High low-latency auto level, Constrained High low-latency auto "
              "level, High auto level, Constrained High auto level, Main auto level, Baseline auto level");
}

TEST(H264EncoderLadder, SettingsNotTakenAreNotedAndRatesAreSetAsAsked) {
    auto engine = std::make_shared<FakeEngine>();
    Script s;
    s.properties = {{SessionProperty::entropyCABAC, -3}, {SessionProperty::dataRateLimits, -4}};
    engine->scripts = {s};
    Lines log;
    auto encoder = H264Encoder::make(1280, 720, 30, 6'000'000, 0, log.report(), engine);
    ASSERT_TRUE(encoder);
    ASSERT_EQ(log.lines.size(), 2u);
    EXPECT_NE(log.lines[0].find(", low-latency rate control, software, 6000 kbit/s, up to 30 fps"), std::string::npos);
    EXPECT_EQ(log.lines[1], "h264 encoder settings not taken: cabac -3, rate-limit -4");
    bool sawLimit = false;
    for (std::size_t i = 0; i < engine->journal.properties.size(); ++i) {
        auto [p, v] = engine->journal.properties[i];
        if (p == SessionProperty::maxKeyframeInterval) {
            EXPECT_EQ(v, 30 * 3600);
        }
        if (p == SessionProperty::dataRateLimits) {
            EXPECT_EQ(v, 1'500'000);  // twice the average over one second, in bytes
            EXPECT_EQ(engine->journal.second[i], 1);
            sawLimit = true;
        }
    }
    EXPECT_TRUE(sawLimit);
}

TEST(H264EncoderLadder, KeyframesCarryParameterSetsAndInvalidatedEncodersFail) {
    auto engine = std::make_shared<FakeEngine>();
    Lines log;
    auto encoder = H264Encoder::make(640, 360, 30, 1'500'000, 0, log.report(), engine);
    ASSERT_TRUE(encoder);
    auto blank = H264Encoder::blankFrame(640, 360);
    ASSERT_TRUE(blank);
    EXPECT_EQ(blank->y()[0], 16);
    EXPECT_EQ(blank->u()[0], 128);
    auto key = encoder->encode(*blank, 1, true);
    auto* frame = std::get_if<video_result::Frame>(&key);
    ASSERT_TRUE(frame);
    EXPECT_TRUE(frame->keyframe);
    EXPECT_EQ(frame->codec, "avc1.640028");
    auto units = H264::splitAnnexB(frame->data);
    ASSERT_EQ(units.size(), 3u);
    EXPECT_EQ(units[0], fakeSPS);
    EXPECT_EQ(units[1], fakePPS);
    auto delta = encoder->encode(*blank, 2, false);
    ASSERT_TRUE(std::holds_alternative<video_result::Frame>(delta));
    EXPECT_FALSE(std::get<video_result::Frame>(delta).keyframe);
    EXPECT_EQ(H264::splitAnnexB(std::get<video_result::Frame>(delta).data).size(), 1u);
    encoder->invalidate();
    encoder->invalidate();
    EXPECT_EQ(encoder->encode(*blank, 3, true), VideoEncodeResult(video_result::Failed{-12903}));
    EXPECT_EQ(engine->journal.invalidated, 1);
    EXPECT_EQ(h264ProfileFromString("Constrained High"), H264Profile::constrainedHigh);
    EXPECT_FALSE(h264ProfileFromString("high"));
}

TEST(X264Encoder, StartsWithAnIdrCarryingParameterSetsAndFollowsWithSmallDeltas) {
    Lines log;
    auto encoder = H264Encoder::make(640, 360, 30, 1'500'000, 0, log.report());
    ASSERT_TRUE(encoder);
    ASSERT_FALSE(log.lines.empty());
    // Bits are plentiful for this size, so neither CABAC nor the 8x8
    // transform is used, and the stream says so in its profile.
    EXPECT_EQ(log.lines.back().rfind("h264 encoder started: 640x360 px, Constrained Baseline level 3.1 (avc1.42c01f)", 0),
              0u)
        << log.lines.back();
    const std::string tail = ", low-latency rate control, software, 1500 kbit/s, up to 30 fps";
    ASSERT_GE(log.lines.back().size(), tail.size());
    EXPECT_EQ(log.lines.back().substr(log.lines.back().size() - tail.size()), tail) << log.lines.back();

    Picture picture = Picture::makeBGRA(640, 360);
    for (std::size_t i = 0; i < picture.pixels.size(); ++i) picture.pixels[i] = static_cast<std::uint8_t>(i * 7);
    Picture i420 = toI420(picture);
    auto first = encoder->encode(i420, 1000, false);
    ASSERT_TRUE(std::holds_alternative<video_result::Frame>(first));
    EXPECT_FALSE(std::get<video_result::Frame>(first).keyframe);
    auto forced = encoder->encode(i420, 2000, true);
    ASSERT_TRUE(std::holds_alternative<video_result::Frame>(forced));
    const auto& key = std::get<video_result::Frame>(forced);
    EXPECT_TRUE(key.keyframe);
    EXPECT_TRUE(H264::isCodecString(key.codec));
    auto units = H264::splitAnnexB(key.data);
    ASSERT_GE(units.size(), 3u);
    EXPECT_EQ(H264::nalType(units[0]), H264::NALType::sps);
    EXPECT_EQ(H264::nalType(units[1]), H264::NALType::pps);
    auto info = H264::reorderInfo(units[0]);
    ASSERT_TRUE(info);
    auto still = encoder->encode(i420, 3000, false);
    ASSERT_TRUE(std::holds_alternative<video_result::Frame>(still));
    EXPECT_LT(std::get<video_result::Frame>(still).data.size(), 2000u);  // nothing changed

    Picture wrongSize = Picture::makeI420(320, 180);
    EXPECT_TRUE(std::holds_alternative<video_result::Failed>(encoder->encode(wrongSize, 4000, false)));
    encoder->update(20, 1'000'000);
    EXPECT_TRUE(std::holds_alternative<video_result::Frame>(encoder->encode(i420, 5000, false)));
}

}  // namespace morvane
