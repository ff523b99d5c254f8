#pragma once

#include "core/types.h"

namespace morvane {

// Carries out the controller's input. Called on the main queue; the
// injector does its posting on a queue of its own.
class InputSink {
public:
    virtual ~InputSink() = default;
    virtual void handle(const InputEvent& event) = 0;
    // Drops what is queued and lets go of every key and button still held.
    virtual void releaseEverything() = 0;
};

}  // namespace morvane
