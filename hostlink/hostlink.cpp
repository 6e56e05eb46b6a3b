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

QString normalizeCommand(const QString& received)
{
    return received.toLower();
}

bool isCommand(const QString& received, const QString& command)
{
    return normalizeCommand(received) == command;
}

} // namespace HostLink
