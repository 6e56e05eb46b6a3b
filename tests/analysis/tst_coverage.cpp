// The exact and touched coverage rules against independent computations: the area of the
// OGR (GEOS) intersection of each cell's square with the polygon, and gdal_rasterize's
// all-touched burning; and the polygons of a tessellation taken band by band.
#include "analysis/bandspans.h"

#include <QTemporaryDir>
#include <QTest>

#include <gdal_alg.h>
#include <gdal_priv.h>
#include <ogr_api.h>
#include <ogr_geometry.h>

#include <cmath>
#include <cstring>
#include <memory>

namespace {

// A raster of 20 x 15 cells of 1 x 1 map unit, north up, its top left corner at (0, 15).
constexpr int Width = 20;
constexpr int Height = 15;
const double geoTransform[6] = {0, 1, 0, Height, 0, -1};

std::unique_ptr<OGRGeometry> geometryOf(const QByteArray& wkt)
{
    OGRGeometry* geometry = nullptr;
    OGRGeometryFactory::createFromWkt(wkt.constData(), nullptr, &geometry);
    return std::unique_ptr<OGRGeometry>(geometry);
}

// Each cell's weight under a rule, row by row.
std::vector<double> weightsOf(const OGRGeometry& geometry, Coverage rule)
{
    double inverse[6];
    if (!GDALInvGeoTransform(const_cast<double*>(geoTransform), inverse)) {
        qFatal("no inverse");
    }
    PolygonStore store;
    store.add(&geometry, inverse, rule);
    CellSpans spans;
    std::vector<double> weights;
    store.spans(0, rule, 0, Height, Width, spans, weights);
    std::vector<double> cells(size_t(Width * Height), 0.0);
    for (const CellSpan& s : spans) {
        for (qint64 c = s.begin; c < s.end; ++c) {
            cells[size_t(s.row * Width + c)] +=
                s.weights < 0 ? 1.0 : weights[size_t(s.weights + c - s.begin)];
        }
    }
    return cells;
}

// A tessellation of a Side x Side grid of cells into quads and triangles, in cell
// coordinates: the vertices of a lattice of step 4 cells, those inside moved by offsets taken
// in turn, so that they fall where a case wants them.
constexpr int Side = 24;
struct Tessellation {
    PolygonStore store;
    std::vector<double> areas;
};

Tessellation tessellate(const QVector<double>& dx, const QVector<double>& dy)
{
    constexpr int Steps = Side / 4;
    const auto at = [&](int i, int j) {
        const bool inside = i > 0 && i < Steps && j > 0 && j < Steps;
        const int k = i * 7 + j * 3;
        return std::make_pair(4.0 * i + (inside ? dx[k % dx.size()] : 0.0),
                              4.0 * j + (inside ? dy[k % dy.size()] : 0.0));
    };
    Tessellation t;
    const double identity[6] = {0, 1, 0, 0, 0, 1};
    const auto add = [&](std::vector<std::pair<double, double>> ring) {
        double area = 0;
        for (size_t k = 0; k < ring.size(); ++k) {
            const auto& [xa, ya] = ring[k];
            const auto& [xb, yb] = ring[(k + 1) % ring.size()];
            area += xa * yb - xb * ya;
        }
        t.areas.push_back(std::abs(area) / 2);
        if (t.areas.size() % 2) { // either way round
            std::reverse(ring.begin(), ring.end());
        }
        std::vector<char> xy(ring.size() * 16);
        std::memcpy(xy.data(), ring.data(), xy.size());
        const int start = 0;
        t.store.addRings(xy.data(), &start, 1, int(ring.size()), false, identity);
    };
    for (int j = 0; j < Steps; ++j) {
        for (int i = 0; i < Steps; ++i) {
            const auto a = at(i, j), b = at(i + 1, j), c = at(i + 1, j + 1), d = at(i, j + 1);
            if ((i + j) % 3 == 0) { // two triangles
                add({a, b, c});
                add({a, c, d});
            } else {
                add({a, b, c, d});
            }
        }
    }
    return t;
}

// Each cell's weight under a rule, added over every polygon, and each polygon's weights
// added up, with the rows taken in bands of bandHeight as the band loop takes them.
std::pair<std::vector<double>, std::vector<double>> bandShares(const PolygonStore& store,
                                                               Coverage rule, int bandHeight)
{
    std::vector<double> cells(size_t(Side * Side), 0.0);
    std::vector<double> polygons(store.size(), 0.0);
    BandIndex index;
    index.build(store, rule, bandHeight, Side, Side);
    BandSpans spans;
    for (const quint32 band : index.bands()) {
        const int rowBegin = int(band) * bandHeight;
        spans.build(store, index, rule, band, rowBegin, std::min(rowBegin + bandHeight, Side),
                    Side);
        spans.byTile(0, Side, 1);
        spans.forSpans(0, rowBegin, 0, Side,
                       [&](size_t g, size_t offset, size_t length, const double* weights) {
                           for (size_t i = 0; i < length; ++i) {
                               const double w = weights ? weights[i] : 1.0;
                               cells[size_t(rowBegin * Side) + offset + i] += w;
                               polygons[spans.groups()[g].polygon] += w;
                           }
                       });
    }
    return {cells, polygons};
}

// Each polygon's cells under a rule, its spans taken alone.
std::vector<double> aloneShares(const PolygonStore& store, Coverage rule)
{
    std::vector<double> polygons;
    for (size_t i = 0; i < store.size(); ++i) {
        CellSpans spans;
        std::vector<double> weights;
        store.spans(i, rule, 0, Side, Side, spans, weights);
        polygons.push_back(0);
        for (const CellSpan& s : spans) {
            polygons.back() += double(s.end - s.begin);
        }
    }
    return polygons;
}

} // namespace

