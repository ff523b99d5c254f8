// The screen lockers heard and asked over a private session bus, from
// stand-in screen savers of each desktop: the watch follows their signal,
// the locker's looks and locks travel over the same connection, a saver that
// answers late is waited for, a flood of news makes few questions, and
// Cinnamon's backup keeps the screen counted as locked while the saver is
// gone and once it is back beside it, until the cover is ended.
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QTimer>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "../app/idle_server.h"
#include "app/main_queue_qt.h"
#include "app/shell.h"
#include "platform/linux/locker_linux.h"
#include "platform/linux/locker_watch_linux_qt.h"
#include "private_bus.h"

namespace morvane {
namespace {

using testing::PrivateBus;
using testing::pumpUntil;

// A screen saver of the bus: answers GetActive and Lock (which makes it
// active, `lockDelayMillis` after the ask, before its reply), says
// ActiveChanged, and counts what it was asked. Like the real ones,
// Cinnamon's refuses a Lock without the message to show, and MATE's never
// replies to one.
class StandInSaver final : public QDBusVirtualObject {
public:
    StandInSaver(QDBusConnection bus, const BusScreenSaver& saver, bool active, int lockDelayMillis = 0)
        : bus_(std::move(bus)), service_(QString::fromLatin1(saver.service)), path_(QString::fromLatin1(saver.path)),
          active_(active), lockDelayMillis_(lockDelayMillis) {
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
            const bool takesMessage = service_ == QStringLiteral("org.cinnamon.ScreenSaver");
            if (message.signature() != (takesMessage ? QStringLiteral("s") : QString())) {
                connection.send(message.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs"),
                                                         QStringLiteral("wrong arguments")));
                return true;
            }
            ++locks;
            QTimer::singleShot(lockDelayMillis_, &context_, [this, message, connection] {
                if (refusesLocks) {
                    connection.send(message.createReply());
                    return;
                }
                change(true);
                if (service_ != QStringLiteral("org.mate.ScreenSaver")) connection.send(message.createReply());
            });
            return true;
        }
        if (message.member() != QStringLiteral("GetActive")) return false;
        ++questions;
        connection.send(message.createReply(QVariant(active_)));
        return true;
    }
    int questions = 0, locks = 0;
    // Replies to Lock without locking, as Cinnamon's does started again
    // beside its backup locker, which holds the keyboard.
    bool refusesLocks = false;

private:
    QDBusConnection bus_;
    QString service_, path_;
    bool active_;
    int lockDelayMillis_;
    QObject context_;
};

// Two connections to one private bus, the watch's and the savers', and no
// system bus.
struct Buses {
    explicit Buses(const QString& name)
        : name_(name),
          watch(QDBusConnection::connectToBus(QString::fromStdString(bus.address()), name)),
          savers(QDBusConnection::connectToBus(QString::fromStdString(bus.address()), name + "-savers")) {}
    ~Buses() {
        QDBusConnection::disconnectFromBus(name_);
        QDBusConnection::disconnectFromBus(name_ + "-savers");
    }
    QString name_;
    PrivateBus bus;
    QDBusConnection watch, savers;
    QDBusConnection none{QStringLiteral("morvane-no-system-bus")};
};

template <class T>
std::optional<T> awaited(const std::function<void(std::function<void(T)>)>& ask, int millis = 10'000) {
    std::optional<T> got;
    ask([&got](T value) { got = value; });
    pumpUntil([&] { return got.has_value(); }, millis);
    return got;
}

std::optional<ScreenLocker::Look> lookAt(ScreenLocker& locker) {
    return awaited<ScreenLocker::Look>([&](auto done) { locker.look(std::move(done)); });
}
std::optional<bool> lockWith(ScreenLocker& locker) {
    return awaited<bool>([&](auto done) { locker.lock(std::move(done)); });
}

