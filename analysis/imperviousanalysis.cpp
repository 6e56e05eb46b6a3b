#include "analysis/imperviousanalysis.h"

#include "analysis/gdalsupport.h"
#include "analysis/polygonscan.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtEndian>

#include <ogr_spatialref.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <unordered_map>

namespace {

// Cell classes are held as indices into the coefficient tables; these two come first.
constexpr int32_t UnknownIndex = 0;
constexpr int32_t NoDataIndex = 1;
constexpr int32_t FirstClassIndex = 2;

constexpr int High = 0, Medium = 1, Low = 2;

struct AnalysisError {
    QString message;
};

[[noreturn]] void fail(const QString& message)
{
    throw AnalysisError{message};
}

struct SrsDeleter {
    void operator()(OGRSpatialReference* srs) const { srs->Release(); }
};
using SrsPtr = std::unique_ptr<OGRSpatialReference, SrsDeleter>;
struct TransformDeleter {
    void operator()(OGRCoordinateTransformation* t) const
    {
        OGRCoordinateTransformation::DestroyCT(t);
    }
};
using TransformPtr = std::unique_ptr<OGRCoordinateTransformation, TransformDeleter>;
struct FeatureDeleter {
    void operator()(OGRFeature* feature) const { OGRFeature::DestroyFeature(feature); }
};
using FeaturePtr = std::unique_ptr<OGRFeature, FeatureDeleter>;

const char* typeName(GDALDataType type)
{
    return GDALGetDataTypeName(type);
}

bool isIntegerType(GDALDataType type)
{
    return type == GDT_Byte || type == GDT_UInt16 || type == GDT_Int16 || type == GDT_UInt32 ||
           type == GDT_Int32 || type == GDT_UInt64 || type == GDT_Int64;
}

// Class value -> index, the first CLASS line of a value counting. Values of 16-bit rasters
// and of a narrow range of classes are looked up in a table, the rest in a hash.
class ClassTable {
public:
    ClassTable(const QVector<ModelParams::LCClass>& lines, GDALDataType type)
    {
        for (const auto& line : lines)
            if (!m_index.count(line.id)) {
                m_index.emplace(line.id, FirstClassIndex + int32_t(m_classes.size()));
                m_classes.push_back(line);
            }
        qint64 lo = m_classes.front().id;
        qint64 hi = lo;
        for (const auto& c : m_classes) {
            lo = std::min<qint64>(lo, c.id);
            hi = std::max<qint64>(hi, c.id);
        }
        if (type == GDT_Byte) {
            lo = std::min<qint64>(lo, 0);
            hi = std::max<qint64>(hi, 255);
        } else if (type == GDT_Int16 || type == GDT_UInt16) {
            lo = std::min<qint64>(lo, type == GDT_Int16 ? -32768 : 0);
            hi = std::max<qint64>(hi, type == GDT_Int16 ? 32767 : 65535);
        }
        if (hi - lo < (1 << 20)) {
            m_lo = lo;
            m_hi = hi;
            m_dense.assign(size_t(hi - lo + 1), UnknownIndex);
            m_unknownDense.assign(m_dense.size(), 0);
            for (const auto& [id, index] : m_index)
                m_dense[size_t(id - lo)] = index;
        }
    }

    int32_t indexOf(qint64 value) const
    {
        const auto it = m_index.find(value);
        return it == m_index.end() ? UnknownIndex : it->second;
    }

    // Maps a value read from the raster, noting values that have no CLASS line.
    int32_t map(qint64 value)
    {
        if (value >= m_lo && value <= m_hi) {
            const int32_t index = m_dense[size_t(value - m_lo)];
            if (index == UnknownIndex)
                ++m_unknownDense[size_t(value - m_lo)];
            return index;
        }
        const int32_t index = indexOf(value);
        if (index == UnknownIndex)
            ++m_unknownSparse[value];
        return index;
    }

    int indexCount() const { return FirstClassIndex + int(m_classes.size()); }
    const ModelParams::LCClass& cls(int32_t index) const
    {
        return m_classes[size_t(index - FirstClassIndex)];
    }
    std::map<qint64, qint64> unknownValues() const
    {
        std::map<qint64, qint64> values(m_unknownSparse.begin(), m_unknownSparse.end());
        for (size_t i = 0; i < m_unknownDense.size(); ++i)
            if (m_unknownDense[i])
                values[m_lo + qint64(i)] += m_unknownDense[i];
        return values;
    }

private:
    std::unordered_map<qint64, int32_t> m_index;
    std::vector<ModelParams::LCClass> m_classes;
    qint64 m_lo = 1;
    qint64 m_hi = 0;
    std::vector<int32_t> m_dense;
    std::vector<qint64> m_unknownDense;
    std::unordered_map<qint64, qint64> m_unknownSparse;
};

// The polygons of one theme in cell coordinates, and the bounding rows of each.
struct PolygonSet {
    QString theme;
    std::vector<PolygonScan> scans;
    std::vector<double> values; // the density theme's field, per polygon
    bool overlapsRaster = false;
};

// Spans of one polygon set within a band of rows, grouped by polygon.
struct BandSpans {
    struct Group {
        int polygon;
        qint64 firstColumn;
        qint64 endColumn;
        size_t begin;
        size_t end;
    };
    std::vector<Group> groups;
    std::vector<CellSpan> spans;