class TestCoverage : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { GDALAllRegister(); }
    void matchesIndependentComputations_data();
    void matchesIndependentComputations();
    void keepsPolygonsWithoutFiniteVerticesEmpty_data();
    void keepsPolygonsWithoutFiniteVerticesEmpty();
    void conservesAreaAcrossATessellation_data();
    void conservesAreaAcrossATessellation();
    void readsBackVerticesKeptInAFile();
};

void TestCoverage::matchesIndependentComputations_data()
{
    QTest::addColumn<QByteArray>("wkt");
    QTest::newRow("slanted triangle") << QByteArray("POLYGON((1.3 1.7,12.9 3.2,6.1 13.4,1.3 1.7))");
    QTest::newRow("clockwise square with a hole")
        << QByteArray("POLYGON((2.2 2.4,2.2 11.6,14.7 11.6,14.7 2.4,2.2 2.4),"
                      "(5.5 5.3,9.1 5.3,9.1 8.7,5.5 8.7,5.5 5.3))");
    QTest::newRow("multipolygon, one part holed")
        << QByteArray("MULTIPOLYGON(((1.1 1.2,4.3 1.2,4.3 4.9,1.1 4.9,1.1 1.2)),"
                      "((8.2 6.1,17.6 7.3,12.4 13.8,8.2 6.1),(11 8.5,13.5 9,12 11.2,11 8.5)))");
    QTest::newRow("multipolygon of overlapping parts")
        << QByteArray("MULTIPOLYGON(((2.1 2.3,9.7 2.3,9.7 9.4,2.1 9.4,2.1 2.3)),"
                      "((6.4 5.2,13.8 5.2,13.8 12.6,6.4 12.6,6.4 5.2)))");
    QTest::newRow("sliver") << QByteArray(
        "POLYGON((0.4 3.3,19.2 10.1,19.2 10.13,0.4 3.31,0.4 3.3))");
    QTest::newRow("smaller than a cell")
        << QByteArray("POLYGON((7.15 7.2,7.55 7.25,7.4 7.65,7.15 7.2))");
    QTest::newRow("across the raster's corner")
        << QByteArray("POLYGON((-3.3 10.2,6.7 10.4,5.9 19.1,-3.4 18.8,-3.3 10.2))");
    QTest::newRow("island in a hole") << QByteArray(
        "MULTIPOLYGON(((1.2 1.1,18.3 1.1,18.3 14.2,1.2 14.2,1.2 1.1),(4.1 4.3,15.2 4.3,"
        "15.2 11.4,4.1 11.4,4.1 4.3)),((6.3 5.7,12.2 6.1,9.4 9.8,6.3 5.7)))");
    QTest::newRow("part within another")
        << QByteArray("MULTIPOLYGON(((1.2 1.1,18.3 1.1,18.3 14.2,1.2 14.2,1.2 1.1)),"
                      "((6.3 5.7,12.2 6.1,9.4 9.8,6.3 5.7)))");
    QTest::newRow("parts sharing an edge")
        << QByteArray("MULTIPOLYGON(((2.5 2.5,8.5 2.5,8.5 9.5,2.5 9.5,2.5 2.5)),"
                      "((8.5 3.7,15.2 3.7,15.2 12.1,8.5 12.1,8.5 3.7)))");
    QTest::newRow("concave star") << QByteArray(
        "POLYGON((10.1 1.2,11.9 6.1,17.8 6.3,13.1 9.2,15.2 14.1,10.3 11.1,"
        "5.2 14.3,7.4 9.1,2.3 6.2,8.3 6.05,10.1 1.2))");
}

