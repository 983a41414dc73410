// A stand-in for the desktop's disk service (UDisks2) on a private bus: it
// owns org.freedesktop.UDisks2 and answers Block.OpenDevice for the devices
// it is given with a descriptor of a file, opened read-only.
//
//   lk-mock-udisks --device NAME=FILE [--device ...] --log LOG
//
// Reads the bus address from DBUS_SYSTEM_BUS_ADDRESS. Every call is logged
// as "NAME MODE" on a line of LOG; a mode other than "r" is refused.
#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusError>
#include <QDBusUnixFileDescriptor>
#include <QFile>
#include <QTextStream>
#include <QVariantMap>
#include <cstdio>

class Block : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.UDisks2.Block")
  public:
    Block(QString name, QString file, QString log, QObject* parent)
        : QObject(parent), name_(std::move(name)), file_(std::move(file)), log_(std::move(log)) {}

  public slots:
    QDBusUnixFileDescriptor OpenDevice(const QString& mode, const QVariantMap& options) {
        Q_UNUSED(options);
        QFile log(log_);
        if (log.open(QIODevice::Append | QIODevice::Text))
            QTextStream(&log) << name_ << " " << mode << "\n";
        if (mode != "r") {
            sendErrorReply("org.freedesktop.UDisks2.Error.NotAuthorized",
                           "Only reading is allowed here");
            return {};
        }
        const int fd = ::open(file_.toLocal8Bit().constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            sendErrorReply("org.freedesktop.UDisks2.Error.Failed", "Cannot open the device");
            return {};
        }
        QDBusUnixFileDescriptor reply(fd);  // keeps a copy of its own
        ::close(fd);
        return reply;
    }

  private:
    QString name_, file_, log_;
};

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        std::fprintf(stderr, "lk-mock-udisks: no bus: %s\n", qPrintable(bus.lastError().message()));
        return 1;
    }
    const QStringList args = app.arguments();
    QString log;
    for (int i = 1; i + 1 < args.size(); i += 2)
        if (args[i] == "--log") log = args[i + 1];
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] != "--device") continue;
        const QString name = args[i + 1].section('=', 0, 0), file = args[i + 1].section('=', 1);
        auto* block = new Block(name, file, log, &app);
        bus.registerObject("/org/freedesktop/UDisks2/block_devices/" + name, block,
                           QDBusConnection::ExportAllSlots);
    }
    if (!bus.registerService("org.freedesktop.UDisks2")) {
        std::fprintf(stderr, "lk-mock-udisks: cannot own the name: %s\n",
                     qPrintable(bus.lastError().message()));
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return QCoreApplication::exec();
}

#include "mock_udisks.moc"
