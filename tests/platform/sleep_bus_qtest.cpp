// Whether sleep is disabled, asked over a private bus of stand-in systemd and
// logind services: while they answer, a check starts no program, systemd is
// asked again only after it signals a change and logind at every check;
// where a service is missing, its command-line tool answers.
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <string>

#include "../app/manual_executor.h"
#include "app/system_state.h"
#include "platform/linux/sleep_bus_linux_qt.h"
#include "private_bus.h"

namespace morvane {
namespace {

using testing::PrivateBus;
using testing::pumpUntil;

const QString sleepTarget = QStringLiteral("/org/freedesktop/systemd1/unit/sleep_2etarget");
const QString suspendTarget = QStringLiteral("/org/freedesktop/systemd1/unit/suspend_2etarget");

// A service of the bus answering property reads (and systemd's Subscribe)
// from a table of path and name, and sending the signals it is told to.
class StandInService final : public QDBusVirtualObject {
public:
    StandInService(QDBusConnection bus, QString service, QString path)
        : bus_(std::move(bus)), service_(std::move(service)), path_(std::move(path)) {}
    ~StandInService() override { leave(); }
    void join() {
        bus_.registerVirtualObject(path_, this, QDBusConnection::SubPath);
        bus_.registerService(service_);
    }
    void leave() {
        bus_.unregisterService(service_);
        bus_.unregisterObject(path_, QDBusConnection::UnregisterTree);
    }
    void set(const QString& path, const QString& name, const QString& value) { values_[path + ' ' + name] = value; }
    void signal(const QString& path, const QString& interface, const QString& name, const QVariantList& args = {}) {
        auto message = QDBusMessage::createSignal(path, interface, name);
        message.setArguments(args);
        bus_.send(message);
    }
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (message.member() == QStringLiteral("Subscribe")) {
            ++subscribes;
            connection.send(message.createReply());
            return true;
        }
        if (message.member() != QStringLiteral("Get") || message.arguments().size() != 2) return false;
        const auto found = values_.find(message.path() + ' ' + message.arguments()[1].toString());
        if (found == values_.end()) {
            connection.send(message.createErrorReply(QDBusError::UnknownProperty, QStringLiteral("no such property")));
            return true;
        }
        ++gets;
        connection.send(message.createReply(QVariant::fromValue(QDBusVariant(found->second))));
        return true;
    }

