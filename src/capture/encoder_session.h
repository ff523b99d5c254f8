// The encode half of the screen source: turns the stream's pictures into
// JPEG pictures or H.264 access units and hands them to the observer.
// Pictures arrive on the stream's thread and are encoded on the encode queue;
// video is started and stopped on the user's thread; the stream controller
// (control queue) says which stream is live and what quality applies. What
// those threads share sits behind one lock, each field saying why; what only
// the encode queue touches has no lock.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "capture/capture_settings.h"
#include "capture/h264_encoder.h"
#include "capture/jpeg_codec.h"
#include "capture/picture.h"
#include "capture/source_outlets.h"
#include "core/executor.h"
#include "core/types.h"

namespace morvane {

// The capture counters since the last look. The encoder session counts; the
// state word is the controller's.
struct SourceStats {
    std::string state;
    int callbacks = 0;
    int frames = 0;
    std::int64_t bytes = 0;
    int width = 0;
    int height = 0;
    bool video = false;
    int keyframes = 0;
    bool operator==(const SourceStats&) const = default;
};

class EncoderSession : public std::enable_shared_from_this<EncoderSession> {
public:
    using EncoderFactory = std::function<std::unique_ptr<VideoEncoding>(
        int width, int height, int framesPerSecond, int bitsPerSecond, std::uint64_t timestampMicros,
        const std::function<void(const std::string&)>& report)>;

    static constexpr std::int64_t refreshDelayMillis = 250;
    static constexpr int refreshesPerPause = 2;
    static constexpr int skipRepairsPerPause = 4;
    static constexpr int maxEmptyEncodes = 90;

    // videoEnded is called (on any thread) when video stops by itself or is
    // stopped, so the stream can go back to JPEG settings. nowMicros is
    // monotonic time for video time stamps.
    EncoderSession(Executor& encode, std::shared_ptr<SourceOutlets> outlets, std::function<std::uint64_t()> nowMicros,
                   std::function<void()> videoEnded);

    // The stream's thread: one sample, empty when nothing changed.
    void sample(std::uint64_t serial, PicturePtr picture);

    // From the stream controller. admit makes the stream's pictures count;
    // drop ends that if it is still the live one.
    void admit(std::uint64_t serial);
    void drop(std::uint64_t serial);
    // No stream is live and the last picture is not to be repeated.
    void forgetPictures();
    // Capture stopped: as forgetPictures, and video ends without a word.
    void endCapture();
    // The stream now shows another display: video needs a keyframe.
    void displayChanged();
    void setQuality(FrameQuality quality);
    // While the stream is asked for a new size, pictures of the old one are
    // still on their way and must not rebuild the encoder.
    void beginSettling();
    void endSettling();

    // Any thread.
    FrameQuality quality() const;
    // Makes an encoder of this size and starts video; false when none can be
    // made.
    bool startVideo(PixelSize size);
    void stopVideo();
    void requestKeyframe();
    // Repeats the last picture (a keyframe while video runs).
    void requestFrame();
    void resendLastFrame();
    // Without the state word.
    SourceStats takeCounts();
    void setMakeEncoder(EncoderFactory factory);

private:
    struct LastFrame {
        Bytes jpeg;
        int width = 0;
        int height = 0;
    };

    template <typename F>
    void onEncode(F f, std::int64_t delayMillis = 0);

    void encodeWaitingFrames();
    // fromStream: a picture of the stream, the first one reported; else a
    // still that only counts while video is off.
    void deliverJpeg(JpegPicture jpeg, bool fromStream);
    void deliverStill(PicturePtr picture);
    void videoKick(std::uint64_t epoch, bool evenIfSettling);
    // takenIn: the stream configuration the picture was taken in (see
    // configuration_); one taken in an earlier one, or while the stream
    // changed over, may have the old size and makes no new encoder.
    void encodeVideo(PicturePtr picture, bool evenIfSettling, bool refresh, std::uint64_t takenIn);
    void planRefresh(std::uint64_t epoch, std::uint64_t serial);
    void refresh(std::uint64_t epoch, std::uint64_t serial);
    void failVideo(const std::string& reason, std::uint64_t epoch);
    // Back to JPEG pictures: the new epoch turns pending video work into
    // nothing. Gives the encoder and the last video picture to the caller.
    std::pair<std::shared_ptr<VideoEncoding>, PicturePtr> leaveVideoLocked();
    std::uint64_t nextTimestampLocked();
    std::shared_ptr<VideoEncoding> makeEncoder(PixelSize size, FrameQuality quality, std::uint64_t timestamp);

    Executor& encode_;
    const std::shared_ptr<SourceOutlets> outlets_;
    const std::function<std::uint64_t()> nowMicros_;
    const std::function<void()> videoEnded_;

    mutable std::mutex m_;
    // Which stream's pictures count: set by the controller, read on the
    // stream's thread and before every delivery on the encode queue.
    std::optional<std::uint64_t> liveStream_;
    // The newest picture not yet encoded, and whether an encode pass is
    // queued: the stream's thread hands over, the encode queue takes.
    PicturePtr waiting_;
    bool encoding_ = false;
    // The configuration the waiting picture was taken in. The stream ends
    // its change on its own thread before its first picture of the new
    // size, so a picture of the old size still waiting then, or taken before
    // the change began and encoded after it ended, is known by when it came,
    // not by when it is encoded.
    std::uint64_t waitingTakenIn_ = 0;
    // Set by the controller; read on the encode queue (JPEG) and on the
    // user's thread (a new encoder's rate).
    FrameQuality quality_ = FrameQuality::medium;
    // The last JPEG picture, for repeats: kept on the encode queue, forgotten
    // by the controller, repeated on whichever thread asks.
    std::optional<LastFrame> lastFrame_;
    // The video session. Started and stopped on the user's thread, ended by
    // the encode queue when the encoder fails, ended by the controller when
    // capture stops; the epoch tells queued work of an ended session.
    bool videoOn_ = false;
    std::uint64_t videoEpoch_ = 0;
    std::shared_ptr<VideoEncoding> encoder_;
    // Asked for by the user's thread and the controller, taken by the encoder.
    bool wantKeyframe_ = false;
    // The last video picture, for refreshes and keyframes of a still screen.
    PicturePtr lastPixels_;
    std::uint64_t lastPixelsTakenIn_ = 0;
    // Stream changes under way (controller and the stream's completion).
    int settling_ = 0;
    // Counts the stream changes begun: a picture taken while none was under
    // way was taken in this configuration; one taken during a change, in
    // none (0).
    std::uint64_t configuration_ = 1;
    // Time stamps rise across the user's thread (a new encoder's start) and
    // the encode queue (every access unit).
    std::uint64_t lastTimestamp_ = 0;
    // Replaced by the user; used on the user's thread and the encode queue.
    EncoderFactory makeEncoder_;
    // Counted on the stream's thread and the encode queue, taken by the user.
    SourceStats counts_;
    std::optional<PixelSize> lastSize_;

    // Encode queue only.
    int emptyEncodes_ = 0;
    std::uint64_t encodeSerial_ = 0;
    int refreshesLeft_ = 0;
    int skipRepairsLeft_ = 0;
};

}  // namespace morvane
