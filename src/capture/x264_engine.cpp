// libx264 in the place of a platform compression session.
#include <algorithm>
#include <cstring>
#include <thread>

extern "C" {
#include <x264.h>
}

#include "capture/h264_encoder.h"
#include "core/heap.h"

namespace morvane {

namespace {

constexpr std::int32_t openFailed = -1;
constexpr std::int32_t encodeFailed = -2;
constexpr std::int32_t badPicture = SessionStatus::parameterError;
constexpr std::int32_t reconfigFailed = -3;

// Measured with the capture benchmark (--tools) on a panning picture under
// scrolling text, at each quality's size and bit rate: the 8x8 transform
// costs 3-6 % more CPU for at most 0.1 dB, so it is never used. CABAC costs
// 15-25 % more CPU for 0.5-0.8 dB at the same bit rate: worth it where bits
// are scarce for the picture (low and medium quality, under 0.09 bits per
// pixel), not at high quality, where the picture is already near
// transparent and the largest frames make its CPU cost the highest.
bool cabacPays(const x264_param_t& param) {
    const double pixelsPerSecond = static_cast<double>(param.i_width) * param.i_height *
                                   std::max<std::uint32_t>(param.i_fps_num, 1) / std::max<std::uint32_t>(param.i_fps_den, 1);
    return param.rc.i_bitrate * 1000.0 / pixelsPerSecond < 0.09;
}

class X264Session final : public CompressionSession {
public:
    X264Session(const x264_param_t& param, X264Tools tools) : param_(param), tools_(tools) {}
    ~X264Session() override { invalidate(); }

    std::int32_t setProfileLevel(H264Profile profile, std::optional<int> level) override {
        profile_ = profile;
        param_.i_level_idc = level.value_or(-1);
        return 0;
    }
    std::int32_t setAllowFrameReordering(bool allow) override {
        param_.i_bframe = allow ? 2 : 0;
        return 0;
    }
    std::int32_t setProperty(SessionProperty property, std::int64_t value, std::int64_t second) override {
        switch (property) {
            case SessionProperty::realTime: return 0;
            case SessionProperty::entropyCABAC: param_.b_cabac = value ? 1 : 0; break;
            case SessionProperty::expectedFrameRate:
                if (value < 1 || value > 1000) return badPicture;
                if (encoder_) return 0;  // the time base of an open stream stays as it is
                param_.i_fps_num = static_cast<std::uint32_t>(value);
                param_.i_fps_den = 1;
                break;
            case SessionProperty::maxKeyframeInterval:
                param_.i_keyint_max = static_cast<int>(std::clamp<std::int64_t>(value, 1, X264_KEYINT_MAX_INFINITE));
                break;
            case SessionProperty::maxKeyframeIntervalDuration: return 0;
            case SessionProperty::colourPrimariesBT709: param_.vui.i_colorprim = 1; break;
            case SessionProperty::transferFunctionBT709: param_.vui.i_transfer = 1; break;
            case SessionProperty::yCbCrMatrixBT709: param_.vui.i_colmatrix = 1; break;
            case SessionProperty::averageBitRate:
                if (value < 1000) return badPicture;
                param_.rc.i_rc_method = X264_RC_ABR;
                param_.rc.i_bitrate = static_cast<int>(std::min<std::int64_t>(value / 1000, 1'000'000));
                break;
            case SessionProperty::dataRateLimits: {
                if (value < 1 || second < 1) return badPicture;
                const auto kbit = static_cast<int>(std::min<std::int64_t>(value * 8 / 1000 / second, 2'000'000));
                param_.rc.i_vbv_max_bitrate = kbit;
                param_.rc.i_vbv_buffer_size = kbit;
                break;
            }
        }
        if (encoder_ && x264_encoder_reconfig(encoder_, &param_) < 0) return reconfigFailed;
        return 0;
    }
    void prepareToEncode() override { open(); }

