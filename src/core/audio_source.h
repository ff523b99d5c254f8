#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/types.h"

namespace morvane {

namespace AudioLimits {
// Length of one sound packet.
inline constexpr std::int64_t packetMillis = 20;
}  // namespace AudioLimits

struct AudioFormat {
    std::int64_t sampleRate = 24000;
    std::int64_t channels = 1;
    static AudioFormat standard() { return {24000, 1}; }
    bool operator==(const AudioFormat&) const = default;

    std::int64_t bytesPerFrame() const { return channels * 2; }
    std::int64_t framesPerPacket() const { return sampleRate * AudioLimits::packetMillis / 1000; }
    std::int64_t bitsPerSecond() const { return sampleRate * channels * 16; }
};

// Why sound ends; each has the word the device is told.
enum class AudioOffReason { stopped, unavailable, noPermission, noDisplay, failed, stoppedOnMac };

inline std::string_view toString(AudioOffReason reason) {
    switch (reason) {
        case AudioOffReason::stopped: return "stopped";
        case AudioOffReason::unavailable: return "unavailable";
        case AudioOffReason::noPermission: return "no-permission";
        case AudioOffReason::noDisplay: return "no-display";
        case AudioOffReason::failed: return "failed";
        case AudioOffReason::stoppedOnMac: return "stopped-on-mac";
    }
    return "failed";
}

inline std::optional<AudioOffReason> audioOffReasonFromString(std::string_view raw) {
    for (auto r : {AudioOffReason::stopped, AudioOffReason::unavailable, AudioOffReason::noPermission,
                   AudioOffReason::noDisplay, AudioOffReason::failed, AudioOffReason::stoppedOnMac}) {
        if (toString(r) == raw) return r;
    }
    return std::nullopt;
}

// What a sound source hands its user: chunks on the source's own thread,
// and the end of a stream the user did not ask for.
class AudioObserver {
public:
    virtual ~AudioObserver() = default;
    virtual void onChunk(const AudioChunk& chunk) = 0;
    virtual void onStopped(AudioOffReason reason) = 0;
};

class AudioSource {
public:
    virtual ~AudioSource() = default;
    // The completion receives nothing on success, else the reason. The
    // source holds the observer weakly; a later start replaces it.
    virtual void start(const AudioFormat& format, const std::shared_ptr<AudioObserver>& observer,
                       std::function<void(std::optional<AudioOffReason>)> completion) = 0;
    // Safe to call when nothing runs.
    virtual void stop() = 0;
};

}  // namespace morvane
