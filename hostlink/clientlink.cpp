#include "hostlink/clientlink.h"

#include <QDeadlineTimer>
#include <QLocalSocket>

namespace {

int remainingMs(const QDeadlineTimer& deadline)
{
    const qint64 ms = deadline.remainingTime();
    return ms < 0 ? 0 : static_cast<int>(qMin<qint64>(ms, INT_MAX));
}

// Requests are short; a whole payload in a log line would drown the reason.
QString shortened(const QString& text)
{
    constexpr int MaxShown = 120;
    QString shown = text.left(MaxShown);
    shown.replace(QLatin1Char('\n'), QLatin1String("\\n"));
    return text.size() > MaxShown ? shown + QStringLiteral("...") : shown;
}

} // namespace

ClientLink::ClientLink(const QString& service, const QString& topic)
    : m_service(service), m_topic(topic)
{
}

void ClientLink::fail(Failure failure, const QString& reason)
{
    m_failure = failure;
    m_error = reason;
    qCWarning(lcHostLink).noquote() << reason;
}

ClientLink::Reply ClientLink::call(FrameVerb verb, const QString& text)
{
    m_failure = Failure::None;
    m_error.clear();

    const QString what =
        QStringLiteral("%1 \"%2\"")
            .arg(QString::fromLatin1(frameVerbName(verb)).toLower(), shortened(text));
    const QString seconds = QString::number(m_timeoutTenths / 10.0);
    const QString path = HostLink::endpointPath(m_service, m_topic);
    const QDeadlineTimer deadline(qint64(m_timeoutTenths) * 100);

    const QString untrusted = HostLink::checkEndpointDirectory(false);
    if (!untrusted.isEmpty()) {
        fail(Failure::NotRunning,
             QStringLiteral("%1: %2; %3 not sent").arg(name(), untrusted, what));
        return {};
    }

    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(remainingMs(deadline))) {
        if (socket.error() == QLocalSocket::SocketTimeoutError) {
            fail(Failure::TimedOut,
                 QStringLiteral("%1: no connection within %2 s for %3").arg(name(), seconds, what));
        } else {
            fail(Failure::NotRunning,
                 QStringLiteral("%1: no program answers: %2; %3 not sent")
                     .arg(name(), HostLink::connectFailure(socket.error(), path), what));
        }
        return {};
    }
    // Another user's program could feed us file names to read and delete.
    const QString stranger = HostLink::checkPeer(socket);
    if (!stranger.isEmpty()) {
        socket.abort();
        fail(Failure::NotRunning,
             QStringLiteral("%1: %2; %3 not sent").arg(name(), stranger, what));
        return {};
    }

    socket.write(encodeFrame(verb, text));
    while (socket.bytesToWrite() > 0) {
        if (!socket.waitForBytesWritten(remainingMs(deadline))) {
            if (deadline.hasExpired()) {
                fail(
                    Failure::TimedOut,
                    QStringLiteral("%1: could not send %2 within %3 s").arg(name(), what, seconds));
            } else {
                fail(Failure::Disconnected,
                     QStringLiteral("%1: connection lost while sending %2: %3")
                         .arg(name(), what, socket.errorString()));
            }
            return {};
        }
    }

    FrameReader reader;
    for (;;) {
        reader.append(socket.readAll());
        const FrameReader::Status status = reader.next();
        if (status == FrameReader::Status::Frame) {
            socket.abort();
            return {true, reader.verb(), reader.text()};
        }
        if (status == FrameReader::Status::Error) {
            fail(
                Failure::ProtocolError,
                QStringLiteral("%1: bad answer to %2: %3").arg(name(), what, reader.errorString()));
            return {};
        }
        if (socket.state() != QLocalSocket::ConnectedState) {
            fail(Failure::Disconnected,
                 QStringLiteral("%1: the peer closed the connection %2 to %3")
                     .arg(name(),
                          reader.isMidFrame() ? QStringLiteral("in the middle of its answer")
                                              : QStringLiteral("without answering"),
                          what));
            return {};
        }
        if (deadline.hasExpired()) {
            fail(Failure::TimedOut,
                 QStringLiteral("%1: no answer within %2 s to %3").arg(name(), seconds, what));
            return {};
        }
        socket.waitForReadyRead(remainingMs(deadline));
    }
}

QString ClientLink::request(const QString& item)
{
    const Reply reply = call(FrameVerb::Request, item);
    if (!reply.ok) {
        return {};
    }
    if (reply.verb == FrameVerb::NoData) {
        fail(Failure::NoData,
             QStringLiteral("%1: no data for request \"%2\"").arg(name(), shortened(item)));
        return {};
    }
    if (reply.verb != FrameVerb::Data) {
        fail(Failure::ProtocolError,
             QStringLiteral("%1: %2 frame in answer to request \"%3\"")
                 .arg(name(), QString::fromLatin1(frameVerbName(reply.verb)), shortened(item)));
        return {};
    }
    if (reply.text.size() < 2) {
        fail(Failure::TooShort, QStringLiteral("%1: answer \"%2\" to request \"%3\" is too short")
                                    .arg(name(), reply.text, shortened(item)));
        return {};
    }
    return reply.text;
}

ExecuteResult ClientLink::execute(const QString& command)
{
    const Reply reply = call(FrameVerb::Execute, command);
    if (!reply.ok) {
        return ExecuteResult::NoAnswer;
    }
    if (reply.verb == FrameVerb::Ack) {
        return ExecuteResult::Accepted;
    }
    if (reply.verb == FrameVerb::Nak) {
        // Not a fault of the link, but callers still like to know why nothing happened.
        m_error = QStringLiteral("%1: command \"%2\" refused").arg(name(), shortened(command));
        return ExecuteResult::Refused;
    }
    fail(Failure::ProtocolError,
         QStringLiteral("%1: %2 frame in answer to command \"%3\"")
             .arg(name(), QString::fromLatin1(frameVerbName(reply.verb)), shortened(command)));
    return ExecuteResult::NoAnswer;
}
