#include "platform/linux/system_events_linux_qt.h"

#include <unistd.h>

#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDBusVariant>
#include <QObject>
#include <QVariantMap>

namespace morvane {

namespace {

const QString login1 = QStringLiteral("org.freedesktop.login1");

class DBusSystemEvents final : public QObject, public SystemEventsWatch {
    Q_OBJECT
public:
    explicit DBusSystemEvents(std::function<void()> away) : away_(std::move(away)) {
        QDBusConnection bus = QDBusConnection::systemBus();
        if (!bus.isConnected()) return;
        listening_ = bus.connect(login1, QStringLiteral("/org/freedesktop/login1"),
                                 QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("PrepareForSleep"),
                                 this, SLOT(prepareForSleep(bool)));
        // This process's own login session, whose properties say whether it
        // is in front and whether it is locked.
        QDBusInterface manager(login1, QStringLiteral("/org/freedesktop/login1"),
                               QStringLiteral("org.freedesktop.login1.Manager"), bus);
        const QDBusReply<QDBusObjectPath> session =
            manager.call(QStringLiteral("GetSessionByPID"), static_cast<quint32>(::getpid()));
        if (session.isValid())
            bus.connect(login1, session.value().path(), QStringLiteral("org.freedesktop.DBus.Properties"),
                        QStringLiteral("PropertiesChanged"), this,
                        SLOT(sessionChanged(QString, QVariantMap, QStringList)));
    }
    bool listening() const override { return listening_; }

private slots:
    void prepareForSleep(bool start) {
        if (start) away_();
    }
    void sessionChanged(const QString& interface, const QVariantMap& changed, const QStringList&) {
        if (interface != QStringLiteral("org.freedesktop.login1.Session")) return;
        const auto active = changed.find(QStringLiteral("Active"));
        const auto locked = changed.find(QStringLiteral("LockedHint"));
        const bool switchedAway = active != changed.end() && !active->toBool();
        const bool nowLocked = locked != changed.end() && locked->toBool();
        if (switchedAway || nowLocked) away_();
    }

private:
    std::function<void()> away_;
    bool listening_ = false;
};

}  // namespace

std::unique_ptr<SystemEventsWatch> watchSystemEvents(std::function<void()> away) {
    return std::make_unique<DBusSystemEvents>(std::move(away));
}

}  // namespace morvane

#include "system_events_linux_qt.moc"
