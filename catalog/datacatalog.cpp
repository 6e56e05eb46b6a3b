#include "catalog/datacatalog.h"

#include "catalog/gdalsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace {

const QStringList rasterSuffixes{"tif", "tiff", "img", "asc", "vrt"};
const QStringList vectorSuffixes{"shp", "gpkg", "geojson", "json"};

bool isIntegerType(GDALDataType type)
{
    switch (type) {
    case GDT_Byte:
    case GDT_UInt16:
    case GDT_Int16:
    case GDT_UInt32:
    case GDT_Int32:
    case GDT_UInt64:
    case GDT_Int64:
        return true;
    default:
        return false;
    }
}

QString fieldType(OGRFieldType type)
{
    switch (type) {
    case OFTString:
        return QStringLiteral("string");
    case OFTInteger:
    case OFTInteger64:
        return QStringLiteral("integer");
    case OFTReal:
        return QStringLiteral("double");
    default:
        return {};
    }
}

bool isPolygonType(OGRwkbGeometryType type)
{
    type = wkbFlatten(type);
    return type == wkbPolygon || type == wkbMultiPolygon || type == wkbCurvePolygon ||
           type == wkbMultiSurface;
}

// Why a layer of generic geometry type (a GeoPackage's "Unknown", GeoJSON of mixed
// features) is no polygon theme; empty when every geometry it holds is a polygon.
QString genericLayerProblem(OGRLayer* layer)
{
    int count = 0;
    OGRGeometryTypeCounter* types =
        layer->GetGeometryTypes(0, OGR_GGT_COUNT_NOT_NEEDED, count, nullptr, nullptr);
    bool polygons = false;
    QStringList others;
    for (int i = 0; i < count; ++i) {
        if (isPolygonType(types[i].eGeomType)) {
            polygons = true;
        } else if (types[i].eGeomType != wkbNone) {
            others << QString::fromUtf8(OGRGeometryTypeToName(types[i].eGeomType));
        }
    }
    CPLFree(types);
    if (!others.isEmpty()) {
        return QStringLiteral("holds %1 geometries, not polygons only").arg(others.join(", "));
    }
    return polygons ? QString() : QStringLiteral("holds no polygons");
}

// ": why" after a message, or nothing when GDAL gave no reason.
QString reason(const QString& why)
{
    return why.isEmpty() ? QString() : QStringLiteral(": ") + why;
}

} // namespace

const DataCatalog::GridTheme* DataCatalog::findGrid(const QString& name) const
{
    for (const GridTheme& grid : grids) {
        if (grid.name == name) {
            return &grid;
        }
    }
    return nullptr;
}

const DataCatalog::PolygonTheme* DataCatalog::findPolygon(const QString& name) const
{
    for (const PolygonTheme& theme : polygons) {
        if (theme.name == name) {
            return &theme;
        }
    }
    return nullptr;
}

QString DataCatalog::mapUnits() const
{
    for (const GridTheme& grid : grids) {
        if (!grid.units.isEmpty() && grid.units != QLatin1String("Degrees")) {
            return grid.units;
        }
    }
    return QStringLiteral("Meters");
}

void DataCatalog::leaveOut(const QFileInfo& file, const QString& why)
{
    notes << why;
    leftOut.insert(file.completeBaseName(), why);
}

std::optional<DataCatalog::GridTheme> DataCatalog::gridOf(const QString& path, QString* why)
{
    GdalDatasetPtr raster = openRaster(path);
    if (!raster) {
        *why = QStringLiteral("not readable as a raster") + reason(takeGdalError());
        return std::nullopt;
    }
    if (raster->GetRasterCount() != 1 ||
        !isIntegerType(raster->GetRasterBand(1)->GetRasterDataType())) {
        *why = QStringLiteral("not a single-band integer raster");
        return std::nullopt;
    }
    return GridTheme{QFileInfo(path).completeBaseName(),
                     {QFileInfo(path).absoluteFilePath(), {}},
                     unitsName(raster->GetSpatialRef())};
}

