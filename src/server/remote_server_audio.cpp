#include "server/audio_relay.h"
#include "server/remote_server.h"

namespace morvane {

AudioRelay& RemoteServer::audio() {
    if (!audioRelay_) {
        std::weak_ptr<RemoteServer> weak = weak_from_this();
        audioRelay_ = AudioRelay::create(
            *queue_, *main_,
            [weak] {
                auto self = weak.lock();
                return !self || self->isPaused();
            },
            clock_);
        // The owner stopping the sound capture pauses the host as the
        // screen's own stop does.
        audioRelay_->setOnOwnerStopped([weak] {
            if (auto self = weak.lock()) self->applyPause(PauseCause::stopSharing);
        });
    }
    return *audioRelay_;
}

std::shared_ptr<AudioSource> RemoteServer::audioSource() {
    std::shared_ptr<AudioSource> source;
    runOnQueue([&] { source = audio().attached(); });
    return source;
}

void RemoteServer::setAudioSource(std::shared_ptr<AudioSource> source) {
    runOnQueue([&] { audio().attach(std::move(source)); });
}

RemoteServer::AudioSessionHandler RemoteServer::onAudioSession() {
    AudioSessionHandler handler;
    runOnQueue([&] { handler = audio().onSession(); });
    return handler;
}

void RemoteServer::setOnAudioSession(AudioSessionHandler handler) {
    runOnQueue([&] { audio().setOnSession(std::move(handler)); });
}

}  // namespace morvane
