#pragma once

#include "hostlink/hostlink.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <map>
#include <optional>

#include "hostlink/frame.h"

class QLocalServer;
class QLocalSocket;
class QTimer;

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

    // Open connections per endpoint; more are refused, so that descriptors never run out.
    static constexpr int MaxConnections = 64;
    // Bytes of replies waiting for a caller that does not read; beyond, it is dropped.
    static constexpr qint64 MaxQueuedReplyBytes = 2 * HostLink::MaxFrameLength;

    using ExecuteHandler = std::function<bool(const QString& command)>;
    using RequestHandler = std::function<std::optional<QString>(const QString& item)>;

    explicit CommandSource(const QString& service, const QString& topic = HostLink::TransferTopic,
                           QObject* parent = nullptr);
    ~CommandSource() override;

    // Without a handler, commands are refused and requests get no data.
    void setExecuteHandler(ExecuteHandler handler) { m_execute = std::move(handler); }
    void setRequestHandler(RequestHandler handler) { m_request = std::move(handler); }

    // Starts serving. A socket file left behind by a crashed program is replaced; one that a
    // live program still answers on is left alone and gives InUse. Serving goes on by itself
    // when Qt stops listening or the socket file is removed.
    ListenResult listen();
    void close();
    bool isListening() const;

    // A connection on which nothing has moved for this long while no reply is owed is closed,
    // so that silent or half-sent callers cannot hold the endpoint's connections for good.
    void setIdleTimeout(int ms) { m_idleTimeoutMs = ms; }

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
    struct Connection {
        FrameReader reader;
        QTimer* idle = nullptr;
        bool busy = false; // a frame of it is being handled; the next waits
    };

    void onNewConnection();
    void onReadyRead(QLocalSocket* socket);
    void onDisconnected(QLocalSocket* socket);
    void onIdle(QLocalSocket* socket);
    void checkListening();
    void dispatch(const QPointer<QLocalSocket>& socket, FrameVerb verb, const QString& text);
    void drop(QLocalSocket* socket, const QString& reason);

    QString m_service;
    QString m_topic;
    QString m_path;
    QString m_error;
    QLocalServer* m_server;
    QTimer* m_watch; // notices a server that Qt closed behind our back
    int m_idleTimeoutMs = 60000;
    ExecuteHandler m_execute;
    RequestHandler m_request;
    std::map<QLocalSocket*, Connection> m_connections;
    // Connections whose handler is running; a handler may wait for the user, and frames of
    // other connections are handled meanwhile.
    QList<QLocalSocket*> m_dispatching;
    // The socket file as created, to notice when it is removed.
    quint64 m_device = 0;
    quint64 m_inode = 0;
    bool m_elsewhere = false; // another program's socket holds the path
};

// How a program's start went with its command endpoint.
enum class StartOutcome {
    Serving,     // host commands reach this copy
    HandedOver,  // another copy serves the endpoint and has come to the front; this one ends
    Unreachable, // host commands cannot reach this copy; the message says why
};
// Serves the program's endpoint; when another copy of the program already serves it, asks
// that copy to show its window ("{view}") instead, as single-instance programs do.
StartOutcome serveOrHandOver(CommandSource& source, QString* message, int timeoutTenths = 50);
