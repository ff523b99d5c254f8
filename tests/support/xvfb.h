// Starts a private Xvfb for a test and points DISPLAY at it. Header-only so
// any test program can use it.
#pragma once

#include <string>
#include <vector>

#include "x_server_process.h"

namespace morvane::testing {

class Xvfb : public XServerProcess {
public:
    // Size like "1280x720x24". Throws when the server does not come up.
    explicit Xvfb(const std::string& screen = "1280x720x24")
        : XServerProcess("Xvfb", {"-screen", "0", screen, "-nolisten", "tcp", "-noreset", "+extension", "RANDR"},
                         "Xvfb did not start") {}
    // One X screen per size, numbered from 0: windows can be opened on
    // screens of different sizes in one run.
    explicit Xvfb(const std::vector<std::string>& screens)
        : XServerProcess("Xvfb", arguments(screens), "Xvfb did not start") {}

private:
    static std::vector<std::string> arguments(const std::vector<std::string>& screens) {
        std::vector<std::string> args;
        for (std::size_t i = 0; i < screens.size(); ++i) args.insert(args.end(), {"-screen", std::to_string(i), screens[i]});
        args.insert(args.end(), {"-nolisten", "tcp", "-noreset", "+extension", "RANDR"});
        return args;
    }
};

}  // namespace morvane::testing
