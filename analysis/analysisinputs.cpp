#include "analysis/analysisinputs.h"

#include "analysis/analysiserror.h"
#include "analysis/cellareas.h"
#include "analysis/longitudes.h"
#include "analysis/shapefiles.h"

#include <QFile>
#include <QFileInfo>
#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <iterator>

namespace {

struct TransformDeleter {
    void operator()(OGRCoordinateTransformation* t) const
    {
        OGRCoordinateTransformation::DestroyCT(t);
    }
};
using TransformPtr = std::unique_ptr<OGRCoordinateTransformation, TransformDeleter>;

// Latitudes moved within their row of a geographic raster so that the exact rule's shares
// of cells are shares of their area (CellAreas::equalAreaRow); longitudes stay.
class EqualAreaRows : public OGRCoordinateTransformation {
public:
    explicit EqualAreaRows(const Raster& raster)
        : m_areas(CellAreas::of(raster, ModelParams::Units::Meters, {}))
    {
        std::copy(raster.geoTransform, raster.geoTransform + 6, m_transform);
    }
    using OGRCoordinateTransformation::Transform;
    OGRSpatialReference* GetSourceCS() override { return nullptr; }
    OGRSpatialReference* GetTargetCS() override { return nullptr; }
    int Transform(int count, double*, double* y, double*, double*, int* success) override
    {
        for (int i = 0; i < count; ++i) {
            const double row = (y[i] - m_transform[3]) / m_transform[5];
            y[i] = m_transform[3] + m_areas.equalAreaRow(row) * m_transform[5];
            if (success) {
                success[i] = TRUE;
            }
        }
        return TRUE;
    }
    OGRCoordinateTransformation* Clone() const override { return new EqualAreaRows(*this); }
    OGRCoordinateTransformation* GetInverse() const override { return nullptr; }

private:
    CellAreas m_areas;
    double m_transform[6];
};

const char* typeName(GDALDataType type)
{
    return GDALGetDataTypeName(type);
}

bool isIntegerType(GDALDataType type)
{
    return type == GDT_Byte || type == GDT_UInt16 || type == GDT_Int16 || type == GDT_UInt32 ||
           type == GDT_Int32 || type == GDT_UInt64 || type == GDT_Int64;
}

} // namespace

OGRLayer* openLayer(const DataCatalog::Source& source, GdalDatasetPtr& dataset,
                    const QString& theme)
{
    if (!QFileInfo::exists(source.path)) {
        fail(QStringLiteral("File of theme %1 not found: %2").arg(theme, source.path));
    }
    dataset = openVector(source.path);
    if (!dataset) {
        fail(QStringLiteral("Theme %1: %2 cannot be read as polygons: %3")
                 .arg(theme, source.path, takeGdalError()));
    }
    OGRLayer* layer = source.layer.isEmpty()
                          ? dataset->GetLayer(0)
                          : dataset->GetLayerByName(source.layer.toUtf8().constData());
    if (!layer) {
        fail(QStringLiteral("Theme %1: no layer %2 in %3")
                 .arg(theme, source.layer.isEmpty() ? QStringLiteral("at all") : source.layer,
                      source.path));
    }
    return layer;
}

// A theme the catalogue lacks: its file may be there but unusable, which the user must hear.
[[noreturn]] static void failMissingTheme(const DataCatalog& catalog, const QString& kind,
                                          const QString& theme)
{
    const auto why = catalog.leftOut.find(theme);
    if (why != catalog.leftOut.end()) {
        fail(QStringLiteral("%1 theme %2 cannot be used: %3").arg(kind, theme, *why));
    }
    fail(QStringLiteral("%1 theme %2 has no data file").arg(kind, theme));
}

const DataCatalog::Source& polygonSource(const DataCatalog& catalog, const QString& theme)
{
    const DataCatalog::PolygonTheme* found = catalog.findPolygon(theme);
    if (!found) {
        failMissingTheme(catalog, QStringLiteral("Polygon"), theme);
    }
    return found->source;
}

int fieldIndex(OGRLayer* layer, const QString& field, const QString& theme)
{
    const int index = layer->GetLayerDefn()->GetFieldIndex(field.toUtf8().constData());
    if (index < 0) {
        fail(QStringLiteral("Field %1 not found in theme %2").arg(field, theme));
    }
    return index;
}

