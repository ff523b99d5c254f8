#include "capture/h264_encoder.h"

#include <algorithm>

#include "capture/h264.h"

namespace morvane {

std::string_view toString(H264Profile p) {
    switch (p) {
        case H264Profile::high: return "High";
        case H264Profile::constrainedHigh: return "Constrained High";
        case H264Profile::main: return "Main";
        case H264Profile::baseline: return "Baseline";
    }
    return "High";
}

std::optional<H264Profile> h264ProfileFromString(std::string_view raw) {
    for (auto p : {H264Profile::high, H264Profile::constrainedHigh, H264Profile::main, H264Profile::baseline})
        if (toString(p) == raw) return p;
    return std::nullopt;
}

namespace {

bool hasLevelConstant(H264Profile profile, int level) {
    if (profile == H264Profile::constrainedHigh) return false;
    for (int known : {31, 32, 40, 41, 42, 50, 51, 52})
        if (known == level) return true;
    return false;
}

struct Try {
    bool lowLatency;
    H264Profile profile;
    std::optional<int> level;  // none: automatic
    std::string description() const {
        std::string text(toString(profile));
        text += " ";
        if (lowLatency) text += "low-latency ";
        if (level)
            text += "level " + std::to_string(*level / 10) + "." + std::to_string(*level % 10);
        else
            text += "auto level";
        return text;
    }
};

std::vector<Try> ladder(std::optional<int> level) {
    std::vector<Try> tries;
    for (bool lowLatency : {true, false}) {
        for (auto profile : {H264Profile::high, H264Profile::constrainedHigh, H264Profile::main, H264Profile::baseline}) {
            if (lowLatency && (profile == H264Profile::main || profile == H264Profile::baseline)) continue;
            if (level && hasLevelConstant(profile, *level)) tries.push_back({lowLatency, profile, level});
            tries.push_back({lowLatency, profile, std::nullopt});
        }
    }
    return tries;
}

std::string joined(const std::vector<std::string>& parts) {
    std::string out;
    for (const auto& p : parts) {
        if (!out.empty()) out += ", ";
        out += p;
    }
    return out;
}

}  // namespace

std::optional<Picture> H264Encoder::blankFrame(int width, int height) {
    if (width < 1 || height < 1 || width > 16384 || height > 16384) return std::nullopt;
    Picture p = Picture::makeI420(width, height);
    const std::size_t lumaBytes = static_cast<std::size_t>(width) * height;
    std::fill(p.pixels.begin(), p.pixels.begin() + static_cast<std::ptrdiff_t>(lumaBytes), 16);
    std::fill(p.pixels.begin() + static_cast<std::ptrdiff_t>(lumaBytes), p.pixels.end(), 128);
    return p;
}

std::unique_ptr<H264Encoder> H264Encoder::make(int width, int height, int framesPerSecond, int bitsPerSecond,
                                               std::uint64_t timestampMicros, const Report& report,
                                               const std::shared_ptr<CompressionEngine>& engine) {
    auto say = [&](const std::string& text) {
        if (report) report(text);
    };
    const bool sizeOK = width >= 2 && height >= 2 && width % 2 == 0 && height % 2 == 0;
    std::optional<Picture> blank = sizeOK ? blankFrame(width, height) : std::nullopt;
    if (!blank || !engine) {
        say("h264 encoder not started: " + std::to_string(width) + "x" + std::to_string(height) +
            " px is not a size it can take");
        return nullptr;
    }
    const auto level = H264::levelIDC(width, height, framesPerSecond);

    std::vector<std::pair<std::string, std::vector<std::string>>> refusals;
    auto refuse = [&](const std::string& reason, const std::string& description) {
        for (auto& entry : refusals)
            if (entry.first == reason) {
                entry.second.push_back(description);
                return;
            }
        refusals.push_back({reason, {description}});
    };
    auto logRefusals = [&] {
        for (const auto& [reason, descriptions] : refusals)
            say("h264 encoder refused (" + reason + "): " + joined(descriptions));
    };

    for (const Try& t : ladder(level)) {
        const std::string description = t.description();
        // Plain variables, not a structured binding: the property lambda below
        // captures the session, which clang refuses for bindings.
        auto created = engine->create(width, height, t.lowLatency);
        const auto createStatus = created.first;
        auto session = std::move(created.second);
        if (createStatus != 0 || !session) {
            refuse("create " + std::to_string(createStatus), description);
            continue;
        }
        const std::int32_t s1 = session->setProfileLevel(t.profile, t.level);
        const std::int32_t s2 = session->setAllowFrameReordering(false);
        if (s1 != 0 || s2 != 0) {
            session->invalidate();
            refuse("profile " + std::to_string(s1) + ", no-reordering " + std::to_string(s2), description);
            continue;
        }
        std::vector<std::string> notes;
        auto property = [&](SessionProperty p, std::int64_t value, const char* note) {
            const std::int32_t status = session->setProperty(p, value);
            if (status != 0) notes.push_back(std::string(note) + " " + std::to_string(status));
        };
        property(SessionProperty::realTime, 1, "real-time");
        if (t.profile != H264Profile::baseline) property(SessionProperty::entropyCABAC, 1, "cabac");
        property(SessionProperty::expectedFrameRate, framesPerSecond, "frame-rate");
        property(SessionProperty::maxKeyframeInterval, static_cast<std::int64_t>(framesPerSecond) * 3600,
                 "key-interval");
        property(SessionProperty::maxKeyframeIntervalDuration, 3600, "key-duration");
        property(SessionProperty::colourPrimariesBT709, 1, "primaries");
        property(SessionProperty::transferFunctionBT709, 1, "transfer");
        property(SessionProperty::yCbCrMatrixBT709, 1, "matrix");

        std::unique_ptr<H264Encoder> encoder(new H264Encoder(width, height, std::move(session)));
        for (auto& note : encoder->setRate(std::nullopt, bitsPerSecond)) notes.push_back(std::move(note));
        encoder->session_->prepareToEncode();

        auto result = encoder->encode(*blank, timestampMicros, true);
        if (auto* failed = std::get_if<video_result::Failed>(&result)) {
            encoder->invalidate();
            refuse("first encode " + std::to_string(failed->status), description);
            continue;
        }
        if (std::holds_alternative<video_result::Nothing>(result)) {
            encoder->invalidate();
            refuse("first frame gave no output", description);
            continue;
        }
        const auto& frame = std::get<video_result::Frame>(result);
        if (!frame.keyframe) {
            encoder->invalidate();
            refuse("first frame was not a keyframe", description);
            continue;
        }

        const bool hardware = encoder->session_->usingHardware().value_or(false);
        std::string produced = frame.codec;
        for (const auto& unit : H264::splitAnnexB(frame.data)) {
            if (H264::nalType(unit) != H264::NALType::sps) continue;
            if (unit.size() >= 4) {
                auto reorder = H264::reorderInfo(unit);
                produced = H264::profileName(unit[1], unit[2]) + " level " + std::to_string(unit[3] / 10) + "." +
                           std::to_string(unit[3] % 10) + " (" + frame.codec + "), " +
                           (reorder ? reorder->summary() : std::string("reorder: SPS could not be read"));
            }
            break;
        }
        logRefusals();
        say("h264 encoder started: " + std::to_string(width) + "x" + std::to_string(height) + " px, " + produced +
            ", " + (t.lowLatency ? "low-latency rate control" : "standard rate control") + ", " +
            (hardware ? "hardware" : "software") + ", " +
            std::to_string(bitsPerSecond / 1000) + " kbit/s, up to " + std::to_string(framesPerSecond) + " fps");
        if (!notes.empty()) say("h264 encoder settings not taken: " + joined(notes));
        return encoder;
    }
    logRefusals();
    say("h264 encoder not started at " + std::to_string(width) + "x" + std::to_string(height) +
        " px: no configuration worked, staying on JPEG");
    return nullptr;
}

H264Encoder::H264Encoder(int width, int height, std::unique_ptr<CompressionSession> session)
    : width_(width), height_(height), session_(std::move(session)) {}

H264Encoder::~H264Encoder() { invalidate(); }

std::vector<std::string> H264Encoder::setRate(std::optional<int> framesPerSecond, int bitsPerSecond) {
    std::vector<std::string> notes;
    if (framesPerSecond) {
        auto s = session_->setProperty(SessionProperty::expectedFrameRate, *framesPerSecond);
        if (s != 0) notes.push_back("frame-rate " + std::to_string(s));
    }
    auto s = session_->setProperty(SessionProperty::averageBitRate, bitsPerSecond);
    if (s != 0) notes.push_back("bitrate " + std::to_string(s));
    s = session_->setProperty(SessionProperty::dataRateLimits, static_cast<std::int64_t>(bitsPerSecond) * 2 / 8, 1);
    if (s != 0) notes.push_back("rate-limit " + std::to_string(s));
    return notes;
}

VideoEncodeResult H264Encoder::encode(const Picture& picture, std::uint64_t timestampMicros, bool forceKeyframe) {
    if (invalidated_) return video_result::Failed{SessionStatus::invalidSession};
    const std::uint64_t capped = std::min<std::uint64_t>(timestampMicros, INT64_MAX);
    auto [submitStatus, sample] = session_->encodeFrame(picture, capped, forceKeyframe);
    if (submitStatus != 0) return video_result::Failed{submitStatus};
    if (auto status = session_->completeFrames(); status != 0) return video_result::Failed{status};

    if (sample.status != 0) return video_result::Failed{sample.status};
    if (!sample.present || sample.dropped) return video_result::Nothing{};
    const video_result::Failed parameterError{SessionStatus::parameterError};
    if (sample.parameterSets.size() < 2 || sample.avcc.empty()) return parameterError;
    for (const auto& set : sample.parameterSets)
        if (set.empty()) return parameterError;
    auto annexB = H264::annexB(sample.avcc, sample.nalLengthSize);
    if (!annexB) return parameterError;
    const Bytes* sps = nullptr;
    for (const auto& set : sample.parameterSets)
        if (H264::nalType(set) == H264::NALType::sps) {
            sps = &set;
            break;
        }
    if (!sps) return parameterError;
    auto codec = H264::codecString(*sps);
    if (!codec) return parameterError;
    video_result::Frame frame;
    frame.keyframe = H264::containsIDR(*annexB);
    frame.data = frame.keyframe ? H264::prependingParameterSets(sample.parameterSets, *annexB) : std::move(*annexB);
    frame.codec = *codec;
    return frame;
}

void H264Encoder::update(int framesPerSecond, int bitsPerSecond) {
    if (invalidated_) return;
    setRate(framesPerSecond, bitsPerSecond);
}

void H264Encoder::invalidate() {
    if (invalidated_) return;
    invalidated_ = true;
    if (session_) session_->invalidate();
}

}  // namespace morvane
