#include "listanswer.h"

#include "hostlink.h"

#include <QFile>
#include <QStringDecoder>

namespace ListAnswer {

namespace {

// Windows-1252 differs from Latin-1 only in 0x80..0x9f; unassigned bytes map to themselves.
const char16_t cp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

} // namespace

bool isListFile(const QString& answer)
{
    return answer.contains(QLatin1Char('\\')) || answer.startsWith(QLatin1Char('/'));
}

QString decodeText(const QByteArray& bytes)
{
    QStringDecoder utf8(QStringDecoder::Utf8); // skips a leading byte order mark
    const QString text = utf8.decode(bytes);
    if (!utf8.hasError())
        return text;
    QString latin;
    latin.reserve(bytes.size());
    for (char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        latin += (u >= 0x80 && u < 0xa0) ? QChar(cp1252High[u - 0x80]) : QChar(u);
    }
    return latin;
}

QString lastLine(const QString& text)
{
    int end = text.size();
    if (end > 0 && text.at(end - 1) == QLatin1Char('\n'))
        --end;
    if (end > 0 && text.at(end - 1) == QLatin1Char('\r'))
        --end;
    int start = end;
    while (start > 0 && text.at(start - 1) != QLatin1Char('\n') &&
           text.at(start - 1) != QLatin1Char('\r'))
        --start;
    return text.mid(start, end - start);
}

QStringList split(const QString& answer, QString* error)
{
    QString joined = answer;
    if (isListFile(answer)) {
        QFile file(answer);
        if (!file.open(QIODevice::ReadOnly)) {
            const QString reason =
                QStringLiteral("cannot read list file %1: %2").arg(answer, file.errorString());
            qCWarning(lcHostLink).noquote() << reason;
            if (error)
                *error = reason;
            return {};
        }
        joined = lastLine(decodeText(file.readAll()));
        file.close();
        if (!file.remove())
            qCWarning(lcHostLink).noquote()
                << "cannot delete list file" << answer << ":" << file.errorString();
    }
    if (joined.isEmpty())
        return {};
    return joined.split(QLatin1Char('#'));
}

} // namespace ListAnswer
