#include "hostlink/listanswer.h"

#include "base/textcodec.h"
#include "hostlink/hostlink.h"

#include <QFile>

namespace ListAnswer {

bool isListFile(const QString& answer)
{
    return answer.contains(QLatin1Char('\\')) || answer.startsWith(QLatin1Char('/'));
}

QString lastLine(const QString& text)
{
    int end = text.size();
    if (end > 0 && text.at(end - 1) == QLatin1Char('\n')) {
        --end;
    }
    if (end > 0 && text.at(end - 1) == QLatin1Char('\r')) {
        --end;
    }
    int start = end;
    while (start > 0 && text.at(start - 1) != QLatin1Char('\n') &&
           text.at(start - 1) != QLatin1Char('\r')) {
        --start;
    }
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
            if (error) {
                *error = reason;
            }
            return {};
        }
        joined = lastLine(decodeText(file.readAll()));
        file.close();
        if (!file.remove()) {
            qCWarning(lcHostLink).noquote()
                << "cannot delete list file" << answer << ":" << file.errorString();
        }
    }
    if (joined.isEmpty()) {
        return {};
    }
    return joined.split(QLatin1Char('#'));
}

} // namespace ListAnswer
