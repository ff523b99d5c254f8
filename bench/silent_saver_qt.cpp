// A screen saver on the session bus that takes the name and never answers
// anything: the likelier way a locker hangs. For the lock benchmark; prints
// "ready" once it holds the name, and runs until it is killed.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusVirtualObject>

#include <cstdio>

namespace {

class Silent final : public QDBusVirtualObject {
public:
    QString introspect(const QString&) const override { return {}; }
    // Taken, and never replied to.
    bool handleMessage(const QDBusMessage&, const QDBusConnection&) override { return true; }
};

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QDBusConnection bus = QDBusConnection::sessionBus();
    Silent silent;
    if (!bus.registerVirtualObject(QStringLiteral("/org/freedesktop/ScreenSaver"), &silent) ||
        !bus.registerService(QStringLiteral("org.freedesktop.ScreenSaver")))
        return 1;
    std::puts("ready");
    std::fflush(stdout);
    return app.exec();
}
