// Between the sound source and the controlling session: starts and stops the
// source, keeps starts at least a second apart, tells the device when sound
// is on or off, and turns each captured chunk into a packet for the session.
// Everything but the chunk hand-over runs on the server queue; the source is
// started and stopped, and sessions are reported, on the main queue.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "capture/audio_capture_pipeline.h"
#include "capture/audio_message.h"
#include "core/audio_source.h"
#include "core/clock.h"
#include "core/executor.h"
#include "server/client_message.h"
#include "server/connection_wire.h"
#include "server/video_delivery.h"

namespace morvane {

class AudioRelay : public std::enable_shared_from_this<AudioRelay> {
public:
    enum class State { off, starting, on };
    using SessionHandler = std::function<void(double seconds, int packets, int dropped)>;
    using Clock = std::function<std::int64_t()>;

    // The only format the relay asks for and sends.
    static AudioFormat format() { return AudioFormat::standard(); }

    // `queue` is the server's serial queue, `main` the main queue; both
    // outlive the relay. `isPaused` is asked on the main queue just before
    // the source is started.
    static std::shared_ptr<AudioRelay> create(Executor& queue, Executor& main, std::function<bool()> isPaused,
                                              Clock uptimeMillis = nowMillis);

    // On the server queue from here on.
    void attach(std::shared_ptr<AudioSource> source);
    std::shared_ptr<AudioSource> attached() const { return source_; }
    void handle(AudioRequest request, const std::shared_ptr<AudioLink>& link);
    // Ends any session without a word to the device.
    void reset();

    void setOnSession(SessionHandler handler) { onSession_ = std::move(handler); }
    const SessionHandler& onSession() const { return onSession_; }
    void setOnOwnerStopped(std::function<void()> handler) { onOwnerStopped_ = std::move(handler); }
    State state() const { return state_; }

    // The source's chunk hand-over; any thread.
    void ingest(AudioChunk chunk);

    AudioRelay(Executor& queue, Executor& main, std::function<bool()> isPaused, Clock uptimeMillis);

private:
    void start(const std::shared_ptr<AudioLink>& link);
    void finishStart(std::uint64_t epoch, std::optional<AudioOffReason> failure);
    void sourceStopped(AudioOffReason reason);
    void deliver(AudioChunk chunk);
    void end(std::optional<AudioOffReason> telling);

    Executor& queue_;
    Executor& main_;
    std::function<bool()> isPaused_;
    Clock uptime_;
    SessionHandler onSession_;
    std::function<void()> onOwnerStopped_;

    class SourceObserver;
    std::shared_ptr<AudioSource> source_;
    std::shared_ptr<SourceObserver> observer_;
    State state_ = State::off;
    std::weak_ptr<AudioLink> link_;
    std::uint64_t epoch_ = 0;
    AudioSilenceGate gate_{format(), AudioLimits::silenceHangMillis};
    std::uint64_t nextTimestamp_ = 0;
    std::int64_t onSince_ = 0;
    int packets_ = 0;
    int dropped_ = 0;
    VideoStartLimiter startLimiter_{1000};
    std::weak_ptr<AudioLink> pendingStart_;
    bool timerArmed_ = false;

    std::mutex ingestLock_;
    std::int64_t ingestQueued_ = 0;
};

}  // namespace morvane
