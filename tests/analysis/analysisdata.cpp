#include "analysisdata.h"

#include <QDir>
#include <QProcess>
#include <QStandardPaths>

#include <gdal_priv.h>
#include <ogr_spatialref.h>
#include <ogrsf_frmts.h>

#include <algorithm>
#include <array>
#include <memory>
#include <random>

namespace AnalysisData {

namespace {

struct Closer {
    void operator()(GDALDataset* d) const { GDALClose(d); }
};
using Dataset = std::unique_ptr<GDALDataset, Closer>;

QString ring(std::initializer_list<std::pair<double, double>> cells)
{
    // Cell coordinates (column, row) to map coordinates, closed.
    QStringList points;
    for (const auto& [c, r] : cells)
        points << QStringLiteral("%1 %2")
                      .arg(X0 + c * CellW, 0, 'f', 4)
                      .arg(Y0 - r * CellH, 0, 'f', 4);
    points << points.first();
    return QLatin1Char('(') + points.join(QLatin1Char(',')) + QLatin1Char(')');
}

std::map<QString, QVector<Feature>> makeThemes()
{
    std::map<QString, QVector<Feature>> t;
    // Off-grid coordinates so that no centre lies exactly on an edge.
    t["units"] = {
        {"POLYGON(" + ring({{3.3, 2.2}, {25.7, 3.1}, {27.2, 20.6}, {4.1, 22.4}}) + "," +
             ring({{10.4, 8.3}, {18.6, 8.9}, {17.1, 15.2}, {9.8, 14.7}}) + ")",
         1, 0}, // with a hole
        {"MULTIPOLYGON((" + ring({{30.2, 3.3}, {40.6, 4.2}, {38.3, 12.7}}) + "),(" +
             ring({{45.1, 30.4}, {52.9, 31.3}, {53.6, 41.8}, {44.4, 40.2}}) + "))",
         2, 0},
        {"POLYGON(" + ring({{-6.4, 25.2}, {8.7, 24.6}, {9.2, 35.5}, {-4.3, 36.1}}) + ")", 3,
         0}, // across the western edge
        {"POLYGON(" + ring({{60.3, 40.2}, {78.4, 43.1}, {75.6, 58.3}, {58.9, 55.7}}) + ")", 4,
         0}, // across the south-eastern corner
        {"POLYGON(" + ring({{15.2, 12.1}, {33.8, 18.4}, {12.6, 29.7}}) + ")", 5,
         0}, // overlaps 1 and its hole
        {"POLYGON(" + ring({{80.1, 10.2}, {90.3, 10.6}, {85.2, 20.4}}) + ")", 6,
         0}, // outside the raster
        {"POLYGON(" + ring({{20.2, 30.3}, {29.7, 31.2}, {24.1, 34.6}, {32.6, 40.1}, {18.7, 36.9}}) +
             ")",
         7, 0}, // concave
    };
    t["scen_a"] = {
        {"POLYGON(" + ring({{5.6, 5.3}, {20.4, 5.1}, {20.9, 18.2}, {6.2, 17.7}}) + ")", 1, 0},
        {"POLYGON(" + ring({{47.3, 33.2}, {60.1, 33.9}, {59.4, 47.6}}) + ")", 2, 0},
    };
    t["scen_b"] = {
        {"POLYGON(" + ring({{14.1, 10.2}, {29.8, 11.3}, {28.6, 27.4}, {13.3, 25.9}}) + ")", 1, 0},
    };
    // Thresholds in the tests: HIGH 50, LOW 10; values at both bounds, between and beyond.
    t["density"] = {
        {"POLYGON(" + ring({{0.5, 0.4}, {22.3, 0.6}, {21.7, 16.2}, {0.3, 15.8}}) + ")", 1, 50},
        {"POLYGON(" + ring({{21.7, 0.6}, {45.2, 0.3}, {44.8, 16.4}, {21.9, 16.2}}) + ")", 2, 10},
        {"POLYGON(" + ring({{0.3, 16.2}, {30.4, 16.1}, {30.2, 38.3}, {0.4, 38.6}}) + ")", 3, 30},
        {"POLYGON(" + ring({{30.4, 16.1}, {71.3, 16.3}, {71.2, 38.1}, {30.2, 38.3}}) + ")", 4, 80},
        {"POLYGON(" + ring({{40.2, 36.3}, {71.4, 36.1}, {71.3, 51.2}, {40.1, 51.4}}) + ")", 5,
         2}, // overlaps 4: the later one wins
    };
    // One multipolygon of two overlapping parts, then each part alone.
    const QString a = ring({{2.3, 2.2}, {20.6, 2.7}, {19.8, 18.4}, {2.9, 17.6}});
    const QString b = ring({{12.4, 10.3}, {35.2, 11.6}, {33.7, 30.2}, {11.6, 28.8}});
    t["overlap"] = {{"MULTIPOLYGON((" + a + "),(" + b + "))", 1, 0},
                    {"POLYGON(" + a + ")", 2, 0},
                    {"POLYGON(" + b + ")", 3, 0}};
    t["far_away"] = {
        {"POLYGON(" + ring({{200.2, 200.3}, {210.1, 200.4}, {205.3, 210.2}}) + ")", 1, 0},
    };
    return t;
}

} // namespace

OGRSpatialReference srsFor(int epsg)
{
    OGRSpatialReference srs;
    srs.importFromEPSG(epsg);
    srs.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    return srs;
}

bool writeLayer(const QString& path, const QVector<Feature>& features, int epsg, QString* error)
{
    GDALDriver* driver = GetGDALDriverManager()->GetDriverByName("ESRI Shapefile");
    Dataset ds(driver->Create(path.toUtf8().constData(), 0, 0, 0, GDT_Unknown, nullptr));
    if (!ds) {
        *error = "cannot create " + path;
        return false;
    }
    OGRSpatialReference srs = srsFor(epsg);
    OGRSpatialReference projected = srsFor(Epsg);
    std::unique_ptr<OGRCoordinateTransformation> toTarget(
        epsg == Epsg ? nullptr : OGRCreateCoordinateTransformation(&projected, &srs));
    OGRLayer* layer = ds->CreateLayer("l", &srs, wkbUnknown, nullptr);
    OGRFieldDefn id("ID", OFTInteger);
    OGRFieldDefn name("NAME", OFTString);
    OGRFieldDefn dens("DENS", OFTReal);
    layer->CreateField(&id);
    layer->CreateField(&name);
    layer->CreateField(&dens);
    for (const Feature& f : features) {
        OGRGeometry* geometry = nullptr;
        const QByteArray wkt = f.wkt.toUtf8();
        if (OGRGeometryFactory::createFromWkt(wkt.constData(), nullptr, &geometry) != OGRERR_NONE) {
            *error = "bad test geometry " + f.wkt;
            return false;
        }
        if (toTarget)
            geometry->transform(toTarget.get());
        OGRFeature* feature = OGRFeature::CreateFeature(layer->GetLayerDefn());
        feature->SetField("ID", f.id);
        feature->SetField("NAME", QStringLiteral("unit %1 \u00e4").arg(f.id).toUtf8().constData());
        feature->SetField("DENS", f.value);
        feature->SetGeometryDirectly(geometry);
        const bool ok = layer->CreateFeature(feature) == OGRERR_NONE;
        OGRFeature::DestroyFeature(feature);
        if (!ok) {
            *error = "cannot write a feature to " + path;
            return false;
        }
    }
    return true;
}

const std::map<QString, QVector<Feature>>& themes()
{
    static const auto t = makeThemes();
    return t;
}

namespace {

Dataset createRaster(const QString& path, GDALDataType type, int epsg, char** options,
                     QString* error)
{
    GDALAllRegister();
    GDALDriver* driver = GetGDALDriverManager()->GetDriverByName("GTiff");
    Dataset ds(driver->Create(path.toUtf8().constData(), Cols, Rows, 1, type, options));
    if (!ds) {
        *error = "cannot create " + path;
        return ds;
    }
    double gt[6] = {X0, CellW, 0, Y0, 0, -CellH};
    if (epsg == 4326) // the same shape in degrees
        std::copy_n(std::array<double, 6>{15.0, 0.001, 0, 45.0, 0, -0.001}.begin(), 6, gt);
    ds->SetGeoTransform(gt);
    const OGRSpatialReference srs = srsFor(epsg);
    ds->SetSpatialRef(&srs);
    return ds;
}

} // namespace

bool writeRaster(const QString& path, const char* type, int epsg, QString* error)
{
    return bool(createRaster(path, GDALGetDataTypeByName(type), epsg, nullptr, error));
}

bool writeAll(const QString& dir, bool tiled, QString* error)
{
    char** options = nullptr;
    if (tiled) {
        options = CSLSetNameValue(options, "TILED", "YES");
        options = CSLSetNameValue(options, "BLOCKXSIZE", "16");
        options = CSLSetNameValue(options, "BLOCKYSIZE", "16");
    } else {
        options = CSLSetNameValue(options, "BLOCKYSIZE", "3");
    }
    const QString path = dir + "/landcover.tif";
    Dataset ds = createRaster(path, GDT_Int16, Epsg, options, error);
    CSLDestroy(options);
    if (!ds)
        return false;
    GDALRasterBand* band = ds->GetRasterBand(1);
    band->SetNoDataValue(NoData);
    std::mt19937 random(7);
    const int values[] = {1, 2, 3, 4, 6, 9, 1, 2, NoData};
    std::vector<GInt16> cells(size_t(Cols) * Rows);
    for (GInt16& cell : cells)
        cell = GInt16(values[random() % 9]);
    if (band->RasterIO(GF_Write, 0, 0, Cols, Rows, cells.data(), Cols, Rows, GDT_Int16, 0, 0,
                       nullptr) != CE_None) {
        *error = "cannot write " + path;
        return false;
    }
    ds.reset();

    for (const auto& [name, features] : themes())
        if (!writeLayer(dir + "/" + name + ".shp", features, Epsg, error))
            return false;
    // The analysis units once more, in geographic coordinates.
    return writeLayer(dir + "/units_geo.shp", themes().at("units"), 4326, error);
}

std::vector<double> readRaster(const QString& path, QString* error)
{
    Dataset ds(GDALDataset::Open(path.toUtf8().constData(), GDAL_OF_RASTER | GDAL_OF_READONLY));
    std::vector<double> cells;
    if (!ds) {
        *error = "cannot read " + path;
        return cells;
    }
    const int w = ds->GetRasterXSize();
    const int h = ds->GetRasterYSize();
    cells.resize(size_t(w) * size_t(h));
    if (ds->GetRasterBand(1)->RasterIO(GF_Read, 0, 0, w, h, cells.data(), w, h, GDT_Float64, 0, 0,
                                       nullptr) != CE_None)
        *error = "cannot read " + path;
    return cells;
}

std::vector<int> rasterizeIds(const QString& dir, const QString& layer, const QString& where,
                              QString* error)
{
    // An empty grid of the land cover's shape, burnt in place by feature position.
    const QString mask = dir + "/mask-" + layer + ".tif";
    if (!writeRaster(mask, "Int32", Epsg, error))
        return {};
    const QString tool = QStandardPaths::findExecutable("gdal_rasterize");
    if (tool.isEmpty()) {
        *error = "gdal_rasterize not found (Debian package gdal-bin)";
        return {};
    }
    // Burns the 1-based feature position through an SQL view of the layer.
    const QStringList args{"-q",
                           "-dialect",
                           "SQLITE",
                           "-sql",
                           QStringLiteral("SELECT geometry, rowid + 1 AS POS FROM \"%1\"%2")
                               .arg(layer, where.isEmpty() ? QString() : " WHERE " + where),
                           "-a",
                           "POS",
                           dir + "/" + layer + ".shp",
                           mask};
    QProcess process;
    process.start(tool, args);
    if (!process.waitForFinished(60000) || process.exitCode() != 0) {
        *error = "gdal_rasterize failed: " + QString::fromUtf8(process.readAllStandardError());
        return {};
    }
    const std::vector<double> cells = readRaster(mask, error);
    QFile::remove(mask);
    return std::vector<int>(cells.begin(), cells.end());
}

} // namespace AnalysisData
