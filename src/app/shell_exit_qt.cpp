#include "app/shell_exit_qt.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QGuiApplication>
#include <QSocketNotifier>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <utility>

#include "core/session_log.h"
#include "platform/linux/x11_errors.h"

// Last: Xlib's macros clash with Qt's headers.
#include <X11/Xlib.h>

namespace morvane {
namespace {

enum class ExitStage { notGuarded, starting, running, windingDown, woundDown };

// Read by signal handlers and by exit() on any thread, possibly while the
// main thread is anywhere: made once, never destroyed.
struct ExitState {
    pthread_t mainThread{};
    std::atomic<ExitStage> stage{ExitStage::notGuarded};
    std::atomic<bool> windDownTaken{false};
    // A thread that met the end (an exit(), a lost connection) waits there
    // for the main thread to end the process.
    std::atomic<bool> parked{false};
    std::atomic<int> status{0};
    // The wind-down found work it will not wait for: the process ends as
    // soon as the wind-down is done, letting go of nothing.
    std::atomic<bool> endAtFinish{false};
    // Posted by every way out (a stop signal among them); the watchdog
    // thread waits on it, then ends the process once the limit has passed.
    sem_t watchdog{};
    bool watchdogRuns = false;
    // Set on the main thread before the stage says running; read there,
    // and by a fault handler while the start is not through.
    SessionLog* log = nullptr;
    std::function<void()> windDown;
    // A connection of our own, to tell a display that went from any other
    // reason for an exit().
    Display* watch = nullptr;
    // While the application starts: what a crash of the display's making
    // says, made before any fault, and the handlers it stands in for.
    std::string startWords;
    std::atomic<bool> starting{false};
    // The socket of a connection of our own, only to hear the server go.
    int startWatch = -1;
    struct sigaction before[3]{};
};

constexpr int startFaults[3] = {SIGSEGV, SIGBUS, SIGABRT};

ExitState& exitState() {
    static ExitState* const kept = new ExitState();
    return *kept;
}

// The writing end of the quit requests: a signal handler reads it.
std::atomic<int> requestWriter{-1};
int requestReader = -1;

void onStopSignal(int) { ShellExit::requestQuit(); }
// A write to a closed socket fails with EPIPE instead; unlike SIG_IGN, a
// handler is not handed on to the programs the host starts.
void onBrokenPipe(int) {}

// Cuts short a quit that hangs (a peer or server that stopped answering, a
// main loop held up): from the first way out taken, the process ends within
// the limit all the same, with no destructor run. Made before any other
// thread, so that a signal handler only has to post.
void* watchdogThread(void*) {
    ExitState& s = exitState();
    while (sem_wait(&s.watchdog) != 0 && errno == EINTR) {
    }
    timespec left{ShellExit::windDownLimitSeconds, 0};
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
    static constexpr char line[] = "morvane-host: the quit took longer than its limit; ending now\n";
    [[maybe_unused]] const auto written = ::write(2, line, sizeof line - 1);
    ::_exit(1);
}

// Async-signal-safe: a stop signal arms it.
void armWatchdog() {
    ExitState& s = exitState();
    if (s.watchdogRuns) sem_post(&s.watchdog);
}

// Async-signal-safe. The server's end of every connection closes as it
// goes, and a fault of Qt's may be a moment ahead of ours seeing it: waits a
// little for the hang-up.
bool displayGoneNow(int socket) {
    if (socket < 0) return false;
    pollfd watched{socket, POLLRDHUP, 0};
    return ::poll(&watched, 1, 200) > 0 && (watched.revents & (POLLHUP | POLLRDHUP | POLLERR)) != 0;
}

// Qt's X plugin reads replies that a connection lost while it starts never
// gave (a screen's colour space, its outputs) and faults; libdbus, starting
// the session bus through the display, aborts. With the display gone that is
// no crash: it ends as a display that cannot be opened does. Any other fault
// goes on as it would have (the handler was reset as it ran).
void onStartFault(int signal) {
    ExitState& s = exitState();
    if (s.starting.load() && displayGoneNow(s.startWatch)) {
        // A log begun ends as every run's does, the lines still queued
        // left out: the queue's thread may hold what they need.
        if (s.stage.load() != ExitStage::starting && s.log) s.log->endNow();
        [[maybe_unused]] const auto written = ::write(2, s.startWords.data(), s.startWords.size());
        ::_exit(1);
    }
    if (signal == SIGABRT) return;  // abort() raises it again, unhandled
}

bool displayWentAway(ExitState& s) {
    if (!s.watch) return true;
    XSync(s.watch, False);
    return x11ConnectionLost(s.watch);
}

// A line of the way out, in the log before anything after it.
void say(ExitState& s, const std::string& text) {
    if (!s.log) return;
    s.log->write("app", text);
    s.log->flush();
}

void runWindDown(ExitState& s) {
    if (s.windDownTaken.exchange(true)) return;
    s.stage = ExitStage::windingDown;
    // Before the shell is whole there is nothing to wind down, but the log
    // still ends as every quit's does, so that its reader knows it ended.
    if (s.windDown)
        s.windDown();
    else
        say(s, ShellExit::quitLine);
    s.stage = ExitStage::woundDown;
}

[[noreturn]] void endNow(int status) {
    std::fflush(stdout);
    ::_exit(status);
}

// An exit() while the application starts (Qt's own, when the display it
// is opening went), or a connection found `lost` then: nothing to wind down
// yet, and the threads Qt and libdbus have started must not meet the static
// destructors.
[[noreturn]] void leaveWhileStarting(bool lost) {
    ExitState& s = exitState();
    if (lost || displayGoneNow(s.startWatch)) {
        [[maybe_unused]] const auto written = ::write(2, s.startWords.data(), s.startWords.size());
    }
    endNow(1);
}

// The process ends here, on the main thread, from inside whatever called
// exit() or lost its connection: the wind-down, unless it is under way or
// done, then _exit.
[[noreturn]] void leaveFromMain() {
    ExitState& s = exitState();
    const ExitStage stage = s.stage.load();
    if (stage == ExitStage::starting) leaveWhileStarting(false);
    armWatchdog();
    if (stage != ExitStage::running) endNow(s.status.load());
    const bool gone = displayWentAway(s);
    s.status = gone ? 0 : 1;
    say(s, gone ? "the X display is gone: quitting" : "quitting: a library ended the program");
    runWindDown(s);
    endNow(s.status.load());
}

// On any other thread: the main thread is asked to quit and ends the
// process; this thread waits, touching nothing.
[[noreturn]] void leaveFromElsewhere() {
    ExitState& s = exitState();
    s.parked = true;
    ShellExit::requestQuit();
    for (;;) ::pause();
}

bool onMainThread() { return pthread_equal(pthread_self(), exitState().mainThread) != 0; }

// exit() on the main thread runs this thread's thread_local destructors
// before any atexit work or static destructor, whoever registered them and
// when: the one place that comes first whatever the order of registration.
struct OnMainThreadExit {
    ~OnMainThreadExit() {
        if (exitState().stage.load() != ExitStage::notGuarded) leaveFromMain();
    }
};

// exit() on another thread comes here only after the atexit work registered
// since the guard (whatever a library made on first use), so a lost X
// connection, the one such caller the host knows, is taken before Xlib
// calls exit().
void exitCalledElsewhere() {
    if (onMainThread() || exitState().stage.load() == ExitStage::notGuarded) return;
    if (exitState().stage.load() == ExitStage::starting) leaveWhileStarting(false);
    leaveFromElsewhere();
}

// exit() by anyone else, from here on, comes to the functions above.
void takeOverExit() {
    static thread_local OnMainThreadExit onMainThreadExit;
    static const bool registered = std::atexit(exitCalledElsewhere) == 0;
    (void)registered;
}

// Xlib's handler for every connection not ours, from before the first is
// opened (our probe's, Qt's): the display's end is told in our words, never
// in Xlib's alone.
void otherX11ConnectionLost(Display*) {
    const ExitStage stage = exitState().stage.load();
    if (stage == ExitStage::notGuarded) return;  // Xlib's own way
    if (stage == ExitStage::starting) leaveWhileStarting(true);
    if (onMainThread()) leaveFromMain();
    leaveFromElsewhere();
}

// Where Xlib would end the process after the handler above returned.
void otherX11ConnectionEnds(Display* display, void*) {
    otherX11ConnectionLost(display);
    std::exit(1);
}

}  // namespace

ShellExit::ShellExit() {
    ExitState& s = exitState();
    s.mainThread = pthread_self();
    if (!s.watchdogRuns && sem_init(&s.watchdog, 0, 0) == 0) {
        pthread_t watchdog{};
        // Without a thread to spare the quit runs unwatched.
        if (pthread_create(&watchdog, nullptr, watchdogThread, nullptr) == 0) {
            pthread_detach(watchdog);
            s.watchdogRuns = true;
        }
    }
    struct sigaction pipeAction {};
    pipeAction.sa_handler = onBrokenPipe;
    sigemptyset(&pipeAction.sa_mask);
    pipeAction.sa_flags = SA_RESTART;
    sigaction(SIGPIPE, &pipeAction, nullptr);
    int pair[2];
    if (requestReader < 0 && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pair) == 0) {
        requestReader = pair[0];
        requestWriter = pair[1];
        // Asked before the loop runs, a quit waits for it.
        struct sigaction action {};
        action.sa_handler = onStopSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGTERM, &action, nullptr);
        sigaction(SIGINT, &action, nullptr);
    }
}

