#include "catalog/hostproject.h"

#include "catalog/outputtarget.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

namespace {

const QStringList fieldTypes{QStringLiteral("string"), QStringLiteral("integer"),
                             QStringLiteral("double")};

// Names travel inside av.Run("...") items and "#"-joined lists, which escape nothing.
QString nameProblem(const QString& name)
{
    if (name.trimmed().isEmpty()) {
        return QStringLiteral("is empty");
    }
    for (QChar c : name) {
        if (c == QLatin1Char('#') || c == QLatin1Char('"') || c == QLatin1Char('\\')) {
            return QStringLiteral("contains '%1', which cannot cross the host link").arg(c);
        }
        if (c.category() == QChar::Other_Control) {
            return QStringLiteral("contains a control character");
        }
    }
    return {};
}

bool readName(const QJsonObject& object, const QString& key, const QString& where, QString* out,
              QString* error)
{
    const QJsonValue value = object.value(key);
    if (!value.isString()) {
        *error = QStringLiteral("%1\"%2\" %3")
                     .arg(where, key,
                          value.isUndefined() ? QStringLiteral("is missing")
                                              : QStringLiteral("must be a text"));
        return false;
    }
    const QString problem = nameProblem(value.toString());
    if (!problem.isEmpty()) {
        *error = QStringLiteral("%1\"%2\" %3").arg(where, key, problem);
        return false;
    }
    *out = value.toString();
    return true;
}

bool readArray(const QJsonObject& object, const QString& key, const QString& where, QJsonArray* out,
               QString* error)
{
    const QJsonValue value = object.value(key);
    if (!value.isArray()) {
        *error = QStringLiteral("%1\"%2\" %3")
                     .arg(where, key,
                          value.isUndefined() ? QStringLiteral("is missing")
                                              : QStringLiteral("must be a list"));
        return false;
    }
    *out = value.toArray();
    return true;
}

// The fields of the polygon theme named theme.
bool readFields(const QJsonArray& fields, const QString& theme, QList<HostProject::Field>* out,
                QString* error)
{
    for (int j = 0; j < fields.size(); ++j) {
        const QString fieldWhere =
            QStringLiteral("polygon theme \"%1\", field %2: ").arg(theme).arg(j + 1);
        if (!fields[j].isObject()) {
            *error = fieldWhere + QStringLiteral("must be an object with \"name\" and \"type\"");
            return false;
        }
        HostProject::Field field;
        if (!readName(fields[j].toObject(), QStringLiteral("name"), fieldWhere, &field.name,
                      error)) {
            return false;
        }
        field.type = fields[j].toObject().value(QStringLiteral("type")).toString();
        if (!fieldTypes.contains(field.type)) {
            *error = fieldWhere + QStringLiteral("\"type\" must be one of %1")
                                      .arg(fieldTypes.join(QStringLiteral(", ")));
            return false;
        }
        *out << field;
    }
    return true;
}

} // namespace

const HostProject::Theme* HostProject::findPolygonTheme(const QString& name) const
{
    for (const Theme& theme : polygonThemes) {
        if (theme.name == name) {
            return &theme;
        }
    }
    return nullptr;
}

bool HostProject::fieldMatches(const Field& field, int selector)
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

QStringList HostProject::themesRead(const ModelParams& params)
{
    QStringList themes{params.lcTheme, params.analysisTheme};
    if (params.popDensity == ModelParams::Calculate) {
        themes << params.popDensityTheme;
    }
    for (const ModelParams::Scenario& ds : params.scenarios) {
        themes << ds.theme;
    }
    return themes;
}

QString HostProject::checkRun(const ModelParams& params, bool willRun, const QString& format) const
{
    const QString prefix = QFileInfo(ModelParams::FileName).fileName() + QStringLiteral(": ");
    if (params.view != viewName) {
        return prefix + QStringLiteral("view %1 not found").arg(params.view);
    }
    if (!gridThemes.contains(params.lcTheme)) {
        return prefix + QStringLiteral("grid theme %1 not found").arg(params.lcTheme);
    }
    const auto field = [&](const QString& themeName, const QString& fieldName,
                           int selector) -> QString {
        const Theme* theme = findPolygonTheme(themeName);
        if (!theme) {
            return prefix + QStringLiteral("polygon theme %1 not found").arg(themeName);
        }
        if (fieldName.isNull()) {
            return {};
        }
        for (const Field& f : theme->fields) {
            if (f.name == fieldName) {
                return fieldMatches(f, selector)
                           ? QString()
                           : prefix + QStringLiteral("field %1 of theme %2 is not %3")
                                          .arg(fieldName, themeName,
                                               selector == 2 ? QStringLiteral("a string or "
                                                                              "integer field")
                                                             : QStringLiteral("numeric"));
            }
        }
        return prefix + QStringLiteral("field %1 not found in theme %2").arg(fieldName, themeName);
    };
    QString problem = field(params.analysisTheme, params.analysisUnit, 2);
    if (problem.isEmpty() && params.popDensity == ModelParams::Calculate) {
        problem = field(params.popDensityTheme, params.popDensityField, 1);
    }
    for (const ModelParams::Scenario& ds : params.scenarios) {
        if (problem.isEmpty()) {
            problem = field(ds.theme, QString(), 0);
        }
    }
    if (!problem.isEmpty() || !willRun) {
        return problem;
    }
    const QFileInfo output(params.outTheme);
    if (!QFileInfo(output.absolutePath()).isDir()) {
        return prefix +
               QStringLiteral("output folder %1 does not exist").arg(output.absolutePath());
    }
    // Refused before the run too, so that the user hears it at once and no input is at stake.
    const QString conflict = outputConflict(params, data, format);
    if (!conflict.isEmpty()) {
        return prefix + conflict;
    }
    return {};
}