void TestCoverage::matchesIndependentComputations()
{
    QFETCH(QByteArray, wkt);
    const auto polygon = geometryOf(wkt);
    QVERIFY(polygon);

    const std::vector<double> exact = weightsOf(*polygon, Coverage::Exact);
    std::unique_ptr<OGRGeometry> merged(wkbFlatten(polygon->getGeometryType()) == wkbMultiPolygon
                                            ? polygon->UnionCascaded()
                                            : nullptr);
    const OGRGeometry& area = merged ? *merged : *polygon;
    for (int r = 0; r < Height; ++r) {
        for (int c = 0; c < Width; ++c) {
            const double top = Height - r;
            const auto square =
                geometryOf(QStringLiteral("POLYGON((%1 %2,%3 %2,%3 %4,%1 %4,%1 %2))")
                               .arg(c)
                               .arg(top)
                               .arg(c + 1)
                               .arg(top - 1)
                               .toUtf8());
            std::unique_ptr<OGRGeometry> inside(area.Intersection(square.get()));
            // An intersection may hold lines and points too, which have no area.
            const double expected = inside ? OGR_G_Area(OGRGeometry::ToHandle(inside.get())) : 0.0;
            const double got = exact[size_t(r * Width + c)];
            QVERIFY2(
                std::abs(got - expected) < 1e-9,
                qPrintable(
                    QStringLiteral("cell %1,%2: %3, OGR %4").arg(r).arg(c).arg(got).arg(expected)));
        }
    }

    // Touched: gdal_rasterize -at on an empty copy of the grid.
    GDALDataset* grid = GetGDALDriverManager()->GetDriverByName("MEM")->Create("", Width, Height, 1,
                                                                               GDT_Byte, nullptr);
    grid->SetGeoTransform(const_cast<double*>(geoTransform));
    int band = 1;
    double burn = 1;
    OGRGeometryH handle = OGRGeometry::ToHandle(polygon.get());
    char** options = CSLSetNameValue(nullptr, "ALL_TOUCHED", "TRUE");
    QCOMPARE(GDALRasterizeGeometries(grid, 1, &band, 1, &handle, nullptr, nullptr, &burn, options,
                                     nullptr, nullptr),
             CE_None);
    CSLDestroy(options);
    std::vector<quint8> mask(size_t(Width * Height));
    QCOMPARE(grid->GetRasterBand(1)->RasterIO(GF_Read, 0, 0, Width, Height, mask.data(), Width,
                                              Height, GDT_Byte, 0, 0, nullptr),
             CE_None);
    GDALClose(grid);
    const std::vector<double> touched = weightsOf(*polygon, Coverage::Touched);
    for (size_t i = 0; i < mask.size(); ++i) {
        QVERIFY2(touched[i] == double(mask[i]),
                 qPrintable(QStringLiteral("cell %1,%2: %3, gdal_rasterize -at %4")
                                .arg(i / Width)
                                .arg(i % Width)
                                .arg(touched[i])
                                .arg(mask[i])));
    }
}

