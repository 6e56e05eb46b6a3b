// Land cover in geographic coordinates: cell areas and analysis results against the
// geodesic areas of PROJ's geodesic functions, near the poles and across the antimeridian.
#include "analysis/cellareas.h"
#include "analysis/imperviousanalysis.h"
#include "analysis/longitudes.h"
#include "analysisdata.h"
#include "catalog/datacatalog.h"
#include "model/modelparams.h"

#include <QTemporaryDir>
#include <QTest>

#include <gdal_priv.h>
#include <geodesic.h>
#include <ogr_geometry.h>
#include <ogrsf_frmts.h>

#include <cmath>
#include <memory>

namespace {

using Points = QVector<QPointF>; // (longitude, latitude) in degrees, or projected (x, y)

constexpr double Wgs84A = 6378137;
constexpr double Wgs84InvF = 298.257223563;

// Each edge cut into n pieces, as straight lines in the coordinates given.
Points densified(const Points& ring, int n)
{
    Points out;
    for (qsizetype i = 0; i < ring.size(); ++i) {
        const QPointF a = ring[i];
        const QPointF b = ring[(i + 1) % ring.size()];
        for (int k = 0; k < n; ++k) {
            out << a + (b - a) * (double(k) / n);
        }
    }
    return out;
}

// The area of a polygon of geodesic edges on an ellipsoid; a ring round a pole counts the
// cap it encloses.
double geodesicArea(const Points& ring, double a = Wgs84A, double inverseFlattening = Wgs84InvF)
{
    geod_geodesic g;
    geod_init(&g, a, inverseFlattening > 0 ? 1 / inverseFlattening : 0);
    std::vector<double> lats;
    std::vector<double> lons;
    for (const QPointF& p : ring) {
        lons.push_back(p.x());
        lats.push_back(p.y());
    }
    double area = 0;
    geod_polygonarea(&g, lats.data(), lons.data(), int(ring.size()), &area, nullptr);
    area = std::abs(area);
    const double earth = 4 * M_PI * g.c2;
    return std::min(area, earth - area);
}

// A cell with its parallels cut finely, so that geodesic edges follow them.
Points cell(double west, double north, double width, double height)
{
    Points ring;
    constexpr int Pieces = 4000;
    for (int k = 0; k <= Pieces; ++k) {
        ring << QPointF(west + width * k / Pieces, north);
    }
    for (int k = Pieces; k >= 0; --k) {
        ring << QPointF(west + width * k / Pieces, north - height);
    }
    return ring;
}

std::unique_ptr<OGRGeometry> geometryOf(const QByteArray& wkt)
{
    OGRGeometry* geometry = nullptr;
    OGRGeometryFactory::createFromWkt(wkt.constData(), nullptr, &geometry);
    return std::unique_ptr<OGRGeometry>(geometry);
}

QByteArray wktOf(const QVector<Points>& parts)
{
    QByteArrayList polygons;
    for (const Points& ring : parts) {
        QByteArrayList points;
        for (const QPointF& p : ring + Points{ring.first()}) {
            points << QByteArray::number(p.x(), 'g', 17) + ' ' + QByteArray::number(p.y(), 'g', 17);
        }
        polygons << "((" + points.join(',') + "))";
    }
    return "MULTIPOLYGON(" + polygons.join(',') + ")";
}

// Longitudes into [-180, 180), as data sets write them.
Points wrapped(const Points& ring)
{
    Points out;
    for (const QPointF& p : ring) {
        out << QPointF(std::remainder(p.x(), 360.0), p.y());
    }
    return out;
}

struct Grid {
    double west;
    double north;
    double cell; // degrees
    int cols;
    int rows;
};

void writeLandCover(const QString& path, const Grid& grid)
{
    const char* options[] = {"TILED=YES", "COMPRESS=DEFLATE", nullptr};
    GDALDataset* ds = GetGDALDriverManager()->GetDriverByName("GTiff")->Create(
        path.toUtf8().constData(), grid.cols, grid.rows, 1, GDT_Byte, const_cast<char**>(options));
    double transform[6] = {grid.west, grid.cell, 0, grid.north, 0, -grid.cell};
    ds->SetGeoTransform(transform);
    const OGRSpatialReference srs = AnalysisData::srsFor(4326);
    ds->SetSpatialRef(&srs);
    ds->GetRasterBand(1)->Fill(1);
    GDALClose(ds);
}

bool writeZones(const QString& path, int epsg, const QByteArray& wkt)
{
    GDALDataset* ds = GetGDALDriverManager()
                          ->GetDriverByName("ESRI Shapefile")
                          ->Create(path.toUtf8().constData(), 0, 0, 0, GDT_Unknown, nullptr);
    OGRSpatialReference srs = AnalysisData::srsFor(epsg);
    OGRLayer* layer = ds->CreateLayer("zones", &srs, wkbMultiPolygon, nullptr);
    OGRFieldDefn id("ID", OFTInteger);
    layer->CreateField(&id);
    OGRFeature feature(layer->GetLayerDefn());
    feature.SetField("ID", 1);
    feature.SetGeometryDirectly(geometryOf(wkt).release());
    const bool written = layer->CreateFeature(&feature) == OGRERR_NONE;
    GDALClose(ds);
    return written;
}

} // namespace