    void build(const PolygonSet& set, qint64 rowBegin, qint64 rowEnd, qint64 width)
    {
        groups.clear();
        spans.clear();
        for (size_t i = 0; i < set.scans.size(); ++i) {
            const PolygonScan& scan = set.scans[i];
            if (scan.empty() || scan.endRow() <= rowBegin || scan.firstRow() >= rowEnd ||
                scan.endColumn() <= 0 || scan.firstColumn() >= width)
                continue;
            const size_t begin = spans.size();
            scan.spans(rowBegin, rowEnd, width, spans);
            if (spans.size() > begin)
                groups.push_back({int(i), std::max<qint64>(scan.firstColumn(), 0),
                                  std::min(scan.endColumn(), width), begin, spans.size()});
        }
    }
};

struct Raster {
    GdalDatasetPtr dataset;
    GDALRasterBand* band = nullptr;
    int width = 0;
    int height = 0;
    double geoTransform[6] = {};
    double inverse[6] = {};
    SrsPtr srs;
    bool hasNoData = false;
    double noData = 0;
};

OGRLayer* openLayer(const DataCatalog::Source& source, GdalDatasetPtr& dataset,
                    const QString& theme)
{
    if (!QFileInfo::exists(source.path))
        fail(QStringLiteral("File of theme %1 not found: %2").arg(theme, source.path));
    dataset = openVector(source.path);
    if (!dataset)
        fail(QStringLiteral("Theme %1: %2 cannot be read as polygons: %3")
                 .arg(theme, source.path, takeGdalError()));
    OGRLayer* layer = source.layer.isEmpty()
                          ? dataset->GetLayer(0)
                          : dataset->GetLayerByName(source.layer.toUtf8().constData());
    if (!layer)
        fail(QStringLiteral("Theme %1: no layer %2 in %3")
                 .arg(theme, source.layer.isEmpty() ? QStringLiteral("at all") : source.layer,
                      source.path));
    return layer;
}

// A theme the catalogue lacks: its file may be there but unusable, which the user must hear.
[[noreturn]] void failMissingTheme(const DataCatalog& catalog, const QString& kind,
                                   const QString& theme)
{
    const auto why = catalog.leftOut.find(theme);
    if (why != catalog.leftOut.end())
        fail(QStringLiteral("%1 theme %2 cannot be used: %3").arg(kind, theme, *why));
    fail(QStringLiteral("%1 theme %2 has no data file").arg(kind, theme));
}

const DataCatalog::Source& polygonSource(const DataCatalog& catalog, const QString& theme)
{
    const DataCatalog::PolygonTheme* found = catalog.findPolygon(theme);
    if (!found)
        failMissingTheme(catalog, QStringLiteral("Polygon"), theme);
    return found->source;
}

int fieldIndex(OGRLayer* layer, const QString& field, const QString& theme)
{
    const int index = layer->GetLayerDefn()->GetFieldIndex(field.toUtf8().constData());
    if (index < 0)
        fail(QStringLiteral("Field %1 not found in theme %2").arg(field, theme));
    return index;
}

// The transformation from a layer's coordinate system to the raster's, or none when they
// agree or either is unknown.
TransformPtr transformFor(OGRLayer* layer, const Raster& raster, const QString& theme,
                          const ImperviousAnalysis::LogFunction& log)
{
    const OGRSpatialReference* layerSrs = layer->GetSpatialRef();
    if (!layerSrs || !raster.srs) {
        if (log && (layerSrs || raster.srs))
            log(QStringLiteral("Theme %1: coordinate system unknown on one side; taken to be "
                               "the same as the land cover raster's")
                    .arg(theme));
        return {};
    }
    if (layerSrs->IsSame(raster.srs.get()))
        return {};
    SrsPtr from(layerSrs->Clone());
    from->SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    TransformPtr transform(OGRCreateCoordinateTransformation(from.get(), raster.srs.get()));
    if (!transform)
        fail(QStringLiteral("Theme %1 cannot be transformed to the land cover raster's "
                            "coordinate system: %2")
                 .arg(theme, takeGdalError()));
    if (log) {
        const char* name = layerSrs->GetName();
        log(QStringLiteral("Theme %1 is transformed from %2 to the land cover raster's "
                           "coordinate system")
                .arg(theme, QString::fromUtf8(name ? name : "its coordinate system")));
    }
    return transform;
}

// Reads the next feature of a layer; nothing at the end. A read error ends the run: a
// feature left out silently would shift every later result to the wrong polygon.
FeaturePtr nextFeature(OGRLayer* layer, const QString& theme)
{
    FeaturePtr feature{layer->GetNextFeature()};
    const QString problem = takeGdalError();
    if (!problem.isEmpty())
        fail(QStringLiteral("Theme %1 cannot be read: %2").arg(theme, problem));
    return feature;
}

// Fails unless every feature of the layer was read: a shapefile whose .dbf holds fewer
// records than the .shp holds shapes ends its features early without any error. A
// shapefile's two counts come from the headers of its index and its table, since records
// marked deleted are skipped in reading but counted by the layer.
void checkFeatureCount(GDALDataset* dataset, OGRLayer* layer, qint64 read, const QString& theme)
{
    QString shx;
    QString dbf;
    if (EQUAL(dataset->GetDriverName(), "ESRI Shapefile")) {
        char** files = dataset->GetFileList();
        for (char** file = files; file && *file; ++file) {
            const QString path = QString::fromUtf8(*file);
            if (path.endsWith(QLatin1String(".shx"), Qt::CaseInsensitive))
                shx = path;
            else if (path.endsWith(QLatin1String(".dbf"), Qt::CaseInsensitive))
                dbf = path;
        }
        CSLDestroy(files);
    }
    if (!shx.isEmpty() && !dbf.isEmpty()) {
        QFile table(dbf);
        const QByteArray header = table.open(QIODevice::ReadOnly) ? table.read(8) : QByteArray();
        if (header.size() < 8)
            fail(QStringLiteral("Theme %1 cannot be read: %2 has no table header").arg(theme, dbf));
        const qint64 records = qFromLittleEndian<quint32>(header.constData() + 4);
        const qint64 shapes = (QFileInfo(shx).size() - 100) / 8;
        if (records != shapes)
            fail(QStringLiteral("Theme %1 cannot be read whole: its table holds %2 records for "
                                "%3 shapes")
                     .arg(theme)
                     .arg(records)
                     .arg(shapes));
        return;
    }
    const qint64 count = layer->GetFeatureCount(TRUE);
    if (count >= 0 && count != read)
        fail(QStringLiteral("Theme %1 cannot be read whole: %2 of its %3 features read")
                 .arg(theme)
                 .arg(read)
                 .arg(count));
}

// Reads a theme's polygons into cell coordinates. valueField >= 0 also keeps that field
// (the density); features where it is null get NaN.
PolygonSet readPolygons(const DataCatalog& catalog, const QString& theme, const QString& field,
                        bool keepValues, const Raster& raster,
                        const ImperviousAnalysis::LogFunction& log)
{
    GdalDatasetPtr dataset;
    OGRLayer* layer = openLayer(polygonSource(catalog, theme), dataset, theme);
    int valueField = -1;
    if (!field.isEmpty()) {
        valueField = fieldIndex(layer, field, theme);
        const OGRFieldType type = layer->GetLayerDefn()->GetFieldDefn(valueField)->GetType();
        if (keepValues && type != OFTInteger && type != OFTInteger64 && type != OFTReal)
            fail(QStringLiteral("Field %1 of theme %2 is not numeric").arg(field, theme));
    }
    const TransformPtr transform = transformFor(layer, raster, theme, log);

    PolygonSet set;
    set.theme = theme;
    layer->ResetReading();
    takeGdalError();
    while (FeaturePtr feature = nextFeature(layer, theme)) {
        const OGRGeometry* geometry = feature->GetGeometryRef();
        PolygonScan scan;
        if (geometry) {
            if (transform) {
                std::unique_ptr<OGRGeometry> copy(geometry->clone());
                if (copy->transform(transform.get()) != OGRERR_NONE)
                    fail(QStringLiteral("Theme %1: feature %2 cannot be transformed to the land "
                                        "cover raster's coordinate system")
                             .arg(theme)
                             .arg(feature->GetFID()));
                scan = PolygonScan(*copy, raster.inverse);
            } else {
                scan = PolygonScan(*geometry, raster.inverse);
            }
        }
        if (!scan.empty() && scan.endRow() > 0 && scan.firstRow() < raster.height &&
            scan.endColumn() > 0 && scan.firstColumn() < raster.width)
            set.overlapsRaster = true;
        if (keepValues)
            set.values.push_back(feature->IsFieldSetAndNotNull(valueField)
                                     ? feature->GetFieldAsDouble(valueField)
                                     : std::nan(""));
        set.scans.push_back(std::move(scan));
    }
    checkFeatureCount(dataset.get(), layer, qint64(set.scans.size()), theme);
    return set;
}

Raster openLandCover(const DataCatalog& catalog, const QString& theme)
{
    const DataCatalog::GridTheme* grid = catalog.findGrid(theme);
    if (!grid)
        failMissingTheme(catalog, QStringLiteral("Land cover"), theme);
    const QString& path = grid->source.path;
    if (!QFileInfo::exists(path))
        fail(QStringLiteral("Land cover file not found: %1").arg(path));
    Raster raster;
    raster.dataset = openRaster(path);
    if (!raster.dataset)
        fail(QStringLiteral("Land cover file %1 cannot be read: %2").arg(path, takeGdalError()));
    if (raster.dataset->GetRasterCount() < 1)
        fail(QStringLiteral("Land cover file %1 has no band").arg(path));
    raster.band = raster.dataset->GetRasterBand(1);
    if (!isIntegerType(raster.band->GetRasterDataType()))
        fail(QStringLiteral("Land cover raster %1 is not an integer raster (band 1 holds %2 "
                            "values)")
                 .arg(path, QString::fromLatin1(typeName(raster.band->GetRasterDataType()))));
    raster.width = raster.dataset->GetRasterXSize();
    raster.height = raster.dataset->GetRasterYSize();
    if (raster.dataset->GetGeoTransform(raster.geoTransform) != CE_None)
        fail(QStringLiteral("Land cover raster %1 has no georeference").arg(path));
    if (raster.geoTransform[2] != 0 || raster.geoTransform[4] != 0)
        fail(QStringLiteral("Land cover raster %1 is rotated; it must be north up").arg(path));
    if (!GDALInvGeoTransform(raster.geoTransform, raster.inverse))
        fail(QStringLiteral("Land cover raster %1 has a cell size of 0").arg(path));
    if (const OGRSpatialReference* srs = raster.dataset->GetSpatialRef()) {
        if (srs->IsGeographic())
            fail(QStringLiteral("Land cover raster %1 is in a geographic coordinate system "
                                "(degrees); cell areas need a projected one")
                     .arg(path));
        raster.srs.reset(srs->Clone());
        raster.srs->SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    }
    int hasNoData = 0;
    raster.noData = raster.band->GetNoDataValue(&hasNoData);
    raster.hasNoData = hasNoData != 0;
    return raster;
}

QString areaText(double value)
{
    return QString::number(value, 'f', 2);
}

// The output shapefile's parts, named by the path of its .shp.
QStringList shapefileParts(const QString& shpPath)
{
    const QString base = shpPath.left(shpPath.size() - 4);
    QStringList parts;
    for (const char* suffix : {".shp", ".shx", ".dbf", ".prj", ".cpg", ".qix", ".sbn", ".sbx"})
        parts << base + QLatin1String(suffix);
    return parts;
}

void removeFiles(const QStringList& paths)
{
    for (const QString& path : paths)
        QFile::remove(path);
}

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

// The keys of the files a theme is read from: its file, where a link leads, and for a
// shapefile the other parts.
QStringList themeFileKeys(const QString& path)
{
    QStringList keys{fileKey(path)};
    const QString target = QFileInfo(path).canonicalFilePath();
    if (!target.isEmpty())
        keys << fileKey(target);
    if (path.endsWith(QLatin1String(".shp"), Qt::CaseInsensitive))
        for (const QString& part : shapefileParts(path))
            keys << fileKey(part);
    return keys;
}

// Puts a new shapefile in place of an earlier one as a whole: the earlier parts are moved
// aside, the new ones renamed in, and on any failure the earlier ones are put back. parts
// are the suffixes the new set must have.
void replaceShapefile(const QString& tempShp, const QString& outPath, const QStringList& parts)
{
    const QStringList from = shapefileParts(tempShp);
    const QStringList to = shapefileParts(outPath);
    const QFileInfo outInfo(outPath);
    const QStringList aside =
        shapefileParts(outInfo.absoluteDir().filePath(QStringLiteral(".tarn-%1-old-%2.shp")
                                                          .arg(QCoreApplication::applicationPid())
                                                          .arg(outInfo.completeBaseName())));
    for (const QString& path : to) {
        const QFileInfo info(path);
        if ((info.exists() || info.isSymLink()) && !info.isFile())
            fail(QStringLiteral("Cannot write the output %1: %2 is in the way and is not a file")
                     .arg(outPath, path));
    }
    for (int i = 0; i < from.size(); ++i)
        if (parts.contains(QFileInfo(from[i]).suffix()) && !QFileInfo(from[i]).isFile())
            fail(QStringLiteral("Cannot write the output %1: its part %2 was not written")
                     .arg(outPath, from[i]));

    QVector<int> movedAside;
    QVector<int> movedIn;
    const auto undo = [&](const QString& why) {
        for (int i : movedIn)
            QFile::rename(to[i], from[i]);
        for (int i : movedAside)
            QFile::rename(aside[i], to[i]);
        fail(why);
    };
    for (int i = 0; i < to.size(); ++i) {
        if (!QFileInfo(to[i]).isFile())
            continue;
        QFile::remove(aside[i]);
        QFile file(to[i]);
        if (!file.rename(aside[i]))
            undo(QStringLiteral("Cannot move the earlier output %1 aside: %2")
                     .arg(to[i], file.errorString()));
        movedAside << i;
    }
    for (int i = 0; i < from.size(); ++i) {
        if (!parts.contains(QFileInfo(from[i]).suffix()))
            continue;
        QFile file(from[i]);
        if (!file.rename(to[i]))
            undo(QStringLiteral("Cannot rename %1 to %2: %3")
                     .arg(from[i], to[i], file.errorString()));
        movedIn << i;
    }
    for (int i : movedAside)
        QFile::remove(aside[i]);
}

} // namespace