void TestCoverage::keepsPolygonsWithoutFiniteVerticesEmpty_data()
{
    QTest::addColumn<QByteArray>("wkt"); // 99 stands for the value
    QTest::addColumn<double>("value");
    const double nan = std::nan("");
    const QByteArray polygon = "POLYGON((1.3 1.7,12.9 3.2,6.1 99,1.3 1.7))";
    const QByteArray hole = "POLYGON((1 1,18 1,18 14,1 14,1 1),(5 5,99 5,9 9,5 5))";
    const QByteArray overlapping = "MULTIPOLYGON(((2.1 2.3,9.7 2.3,9.7 9.4,2.1 9.4,2.1 2.3)),"
                                   "((6.4 5.2,13.8 5.2,13.8 12.6,99 12.6,6.4 5.2)))";
    QTest::newRow("not a number in a polygon") << polygon << nan;
    QTest::newRow("infinity in a polygon") << polygon << HUGE_VAL;
    QTest::newRow("minus infinity in a hole") << hole << -HUGE_VAL;
    QTest::newRow("not a number in one of overlapping parts") << overlapping << nan;
    QTest::newRow("beyond doubles once in cells") << polygon << -1.7e308;
}

// Such a polygon covers no cell under any rule and is told apart; the next one counts as usual.
void TestCoverage::keepsPolygonsWithoutFiniteVerticesEmpty()
{
    QFETCH(QByteArray, wkt);
    QFETCH(double, value);
    const auto polygon = geometryOf(wkt);
    QVERIFY(polygon);
    OGRGeometry* parts[2] = {polygon.get(), nullptr};
    if (wkbFlatten(polygon->getGeometryType()) == wkbMultiPolygon)
        parts[1] = polygon->toMultiPolygon()->getGeometryRef(1);
    for (OGRGeometry* part : parts) {
        if (part && wkbFlatten(part->getGeometryType()) == wkbPolygon) {
            for (OGRLinearRing* ring : *part->toPolygon()) {
                for (int i = 0; i < ring->getNumPoints(); ++i) {
                    if (ring->getX(i) == 99)
                        ring->setPoint(i, value, ring->getY(i));
                    if (ring->getY(i) == 99)
                        ring->setPoint(i, ring->getX(i), value);
                }
            }
        }
    }
    const double inverse[6] = {0, 2, 0, 0, 0, 2}; // so that -1.7e308 overflows
    const auto square = geometryOf("POLYGON((1 1,3 1,3 3,1 3,1 1))");
    for (const Coverage rule : {Coverage::Centre, Coverage::Exact, Coverage::Touched}) {
        PolygonStore store;
        QVERIFY(!store.add(polygon.get(), inverse, rule));
        QVERIFY(store.add(square.get(), inverse, rule));
        QVERIFY(store.empty(0));
        CellSpans spans;
        std::vector<double> weights;
        store.spans(0, rule, 0, 100, 100, spans, weights);
        QVERIFY(spans.empty());
        store.spans(1, rule, 0, 100, 100, spans, weights);
        QVERIFY(!spans.empty());
    }
}

void TestCoverage::conservesAreaAcrossATessellation_data()
{
    // Offsets of the inner vertices from the lattice, whose rows 4, 8, ... begin a band for
    // band heights 1, 2 and 4 and end one before.
    QTest::addColumn<QVector<double>>("dx");
    QTest::addColumn<QVector<double>>("dy");
    QTest::newRow("in the first row of a band")
        << QVector<double>{0.31, -1.27, 0.0, 1.6} << QVector<double>{0.3, 0.55, 0.05};
    QTest::newRow("in the last row of a band")
        << QVector<double>{-0.42, 1.13, 0.77} << QVector<double>{-0.3, -0.95, -0.6};
    QTest::newRow("on cell corners") << QVector<double>{0, 1, -1, 2} << QVector<double>{0, -1, 1};
    QTest::newRow("on row lines") << QVector<double>{0.37, -0.61, 1.2} << QVector<double>{0, 1, -1};
    QTest::newRow("on column lines")
        << QVector<double>{0, 1, -1} << QVector<double>{0.37, -0.61, 1.2};
}

