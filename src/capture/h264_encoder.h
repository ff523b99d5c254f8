// The H.264 encoder. It is not simply opened with one set of settings: make()
// walks a fixed ladder of configurations, proves each with a blank picture
// that must come back as a keyframe, and keeps the first that works. The
// codec behind it is a CompressionEngine, so the ladder can be exercised
// with an engine that refuses on purpose.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "capture/picture.h"
#include "core/types.h"

namespace morvane {

enum class H264Profile { high, constrainedHigh, main, baseline };
std::string_view toString(H264Profile p);
std::optional<H264Profile> h264ProfileFromString(std::string_view raw);

namespace video_result {
struct Frame {
    Bytes data;  // Annex B; a keyframe opens with its parameter sets
    bool keyframe = false;
    std::string codec;
    bool operator==(const Frame&) const = default;
};
struct Failed {
    std::int32_t status = 0;
    bool operator==(const Failed&) const = default;
};
struct Nothing {
    bool operator==(const Nothing&) const = default;
};
}  // namespace video_result
using VideoEncodeResult = std::variant<video_result::Frame, video_result::Failed, video_result::Nothing>;

// What the screen source needs of a video encoder.
class VideoEncoding {
public:
    virtual ~VideoEncoding() = default;
    virtual int width() const = 0;
    virtual int height() const = 0;
    virtual VideoEncodeResult encode(const Picture& picture, std::uint64_t timestampMicros, bool forceKeyframe) = 0;
    virtual void update(int framesPerSecond, int bitsPerSecond) = 0;
    virtual void invalidate() = 0;
};

namespace SessionStatus {
inline constexpr std::int32_t parameterError = -12902;
inline constexpr std::int32_t invalidSession = -12903;
}  // namespace SessionStatus

enum class SessionProperty {
    realTime,
    entropyCABAC,
    expectedFrameRate,
    maxKeyframeInterval,
    maxKeyframeIntervalDuration,
    colourPrimariesBT709,
    transferFunctionBT709,
    yCbCrMatrixBT709,
    averageBitRate,
    dataRateLimits,  // value bytes, second value seconds
};

// What one submitted picture gave: the coded frame in length-prefixed form
// with the stream's parameter sets, or nothing.
struct CompressedSample {
    std::int32_t status = 0;  // of the output
    bool dropped = false;
    bool present = false;
    Bytes avcc;
    int nalLengthSize = 4;
    std::vector<Bytes> parameterSets;
};

class CompressionSession {
public:
    virtual ~CompressionSession() = default;
    virtual std::int32_t setProfileLevel(H264Profile profile, std::optional<int> level) = 0;
    virtual std::int32_t setAllowFrameReordering(bool allow) = 0;
    virtual std::int32_t setProperty(SessionProperty property, std::int64_t value, std::int64_t second = 0) = 0;
    virtual void prepareToEncode() = 0;
    // Returns the submission status and, when it is 0, what the output gave.
    virtual std::pair<std::int32_t, CompressedSample> encodeFrame(const Picture& picture, std::uint64_t timestampMicros,
                                                                 bool forceKeyframe) = 0;
    virtual std::int32_t completeFrames() = 0;
    virtual std::optional<bool> usingHardware() const = 0;
    virtual void invalidate() = 0;
};

class CompressionEngine {
public:
    virtual ~CompressionEngine() = default;
    // A status other than 0 means no session.
    virtual std::pair<std::int32_t, std::unique_ptr<CompressionSession>> create(int width, int height,
                                                                              bool lowLatency) = 0;
};

// Coding tools of x264 that cost CPU for fewer bits: CABAC entropy coding
// and the 8x8 transform. Unset means the engine's own choice for the
// stream's size and bit rate (see x264_engine.cpp); set, the capture
// benchmark weighs one against the other.
struct X264Tools {
    std::optional<bool> cabac;
    std::optional<bool> transform8x8;
};

// The x264 engine: every rung without encoder delay (no lookahead, no frame
// threads), so each picture comes back from the call that submitted it.
std::shared_ptr<CompressionEngine> x264Engine();
std::shared_ptr<CompressionEngine> x264Engine(const std::string& preset, int threads, X264Tools tools = {});

class H264Encoder final : public VideoEncoding {
public:
    using Report = std::function<void(const std::string&)>;

    static std::unique_ptr<H264Encoder> make(int width, int height, int framesPerSecond, int bitsPerSecond,
                                             std::uint64_t timestampMicros, const Report& report,
                                             const std::shared_ptr<CompressionEngine>& engine = x264Engine());
    static std::optional<Picture> blankFrame(int width, int height);

    ~H264Encoder() override;
    int width() const override { return width_; }
    int height() const override { return height_; }
    VideoEncodeResult encode(const Picture& picture, std::uint64_t timestampMicros, bool forceKeyframe) override;
    void update(int framesPerSecond, int bitsPerSecond) override;
    void invalidate() override;

private:
    H264Encoder(int width, int height, std::unique_ptr<CompressionSession> session);
    std::vector<std::string> setRate(std::optional<int> framesPerSecond, int bitsPerSecond);

    int width_;
    int height_;
    std::unique_ptr<CompressionSession> session_;
    bool invalidated_ = false;
};

}  // namespace morvane
