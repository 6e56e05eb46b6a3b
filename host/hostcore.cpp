#include "hostcore.h"

#include "hostlink.h"
#include "hostrequest.h"
#include "imperviousanalysis.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

bool HostCore::fieldMatches(const HostProject::Field& field, int selector)
{
    switch (selector) {
    case 2:
        return field.type == QLatin1String("string") || field.type == QLatin1String("integer");
    case 1:
        return field.type == QLatin1String("integer") || field.type == QLatin1String("double");
    default:
        return true;
    }
}

std::optional<int> HostCore::selector(const QString& text)
{
    if (text == QLatin1String("0") || text == QLatin1String("1") || text == QLatin1String("2"))
        return text.toInt();
    return std::nullopt;
}

HostCore::Answer HostCore::answer(const QString& item) const
{
    if (item == HostRequest::GetActiveDocName())
        return {m_project.viewName, {}, {}, {}};
    if (item == HostRequest::GetWorkDirName())
        return {m_project.workDir, {}, {}, {}};

    QString script;
    QStringList args;
    if (!HostRequest::parseRunScript(item, &script, &args))
        return {std::nullopt, {}, QStringLiteral("not a request this host knows"), {}};

    if (script == QLatin1String("isCallExecuteModel") && args.size() == 1)
        return executeModel(args[0]);

    // The remaining scripts all ask about a view; this host has only one.
    if (args.isEmpty() || args[0] != m_project.viewName)
        return {std::nullopt, {}, QStringLiteral("no such view or arguments"), {}};

    if (script == QLatin1String("isGetGThemes") && args.size() == 1)
        return listAnswer(m_project.gridThemes);
    if (script == QLatin1String("isGetViewUnits") && args.size() == 1)
        return {m_project.mapUnits, {}, {}, {}};

    if (script == QLatin1String("isGetFThemes") && args.size() == 2) {
        const auto sel = selector(args[1]);
        if (!sel)
            return {std::nullopt, {}, QStringLiteral("unknown selector"), {}};
        QStringList names;
        for (const HostProject::Theme& theme : m_project.polygonThemes) {
            const bool any = std::any_of(theme.fields.begin(), theme.fields.end(),
                                         [&](const auto& f) { return fieldMatches(f, *sel); });
            if (*sel == 0 || any)
                names << theme.name;
        }
        return listAnswer(names);
    }

    if (script == QLatin1String("isGetFldNames") && args.size() == 3) {
        const HostProject::Theme* theme = m_project.findPolygonTheme(args[1]);
        const auto sel = selector(args[2]);
        if (!theme || !sel)
            return {std::nullopt, {}, QStringLiteral("unknown theme or selector"), {}};
        QStringList names;
        for (const HostProject::Field& field : theme->fields)
            if (fieldMatches(field, *sel))
                names << field.name;
        return listAnswer(names);
    }
    return {std::nullopt, {}, QStringLiteral("unknown script or wrong number of arguments"), {}};
}

HostCore::Answer HostCore::listAnswer(const QStringList& names) const
{
    const QString joined = names.join(QLatin1Char('#'));
    if (joined.size() <= m_project.listFileThreshold)
        return {joined, {}, {}, {}};

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

QString HostCore::checkThemes(const ModelParamsFile& params) const
{
    const QString prefix = QFileInfo(ModelParamsFile::FileName).fileName() + QStringLiteral(": ");
    if (params.view != m_project.viewName)
        return prefix + QStringLiteral("view %1 not found").arg(params.view);
    if (!m_project.gridThemes.contains(params.lcTheme))
        return prefix + QStringLiteral("grid theme %1 not found").arg(params.lcTheme);
    const auto field = [&](const QString& themeName, const QString& fieldName,
                           int selector) -> QString {
        const HostProject::Theme* theme = m_project.findPolygonTheme(themeName);
        if (!theme)
            return prefix + QStringLiteral("polygon theme %1 not found").arg(themeName);
        if (fieldName.isNull())
            return {};
        for (const HostProject::Field& f : theme->fields)
            if (f.name == fieldName)
                return fieldMatches(f, selector)
                           ? QString()
                           : prefix + QStringLiteral("field %1 of theme %2 is not %3")
                                          .arg(fieldName, themeName,
                                               selector == 2 ? QStringLiteral("a string or "
                                                                              "integer field")
                                                             : QStringLiteral("numeric"));
        return prefix + QStringLiteral("field %1 not found in theme %2").arg(fieldName, themeName);
    };
    QString problem = field(params.analysisTheme, params.analysisUnit, 2);
    if (problem.isEmpty() && params.popDensity == ModelParamsFile::Calculate)
        problem = field(params.popDensityTheme, params.popDensityField, 1);
    for (const ModelParamsFile::Scenario& ds : params.scenarios)
        if (problem.isEmpty())
            problem = field(ds.theme, QString(), 0);
    return problem;
}

HostCore::Answer HostCore::executeModel(const QString& paramFile) const
{
    // The refusal text reaches the user through the launcher's message.
    QString problem;
    // Checked before reading: the file is read whole, and a real one has a few kilobytes.
    constexpr qint64 MaxParamFileBytes = 4 * 1024 * 1024;
    const QFileInfo info(paramFile);
    std::optional<ModelParamsFile> params;
    if (info.isFile() && info.size() > MaxParamFileBytes)
        problem = QStringLiteral("%1: the file has %2 bytes, more than the %3 a parameter file "
                                 "may have")
                      .arg(info.fileName())
                      .arg(info.size())
                      .arg(MaxParamFileBytes);
    else
        params = ModelParamsFile::load(paramFile, &problem);
    if (params)
        problem = checkThemes(*params);
    if (!problem.isEmpty())
        return {problem, {}, QStringLiteral("model not started"), {}};

    // Only when every theme the run reads has a file does the analysis run.
    QStringList themes{params->analysisTheme};
    if (params->popDensity == ModelParamsFile::Calculate)
        themes << params->popDensityTheme;
    for (const ModelParamsFile::Scenario& ds : params->scenarios)
        themes << ds.theme;
    QStringList missing;
    if (!m_project.data.findGrid(params->lcTheme))
        missing << params->lcTheme;
    for (const QString& theme : themes)
        if (!m_project.data.findPolygon(theme) && !missing.contains(theme))
            missing << theme;
    if (!missing.isEmpty())
        return {QStringLiteral("Submitted"),
                {HostLink::CmdCloseProcFrm},
                QStringLiteral("parameters checked; no analysis run, since no data file is "
                               "named for %1")
                    .arg(missing.join(QStringLiteral(", "))),
                {}};

    const QFileInfo output(params->outTheme);
    if (!QFileInfo(output.absolutePath()).isDir())
        return {QStringLiteral("%1: output folder %2 does not exist")
                    .arg(ModelParamsFile::FileName, output.absolutePath()),
                {},
                QStringLiteral("model not started"),
                {}};
    // Refused here too, so that the user hears it at once and no input is ever at stake.
    const QString conflict = ImperviousAnalysis::outputConflict(*params, m_project.data);
    if (!conflict.isEmpty())
        return {QStringLiteral("%1: %2").arg(ModelParamsFile::FileName, conflict),
                {},
                QStringLiteral("model not started"),
                {}};
    return {QStringLiteral("Submitted"),
            {},
            QStringLiteral("model run accepted"),
            QStringList{QFileInfo(paramFile).absoluteFilePath()} + m_project.analysisArguments};
}
