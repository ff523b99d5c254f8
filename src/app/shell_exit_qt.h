// How the host ends: one way out, taken once. The menu's Quit, SIGTERM and
// SIGINT (the session's end, `kill`) ask the main loop to quit; once it has
// returned, the shell winds down (server, relay, display changes put back,
// the log's last line, the devices' saves) and lets go of everything.
//
// The X display going away (every logout) must end the same way, but Qt ends
// the process itself when its connection breaks: it calls exit() from inside
// its event loop, and Xlib's default handler does the same for any other
// connection, on whatever thread used it. exit() runs every library's static
// destructors and atexit work while the threads that capture, encode, serve
// and watch the display still run, and they then read freed memory. So from
// `guard` until this object goes, a connection of another's found lost, or
// an exit() called by anyone else, never gets that far: on the main thread
// it runs the wind-down itself and ends the process with _exit; on another
// thread it asks the main thread to quit and waits for it to end the
// process. A quit, whichever way it came (a signal, the menu, the display),
// that has not ended the process within `windDownLimitSeconds` of its start
// is cut short, the process ending all the same.
#pragma once

#include <functional>
#include <string>

namespace morvane {

class SessionLog;

class ShellExit {
public:
    static constexpr int windDownLimitSeconds = 10;
    // The log's last line, under the tag "app".
    static constexpr const char* quitLine = "quit";

    // On the main thread, before the application and any other thread: the
    // stop signals become quit requests from here on, and a write to a peer
    // that went (the X server's socket) fails rather than ending the process.
    ShellExit();
    // The program's own end from here: exit() is no longer taken over.
    ~ShellExit();
    ShellExit(const ShellExit&) = delete;
    ShellExit& operator=(const ShellExit&) = delete;

    // Asks the main loop to quit, the way SIGTERM does. From any thread.
    static void requestQuit();
    // Once the application exists: each quit request quits its loop.
    void watchQuitRequests();

    // Before the first X connection (the probe's, Qt's): until `started`, a
    // connection lost, or a crash while the X display is gone (the session
    // ended as the host started, and Qt's X plugin or libdbus met the lost
    // connection), ends the process with status 1 and `words` on standard
    // error, as a display that cannot be opened does.
    void watchStart(const std::string& words);
    // Once the start is through, before the loop runs: crashes are crashes.
    void started();
    // Once the application exists: from now on an exit() by anyone else, or
    // a connection lost, ends the process here, and the quit line ends
    // `log`, written last (from a fault before `started` too).
    void guard(SessionLog& log);
    // What ending takes, run once on the main thread.
    void setWindDown(std::function<void()> windDown);
    // From the wind-down: what it has not waited for (a thread held by a
    // program that never answers) would hold the let-go of everything after
    // it, so `finish` ends the process once the wind-down is done.
    static void endAtFinish();
    // After the loop returned with `status`: the wind-down, unless it ran.
    // Returns the status to end with.
    int finish(int status);
};

}  // namespace morvane
