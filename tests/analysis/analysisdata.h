#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

#include <ogr_spatialref.h>

#include <map>
#include <vector>

// Generated GIS data for the analysis tests, and the independent oracle: gdal_rasterize
// (run as a process) makes one cell-centre mask per polygon, and plain loops over the whole
// raster add up what each analysis polygon should get.
namespace AnalysisData {

constexpr int Cols = 70;
constexpr int Rows = 50;
constexpr double X0 = 400000.0;
constexpr double Y0 = 5000000.0;
constexpr double CellW = 10.0;
constexpr double CellH = 7.5;
constexpr int NoData = -1;
constexpr int Epsg = 32633;

struct Feature {
    QString wkt; // in the projected system
    int id = 0;
    double value = 0; // DENS for density themes
};

// Writes the land cover raster (tiled or striped Int16 GeoTIFF, NoData -1, classes
// 1,2,3,4,6,9 at random) and the polygon themes into dir; returns false with a reason.
bool writeAll(const QString& dir, bool tiled, QString* error);

// The themes as written (layer name -> features).
const std::map<QString, QVector<Feature>>& themes();

// A shapefile of features (in the projected system), written in the system of epsg.
bool writeLayer(const QString& path, const QVector<Feature>& features, int epsg, QString* error);

// A coordinate system by EPSG code, longitude (or easting) first.
OGRSpatialReference srsFor(int epsg);

// A raster file of the given GDAL type name and EPSG code, for the bad-input cases.
bool writeRaster(const QString& path, const char* type, int epsg, QString* error);

// Reads band 1 of a raster into a row-major vector.
std::vector<double> readRaster(const QString& path, QString* error);

// gdal_rasterize of one theme onto an empty copy of the land cover grid: each cell gets the
// 1-based position of the last feature (in layer order) whose polygon covers its centre
// (where is an optional attribute filter).
std::vector<int> rasterizeIds(const QString& dir, const QString& layer, const QString& where,
                              QString* error);

struct Expected {
    qint64 noData = 0;
    qint64 unknown = 0;
    qint64 counted = 0;
    double weightSum = 0; // sum of coefficients of counted cells
};

} // namespace AnalysisData
