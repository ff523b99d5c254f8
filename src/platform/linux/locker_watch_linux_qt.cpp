#include "platform/linux/locker_watch_linux_qt.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QObject>

#include <array>
#include <mutex>
#include <optional>

#include "platform/linux/locker_linux.h"

namespace morvane {

// One screen saver's ActiveChanged, told with the saver's place in the table.
class SaverSignal final : public QObject {
    Q_OBJECT
public:
    SaverSignal(std::size_t index, std::function<void(std::size_t, bool)> heard, QObject* parent)
        : QObject(parent), index_(index), heard_(std::move(heard)) {}
public slots:
    void changed(bool active) { heard_(index_, active); }

private:
    std::size_t index_;
    std::function<void(std::size_t, bool)> heard_;
};

class ScreenLockWatch::Listener final : public QObject {
    Q_OBJECT
public:
    Listener(const QDBusConnection& bus, std::function<void()> moved) : bus_(bus), moved_(std::move(moved)) {
        if (!bus_.isConnected()) return;
        for (std::size_t i = 0; i < busScreenSavers.size(); ++i) {
            const QString service = QString::fromLatin1(busScreenSavers[i].service);
            const QString path = QString::fromLatin1(busScreenSavers[i].path);
            // Matched on the name's owner of the moment, so a saver that
            // restarts is heard again.
            auto* signal = new SaverSignal(i, [this](std::size_t at, bool active) { set(at, active); }, this);
            bus_.connect(service, path, service, QStringLiteral("ActiveChanged"), signal, SLOT(changed(bool)));
            auto* watcher = new QDBusServiceWatcher(
                service, bus_, QDBusServiceWatcher::WatchForRegistration | QDBusServiceWatcher::WatchForUnregistration,
                this);
            connect(watcher, &QDBusServiceWatcher::serviceRegistered, this, [this, i] { ask(i); });
            connect(watcher, &QDBusServiceWatcher::serviceUnregistered, this, [this, i] { set(i, std::nullopt); });
            ask(i);
        }
    }

    std::optional<bool> heard() const {
        std::lock_guard guard(lock_);
        for (const auto& state : states_)
            if (state) return state;
        return std::nullopt;
    }

private:
    // Asked without waiting: the answer comes on the loop. A saver that
    // does not answer, or answers with something else, is not counted.
    void ask(std::size_t i) {
        const QString service = QString::fromLatin1(busScreenSavers[i].service);
        auto call = QDBusMessage::createMethodCall(service, QString::fromLatin1(busScreenSavers[i].path), service,
                                                   QStringLiteral("GetActive"));
        // Asking must not start a saver that is installed but not running:
        // the desktop's own locker is the one that runs.
        call.setAutoStartService(false);
        auto* pending = new QDBusPendingCallWatcher(bus_.asyncCall(call, 2'000), this);
        connect(pending, &QDBusPendingCallWatcher::finished, this, [this, i](QDBusPendingCallWatcher* done) {
            QDBusPendingReply<bool> reply = *done;
            set(i, reply.isError() ? std::nullopt : std::optional<bool>(reply.value()));
            done->deleteLater();
        });
    }

    void set(std::size_t i, std::optional<bool> state) {
        bool news = false;
        {
            std::lock_guard guard(lock_);
            const auto before = firstHeard();
            states_[i] = state;
            news = firstHeard() != before;
        }
        if (news && moved_) moved_();
    }
    std::optional<bool> firstHeard() const {
        for (const auto& state : states_)
            if (state) return state;
        return std::nullopt;
    }

    QDBusConnection bus_;
    std::function<void()> moved_;
    mutable std::mutex lock_;
    std::array<std::optional<bool>, busScreenSavers.size()> states_;
};

ScreenLockWatch::ScreenLockWatch(const QDBusConnection& bus, std::function<bool()> poll, std::function<void()> moved)
    : listener_(std::make_unique<Listener>(bus, moved)), poll_(std::move(poll)), moved_(std::move(moved)) {}

ScreenLockWatch::~ScreenLockWatch() = default;

bool ScreenLockWatch::locked() {
    if (const auto heard = listener_->heard()) {
        polled_.store(-1);
        return *heard;
    }
    const bool now = poll_ ? poll_() : false;
    // Only a change of the poll's own answer is news: what the bus said
    // before was told when the saver left.
    const int was = polled_.exchange(now ? 1 : 0);
    if (was >= 0 && was != (now ? 1 : 0) && moved_) moved_();
    return now;
}

bool ScreenLockWatch::hearing() const { return listener_->heard().has_value(); }

}  // namespace morvane

#include "locker_watch_linux_qt.moc"
