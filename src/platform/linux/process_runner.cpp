#include "platform/linux/process_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>

namespace morvane {

namespace {

using Clock = std::chrono::steady_clock;

int millisLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return 0;
    return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

// After fork in a threaded parent: system calls only, nothing that
// allocates or locks.
[[noreturn]] void child(const ProcessSpec& spec, int devNull, int outWrite, int errorWrite, char* const* argv,
                        char* const* envp) {
    ::setpgid(0, 0);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    ::sigaction(SIGPIPE, &dfl, nullptr);
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (::dup2(devNull, 0) < 0 || ::dup2(outWrite, 1) < 0 || ::dup2(spec.mergeErrors ? outWrite : devNull, 2) < 0) {
        const int e = errno;
        [[maybe_unused]] auto w = ::write(errorWrite, &e, sizeof e);
        ::_exit(127);
    }
    // The program inherits nothing but the three standard descriptors.
    if (::syscall(SYS_close_range, 3u, ~0u, 4u /* CLOSE_RANGE_CLOEXEC */) != 0)
        for (int fd = 3; fd < 1024; ++fd) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    ::syscall(SYS_execveat, spec.executable, "", argv, envp, AT_EMPTY_PATH);
    int e = errno;
    if (e == ENOENT) {
        // A script: its interpreter opens the checked file through
        // /dev/fd, so that one descriptor has to stay open.
        ::fcntl(spec.executable, F_SETFD, 0);
        ::syscall(SYS_execveat, spec.executable, "", argv, envp, AT_EMPTY_PATH);
        e = errno;
    }
    [[maybe_unused]] auto w = ::write(errorWrite, &e, sizeof e);
    ::_exit(127);
}

void reap(pid_t pid, int* status) {
    while (::waitpid(pid, status, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace

ProcessOutcome runProcess(const ProcessSpec& spec) {
    ProcessOutcome outcome;
    int out[2], errors[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        outcome.noPipe = "no pipe";
        return outcome;
    }
    if (::pipe2(errors, O_CLOEXEC) != 0) {
        ::close(out[0]);
        ::close(out[1]);
        outcome.noPipe = "no pipe";
        return outcome;
    }
    const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);

    std::vector<std::string> argStore = spec.argv, envStore = spec.env;
    std::vector<char*> argv, envp;
    for (auto& a : argStore) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : envStore) envp.push_back(e.data());
    envp.push_back(nullptr);

    const auto deadline = Clock::now() + std::chrono::milliseconds(spec.timeoutMillis);
    const pid_t pid = devNull < 0 ? -1 : ::fork();
    if (pid == 0) child(spec, devNull, out[1], errors[1], argv.data(), envp.data());
    const int forkErrno = errno;
    ::close(out[1]);
    ::close(errors[1]);
    if (devNull >= 0) ::close(devNull);
    if (pid < 0) {
        ::close(out[0]);
        ::close(errors[0]);
        outcome.startErrno = devNull < 0 ? ENOENT : forkErrno;
        return outcome;
    }
    // Also from this side, so the group exists before it may be killed.
    ::setpgid(pid, pid);

    int startErrno = 0;
    ssize_t got;
    do {
        got = ::read(errors[0], &startErrno, sizeof startErrno);
    } while (got < 0 && errno == EINTR);
    ::close(errors[0]);
    if (got == static_cast<ssize_t>(sizeof startErrno)) {
        int status = 0;
        reap(pid, &status);
        ::close(out[0]);
        outcome.startErrno = startErrno;
        return outcome;
    }

    const auto killGroup = [pid] {
        ::kill(-pid, SIGKILL);
        ::kill(pid, SIGKILL);
    };

    std::string buffer(65'536, '\0');
    for (;;) {
        pollfd p{out[0], POLLIN, 0};
        const int ready = ::poll(&p, 1, millisLeft(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) {
            outcome.timedOut = true;
            break;
        }
        if (ready < 0) break;
        const ssize_t n = ::read(out[0], buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (outcome.output.size() < spec.maxOutputBytes) outcome.output.append(buffer.data(), static_cast<std::size_t>(n));
    }
    ::close(out[0]);

    // The output ended; the program itself gets what is left of the time.
    if (!outcome.timedOut) {
        const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
        if (pidfd >= 0) {
            for (;;) {
                pollfd p{pidfd, POLLIN, 0};
                const int ready = ::poll(&p, 1, millisLeft(deadline));
                if (ready < 0 && errno == EINTR) continue;
                if (ready == 0) outcome.timedOut = true;
                break;
            }
            ::close(pidfd);
        } else {
            siginfo_t info{};
            while (::waitid(P_PID, pid, &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
            }
        }
    }
    // Whatever the program left behind in its group ends with it; the
    // group is killed before the program is reaped, so its number cannot
    // have been taken by another.
    killGroup();
    int status = 0;
    reap(pid, &status);
    if (!outcome.timedOut && WIFEXITED(status)) outcome.status = WEXITSTATUS(status);
    return outcome;
}

}  // namespace morvane
