#include "catalog/outputtarget.h"

#include "catalog/gdalsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <utility>
#include <vector>

namespace {

struct Format {
    const char* suffix;
    const char* driver;
};
constexpr Format formats[] = {{"shp", "ESRI Shapefile"}, {"gpkg", "GPKG"},
                              {"geojson", "GeoJSON"},    {"json", "GeoJSON"},
                              {"fgb", "FlatGeobuf"},     {"csv", "CSV"}};

// A file's path with its folder resolved and its extension in lower case: two paths with one
// key name one file, or files a shapefile reader takes for one another.
QString fileKey(const QString& path)
{
    const QFileInfo info(path);
    const QString folder = QFileInfo(info.absolutePath()).canonicalFilePath();
    const QString name = info.fileName();
    const QString suffix = info.suffix();
    return (folder.isEmpty() ? info.absolutePath() : folder) + QLatin1Char('/') +
           name.left(name.size() - suffix.size()) + suffix.toLower();
}

// The files a theme is read from, by key, with the name a message gives each: its file (also
// where a link leads, and for a shapefile the other parts) by the theme's path, and for other
// formats every other file GDAL reads for it (the sources of a VRT, sidecar files) by its own.
std::vector<std::pair<QString, QString>> themeFiles(const QString& path)
{
    QStringList own{path, QFileInfo(path).canonicalFilePath()};
    const bool shapefile = path.endsWith(QLatin1String(".shp"), Qt::CaseInsensitive);
    if (shapefile) {
        own << OutputTarget{path, QStringLiteral("ESRI Shapefile")}.files();
    }
    std::vector<std::pair<QString, QString>> files;
    const auto add = [&](const QString& file, const QString& name) {
        if (!file.isEmpty()) {
            files.push_back({fileKey(file), name});
            const QString target = QFileInfo(file).canonicalFilePath();
            if (!target.isEmpty()) {
                files.push_back({fileKey(target), name});
            }
        }
    };
    for (const QString& file : own) {
        add(file, path);
    }
    // A shapefile's parts are all above; opening it would read its whole shape index.
    if (shapefile) {
        return files;
    }
    initGdal();
    GdalDatasetPtr dataset(GDALDataset::Open(QFile::encodeName(path).constData(),
                                             GDAL_OF_RASTER | GDAL_OF_VECTOR | GDAL_OF_READONLY));
    takeGdalError();
    char** list = dataset ? dataset->GetFileList() : nullptr;
    for (char** file = list; file && *file; ++file) {
        const QString name = QFile::decodeName(*file);
        add(name, own.contains(name) ? path : name);
    }
    CSLDestroy(list);
    return files;
}

} // namespace

QStringList shapefileParts(const QString& shpPath)
{
    const QString base = shpPath.left(shpPath.size() - 4);
    QStringList parts;
    for (const char* suffix : {".shp", ".shx", ".dbf", ".prj", ".cpg", ".qix", ".sbn", ".sbx"}) {
        parts << base + QLatin1String(suffix);
    }
    return parts;
}

std::optional<OutputTarget> OutputTarget::resolve(const QString& outTheme, const QString& format,
                                                  QString* error)
{
    OutputTarget target;
    target.path = QFileInfo(outTheme).absoluteFilePath();
    const QString suffix = QFileInfo(target.path).suffix().toLower();
    if (!format.isEmpty()) {
        GDALDriver* driver = GetGDALDriverManager()->GetDriverByName(format.toUtf8().constData());
        if (!driver || !driver->GetMetadataItem(GDAL_DCAP_VECTOR) ||
            !driver->GetMetadataItem(GDAL_DCAP_CREATE)) {
            *error = QStringLiteral("No output format %1 that can write polygons").arg(format);
            return std::nullopt;
        }
        target.driver = QString::fromUtf8(driver->GetDescription());
    } else {
        for (const Format& f : formats) {
            if (suffix == QLatin1String(f.suffix)) {
                target.driver = QString::fromLatin1(f.driver);
            }
        }
        if (target.driver.isEmpty()) {
            target.driver = QStringLiteral("ESRI Shapefile");
        }
    }
    if (target.shapefile() && suffix != QLatin1String("shp")) {
        target.path += QLatin1String(".shp");
    }
    return target;
}

QStringList OutputTarget::files() const
{
    if (attributesOnly()) {
        const QString suffix = QFileInfo(path).suffix();
        return {path, path.left(path.size() - suffix.size()) + QLatin1String("csvt")};
    }
    return shapefile() ? shapefileParts(path) : QStringList{path};
}

QString OutputTarget::layerName() const
{
    return QFileInfo(path).completeBaseName();
}

QString outputConflict(const ModelParams& params, const DataCatalog& catalog, const QString& format)
{
    // Every theme the run reads, with its role for the message.
    QVector<std::pair<QString, const DataCatalog::Source*>> inputs;
    if (const DataCatalog::GridTheme* grid = catalog.findGrid(params.lcTheme)) {
        inputs.push_back(
            {QStringLiteral("land cover theme %1").arg(params.lcTheme), &grid->source});
    }
    const auto polygon = [&](const QString& role, const QString& theme) {
        if (const DataCatalog::PolygonTheme* found = catalog.findPolygon(theme)) {
            inputs.push_back({QStringLiteral("%1 theme %2").arg(role, theme), &found->source});
        }
    };
    polygon(QStringLiteral("analysis"), params.analysisTheme);
    if (params.popDensity == ModelParams::Calculate) {
        polygon(QStringLiteral("density"), params.popDensityTheme);
    }
    for (const ModelParams::Scenario& ds : params.scenarios) {
        polygon(QStringLiteral("scenario"), ds.theme);
    }

    QString ignored;
    const auto target = OutputTarget::resolve(params.outTheme, format, &ignored);
    if (!target) {
        return {};
    }
    QStringList outKeys;
    for (const QString& part : target->files()) {
        outKeys << fileKey(part);
    }
    for (const auto& [role, source] : inputs) {
        // A GeoPackage output keeps the file's other layers: a theme read from one of them
        // stays.
        if (target->driver == QLatin1String("GPKG") && !source->layer.isEmpty() &&
            source->layer.compare(target->layerName(), Qt::CaseInsensitive) != 0) {
            continue;
        }
        for (const auto& [key, name] : themeFiles(source->path)) {
            if (outKeys.contains(key)) {
                return QStringLiteral("The output %1 would replace %2, a file of the %3")
                    .arg(target->path, QDir::toNativeSeparators(name), role);
            }
        }
    }
    return {};
}
