// morvane-x-recorder: the browser tests' eyes on the X display. Covers the
// screen with one window that takes the keyboard focus, says "ready", then
// prints one JSON line per pointer or key event it gets. Ends when its
// standard input closes.
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

#include "../../input/x_recorder.h"

namespace {

std::string utf8(char32_t c) {
    std::string out;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
    return out;
}

nlohmann::json describe(const morvane::testing::XRecord& r) {
    nlohmann::json line;
    switch (r.type) {
        case MotionNotify: line["t"] = "motion"; break;
        case ButtonPress: line["t"] = "press"; break;
        case ButtonRelease: line["t"] = "release"; break;
        case KeyPress: line["t"] = "keydown"; break;
        case KeyRelease: line["t"] = "keyup"; break;
        default:
            line["t"] = "mapping";
            line["keycode"] = r.keycode;
            return line;
    }
    line["state"] = r.state;
    if (r.type == KeyPress || r.type == KeyRelease) {
        const char* name = r.keysym == NoSymbol ? nullptr : XKeysymToString(r.keysym);
        line["keysym"] = name ? name : "";
        const char* base = r.base == NoSymbol ? nullptr : XKeysymToString(r.base);
        line["key"] = base ? base : "";
        if (char32_t c = morvane::testing::characterOf(r.keysym)) line["char"] = utf8(c);
    } else {
        line["x"] = r.x, line["y"] = r.y;
        if (r.button) line["button"] = r.button;
    }
    return line;
}

}  // namespace

int main() {
    try {
        morvane::testing::XRecorder recorder;
        std::printf("ready\n");
        std::fflush(stdout);
        std::size_t shown = 0;
        for (;;) {
            auto records = recorder.records();
            for (; shown < records.size(); ++shown) std::printf("%s\n", describe(records[shown]).dump().c_str());
            std::fflush(stdout);
            pollfd p{STDIN_FILENO, POLLIN, 0};
            if (::poll(&p, 1, 10) > 0) {
                char buffer[256];
                if (::read(STDIN_FILENO, buffer, sizeof buffer) <= 0) return 0;
            }
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "morvane-x-recorder: %s\n", e.what());
        return 1;
    }
}
