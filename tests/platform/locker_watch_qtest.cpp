// The screen locker's state heard over a private session bus from a stand-in
// screen saver: while one answers, a check starts no program; when it leaves
// the bus, the command-line poll answers again.
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <gtest/gtest.h>

#include <string>

#include "platform/linux/locker_linux.h"
#include "platform/linux/locker_watch_linux_qt.h"
#include "private_bus.h"

namespace morvane {
namespace {

using testing::PrivateBus;
using testing::pumpUntil;

// A screen saver of the bus: answers GetActive and says ActiveChanged.
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
    const struct {
        const char* service;
        const char* path;
    } savers[] = {
        {"org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver"},
        {"org.gnome.ScreenSaver", "/org/gnome/ScreenSaver"},
    };
    int round = 0;
    for (const auto& saver : savers) {
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
        ScreenLockWatch watch(watchBus, [&] { return locker.isLocked(); });

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
        // It left the bus: the poll stands in again.
        ASSERT_TRUE(pumpUntil([&] { return !watch.hearing(); }));
        EXPECT_TRUE(watch.locked());
        EXPECT_GT(started, 0);
        QDBusConnection::disconnectFromBus(name);
        QDBusConnection::disconnectFromBus(name + "-saver");
    }
}

}  // namespace
}  // namespace morvane
