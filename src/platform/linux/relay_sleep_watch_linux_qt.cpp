#include "platform/linux/relay_sleep_watch_linux_qt.h"

#include <QDBusConnection>
#include <QObject>

namespace morvane {

namespace {

class LogindSleepWatch final : public QObject, public RelaySleepWatch {
    Q_OBJECT
public:
    LogindSleepWatch(std::function<void()> willSleep, std::function<void()> didWake)
        : willSleep_(std::move(willSleep)), didWake_(std::move(didWake)) {
        QDBusConnection bus = QDBusConnection::systemBus();
        if (!bus.isConnected()) return;
        listening_ = bus.connect(QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
                                 QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("PrepareForSleep"),
                                 this, SLOT(prepareForSleep(bool)));
    }
    bool listening() const override { return listening_; }

private slots:
    void prepareForSleep(bool start) {
        const auto& report = start ? willSleep_ : didWake_;
        if (report) report();
    }

private:
    std::function<void()> willSleep_, didWake_;
    bool listening_ = false;
};

}  // namespace

std::unique_ptr<RelaySleepWatch> watchRelaySleep(std::function<void()> willSleep, std::function<void()> didWake) {
    return std::make_unique<LogindSleepWatch>(std::move(willSleep), std::move(didWake));
}

}  // namespace morvane

#include "relay_sleep_watch_linux_qt.moc"