ShellExit::~ShellExit() {
    ExitState& s = exitState();
    if (s.parked) endNow(s.status.load());
    s.stage = ExitStage::notGuarded;
    s.log = nullptr;
    s.windDown = nullptr;
    closeX11Display(std::exchange(s.watch, nullptr));
}

void ShellExit::requestQuit() {
    armWatchdog();
    const int fd = requestWriter.load();
    if (fd < 0) return;
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(fd, &byte, 1);
}

void ShellExit::watchQuitRequests() {
    if (requestReader < 0) return;
    auto* notifier = new QSocketNotifier(requestReader, QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, [] {
        char bytes[64];
        while (::read(requestReader, bytes, sizeof bytes) > 0) {
        }
        QCoreApplication::quit();
    });
}

void ShellExit::watchStart(const std::string& words) {
    ExitState& s = exitState();
    s.startWords = words + "\n";
    s.starting = true;
    takeOverExit();
    s.stage = ExitStage::starting;
    struct sigaction action {};
    action.sa_handler = onStartFault;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    for (int i = 0; i < 3; ++i) sigaction(startFaults[i], &action, &s.before[i]);
    // Before the first connection: Qt replaces it with one of its own that
    // ends in Xlib's words, and `guard` takes it back.
    whenOtherX11ConnectionLost(otherX11ConnectionLost);
    // The connection goes, its socket stays open under another number.
    if (Display* display = XOpenDisplay(nullptr)) {
        s.startWatch = ::fcntl(ConnectionNumber(display), F_DUPFD_CLOEXEC, 0);
        XCloseDisplay(display);
    }
}

void ShellExit::started() {
    ExitState& s = exitState();
    if (!s.starting.exchange(false)) return;
    for (int i = 0; i < 3; ++i) sigaction(startFaults[i], &s.before[i], nullptr);
    if (s.startWatch >= 0) ::close(std::exchange(s.startWatch, -1));
}

void ShellExit::guard(SessionLog& log) {
    ExitState& s = exitState();
    log.endWith("app", quitLine);
    s.log = &log;
    if (!s.watch) s.watch = openTolerantX11Display("");
    takeOverExit();
    whenOtherX11ConnectionLost(otherX11ConnectionLost);
    if (const auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr)
        if (Display* display = x11->display()) XSetIOErrorExitHandler(display, otherX11ConnectionEnds, nullptr);
    s.stage = ExitStage::running;
}

void ShellExit::setWindDown(std::function<void()> windDown) { exitState().windDown = std::move(windDown); }

void ShellExit::endAtFinish() { exitState().endAtFinish = true; }

int ShellExit::finish(int status) {
    ExitState& s = exitState();
    s.status = status;
    // However the loop came to return (the status window closed, a reopen).
    armWatchdog();
    runWindDown(s);
    if (s.parked || s.endAtFinish) endNow(status);
    return status;
}

}  // namespace morvane