TEST(ScreenLockWatch, FollowsEachDesktopsSaverAndAsksItOverTheSameConnection) {
    int round = 0;
    for (const auto& saver : busScreenSavers) {
        SCOPED_TRACE(saver.service);
        Buses buses(QStringLiteral("watch-%1").arg(++round));
        ASSERT_TRUE(buses.watch.isConnected() && buses.savers.isConnected()) << "dbus-daemon did not start";
        int moved = 0;
        ScreenLockWatch watch(buses.watch, buses.none, nullptr, [&] { ++moved; });
        ScreenLocker locker(nullptr, &watch, watch.xscreensaver());
        EXPECT_FALSE(watch.hearing());
        EXPECT_FALSE(watch.locked());
        EXPECT_EQ(lookAt(locker), (ScreenLocker::Look{false, false}));

        auto standIn = std::make_unique<StandInSaver>(buses.savers, saver, false);
        ASSERT_TRUE(pumpUntil([&] { return watch.hearing(); })) << "the saver's coming was not heard";
        EXPECT_FALSE(watch.locked());
        for (const bool active : {true, false}) {
            standIn->change(active);
            EXPECT_TRUE(pumpUntil([&] { return watch.locked() == active; })) << "ActiveChanged " << active;
        }
        EXPECT_EQ(lookAt(locker), (ScreenLocker::Look{true, false}));
        EXPECT_EQ(lockWith(locker), true);
        EXPECT_EQ(standIn->locks, 1);
        EXPECT_TRUE(pumpUntil([&] { return watch.locked(); }));
        EXPECT_EQ(lookAt(locker), (ScreenLocker::Look{true, true}));

        // Gone while locked: told at once. MATE's and the others' screens
        // unlock with them; Cinnamon's backup keeps the screen covered, and
        // it stays counted as locked and able to lock.
        const int movedBefore = moved;
        standIn.reset();
        ASSERT_TRUE(pumpUntil([&] { return moved > movedBefore; })) << "the saver's leaving was not told";
        const bool covered = saver.coveredWhileGone;
        EXPECT_EQ(watch.locked(), covered);
        EXPECT_EQ(lookAt(locker), (ScreenLocker::Look{covered, covered}));

        // Back, unlocked. Cinnamon's beside its backup cannot lock: the
        // cover's word stands, a Lock is answered from it and still asked,
        // and the desktop's way out of the cover, which ends the saver too,
        // ends it.
        standIn = std::make_unique<StandInSaver>(buses.savers, saver, false);
        if (covered) {
            standIn->refusesLocks = true;
            ASSERT_TRUE(pumpUntil([&] { return standIn->questions > 0; })) << "the saver's coming was not heard";
            EXPECT_EQ(lookAt(locker), (ScreenLocker::Look{true, true}));
            EXPECT_TRUE(watch.locked());
            EXPECT_EQ(lockWith(locker), true);
            EXPECT_TRUE(pumpUntil([&] { return standIn->locks == 1; }));
            EXPECT_EQ(lookAt(locker), (ScreenLocker::Look{true, true}));
            standIn.reset();
            ASSERT_TRUE(pumpUntil([&] { return !watch.locked(); })) << "the cover's end was not told";
            EXPECT_EQ(lookAt(locker), (ScreenLocker::Look{false, false}));
            standIn = std::make_unique<StandInSaver>(buses.savers, saver, false);
        }
        // The others, and Cinnamon's once its cover is gone: found again,
        // believed, and it takes the next lock.
        ASSERT_TRUE(pumpUntil([&] { return watch.hearing() && !watch.locked(); }));
        EXPECT_EQ(lookAt(locker), (ScreenLocker::Look{true, false}));
        EXPECT_EQ(lockWith(locker), true);
        EXPECT_EQ(standIn->locks, 1);
    }
}

