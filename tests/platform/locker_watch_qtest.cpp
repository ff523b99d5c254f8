// The screen locker's state heard over a private session bus from a stand-in
// screen saver: while one answers, a check starts no program; when it leaves
// the bus, the command-line poll answers again. And each desktop's saver
// locked and asked through the real command-line tools.
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>

#include "platform/linux/locker_linux.h"
#include "platform/linux/locker_watch_linux_qt.h"
#include "private_bus.h"

namespace morvane {
namespace {

using testing::PrivateBus;
using testing::pumpUntil;

// A screen saver of the bus: answers GetActive and Lock (which makes it
// active) and says ActiveChanged.
class StandInSaver final : public QDBusVirtualObject {
public:
    StandInSaver(QDBusConnection bus, QString service, QString path, bool active)
        : bus_(std::move(bus)), service_(std::move(service)), path_(std::move(path)), active_(active) {
        bus_.registerVirtualObject(path_, this);
        bus_.registerService(service_);
    }
    ~StandInSaver() override { leave(); }
    void change(bool active) {
        active_ = active;
        auto signal = QDBusMessage::createSignal(path_, service_, QStringLiteral("ActiveChanged"));
        signal << active;
        bus_.send(signal);
    }
    void leave() {
        bus_.unregisterService(service_);
        bus_.unregisterObject(path_);
    }
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (message.member() == QStringLiteral("Lock")) {
            connection.send(message.createReply());
            change(true);
            return true;
        }
        if (message.member() != QStringLiteral("GetActive")) return false;
        connection.send(message.createReply(QVariant(active_)));
        return true;
    }

private:
    QDBusConnection bus_;
    QString service_, path_;
    bool active_;
};

TEST(ScreenLockWatch, FollowsTheScreenSaversSignalAndStartsNoProgramWhileOneAnswers) {
    int round = 0;
    for (const auto& saver : busScreenSavers) {
        SCOPED_TRACE(saver.service);
        PrivateBus bus;
        ASSERT_FALSE(bus.address().empty()) << "dbus-daemon did not start";
        const QString name = QStringLiteral("watch-%1").arg(++round);
        QDBusConnection watchBus = QDBusConnection::connectToBus(QString::fromStdString(bus.address()), name);
        QDBusConnection saverBus = QDBusConnection::connectToBus(QString::fromStdString(bus.address()), name + "-saver");
        ASSERT_TRUE(watchBus.isConnected() && saverBus.isConnected());

        // The command-line check, with every program it would start counted
        // and answered as xscreensaver does while the screen is locked.
        int started = 0;
        ScreenLocker locker(nullptr, [&](const std::vector<std::string>& argv, std::int64_t) {
            ++started;
            CommandResult r;
            if (argv[0] != "xscreensaver-command") return CommandResult{CommandResult::Kind::missing, -1, ""};
            r.kind = CommandResult::Kind::exited;
            r.status = 0;
            r.output = "XScreenSaver 6.06: screen locked since Mon Dec  7 08:39:42 2026\n";
            return r;
        });
        int moved = 0;
        ScreenLockWatch watch(watchBus, [&] { return locker.isLocked(); }, [&] { ++moved; });

        // Nobody on the bus: the poll answers, and starts its programs.
        pumpUntil([] { return false; }, 100);
        EXPECT_FALSE(watch.hearing());
        EXPECT_TRUE(watch.locked());
        EXPECT_GT(started, 0);

        {
            StandInSaver standIn(saverBus, saver.service, saver.path, false);
            ASSERT_TRUE(pumpUntil([&] { return watch.hearing(); })) << "the saver's state was not asked";
            started = 0;
            EXPECT_FALSE(watch.locked());
            for (const bool active : {true, false, true}) {
                standIn.change(active);
                EXPECT_TRUE(pumpUntil([&] { return watch.locked() == active; })) << "ActiveChanged " << active;
            }
            for (int check = 0; check < 100; ++check) EXPECT_TRUE(watch.locked());
            EXPECT_EQ(started, 0) << "a program was started while the saver answers";
        }
        // It left the bus: the poll stands in again, and the owner heard it.
        const int movedBefore = moved;
        ASSERT_TRUE(pumpUntil([&] { return !watch.hearing(); }));
        EXPECT_GT(moved, movedBefore) << "the saver's leaving was not told";
        EXPECT_TRUE(watch.locked());
        EXPECT_GT(started, 0);
        QDBusConnection::disconnectFromBus(name);
        QDBusConnection::disconnectFromBus(name + "-saver");
    }
}

// Each desktop's saver, alone on the bus, through dbus-send as the host
// runs it: Lock locks it and is said to, the look finds it locked, and when
// it goes away while the screen is locked, the look says no locker answers.
TEST(ScreenLocker, LocksAndAsksEachDesktopsSaverThroughTheRealTools) {
    int round = 0;
    for (const auto& saver : busScreenSavers) {
        SCOPED_TRACE(saver.service);
        PrivateBus bus;
        ASSERT_FALSE(bus.address().empty()) << "dbus-daemon did not start";
        const char* old = std::getenv("DBUS_SESSION_BUS_ADDRESS");
        const std::string kept = old ? old : "";
        ::setenv("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str(), 1);
        const QString name = QStringLiteral("tools-%1").arg(++round);
        {
            QDBusConnection saverBus = QDBusConnection::connectToBus(QString::fromStdString(bus.address()), name);
            ASSERT_TRUE(saverBus.isConnected());
            auto standIn = std::make_unique<StandInSaver>(saverBus, saver.service, saver.path, false);
            // The programs run beside the loop that answers them.
            const auto offTheLoop = [](auto job) {
                auto done = std::async(std::launch::async, job);
                pumpUntil([&] { return done.wait_for(std::chrono::seconds(0)) == std::future_status::ready; });
                return done.get();
            };
            ScreenLocker locker(nullptr);
            const auto before = offTheLoop([&] { return locker.look(); });
            EXPECT_TRUE(before.answers);
            EXPECT_FALSE(before.locked);
            EXPECT_TRUE(offTheLoop([&] { return locker.lock(); }));
            const auto after = offTheLoop([&] { return locker.look(); });
            EXPECT_TRUE(after.answers);
            EXPECT_TRUE(after.locked);
            standIn.reset();
            const auto gone = offTheLoop([&] { return locker.look(); });
            EXPECT_FALSE(gone.locked);
        }
        QDBusConnection::disconnectFromBus(name);
        if (old)
            ::setenv("DBUS_SESSION_BUS_ADDRESS", kept.c_str(), 1);
        else
            ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }
}

}  // namespace
}  // namespace morvane
