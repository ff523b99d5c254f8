// Loaded into the real host with LD_PRELOAD by a test: once the file that
// MORVANE_EXIT_ELSEWHERE_WHEN names exists, a thread of its own opens a
// connection to the X server, as a library does, and finds it lost, on which
// Xlib's default handler would call exit() on this thread.
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include <X11/Xlib.h>

namespace {

struct LostElsewhere {
    LostElsewhere() {
        const char* when = std::getenv("MORVANE_EXIT_ELSEWHERE_WHEN");
        if (!when) return;
        std::thread([path = std::string(when)] {
            while (::access(path.c_str(), F_OK) != 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
            Display* display = XOpenDisplay(nullptr);
            if (!display) std::exit(4);
            ::shutdown(ConnectionNumber(display), SHUT_RDWR);
            XSync(display, False);
            std::exit(3);  // a handler that returned
        }).detach();
    }
} lostElsewhere;

}  // namespace