QString ImperviousAnalysis::outputPath(const ModelParams& params)
{
    QString path = QFileInfo(params.outTheme).absoluteFilePath();
    if (!path.endsWith(QLatin1String(".shp"), Qt::CaseInsensitive))
        path += QLatin1String(".shp");
    return path;
}

QString ImperviousAnalysis::outputConflict(const ModelParams& params, const DataCatalog& catalog)
{
    // Every theme the run reads, with its role for the message.
    QVector<std::pair<QString, const DataCatalog::Source*>> inputs;
    if (const DataCatalog::GridTheme* grid = catalog.findGrid(params.lcTheme))
        inputs.push_back(
            {QStringLiteral("land cover theme %1").arg(params.lcTheme), &grid->source});
    const auto polygon = [&](const QString& role, const QString& theme) {
        if (const DataCatalog::PolygonTheme* found = catalog.findPolygon(theme))
            inputs.push_back({QStringLiteral("%1 theme %2").arg(role, theme), &found->source});
    };
    polygon(QStringLiteral("analysis"), params.analysisTheme);
    if (params.popDensity == ModelParams::Calculate)
        polygon(QStringLiteral("density"), params.popDensityTheme);
    for (const ModelParams::Scenario& ds : params.scenarios)
        polygon(QStringLiteral("scenario"), ds.theme);

    const QString out = outputPath(params);
    const QStringList outKeys = [&] {
        QStringList keys;
        for (const QString& part : shapefileParts(out))
            keys << fileKey(part);
        return keys;
    }();
    for (const auto& [role, source] : inputs)
        for (const QString& key : themeFileKeys(source->path))
            if (outKeys.contains(key))
                return QStringLiteral("The output %1 would replace %2, a file of the %3")
                    .arg(out, QDir::toNativeSeparators(source->path), role);
    return {};
}

