#include "ui/disk_service.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>
#include <QEventLoop>
#include <QVariantMap>
#include <filesystem>

#include "lang/format.hpp"
#include "lang/translate.hpp"

namespace lk::ui {

namespace {

constexpr const char* kService = "org.freedesktop.UDisks2";
constexpr const char* kBlockInterface = "org.freedesktop.UDisks2.Block";
constexpr const char* kBlockPath = "/org/freedesktop/UDisks2/block_devices/";
// The user may take a while to type a password into the authorisation box.
constexpr int kTimeoutMs = 5 * 60 * 1000;

// Errors that say there is no service to ask, as opposed to a refusal.
bool means_no_service(const QString& name) {
    return name == "org.freedesktop.DBus.Error.ServiceUnknown" ||
           name == "org.freedesktop.DBus.Error.NameHasNoOwner" ||
           name == "org.freedesktop.DBus.Error.NoServer" ||
           name == "org.freedesktop.DBus.Error.Disconnected" ||
           name == "org.freedesktop.DBus.Error.Spawn.ServiceNotFound";
}

}  // namespace

std::string DiskServiceObjectPath(const std::string& device) {
    std::error_code ec;
    std::filesystem::path real = std::filesystem::canonical(device, ec);
    const std::string name = (ec ? std::filesystem::path(device) : real).filename().string();
    std::string escaped;
    for (unsigned char c : name) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
            escaped += static_cast<char>(c);
        else
            escaped += format("_%02x", static_cast<unsigned>(c));
    }
    return kBlockPath + escaped;
}

DiskServiceAnswer OpenThroughDiskService(const std::string& device) {
    DiskServiceAnswer answer;
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected() ||
        !(bus.connectionCapabilities() & QDBusConnection::UnixFileDescriptorPassing))
        return answer;

    QDBusMessage call = QDBusMessage::createMethodCall(
        kService, QString::fromStdString(DiskServiceObjectPath(device)), kBlockInterface,
        "OpenDevice");
    call << QString("r") << QVariantMap{};
    // The service may show an authorisation box: the call is allowed to
    // take long, and the windows keep repainting meanwhile.
    call.setInteractiveAuthorizationAllowed(true);
    QDBusPendingCall pending = bus.asyncCall(call, kTimeoutMs);
    QDBusPendingCallWatcher watcher(pending);
    QEventLoop loop;
    QObject::connect(&watcher, &QDBusPendingCallWatcher::finished, &loop, &QEventLoop::quit);
    if (!watcher.isFinished()) loop.exec(QEventLoop::ExcludeUserInputEvents);

    QDBusPendingReply<QDBusUnixFileDescriptor> reply = watcher;
    if (reply.isError()) {
        const QDBusError error = reply.error();
        answer.available = !means_no_service(error.name());
        answer.error =
            error.message().isEmpty() ? error.name().toStdString() : error.message().toStdString();
        return answer;
    }
    answer.available = true;
    const QDBusUnixFileDescriptor fd = reply.value();
    // The reply owns its descriptor: the input gets a copy of its own.
    if (fd.isValid()) answer.fd = ::fcntl(fd.fileDescriptor(), F_DUPFD_CLOEXEC, 0);
    if (answer.fd < 0) answer.error = translate("The disk service gave no descriptor");
    return answer;
}

}  // namespace lk::ui