std::optional<HostProject> HostProject::parse(const QByteArray& json, const QString& baseDir,
                                              QString* error)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        *error = QStringLiteral("not valid JSON at offset %1: %2")
                     .arg(parseError.offset)
                     .arg(parseError.errorString());
        return std::nullopt;
    }
    if (!document.isObject()) {
        *error = QStringLiteral("the top level must be an object");
        return std::nullopt;
    }
    const QJsonObject root = document.object();
    HostProject project;

    if (!readName(root, QStringLiteral("view"), QString(), &project.viewName, error) ||
        !readName(root, QStringLiteral("mapUnits"), QString(), &project.mapUnits, error)) {
        return std::nullopt;
    }

    const QJsonValue workDir = root.value(QStringLiteral("workDir"));
    if (!workDir.isString() || workDir.toString().trimmed().isEmpty()) {
        *error = QStringLiteral("\"workDir\" must be a folder path");
        return std::nullopt;
    }
    QString dir = workDir.toString();
    const QString temp = QStringLiteral("$TEMP");
    if (dir == temp || dir.startsWith(temp + QLatin1Char('/'))) {
        dir = QDir::tempPath() + dir.mid(temp.size());
    }
    project.workDir = QDir::cleanPath(QDir(baseDir).absoluteFilePath(dir));

    QJsonArray grids;
    if (!readArray(root, QStringLiteral("gridThemes"), QString(), &grids, error)) {
        return std::nullopt;
    }
    for (int i = 0; i < grids.size(); ++i) {
        const QString problem =
            grids[i].isString() ? nameProblem(grids[i].toString()) : QStringLiteral("is no text");
        if (!problem.isEmpty()) {
            *error = QStringLiteral("\"gridThemes\" entry %1 %2").arg(i + 1).arg(problem);
            return std::nullopt;
        }
        project.gridThemes << grids[i].toString();
    }

    QJsonArray themes;
    if (!readArray(root, QStringLiteral("polygonThemes"), QString(), &themes, error)) {
        return std::nullopt;
    }
    for (int i = 0; i < themes.size(); ++i) {
        const QString where = QStringLiteral("polygon theme %1: ").arg(i + 1);
        if (!themes[i].isObject()) {
            *error = where + QStringLiteral("must be an object with \"name\" and \"fields\"");
            return std::nullopt;
        }
        const QJsonObject object = themes[i].toObject();
        Theme theme;
        QJsonArray fields;
        if (!readName(object, QStringLiteral("name"), where, &theme.name, error) ||
            !readArray(object, QStringLiteral("fields"), where, &fields, error)) {
            return std::nullopt;
        }
        if (project.findPolygonTheme(theme.name)) {
            *error = where + QStringLiteral("the name \"%1\" is used twice").arg(theme.name);
            return std::nullopt;
        }
        if (!readFields(fields, theme.name, &theme.fields, error)) {
            return std::nullopt;
        }
        project.polygonThemes << theme;
    }

    const QJsonValue threshold = root.value(QStringLiteral("listFileThreshold"));
    if (!threshold.isUndefined()) {
        const double value = threshold.toDouble(-1);
        if (!threshold.isDouble() || value < 0 || value > 1e9 || value != std::floor(value)) {
            *error = QStringLiteral("\"listFileThreshold\" must be a whole number of 0 or more");
            return std::nullopt;
        }
        project.listFileThreshold = static_cast<int>(value);
    }
    return project;
}

std::optional<HostProject> HostProject::load(const QString& path, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("%1: cannot read: %2").arg(path, file.errorString());
        return std::nullopt;
    }
    QString problem;
    auto project = parse(file.readAll(), QFileInfo(path).absolutePath(), &problem);
    if (!project) {
        *error = QStringLiteral("%1: %2").arg(path, problem);
        return project;
    }
    auto data = DataCatalog::fromProjectFile(path, error);
    if (!data) {
        return std::nullopt;
    }
    project->data = *data;
    project->analysisArguments = {QStringLiteral("--project"), QFileInfo(path).absoluteFilePath()};
    return project;
}

std::optional<HostProject> HostProject::fromDataFolder(const QString& dir, const QString& workDir,
                                                       QString* error)
{
    auto data = DataCatalog::scanFolder(dir, error);
    if (!data) {
        return std::nullopt;
    }
    HostProject project;
    project.viewName = QStringLiteral("View1");
    project.workDir = QDir::cleanPath(QDir().absoluteFilePath(workDir.isEmpty() ? dir : workDir));
    project.mapUnits = data->mapUnits();
    for (const DataCatalog::GridTheme& grid : data->grids) {
        // Names the link cannot carry are left out, as a project description refuses them.
        if (nameProblem(grid.name).isEmpty()) {
            project.gridThemes << grid.name;
        } else {
            data->notes
                << QStringLiteral("grid theme %1 %2").arg(grid.name, nameProblem(grid.name));
        }
    }
    for (const DataCatalog::PolygonTheme& polygons : data->polygons) {
        if (!nameProblem(polygons.name).isEmpty()) {
            data->notes << QStringLiteral("polygon theme %1 %2")
                               .arg(polygons.name, nameProblem(polygons.name));
            continue;
        }
        Theme theme{polygons.name, {}};
        for (const Field& field : polygons.fields) {
            if (nameProblem(field.name).isEmpty()) {
                theme.fields << field;
            }
        }
        project.polygonThemes << theme;
    }
    project.data = *data;
    project.analysisArguments = {QStringLiteral("--data"), QDir(dir).absolutePath()};
    return project;
}
