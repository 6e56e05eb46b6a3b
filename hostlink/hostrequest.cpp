#include "hostlink/hostrequest.h"

namespace HostRequest {

QString GetActiveDocName()
{
    return QStringLiteral("av.GetActiveDoc.GetName");
}

QString GetWorkDirName()
{
    return QStringLiteral("av.GetProject.GetWorkDir.GetFullName.AsString");
}

QString runScript(const QString& script, const QStringList& arguments)
{
    QStringList quoted;
    for (const QString& argument : arguments) {
        quoted << QLatin1Char('"') + argument + QLatin1Char('"');
    }
    return QStringLiteral("av.Run(\"") + script + QStringLiteral("\",{") +
           quoted.join(QLatin1Char(',')) + QStringLiteral("})");
}

QString isGetGThemes(const QString& view)
{
    return runScript(QStringLiteral("isGetGThemes"), {view});
}

QString isGetFThemes(const QString& view, ThemeSelector selector)
{
    return runScript(QStringLiteral("isGetFThemes"), {view, QString::number(int(selector))});
}

QString isGetFldNames(const QString& view, const QString& theme, ThemeSelector selector)
{
    return runScript(QStringLiteral("isGetFldNames"),
                     {view, theme, QString::number(int(selector))});
}

QString isGetViewUnits(const QString& view)
{
    return runScript(QStringLiteral("isGetViewUnits"), {view});
}

QString isCallExecuteModel(const QString& paramFilePath)
{
    return runScript(QStringLiteral("isCallExecuteModel"), {paramFilePath});
}

QString isCancelModel(const QString& paramFilePath)
{
    return runScript(QStringLiteral("isCancelModel"), {paramFilePath});
}

bool parseRunScript(const QString& item, QString* script, QStringList* arguments)
{
    const QString head = QStringLiteral("av.Run(\"");
    const QString tail = QStringLiteral("})");
    if (!item.startsWith(head) || !item.endsWith(tail)) {
        return false;
    }
    const int nameEnd = item.indexOf(QLatin1Char('"'), head.size());
    if (nameEnd < 0 || item.mid(nameEnd + 1, 2) != QLatin1String(",{")) {
        return false;
    }
    const int listStart = nameEnd + 3;
    const int listEnd = item.size() - tail.size();
    if (listEnd < listStart) {
        return false;
    }

    // Arguments are "..." separated by ","; since nothing is escaped, no argument holds a quote.
    QStringList parsed;
    int pos = listStart;
    while (pos < listEnd) {
        if (item.at(pos) != QLatin1Char('"')) {
            return false;
        }
        const int close = item.indexOf(QLatin1Char('"'), pos + 1);
        if (close < 0 || close >= listEnd) {
            return false;
        }
        parsed << item.mid(pos + 1, close - pos - 1);
        pos = close + 1;
        if (pos < listEnd) {
            if (item.at(pos) != QLatin1Char(',') || pos + 1 >= listEnd) {
                return false;
            }
            ++pos;
        }
    }
    *script = item.mid(head.size(), nameEnd - head.size());
    *arguments = parsed;
    return true;
}

} // namespace HostRequest
