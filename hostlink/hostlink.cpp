#include "hostlink.h"

#include <QDir>

Q_LOGGING_CATEGORY(lcHostLink, "tarn.hostlink")

namespace HostLink {

QString endpointDirectory()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir(runtime).exists())
        return QDir::cleanPath(runtime);
    return QDir::tempPath();
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

QString normalizeCommand(const QString& received)
{
    return received.toLower();
}

bool isCommand(const QString& received, const QString& command)
{
    return normalizeCommand(received) == command;
}

} // namespace HostLink
