// The main queue on Qt's own loop as the host runs it: QApplication::exec(),
// not a loop of processEvents calls, with a session bus that is slow to
// answer, as one libdbus starts for a new X server is.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstdint>
#include <thread>

#include "app/main_queue_qt.h"

namespace morvane {
namespace {

using SteadyClock = std::chrono::steady_clock;

// The server's thread posts a session's first text as the host's loop
// starts. Qt's exec() sets up its accessibility bridge on the session bus
// before the loop first turns; the text must not wait for that.
TEST(QtMainQueue, WorkPostedFromAnotherThreadAsTheLoopStartsRunsPromptly) {
    // The bus is a program that says nothing for 1.5 s and hangs up.
    ::setenv("DBUS_SESSION_BUS_ADDRESS", "unixexec:path=/bin/sleep,argv0=sleep,argv1=1.5", 1);
    QtMainQueue queue;

    std::atomic<std::int64_t> waitedMillis{-1};
    std::thread server([&] {
        const auto posted = SteadyClock::now();
        queue.post([&waitedMillis, posted] {
            waitedMillis =
                std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - posted).count();
            QApplication::quit();
        });
    });
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, qApp, &QCoreApplication::quit);
    limit.start(10'000);
    QApplication::exec();
    server.join();
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");

    ASSERT_GE(waitedMillis.load(), 0) << "the posted work never ran";
    // A bound on being woken, not a speed figure: the loop is idle.
    EXPECT_LE(waitedMillis.load(), 100);
}

}  // namespace
}  // namespace morvane
