#pragma once

#include "hostlink/frame.h"
#include "hostlink/hostlink.h"

#include <QString>

enum class ExecuteResult { Accepted, Refused, NoAnswer };

// The caller's side of a conversation: the launcher's link to the host ("ISServer.System"),
// and `tarnhost send`. Every call blocks on the socket until the answer or the time-out;
// there is no nested event loop, so no command can run in the middle of a request.
// Each call opens its own connection, so a host restarted between calls is simply found again.
class ClientLink {
public:
    enum class Failure {
        None,
        NotRunning,    // nobody serves the endpoint, or only another user's program
        TimedOut,      // no complete answer before the time-out
        Disconnected,  // the peer closed the connection before its answer was complete
        ProtocolError, // the answer was not a well-formed frame of the expected kind
        NoData,        // the host answered that it has no data for the item
        TooShort,      // the answer has fewer than 2 characters, which counts as none
    };

    explicit ClientLink(const QString& service = HostLink::HostService,
                        const QString& topic = HostLink::HostTopic);

    void setService(const QString& service) { m_service = service; }
    void setTopic(const QString& topic) { m_topic = topic; }
    QString service() const { return m_service; }
    QString topic() const { return m_topic; }
    QString name() const { return HostLink::endpointName(m_service, m_topic); }

    // Time-out of one call, in tenths of a second; values below 1 count as 1.
    void setTimeout(int tenths) { m_timeoutTenths = tenths < 1 ? 1 : tenths; }
    int timeout() const { return m_timeoutTenths; }

    // The answer text, or an empty text when there is none (see lastFailure()).
    QString request(const QString& item);
    // Sends one command and waits for the peer's verdict.
    ExecuteResult execute(const QString& command);

    Failure lastFailure() const { return m_failure; }
    // Why the last call failed, in words; empty after a successful call.
    QString lastError() const { return m_error; }

private:
    struct Reply {
        bool ok = false;
        FrameVerb verb = FrameVerb::NoData;
        QString text;
    };
    Reply call(FrameVerb verb, const QString& text);
    void fail(Failure failure, const QString& reason);

    QString m_service;
    QString m_topic;
    int m_timeoutTenths = HostLink::DefaultTimeoutTenths;
    Failure m_failure = Failure::None;
    QString m_error;
};
