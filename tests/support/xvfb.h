// Starts a private Xvfb for a test and points DISPLAY at it. Header-only so
// any test program can use it.
#pragma once

#include "x_server_process.h"

namespace morvane::testing {

class Xvfb : public XServerProcess {
public:
    // Size like "1280x720x24". Throws when the server does not come up.
    explicit Xvfb(const std::string& screen = "1280x720x24")
        : XServerProcess("Xvfb", {"-screen", "0", screen, "-nolisten", "tcp", "-noreset", "+extension", "RANDR"},
                         "Xvfb did not start") {}
};

}  // namespace morvane::testing