// The transformation from a layer's coordinate system to the raster's, or none when they
// agree or either is unknown.
static TransformPtr transformFor(OGRLayer* layer, const Raster& raster, const QString& theme,
                                 const LogFunction& log)
{
    const OGRSpatialReference* layerSrs = layer->GetSpatialRef();
    if (!layerSrs || !raster.srs) {
        if (log && (layerSrs || raster.srs)) {
            log(QStringLiteral("Theme %1: coordinate system unknown on one side; taken to be "
                               "the same as the land cover raster's")
                    .arg(theme));
        }
        return {};
    }
    if (layerSrs->IsSame(raster.srs.get())) {
        return {};
    }
    SrsPtr from(layerSrs->Clone());
    from->SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    TransformPtr transform(OGRCreateCoordinateTransformation(from.get(), raster.srs.get()));
    if (!transform) {
        fail(QStringLiteral("Theme %1 cannot be transformed to the land cover raster's "
                            "coordinate system: %2")
                 .arg(theme, takeGdalError()));
    }
    if (log) {
        const char* name = layerSrs->GetName();
        log(QStringLiteral("Theme %1 is transformed from %2 to the land cover raster's "
                           "coordinate system")
                .arg(theme, QString::fromUtf8(name ? name : "its coordinate system")));
    }
    return transform;
}

// Fails unless every feature of the layer was read: a shapefile whose .dbf holds fewer
// records than the .shp holds shapes ends its features early without any error. A
// shapefile's two counts come from the headers of its index and its table, since records
// marked deleted are skipped in reading but counted by the layer.
static void checkFeatureCount(GDALDataset* dataset, OGRLayer* layer, qint64 read,
                              const QString& theme)
{
    QString shx;
    QString dbf;
    if (EQUAL(dataset->GetDriverName(), "ESRI Shapefile")) {
        char** files = dataset->GetFileList();
        for (char** file = files; file && *file; ++file) {
            const QString path = QString::fromUtf8(*file);
            if (path.endsWith(QLatin1String(".shx"), Qt::CaseInsensitive)) {
                shx = path;
            } else if (path.endsWith(QLatin1String(".dbf"), Qt::CaseInsensitive)) {
                dbf = path;
            }
        }
        CSLDestroy(files);
    }
    if (!shx.isEmpty() && !dbf.isEmpty()) {
        QFile table(dbf);
        const QByteArray header = table.open(QIODevice::ReadOnly) ? table.read(8) : QByteArray();
        if (header.size() < 8) {
            fail(QStringLiteral("Theme %1 cannot be read: %2 has no table header").arg(theme, dbf));
        }
        const qint64 records = qFromLittleEndian<quint32>(header.constData() + 4);
        const qint64 shapes = (QFileInfo(shx).size() - 100) / 8;
        if (records != shapes) {
            fail(QStringLiteral("Theme %1 cannot be read whole: its table holds %2 records for "
                                "%3 shapes")
                     .arg(theme)
                     .arg(records)
                     .arg(shapes));
        }
        return;
    }
    const qint64 count = layer->GetFeatureCount(TRUE);
    if (count >= 0 && count != read) {
        fail(QStringLiteral("Theme %1 cannot be read whole: %2 of its %3 features read")
                 .arg(theme)
                 .arg(read)
                 .arg(count));
    }
}

namespace {

// Polygons with a vertex that is not a finite number (or that is not one once in the land
// cover's cells) take no cells; the user is told which, the first few by feature id.
void logNonFinite(const QString& theme, const std::vector<qint64>& features, const LogFunction& log)
{
    constexpr size_t Named = 10;
    for (size_t i = 0; i < std::min(features.size(), Named); ++i) {
        log(QStringLiteral("Theme %1: feature %2 has a vertex that is not a finite number; it "
                           "is counted as covering no cells")
                .arg(theme)
                .arg(features[i]));
    }
    if (features.size() > Named) {
        log(QStringLiteral("Theme %1: %2 more features have such a vertex and cover no cells")
                .arg(theme)
                .arg(features.size() - Named));
    }
}

} // namespace

