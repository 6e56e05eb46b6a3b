#pragma once

#include <QByteArray>
#include <QString>

// One frame of the host link: a header line "VERB LENGTH\n", then LENGTH bytes of UTF-8.
enum class FrameVerb { Execute, Request, Ack, Nak, Data, NoData };

QByteArray frameVerbName(FrameVerb verb);
QByteArray encodeFrame(FrameVerb verb, const QString& text = QString());

// Cuts frames out of the bytes a connection delivers, in whatever pieces they arrive.
// After an error the reader stays failed: the connection is to be closed.
class FrameReader {
public:
    enum class Status { NeedMore, Frame, Error };

    void append(const QByteArray& bytes) { m_buffer.append(bytes); }
    // Takes the next complete frame from the buffer, if there is one.
    Status next();

    FrameVerb verb() const { return m_verb; }
    const QString& text() const { return m_text; }
    const QString& errorString() const { return m_error; }
    // True when part of a frame has arrived but not all of it.
    bool isMidFrame() const { return m_haveHeader || !m_buffer.isEmpty(); }

private:
    Status fail(const QString& reason);

    QByteArray m_buffer;
    bool m_haveHeader = false;
    bool m_failed = false;
    qint64 m_length = 0;
    FrameVerb m_verb = FrameVerb::NoData;
    QString m_text;
    QString m_error;
};
