#pragma once

#include "analysis/outputwriter.h"
#include "analysis/polygonstore.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>
#include <vector>

// Shapefiles read and written without GDAL where GDAL's way costs most: it builds a feature
// and geometry objects for every record read, and formats every number of a table through
// printf.

// Where a theme's polygons go: a store in the cell coordinates of one raster grid.
struct StoreTarget {
    const double* inverse; // the grid's inverse geotransform
    PolygonStore* store;
};

// Reads the polygons of a shapefile theme (layer, read from shpPath) into each target's
// store, in its cell coordinates, as readPolygons would through GDAL: records of one ring,
// of an outer ring and its holes, and (centre rule) of outer rings apart are taken from the
// .shp here, others (rings GDAL alone knows how to put together, other shape types, damaged
// records) from GDAL feature by feature, and records deleted in the table are left out, as
// GDAL leaves them out. False, with nothing added, when the files are not what this reads:
// GDAL reads the theme then. Records GDAL refuses end the run with GDAL's message. The
// feature ids of polygons with a vertex that is not a finite number, kept empty, are added to
// nonFinite. With keepInFile the points of polygons of one ring stay in the .shp, read back
// band by band, when the records follow one another from north to south.
bool readShapefilePolygons(const QString& shpPath, OGRLayer* layer, const QString& theme,
                           const std::vector<StoreTarget>& targets, Coverage rule,
                           std::vector<qint64>& nonFinite, bool keepInFile = false);

// The layout of a shapefile's table (.dbf): where records start, their length and count, and
// each field's place.
struct DbfTable {
    struct Field {
        QByteArray descriptor; // the 32 bytes of its entry in the header
        int offset = 0;        // in a record
        int width = 0;
        bool text = false;
        bool copyable = false; // of a type and with a name a copy takes as it is
    };
    qint64 headerLength = 0;
    qint64 recordLength = 0;
    qint64 count = 0;
    std::vector<Field> fields;
};

// A shapefile output made from a shapefile theme without GDAL's writer, which formats every
// number through printf and writes every shape again. The output has the theme's geometry,
// feature for feature, so its .shp, .shx and .prj are the theme's files, copied; the table is
// written here: the theme's copied fields byte for byte, then the result fields, formatted
// as GDAL formats them.
class ShapefileCopy : public FeatureFileWriter {
public:
    // Nothing when the theme is not a shapefile this can copy, and GDAL's writer is to write
    // the output: a part missing, a table and shape index that do not hold count records, a
    // copied field of another type than C, N, F, D or L or with a name beyond ASCII, a table
    // too wide for the result fields, or a user's own SHAPE_ENCODING.
    static std::optional<ShapefileCopy> prepare(const QString& shpPath, int sourceFieldCount,
                                                const std::vector<int>& copiedFields,
                                                const std::vector<OutputField>& fields,
                                                qint64 count, const QString& outPath);

    // Writes the output as outShp and its other parts beside it; fill(index, values) gives
    // the result fields of a feature in the order of fields. False when the theme holds what
    // only GDAL's writer handles (a deleted record, text beyond ASCII in a table not declared
    // UTF-8); what was written is then of no use. Errors end the run, naming outPath.
    bool write(const QString& outShp, const Fill& fill) override;

private:
    QString m_outPath;
    QString m_shp;
    QString m_shx;
    QString m_dbf;
    QString m_prj; // empty: the theme has none
    bool m_utf8 = false;
    qint64 m_count = 0;
    int m_headerLength = 0; // of the theme's table
    int m_recordLength = 0;
    std::vector<DbfTable::Field> m_copied;
    std::vector<OutputField> m_fields;
};