void TestCoverage::conservesAreaAcrossATessellation()
{
    QFETCH(QVector<double>, dx);
    QFETCH(QVector<double>, dy);
    const Tessellation t = tessellate(dx, dy);
    for (int bandHeight : {1, 2, 3, 4, 5, Side}) {
        const auto [cells, polygons] = bandShares(t.store, Coverage::Exact, bandHeight);
        for (size_t i = 0; i < polygons.size(); ++i) {
            QVERIFY2(std::abs(polygons[i] - t.areas[i]) <= 1e-9 * t.areas[i],
                     qPrintable(QStringLiteral("bands of %1 rows, polygon %2: %3, not %4")
                                    .arg(bandHeight)
                                    .arg(i)
                                    .arg(polygons[i], 0, 'f', 12)
                                    .arg(t.areas[i], 0, 'f', 12)));
        }
        for (size_t k = 0; k < cells.size(); ++k) {
            QVERIFY2(std::abs(cells[k] - 1) <= 1e-9,
                     qPrintable(QStringLiteral("bands of %1 rows, cell %2,%3: %4")
                                    .arg(bandHeight)
                                    .arg(k / Side)
                                    .arg(k % Side)
                                    .arg(cells[k], 0, 'f', 12)));
        }
        QCOMPARE(bandShares(t.store, Coverage::Touched, bandHeight).second,
                 aloneShares(t.store, Coverage::Touched));
    }
}

// Points kept in their file are read back as they were taken; polygons out of north-to-south
// order have theirs read in at once, so that a band need not read behind its window.
void TestCoverage::readsBackVerticesKeptInAFile()
{
    const auto square = [](double x, double y) {
        return std::vector<double>{x,       y,       x + 3.3, y + 0.2, x + 3.1,
                                   y + 3.4, x - 0.2, y + 3.1, x,       y};
    };
    // Rows 0, 2000, then 5: the third lies far behind the second.
    const std::vector<std::vector<double>> squares = {square(1.2, 0.3), square(4.4, 2000.6),
                                                      square(9.7, 5.1)};
    QTemporaryDir dir;
    const QString path = dir.filePath("points");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    for (const auto& points : squares)
        file.write(reinterpret_cast<const char*>(points.data()), qint64(points.size() * 8));
    file.close();
    const double identity[6] = {0, 1, 0, 0, 0, 1};
    for (const size_t count : {size_t(2), size_t(3)}) {
        PolygonStore inMemory;
        PolygonStore kept;
        const auto vertexFile = std::make_shared<const VertexFile>(path, "squares");
        for (size_t k = 0; k < count; ++k) {
            const auto* xy = reinterpret_cast<const char*>(squares[k].data());
            const int start = 0;
            inMemory.addRings(xy, &start, 1, 5, false, identity);
            kept.addRingInFile(xy, 5, identity, vertexFile, qint64(k * 80));
        }
        kept.settleFileVertices();
        if (count == 3)
            QVERIFY(QFile(path).resize(0)); // read in: the file is no longer needed
        for (const Coverage rule : {Coverage::Centre, Coverage::Exact}) {
            std::vector<double> cells[2];
            for (int s = 0; s < 2; ++s) {
                CellSpans spans;
                std::vector<double> weights;
                for (size_t i = 0; i < count; ++i)
                    (s ? kept : inMemory).spans(i, rule, 0, 2010, 20, spans, weights);
                for (const CellSpan& c : spans)
                    cells[s].insert(cells[s].end(),
                                    {double(c.row), double(c.begin), double(c.end)});
                cells[s].insert(cells[s].end(), weights.begin(), weights.end());
            }
            QVERIFY(!cells[0].empty());
            QCOMPARE(cells[1], cells[0]);
        }
    }
}

QTEST_GUILESS_MAIN(TestCoverage)
#include "tst_coverage.moc"