std::vector<PolygonSet> readPolygons(const DataCatalog& catalog, const QString& theme,
                                     const QString& field, bool keepValues,
                                     const std::vector<const Raster*>& rasters, Coverage rule,
                                     const LogFunction& log, bool keepInFile)
{
    GdalDatasetPtr dataset;
    OGRLayer* layer = openLayer(polygonSource(catalog, theme), dataset, theme);
    int valueField = -1;
    if (!field.isEmpty()) {
        valueField = fieldIndex(layer, field, theme);
        const OGRFieldType type = layer->GetLayerDefn()->GetFieldDefn(valueField)->GetType();
        if (keepValues && type != OFTInteger && type != OFTInteger64 && type != OFTReal) {
            fail(QStringLiteral("Field %1 of theme %2 is not numeric").arg(field, theme));
        }
    }
    std::vector<TransformPtr> transforms;
    bool transformed = false;
    for (const Raster* raster : rasters) {
        transforms.push_back(transformFor(layer, *raster, theme, log));
        transformed = transformed || transforms.back();
    }
    // Only the geometry and the value field are needed here.
    readOnlyFields(layer, valueField >= 0 ? std::vector<int>{valueField} : std::vector<int>{});

    // On a geographic raster polygons are placed on its longitudes, and under the exact rule
    // on rows of equal area.
    struct Placement {
        double west = 0, east = 0, turn = 0;
        bool geographic = false;
        std::optional<EqualAreaRows> equalAreaRows;
    };
    std::vector<Placement> placements(rasters.size());
    bool geographic = false;
    for (size_t r = 0; r < rasters.size(); ++r) {
        const Raster& raster = *rasters[r];
        Placement& p = placements[r];
        const double* t = raster.geoTransform;
        p.west = std::min(t[0], t[0] + raster.width * t[1]);
        p.east = std::max(t[0], t[0] + raster.width * t[1]);
        p.geographic = raster.geographic();
        p.turn = p.geographic ? 2 * M_PI / raster.srs->GetAngularUnits(nullptr) : 0;
        if (p.geographic && rule == Coverage::Exact) {
            p.equalAreaRows.emplace(raster);
        }
        geographic = geographic || p.geographic;
    }

    std::vector<PolygonSet> sets(rasters.size());
    std::vector<StoreTarget> targets;
    for (size_t r = 0; r < rasters.size(); ++r) {
        sets[r].theme = theme;
        targets.push_back({rasters[r]->inverse, &sets[r].store});
    }
    layer->ResetReading();
    takeGdalError();
    const DataCatalog::Source& source = polygonSource(catalog, theme);
    std::vector<qint64> nonFinite; // features kept empty
    // Placing polygons on a geographic raster's longitudes needs them whole.
    const bool direct =
        !transformed && !keepValues && !geographic &&
        EQUAL(dataset->GetDriverName(), "ESRI Shapefile") &&
        readShapefilePolygons(source.path, layer, theme, targets, rule, nonFinite, keepInFile);
    while (FeaturePtr feature = direct ? nullptr : nextFeature(layer, theme)) {
        bool finite = true;
        for (size_t r = 0; r < rasters.size(); ++r) {
            const OGRGeometry* geometry = feature->GetGeometryRef();
            std::unique_ptr<OGRGeometry> copy;
            if (geometry && transforms[r]) {
                copy.reset(geometry->clone());
                if (copy->transform(transforms[r].get()) != OGRERR_NONE) {
                    fail(QStringLiteral("Theme %1: feature %2 cannot be transformed to the land "
                                        "cover raster's coordinate system")
                             .arg(theme)
                             .arg(feature->GetFID()));
                }
                geometry = copy.get();
            }
            Placement& p = placements[r];
            if (geometry && p.geographic) {
                if (auto placed = placeOnLongitudes(*geometry, p.west, p.east, p.turn)) {
                    copy = std::move(placed);
                    geometry = copy.get();
                }
                if (p.equalAreaRows) {
                    if (!copy) {
                        copy.reset(geometry->clone());
                    }
                    copy->transform(&*p.equalAreaRows);
                    geometry = copy.get();
                }
            }
            finite = sets[r].store.add(geometry, rasters[r]->inverse, rule) && finite;
            if (keepValues) {
                sets[r].values.push_back(feature->IsFieldSetAndNotNull(valueField)
                                             ? feature->GetFieldAsDouble(valueField)
                                             : std::nan(""));
            }
        }
        if (!finite) {
            nonFinite.push_back(feature->GetFID());
        }
    }
    logNonFinite(theme, nonFinite, log);
    for (size_t r = 0; r < rasters.size(); ++r) {
        PolygonSet& set = sets[r];
        const Raster& raster = *rasters[r];
        // By the cells the polygons' extents reach, whatever the rule: polygons smaller than
        // a cell lie on the raster even where the centre rule gives them no cell.
        for (size_t i = 0; i < set.store.size() && !set.overlapsRaster; ++i) {
            set.overlapsRaster = !set.store.empty(i) && set.store.endRow(i, Coverage::Exact) > 0 &&
                                 set.store.firstRow(i, Coverage::Exact) < raster.height &&
                                 set.store.endColumn(i, Coverage::Exact) > 0 &&
                                 set.store.firstColumn(i, Coverage::Exact) < raster.width;
        }
        checkFeatureCount(dataset.get(), layer, qint64(set.store.size()), theme);
        set.store.squeeze();
    }
    return sets;
}