    std::pair<std::int32_t, CompressedSample> encodeFrame(const Picture& picture, std::uint64_t timestampMicros,
                                                         bool forceKeyframe) override {
        CompressedSample sample;
        if (invalidated_) return {SessionStatus::invalidSession, sample};
        if (!open()) return {openFailed, sample};
        if (picture.format != Picture::Format::i420 || picture.width != param_.i_width ||
            picture.height != param_.i_height)
            return {badPicture, sample};
        x264_picture_t in;
        x264_picture_init(&in);
        in.img.i_csp = X264_CSP_I420;
        in.img.i_plane = 3;
        in.img.plane[0] = const_cast<std::uint8_t*>(picture.y());
        in.img.plane[1] = const_cast<std::uint8_t*>(picture.u());
        in.img.plane[2] = const_cast<std::uint8_t*>(picture.v());
        in.img.i_stride[0] = picture.width;
        in.img.i_stride[1] = picture.chromaWidth();
        in.img.i_stride[2] = picture.chromaWidth();
        in.i_pts = static_cast<std::int64_t>(timestampMicros);
        in.i_type = forceKeyframe ? X264_TYPE_IDR : X264_TYPE_AUTO;
        x264_picture_t out;
        x264_nal_t* nals = nullptr;
        int count = 0;
        const int size = x264_encoder_encode(encoder_, &nals, &count, &in, &out);
        if (size < 0) return {encodeFailed, sample};
        if (size == 0 || count == 0) return {0, sample};
        sample.present = true;
        sample.nalLengthSize = 4;
        sample.parameterSets = parameterSets_;
        sample.avcc.reserve(static_cast<std::size_t>(size));
        for (int i = 0; i < count; ++i)
            sample.avcc.insert(sample.avcc.end(), nals[i].p_payload, nals[i].p_payload + nals[i].i_payload);
        return {0, sample};
    }
    std::int32_t completeFrames() override { return 0; }
    std::optional<bool> usingHardware() const override { return false; }
    void invalidate() override {
        invalidated_ = true;
        if (encoder_) {
            x264_encoder_close(encoder_);
            encoder_ = nullptr;
            // Its pictures and slice threads' buffers go back to the system.
            heap::giveBackFreed();
        }
    }

private:
    bool open() {
        if (encoder_) return true;
        if (invalidated_ || openFailed_) return false;
        const char* name = profile_ == H264Profile::main       ? "main"
                           : profile_ == H264Profile::baseline ? "baseline"
                                                               : "high";
        // x264 signals the smallest profile whose tools it used; the 8x8
        // transform is what makes a stream High. Both it and CABAC are used
        // only where the profile allows them and they pay for their CPU.
        const bool highProfile = profile_ == H264Profile::high || profile_ == H264Profile::constrainedHigh;
        param_.analyse.b_transform_8x8 = highProfile && tools_.transform8x8.value_or(false);
        param_.b_cabac = param_.b_cabac && tools_.cabac.value_or(cabacPays(param_));
        // Trellis quantisation costs a third of the encode and buys little
        // on screen content.
        param_.analyse.i_trellis = 0;
        if (x264_param_apply_profile(&param_, name) < 0) {
            openFailed_ = true;
            return false;
        }
        encoder_ = x264_encoder_open(&param_);
        if (!encoder_) {
            openFailed_ = true;
            return false;
        }
        x264_nal_t* nals = nullptr;
        int count = 0;
        if (x264_encoder_headers(encoder_, &nals, &count) < 0) return false;
        for (int i = 0; i < count; ++i) {
            if (nals[i].i_type != NAL_SPS && nals[i].i_type != NAL_PPS) continue;
            if (nals[i].i_payload <= 4) continue;
            parameterSets_.emplace_back(nals[i].p_payload + 4, nals[i].p_payload + nals[i].i_payload);
        }
        return true;
    }

    x264_param_t param_;
    X264Tools tools_;
    H264Profile profile_ = H264Profile::high;
    x264_t* encoder_ = nullptr;
    bool invalidated_ = false;
    bool openFailed_ = false;
    std::vector<Bytes> parameterSets_;
};

class X264Engine final : public CompressionEngine {
public:
    X264Engine(std::string preset, int threads, X264Tools tools)
        : preset_(std::move(preset)), threads_(threads), tools_(tools) {}

    std::pair<std::int32_t, std::unique_ptr<CompressionSession>> create(int width, int height,
                                                                      bool lowLatency) override {
        x264_param_t param;
        if (x264_param_default_preset(&param, preset_.c_str(), lowLatency ? "zerolatency" : nullptr) < 0)
            return {openFailed, nullptr};
        param.i_log_level = X264_LOG_NONE;
        param.i_width = width;
        param.i_height = height;
        param.i_csp = X264_CSP_I420;
        param.b_annexb = 0;
        param.b_repeat_headers = 0;
        // encode() is synchronous: no lookahead, no frame threads, no B-frames.
        param.i_threads = threads_;
        param.b_sliced_threads = 1;
        param.rc.i_lookahead = 0;
        param.i_sync_lookahead = 0;
        param.rc.b_mb_tree = 0;
        param.i_bframe = 0;
        param.b_vfr_input = 0;
        param.i_timebase_num = 1;
        param.i_timebase_den = 1'000'000;
        param.vui.b_fullrange = 0;
        return {0, std::make_unique<X264Session>(param, tools_)};
    }

private:
    std::string preset_;
    int threads_;
    X264Tools tools_;
};

}  // namespace

std::shared_ptr<CompressionEngine> x264Engine(const std::string& preset, int threads, X264Tools tools) {
    return std::make_shared<X264Engine>(preset, std::max(threads, 1), tools);
}

std::shared_ptr<CompressionEngine> x264Engine() {
    static const int threads = std::clamp(static_cast<int>(std::thread::hardware_concurrency()), 1, 4);
    return x264Engine("ultrafast", threads);
}

}  // namespace morvane
