#include "hostlink/commandsource.h"

#include "hostlink/clientlink.h"

#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>

#include <sys/stat.h>

namespace {
// A local connect succeeds or fails at once; this only bounds a wedged peer.
constexpr int ProbeTimeoutMs = 2000;
// How often the server is checked for having stopped listening.
constexpr int WatchIntervalMs = 1000;
} // namespace

CommandSource::CommandSource(const QString& service, const QString& topic, QObject* parent)
    : QObject(parent), m_service(service), m_topic(topic), m_server(new QLocalServer(this)),
      m_watch(new QTimer(this))
{
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_server, &QLocalServer::newConnection, this, &CommandSource::onNewConnection);
    m_watch->setInterval(WatchIntervalMs);
    connect(m_watch, &QTimer::timeout, this, &CommandSource::checkListening);
}

CommandSource::~CommandSource()
{
    close();
}

bool CommandSource::isListening() const
{
    return m_server->isListening();
}

CommandSource::ListenResult CommandSource::listen()
{
    if (m_server->isListening()) {
        return ListenResult::Listening;
    }

    const QString path = HostLink::endpointPath(m_service, m_topic);
    m_error.clear();

    const QString untrusted = HostLink::checkEndpointDirectory(true);
    if (!untrusted.isEmpty()) {
        m_error = tr("Cannot serve %1: %2.").arg(name(), untrusted);
        qCWarning(lcHostLink).noquote() << m_error;
        return ListenResult::Failed;
    }

    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            m_error = tr("Cannot serve %1: %2 exists and is not a socket.").arg(name(), path);
            qCWarning(lcHostLink).noquote() << m_error;
            return ListenResult::Failed;
        }
        QLocalSocket probe;
        probe.connectToServer(path);
        if (probe.waitForConnected(ProbeTimeoutMs)) {
            const QString stranger = HostLink::checkPeer(probe);
            probe.abort();
            if (!stranger.isEmpty()) {
                m_error = tr("Cannot serve %1: %2.").arg(name(), stranger);
                qCWarning(lcHostLink).noquote() << m_error;
                return ListenResult::Failed;
            }
            m_error = tr("%1 is already served by another running program (%2).").arg(name(), path);
            qCWarning(lcHostLink).noquote() << m_error;
            return ListenResult::InUse;
        }
        if (probe.error() != QLocalSocket::ConnectionRefusedError) {
            m_error = tr("Cannot serve %1: the socket %2 exists and could not be probed: %3")
                          .arg(name(), path, probe.errorString());
            qCWarning(lcHostLink).noquote() << m_error;
            return ListenResult::Failed;
        }
        // Nobody listens: left behind by a program that ended without cleaning up.
        qCInfo(lcHostLink).noquote() << "removing stale socket" << path;
        QLocalServer::removeServer(path);
    }

    if (!m_server->listen(path)) {
        m_error = tr("Cannot serve %1 at %2: %3").arg(name(), path, m_server->errorString());
        qCWarning(lcHostLink).noquote() << m_error;
        return m_server->serverError() == QAbstractSocket::AddressInUseError ? ListenResult::InUse
                                                                             : ListenResult::Failed;
    }
    m_path = path;
    if (::lstat(QFile::encodeName(path).constData(), &st) == 0) {
        m_device = st.st_dev;
        m_inode = st.st_ino;
    }
    m_watch->start();
    return ListenResult::Listening;
}

void CommandSource::close()
{
    m_watch->stop();
    for (auto& [socket, connection] : m_connections) {
        socket->disconnect(this);
        connection.idle->stop();
        if (m_dispatching.contains(socket)) {
            // Its handler is closing us ("{quit}"); dispatch() still answers, then drops it.
            socket->setParent(nullptr);
            continue;
        }
        socket->abort();
        socket->deleteLater();
    }
    m_connections.clear();
    m_server->close();
}

void CommandSource::checkListening()
{
    // Qt closes the server (and removes its socket) when accepting fails, for instance when
    // the process has run out of file descriptors; the program would then stay deaf. So it
    // is when the socket file is removed: nobody can reach the socket any more.
    struct stat st {};
    const bool present = ::lstat(QFile::encodeName(m_path).constData(), &st) == 0;
    const bool ours = present && st.st_dev == m_device && st.st_ino == m_inode;
    if (m_server->isListening() && ours) {
        return;
    }
    if (present && !ours) {
        // Another program's socket took the path: the endpoint is theirs while it lasts.
        if (!m_elsewhere) {
            qCWarning(lcHostLink).noquote()
                << name() + QStringLiteral(": another program serves %1 now; serving again "
                                           "once it has gone")
                                .arg(m_path);
        }
        m_elsewhere = true;
        return;
    }
    m_elsewhere = false;
    qCWarning(lcHostLink).noquote()
        << name() +
               (m_server->isListening()
                    ? QStringLiteral(": the socket file %1 was removed").arg(m_path)
                    : QStringLiteral(": the server stopped listening (%1)")
                          .arg(m_server->errorString())) +
               QStringLiteral("; listening again");
    m_server->close();
    listen();
}

void CommandSource::onNewConnection()
{
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        if (m_connections.size() >= std::size_t(MaxConnections)) {
            qCWarning(lcHostLink).noquote()
                << name() + QStringLiteral(": refusing a connection: %1 are open already")
                                .arg(MaxConnections);
            socket->abort();
            socket->deleteLater();
            continue;
        }
        // Holds back a caller that sends faster than its frames are handled.
        socket->setReadBufferSize(HostLink::MaxFrameLength);
        auto* idle = new QTimer(socket);
        idle->setSingleShot(true);
        idle->setInterval(m_idleTimeoutMs);
        connect(idle, &QTimer::timeout, this, [this, socket] { onIdle(socket); });
        m_connections.emplace(socket, Connection{FrameReader(), idle, false});
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QLocalSocket::bytesWritten, idle, qOverload<>(&QTimer::start));
        connect(socket, &QLocalSocket::disconnected, this,
                [this, socket] { onDisconnected(socket); });
        idle->start();
        if (socket->bytesAvailable() > 0) {
            onReadyRead(socket);
        }
    }
}