// A saver that holds its name a moment before its object answers, as one
// starting up does: asked again until it answers.
TEST(ScreenLockWatch, ASaverWhoseNameComesBeforeItsAnswersIsFoundAgain) {
    Buses buses(QStringLiteral("refind"));
    ASSERT_TRUE(buses.watch.isConnected() && buses.savers.isConnected()) << "dbus-daemon did not start";
    ScreenLockWatch watch(buses.watch, buses.none, nullptr);
    const auto& cinnamon = busScreenSavers[3];
    buses.savers.registerService(QString::fromLatin1(cinnamon.service));
    pumpUntil([] { return false; }, 700);
    EXPECT_FALSE(watch.hearing());
    buses.savers.unregisterService(QString::fromLatin1(cinnamon.service));
    StandInSaver standIn(buses.savers, cinnamon, true);
    EXPECT_TRUE(pumpUntil([&] { return watch.hearing() && watch.locked(); }, 5'000));
}

// What the shell tells the session, in order.
class ToldServer final : public testing::IdleServer {
public:
    void setLockFacts(bool canLock, bool) override { told.push_back(canLock ? "can" : "cannot"); }
    void lockAnswered(std::uint64_t ask, bool locked) override {
        told.push_back("answer " + std::to_string(ask) + (locked ? " locked" : " not locked"));
    }
    std::vector<std::string> told;
};

struct NoPrompt final : OwnerPrompt {
    void ask(const std::string&, std::function<void(bool)> done) override { done(false); }
    void cancel() override {}
};

// The tray's wiring on Qt's loop: the watch's news has the shell look again.
struct WiredShell {
    WiredShell(const QDBusConnection& bus, const QDBusConnection& none)
        : watch(bus, none, nullptr,
                [this] {
                    main.post([this] {
                        if (shell) shell->lockerMoved();
                    });
                }),
          locker(nullptr, &watch, nullptr) {
        ShellDeps deps;
        deps.main = &main;
        deps.prompt = &prompt;
        deps.server = &server;
        deps.lookAtLocker = [this](std::function<void(LockerLook)> answer) {
            locker.look([answer](ScreenLocker::Look look) { answer(LockerLook{look.answers, look.locked}); });
        };
        deps.tryLock = [this](std::function<void(bool)> done) { locker.lock(std::move(done)); };
        shell = Shell::create(std::move(deps));
        shell->loadSettings();
        shell->lookAtLockerAtLaunch();
    }
    ~WiredShell() { shell.reset(); }
    // What the phone was answered to its Locks, in order.
    std::vector<std::string> answers() const {
        std::vector<std::string> out;
        for (const auto& line : server.told)
            if (line.starts_with("answer")) out.push_back(line);
        return out;
    }
    QtMainQueue main;
    ToldServer server;
    NoPrompt prompt;
    ScreenLockWatch watch;
    ScreenLocker locker;
    std::shared_ptr<Shell> shell;
};

// A saver that takes 2.5 s to lock and answer, on a busy desktop: the phone
// is told "locked" once, never "not locked" first.
TEST(ShellOverTheBus, ASaverThatLocksLateIsToldLockedOnce) {
    Buses buses(QStringLiteral("late"));
    ASSERT_TRUE(buses.watch.isConnected() && buses.savers.isConnected()) << "dbus-daemon did not start";
    StandInSaver mate(buses.savers, busScreenSavers[2], false, 2'500);
    WiredShell wired(buses.watch, buses.none);
    ASSERT_TRUE(pumpUntil([&] { return wired.watch.hearing(); }));
    wired.shell->lockAsked(1);
    ASSERT_TRUE(pumpUntil([&] { return !wired.answers().empty(); }, 15'000));
    pumpUntil([] { return false; }, 500);
    EXPECT_EQ(wired.answers(), std::vector<std::string>{"answer 1 locked"});
    EXPECT_EQ(mate.locks, 1);
}

// MATE's saver, which never replies to Lock, unlocked by its user right
// after it locked: the next Lock is asked of it, and told.
TEST(ShellOverTheBus, ALockRightAfterAnUnlockIsAskedOfASaverThatNeverReplies) {
    Buses buses(QStringLiteral("again"));
    ASSERT_TRUE(buses.watch.isConnected() && buses.savers.isConnected()) << "dbus-daemon did not start";
    StandInSaver mate(buses.savers, busScreenSavers[2], false);
    WiredShell wired(buses.watch, buses.none);
    ASSERT_TRUE(pumpUntil([&] { return wired.watch.hearing(); }));
    wired.shell->lockAsked(1);
    ASSERT_TRUE(pumpUntil([&] { return wired.answers().size() == 1; }));
    mate.change(false);
    ASSERT_TRUE(pumpUntil([&] { return !wired.watch.locked(); }));
    pumpUntil([] { return false; }, 500);
    wired.shell->lockAsked(2);
    EXPECT_TRUE(pumpUntil([&] { return wired.answers().size() == 2; }, 10'000));
    EXPECT_EQ(wired.answers(), (std::vector<std::string>{"answer 1 locked", "answer 2 locked"}));
    EXPECT_EQ(mate.locks, 2);
}

// A saver that flips ActiveChanged every 10 ms: the shell follows it with a
// few looks a second, each one question to the saver.
TEST(ShellOverTheBus, ASaverFlippingItsStateIsAskedAFewTimesASecond) {
    Buses buses(QStringLiteral("flood"));
    ASSERT_TRUE(buses.watch.isConnected() && buses.savers.isConnected()) << "dbus-daemon did not start";
    StandInSaver xfce(buses.savers, busScreenSavers[4], false);
    WiredShell wired(buses.watch, buses.none);
    ASSERT_TRUE(pumpUntil([&] { return wired.watch.hearing(); }));
    pumpUntil([] { return false; }, 300);
    const int before = xfce.questions;
    QTimer flipper;
    bool active = false;
    QObject::connect(&flipper, &QTimer::timeout, [&] { xfce.change(active = !active); });
    flipper.start(10);
    const auto start = std::chrono::steady_clock::now();
    pumpUntil([] { return false; }, 3'000);
    flipper.stop();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const int asked = xfce.questions - before;
    EXPECT_GE(asked, 2) << "the news was not followed";
    // A few a second, however often it flips.
    EXPECT_LE(asked, static_cast<int>(seconds * 5) + 2);
}

}  // namespace
}  // namespace morvane
