#include "commandsource.h"

#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>

#include <sys/stat.h>

namespace {
// A local connect succeeds or fails at once; this only bounds a wedged peer.
constexpr int ProbeTimeoutMs = 2000;
} // namespace

CommandSource::CommandSource(const QString& service, const QString& topic, QObject* parent)
    : QObject(parent), m_service(service), m_topic(topic), m_server(new QLocalServer(this))
{
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_server, &QLocalServer::newConnection, this, &CommandSource::onNewConnection);
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
    if (m_server->isListening())
        return ListenResult::Listening;

    const QString path = HostLink::endpointPath(m_service, m_topic);
    m_error.clear();

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
            probe.abort();
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
    return ListenResult::Listening;
}

void CommandSource::close()
{
    for (auto& [socket, reader] : m_readers) {
        socket->disconnect(this);
        if (socket == m_dispatching) {
            // Its handler is closing us ("{quit}"); dispatch() still answers, then drops it.
            socket->setParent(nullptr);
            continue;
        }
        socket->abort();
        socket->deleteLater();
    }
    m_readers.clear();
    m_server->close();
}

void CommandSource::onNewConnection()
{
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        m_readers.emplace(socket, FrameReader());
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QLocalSocket::disconnected, this,
                [this, socket] { onDisconnected(socket); });
        if (socket->bytesAvailable() > 0)
            onReadyRead(socket);
    }
}

void CommandSource::onReadyRead(QLocalSocket* socket)
{
    auto it = m_readers.find(socket);
    if (it == m_readers.end())
        return;
    FrameReader& reader = it->second;
    reader.append(socket->readAll());
    for (;;) {
        const FrameReader::Status status = reader.next();
        if (status == FrameReader::Status::NeedMore)
            return;
        if (status == FrameReader::Status::Error) {
            drop(socket, reader.errorString());
            return;
        }
        const FrameVerb verb = reader.verb();
        if (verb != FrameVerb::Execute && verb != FrameVerb::Request) {
            drop(socket, tr("unexpected %1 frame from a caller").arg(frameVerbName(verb)));
            return;
        }
        // Queued, so the handler runs outside this socket's signal and may delete us.
        QMetaObject::invokeMethod(
            this,
            [this, guard = QPointer<QLocalSocket>(socket), verb, text = reader.text()] {
                dispatch(guard, verb, text);
            },
            Qt::QueuedConnection);
    }
}

void CommandSource::onDisconnected(QLocalSocket* socket)
{
    auto it = m_readers.find(socket);
    if (it == m_readers.end())
        return;
    if (it->second.isMidFrame())
        qCWarning(lcHostLink).noquote()
            << name() + QStringLiteral(": caller disconnected in the middle of a frame; dropped");
    m_readers.erase(it);
    socket->deleteLater();
}

void CommandSource::drop(QLocalSocket* socket, const QString& reason)
{
    qCWarning(lcHostLink).noquote() << name() + QStringLiteral(": closing connection: ") + reason;
    m_readers.erase(socket);
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
}

void CommandSource::dispatch(const QPointer<QLocalSocket>& socket, FrameVerb verb,
                             const QString& text)
{
    const QPointer<CommandSource> self(this);
    m_dispatching = socket.data();
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
        socket->write(reply);
        socket->flush();
    }
    const bool orphaned = !self || m_readers.count(socket.data()) == 0;
    if (socket && orphaned) {
        socket->disconnectFromServer();
        socket->deleteLater();
    }
    if (!self)
        return;
    m_dispatching = nullptr;
    if (verb == FrameVerb::Execute)
        emit executed(text, accepted);
    else
        emit answered(text, answer);
}
