#include "platform/linux/locker_watch_linux_qt.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <array>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "core/clock.h"

namespace morvane {

namespace {

const QString login = QStringLiteral("org.freedesktop.login1");
// This process's own session, whichever it is.
const QString session = QStringLiteral("/org/freedesktop/login1/session/auto");
const QString sessionInterface = QStringLiteral("org.freedesktop.login1.Session");

// A saver that came onto the bus may hold its name before its object
// answers: it is asked again this often, this many times.
constexpr int refindMillis = 250;
constexpr int refindTries = 12;
// The login manager's hint is asked again at most this often.
constexpr std::int64_t hintAgeMillis = 1'000;

}  // namespace

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
    Listener(const QDBusConnection& bus, const QDBusConnection& system, std::unique_ptr<XScreenSaverLink> xscreensaver,
             std::function<void()> moved)
        : bus_(bus), system_(system), moved_(std::move(moved)) {
        if (xscreensaver) {
            // The link tells its news from within whatever read it: the
            // state is read again from the loop, not from inside the link.
            xscreensaver_ = std::move(xscreensaver);
            notifier_ = new QSocketNotifier(xscreensaver_->fd(), QSocketNotifier::Read, this);
            connect(notifier_, &QSocketNotifier::activated, this, [this] {
                xscreensaver_->pump();
                // A closed socket stays readable: not read on and on.
                if (xscreensaver_->lost()) notifier_->setEnabled(false);
            });
            xscreensaver_->setNews(
                [this] { QMetaObject::invokeMethod(this, [this] { readXscreensaver(); }, Qt::QueuedConnection); });
            readXscreensaver();
        }
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
            connect(watcher, &QDBusServiceWatcher::serviceRegistered, this, [this, i] {
                ++generation_[i];
                {
                    std::lock_guard guard(lock_);
                    returned_[i] = covering_[i];
                }
                refind(i, refindTries);
            });
            connect(watcher, &QDBusServiceWatcher::serviceUnregistered, this, [this, i] { left(i); });
            refind(i, 0);
        }
    }

    std::optional<bool> heard() const {
        std::lock_guard guard(lock_);
        return firstHeard();
    }

    bool locked() {
        if (const auto saver = heard()) return *saver;
        if (const int x = xscreensaverState_.load(); x >= 0) return x == 1;
        // The hint is asked on the loop; what it said last stands meanwhile.
        const std::int64_t now = nowMillis();
        std::int64_t asked = hintAskedAt_.load();
        if (system_.isConnected() && (asked < 0 || now - asked >= hintAgeMillis) &&
            hintAskedAt_.compare_exchange_strong(asked, now))
            QMetaObject::invokeMethod(this, [this] { askHint(); }, Qt::QueuedConnection);
        return hint_.load();
    }

    XScreenSaverAccess* xscreensaver() { return xscreensaver_.get(); }

    void askSaver(std::size_t i, Call call, std::function<void(std::optional<bool>)> answer) {
        if (call == Call::getActive) {
            getActive(i, getActiveMillis, [this, i, answer = std::move(answer)](std::optional<bool> active) {
                // Gone while its backup keeps the screen covered, or back
                // beside it: the cover's word stands until it locks itself.
                if (active != true && covering(i)) active = true;
                answer(active);
            });
            return;
        }
        const QString service = QString::fromLatin1(busScreenSavers[i].service);
        auto message = QDBusMessage::createMethodCall(service, QString::fromLatin1(busScreenSavers[i].path), service,
                                                      QStringLiteral("Lock"));
        if (busScreenSavers[i].lockTakesMessage) message << QString();
        if (covering(i)) {
            // The screen is covered already. Cinnamon started again beside
            // its backup locker cannot take a lock (the backup holds the
            // keyboard: it answers nothing for some 13 s, then replies
            // without locking), so the cover answers. It is asked all the
            // same: should the backup be gone, it locks and says so.
            ask(bus_, message, lockMillis, [](const QDBusMessage&) {});
            answer(true);
            return;
        }
        // MATE's never replies: its news that it went active answers for
        // it, so that the lock is not taken as under way long after it
        // happened (and the screen perhaps unlocked again), which would
        // swallow the next Lock.
        auto waiting = std::make_shared<std::function<void(std::optional<bool>)>>(std::move(answer));
        std::erase_if(lockWaits_[i], [](const auto& w) { return !*w; });
        lockWaits_[i].push_back(waiting);
        ask(bus_, message, lockMillis, [waiting](const QDBusMessage& reply) {
            if (!*waiting) return;
            std::exchange(*waiting, nullptr)(reply.type() == QDBusMessage::ReplyMessage ? std::optional<bool>(true)
                                                                                        : std::nullopt);
        });
    }

    void askLoginManager(Call call, std::function<void(std::optional<bool>)> answer) {
        if (call == Call::lock) {
            auto message = QDBusMessage::createMethodCall(login, session, sessionInterface, QStringLiteral("Lock"));
            ask(system_, message, 2'000, [answer = std::move(answer)](const QDBusMessage& reply) {
                answer(reply.type() == QDBusMessage::ReplyMessage ? std::optional<bool>(true) : std::nullopt);
            });
            return;
        }
        auto message = QDBusMessage::createMethodCall(login, session, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("Get"));
        message << sessionInterface << QStringLiteral("LockedHint");
        ask(system_, message, 1'000, [answer = std::move(answer)](const QDBusMessage& reply) {
            if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 1) return answer(std::nullopt);
            const QVariant value = qvariant_cast<QDBusVariant>(reply.arguments().front()).variant();
            if (value.metaType().id() != QMetaType::Bool) return answer(std::nullopt);
            answer(value.toBool());
        });
    }