ImperviousAnalysis::ImperviousAnalysis(ModelParams params, DataCatalog catalog)
    : m_params(std::move(params)), m_catalog(std::move(catalog))
{
}

ImperviousAnalysis::Result ImperviousAnalysis::run()
{
    initGdal();
    Result result;
    QString tempShp;
    try {
        const ModelParams& p = m_params;
        const auto log = [this](const QString& line) {
            if (m_log)
                m_log(line);
        };

        // The output first: a run that cannot write its result should fail before the work.
        const QString outPath = outputPath(p);
        const QFileInfo outInfo(outPath);
        if (!outInfo.absoluteDir().exists())
            fail(QStringLiteral("Output folder does not exist: %1").arg(outInfo.absolutePath()));
        const DataCatalog::Source& analysisSource = polygonSource(m_catalog, p.analysisTheme);
        const QString conflict = outputConflict(p, m_catalog);
        if (!conflict.isEmpty())
            fail(conflict);

        const QStringList outputFields{"LC_AREA", "IS_AREA", "IS_PCT", "NODATA_CT", "UNK_CT"};
        if (outputFields.contains(p.analysisUnit, Qt::CaseInsensitive))
            fail(QStringLiteral("The analysis field %1 has the name of an output field")
                     .arg(p.analysisUnit));

        Raster raster = openLandCover(m_catalog, p.lcTheme);
        const double cellArea = std::abs(raster.geoTransform[1] * raster.geoTransform[5]);
        double areaFactor = 1;
        const QString lcUnits = ModelParams::unitsText(p.lcUnits);
        if (raster.srs) {
            const double rasterMetres = raster.srs->GetLinearUnits();
            areaFactor = std::pow(rasterMetres / ModelParams::metresPerUnit(p.lcUnits), 2);
            if (std::abs(areaFactor - 1) > 1e-9) {
                QString rasterUnits = unitsName(raster.srs.get());
                if (rasterUnits == lcUnits) // the US survey foot against the foot
                    rasterUnits.clear();
                log(QStringLiteral("The land cover raster's unit is %1, not %2: areas are "
                                   "converted to square %2")
                        .arg(rasterUnits.isEmpty() ? QStringLiteral("%1 m").arg(rasterMetres)
                                                   : rasterUnits,
                             lcUnits));
            }
        } else {
            log(QStringLiteral("The land cover raster has no coordinate system; its unit is "
                               "taken to be %1")
                    .arg(lcUnits));
        }
        const double cellAreaOut = cellArea * areaFactor;
        log(QStringLiteral("Land cover %1: %2 x %3 cells of %4 square %5")
                .arg(p.lcTheme)
                .arg(raster.width)
                .arg(raster.height)
                .arg(cellAreaOut)
                .arg(lcUnits));

        // Polygons, all in cell coordinates of the raster.
        PolygonSet analysis =
            readPolygons(m_catalog, p.analysisTheme, p.analysisUnit, false, raster, m_log);
        if (!analysis.overlapsRaster)
            fail(QStringLiteral("The polygons of theme %1 do not overlap the land cover raster")
                     .arg(p.analysisTheme));
        std::vector<PolygonSet> scenarios;
        for (const auto& ds : p.scenarios) {
            scenarios.push_back(readPolygons(m_catalog, ds.theme, {}, false, raster, m_log));
            if (!scenarios.back().overlapsRaster)
                log(QStringLiteral("Scenario %1: theme %2 does not overlap the land cover "
                                   "raster and changes nothing")
                        .arg(ds.number)
                        .arg(ds.theme));
        }
        const bool calculate = p.popDensity == ModelParams::Calculate;
        PolygonSet density;
        if (calculate) {
            density =
                readPolygons(m_catalog, p.popDensityTheme, p.popDensityField, true, raster, m_log);
            const auto nulls = std::count_if(density.values.begin(), density.values.end(),
                                             [](double v) { return std::isnan(v); });
            if (nulls > 0)
                log(QStringLiteral("Theme %1: %2 polygons without a %3 value; their cells use "
                                   "the Medium coefficient")
                        .arg(p.popDensityTheme)
                        .arg(nulls)
                        .arg(p.popDensityField));
        }

        // Coefficients by level and class index; unknown classes and NoData weigh nothing.
        const GDALDataType type = raster.band->GetRasterDataType();
        ClassTable classes(p.classes, type);
        const int indexCount = classes.indexCount();
        const int levels = calculate ? 3 : 1;
        std::vector<double> weights(size_t(levels * indexCount), 0.0);
        for (int level = 0; level < levels; ++level) {
            const int option = calculate ? level : p.popDensity;
            for (int32_t i = FirstClassIndex; i < indexCount; ++i) {
                const auto& c = classes.cls(i);
                weights[size_t(level * indexCount + i)] = option == High     ? c.high
                                                          : option == Medium ? c.medium
                                                                             : c.low;
            }
        }
        std::vector<int32_t> scenarioIndex;
        for (const auto& ds : p.scenarios) {
            scenarioIndex.push_back(classes.indexOf(ds.classId));
            if (scenarioIndex.back() == UnknownIndex)
                log(QStringLiteral("Scenario %1: class %2 has no CLASS line; its cells weigh 0")
                        .arg(ds.number)
                        .arg(ds.classId));
        }
        std::vector<uint8_t> densityLevel;
        for (double v : density.values)
            densityLevel.push_back(std::isnan(v)           ? Medium
                                   : v >= p.popDensityHigh ? High
                                   : v <= p.popDensityLow  ? Low
                                                           : Medium);

        // Per analysis polygon: cell counts by level and class index.
        const size_t histogramSize = size_t(levels * indexCount);
        std::vector<std::vector<qint64>> histograms(analysis.scans.size());

        int blockWidth = 0;
        int blockHeight = 0;
        raster.band->GetBlockSize(&blockWidth, &blockHeight);
        blockWidth = std::clamp(blockWidth, 1, raster.width);
        blockHeight = std::clamp(blockHeight, 1, raster.height);
        qint64 bandHeight = blockHeight;
        if (bandHeight < m_minimumBandHeight)
            bandHeight = std::min<qint64>(
                raster.height,
                blockHeight * ((qint64(m_minimumBandHeight) + blockHeight - 1) / blockHeight));
        // Buffers stay bounded whatever the blocks: very wide or tall ones are read in parts.
        constexpr qint64 maxTileCells = qint64(1) << 22;
        bandHeight = std::min(bandHeight, maxTileCells);
        const qint64 tileWidth = std::clamp<qint64>(maxTileCells / bandHeight, 1, blockWidth);
        const size_t tileCells = size_t(tileWidth) * size_t(bandHeight);
        std::vector<qint64> values(tileCells);
        std::vector<int32_t> cellClass(tileCells);
        std::vector<uint8_t> cellLevel(calculate ? tileCells : 0);
        BandSpans analysisSpans;
        std::vector<BandSpans> scenarioSpans(scenarios.size());
        BandSpans densitySpans;

        int lastPercent = -1;
        for (qint64 rowBegin = 0; rowBegin < raster.height; rowBegin += bandHeight) {
            const qint64 rowEnd = std::min<qint64>(rowBegin + bandHeight, raster.height);
            const int rows = int(rowEnd - rowBegin);
            analysisSpans.build(analysis, rowBegin, rowEnd, raster.width);
            const auto reportProgress = [&] {
                const int percent = int(rowEnd * 100 / raster.height);
                if (m_progress && percent != lastPercent)
                    m_progress(percent);
                lastPercent = percent;
            };
            if (analysisSpans.groups.empty()) {
                reportProgress(); // no analysis cell here: nothing to read
                continue;
            }
            for (size_t s = 0; s < scenarios.size(); ++s)
                scenarioSpans[s].build(scenarios[s], rowBegin, rowEnd, raster.width);
            if (calculate)
                densitySpans.build(density, rowBegin, rowEnd, raster.width);

            // Only the columns the analysis polygons of this band reach.
            qint64 firstColumn = raster.width;
            qint64 endColumn = 0;
            for (const BandSpans::Group& g : analysisSpans.groups) {
                firstColumn = std::min(firstColumn, g.firstColumn);
                endColumn = std::max(endColumn, g.endColumn);
            }
            for (qint64 colBegin = firstColumn / tileWidth * tileWidth; colBegin < endColumn;
                 colBegin += tileWidth) {
                const qint64 colEnd = std::min<qint64>(colBegin + tileWidth, raster.width);
                const int cols = int(colEnd - colBegin);
                const auto touches = [&](const BandSpans::Group& g) {
                    return g.firstColumn < colEnd && g.endColumn > colBegin;
                };
                if (std::none_of(analysisSpans.groups.begin(), analysisSpans.groups.end(), touches))
                    continue;
                if (raster.band->RasterIO(GF_Read, int(colBegin), int(rowBegin), cols, rows,
                                          values.data(), cols, rows, GDT_Int64, 0, 0,
                                          nullptr) != CE_None)
                    fail(QStringLiteral("Land cover raster cannot be read at row %1: %2")
                             .arg(rowBegin)
                             .arg(takeGdalError()));
                const size_t cells = size_t(cols) * size_t(rows);
                const bool noDataExact =
                    raster.hasNoData && raster.noData == std::floor(raster.noData);
                const qint64 noData = noDataExact ? qint64(raster.noData) : 0;
                for (size_t i = 0; i < cells; ++i)
                    cellClass[i] =
                        noDataExact && values[i] == noData ? NoDataIndex : classes.map(values[i]);

                // Calls f(offset, length) for each span of a group within this tile.
                const auto forSpans = [&](const BandSpans& band, auto&& f) {
                    for (const BandSpans::Group& g : band.groups) {
                        if (!touches(g))
                            continue;
                        for (size_t k = g.begin; k < g.end; ++k) {
                            const CellSpan& s = band.spans[k];
                            const qint64 b = std::max(s.begin, colBegin);
                            const qint64 e = std::min(s.end, colEnd);
                            if (b < e)
                                f(g.polygon,
                                  size_t(s.row - rowBegin) * size_t(cols) + size_t(b - colBegin),
                                  size_t(e - b));
                        }
                    }
                };
                for (size_t s = 0; s < scenarios.size(); ++s) {
                    const int32_t to = scenarioIndex[s];
                    forSpans(scenarioSpans[s], [&](int, size_t offset, size_t length) {
                        for (size_t i = offset; i < offset + length; ++i)
                            if (cellClass[i] != NoDataIndex)
                                cellClass[i] = to;
                    });
                }
                if (calculate) {
                    std::fill(cellLevel.begin(), cellLevel.begin() + ptrdiff_t(cells), Medium);
                    forSpans(densitySpans, [&](int polygon, size_t offset, size_t length) {
                        std::fill(cellLevel.begin() + ptrdiff_t(offset),
                                  cellLevel.begin() + ptrdiff_t(offset + length),
                                  densityLevel[size_t(polygon)]);
                    });
                }
                forSpans(analysisSpans, [&](int polygon, size_t offset, size_t length) {
                    std::vector<qint64>& h = histograms[size_t(polygon)];
                    if (h.empty())
                        h.assign(histogramSize, 0);
                    if (calculate) {
                        for (size_t i = offset; i < offset + length; ++i)
                            ++h[size_t(cellLevel[i]) * size_t(indexCount) + size_t(cellClass[i])];
                    } else {
                        for (size_t i = offset; i < offset + length; ++i)
                            ++h[size_t(cellClass[i])];
                    }
                });
            }
            reportProgress();
        }
        if (m_progress && lastPercent != 100)
            m_progress(100);

        for (const auto& [value, count] : classes.unknownValues())
            log(QStringLiteral("Class value %1 has no CLASS line: %2 cells weigh 0")
                    .arg(value)
                    .arg(count));

        // Totals per polygon.
        for (const std::vector<qint64>& h : histograms) {
            PolygonResult r;
            for (int level = 0; level < levels && !h.empty(); ++level) {
                for (int32_t i = 0; i < indexCount; ++i) {
                    const qint64 n = h[size_t(level * indexCount + i)];
                    r.cells += n;
                    if (i == NoDataIndex)
                        r.noData += n;
                    else if (i == UnknownIndex)
                        r.unknown += n;
                    r.isArea += double(n) * weights[size_t(level * indexCount + i)];
                    if (i >= FirstClassIndex && n > 0)
                        r.classCells[classes.cls(i).id] += n;
                }
            }
            r.lcArea = double(r.cells - r.noData) * cellAreaOut;
            r.isArea = r.isArea * cellAreaOut / 100.0;
            r.isPct = r.lcArea > 0 ? r.isArea / r.lcArea * 100.0 : 0.0;
            result.polygons << r;
        }

        // The output: written under a temporary name, renamed once complete.
        GdalDatasetPtr sourceData;
        OGRLayer* source = openLayer(analysisSource, sourceData, p.analysisTheme);
        const int unitField = fieldIndex(source, p.analysisUnit, p.analysisTheme);
        tempShp = outInfo.absoluteDir().filePath(QStringLiteral(".tarn-%1-%2.shp")
                                                     .arg(QCoreApplication::applicationPid())
                                                     .arg(outInfo.completeBaseName()));
        removeFiles(shapefileParts(tempShp));
        GDALDriver* driver = GetGDALDriverManager()->GetDriverByName("ESRI Shapefile");
        if (!driver)
            fail(QStringLiteral("No shapefile driver"));
        {
            GdalDatasetPtr out(
                driver->Create(tempShp.toUtf8().constData(), 0, 0, 0, GDT_Unknown, nullptr));
            if (!out)
                fail(QStringLiteral("Cannot create the output %1: %2")
                         .arg(outPath, takeGdalError()));
            char** options = CSLSetNameValue(nullptr, "ENCODING", "UTF-8");
            OGRLayer* layer = out->CreateLayer(outInfo.completeBaseName().toUtf8().constData(),
                                               source->GetSpatialRef(), wkbPolygon, options);
            CSLDestroy(options);
            if (!layer)
                fail(QStringLiteral("Cannot create the output %1: %2")
                         .arg(outPath, takeGdalError()));
            OGRFieldDefn unit(source->GetLayerDefn()->GetFieldDefn(unitField));
            OGRFieldDefn lcArea("LC_AREA", OFTReal);
            lcArea.SetWidth(24);
            lcArea.SetPrecision(4);
            OGRFieldDefn isArea("IS_AREA", OFTReal);
            isArea.SetWidth(24);
            isArea.SetPrecision(4);
            OGRFieldDefn isPct("IS_PCT", OFTReal);
            isPct.SetWidth(12);
            isPct.SetPrecision(6);
            OGRFieldDefn noDataCt("NODATA_CT", OFTInteger64);
            noDataCt.SetWidth(18);
            OGRFieldDefn unkCt("UNK_CT", OFTInteger64);
            unkCt.SetWidth(18);
            for (OGRFieldDefn* f : {&unit, &lcArea, &isArea, &isPct, &noDataCt, &unkCt})
                if (layer->CreateField(f) != OGRERR_NONE)
                    fail(QStringLiteral("Cannot create field %1 in the output: %2")
                             .arg(QString::fromUtf8(f->GetNameRef()), takeGdalError()));

            source->ResetReading();
            takeGdalError();
            int n = 0;
            while (FeaturePtr in = nextFeature(source, p.analysisTheme)) {
                if (n >= result.polygons.size())
                    fail(QStringLiteral("Theme %1 changed during the run").arg(p.analysisTheme));
                const PolygonResult& r = result.polygons[n++];
                FeaturePtr feature{OGRFeature::CreateFeature(layer->GetLayerDefn())};
                if (const OGRGeometry* g = in->GetGeometryRef())
                    feature->SetGeometry(g);
                feature->SetField(0, in->GetRawFieldRef(unitField));
                feature->SetField(1, r.lcArea);
                feature->SetField(2, r.isArea);
                feature->SetField(3, r.isPct);
                feature->SetField(4, GIntBig(r.noData));
                feature->SetField(5, GIntBig(r.unknown));
                if (layer->CreateFeature(feature.get()) != OGRERR_NONE)
                    fail(QStringLiteral("Cannot write the output %1: %2")
                             .arg(outPath, takeGdalError()));
            }
            if (n != result.polygons.size())
                fail(QStringLiteral("Theme %1 changed during the run").arg(p.analysisTheme));
            out->FlushCache();
        }
        const QString problem = takeGdalError();
        if (!problem.isEmpty())
            fail(QStringLiteral("Cannot write the output %1: %2").arg(outPath, problem));

        QStringList parts{"shp", "shx", "dbf", "cpg"};
        if (source->GetSpatialRef())
            parts << QStringLiteral("prj");
        replaceShapefile(tempShp, outPath, parts);
        removeFiles(shapefileParts(tempShp));
        tempShp.clear();

        double lcTotal = 0;
        double isTotal = 0;
        for (const PolygonResult& r : result.polygons) {
            lcTotal += r.lcArea;
            isTotal += r.isArea;
        }
        log(QStringLiteral("Output %1: %2 polygons, land cover area %3, impervious area %4 "
                           "square %5")
                .arg(outPath)
                .arg(result.polygons.size())
                .arg(areaText(lcTotal), areaText(isTotal), lcUnits));
        result.outputPath = outPath;
        result.ok = true;
    } catch (const AnalysisError& error) {
        result.error = error.message;
    } catch (const std::bad_alloc&) {
        result.error = QStringLiteral("The analysis ran out of memory");
    } catch (const std::exception& error) {
        result.error =
            QStringLiteral("The analysis stopped: %1").arg(QString::fromLocal8Bit(error.what()));
    }
    if (!result.ok) {
        result.polygons.clear();
        if (!tempShp.isEmpty())
            removeFiles(shapefileParts(tempShp));
    }
    return result;
}
