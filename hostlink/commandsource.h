#pragma once

#include "hostlink.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <map>
#include <optional>

#include "frame.h"

class QLocalServer;
class QLocalSocket;

// The endpoint others call: each main window's command source ("<program>.Transfer"), and
// the host's request channel in tarnhost ("ISServer.System").
//
// Each complete frame is handed to its handler from the event loop of the thread that owns
// this object, never from inside a socket's signal, so a handler may close its window (and
// with it this object). The reply is written when the handler returns: ACK or NAK by the
// execute handler's result, DATA or NODATA by the request handler's.
class CommandSource : public QObject {
    Q_OBJECT
public:
    enum class ListenResult {
        Listening,
        InUse,  // another running program answers on this endpoint
        Failed, // anything else; errorString() says what
    };

    using ExecuteHandler = std::function<bool(const QString& command)>;
    using RequestHandler = std::function<std::optional<QString>(const QString& item)>;

    explicit CommandSource(const QString& service, const QString& topic = HostLink::TransferTopic,
                           QObject* parent = nullptr);
    ~CommandSource() override;

    // Without a handler, commands are refused and requests get no data.
    void setExecuteHandler(ExecuteHandler handler) { m_execute = std::move(handler); }
    void setRequestHandler(RequestHandler handler) { m_request = std::move(handler); }

    // Starts serving. A socket file left behind by a crashed program is replaced; one that a
    // live program still answers on is left alone and gives InUse.
    ListenResult listen();
    void close();
    bool isListening() const;

    QString errorString() const { return m_error; }
    QString service() const { return m_service; }
    QString topic() const { return m_topic; }
    QString name() const { return HostLink::endpointName(m_service, m_topic); }
    // The socket path, fixed when listen() succeeded.
    QString path() const { return m_path; }

signals:
    // Emitted after the reply has been written.
    void executed(const QString& command, bool accepted);
    void answered(const QString& item, const std::optional<QString>& answer);

private:
    void onNewConnection();
    void onReadyRead(QLocalSocket* socket);
    void onDisconnected(QLocalSocket* socket);
    void dispatch(const QPointer<QLocalSocket>& socket, FrameVerb verb, const QString& text);
    void drop(QLocalSocket* socket, const QString& reason);

    QString m_service;
    QString m_topic;
    QString m_path;
    QString m_error;
    QLocalServer* m_server;
    ExecuteHandler m_execute;
    RequestHandler m_request;
    std::map<QLocalSocket*, FrameReader> m_readers;
    QLocalSocket* m_dispatching = nullptr; // the connection whose handler is running
};