Q_DECLARE_METATYPE(Grid)
Q_DECLARE_METATYPE(Coverage)

class TestGeographic : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { GDALAllRegister(); }
    void cellAreasAreGeodesicAreas_data();
    void cellAreasAreGeodesicAreas();
    void rowsAddUpToTheEllipsoid();
    void placesPolygonsOnTheLongitudes_data();
    void placesPolygonsOnTheLongitudes();
    void polygonGetsItsGeodesicArea_data();
    void polygonGetsItsGeodesicArea();
};

void TestGeographic::cellAreasAreGeodesicAreas_data()
{
    QTest::addColumn<double>("inverseFlattening");
    QTest::addColumn<double>("north");
    QTest::addColumn<double>("size"); // degrees

    QTest::newRow("one degree at the equator") << Wgs84InvF << 1.0 << 1.0;
    QTest::newRow("one degree at 60 north") << Wgs84InvF << 61.0 << 1.0;
    QTest::newRow("one second at 45 south") << Wgs84InvF << -45.0 << 1 / 3600.0;
    QTest::newRow("a hundredth by the south pole") << Wgs84InvF << -89.98 << 0.01;
    QTest::newRow("one degree on a sphere") << 0.0 << 30.0 << 1.0;
}

void TestGeographic::cellAreasAreGeodesicAreas()
{
    QFETCH(double, inverseFlattening);
    QFETCH(double, north);
    QFETCH(double, size);
    const double radians = M_PI / 180;
    const CellAreas areas = CellAreas::geographic(Wgs84A, inverseFlattening, north * radians,
                                                  -size * radians, size * radians, 1);
    const double expected = geodesicArea(cell(0, north, size, size), Wgs84A, inverseFlattening);
    QVERIFY2(std::abs(areas.row(0) / expected - 1) < 1e-8,
             qPrintable(QStringLiteral("%1 against %2")
                            .arg(areas.row(0), 0, 'g', 15)
                            .arg(expected, 0, 'g', 15)));
    // Shares of the row's height under equalAreaRow are shares of its area.
    for (const double share : {0.25, 0.5, 0.9}) {
        const CellAreas top = CellAreas::geographic(Wgs84A, inverseFlattening, north * radians,
                                                    -size * share * radians, size * radians, 1);
        QVERIFY(std::abs(areas.equalAreaRow(share) - top.row(0) / areas.row(0)) < 1e-9);
    }
}

void TestGeographic::rowsAddUpToTheEllipsoid()
{
    // A global grid of one degree, and rows beyond the poles, which hold nothing.
    const double radians = M_PI / 180;
    const CellAreas areas =
        CellAreas::geographic(Wgs84A, Wgs84InvF, 91 * radians, -radians, radians, 182);
    double sum = 0;
    for (qint64 r = 0; r < 182; ++r) {
        sum += areas.row(r) * 360;
    }
    geod_geodesic g;
    geod_init(&g, Wgs84A, 1 / Wgs84InvF);
    QVERIFY(std::abs(sum / (4 * M_PI * g.c2) - 1) < 1e-12);
    QCOMPARE(areas.row(0), 0.0);
    QCOMPARE(areas.row(181), 0.0);
}

