#pragma once

#include "hostlink/clientlink.h"
#include "hostlink/frame.h"
#include "hostlink/hostlink.h"

#include <QObject>
#include <QString>

class QLocalSocket;
class QTimer;

// Sends one command without blocking: the answer arrives through the event loop. A host uses
// it so that it keeps answering requests while a program has not yet acknowledged a command.
class ExecuteClient : public QObject {
    Q_OBJECT
public:
    explicit ExecuteClient(QObject* parent = nullptr);

    // One command per client; finished() is emitted exactly once, possibly before send()
    // returns when nobody serves the endpoint.
    void send(const QString& service, const QString& command,
              const QString& topic = HostLink::TransferTopic,
              int timeoutTenths = HostLink::DefaultTimeoutTenths);

signals:
    // `reason` is empty when the command was accepted.
    void finished(ExecuteResult result, const QString& reason);

private:
    void onReadyRead();
    void finish(ExecuteResult result, const QString& reason);
    void notSent(const QString& why);

    QLocalSocket* m_socket;
    QTimer* m_timer;
    FrameReader m_reader;
    QString m_name;
    QString m_command;
    bool m_done = false;
};