std::optional<QVector<DataCatalog::PolygonTheme>>
DataCatalog::polygonLayersOf(const QString& path, QVector<std::pair<QString, QString>>* leftOut,
                             QString* why)
{
    const QFileInfo file(path);
    GdalDatasetPtr vector = openVector(path);
    if (!vector) {
        *why = QStringLiteral("not readable as vector data") + reason(takeGdalError());
        return std::nullopt;
    }
    const bool shapefile = EQUAL(vector->GetDriverName(), "ESRI Shapefile");
    QVector<PolygonTheme> themes;
    for (OGRLayer* layer : vector->GetLayers()) {
        const bool generic = wkbFlatten(layer->GetGeomType()) == wkbUnknown;
        if (!generic && !isPolygonType(layer->GetGeomType())) {
            continue;
        }
        const QString name =
            shapefile ? file.completeBaseName() : QString::fromUtf8(layer->GetName());
        if (generic) {
            const QString problem = genericLayerProblem(layer);
            if (!problem.isEmpty()) {
                leftOut->push_back({name, QStringLiteral("%1: layer %2 of generic geometry type %3")
                                              .arg(file.fileName(), name, problem)});
                continue;
            }
        }
        PolygonTheme theme{
            name, {file.absoluteFilePath(), QString::fromUtf8(layer->GetName())}, {}};
        OGRFeatureDefn* defn = layer->GetLayerDefn();
        for (int i = 0; i < defn->GetFieldCount(); ++i) {
            const OGRFieldDefn* field = defn->GetFieldDefn(i);
            const QString type = fieldType(field->GetType());
            if (!type.isEmpty()) {
                theme.fields << Field{QString::fromUtf8(field->GetNameRef()), type};
            }
        }
        themes << theme;
    }
    return themes;
}

std::optional<DataCatalog> DataCatalog::scanFolder(const QString& dir, QString* error)
{
    const QDir folder(dir);
    if (!folder.exists()) {
        *error = QStringLiteral("data folder not found: %1").arg(dir);
        return std::nullopt;
    }
    DataCatalog catalog;
    const QFileInfoList files =
        folder.entryInfoList(QDir::Files | QDir::Readable, QDir::Name | QDir::IgnoreCase);
    for (const QFileInfo& file : files) {
        const QString suffix = file.suffix().toLower();
        const QString path = file.absoluteFilePath();
        QString why;
        if (rasterSuffixes.contains(suffix)) {
            const auto grid = gridOf(path, &why);
            if (!grid) {
                catalog.leaveOut(file, file.fileName() + QStringLiteral(": ") + why);
                continue;
            }
            if (catalog.findGrid(grid->name)) {
                catalog.notes << QStringLiteral("%1: grid theme %2 already taken")
                                     .arg(file.fileName(), grid->name);
                continue;
            }
            catalog.grids << *grid;
        } else if (vectorSuffixes.contains(suffix)) {
            QVector<std::pair<QString, QString>> leftOut;
            const auto themes = polygonLayersOf(path, &leftOut, &why);
            if (!themes) {
                catalog.leaveOut(file, file.fileName() + QStringLiteral(": ") + why);
                continue;
            }
            for (const auto& [name, note] : leftOut) {
                catalog.notes << note;
                catalog.leftOut.insert(name, note);
            }
            for (const PolygonTheme& theme : *themes) {
                if (catalog.findPolygon(theme.name)) {
                    catalog.notes << QStringLiteral("%1: polygon theme %2 already taken")
                                         .arg(file.fileName(), theme.name);
                    continue;
                }
                catalog.polygons << theme;
            }
        }
    }
    // In name order, as hosts list themes, also where a file holds several layers.
    std::stable_sort(catalog.polygons.begin(), catalog.polygons.end(),
                     [](const PolygonTheme& a, const PolygonTheme& b) {
                         return a.name.compare(b.name, Qt::CaseInsensitive) < 0;
                     });
    return catalog;
}

std::optional<DataCatalog> DataCatalog::fromProjectFile(const QString& path, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("%1: cannot read: %2").arg(path, file.errorString());
        return std::nullopt;
    }
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
    if (!document.isObject()) {
        *error = QStringLiteral("%1: not a project description").arg(path);
        return std::nullopt;
    }
    const QDir base = QFileInfo(path).absoluteDir();
    const QJsonValue files = document.object().value(QStringLiteral("files"));
    if (!files.isUndefined() && !files.isObject()) {
        *error = QStringLiteral("%1: \"files\" must be an object").arg(path);
        return std::nullopt;
    }
    DataCatalog catalog;
    const QJsonObject entries = files.toObject();
    for (auto it = entries.begin(); it != entries.end(); ++it) {
        Source source;
        if (it.value().isString()) {
            source.path = it.value().toString();
        } else if (it.value().isObject()) {
            source.path = it.value().toObject().value(QStringLiteral("path")).toString();
            source.layer = it.value().toObject().value(QStringLiteral("layer")).toString();
        }
        if (source.path.isEmpty()) {
            *error = QStringLiteral("%1: \"files\" entry %2 must be a path or {\"path\": ...}")
                         .arg(path, it.key());
            return std::nullopt;
        }
        source.path = QDir::cleanPath(base.absoluteFilePath(source.path));
        catalog.grids << GridTheme{it.key(), source, {}};
        catalog.polygons << PolygonTheme{it.key(), source, {}};
    }
    return catalog;
}
