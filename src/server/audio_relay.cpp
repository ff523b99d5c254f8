#include "server/audio_relay.h"

namespace morvane {

std::shared_ptr<AudioRelay> AudioRelay::create(Executor& queue, Executor& main, std::function<bool()> isPaused,
                                               Clock uptimeMillis) {
    return std::make_shared<AudioRelay>(queue, main, std::move(isPaused), std::move(uptimeMillis));
}

AudioRelay::AudioRelay(Executor& queue, Executor& main, std::function<bool()> isPaused, Clock uptimeMillis)
    : queue_(queue), main_(main), isPaused_(std::move(isPaused)), uptime_(std::move(uptimeMillis)) {}

// Hands the source's chunks and stops to the relay. A new one is made for
// each source, so a source that was replaced reaches nobody.
class AudioRelay::SourceObserver final : public AudioObserver {
public:
    explicit SourceObserver(std::weak_ptr<AudioRelay> relay) : relay_(std::move(relay)) {}
    void onChunk(const AudioChunk& chunk) override {
        if (auto self = relay_.lock()) self->ingest(chunk);
    }
    // The queue is only reached through a live relay, which it outlives.
    void onStopped(AudioOffReason reason) override {
        if (auto self = relay_.lock())
            self->queue_.post([weak = relay_, reason] {
                if (auto self = weak.lock()) self->sourceStopped(reason);
            });
    }

private:
    std::weak_ptr<AudioRelay> relay_;
};

void AudioRelay::attach(std::shared_ptr<AudioSource> source) {
    end(std::nullopt);
    source_ = std::move(source);
    observer_ = source_ ? std::make_shared<SourceObserver>(weak_from_this()) : nullptr;
}

void AudioRelay::handle(AudioRequest request, const std::shared_ptr<AudioLink>& link) {
    expectOn(queue_, __func__);
    if (request == AudioRequest::start) {
        start(link);
        return;
    }
    pendingStart_.reset();
    if (state_ == State::off) {
        if (link) link->sendAudioState(AudioMessage::off(AudioOffReason::stopped));
    } else {
        end(AudioOffReason::stopped);
    }
}

void AudioRelay::reset() {
    expectOn(queue_, __func__);
    pendingStart_.reset();
    end(std::nullopt);
}

void AudioRelay::start(const std::shared_ptr<AudioLink>& link) {
    if (!link) return;
    if (state_ == State::starting) return;
    if (state_ == State::on) {
        link->sendAudioState(AudioMessage::on(format()));
        return;
    }
    if (!source_) {
        link->sendAudioState(AudioMessage::off(AudioOffReason::unavailable));
        return;
    }
    std::int64_t wait = startLimiter_.waitMillis(uptime_());
    if (wait > 0) {
        // One timer at a time: a later ask only replaces who is waiting.
        pendingStart_ = link;
        if (timerArmed_) return;
        timerArmed_ = true;
        std::weak_ptr<AudioRelay> weak = weak_from_this();
        queue_.postAfter(wait, [weak] {
            auto self = weak.lock();
            if (!self) return;
            self->timerArmed_ = false;
            auto pending = self->pendingStart_.lock();
            self->pendingStart_.reset();
            if (pending) self->start(pending);
        });
        return;
    }
    pendingStart_.reset();
    ++epoch_;
    state_ = State::starting;
    link_ = link;
    gate_ = AudioSilenceGate(format(), AudioLimits::silenceHangMillis);
    nextTimestamp_ = 0;
    packets_ = 0;
    dropped_ = 0;

    std::weak_ptr<AudioRelay> weak = weak_from_this();
    auto source = source_;
    auto epoch = epoch_;
    std::shared_ptr<AudioObserver> observer = observer_;
    main_.post([weak, source, observer, epoch, isPaused = isPaused_] {
        if (isPaused && isPaused()) return;
        source->start(format(), observer, [weak, epoch](std::optional<AudioOffReason> failure) {
            if (auto self = weak.lock())
                self->queue_.post([weak, epoch, failure] {
                    if (auto self = weak.lock()) self->finishStart(epoch, failure);
                });
        });
    });
}

void AudioRelay::finishStart(std::uint64_t epoch, std::optional<AudioOffReason> failure) {
    if (epoch != epoch_ || state_ != State::starting) return;
    if (!failure) {
        state_ = State::on;
        onSince_ = uptime_();
        if (auto link = link_.lock()) link->sendAudioState(AudioMessage::on(format()));
        return;
    }
    if (*failure == AudioOffReason::stoppedOnMac) {
        if (onOwnerStopped_)
            onOwnerStopped_();
        else
            end(AudioOffReason::failed);
        return;
    }
    end(*failure);
}

void AudioRelay::sourceStopped(AudioOffReason reason) {
    if (state_ == State::off) return;
    switch (reason) {
        case AudioOffReason::stoppedOnMac:
            if (onOwnerStopped_)
                onOwnerStopped_();
            else
                end(AudioOffReason::failed);
            return;
        case AudioOffReason::stopped: end(AudioOffReason::failed); return;
        default: end(reason); return;
    }
}

void AudioRelay::ingest(AudioChunk chunk) {
    {
        std::lock_guard lock(ingestLock_);
        if (ingestQueued_ >= AudioLimits::maxQueuedToServer) return;
        ++ingestQueued_;
    }
    std::weak_ptr<AudioRelay> weak = weak_from_this();
    queue_.post([weak, chunk = std::move(chunk)]() mutable {
        auto self = weak.lock();
        if (!self) return;
        {
            std::lock_guard lock(self->ingestLock_);
            --self->ingestQueued_;
        }
        self->deliver(std::move(chunk));
    });
}

void AudioRelay::deliver(AudioChunk chunk) {
    if (state_ != State::on) return;
    auto link = link_.lock();
    if (!link) return;
    const auto perFrame = static_cast<std::size_t>(format().bytesPerFrame());
    const auto frames = static_cast<std::int64_t>(chunk.pcm.size() / perFrame);
    const std::int64_t maxFrames = format().sampleRate * AudioLimits::maxChunkMillis / 1000;
    if (frames < 1 || chunk.pcm.size() % perFrame != 0 || frames > maxFrames) return;
    if (chunk.timestampFrames < nextTimestamp_) return;
    nextTimestamp_ = chunk.timestampFrames + static_cast<std::uint64_t>(frames);
    bool silent = AudioPCM::isSilent(chunk.pcm, AudioLimits::silenceThreshold);
    if (!gate_.offer(silent, frames)) return;
    auto packet = AudioMessage::encode(format(), chunk.timestampFrames, chunk.pcm);
    if (!packet) return;
    ++packets_;
    dropped_ += link->offerAudio(*packet, frames);
}

void AudioRelay::end(std::optional<AudioOffReason> telling) {
    if (state_ == State::off) return;
    bool wasOn = state_ == State::on;
    state_ = State::off;
    ++epoch_;
    if (auto link = link_.lock()) {
        link->dropPendingAudio();
        if (telling) link->sendAudioState(AudioMessage::off(*telling));
    }
    link_.reset();
    double seconds = static_cast<double>(uptime_() - onSince_) / 1000.0;
    auto source = source_;
    main_.post([source, wasOn, seconds, packets = packets_, dropped = dropped_, report = onSession_] {
        if (source) source->stop();
        if (wasOn && report) report(seconds, packets, dropped);
    });
}

}  // namespace morvane
