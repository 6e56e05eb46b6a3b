#include "hostlink/executeclient.h"

#include <QLocalSocket>
#include <QTimer>

ExecuteClient::ExecuteClient(QObject* parent)
    : QObject(parent), m_socket(new QLocalSocket(this)), m_timer(new QTimer(this))
{
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, [this] {
        finish(ExecuteResult::NoAnswer,
               QStringLiteral("%1: no answer in time to command \"%2\"").arg(m_name, m_command));
    });
    connect(m_socket, &QLocalSocket::connected, this, [this] {
        const QString stranger = HostLink::checkPeer(*m_socket);
        if (!stranger.isEmpty()) {
            notSent(stranger);
        } else {
            m_socket->write(encodeFrame(FrameVerb::Execute, m_command));
        }
    });
    connect(m_socket, &QLocalSocket::readyRead, this, &ExecuteClient::onReadyRead);
    connect(m_socket, &QLocalSocket::errorOccurred, this, [this](QLocalSocket::LocalSocketError e) {
        // A peer closing after its answer is no error; onReadyRead has finished us by then.
        const QString why = m_socket->state() == QLocalSocket::ConnectedState
                                ? m_socket->errorString()
                                : HostLink::connectFailure(e, m_socket->fullServerName());
        finish(ExecuteResult::NoAnswer,
               QStringLiteral("%1: command \"%2\" not answered: %3").arg(m_name, m_command, why));
    });
    connect(m_socket, &QLocalSocket::disconnected, this, [this] {
        finish(ExecuteResult::NoAnswer,
               QStringLiteral("%1: the peer closed the connection without answering command \"%2\"")
                   .arg(m_name, m_command));
    });
}

void ExecuteClient::send(const QString& service, const QString& command, const QString& topic,
                         int timeoutTenths)
{
    m_name = HostLink::endpointName(service, topic);
    m_command = command;
    const QString untrusted = HostLink::checkEndpointDirectory(false);
    if (!untrusted.isEmpty()) {
        notSent(untrusted);
        return;
    }
    m_timer->start(qMax(1, timeoutTenths) * 100);
    m_socket->connectToServer(HostLink::endpointPath(service, topic));
}

void ExecuteClient::onReadyRead()
{
    m_reader.append(m_socket->readAll());
    switch (m_reader.next()) {
    case FrameReader::Status::NeedMore:
        return;
    case FrameReader::Status::Error:
        finish(ExecuteResult::NoAnswer, QStringLiteral("%1: bad answer to command \"%2\": %3")
                                            .arg(m_name, m_command, m_reader.errorString()));
        return;
    case FrameReader::Status::Frame:
        break;
    }
    if (m_reader.verb() == FrameVerb::Ack) {
        finish(ExecuteResult::Accepted, QString());
    } else if (m_reader.verb() == FrameVerb::Nak) {
        finish(ExecuteResult::Refused,
               QStringLiteral("%1: command \"%2\" refused").arg(m_name, m_command));
    } else {
        finish(ExecuteResult::NoAnswer,
               QStringLiteral("%1: %2 frame in answer to command \"%3\"")
                   .arg(m_name, QString::fromLatin1(frameVerbName(m_reader.verb())), m_command));
    }
}

void ExecuteClient::notSent(const QString& why)
{
    finish(ExecuteResult::NoAnswer,
           QStringLiteral("%1: command \"%2\" not sent: %3").arg(m_name, m_command, why));
}

void ExecuteClient::finish(ExecuteResult result, const QString& reason)
{
    if (m_done) {
        return;
    }
    m_done = true;
    m_timer->stop();
    m_socket->disconnect(this);
    m_socket->abort();
    if (result == ExecuteResult::NoAnswer) {
        qCWarning(lcHostLink).noquote() << reason;
    }
    emit finished(result, reason);
}
