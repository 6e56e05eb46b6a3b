#include "analysis/runrequest.h"

#include "base/numbertext.h"
#include "model/clsismodelproperties.h"
#include "model/coefficientfile.h"
#include "model/store.h"
#include "model/storelocation.h"

#include <QFileInfo>
#include <QMap>
#include <QRegularExpression>

RunRequest::Layer RunRequest::layerOf(const QString& text)
{
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    if (QFileInfo::exists(text) || colon <= 0) {
        return {text, {}};
    }
    return {text.left(colon), text.mid(colon + 1)};
}

RunRequest::LandCover RunRequest::landCoverOf(const QString& text)
{
    const qsizetype equals = text.indexOf(QLatin1Char('='));
    if (QFileInfo::exists(text) || equals < 0) {
        return {{}, text};
    }
    return {text.left(equals), text.mid(equals + 1)};
}

std::optional<RunRequest::Scenario> RunRequest::scenarioOf(const QString& text)
{
    const qsizetype equals = text.lastIndexOf(QLatin1Char('='));
    if (equals < 0) {
        return std::nullopt;
    }
    return Scenario{layerOf(text.left(equals)), text.mid(equals + 1).trimmed()};
}

namespace {

// Theme names travel in parameter lines, where "#" separates values.
QString themeName(QString name)
{
    for (QChar& c : name) {
        if (c == QLatin1Char('#') || c.category() == QChar::Other_Control) {
            c = QLatin1Char('_');
        }
    }
    return name.trimmed().isEmpty() ? QStringLiteral("layer") : name;
}

const DataCatalog::Field* findField(const DataCatalog::PolygonTheme& theme, const QString& name)
{
    for (const auto sensitivity : {Qt::CaseSensitive, Qt::CaseInsensitive}) {
        for (const DataCatalog::Field& field : theme.fields) {
            if (field.name.compare(name, sensitivity) == 0) {
                return &field;
            }
        }
    }
    return nullptr;
}

class Preparation {
public:
    explicit Preparation(const RunRequest& request) : r(request) {}
    std::optional<PreparedRun> prepare(QString* error);

private:
    bool fail(const QString& why)
    {
        m_error = why;
        return false;
    }
    bool landCover();
    bool coefficients();
    bool density();
    bool scenarios();
    bool units();
    // The theme of a polygon layer, added to the catalogue once per file and layer.
    const DataCatalog::PolygonTheme* polygons(const RunRequest::Layer& wanted,
                                              const QString& option, const QString& chooser);
    // The file, and the layer where the file has layers of its own names.
    QString where(const DataCatalog::PolygonTheme& theme) const;
    bool field(const DataCatalog::PolygonTheme& theme, const QString& name, bool identifier,
               QString* out);

