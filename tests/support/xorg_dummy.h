// Starts a private Xorg with the dummy video driver for a test and points
// DISPLAY at it: unlike Xvfb it can switch display modes through RandR.
// The server runs as root with the config in tests/support (three modes:
// 1920x1080, 1440x900 and 1280x720, starting at the first). Header-only;
// throws when the server does not come up, so a test without it fails.
#pragma once

#include <filesystem>

#include "x_server_process.h"

namespace morvane::testing {

// Its own folder for the empty config directory and the server's log.
struct XorgFolder {
    XorgFolder() {
        static int counter = 0;
        path = std::filesystem::temp_directory_path() /
               ("morvane-xorg-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        std::filesystem::create_directories(path / "conf.d");
    }
    ~XorgFolder() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::filesystem::path path;
};

class XorgDummy : private XorgFolder, public XServerProcess {
public:
    explicit XorgDummy(const std::string& config)
        : XServerProcess("Xorg",
                         {"-noreset", "-nolisten", "tcp", "-config", config, "-configdir", (path / "conf.d").string(),
                          "-logfile", (path / "Xorg.log").string()},
                         "Xorg with the dummy driver did not start (log: " + (path / "Xorg.log").string() + ")", 30) {}
};

}  // namespace morvane::testing