void CommandSource::onReadyRead(QLocalSocket* socket)
{
    auto it = m_connections.find(socket);
    if (it == m_connections.end() || it->second.busy) {
        return; // one frame at a time; the rest waits in the socket
    }
    Connection& connection = it->second;
    FrameReader& reader = connection.reader;
    connection.idle->start();

    // Reads only when no complete frame is buffered, so the buffer stays near one frame.
    FrameReader::Status status = reader.next();
    if (status == FrameReader::Status::NeedMore && socket->bytesAvailable() > 0) {
        reader.append(socket->readAll());
        status = reader.next();
    }
    if (status == FrameReader::Status::NeedMore) {
        return;
    }
    if (status == FrameReader::Status::Error) {
        drop(socket, reader.errorString());
        return;
    }
    const FrameVerb verb = reader.verb();
    if (verb != FrameVerb::Execute && verb != FrameVerb::Request) {
        drop(socket, tr("unexpected %1 frame from a caller").arg(frameVerbName(verb)));
        return;
    }
    connection.busy = true;
    connection.idle->stop();
    // Queued, so the handler runs outside this socket's signal and may delete us.
    QMetaObject::invokeMethod(
        this,
        [this, guard = QPointer<QLocalSocket>(socket), verb, text = reader.text()] {
            dispatch(guard, verb, text);
        },
        Qt::QueuedConnection);
}

void CommandSource::onDisconnected(QLocalSocket* socket)
{
    auto it = m_connections.find(socket);
    if (it == m_connections.end()) {
        return;
    }
    if (it->second.reader.isMidFrame()) {
        qCWarning(lcHostLink).noquote()
            << name() + QStringLiteral(": caller disconnected in the middle of a frame; dropped");
    }
    m_connections.erase(it);
    socket->deleteLater();
}

void CommandSource::onIdle(QLocalSocket* socket)
{
    auto it = m_connections.find(socket);
    if (it == m_connections.end() || it->second.busy) {
        return;
    }
    drop(socket,
         tr("idle for %1 ms%2")
             .arg(m_idleTimeoutMs)
             .arg(it->second.reader.isMidFrame() ? tr(" in the middle of a frame") : QString()));
}

void CommandSource::drop(QLocalSocket* socket, const QString& reason)
{
    qCWarning(lcHostLink).noquote() << name() + QStringLiteral(": closing connection: ") + reason;
    m_connections.erase(socket);
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
}

void CommandSource::dispatch(const QPointer<QLocalSocket>& socket, FrameVerb verb,
                             const QString& text)
{
    const QPointer<CommandSource> self(this);
    QLocalSocket* const dispatching = socket.data();
    m_dispatching.append(dispatching);
    QByteArray reply;
    bool accepted = false;
    std::optional<QString> answer;
    // Copies: the handler may destroy this object, and with it the members.
    if (verb == FrameVerb::Execute) {
        const ExecuteHandler handler = m_execute;
        accepted = handler ? handler(text) : false;
        reply = encodeFrame(accepted ? FrameVerb::Ack : FrameVerb::Nak);
    } else {
        const RequestHandler handler = m_request;
        answer = handler ? handler(text) : std::nullopt;
        reply = answer ? encodeFrame(FrameVerb::Data, *answer) : encodeFrame(FrameVerb::NoData);
    }
    // The caller may have gone meanwhile; the handler may have closed or destroyed us.
    if (socket && socket->state() == QLocalSocket::ConnectedState) {
        if (self && socket->bytesToWrite() + reply.size() > MaxQueuedReplyBytes) {
            drop(socket, tr("the caller does not read its replies (%1 bytes waiting)")
                             .arg(socket->bytesToWrite()));
        } else {
            socket->write(reply);
            socket->flush();
        }
    }
    const bool orphaned = !self || m_connections.count(socket.data()) == 0;
    if (socket && orphaned) {
        socket->disconnectFromServer();
        socket->deleteLater();
    }
    if (!self) {
        return;
    }
    m_dispatching.removeOne(dispatching);
    if (!orphaned) {
        // The next frame, if the caller sent one already.
        m_connections[socket.data()].busy = false;
        QMetaObject::invokeMethod(
            this,
            [this, socket] {
                if (socket) {
                    onReadyRead(socket.data());
                }
            },
            Qt::QueuedConnection);
    }
    if (verb == FrameVerb::Execute) {
        emit executed(text, accepted);
    } else {
        emit answered(text, answer);
    }
}

StartOutcome serveOrHandOver(CommandSource& source, QString* message, int timeoutTenths)
{
    switch (source.listen()) {
    case CommandSource::ListenResult::Listening:
        return StartOutcome::Serving;
    case CommandSource::ListenResult::Failed:
        *message = source.errorString();
        return StartOutcome::Unreachable;
    case CommandSource::ListenResult::InUse:
        break;
    }
    ClientLink link(source.service(), source.topic());
    link.setTimeout(timeoutTenths);
    if (link.execute(HostLink::CmdView) == ExecuteResult::Accepted) {
        return StartOutcome::HandedOver;
    }
    *message = QObject::tr("%1\nIt did not come to the front (%2), so host commands cannot "
                           "reach this copy.")
                   .arg(source.errorString(), link.lastError());
    return StartOutcome::Unreachable;
}
