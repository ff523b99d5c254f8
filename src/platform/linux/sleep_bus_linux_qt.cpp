#include "platform/linux/sleep_bus_linux_qt.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QObject>
#include <QVariantMap>

#include <array>
#include <cstdint>
#include <mutex>

namespace morvane {

namespace {

const QString systemd = QStringLiteral("org.freedesktop.systemd1");
const QString systemdPath = QStringLiteral("/org/freedesktop/systemd1");
const QString systemdManager = QStringLiteral("org.freedesktop.systemd1.Manager");
const QString properties = QStringLiteral("org.freedesktop.DBus.Properties");

// The units' objects, named as systemd escapes "sleep.target" and
// "suspend.target" into a path.
const std::array<QString, 2> targetPaths = {
    QStringLiteral("/org/freedesktop/systemd1/unit/sleep_2etarget"),
    QStringLiteral("/org/freedesktop/systemd1/unit/suspend_2etarget"),
};

// A string property, or nothing when the service does not answer (in about
// a second) or answers with something else.
std::optional<QString> readProperty(const QDBusConnection& bus, const QString& service, const QString& path,
                                    const QString& interface, const QString& name) {
    auto call = QDBusMessage::createMethodCall(service, path, properties, QStringLiteral("Get"));
    call << interface << name;
    // A check starts nothing, not even a service the bus could start.
    call.setAutoStartService(false);
    const QDBusMessage reply = bus.call(call, QDBus::Block, 1'000);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 1) return std::nullopt;
    const QVariant value = qvariant_cast<QDBusVariant>(reply.arguments().front()).variant();
    if (value.metaType().id() != QMetaType::QString) return std::nullopt;
    return value.toString();
}

}  // namespace

struct SleepBusWatch::Shared {
    explicit Shared(const QDBusConnection& connection) : bus(connection) {}

    // Something may have changed systemd's answer; `follow` says whether its
    // changes are heard from now on.
    void changed(std::optional<bool> follow = std::nullopt) {
        std::lock_guard guard(lock);
        ++changes;
        kept.reset();
        if (follow) following = *follow;
    }

    bool isFollowing() const {
        std::lock_guard guard(lock);
        return following;
    }

    std::optional<std::vector<std::string>> targetStates() {
        std::uint64_t since = 0;
        {
            std::lock_guard guard(lock);
            if (following && kept) return kept;
            since = changes;
        }
        std::vector<std::string> states;
        for (const auto& path : targetPaths) {
            const auto state = readProperty(bus, systemd, path, QStringLiteral("org.freedesktop.systemd1.Unit"),
                                            QStringLiteral("LoadState"));
            if (!state) return std::nullopt;
            states.push_back(state->toStdString());
        }
        std::lock_guard guard(lock);
        // A change heard while asking may not be in this answer: it is used
        // once, not kept.
        if (changes == since) kept = states;
        return states;
    }

    std::optional<std::string> blockInhibited() {
        const auto what =
            readProperty(bus, QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
                         QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("BlockInhibited"));
        if (!what) return std::nullopt;
        return what->toStdString();
    }

    const QDBusConnection bus;
    mutable std::mutex lock;
    bool following = false;
    std::uint64_t changes = 0;
    std::optional<std::vector<std::string>> kept;
};

class SleepBusWatch::Listener final : public QObject {
    Q_OBJECT
public:
    explicit Listener(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {
        QDBusConnection bus = shared_->bus;
        if (!bus.isConnected()) return;
        // Matched on the name's owner of the moment, so a systemd that comes
        // back is heard again.
        bus.connect(systemd, systemdPath, systemdManager, QStringLiteral("Reloading"), this, SLOT(reloading(bool)));
        bus.connect(systemd, systemdPath, systemdManager, QStringLiteral("UnitFilesChanged"), this,
                    SLOT(unitFilesChanged()));
        for (const auto& path : targetPaths)
            bus.connect(systemd, path, properties, QStringLiteral("PropertiesChanged"), this,
                        SLOT(unitChanged(QString, QVariantMap, QStringList)));
        auto* watcher = new QDBusServiceWatcher(
            systemd, bus, QDBusServiceWatcher::WatchForRegistration | QDBusServiceWatcher::WatchForUnregistration,
            this);
        connect(watcher, &QDBusServiceWatcher::serviceRegistered, this, [this] { subscribe(); });
        connect(watcher, &QDBusServiceWatcher::serviceUnregistered, this, [this] { shared_->changed(false); });
        subscribe();
    }

private slots:
    void reloading(bool) { shared_->changed(); }
    void unitFilesChanged() { shared_->changed(); }
    void unitChanged(const QString&, const QVariantMap&, const QStringList&) { shared_->changed(); }

private:
    // systemd sends its signals only while somebody has subscribed. Its
    // answer is followed from the reply on; whatever it said before then is
    // read again.
    void subscribe() {
        auto call =
            QDBusMessage::createMethodCall(systemd, systemdPath, systemdManager, QStringLiteral("Subscribe"));
        call.setAutoStartService(false);
        auto* pending = new QDBusPendingCallWatcher(shared_->bus.asyncCall(call, 2'000), this);
        connect(pending, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* done) {
            QDBusPendingReply<> reply = *done;
            const QString already = QStringLiteral("org.freedesktop.systemd1.AlreadySubscribed");
            const bool subscribed = !reply.isError() || reply.error().name() == already;
            // A second yes while already following changes nothing.
            if (!subscribed || !shared_->isFollowing()) shared_->changed(subscribed);
            done->deleteLater();
        });
    }

    std::shared_ptr<Shared> shared_;
};

SleepBusWatch::SleepBusWatch(const QDBusConnection& bus)
    : shared_(std::make_shared<Shared>(bus)), listener_(std::make_unique<Listener>(shared_)) {}

SleepBusWatch::~SleepBusWatch() {
    listener_.reset();
    // Nothing hears systemd's changes any more.
    shared_->changed(false);
}

std::function<std::optional<std::vector<std::string>>()> SleepBusWatch::targetStates() const {
    return [shared = shared_] { return shared->targetStates(); };
}

std::function<std::optional<std::string>()> SleepBusWatch::blockInhibited() const {
    return [shared = shared_] { return shared->blockInhibited(); };
}

bool SleepBusWatch::following() const { return shared_->isFollowing(); }

}  // namespace morvane

#include "sleep_bus_linux_qt.moc"