private:
    // One question on `bus`, answered on the loop by `deadline` at the
    // latest (an error reply then). Asking never starts a service the bus
    // could start: the desktop's own locker is the one that runs.
    void ask(const QDBusConnection& bus, QDBusMessage message, int deadlineMillis,
             std::function<void(const QDBusMessage&)> then) {
        if (!bus.isConnected()) {
            then(QDBusMessage::createError(QStringLiteral("org.freedesktop.DBus.Error.Disconnected"), QString()));
            return;
        }
        message.setAutoStartService(false);
        auto* pending = new QDBusPendingCallWatcher(bus.asyncCall(message, deadlineMillis), this);
        connect(pending, &QDBusPendingCallWatcher::finished, this,
                [then = std::move(then)](QDBusPendingCallWatcher* done) {
                    done->deleteLater();
                    then(done->reply());
                });
    }

    // Asks the saver for its state; one that has just come onto the bus and
    // does not answer yet is asked again (`tries` more times) while it
    // holds its name, so a saver that restarts is found again.
    void refind(std::size_t i, int tries) {
        const auto generation = generation_[i];
        getActive(i, getActiveMillis, [this, i, tries, generation](std::optional<bool> active) {
            if (generation != generation_[i]) return;
            if (active) return set(i, active);
            if (tries > 0)
                QTimer::singleShot(refindMillis, this, [this, i, tries, generation] {
                    if (generation == generation_[i]) refind(i, tries - 1);
                });
        });
    }

    // What the saver itself answers, nothing when it does not.
    void getActive(std::size_t i, int deadlineMillis, std::function<void(std::optional<bool>)> answer) {
        const QString service = QString::fromLatin1(busScreenSavers[i].service);
        auto message = QDBusMessage::createMethodCall(service, QString::fromLatin1(busScreenSavers[i].path), service,
                                                      QStringLiteral("GetActive"));
        ask(bus_, message, deadlineMillis, [answer = std::move(answer)](const QDBusMessage& reply) {
            if (reply.type() == QDBusMessage::ReplyMessage && reply.arguments().size() == 1 &&
                reply.arguments().front().metaType().id() == QMetaType::Bool)
                return answer(reply.arguments().front().toBool());
            answer(std::nullopt);
        });
    }

    void left(std::size_t i) {
        ++generation_[i];
        {
            std::lock_guard guard(lock_);
            // One that came back beside its cover and leaves again went the
            // desktop's way out of the cover, which ends the backup with it.
            if (busScreenSavers[i].coveredWhileGone && states_[i] == true && !returned_[i]) {
                covering_[i] = true;
            } else {
                states_[i].reset();
                covering_[i] = returned_[i] = false;
            }
        }
        // News even when the answer stays: the owner looks again at whether
        // the computer can still lock.
        if (moved_) moved_();
    }

    bool covering(std::size_t i) const {
        std::lock_guard guard(lock_);
        return covering_[i];
    }

    void set(std::size_t i, std::optional<bool> state) {
        if (state == true)
            for (auto& waiting : std::exchange(lockWaits_[i], {}))
                if (*waiting) std::exchange(*waiting, nullptr)(true);
        bool news = false;
        {
            std::lock_guard guard(lock_);
            // Back beside its backup, it says it is not active while the
            // backup still covers the screen: only its own lock ends the
            // cover's word.
            if (covering_[i] && state != true) return;
            const auto before = firstHeard();
            states_[i] = state;
            covering_[i] = returned_[i] = false;
            news = firstHeard() != before;
        }
        if (news && moved_) moved_();
    }
    std::optional<bool> firstHeard() const {
        for (const auto& state : states_)
            if (state) return state;
        return std::nullopt;
    }

    void readXscreensaver() {
        const auto now = xscreensaver_->locked();
        const int state = now ? (*now ? 1 : 0) : -1;
        if (xscreensaverState_.exchange(state) != state && moved_) moved_();
    }

    void askHint() {
        askLoginManager(Call::getActive, [this](std::optional<bool> hint) {
            if (!hint) return;
            if (hint_.exchange(*hint) != *hint && moved_) moved_();
        });
    }

    QDBusConnection bus_;
    QDBusConnection system_;
    std::function<void()> moved_;
    std::unique_ptr<XScreenSaverLink> xscreensaver_;
    QSocketNotifier* notifier_ = nullptr;
    // Touched on the Qt thread only.
    std::array<std::uint64_t, busScreenSavers.size()> generation_{};
    // Each saver's Locks not answered yet.
    std::array<std::vector<std::shared_ptr<std::function<void(std::optional<bool>)>>>, busScreenSavers.size()>
        lockWaits_;
    // Read from any thread.
    mutable std::mutex lock_;
    std::array<std::optional<bool>, busScreenSavers.size()> states_;
    std::array<bool, busScreenSavers.size()> covering_{};
    // Came back onto the bus while its backup covered the screen.
    std::array<bool, busScreenSavers.size()> returned_{};
    std::atomic<int> xscreensaverState_{-1};  // -1 none runs, else locked
    std::atomic<bool> hint_{false};
    std::atomic<std::int64_t> hintAskedAt_{-1};
};

ScreenLockWatch::ScreenLockWatch(const QDBusConnection& bus, const QDBusConnection& system,
                                 std::unique_ptr<XScreenSaverLink> xscreensaver, std::function<void()> moved)
    : listener_(std::make_unique<Listener>(bus, system, std::move(xscreensaver), std::move(moved))) {}

ScreenLockWatch::~ScreenLockWatch() = default;

bool ScreenLockWatch::locked() { return listener_->locked(); }

bool ScreenLockWatch::hearing() const { return listener_->heard().has_value(); }

XScreenSaverAccess* ScreenLockWatch::xscreensaver() { return listener_->xscreensaver(); }

void ScreenLockWatch::askSaver(std::size_t saver, Call call, std::function<void(std::optional<bool>)> answer) {
    listener_->askSaver(saver, call, std::move(answer));
}

void ScreenLockWatch::askLoginManager(Call call, std::function<void(std::optional<bool>)> answer) {
    listener_->askLoginManager(call, std::move(answer));
}

}  // namespace morvane

#include "locker_watch_linux_qt.moc"
