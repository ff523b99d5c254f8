// A private D-Bus daemon for tests of what the host hears on a bus, and a
// wait on a condition that keeps Qt's loop turning meanwhile.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>

#include <functional>
#include <string>

namespace morvane::testing {

inline bool pumpUntil(const std::function<bool()>& done, int millis = 10'000) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < millis) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return done();
}

// dbus-daemon on a socket of its own, ended with the test.
class PrivateBus {
public:
    PrivateBus() {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], 1);
            ::execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--print-address", nullptr);
            ::_exit(127);
        }
        ::close(out[1]);
        char c;
        while (::read(out[0], &c, 1) == 1 && c != '\n') address_ += c;
        ::close(out[0]);
    }
    ~PrivateBus() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;
    const std::string& address() const { return address_; }

private:
    pid_t pid_ = -1;
    std::string address_;
};

}  // namespace morvane::testing
