// A desktop's screen saver on the session bus, standing in for one not
// installed here: takes the name given (org.cinnamon.ScreenSaver, …), locks
// on Lock, answers GetActive and says ActiveChanged. For the lock benchmark;
// prints "ready" once it holds the name, and runs until it is killed, which
// ends the lock as ending a real locker does.
//
//   morvane_stand_in_saver SERVICE PATH
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>

#include <cstdio>

namespace {

class StandIn final : public QDBusVirtualObject {
public:
    StandIn(QString service, QString path) : service_(std::move(service)), path_(std::move(path)) {}
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (message.member() == QStringLiteral("Lock")) {
            connection.send(message.createReply());
            if (!active_) {
                active_ = true;
                auto signal = QDBusMessage::createSignal(path_, service_, QStringLiteral("ActiveChanged"));
                signal << true;
                connection.send(signal);
            }
            return true;
        }
        if (message.member() != QStringLiteral("GetActive")) return false;
        connection.send(message.createReply(QVariant(active_)));
        return true;
    }

private:
    QString service_, path_;
    bool active_ = false;
};

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 3) return 2;
    const QString service = QString::fromLocal8Bit(argv[1]);
    const QString path = QString::fromLocal8Bit(argv[2]);
    QDBusConnection bus = QDBusConnection::sessionBus();
    StandIn standIn(service, path);
    if (!bus.registerVirtualObject(path, &standIn) || !bus.registerService(service)) return 1;
    std::puts("ready");
    std::fflush(stdout);
    return app.exec();
}
