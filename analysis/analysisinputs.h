#pragma once

#include "analysis/polygonstore.h"
#include "catalog/gdalsupport.h"
#include "model/modelparams.h"

#include "catalog/datacatalog.h"

#include <QString>

#include <ogr_spatialref.h>

#include <cmath>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

// The inputs of the analysis: the land cover raster, polygon themes in its cell
// coordinates, and the class table. Problems end the run (AnalysisError).

// Cell classes are held as indices into the coefficient tables; these two come first.
constexpr int32_t UnknownIndex = 0;
constexpr int32_t NoDataIndex = 1;
constexpr int32_t FirstClassIndex = 2;

struct SrsDeleter {
    void operator()(OGRSpatialReference* srs) const { srs->Release(); }
};
using SrsPtr = std::unique_ptr<OGRSpatialReference, SrsDeleter>;

struct Raster {
    QString path;
    GdalDatasetPtr dataset;
    GDALRasterBand* band = nullptr;
    int width = 0;
    int height = 0;
    double geoTransform[6] = {};
    double inverse[6] = {};
    SrsPtr srs;
    bool hasNoData = false;
    double noData = 0;

    // In degrees (or another angle): cells differ in area by row, longitudes go round.
    bool geographic() const { return srs && srs->IsGeographic(); }

    // The NoData value where it is a whole number, as cells of an integer raster hold it.
    std::optional<qint64> wholeNoData() const
    {
        return hasNoData && noData == std::floor(noData) ? std::optional<qint64>(qint64(noData))
                                                         : std::nullopt;
    }
};

// The polygons of one theme in cell coordinates.
struct PolygonSet {
    QString theme;
    PolygonStore store;
    std::vector<double> values; // the density theme's field, per polygon
    bool overlapsRaster = false;
};

// Class value -> index, the first CLASS line of a value counting. Values of 16-bit rasters
// and of a narrow range of classes are looked up in a table, the rest in a hash.
class ClassTable {
public:
    ClassTable(const QVector<ModelParams::LCClass>& lines, GDALDataType type)
    {
        for (const auto& line : lines) {
            if (!m_index.count(line.id)) {
                m_index.emplace(line.id, FirstClassIndex + int32_t(m_classes.size()));
                m_classes.push_back(line);
            }
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
            for (const auto& [id, index] : m_index) {
                m_dense[size_t(id - lo)] = index;
            }
        }
    }

    int32_t indexOf(qint64 value) const
    {
        const auto it = m_index.find(value);
        return it == m_index.end() ? UnknownIndex : it->second;
    }

    // Maps a value read from the raster.
    int32_t map(qint64 value) const
    {
        return value >= m_lo && value <= m_hi ? m_dense[size_t(value - m_lo)] : indexOf(value);
    }

    int indexCount() const { return FirstClassIndex + int(m_classes.size()); }
    const ModelParams::LCClass& cls(int32_t index) const
    {
        return m_classes[size_t(index - FirstClassIndex)];
    }
    // For rasters of 8 and 16 bits every value lies in one table: cells are then mapped
    // through lookUp(), NoData included.
    bool coversType(GDALDataType type) const
    {
        return !m_dense.empty() && (type == GDT_Byte || type == GDT_Int16 || type == GDT_UInt16);
    }
    qint64 lowest() const { return m_lo; }
    // Values from lowest() on in that table (0: none).
    size_t valueCount() const { return m_dense.size(); }
    // Index by value - lowest() (none when values are not in one table); noData, when it lies
    // in the table, maps to NoDataIndex.
    std::vector<int32_t> lookUp(std::optional<qint64> noData) const
    {
        std::vector<int32_t> table = m_dense;
        if (noData && *noData >= m_lo && *noData <= m_hi) {
            table[size_t(*noData - m_lo)] = NoDataIndex;
        }
        return table;
    }

private:
    std::unordered_map<qint64, int32_t> m_index;
    std::vector<ModelParams::LCClass> m_classes;
    qint64 m_lo = 1;
    qint64 m_hi = 0;
    std::vector<int32_t> m_dense;
};

using LogFunction = std::function<void(const QString&)>;

Raster openLandCover(const DataCatalog& catalog, const QString& theme);
Raster openLandCoverFile(const QString& path);
// Whether two rasters share their cells: size, georeference and coordinate system.
bool sameGrid(const Raster& a, const Raster& b);
// Reads a theme's polygons into cell coordinates under a coverage rule. field, when given,
// must exist; with keepValues its numeric values are kept (null: NaN).
PolygonSet readPolygons(const DataCatalog& catalog, const QString& theme, const QString& field,
                        bool keepValues, const Raster& raster, Coverage rule,
                        const LogFunction& log);
// The same for several rasters at once: the theme is read once, each polygon put into the
// cell coordinates of each raster; one set per raster, in their order. With keepInFile a
// shapefile's polygons may keep their points in its .shp (PolygonStore::checkFiles says
// whether it changed since).
std::vector<PolygonSet> readPolygons(const DataCatalog& catalog, const QString& theme,
                                     const QString& field, bool keepValues,
                                     const std::vector<const Raster*>& rasters, Coverage rule,
                                     const LogFunction& log, bool keepInFile = false);
const DataCatalog::Source& polygonSource(const DataCatalog& catalog, const QString& theme);
OGRLayer* openLayer(const DataCatalog::Source& source, GdalDatasetPtr& dataset,
                    const QString& theme);
int fieldIndex(OGRLayer* layer, const QString& field, const QString& theme);