    const RunRequest& r;
    PreparedRun m_run;
    QString m_gridUnits;
    QMap<QString, QString> m_where; // theme -> the file as the user gave it, and its layer
    QString m_error;
};

std::optional<PreparedRun> Preparation::prepare(QString* error)
{
    ModelParams& p = m_run.params;
    p.view = QStringLiteral("View1");
    bool ok = landCover() && coefficients();
    if (ok) {
        const DataCatalog::PolygonTheme* theme =
            polygons(r.polygons, QStringLiteral("--polygons"), QStringLiteral("--layer"));
        ok = theme && field(*theme, r.field, true, &p.analysisUnit);
        if (ok) {
            p.analysisTheme = theme->name;
        }
    }
    ok = ok && density() && scenarios() && units();
    if (!ok) {
        *error = m_error;
        return std::nullopt;
    }
    const QFileInfo output(r.output);
    p.outTheme = output.absoluteFilePath();
    p.outThemeName = output.completeBaseName();
    return m_run;
}

// Each land cover a grid theme named by its label (by default the file's name); two or more
// make a change run, whose labels name its fields.
bool Preparation::landCover()
{
    for (const RunRequest::LandCover& given : r.landCovers) {
        if (!QFileInfo(given.file).isFile()) {
            return fail(QStringLiteral("%1 not found (--land-cover)").arg(given.file));
        }
        QString why;
        auto grid = DataCatalog::gridOf(given.file, &why);
        if (!grid) {
            return fail(QStringLiteral("%1 (--land-cover): %2").arg(given.file, why));
        }
        if (!given.label.isNull()) {
            if (given.label.trimmed().isEmpty()) {
                return fail(QStringLiteral("--land-cover %1=%2: the label is empty")
                                .arg(given.label, given.file));
            }
            grid->name = given.label;
        }
        grid->name = themeName(grid->name);
        if (m_run.catalog.findGrid(grid->name)) {
            return fail(QStringLiteral("--land-cover %1: the label %2 is given twice")
                            .arg(given.file, grid->name));
        }
        if (m_run.catalog.grids.isEmpty()) {
            m_gridUnits = grid->units;
            m_run.params.lcTheme = grid->name;
        }
        if (r.landCovers.size() > 1) {
            m_run.landCovers.push_back({grid->name, grid->name});
        }
        m_run.catalog.grids << *grid;
        m_run.reads << given.file;
    }
    return true;
}

bool Preparation::coefficients()
{
    clsISModelProperties model;
    QString name = r.setName;
    if (!r.coefficientFile.isEmpty()) {
        name = QFileInfo(r.coefficientFile).completeBaseName();
        const ImportResult result = ImportCoefficientFile(model, r.coefficientFile, name);
        if (!result.ok()) {
            return fail(result.message(r.coefficientFile) +
                        (result.line > 0
                             ? QStringLiteral(" (line %1: %2)").arg(result.line).arg(result.detail)
                             : QString()));
        }
        m_run.notes << QStringLiteral("coefficients: %1").arg(r.coefficientFile);
    } else {
        const StoreLocation store = locateStore(r.store);
        StoreLoadResult result;
        if (!LoadModelXML(model, store.path, &result)) {
            return fail(QStringLiteral("The coefficient store cannot be read: %1")
                            .arg(result.describe(store.path)));
        }
        if (!model.ISLCDefs->find(name)) {
            QStringList sets;
            for (const ISLCDefPtr& set : *model.ISLCDefs) {
                sets << set->LCType;
            }
            return fail(QStringLiteral("No coefficient set named '%1' in %2; its sets: %3")
                            .arg(name, store.path, sets.join(QStringLiteral(", "))));
        }
        m_run.notes << QStringLiteral("coefficients: set %1 of the coefficient store %2")
                           .arg(name, store.describe());
    }
    m_run.params.classes = ModelParams::classesOf(model, name);
    if (m_run.params.classes.isEmpty()) {
        return fail(r.coefficientFile.isEmpty()
                        ? QStringLiteral("The coefficient set '%1' has no classes").arg(name)
                        : QStringLiteral("%1 holds no class lines").arg(r.coefficientFile));
    }
    return true;
}

const DataCatalog::PolygonTheme* Preparation::polygons(const RunRequest::Layer& wanted,
                                                       const QString& option,
                                                       const QString& chooser)
{
    if (!QFileInfo(wanted.file).isFile()) {
        fail(QStringLiteral("%1 not found (%2)").arg(wanted.file, option));
        return nullptr;
    }
    QVector<std::pair<QString, QString>> leftOut;
    QString why;
    const auto layers = DataCatalog::polygonLayersOf(wanted.file, &leftOut, &why);
    if (!layers) {
        fail(QStringLiteral("%1 (%2): %3").arg(wanted.file, option, why));
        return nullptr;
    }
    QStringList names;
    for (const DataCatalog::PolygonTheme& layer : *layers) {
        names << layer.source.layer;
    }
    const DataCatalog::PolygonTheme* chosen = nullptr;
    if (wanted.layer.isEmpty()) {
        if (layers->isEmpty()) {
            fail(QStringLiteral("%1 (%2) holds no polygon layer%3")
                     .arg(wanted.file, option,
                          leftOut.isEmpty() ? QString()
                                            : QStringLiteral(": ") + leftOut.first().second));
            return nullptr;
        }
        chosen = &layers->first();
        if (layers->size() > 1) {
            m_run.notes << QStringLiteral("%1 has %2 polygon layers (%3): %4 is read; %5 "
                                          "chooses another")
                               .arg(wanted.file)
                               .arg(layers->size())
                               .arg(names.join(QStringLiteral(", ")), names.first(), chooser);
        }
    } else {
        for (const DataCatalog::PolygonTheme& layer : *layers) {
            if (layer.source.layer == wanted.layer) {
                chosen = &layer;
            }
        }
        for (const auto& [name, reason] : leftOut) {
            if (!chosen && name == wanted.layer) {
                fail(QStringLiteral("%1 (%2)").arg(reason, option));
                return nullptr;
            }
        }
        if (!chosen) {
            fail(QStringLiteral("%1 has no polygon layer %2 (%3); its polygon layers: %4")
                     .arg(wanted.file, wanted.layer, option,
                          names.isEmpty() ? QStringLiteral("none") : names.join(", ")));
            return nullptr;
        }
    }
    DataCatalog& catalog = m_run.catalog;
    for (const DataCatalog::PolygonTheme& theme : catalog.polygons) {
        if (theme.source.path == chosen->source.path &&
            theme.source.layer == chosen->source.layer) {
            return &theme;
        }
    }
    DataCatalog::PolygonTheme theme = *chosen;
    const QString base = themeName(theme.name);
    theme.name = base;
    for (int n = 2; catalog.findPolygon(theme.name); ++n) {
        theme.name = QStringLiteral("%1 (%2)").arg(base, QFileInfo(wanted.file).fileName());
        if (n > 2) {
            theme.name += QStringLiteral(" %1").arg(n - 1);
        }
    }
    catalog.polygons << theme;
    m_where.insert(theme.name,
                   names.size() > 1 || !wanted.layer.isEmpty()
                       ? QStringLiteral("%1, layer %2").arg(wanted.file, theme.source.layer)
                       : wanted.file);
    m_run.reads << m_where.value(theme.name);
    return &catalog.polygons.last();
}

QString Preparation::where(const DataCatalog::PolygonTheme& theme) const
{
    return m_where.value(theme.name, theme.source.path);
}

bool Preparation::field(const DataCatalog::PolygonTheme& theme, const QString& name,
                        bool identifier, QString* out)
{
    const DataCatalog::Field* found = findField(theme, name);
    if (!found) {
        QStringList fields;
        for (const DataCatalog::Field& field : theme.fields) {
            if (!identifier || field.type != QLatin1String("double")) {
                fields << field.name;
            }
        }
        return fail(QStringLiteral("%1: no field %2; fields to choose from: %3")
                        .arg(where(theme), name,
                             fields.isEmpty() ? QStringLiteral("none") : fields.join(", ")));
    }
    if (identifier && found->type == QLatin1String("double")) {
        return fail(QStringLiteral("%1: field %2 holds neither text nor whole numbers, so it "
                                   "cannot identify the polygons")
                        .arg(where(theme), found->name));
    }
    if (!identifier && found->type == QLatin1String("string")) {
        return fail(QStringLiteral("%1: field %2 holds text, not numbers of population density")
                        .arg(where(theme), found->name));
    }
    *out = found->name;
    return true;
}

bool Preparation::density()
{
    ModelParams& p = m_run.params;
    if (r.density.file.isEmpty()) {
        p.popDensity = r.coefficient == QLatin1String("low")      ? ModelParams::Low
                       : r.coefficient == QLatin1String("medium") ? ModelParams::Medium
                                                                  : ModelParams::High;
        return true;
    }
    p.popDensity = ModelParams::Calculate;
    const QStringList parts = r.thresholds.split(QLatin1Char(','));
    double low = 0;
    double high = 0;
    if (parts.size() != 2 || !parseDecimal(parts[0], &low) || !parseDecimal(parts[1], &high)) {
        return fail(QStringLiteral("--thresholds %1: give two numbers, LOW,HIGH (for example "
                                   "5,30)")
                        .arg(r.thresholds));
    }
    if (low > high) {
        return fail(QStringLiteral("--thresholds %1: the low threshold is above the high one")
                        .arg(r.thresholds));
    }
    const DataCatalog::PolygonTheme* theme =
        polygons(r.density, QStringLiteral("--density-layer"), QStringLiteral("FILE:LAYER"));
    if (!theme || !field(*theme, r.densityField, false, &p.popDensityField)) {
        return false;
    }
    p.popDensityTheme = theme->name;
    // As the launcher writes them: Medium lies between the High and the Low threshold.
    p.popDensityHighText = parts[1].trimmed();
    p.popDensityLowText = parts[0].trimmed();
    p.popDensityMedText[0] = p.popDensityHighText;
    p.popDensityMedText[1] = p.popDensityLowText;
    p.popDensityHigh = high;
    p.popDensityLow = low;
    return true;
}

bool Preparation::scenarios()
{
    static const QRegularExpression whole(QStringLiteral("^-?[0-9]+$"));
    ModelParams& p = m_run.params;
    for (const RunRequest::Scenario& given : r.scenarios) {
        ModelParams::Scenario ds;
        ds.number = int(p.scenarios.size()) + 1;
        const auto named = [&](Qt::CaseSensitivity sensitivity) {
            for (const ModelParams::LCClass& cls : p.classes) {
                if (cls.name.compare(given.toClass, sensitivity) == 0) {
                    ds.classId = cls.id;
                    ds.className = cls.name;
                    return true;
                }
            }
            return false;
        };
        if (whole.match(given.toClass).hasMatch()) {
            if (!parseClassValue(given.toClass, &ds.classId)) {
                return fail(QStringLiteral("--scenario %1: the class value is beyond 32 bits")
                                .arg(given.toClass));
            }
            for (const ModelParams::LCClass& cls : p.classes) {
                if (cls.id == ds.classId && ds.className.isNull()) {
                    ds.className = cls.name;
                }
            }
        } else if (!named(Qt::CaseSensitive) && !named(Qt::CaseInsensitive)) {
            return fail(QStringLiteral("--scenario %1=%2: the coefficients have no class %2; "
                                       "give its value or its name")
                            .arg(given.polygons.file, given.toClass));
        }
        const DataCatalog::PolygonTheme* theme =
            polygons(given.polygons, QStringLiteral("--scenario"), QStringLiteral("FILE:LAYER"));
        if (!theme) {
            return false;
        }
        ds.theme = theme->name;
        p.scenarios << ds;
    }
    return true;
}

bool Preparation::units()
{
    ModelParams& p = m_run.params;
    if (r.units.isEmpty()) {
        p.lcUnits = m_gridUnits == QLatin1String("Feet") ? ModelParams::Units::Feet
                                                         : ModelParams::Units::Meters;
    } else if (r.units.compare(QLatin1String("feet"), Qt::CaseInsensitive) == 0) {
        p.lcUnits = ModelParams::Units::Feet;
    } else if (r.units.compare(QLatin1String("meters"), Qt::CaseInsensitive) == 0) {
        p.lcUnits = ModelParams::Units::Meters;
    } else {
        return fail(QStringLiteral("--units %1: give meters or feet").arg(r.units));
    }
    return true;
}

} // namespace

std::optional<PreparedRun> prepareRun(const RunRequest& request, QString* error)
{
    return Preparation(request).prepare(error);
}