    int gets = 0;
    int subscribes = 0;

private:
    QDBusConnection bus_;
    QString service_, path_;
    std::map<QString, QString> values_;
};

TEST(SleepBusWatch, FollowsSystemdsSignalsAsksLogindAtEachCheckAndStartsNoProgramWhileTheyAnswer) {
    PrivateBus bus;
    ASSERT_FALSE(bus.address().empty()) << "dbus-daemon did not start";
    QDBusConnection watchBus = QDBusConnection::connectToBus(QString::fromStdString(bus.address()), "sleep-watch");
    QDBusConnection serviceBus = QDBusConnection::connectToBus(QString::fromStdString(bus.address()), "sleep-services");
    ASSERT_TRUE(watchBus.isConnected() && serviceBus.isConnected());

    const auto power = std::filesystem::temp_directory_path() / ("sleep-bus-test-" + std::to_string(::getpid()));
    std::ofstream(power) << "freeze mem\n";
    // The tools, counted, answering that sleep.target is masked.
    std::vector<std::string> started;
    const SystemState::Run run = [&](const std::vector<std::string>& argv, std::int64_t) -> std::optional<std::string> {
        started.push_back(argv[0]);
        if (argv[0] == "/usr/bin/systemctl") return "LoadState=masked\n\nLoadState=loaded\n";
        return "BlockInhibited=handle-lid-switch\n";
    };

    SleepBusWatch watch(watchBus);
    const SystemState::SleepBus answers{watch.targetStates(), watch.blockInhibited()};
    ::morvane::testing::ManualExecutor queue;
    std::int64_t now = 0;
    CachedProbe probe(queue, [&] { return SystemState::readSleepDisabled(answers, run, power); }, 4'000,
                      [&] { return now; });
    // One check on the reader's pace: the reads run on a thread of their own,
    // as on the host, while this one turns the loop that the services answer on.
    const auto check = [&] {
        now += 4'001;
        probe.value();
        auto reads = std::async(std::launch::async, [&] { queue.runAll(); });
        EXPECT_TRUE(pumpUntil([&] { return reads.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
        return probe.value();
    };

    // Nobody on the bus: the tools answer.
    EXPECT_TRUE(check());
    EXPECT_EQ(started, (std::vector<std::string>{"/usr/bin/systemctl", "/usr/bin/loginctl"}));
    EXPECT_FALSE(watch.following());

    StandInService systemd(serviceBus, "org.freedesktop.systemd1", "/org/freedesktop/systemd1");
    StandInService logind(serviceBus, "org.freedesktop.login1", "/org/freedesktop/login1");
    systemd.set(sleepTarget, "LoadState", "loaded");
    systemd.set(suspendTarget, "LoadState", "loaded");
    logind.set("/org/freedesktop/login1", "BlockInhibited", "handle-lid-switch");
    systemd.join();
    logind.join();
    ASSERT_TRUE(pumpUntil([&] { return watch.following(); })) << "systemd was not subscribed to";
    EXPECT_EQ(systemd.subscribes, 1);

    started.clear();
    for (int i = 0; i < 5; ++i) EXPECT_FALSE(check());
    EXPECT_EQ(systemd.gets, 2) << "systemd is asked once for both targets, then kept";
    EXPECT_EQ(logind.gets, 5) << "logind signals no inhibitor: asked at every check";
    logind.set("/org/freedesktop/login1", "BlockInhibited", "shutdown:sleep");
    EXPECT_TRUE(check());
    logind.set("/org/freedesktop/login1", "BlockInhibited", "");
    EXPECT_FALSE(check());

    // systemd's word is kept until it signals; each of its signals is followed.
    const struct {
        const char* signal;
        QString path, interface, name;
        QVariantList args;
    } signals_[] = {
        {"Reloading", "/org/freedesktop/systemd1", "org.freedesktop.systemd1.Manager", "Reloading", {false}},
        {"UnitFilesChanged", "/org/freedesktop/systemd1", "org.freedesktop.systemd1.Manager", "UnitFilesChanged", {}},
        {"PropertiesChanged", suspendTarget, "org.freedesktop.DBus.Properties", "PropertiesChanged",
         {QStringLiteral("org.freedesktop.systemd1.Unit"), QVariantMap{}, QStringList{QStringLiteral("LoadState")}}},
    };
    bool masked = false;
    for (const auto& row : signals_) {
        SCOPED_TRACE(row.signal);
        masked = !masked;
        systemd.set(row.path == suspendTarget ? suspendTarget : sleepTarget, "LoadState", masked ? "masked" : "loaded");
        if (row.path == suspendTarget) systemd.set(sleepTarget, "LoadState", "loaded");
        EXPECT_EQ(check(), !masked) << "read again without a signal";
        systemd.signal(row.path, row.interface, row.name, row.args);
        EXPECT_TRUE(pumpUntil([&] { return check() == masked; }));
    }
    EXPECT_TRUE(started.empty()) << "a program was started while the services answer";

    // systemd leaves: its tool answers for it alone; back, it is asked again.
    systemd.leave();
    ASSERT_TRUE(pumpUntil([&] { return !watch.following(); }));
    started.clear();
    EXPECT_TRUE(check());
    EXPECT_EQ(started, std::vector<std::string>{"/usr/bin/systemctl"});
    systemd.set(sleepTarget, "LoadState", "loaded");
    systemd.set(suspendTarget, "LoadState", "loaded");
    systemd.join();
    ASSERT_TRUE(pumpUntil([&] { return watch.following(); }));
    started.clear();
    EXPECT_FALSE(check());
    EXPECT_TRUE(started.empty());

    std::filesystem::remove(power);
    QDBusConnection::disconnectFromBus("sleep-watch");
    QDBusConnection::disconnectFromBus("sleep-services");
}

}  // namespace
}  // namespace morvane
