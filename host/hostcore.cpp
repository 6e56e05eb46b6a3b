#include "host/hostcore.h"

#include "hostlink/hostlink.h"
#include "hostlink/hostrequest.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

std::optional<int> HostCore::selector(const QString& text)
{
    if (text == QLatin1String("0") || text == QLatin1String("1") || text == QLatin1String("2")) {
        return text.toInt();
    }
    return std::nullopt;
}

HostCore::Answer HostCore::answer(const QString& item) const
{
    if (item == HostRequest::GetActiveDocName()) {
        return {m_project.viewName, {}, {}, {}};
    }
    if (item == HostRequest::GetWorkDirName()) {
        return {m_project.workDir, {}, {}, {}};
    }

    QString script;
    QStringList args;
    if (!HostRequest::parseRunScript(item, &script, &args)) {
        return {std::nullopt, {}, QStringLiteral("not a request this host knows"), {}};
    }

    if (script == QLatin1String("isCallExecuteModel") && args.size() == 1) {
        return executeModel(args[0]);
    }

    // The remaining scripts all ask about a view; this host has only one.
    if (args.isEmpty() || args[0] != m_project.viewName) {
        return {std::nullopt, {}, QStringLiteral("no such view or arguments"), {}};
    }

    if (script == QLatin1String("isGetGThemes") && args.size() == 1) {
        return listAnswer(m_project.gridThemes);
    }
    if (script == QLatin1String("isGetViewUnits") && args.size() == 1) {
        return {m_project.mapUnits, {}, {}, {}};
    }

    if (script == QLatin1String("isGetFThemes") && args.size() == 2) {
        const auto sel = selector(args[1]);
        if (!sel) {
            return {std::nullopt, {}, QStringLiteral("unknown selector"), {}};
        }
        QStringList names;
        for (const HostProject::Theme& theme : m_project.polygonThemes) {
            const bool any =
                std::any_of(theme.fields.begin(), theme.fields.end(),
                            [&](const auto& f) { return HostProject::fieldMatches(f, *sel); });
            if (*sel == 0 || any) {
                names << theme.name;
            }
        }
        return listAnswer(names);
    }

    if (script == QLatin1String("isGetFldNames") && args.size() == 3) {
        const HostProject::Theme* theme = m_project.findPolygonTheme(args[1]);
        const auto sel = selector(args[2]);
        if (!theme || !sel) {
            return {std::nullopt, {}, QStringLiteral("unknown theme or selector"), {}};
        }
        QStringList names;
        for (const HostProject::Field& field : theme->fields) {
            if (HostProject::fieldMatches(field, *sel)) {
                names << field.name;
            }
        }
        return listAnswer(names);
    }
    return {std::nullopt, {}, QStringLiteral("unknown script or wrong number of arguments"), {}};
}

HostCore::Answer HostCore::listAnswer(const QStringList& names) const
{
    const QString joined = names.join(QLatin1Char('#'));
    if (joined.size() <= m_project.listFileThreshold) {
        return {joined, {}, {}, {}};
    }

    QTemporaryFile file(QDir::tempPath() + QStringLiteral("/tarnhost-XXXXXX.lst"));
    file.setAutoRemove(false); // the caller reads and deletes it
    if (!file.open() || file.write(joined.toUtf8() + "\r\n") < 0 || !file.flush()) {
        // Better a long answer than none.
        return {joined,
                {},
                QStringLiteral("cannot write a list file (%1); answered in full")
                    .arg(file.errorString()),
                {}};
    }
    const QString path = QFileInfo(file.fileName()).absoluteFilePath();
    return {path,
            {},
            QStringLiteral("list of %1 characters written to %2").arg(joined.size()).arg(path),
            {}};
}

HostCore::Answer HostCore::executeModel(const QString& paramFile) const
{
    // Only when every theme the run reads has a file does the analysis run.
    QString problem;
    const auto params = ModelParams::load(paramFile, &problem);
    QStringList missing;
    if (params) {
        const QStringList themes = HostProject::themesRead(*params);
        for (int i = 0; i < themes.size(); ++i) {
            const bool has = i == 0 ? m_project.data.findGrid(themes[i]) != nullptr
                                    : m_project.data.findPolygon(themes[i]) != nullptr;
            if (!has && !missing.contains(themes[i])) {
                missing << themes[i];
            }
        }
        problem = m_project.checkRun(*params, missing.isEmpty());
    }
    // The refusal text reaches the user through the launcher's message.
    if (!problem.isEmpty()) {
        return {problem, {}, QStringLiteral("model not started"), {}};
    }
    if (!missing.isEmpty()) {
        return {QStringLiteral("Submitted"),
                {HostLink::CmdCloseProcFrm},
                QStringLiteral("parameters checked; no analysis run, since no data file is "
                               "named for %1")
                    .arg(missing.join(QStringLiteral(", "))),
                {}};
    }
    return {QStringLiteral("Submitted"),
            {},
            QStringLiteral("model run accepted"),
            QStringList{QFileInfo(paramFile).absoluteFilePath()} + m_project.analysisArguments};
}
