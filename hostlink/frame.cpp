#include "hostlink/frame.h"

#include "hostlink/hostlink.h"

#include <QStringDecoder>

#include <array>
#include <utility>

namespace {

const std::array<std::pair<FrameVerb, const char*>, 6> verbNames{{
    {FrameVerb::Execute, "EXECUTE"},
    {FrameVerb::Request, "REQUEST"},
    {FrameVerb::Ack, "ACK"},
    {FrameVerb::Nak, "NAK"},
    {FrameVerb::Data, "DATA"},
    {FrameVerb::NoData, "NODATA"},
}};

// "REQUEST 1048576" is 15 bytes; anything much longer without a line end is not a header.
constexpr int MaxHeaderLength = 32;
constexpr int MaxLengthDigits = 8;

// Shows untrusted bytes in a log line without letting them break it.
QString printable(const QByteArray& bytes)
{
    QString out;
    for (char c : bytes.left(MaxHeaderLength)) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7f) {
            out += QLatin1Char(c);
        } else {
            out += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
        }
    }
    return out;
}

} // namespace

QByteArray frameVerbName(FrameVerb verb)
{
    for (const auto& [v, name] : verbNames) {
        if (v == verb) {
            return name;
        }
    }
    return {};
}

QByteArray encodeFrame(FrameVerb verb, const QString& text)
{
    const QByteArray body = text.toUtf8();
    return frameVerbName(verb) + ' ' + QByteArray::number(body.size()) + '\n' + body;
}

FrameReader::Status FrameReader::fail(const QString& reason)
{
    m_failed = true;
    m_error = reason;
    return Status::Error;
}

FrameReader::Status FrameReader::next()
{
    if (m_failed) {
        return Status::Error;
    }

    if (!m_haveHeader) {
        const int end = m_buffer.indexOf('\n');
        if (end < 0) {
            if (m_buffer.size() > MaxHeaderLength) {
                return fail(QStringLiteral("no header line end within %1 bytes (\"%2\")")
                                .arg(MaxHeaderLength)
                                .arg(printable(m_buffer)));
            }
            return Status::NeedMore;
        }
        const QByteArray header = m_buffer.left(end);
        const int space = header.indexOf(' ');
        if (space < 0) {
            return fail(QStringLiteral("malformed header \"%1\"").arg(printable(header)));
        }
        const QByteArray verbName = header.left(space);
        const QByteArray digits = header.mid(space + 1);

        bool known = false;
        for (const auto& [v, name] : verbNames) {
            if (verbName == name) {
                m_verb = v;
                known = true;
            }
        }
        if (!known) {
            return fail(QStringLiteral("unknown verb in header \"%1\"").arg(printable(header)));
        }

        bool allDigits = !digits.isEmpty() && digits.size() <= MaxLengthDigits;
        for (char c : digits) {
            allDigits = allDigits && c >= '0' && c <= '9';
        }
        if (!allDigits) {
            return fail(QStringLiteral("malformed length in header \"%1\"").arg(printable(header)));
        }
        m_length = digits.toLongLong();
        if (m_length > HostLink::MaxFrameLength) {
            return fail(QStringLiteral("frame of %1 bytes is over the limit of %2 bytes")
                            .arg(m_length)
                            .arg(HostLink::MaxFrameLength));
        }
        m_buffer.remove(0, end + 1);
        m_haveHeader = true;
    }

    if (m_buffer.size() < m_length) {
        return Status::NeedMore;
    }

    const QByteArray body = m_buffer.left(m_length);
    m_buffer.remove(0, m_length);
    m_haveHeader = false;

    // Keep a leading byte order mark: the text crosses exactly as sent.
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom);
    m_text = decoder.decode(body);
    if (decoder.hasError()) {
        return fail(QStringLiteral("%1 frame is not valid UTF-8").arg(frameVerbName(m_verb)));
    }
    return Status::Frame;
}