void TestGeographic::placesPolygonsOnTheLongitudes_data()
{
    QTest::addColumn<QByteArray>("wkt");
    QTest::addColumn<double>("west");
    QTest::addColumn<double>("east");
    QTest::addColumn<QByteArray>("expected"); // empty: left as it is

    QTest::newRow("inside the raster")
        << QByteArray("POLYGON((10 1,11 1,11 2,10 1))") << -180.0 << 180.0 << QByteArray();
    QTest::newRow("across the antimeridian, raster across it")
        << QByteArray("POLYGON((179 0,-179 0,-179 1,179 1,179 0))") << 170.0 << 190.0
        << QByteArray("MULTIPOLYGON (((179 0,181 0,181 1,179 1,179 0)))");
    QTest::newRow("split at the antimeridian")
        << QByteArray("MULTIPOLYGON (((179 0,180 0,180 1,179 1,179 0)),"
                      "((-180 0,-179 0,-179 1,-180 1,-180 0)))")
        << 170.0 << 190.0
        << QByteArray("MULTIPOLYGON (((179 0,180 0,180 1,179 1,179 0)),"
                      "((180 0,181 0,181 1,180 1,180 0)))");
    QTest::newRow("across the edge of a raster round the earth")
        << QByteArray("POLYGON((179 0,-179 0,-179 1,179 1,179 0))") << -180.0 << 180.0
        << QByteArray("MULTIPOLYGON (((-181 0,-179 0,-179 1,-181 1,-181 0)),"
                      "((179 0,181 0,181 1,179 1,179 0)))");
    QTest::newRow("raster from 0 to 360")
        << QByteArray("POLYGON((-75 40,-74 40,-74 41,-75 40))") << 0.0 << 360.0
        << QByteArray("MULTIPOLYGON (((285 40,286 40,286 41,285 40)))");
    QTest::newRow("hole across the antimeridian")
        << QByteArray("POLYGON((178 0,-178 0,-178 4,178 4,178 0),(179 1,-179 1,-179 2,179 1))")
        << 170.0 << 190.0
        << QByteArray("MULTIPOLYGON (((178 0,182 0,182 4,178 4,178 0),(179 1,181 1,181 2,179 1)))");
    QTest::newRow("round the north pole")
        << QByteArray("POLYGON((-120 80,0 81,120 80,-120 80))") << -180.0 << 180.0
        << QByteArray("MULTIPOLYGON (((-480 80,-360 81,-240 80,-120 80,-120 90,-480 90,-480 80)),"
                      "((-120 80,0 81,120 80,240 80,240 90,-120 90,-120 80)))");
}

void TestGeographic::placesPolygonsOnTheLongitudes()
{
    QFETCH(QByteArray, wkt);
    QFETCH(double, west);
    QFETCH(double, east);
    QFETCH(QByteArray, expected);
    const auto placed = placeOnLongitudes(*geometryOf(wkt), west, east, 360);
    if (expected.isEmpty()) {
        QVERIFY(!placed);
        return;
    }
    QVERIFY(placed);
    char* text = nullptr;
    placed->exportToWkt(&text);
    const QByteArray got(text);
    CPLFree(text);
    QCOMPARE(got, expected);
}

void TestGeographic::polygonGetsItsGeodesicArea_data()
{
    QTest::addColumn<Grid>("grid");
    QTest::addColumn<int>("epsg"); // of the polygon
    QTest::addColumn<QVector<Points>>("parts");
    QTest::addColumn<Coverage>("rule");
    QTest::addColumn<QString>("units");
    QTest::addColumn<double>("tolerance"); // relative

    const double second = 1 / 3600.0;
    // Irregular quadrilaterals of a few kilometres, their edges cut into 500 pieces so that
    // straight lines in degrees and geodesics agree.
    const auto quad = [](double lon, double lat) {
        return QVector<Points>{densified({{lon + 0.01, lat + 0.01},
                                          {lon + 0.08, lat + 0.02},
                                          {lon + 0.07, lat + 0.09},
                                          {lon + 0.02, lat + 0.07}},
                                         500)};
    };
    QTest::newRow("mid latitude") << Grid{10, 45.1, second, 360, 360} << 4326 << quad(10, 45)
                                  << Coverage::Exact << "Meters" << 1e-7;
    QTest::newRow("in feet") << Grid{10, 45.1, second, 360, 360} << 4326 << quad(10, 45)
                             << Coverage::Exact << "Feet" << 1e-7;
    QTest::newRow("southern hemisphere") << Grid{-70, -33, second, 360, 360} << 4326
                                         << quad(-70, -33.1) << Coverage::Exact << "Meters" << 1e-7;
    QTest::newRow("near the north pole") << Grid{10, 89.9, second, 360, 360} << 4326
                                         << quad(10, 89.8) << Coverage::Exact << "Meters" << 1e-6;
    QTest::newRow("across the antimeridian")
        << Grid{179.95, 10.1, second, 360, 360} << 4326 << quad(179.95, 10) << Coverage::Exact
        << "Meters" << 1e-7;
    QTest::newRow("across the edge of a raster round the earth")
        << Grid{-180, 10.1, 1 / 720.0, 360 * 720, 72} << 4326 << quad(179.95, 10) << Coverage::Exact
        << "Meters" << 1e-7;
    Points cap;
    for (int k = 0; k < 18000; ++k) {
        cap << QPointF(-180 + k * 0.02, 89.505); // across a row
    }
    QTest::newRow("round the north pole")
        << Grid{-180, 90, 0.01, 36000, 100} << 4326 << QVector<Points>{cap} << Coverage::Exact
        << "Meters" << 1e-7;
    // UTM zone 33 north: the polygon is transformed to degrees.
    QTest::newRow("from a projected system")
        << Grid{14, 46.1, second, 720, 720} << 32633
        << QVector<Points>{densified(
               {{426100, 5091200}, {436300, 5092100}, {435500, 5099800}, {427200, 5098900}}, 200)}
        << Coverage::Exact << "Meters" << 1e-7;
    // Cells taken whole: a rectangle on the cells' edges, just inside them.
    const double in = 1e-9;
    const Points rectangle = densified({{10.02 + in, 45.02 + in},
                                        {10.05 - in, 45.02 + in},
                                        {10.05 - in, 45.08 - in},
                                        {10.02 + in, 45.08 - in}},
                                       500);
    for (const Coverage rule : {Coverage::Centre, Coverage::Touched}) {
        QTest::newRow(rule == Coverage::Centre ? "cell centres" : "cells touched")
            << Grid{10, 45.1, second * 36, 10, 10} << 4326 << QVector<Points>{rectangle} << rule
            << "Meters" << 1e-7;
    }
}