PolygonSet readPolygons(const DataCatalog& catalog, const QString& theme, const QString& field,
                        bool keepValues, const Raster& raster, Coverage rule,
                        const LogFunction& log)
{
    return std::move(readPolygons(catalog, theme, field, keepValues,
                                  std::vector<const Raster*>{&raster}, rule, log)
                         .front());
}

bool sameGrid(const Raster& a, const Raster& b)
{
    if (a.width != b.width || a.height != b.height ||
        !std::equal(std::begin(a.geoTransform), std::end(a.geoTransform),
                    std::begin(b.geoTransform))) {
        return false;
    }
    return !a.srs || !b.srs ? !a.srs && !b.srs : a.srs->IsSame(b.srs.get());
}

Raster openLandCover(const DataCatalog& catalog, const QString& theme)
{
    const DataCatalog::GridTheme* grid = catalog.findGrid(theme);
    if (!grid) {
        failMissingTheme(catalog, QStringLiteral("Land cover"), theme);
    }
    return openLandCoverFile(grid->source.path);
}

Raster openLandCoverFile(const QString& path)
{
    if (!QFileInfo::exists(path)) {
        fail(QStringLiteral("Land cover file not found: %1").arg(path));
    }
    Raster raster;
    raster.path = path;
    raster.dataset = openRaster(path);
    if (!raster.dataset) {
        fail(QStringLiteral("Land cover file %1 cannot be read: %2").arg(path, takeGdalError()));
    }
    if (raster.dataset->GetRasterCount() < 1) {
        fail(QStringLiteral("Land cover file %1 has no band").arg(path));
    }
    raster.band = raster.dataset->GetRasterBand(1);
    if (!isIntegerType(raster.band->GetRasterDataType())) {
        fail(QStringLiteral("Land cover raster %1 is not an integer raster (band 1 holds %2 "
                            "values)")
                 .arg(path, QString::fromLatin1(typeName(raster.band->GetRasterDataType()))));
    }
    raster.width = raster.dataset->GetRasterXSize();
    raster.height = raster.dataset->GetRasterYSize();
    if (raster.dataset->GetGeoTransform(raster.geoTransform) != CE_None) {
        fail(QStringLiteral("Land cover raster %1 has no georeference").arg(path));
    }
    if (raster.geoTransform[2] != 0 || raster.geoTransform[4] != 0) {
        fail(QStringLiteral("Land cover raster %1 is rotated; it must be north up").arg(path));
    }
    if (!GDALInvGeoTransform(raster.geoTransform, raster.inverse)) {
        fail(QStringLiteral("Land cover raster %1 has a cell size of 0").arg(path));
    }
    if (const OGRSpatialReference* srs = raster.dataset->GetSpatialRef()) {
        raster.srs.reset(srs->Clone());
        raster.srs->SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    }
    int hasNoData = 0;
    raster.noData = raster.band->GetNoDataValue(&hasNoData);
    raster.hasNoData = hasNoData != 0;
    return raster;
}
