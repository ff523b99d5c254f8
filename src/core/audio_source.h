#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "core/types.h"

namespace morvane {

struct AudioFormat {
    std::int64_t sampleRate = 24000;
    std::int64_t channels = 1;
    static AudioFormat standard() { return {24000, 1}; }
    bool operator==(const AudioFormat&) const = default;
};

// Why sound ends, as the wire word the device is told.
using AudioOffReason = std::string;

class AudioSource {
public:
    virtual ~AudioSource() = default;
    using ChunkHandler = std::function<void(const AudioChunk&)>;
    using StoppedHandler = std::function<void(const AudioOffReason&)>;
    virtual ChunkHandler onChunk() const = 0;
    virtual void setOnChunk(ChunkHandler handler) = 0;
    virtual StoppedHandler onStopped() const = 0;
    virtual void setOnStopped(StoppedHandler handler) = 0;
    // The completion receives nothing on success, else the reason.
    virtual void start(const AudioFormat& format,
                       std::function<void(std::optional<AudioOffReason>)> completion) = 0;
    virtual void stop() = 0;
};

}  // namespace morvane