void TestGeographic::polygonGetsItsGeodesicArea()
{
    QFETCH(Grid, grid);
    QFETCH(int, epsg);
    QFETCH(QVector<Points>, parts);
    QFETCH(Coverage, rule);
    QFETCH(QString, units);
    QFETCH(double, tolerance);
    QTemporaryDir dir;
    writeLandCover(dir.filePath("lc.tif"), grid);
    // The reference, from the polygon's vertices in degrees.
    QVector<Points> lonLat = parts;
    if (epsg != 4326) {
        const OGRSpatialReference from = AnalysisData::srsFor(epsg);
        const OGRSpatialReference to = AnalysisData::srsFor(4326);
        std::unique_ptr<OGRCoordinateTransformation> transform(
            OGRCreateCoordinateTransformation(&from, &to));
        for (Points& ring : lonLat) {
            for (QPointF& p : ring) {
                double x = p.x();
                double y = p.y();
                QVERIFY(transform->Transform(1, &x, &y));
                p = {x, y};
            }
        }
    }
    double expected = 0;
    for (const Points& ring : lonLat) {
        expected += geodesicArea(ring);
    }
    QVector<Points> written = parts;
    if (epsg == 4326) {
        std::transform(parts.begin(), parts.end(), written.begin(), wrapped);
    }
    QVERIFY(writeZones(dir.filePath("zones.shp"), epsg, wktOf(written)));

    QString error;
    const auto params = ModelParams::parse(
        "VIEW#View1\r\nLCTHEME#lc\r\nLCUNITS#" + units.toUtf8() +
            "\r\nANALYSISTHEME#zones\r\nANALYSISUNIT#ID\r\nPOPDENSITY#0\r\nOUTTHEME#" +
            dir.filePath("out.csv").toUtf8() + "\r\nOUTTHEMENAME#out\r\nCLASS#1#a#40#40#40\r\n",
        &error);
    const auto catalog = DataCatalog::scanFolder(dir.path(), &error);
    QVERIFY2(params && catalog, qPrintable(error));
    ImperviousAnalysis analysis(*params, *catalog);
    analysis.setOptions({rule, 2, {}, false, false});
    analysis.setMinimumBandHeight(16); // polygons across bands
    const ImperviousAnalysis::Result result = analysis.run();
    QVERIFY2(result.ok, qPrintable(result.error));
    QCOMPARE(result.polygons.size(), 1);
    const PolygonResult& r = result.polygons.front();
    const double squareUnit = units == "Feet" ? 0.3048 * 0.3048 : 1;
    QVERIFY2(std::abs(r.lcArea * squareUnit / expected - 1) < tolerance,
             qPrintable(QStringLiteral("LC_AREA %1 m² against %2 m²: %3 relative")
                            .arg(r.lcArea * squareUnit, 0, 'f', 3)
                            .arg(expected, 0, 'f', 3)
                            .arg(r.lcArea * squareUnit / expected - 1)));
    QVERIFY(std::abs(r.isArea / r.lcArea - 0.4) < 1e-12);
    if (rule != Coverage::Exact) {
        QCOMPARE(r.cells, qint64(3 * 6)); // cells are counted, not their areas
    }
}

QTEST_GUILESS_MAIN(TestGeographic)
#include "tst_geographic.moc"
