// Loaded into the real host with LD_PRELOAD by tests.
//
// Once the file that MORVANE_EXIT_ELSEWHERE_WHEN names exists, a thread of
// its own opens a connection to the X server, as a library does, and finds
// it lost, on which Xlib's default handler would call exit() on this thread.
//
// With MORVANE_X_GONE_AT_PROPERTY=N and MORVANE_X_SERVER_PID, the X server
// is killed as the host waits for the N-th property it asks of it (most of
// them asked by Qt as it starts: atoms, screens, their colour spaces), and
// the wait goes on when the server is gone: the session ending at that very
// moment of the start. With MORVANE_X_GONE_AT_CONNECTION=N instead, it is
// killed just after the N-th connection of the process (of Xlib, Qt or a
// library) was opened: its first request meets the loss. Either way
// MORVANE_X_GONE_NOTE names a file made once the server is gone, so that a
// test knows the moment came.
//
// Once the file that MORVANE_HOLD_MAIN_WHEN names exists, the main thread's
// next turn of its event loop never comes: a host whose main loop is held up.
#include <dlfcn.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include <X11/Xlib.h>
#include <xcb/xproto.h>

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

// Whether the process has ended (gone, or a zombie its parent has yet to reap).
bool ended(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(") ");
    return close == std::string::npos || text[close + 2] == 'Z' || text[close + 2] == 'X';
}

std::atomic<int> propertiesAsked{0};
std::atomic<int> connectionsOpened{0};

// Where the server goes: taken as the module loads, and out of the
// environment the programs the host starts inherit, whose own connections
// and reads would otherwise count from one again.
struct GoneAt {
    int property = 0, connection = 0;
    pid_t server = 0;
    std::string note;
    GoneAt() {
        const auto take = [](const char* name) {
            const char* value = std::getenv(name);
            std::string text = value ? value : "";
            ::unsetenv(name);
            return text;
        };
        property = std::atoi(take("MORVANE_X_GONE_AT_PROPERTY").c_str());
        connection = std::atoi(take("MORVANE_X_GONE_AT_CONNECTION").c_str());
        server = std::atoi(take("MORVANE_X_SERVER_PID").c_str());
        note = take("MORVANE_X_GONE_NOTE");
    }
} goneAt;

// Kills the X server and waits until it has gone, then notes it.
void killServer() {
    if (goneAt.server <= 0) return;
    ::kill(goneAt.server, SIGKILL);
    for (int i = 0; i < 200 && !ended(goneAt.server); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!goneAt.note.empty()) std::ofstream(goneAt.note) << "gone";
}

// Whether this opening is the one the server goes at, counted once.
bool goneAtThisConnection() { return goneAt.connection > 0 && ++connectionsOpened == goneAt.connection; }

// Runs `connect`, then kills the server at the chosen opening.
template <typename Connect>
xcb_connection_t* opening(Connect connect) {
    xcb_connection_t* made = connect();
    if (goneAtThisConnection()) killServer();
    return made;
}

}  // namespace

extern "C" xcb_connection_t* xcb_connect(const char* name, int* screen) {
    using Real = xcb_connection_t* (*)(const char*, int*);
    static const auto real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "xcb_connect"));
    return opening([&] { return real(name, screen); });
}

extern "C" xcb_connection_t* xcb_connect_to_display_with_auth_info(const char* name, xcb_auth_info_t* auth,
                                                                   int* screen) {
    using Real = xcb_connection_t* (*)(const char*, xcb_auth_info_t*, int*);
    static const auto real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "xcb_connect_to_display_with_auth_info"));
    return opening([&] { return real(name, auth, screen); });
}

extern "C" xcb_get_property_reply_t* xcb_get_property_reply(xcb_connection_t* c, xcb_get_property_cookie_t cookie,
                                                           xcb_generic_error_t** e) {
    using Real = xcb_get_property_reply_t* (*)(xcb_connection_t*, xcb_get_property_cookie_t, xcb_generic_error_t**);
    static const auto real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "xcb_get_property_reply"));
    if (goneAt.property > 0 && ++propertiesAsked == goneAt.property) killServer();
    return real(c, cookie, e);
}

namespace {

void holdMainWhenAsked() {
    static const char* when = std::getenv("MORVANE_HOLD_MAIN_WHEN");
    if (!when || ::syscall(SYS_gettid) != ::getpid() || ::access(when, F_OK) != 0) return;
    for (;;) ::pause();
}

}  // namespace

// Qt's main loop turns through GLib's; the sanitizer tree's program
// intercepts poll() itself, so the hold is put one step before it.
extern "C" int g_main_context_iteration(void* context, int mayBlock) {
    using Real = int (*)(void*, int);
    static const auto real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "g_main_context_iteration"));
    holdMainWhenAsked();
    return real(context, mayBlock);
}
