// The send side of one connection: a queue of control messages and a few
// one-deep slots for media, with one write in flight, chosen in a fixed
// order so that control never waits behind pictures, sound keeps flowing
// between pictures and a file download cannot starve the screen. A write
// carries every control message waiting, oldest first, and then the one
// media message whose turn it is: a train of pongs costs one write, and a
// picture queued behind it leaves in that same write instead of waiting for
// each of them. It does no I/O: the connection asks it what to write next
// and tells it when a write is done.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <variant>
#include <vector>

#include "core/types.h"
#include "server/audio_send_queue.h"

namespace morvane {

enum class ConnectionPhase { http, responding, awaitingAuth, controller, closing, closed };

class SendPump {
public:
    static constexpr std::size_t maxQueuedControlMessages = 256;

    // Buffers to write back to back, as one write.
    struct Write {
        std::vector<Bytes> parts;
        // The media message at the end is a video message or a file chunk.
        bool video = false;
        bool file = false;
    };
    struct FinishClose {};
    struct Idle {};

    SendPump();

    // False when the queue is full: the caller closes the connection and the
    // message is not queued.
    bool enqueueControl(Bytes message);
    // The close frame goes after whatever the queue holds, in a write of
    // its own: a relayed channel turns that write into the end of the
    // session rather than a message.
    void appendClose(Bytes frame) { close_ = std::move(frame); }
    bool controlFull() const { return control_.size() >= maxQueuedControlMessages; }
    std::size_t controlCount() const { return control_.size() + (close_ ? 1 : 0); }

    void setPendingFrame(Bytes message) { pendingFrame_ = std::move(message); }
    void setPendingVideo(Bytes message) { pendingVideo_ = std::move(message); }
    bool hasPendingFrame() const { return pendingFrame_.has_value(); }
    bool hasPendingVideo() const { return pendingVideo_.has_value(); }
    bool videoInFlight() const { return videoInFlight_; }
    // A video message waits or is being written: no newer one is offered.
    bool videoBusy() const { return pendingVideo_.has_value() || videoInFlight_; }
    void clearPendingFrame() { pendingFrame_.reset(); }
    void clearPendingVideo() { pendingVideo_.reset(); }
    bool hasPendingFile() const { return pendingFile_.has_value(); }
    void setPendingFile(Bytes message) { pendingFile_ = std::move(message); }
    // Whether a file chunk was pending; it is gone afterwards.
    bool dropPendingFile();

    int offerAudio(Bytes packet, std::int64_t frames) { return audio_.offer(std::move(packet), frames); }
    void dropAudio() { audio_.removeAll(); }
    const AudioSendQueue& audio() const { return audio_; }

    // The close handshake began: media is dropped, control stays.
    void dropMedia();
    // The connection is gone: everything is dropped.
    void clear();

    bool inFlight() const { return sendInFlight_; }

    // What to do next in the given phase. A `Write` marks the pump busy
    // until `completed` is called.
    using Decision = std::variant<Idle, Write, FinishClose>;
    Decision next(ConnectionPhase phase);
    // The write ended; `video` says whether it carried a video message.
    void completed(bool video);

private:
    struct Media {
        Bytes bytes;
        bool video = false;
        bool file = false;
    };
    std::optional<Media> takeMedia();

    std::deque<Bytes> control_;
    std::optional<Bytes> close_;
    std::optional<Bytes> pendingFrame_;
    std::optional<Bytes> pendingVideo_;
    std::optional<Bytes> pendingFile_;
    AudioSendQueue audio_;
    bool videoInFlight_ = false;
    bool fileTurn_ = false;
    bool audioTurn_ = false;
    bool sendInFlight_ = false;
};

}  // namespace morvane
