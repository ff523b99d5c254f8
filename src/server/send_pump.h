// The send side of one connection: a queue of control messages and a few
// one-deep slots for media, written one at a time in a fixed order so that
// control never waits behind pictures, sound keeps flowing between pictures
// and a file download cannot starve the screen. It does no I/O: the
// connection asks it what to write next and tells it when a write is done.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <variant>

#include "core/types.h"
#include "server/audio_send_queue.h"

namespace morvane {

enum class ConnectionPhase { http, responding, awaitingAuth, controller, closing, closed };

class SendPump {
public:
    static constexpr std::size_t maxQueuedControlMessages = 256;

    struct Item {
        Bytes bytes;
        bool video = false;
        bool file = false;
    };
    struct Write {
        Item item;
    };
    struct FinishClose {};
    struct Idle {};

    SendPump();

    // False when the queue is full: the caller closes the connection and the
    // message is not queued.
    bool enqueueControl(Bytes message);
    // The close frame goes in whatever the queue holds.
    void appendClose(Bytes frame);
    bool controlFull() const { return control_.size() >= maxQueuedControlMessages; }
    std::size_t controlCount() const { return control_.size(); }

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
    // The write of an item ended; `video` says whether it was a video message.
    void completed(bool video);

private:
    std::deque<Bytes> control_;
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
