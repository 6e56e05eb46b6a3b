#include "hostlink/hostlink.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcHostLink, "tarn.hostlink")

namespace HostLink {

namespace {

// The temporary folder is shared: anyone may create a socket there under our names.
bool usesRuntimeDirectory()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return !runtime.isEmpty() && QDir(runtime).exists();
}

} // namespace

QString endpointDirectory()
{
    if (usesRuntimeDirectory()) {
        return QDir::cleanPath(qEnvironmentVariable("XDG_RUNTIME_DIR"));
    }
    return QDir::tempPath() + QStringLiteral("/tarn-") + QString::number(::geteuid());
}

QString checkEndpointDirectory(bool create)
{
    if (usesRuntimeDirectory()) {
        return {};
    }
    const QString dir = endpointDirectory();
    const QByteArray path = QFile::encodeName(dir);
    // The umask may have taken bits off; the folder is ours, so set them exactly.
    if (create && ::mkdir(path.constData(), 0700) == 0) {
        ::chmod(path.constData(), 0700);
    }
    struct stat st {};
    if (::lstat(path.constData(), &st) != 0) {
        if (errno == ENOENT && !create) {
            return {}; // nothing serves yet; connecting says so
        }
        return QStringLiteral("the folder %1 for the endpoints cannot be made: %2")
            .arg(dir, QString::fromLocal8Bit(std::strerror(errno)));
    }
    if (!S_ISDIR(st.st_mode)) {
        return QStringLiteral("%1 is not a folder, so it cannot hold the endpoints").arg(dir);
    }
    if (st.st_uid != ::geteuid()) {
        return QStringLiteral("the endpoint folder %1 belongs to another user").arg(dir);
    }
    if ((st.st_mode & 07777) != 0700) {
        return QStringLiteral("the endpoint folder %1 is open to other users (mode %2, not 0700)")
            .arg(dir)
            .arg(st.st_mode & 07777, 4, 8, QLatin1Char('0'));
    }
    return {};
}

QString checkPeer(const QLocalSocket& socket)
{
    ucred cred{};
    socklen_t size = sizeof(cred);
    if (::getsockopt(int(socket.socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0) {
        return QStringLiteral("the program serving %1 cannot be identified: %2")
            .arg(socket.fullServerName(), QString::fromLocal8Bit(std::strerror(errno)));
    }
    if (cred.uid != ::geteuid()) {
        return QStringLiteral("%1 is served by another user (user id %2)")
            .arg(socket.fullServerName())
            .arg(cred.uid);
    }
    return {};
}

QString endpointName(const QString& service, const QString& topic)
{
    return service + QLatin1Char('.') + topic;
}

QString endpointPath(const QString& service, const QString& topic)
{
    return endpointDirectory() + QLatin1Char('/') + endpointName(service, topic);
}

QString connectFailure(QLocalSocket::LocalSocketError error, const QString& path)
{
    switch (error) {
    case QLocalSocket::ServerNotFoundError:
        return QStringLiteral("nothing serves %1").arg(path);
    case QLocalSocket::ConnectionRefusedError:
        return QStringLiteral("%1 exists but nothing listens on it").arg(path);
    case QLocalSocket::SocketAccessError:
        return QStringLiteral("no permission to connect to %1").arg(path);
    case QLocalSocket::SocketTimeoutError:
        return QStringLiteral("connecting to %1 timed out").arg(path);
    default:
        return QStringLiteral("cannot connect to %1 (error %2)").arg(path).arg(int(error));
    }
}

void removeStaleSocket(const QString& path)
{
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISSOCK(st.st_mode)) {
        return;
    }
    QLocalSocket probe;
    probe.connectToServer(path);
    if (!probe.waitForConnected(2000) && probe.error() == QLocalSocket::ConnectionRefusedError) {
        QFile::remove(path);
    }
}

QString normalizeCommand(const QString& received)
{
    return received.toLower();
}

bool isCommand(const QString& received, const QString& command)
{
    return normalizeCommand(received) == command;
}

} // namespace HostLink
