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

namespace morvane {

namespace {

struct Source {
    const char* service;
    const char* path;
};

// In the order the command-line check asks them; the first that answers
// has the last word. KDE, Xfce and others answer the freedesktop name;
// GNOME Shell its own.
constexpr std::array<Source, 2> sources = {{
    {"org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver"},
    {"org.gnome.ScreenSaver", "/org/gnome/ScreenSaver"},
}};

}  // namespace

class ScreenLockWatch::Listener final : public QObject {
    Q_OBJECT
public:
    explicit Listener(const QDBusConnection& bus) : bus_(bus) {
        if (!bus_.isConnected()) return;
        for (std::size_t i = 0; i < sources.size(); ++i) {
            const QString service = QString::fromLatin1(sources[i].service);
            const QString path = QString::fromLatin1(sources[i].path);
            // Matched on the name's owner of the moment, so a saver that
            // restarts is heard again.
            bus_.connect(service, path, service, QStringLiteral("ActiveChanged"), this,
                         i == 0 ? SLOT(firstChanged(bool)) : SLOT(secondChanged(bool)));
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

private slots:
    void firstChanged(bool active) { set(0, active); }
    void secondChanged(bool active) { set(1, active); }

private:
    // Asked without waiting: the answer comes on the loop. A saver that
    // does not answer, or answers with something else, is not counted.
    void ask(std::size_t i) {
        const QString service = QString::fromLatin1(sources[i].service);
        auto call = QDBusMessage::createMethodCall(service, QString::fromLatin1(sources[i].path), service,
                                                   QStringLiteral("GetActive"));
        auto* pending = new QDBusPendingCallWatcher(bus_.asyncCall(call, 2'000), this);
        connect(pending, &QDBusPendingCallWatcher::finished, this, [this, i](QDBusPendingCallWatcher* done) {
            QDBusPendingReply<bool> reply = *done;
            set(i, reply.isError() ? std::nullopt : std::optional<bool>(reply.value()));
            done->deleteLater();
        });
    }

    void set(std::size_t i, std::optional<bool> state) {
        std::lock_guard guard(lock_);
        states_[i] = state;
    }

    QDBusConnection bus_;
    mutable std::mutex lock_;
    std::array<std::optional<bool>, sources.size()> states_;
};

ScreenLockWatch::ScreenLockWatch(const QDBusConnection& bus, std::function<bool()> poll)
    : listener_(std::make_unique<Listener>(bus)), poll_(std::move(poll)) {}

ScreenLockWatch::~ScreenLockWatch() = default;

bool ScreenLockWatch::locked() {
    if (const auto heard = listener_->heard()) return *heard;
    return poll_ ? poll_() : false;
}

bool ScreenLockWatch::hearing() const { return listener_->heard().has_value(); }

}  // namespace morvane

#include "locker_watch_linux_qt.moc"
