// The analysis on generated data, against gdal_rasterize cell-centre masks.
#include "analysis/analysiserror.h"
#include "analysis/imperviousanalysis.h"
#include "analysis/shapefiles.h"
#include "analysisdata.h"
#include "catalog/datacatalog.h"
#include "catalog/gdalsupport.h"
#include "model/modelparams.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <gdal_priv.h>
#include <gdal_utils.h>
#include <ogrsf_frmts.h>

#include <sys/resource.h>

#include <cmath>
#include <csignal>
#include <cstring>
#include <limits>

using namespace AnalysisData;

namespace {

const QByteArray classLines = "CLASS#1#Grass#10#5#1\r\n"
                              "CLASS#2#Road#90#80#70\r\n"
                              "CLASS#3#Roofs#100#95#90\r\n"
                              "CLASS#3#Roofs again#0#0#0\r\n"
                              "CLASS#4#Lawn#20#12.5#7.5\r\n"
                              "CLASS#5#Pavement#85#75#65\r\n"
                              "CLASS#7#Parking#95#90#85\r\n";

// A shapefile keeps areas to a tenth of a square unit.
constexpr double ShapefileArea = 0.05 + 1e-6;

// Both data folders hold the same polygons on the same grid, so one set of masks serves both.
const std::vector<int>& mask(const QString& dir, const QString& layer, const QString& where = {})
{
    static std::map<QString, std::vector<int>> cache;
    auto it = cache.find(layer + "|" + where);
    if (it == cache.end()) {
        QString error;
        it = cache.emplace(layer + "|" + where, rasterizeIds(dir, layer, where, &error)).first;
        if (!error.isEmpty())
            qFatal("%s", qPrintable(error));
    }
    return it->second;
}

// The coefficient of a class under an option (0 High, 1 Medium, 2 Low), first line counting;
// nothing for classes without a line.
std::optional<double> coefficient(int value, int option)
{
    const std::map<int, std::array<double, 3>> table{{1, {10, 5, 1}},    {2, {90, 80, 70}},
                                                     {3, {100, 95, 90}}, {4, {20, 12.5, 7.5}},
                                                     {5, {85, 75, 65}},  {7, {95, 90, 85}}};
    const auto it = table.find(value);
    if (it == table.end())
        return std::nullopt;
    return it->second[size_t(option)];
}

struct Scenario {
    QString theme;
    int classValue;
};

struct Row {
    QString theme = "units";
    int option = 0;
    QVector<Scenario> scenarios;
    QString units = "Meters";
    QString lc = "landcover";
};

QByteArray paramsFor(const Row& row, const QString& out)
{
    QByteArray bytes = "VIEW#View1\r\nLCTHEME#" + row.lc.toUtf8() + "\r\nLCUNITS#" +
                       row.units.toUtf8() + "\r\nANALYSISTHEME#" + row.theme.toUtf8() +
                       "\r\nANALYSISUNIT#NAME\r\nPOPDENSITY#" + QByteArray::number(row.option) +
                       "\r\n";
    if (row.option == 3)
        bytes += "POPDENSITYTHEME#density\r\nPOPDENSITYFLD#DENS\r\nPOPDENSITYHIGH#50\r\n"
                 "POPDENSITYMED#50#10\r\nPOPDENSITYLOW#10\r\n";
    bytes += "OUTTHEME#" + out.toUtf8() + "\r\nOUTTHEMENAME#out\r\n";
    int number = 0;
    for (const Scenario& s : row.scenarios)
        bytes += "DS#" + QByteArray::number(++number) + "#" + s.theme.toUtf8() + "#c#" +
                 QByteArray::number(s.classValue) + "\r\n";
    return bytes + classLines;
}

ModelParams parsed(const QByteArray& bytes)
{
    QString error;
    const auto params = ModelParams::parse(bytes, &error);
    if (!params)
        qFatal("test parameters do not parse: %s", qPrintable(error));
    return *params;
}

// One run; minimumBandHeight 0 keeps the analysis's own.
ImperviousAnalysis::Result analyse(const QByteArray& params, const DataCatalog& data,
                                   const ImperviousAnalysis::Options& options = {},
                                   int minimumBandHeight = 0, QStringList* log = nullptr)
{
    ImperviousAnalysis analysis(parsed(params), data);
    if (minimumBandHeight > 0)
        analysis.setMinimumBandHeight(minimumBandHeight);
    analysis.setOptions(options);
    if (log)
        analysis.setLog([log](const QString& line) { *log << line; });
    return analysis.run();
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// Copies the first layer of a vector file into a new file (or a new layer of an existing
// GeoPackage) of a GDAL driver, with layer creation options.
bool copyLayer(const QString& from, const QString& to, const char* driver, const char* layer,
               QByteArrayList options = {})
{
    GDALDataset* source = GDALDataset::Open(from.toUtf8().constData(), GDAL_OF_VECTOR);
    GDALDataset* target =
        QFile::exists(to)
            ? GDALDataset::Open(to.toUtf8().constData(), GDAL_OF_VECTOR | GDAL_OF_UPDATE)
            : GetGDALDriverManager()->GetDriverByName(driver)->Create(to.toUtf8().constData(), 0, 0,
                                                                      0, GDT_Unknown, nullptr);
    std::vector<char*> list;
    for (QByteArray& option : options)
        list.push_back(option.data());
    list.push_back(nullptr);
    CPLPushErrorHandler(CPLQuietErrorHandler); // multipolygons in a polygon layer
    const bool ok = source && target && target->CopyLayer(source->GetLayer(0), layer, list.data());
    CPLPopErrorHandler();
    GDALClose(target);
    GDALClose(source);
    return ok;
}

// The theme "units" of a catalog, read from another file or layer.
void setUnitsSource(DataCatalog& data, const DataCatalog::Source& source)
{
    for (DataCatalog::PolygonTheme& theme : data.polygons)
        if (theme.name == "units")
            theme.source = source;
}

struct OutputRow {
    QString name;
    double lcArea, isArea, isPct;
    qint64 noData, unknown;
    std::map<QString, double> classAreas; // A_ fields
    std::map<QString, QString> others;    // the other fields, as text
};

// The output's features; layer: by name, when the file holds several.
QVector<OutputRow> readOutput(const QString& path, const QString& layerName = {})
{
    QVector<OutputRow> rows;
    GDALDataset* ds =
        GDALDataset::Open(path.toUtf8().constData(), GDAL_OF_VECTOR | GDAL_OF_READONLY);
    if (!ds)
        return rows;
    OGRLayer* layer =
        layerName.isEmpty() ? ds->GetLayer(0) : ds->GetLayerByName(layerName.toUtf8().constData());
    while (OGRFeature* f = layer ? layer->GetNextFeature() : nullptr) {
        OutputRow row{QString::fromUtf8(f->GetFieldAsString("NAME")),
                      f->GetFieldAsDouble("LC_AREA"),
                      f->GetFieldAsDouble("IS_AREA"),
                      f->GetFieldAsDouble("IS_PCT"),
                      f->GetFieldAsInteger64("NODATA_CT"),
                      f->GetFieldAsInteger64("UNK_CT"),
                      {},
                      {}};
        for (int i = 0; i < f->GetFieldCount(); ++i) {
            const QString name = QString::fromUtf8(f->GetFieldDefnRef(i)->GetNameRef());
            if (name.startsWith("A_"))
                row.classAreas[name] = f->GetFieldAsDouble(i);
            else
                row.others[name] = QString::fromUtf8(f->GetFieldAsString(i));
        }
        rows << row;
        OGRFeature::DestroyFeature(f);
    }
    GDALClose(ds);
    return rows;
}

} // namespace

Q_DECLARE_METATYPE(Row)
Q_DECLARE_METATYPE(Coverage)

class TestAnalysis : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();

    void cataloguesADataFolder();
    void matchesTheOracle_data();
    void matchesTheOracle();
    void readsThemeFilesOfAProjectDescription();
    void commandLineReportsByExitStatus();
    void refusesBadInput_data();
    void refusesBadInput();
    void keepsTheEarlierOutputWhenItCannotBeReplaced_data();
    void keepsTheEarlierOutputWhenItCannotBeReplaced();
    void countsOverlappingPartsOnce();
    void writesEveryFormat_data();
    void writesEveryFormat();
    void writesShapefilesAsGdalDoes_data();
    void readsShapefilesAsGdalDoes_data();
    void readsShapefilesAsGdalDoes();
    void noticesAShapefileWrittenDuringTheRun();
    void opensAVectorFileOnceWhileUnchanged();
    void writesShapefilesAsGdalDoes();
    void givesTheSameResultsOnAnyNumberOfThreads_data();
    void givesTheSameResultsOnAnyNumberOfThreads();
    void handlesHugeRasters_data();
    void handlesHugeRasters();

private:
    DataCatalog catalog(const QString& dir) const;
    QString dataDir(bool tiled) const { return tiled ? m_tiled.path() : m_striped.path(); }

    QTemporaryDir m_tiled;
    QTemporaryDir m_striped;
    QTemporaryDir m_results;
    std::unique_ptr<QTemporaryDir> m_out;
};

void TestAnalysis::initTestCase()
{
    QString error;
    QVERIFY2(writeAll(m_tiled.path(), true, &error), qPrintable(error));
    QVERIFY2(writeAll(m_striped.path(), false, &error), qPrintable(error));
    // The same cells in a 32-bit raster, whose values are not all in one table.
    const char* toInt32[] = {"-ot", "Int32", nullptr};
    GDALTranslateOptions* translate = GDALTranslateOptionsNew(const_cast<char**>(toInt32), nullptr);
    GDALDatasetH lc =
        GDALOpen(m_striped.filePath("landcover.tif").toUtf8().constData(), GA_ReadOnly);
    GDALDatasetH lc32 = GDALTranslate(m_striped.filePath("landcover32.tif").toUtf8().constData(),
                                      lc, translate, nullptr);
    QVERIFY(lc && lc32);
    GDALClose(lc32);
    GDALClose(lc);
    GDALTranslateOptionsFree(translate);
    for (const char* name : {"real.tif", "depth.tif"})
        QVERIFY2(writeRaster(m_tiled.filePath(name), "Float32", Epsg, &error), qPrintable(error));
    QVERIFY2(writeRaster(m_tiled.filePath("degrees.tif"), "Int16", 4326, &error),
             qPrintable(error));
    // A file that is no shapefile, a .dbf of 2 records beside a .shp of 7 shapes, and a .shp
    // cut short in its last shape.
    QVERIFY(writeFile(m_tiled.filePath("broken.shp"), "not a shapefile"));
    for (const char* suffix : {".shp", ".shx", ".prj"})
        QVERIFY(QFile::copy(m_tiled.filePath(QStringLiteral("units") + suffix),
                            m_tiled.filePath(QStringLiteral("short") + suffix)));
    QVERIFY(QFile::copy(m_tiled.filePath("scen_a.dbf"), m_tiled.filePath("short.dbf")));
    for (const char* suffix : {".shp", ".shx", ".dbf"})
        QVERIFY(QFile::copy(m_tiled.filePath(QStringLiteral("units") + suffix),
                            m_tiled.filePath(QStringLiteral("cut") + suffix)));
    QFile cut(m_tiled.filePath("cut.shp"));
    QVERIFY(cut.resize(cut.size() - 10));
    // Layers of generic geometry type: the polygons of "units", and a point among polygons.
    const char* anyType[] = {"-f", "GPKG", "-nlt", "GEOMETRY", "-nln", "units_any", nullptr};
    GDALVectorTranslateOptions* options =
        GDALVectorTranslateOptionsNew(const_cast<char**>(anyType), nullptr);
    GDALDatasetH units = GDALOpenEx(m_tiled.filePath("units.shp").toUtf8().constData(),
                                    GDAL_OF_VECTOR, nullptr, nullptr, nullptr);
    auto* generic = GDALDataset::FromHandle(
        GDALVectorTranslate(m_tiled.filePath("generic.gpkg").toUtf8().constData(), nullptr, 1,
                            &units, options, nullptr));
    GDALVectorTranslateOptionsFree(options);
    QVERIFY(generic);
    OGRLayer* mixed = generic->CreateLayer("mixed", nullptr, wkbUnknown, nullptr);
    for (const char* wkt : {"POLYGON ((400000 5000000,400100 5000000,400100 4999900,400000 "
                            "5000000))",
                            "POINT (400010 4999990)"}) {
        OGRFeature* f = OGRFeature::CreateFeature(mixed->GetLayerDefn());
        OGRGeometry* g = nullptr;
        OGRGeometryFactory::createFromWkt(wkt, nullptr, &g);
        f->SetGeometryDirectly(g);
        QCOMPARE(mixed->CreateFeature(f), OGRERR_NONE);
        OGRFeature::DestroyFeature(f);
    }
    GDALClose(generic);
    GDALClose(units);
}

void TestAnalysis::init()
{
    m_out = std::make_unique<QTemporaryDir>();
}

DataCatalog TestAnalysis::catalog(const QString& dir) const
{
    QString error;
    const auto result = DataCatalog::scanFolder(dir, &error);
    if (!result)
        qFatal("%s", qPrintable(error));
    return *result;
}

void TestAnalysis::cataloguesADataFolder()
{
    const DataCatalog c = catalog(m_tiled.path());
    QStringList grids;
    for (const auto& g : c.grids)
        grids << g.name;
    // Geographic integer rasters are listed, real ones are not; cells in degrees are
    // measured in square metres, so the view's unit comes from the projected one.
    QCOMPARE(grids, QStringList({"degrees", "landcover"}));
    QCOMPARE(c.mapUnits(), QStringLiteral("Meters"));
    QVERIFY(c.notes.join('\n').contains("real.tif: not a single-band integer raster"));
    QVERIFY(c.notes.contains("generic.gpkg: layer mixed of generic geometry type holds Point "
                             "geometries, not polygons only"));
    QStringList polygons;
    for (const auto& p : c.polygons)
        polygons << p.name;
    QCOMPARE(polygons, QStringList({"cut", "density", "far_away", "overlap", "scen_a", "scen_b",
                                    "short", "units", "units_any", "units_geo"}));
    QString fields;
    for (const auto& f : c.findPolygon("units")->fields)
        fields += f.name + ":" + f.type + " ";
    QCOMPARE(fields, QStringLiteral("ID:integer NAME:string DENS:double "));
    QCOMPARE(catalog(m_striped.path()).mapUnits(), QStringLiteral("Meters"));

    QString error;
    QVERIFY(!DataCatalog::scanFolder(m_tiled.filePath("none"), &error));
    QCOMPARE(error, "data folder not found: " + m_tiled.filePath("none"));
}

void TestAnalysis::matchesTheOracle_data()
{
    QTest::addColumn<bool>("tiled");
    QTest::addColumn<Row>("row");
    QTest::newRow("Low, striped raster, areas in square feet")
        << false << Row{"units", 2, {}, "Feet"};
    QTest::newRow("Medium, overlapping scenarios, the later winning")
        << true << Row{"units", 1, {{"scen_a", 5}, {"scen_b", 7}}, "Meters"};
    QTest::newRow("High, scenario to a class without a CLASS line")
        << false << Row{"units", 0, {{"scen_b", 8}, {"scen_a", 2}}, "Meters"};
    QTest::newRow("High, 32-bit raster, scenario to a class without a CLASS line")
        << false << Row{"units", 0, {{"scen_a", 8}}, "Meters", "landcover32"};
    QTest::newRow("Low, 32-bit raster") << false << Row{"units", 2, {}, "Meters", "landcover32"};
    QTest::newRow("Calculate, densities at both thresholds")
        << true << Row{"units", 3, {{"scen_a", 5}}, "Meters"};
    QTest::newRow("analysis theme in geographic coordinates")
        << false << Row{"units_geo", 3, {{"scen_b", 7}}, "Meters"};
}

void TestAnalysis::matchesTheOracle()
{
    QFETCH(bool, tiled);
    QFETCH(Row, row);
    const QString dir = dataDir(tiled);
    // Every row writes the same output: each replaces the one before.
    const QString out = m_results.filePath("result.shp");

    ImperviousAnalysis analysis(parsed(paramsFor(row, out)), catalog(dir));
    analysis.setMinimumBandHeight(1); // bands of one block: polygons cross band borders
    ImperviousAnalysis::Options options;
    options.classAreas = true;
    analysis.setOptions(options);
    QStringList log;
    analysis.setLog([&log](const QString& line) { log << line; });
    int progress = 0;
    analysis.setProgress([&progress](int percent) { progress = percent; });
    const ImperviousAnalysis::Result result = analysis.run();
    QVERIFY2(result.ok, qPrintable(result.error));
    QCOMPARE(result.outputPath, out);
    QCOMPARE(progress, 100);
    QCOMPARE(log.join('\n').contains("areas are converted to square Feet"), row.units == "Feet");
    // The temporary parts are gone.
    QCOMPARE(QDir(m_results.path()).entryList(QDir::Files | QDir::Hidden),
             QStringList({"result.cpg", "result.dbf", "result.prj", "result.shp", "result.shx"}));

    // The oracle: a mask per polygon and per scenario theme, the density by position.
    QString error;
    const std::vector<double> lc = readRaster(dir + "/landcover.tif", &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    std::vector<std::vector<int>> scenarioMasks;
    for (const Scenario& s : row.scenarios)
        scenarioMasks.push_back(mask(dir, s.theme));
    const std::vector<int>& density = mask(dir, "density");
    const QVector<Feature>& units = themes().at("units");
    const QVector<OutputRow> output = readOutput(out);
    QCOMPARE(output.size(), units.size());
    QCOMPARE(result.polygons.size(), units.size());
    std::map<int, qint64> unknownCells; // by class value after scenarios, all polygons together

    for (int k = 0; k < units.size(); ++k) {
        const std::vector<int>& inside = mask(dir, row.theme, QStringLiteral("rowid = %1").arg(k));
        Expected e;
        std::map<qint32, qint64> classCells;
        for (size_t i = 0; i < lc.size(); ++i) {
            if (!inside[i])
                continue;
            int value = int(lc[i]);
            if (value == NoData) {
                ++e.noData;
                continue;
            }
            for (size_t s = 0; s < scenarioMasks.size(); ++s)
                if (scenarioMasks[s][i])
                    value = row.scenarios[int(s)].classValue;
            int option = row.option;
            if (option == 3) {
                option = 1;
                if (density[i]) {
                    const double d = themes().at("density")[density[i] - 1].value;
                    option = d >= 50 ? 0 : d <= 10 ? 2 : 1;
                }
            }
            ++e.counted;
            if (const auto c = coefficient(value, option)) {
                e.weightSum += *c;
                ++classCells[value];
            } else {
                ++e.unknown;
                ++unknownCells[value];
            }
        }
        const double cell = CellW * CellH / (row.units == "Feet" ? 0.3048 * 0.3048 : 1);
        const double lcArea = double(e.counted) * cell;
        const double isArea = e.weightSum * cell / 100;
        const double pct = e.counted ? isArea / lcArea * 100 : 0;
        const OutputRow& o = output[k];
        const QString what =
            QStringLiteral("polygon %1: LC_AREA %2, oracle %3; IS_AREA %4, oracle %5")
                .arg(k + 1)
                .arg(o.lcArea)
                .arg(lcArea)
                .arg(o.isArea)
                .arg(isArea);
        QCOMPARE(o.name, QStringLiteral("unit %1 \u00e4").arg(k + 1));
        QVERIFY2(o.noData == e.noData && o.unknown == e.unknown, qPrintable(what));
        QVERIFY2(std::abs(o.lcArea - lcArea) < ShapefileArea &&
                     std::abs(o.isArea - isArea) < ShapefileArea &&
                     std::abs(result.polygons[k].isArea - isArea) < 1e-6 &&
                     std::abs(o.isPct - pct) < 1e-5,
                 qPrintable(what));
        QCOMPARE(result.polygons[k].cells, e.counted + e.noData);
        // Class areas: each class by value, the others together; together LC_AREA.
        double classTotal = 0;
        for (const auto& [field, area] : o.classAreas) {
            const qint64 n = field == "A_UNK" ? e.unknown : classCells[field.mid(2).toInt()];
            QVERIFY2(std::abs(area - double(n) * cell) < ShapefileArea,
                     qPrintable(what + " " + field));
            classTotal += area;
        }
        QVERIFY2(std::abs(classTotal - o.lcArea) < ShapefileArea * double(o.classAreas.size() + 1),
                 qPrintable(what));
    }
    // The log counts the unknown cells the polygons take, not NoData nor cells around them.
    QStringList unknownLines;
    for (const auto& [value, cells] : unknownCells)
        unknownLines << QStringLiteral("Class value %1 has no CLASS line: %2 cells weigh 0")
                            .arg(value)
                            .arg(cells);
    QCOMPARE(log.filter("has no CLASS line:"), unknownLines);
    // The polygon off the raster gets zeros, IS_PCT included; the others got cells.
    QCOMPARE(result.polygons[5].cells, 0);
    QCOMPARE(output[5].isPct, 0.0);
    QVERIFY(result.polygons[2].cells > 0 && result.polygons[3].cells > 0);
    QVERIFY(output[0].noData > 0);
}

void TestAnalysis::readsThemeFilesOfAProjectDescription()
{
    // Theme names differ from file names; paths are relative to the project file.
    const QString project = m_out->filePath("project.json");
    QVERIFY(writeFile(
        project,
        "{\"view\": \"View1\", \"files\": {\"lc\": \"" +
            QDir(m_out->path()).relativeFilePath(m_tiled.filePath("landcover.tif")).toUtf8() +
            "\", \"blocks\": {\"path\": \"" + m_tiled.filePath("units.shp").toUtf8() +
            "\", \"layer\": \"units\"}}}"));
    QString error;
    const auto fromProject = DataCatalog::fromProjectFile(project, &error);
    QVERIFY2(fromProject, qPrintable(error));
    QCOMPARE(fromProject->findGrid("lc")->source.path, m_tiled.filePath("landcover.tif"));

    Row row;
    row.lc = "lc";
    row.theme = "blocks";
    const auto result = analyse(paramsFor(row, m_out->filePath("project.shp")), *fromProject);
    QVERIFY2(result.ok, qPrintable(result.error));
    QCOMPARE(readOutput(m_out->filePath("project.shp")).size(), themes().at("units").size());

    QVERIFY(writeFile(project, R"({"files": {"lc": 3}})"));
    QVERIFY(!DataCatalog::fromProjectFile(project, &error));
    QCOMPARE(error, project + ": \"files\" entry lc must be a path or {\"path\": ...}");
}

void TestAnalysis::commandLineReportsByExitStatus()
{
    const QString params = m_out->filePath("model_params.txt");
    QVERIFY(writeFile(params, paramsFor(Row{}, "result.shp"))); // beside the parameter file
    // fileLimit: the largest file the run may write, in bytes (0: any).
    const auto run = [](const QStringList& args, QByteArray* out, QByteArray* err,
                        rlim_t fileLimit = 0) {
        QProcess process;
        if (fileLimit > 0) {
            process.setChildProcessModifier([fileLimit] {
                std::signal(SIGXFSZ, SIG_IGN);
                const rlimit limit{fileLimit, fileLimit};
                setrlimit(RLIMIT_FSIZE, &limit);
            });
        }
        process.start(TARN_BIN_DIR "/tarn-analyze", args);
        if (!process.waitForFinished(60000))
            return -1;
        *out = process.readAllStandardOutput();
        *err = process.readAllStandardError();
        return process.exitCode();
    };
    QByteArray out, err;
    QCOMPARE(run({params, "--data", m_tiled.path()}, &out, &err), 0);
    QVERIFY2(out.endsWith("square Meters\n") && out.contains("progress: 100%\n") &&
                 out.contains("note: generic.gpkg: layer mixed of generic geometry type"),
             out.constData());
    QVERIFY(QFile::exists(m_out->filePath("result.shp")));

    // A write that fails midway fails the run and leaves the earlier output whole.
    const auto bytesOf = [](const QString& path) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    };
    const QByteArray earlier = bytesOf(m_out->filePath("result.dbf"));
    QCOMPARE(run({params, "--data", m_tiled.path()}, &out, &err, 300), 1);
    QVERIFY2(err.startsWith("tarn-analyze: Cannot write the output " +
                            m_out->filePath("result.shp").toUtf8()),
             err.constData());
    QCOMPARE(bytesOf(m_out->filePath("result.dbf")), earlier);

    QCOMPARE(run({params, "--data", m_out->path()}, &out, &err), 1);
    QCOMPARE(err, QByteArray("tarn-analyze: Polygon theme units has no data file\n"));
    QCOMPARE(run({params, "--data", m_out->filePath("none")}, &out, &err), 2);
    QCOMPARE(err,
             "tarn-analyze: data folder not found: " + m_out->filePath("none").toUtf8() + "\n");
    QCOMPARE(run({m_out->filePath("none.txt"), "--data", m_tiled.path()}, &out, &err), 2);
    QVERIFY(err.startsWith("tarn-analyze: Parameter file not found: "));
    QCOMPARE(run({params, "--folder", m_tiled.path()}, &out, &err), 2);
    QVERIFY(err.startsWith("Usage: tarn-analyze"));
    QCOMPARE(run({params, "--data", m_tiled.path(), "--coverage", "most"}, &out, &err), 2);
    QVERIFY(err.startsWith("Usage: tarn-analyze"));
    QCOMPARE(run({"--help"}, &out, &err), 0);
    QVERIFY(out.startsWith("Usage: tarn-analyze"));

    // Exact coverage into a GeoPackage, on two threads.
    QVERIFY(writeFile(params, paramsFor(Row{}, "result.gpkg")));
    QCOMPARE(run({params, "--data", m_tiled.path(), "--coverage", "exact", "--threads", "2",
                  "--class-areas"},
                 &out, &err),
             0);
    QVERIFY(readOutput(m_out->filePath("result.gpkg")).value(0).classAreas.size() > 1);

    // A format that writes a folder is refused, not reported done with nothing in place.
    QVERIFY(writeFile(params, paramsFor(Row{}, "result.gdb")));
    QCOMPARE(run({params, "--data", m_tiled.path(), "--format", "OpenFileGDB"}, &out, &err), 1);
    QVERIFY2(err.endsWith("the format OpenFileGDB writes a folder, not files\n"), err.constData());
    QVERIFY(!QFileInfo::exists(m_out->filePath("result.gdb")));
}

void TestAnalysis::refusesBadInput_data()
{
    QTest::addColumn<QByteArray>("from");
    QTest::addColumn<QByteArray>("to");
    QTest::addColumn<QString>("error"); // @DIR@: the data folder; @OUT@: the output folder
    QTest::newRow("land cover theme without data")
        << QByteArray("LCTHEME#landcover") << QByteArray("LCTHEME#lc1999")
        << "Land cover theme lc1999 has no data file";
    QTest::newRow("raster not integer")
        << QByteArray("LCTHEME#landcover") << QByteArray("LCTHEME#real")
        << "Land cover raster @DIR@/real.tif is not an integer raster (band 1 holds Float32 "
           "values)";
    QTest::newRow("analysis field missing")
        << QByteArray("ANALYSISUNIT#NAME") << QByteArray("ANALYSISUNIT#PARCEL")
        << "Field PARCEL not found in theme units";
    QTest::newRow("density field not numeric")
        << QByteArray("POPDENSITYFLD#DENS") << QByteArray("POPDENSITYFLD#NAME")
        << "Field NAME of theme density is not numeric";
    QTest::newRow("scenario theme without data")
        << QByteArray("DS#1#scen_a") << QByteArray("DS#1#roads")
        << "Polygon theme roads has no data file";
    QTest::newRow("theme of generic geometry type holding points")
        << QByteArray("ANALYSISTHEME#units") << QByteArray("ANALYSISTHEME#mixed")
        << "Polygon theme mixed cannot be used: generic.gpkg: layer mixed of generic geometry "
           "type holds Point geometries, not polygons only";
    QTest::newRow("no overlap") << QByteArray("ANALYSISTHEME#units")
                                << QByteArray("ANALYSISTHEME#far_away")
                                << "The polygons of theme far_away do not overlap the land "
                                   "cover raster";
    QTest::newRow("output folder missing")
        << QByteArray("OUTTHEME#@OUT@") << QByteArray("OUTTHEME#@OUT@/none")
        << "Output folder does not exist: @OUT@/none";
    QTest::newRow("broken shapefile")
        << QByteArray("ANALYSISTHEME#units") << QByteArray("ANALYSISTHEME#broken")
        << "Polygon theme broken cannot be used: broken.shp: not readable as vector data";
    QTest::newRow("non-integer raster in a data folder")
        << QByteArray("LCTHEME#landcover") << QByteArray("LCTHEME#depth")
        << "Land cover theme depth cannot be used: depth.tif: not a single-band integer raster";
    QTest::newRow(".dbf shorter than .shp")
        << QByteArray("ANALYSISTHEME#units") << QByteArray("ANALYSISTHEME#short")
        << "Theme short cannot be read whole: its table holds 2 records for 7 shapes";
    // The last shape: a header of 8 bytes, 44 of type and box, 4 of its ring, 6 points of 16.
    const qint64 lastShape = QFileInfo(m_tiled.filePath("units.shp")).size() - 152;
    QTest::newRow(".shp cut short")
        << QByteArray("ANALYSISTHEME#units") << QByteArray("ANALYSISTHEME#cut")
        << QStringLiteral("Theme cut cannot be read: Error in fread() reading object of size 152 "
                          "at offset %1 from .shp file")
               .arg(lastShape);
    QTest::newRow("output over the analysis theme")
        << QByteArray("OUTTHEME#@OUT@/result.shp") << QByteArray("OUTTHEME#@DIR@/units.shp")
        << "The output @DIR@/units.shp would replace @DIR@/units.shp, a file of the analysis "
           "theme units";
    QTest::newRow("output over the analysis theme, extension in capitals")
        << QByteArray("OUTTHEME#@OUT@/result.shp") << QByteArray("OUTTHEME#@DIR@/units.SHP")
        << "The output @DIR@/units.SHP would replace @DIR@/units.shp, a file of the analysis "
           "theme units";
    QTest::newRow("output over the density theme")
        << QByteArray("OUTTHEME#@OUT@/result.shp") << QByteArray("OUTTHEME#@DIR@/density")
        << "The output @DIR@/density.shp would replace @DIR@/density.shp, a file of the density "
           "theme density";
    QTest::newRow("output over a scenario theme through a linked folder")
        << QByteArray("OUTTHEME#@OUT@/result.shp") << QByteArray("OUTTHEME#@OUT@/link/scen_a")
        << "The output @OUT@/link/scen_a.shp would replace @DIR@/scen_a.shp, a file of the "
           "scenario theme scen_a";
}

void TestAnalysis::refusesBadInput()
{
    QFETCH(QByteArray, from);
    QFETCH(QByteArray, to);
    QFETCH(QString, error);
    const QString dir = m_tiled.path();
    Row row;
    row.option = 3;
    row.scenarios = {{"scen_a", 5}};
    QByteArray bytes = paramsFor(row, "@OUT@/result.shp");
    QVERIFY(bytes.contains(from));
    bytes.replace(from, to);
    bytes.replace("@OUT@", m_out->path().toUtf8()).replace("@DIR@", dir.toUtf8());
    // A data folder leaves out rasters that are not integer; a project file may name one.
    DataCatalog data = catalog(dir);
    data.grids << DataCatalog::GridTheme{"real", {dir + "/real.tif", {}}, {}};
    QVERIFY(QFile::link(dir, m_out->filePath("link")));
    const auto result = analyse(bytes, data);
    QVERIFY(!result.ok);
    QCOMPARE(result.error, error.replace("@OUT@", m_out->path()).replace("@DIR@", dir));
    QVERIFY(result.polygons.isEmpty());
    QCOMPARE(QDir(m_out->path()).entryList(QDir::Files | QDir::Hidden), QStringList());
}

void TestAnalysis::keepsTheEarlierOutputWhenItCannotBeReplaced_data()
{
    QTest::addColumn<QString>("obstacle"); // a folder
    QTest::addColumn<QString>("error");    // its beginning; @DIR@: the output folder
    QTest::newRow("a folder where a new part goes")
        << "res.dbf"
        << "Cannot write the output @DIR@/res.shp: @DIR@/res.dbf is in the way and "
           "is not a file";
}

void TestAnalysis::keepsTheEarlierOutputWhenItCannotBeReplaced()
{
    QFETCH(QString, obstacle);
    QFETCH(QString, error);
    const QDir out(m_out->path());
    const QStringList earlier{"res.cpg", "res.prj", "res.shp", "res.shx"};
    for (const QString& name : earlier)
        QVERIFY(writeFile(out.filePath(name), name.toUtf8()));
    QVERIFY(out.mkpath(obstacle + "/inside"));
    const auto run = [&] {
        return analyse(paramsFor(Row{}, out.filePath("res")), catalog(m_tiled.path()));
    };
    auto result = run();
    QVERIFY(!result.ok);
    QVERIFY2(result.error.startsWith(error.replace("@DIR@", out.path())), qPrintable(result.error));
    QCOMPARE(out.entryList(QDir::Files | QDir::Hidden), earlier);
    for (const QString& name : earlier) {
        QFile file(out.filePath(name));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), name.toUtf8());
    }

    // With the way clear the whole set is replaced, a stale index of the earlier one included.
    QVERIFY(QDir(out.filePath(obstacle)).removeRecursively());
    QVERIFY(writeFile(out.filePath("res.qix"), "old index"));
    result = run();
    QVERIFY2(result.ok, qPrintable(result.error));
    QCOMPARE(out.entryList(QDir::Files | QDir::Hidden),
             QStringList({"res.cpg", "res.dbf", "res.prj", "res.shp", "res.shx"}));
    QCOMPARE(readOutput(out.filePath("res.shp")).size(), themes().at("units").size());
}

void TestAnalysis::countsOverlappingPartsOnce()
{
    // Feature 1 joins the parts that features 2 and 3 hold alone: it gets their union.
    Row row;
    row.theme = "overlap";
    const QString dir = m_tiled.path();
    const auto result = analyse(paramsFor(row, m_out->filePath("res")), catalog(dir));
    QVERIFY2(result.ok, qPrintable(result.error));
    const std::vector<int>& a = mask(dir, "overlap", "rowid = 1");
    const std::vector<int>& b = mask(dir, "overlap", "rowid = 2");
    qint64 both = 0;
    qint64 either = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        both += a[i] && b[i];
        either += a[i] || b[i];
    }
    QVERIFY(both > 0);
    QCOMPARE(result.polygons[1].cells + result.polygons[2].cells, either + both);
    QCOMPARE(result.polygons[0].cells, either);
}

void TestAnalysis::writesEveryFormat_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("format");
    QTest::addColumn<QStringList>("files");
    QTest::newRow("shapefile") << "out.shp" << QString()
                               << QStringList{"out.cpg", "out.dbf", "out.prj", "out.shp",
                                              "out.shx"};
    QTest::newRow("GeoPackage holding another layer")
        << "out.gpkg" << QString() << QStringList{"out.gpkg"};
    QTest::newRow("GeoJSON") << "out.geojson" << QString() << QStringList{"out.geojson"};
    QTest::newRow("FlatGeobuf") << "out.fgb" << QString() << QStringList{"out.fgb"};
    QTest::newRow("CSV") << "out.csv" << QString() << QStringList{"out.csv", "out.csvt"};
    QTest::newRow("a driver by name, four files")
        << "out.tab"
        << "MapInfo File" << QStringList{"out.dat", "out.id", "out.map", "out.tab"};
}

void TestAnalysis::writesEveryFormat()
{
    QFETCH(QString, name);
    QFETCH(QString, format);
    QFETCH(QStringList, files);
    const QDir out(m_out->path());
    const QString path = out.filePath(name);
    DataCatalog data = catalog(m_tiled.path());
    if (name.endsWith(".gpkg")) {
        // The analysis theme as another layer, which stays, and an earlier output layer that
        // is replaced.
        QVERIFY(copyLayer(m_tiled.filePath("units.shp"), path, "GPKG", "other"));
        GDALDataset* ds =
            GDALDataset::Open(path.toUtf8().constData(), GDAL_OF_VECTOR | GDAL_OF_UPDATE);
        setUnitsSource(data, {path, "other"});
        for (const char* layer : {"out"}) {
            OGRLayer* l = ds->CreateLayer(layer, nullptr, wkbNone, nullptr);
            OGRFieldDefn field("NAME", OFTString);
            l->CreateField(&field);
            OGRFeature* f = OGRFeature::CreateFeature(l->GetLayerDefn());
            f->SetField(0, layer);
            QCOMPARE(l->CreateFeature(f), OGRERR_NONE);
            OGRFeature::DestroyFeature(f);
        }
        GDALClose(ds);
    }
    const auto result =
        analyse(paramsFor(Row{}, path), data, {Coverage::Exact, 0, format, true, true});
    QVERIFY2(result.ok, qPrintable(result.error));
    QCOMPARE(out.entryList(QDir::Files | QDir::Hidden | QDir::Dirs | QDir::NoDotAndDotDot), files);

    const QVector<OutputRow> rows = readOutput(path, "out");
    const QVector<Feature>& units = themes().at("units");
    QCOMPARE(rows.size(), units.size());
    for (int k = 0; k < rows.size(); ++k) {
        const ImperviousAnalysis::PolygonResult& r = result.polygons[k];
        const OutputRow& o = rows[k];
        QCOMPARE(o.name, QStringLiteral("unit %1 \u00e4").arg(k + 1));
        QCOMPARE(o.others.at("ID").toInt(), units[k].id); // kept fields
        QCOMPARE(o.others.at("DENS").toDouble(), units[k].value);
        const double stored = name.endsWith(".shp") ? ShapefileArea : 1e-6;
        QVERIFY(std::abs(o.lcArea - r.lcArea) < stored && std::abs(o.isArea - r.isArea) < stored);
        QVERIFY(std::abs(o.isPct - r.isPct) < 1e-6);
        QVERIFY(o.noData == r.noData && o.unknown == r.unknown);
        QVERIFY(!o.classAreas.empty());
    }
    if (name.endsWith(".gpkg"))
        QCOMPARE(readOutput(path, "other").size(), units.size());
}

void TestAnalysis::writesShapefilesAsGdalDoes_data()
{
    QTest::addColumn<bool>("utf8");
    QTest::addColumn<bool>("everything"); // every field kept, class areas
    QTest::newRow("UTF-8 theme, identifier only") << true << false;
    QTest::newRow("UTF-8 theme, every field and class areas") << true << true;
    QTest::newRow("ISO-8859-1 theme, text to recode") << false << true;
}

// A shapefile theme's output is copied and its table written without GDAL's writer, unless
// the text needs recoding; either way the files are the ones GDAL would write.
void TestAnalysis::writesShapefilesAsGdalDoes()
{
    QFETCH(bool, utf8);
    QFETCH(bool, everything);
    DataCatalog data = catalog(m_tiled.path());
    const QString theme = m_out->filePath("theme.shp");
    QVERIFY(copyLayer(m_tiled.filePath("units.shp"), theme, "ESRI Shapefile", "theme",
                      {utf8 ? "ENCODING=UTF-8" : "ENCODING=ISO-8859-1"}));
    // A .prj GDAL would write otherwise shows whether the theme's files were copied.
    OGRSpatialReference srs;
    srs.importFromEPSG(Epsg);
    char* wkt = nullptr;
    srs.exportToWkt(&wkt);
    const QByteArray prj(wkt);
    CPLFree(wkt);
    QVERIFY(writeFile(m_out->filePath("theme.prj"), prj));
    setUnitsSource(data, {theme, {}});

    const QDir out(m_out->path());
    const ImperviousAnalysis::Options run{Coverage::Centre, 1, {}, everything, everything};
    std::map<QString, QByteArray> files;
    for (const char* encoding : {"", "UTF-8"}) {
        if (*encoding && !utf8)
            break; // the theme would not read
        // A user's SHAPE_ENCODING hands the output to GDAL's writer.
        CPLSetConfigOption("SHAPE_ENCODING", *encoding ? encoding : nullptr);
        const auto result = analyse(paramsFor(Row{}, out.filePath("res.shp")), data, run);
        CPLSetConfigOption("SHAPE_ENCODING", nullptr);
        QVERIFY2(result.ok, qPrintable(result.error));
        QCOMPARE(out.entryList({"res*"}, QDir::Files | QDir::Hidden),
                 QStringList({"res.cpg", "res.dbf", "res.prj", "res.shp", "res.shx"}));
        QCOMPARE(readOutput(out.filePath("res.shp")).at(0).name, QStringLiteral("unit 1 \u00e4"));
        for (const QString& name : out.entryList({"res*"})) {
            QFile file(out.filePath(name));
            QVERIFY(file.open(QIODevice::ReadOnly));
            QByteArray bytes = file.readAll();
            if (name.endsWith(".dbf"))
                bytes.replace(1, 3, "date"); // the day of writing
            if (name.endsWith(".prj")) {
                QCOMPARE(bytes == prj, utf8 && !*encoding);
                continue;
            }
            if (*encoding)
                QVERIFY2(bytes == files[name], qPrintable(name));
            files[name] = bytes;
        }
    }
}

void TestAnalysis::readsShapefilesAsGdalDoes_data()
{
    QTest::addColumn<QString>("type");   // of the shapefile's shapes
    QTest::addColumn<int>("deleted");    // a record marked deleted in the table, or -1
    QTest::addColumn<QString>("damage"); // done to the first record of one ring
    QTest::newRow("polygons, holes and parts") << "POLYGON" << -1 << "";
    QTest::newRow("a record deleted in the table") << "POLYGON" << 2 << "";
    QTest::newRow("polygons with heights") << "POLYGONZ" << -1 << "";
    QTest::newRow("a vertex not a number") << "POLYGON" << -1 << "nan";
    QTest::newRow("an infinite vertex") << "POLYGONZ" << -1 << "inf";
    QTest::newRow("heights missing from a record") << "POLYGONZ" << -1 << "no heights";
    QTest::newRow("table's last record cut short") << "POLYGON" << -1 << "table cut";
    // Every ring a polygon of its own, the hole too.
    QTest::newRow("rings put together the user's way") << "POLYGON" << -1 << "SKIP";
}

// Polygons of one ring and outer rings with their holes are read from the .shp directly, the
// others through GDAL: the results equal those of the same polygons read from a GeoPackage,
// under every rule, and a record GDAL calls corrupt ends the run with GDAL's message.
void TestAnalysis::readsShapefilesAsGdalDoes()
{
    QFETCH(QString, type);
    QFETCH(int, deleted);
    QFETCH(QString, damage);
    const bool organize = damage == "SKIP";
    CPLSetConfigOption("OGR_ORGANIZE_POLYGONS", organize ? "SKIP" : nullptr);
    const auto reset = qScopeGuard([] { CPLSetConfigOption("OGR_ORGANIZE_POLYGONS", nullptr); });
    const QString shp = m_out->filePath("theme.shp");
    QVERIFY(copyLayer(m_tiled.filePath("units.shp"), shp, "ESRI Shapefile", "theme",
                      {"SHPT=" + type.toUtf8()}));
    const auto le16 = [](const QByteArray& b, int at) {
        return uchar(b[at]) | uchar(b[at + 1]) << 8;
    };
    const auto le32 = [&](const QByteArray& b, int at) {
        return le16(b, at) | le16(b, at + 2) << 16;
    };
    const auto be32 = [](const QByteArray& b, int at) {
        return int(uchar(b[at]) << 24 | uchar(b[at + 1]) << 16 | uchar(b[at + 2]) << 8 |
                   uchar(b[at + 3]));
    };
    if (deleted >= 0) {
        QFile dbf(m_out->filePath("theme.dbf"));
        QVERIFY(dbf.open(QIODevice::ReadWrite));
        const QByteArray header = dbf.read(12);
        QVERIFY(dbf.seek(le16(header, 8) + deleted * le16(header, 10)) && dbf.write("*") == 1);
    }
    QString error;
    int damaged = -1;
    if (damage == "table cut") {
        // GDAL reads a record whole, even for its deletion flag.
        QFile dbf(m_out->filePath("theme.dbf"));
        QVERIFY(dbf.resize(dbf.size() - 3));
        error = "Theme units cannot be read: " + dbf.fileName() + " ends early";
    } else if (!damage.isEmpty() && !organize) {
        QFile shpFile(shp);
        QFile shxFile(m_out->filePath("theme.shx"));
        QVERIFY(shpFile.open(QIODevice::ReadWrite) && shxFile.open(QIODevice::ReadWrite));
        QByteArray shapes = shpFile.readAll();
        QByteArray index = shxFile.readAll();
        int content = 0;
        for (damaged = 0; 100 + 8 * damaged < index.size(); ++damaged) {
            content = be32(index, 100 + 8 * damaged) * 2 + 8;
            if (le32(shapes, content + 36) == 1)
                break;
        }
        const int points = le32(shapes, content + 40);
        if (damage == "no heights") {
            // The index gives the record the length of its points alone.
            const int length = 44 + 4 + 16 * points;
            index[100 + 8 * damaged + 6] = char(length / 2 >> 8);
            index[100 + 8 * damaged + 7] = char(length / 2 & 0xff);
            error = QStringLiteral("Theme units cannot be read: Corrupted .shp file : shape %1, "
                                   "nPoints=%2, nParts=1, nEntitySize=%3.")
                        .arg(damaged)
                        .arg(points)
                        .arg(length + 8);
        } else {
            const double value = damage == "nan" ? std::nan("") : -HUGE_VAL;
            std::memcpy(shapes.data() + content + 48 + 16 * 2, &value, 8);
        }
        QVERIFY(shpFile.seek(0) && shpFile.write(shapes) == shapes.size());
        QVERIFY(shxFile.seek(0) && shxFile.write(index) == index.size());
    }
    if (!error.isEmpty()) {
        // The direct reader itself refuses, not only a later reading through GDAL.
        GdalDatasetPtr dataset = openVector(shp);
        QVERIFY(dataset);
        PolygonStore store;
        std::vector<qint64> nonFinite;
        const double identity[6] = {0, 1, 0, 0, 0, 1};
        QString refused;
        try {
            readShapefilePolygons(shp, dataset->GetLayer(0), "units", {{identity, &store}},
                                  Coverage::Centre, nonFinite);
        } catch (const AnalysisError& e) {
            refused = e.message;
        }
        QCOMPARE(refused, error);
    }
    const QString gpkg = m_out->filePath("theme.gpkg");
    QVERIFY(!error.isEmpty() || copyLayer(shp, gpkg, "GPKG", "theme"));

    for (const Coverage rule : {Coverage::Centre, Coverage::Exact, Coverage::Touched}) {
        std::vector<std::vector<double>> results;
        for (const DataCatalog::Source& file :
             {DataCatalog::Source{shp, {}}, DataCatalog::Source{gpkg, "theme"}}) {
            DataCatalog data = catalog(m_tiled.path());
            setUnitsSource(data, file);
            QStringList log;
            const auto result = analyse(paramsFor(Row{}, m_out->filePath("res.csv")), data,
                                        {rule, 1, {}, false, false}, 0, &log);
            if (!error.isEmpty()) {
                QCOMPARE(result.error, error);
                break;
            }
            QVERIFY2(result.ok, qPrintable(result.error));
            QCOMPARE(log.filter("not a finite number"),
                     damaged < 0
                         ? QStringList()
                         : QStringList(QStringLiteral("Theme units: feature %1 has a vertex that "
                                                      "is not a finite number; it is counted as "
                                                      "covering no cells")
                                           .arg(damaged)));
            if (damaged >= 0)
                QCOMPARE(result.polygons[damaged].cells, 0);
            results.emplace_back();
            for (const auto& r : result.polygons)
                results.back().insert(results.back().end(), {double(r.cells), r.lcArea, r.isArea});
        }
        if (error.isEmpty()) {
            QCOMPARE(results[0].size(), size_t(themes().at("units").size() - (deleted >= 0)) * 3);
            QCOMPARE(results[0], results[1]);
        }
    }
}

// Polygons whose points stay in the .shp: a file cut short or written since is named, not
// read as other polygons.
void TestAnalysis::noticesAShapefileWrittenDuringTheRun()
{
    const QString shp = m_out->filePath("kept.shp");
    QVERIFY(copyLayer(m_tiled.filePath("units.shp"), shp, "ESRI Shapefile", "kept"));
    const QString changed = "Theme units changed while it was read: " + shp;
    const double inverse[6] = {-X0 / CellW, 1 / CellW, 0, Y0 / CellH, 0, -1 / CellH};
    for (const bool cut : {false, true}) {
        GdalDatasetPtr dataset = openVector(shp);
        QVERIFY(dataset);
        PolygonStore store;
        std::vector<qint64> nonFinite;
        QVERIFY(readShapefilePolygons(shp, dataset->GetLayer(0), "units", {{inverse, &store}},
                                      Coverage::Centre, nonFinite, true));
        store.checkFiles();
        QFile file(shp);
        QVERIFY(file.open(QIODevice::ReadWrite));
        const QByteArray bytes = file.readAll();
        QVERIFY(cut ? file.resize(100) : file.seek(bytes.size()) && file.write("x") == 1);
        file.close();
        QString refused;
        try {
            CellSpans spans;
            std::vector<double> weights;
            for (size_t i = 0; i < store.size(); ++i)
                store.spans(i, Coverage::Centre, 0, Rows, Cols, spans, weights);
            store.checkFiles();
        } catch (const AnalysisError& e) {
            refused = e.message;
        }
        QCOMPARE(refused, changed);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    }
}

void TestAnalysis::opensAVectorFileOnceWhileUnchanged()
{
    const QString path = m_out->filePath("reused.geojson");
    const auto write = [&](int features) {
        QByteArray text = R"({"type":"FeatureCollection","features":[)";
        for (int i = 0; i < features; ++i)
            text += QByteArray(i ? "," : "") + R"({"type":"Feature","properties":{"ID":)" +
                    QByteArray::number(i) + R"(},"geometry":{"type":"Point","coordinates":[0,0]}})";
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(text + "]}") > 0;
    };
    const auto features = [](GDALDataset* dataset) {
        int n = 0;
        for (OGRLayer* layer = dataset->GetLayer(0); FeaturePtr(layer->GetNextFeature());)
            ++n;
        return n;
    };
    QVERIFY(write(3));
    const VectorReuse reuse;
    GdalDatasetPtr first = openVector(path);
    QVERIFY(first);
    GDALDataset* kept = first.get();
    first->GetLayer(0)->SetAttributeFilter("ID = 1");
    QCOMPARE(features(kept), 1);
    QVERIFY(FeaturePtr(first->GetLayer(0)->GetNextFeature()) == nullptr);
    first.reset();
    // Kept, with its filter gone and its reading from the start; a second user meanwhile gets
    // its own.
    GdalDatasetPtr again = openVector(path);
    QCOMPARE(again.get(), kept);
    QCOMPARE(features(kept), 3);
    GdalDatasetPtr other = openVector(path);
    QVERIFY(other && other.get() != kept);
    other.reset();
    again.reset();
    // Written since: read as it now is.
    QVERIFY(write(5));
    QCOMPARE(features(openVector(path).get()), 5);
}

void TestAnalysis::givesTheSameResultsOnAnyNumberOfThreads_data()
{
    QTest::addColumn<Coverage>("coverage");
    QTest::newRow("centre") << Coverage::Centre;
    QTest::newRow("exact") << Coverage::Exact;
    QTest::newRow("touched") << Coverage::Touched;
}

void TestAnalysis::givesTheSameResultsOnAnyNumberOfThreads()
{
    QFETCH(Coverage, coverage);
    const Row row{"units", 3, {{"scen_a", 5}, {"scen_b", 7}}, "Meters"};
    QVector<QVector<OutputRow>> outputs;
    QVector<QVector<ImperviousAnalysis::PolygonResult>> results;
    QVector<QStringList> logs;
    for (int threads : {1, 3}) {
        const QString out = m_out->filePath(QStringLiteral("t%1.gpkg").arg(threads));
        // Many bands, polygons across their borders.
        QStringList log;
        const auto result = analyse(paramsFor(row, out), catalog(m_tiled.path()),
                                    {coverage, threads, {}, false, true}, 1, &log);
        QVERIFY2(result.ok, qPrintable(result.error));
        results << result.polygons;
        outputs << readOutput(out);
        logs << log.filter("has no CLASS line:");
    }
    QVERIFY(!logs[0].isEmpty());
    QCOMPARE(logs[1], logs[0]);
    for (int k = 0; k < results[0].size(); ++k) {
        const auto& a = results[0][k];
        const auto& b = results[1][k];
        QVERIFY(a.cells == b.cells && a.noData == b.noData && a.unknown == b.unknown);
        QVERIFY(std::memcmp(&a.lcArea, &b.lcArea, sizeof(double)) == 0 &&
                std::memcmp(&a.isArea, &b.isArea, sizeof(double)) == 0);
        QVERIFY(outputs[0][k].classAreas == outputs[1][k].classAreas);
        double sum = 0;
        for (const auto& [field, area] : outputs[0][k].classAreas)
            sum += area;
        QVERIFY2(
            std::abs(sum - a.lcArea) <= 1e-9 * a.lcArea,
            qPrintable(QStringLiteral("polygon %1: %2 against %3").arg(k).arg(sum).arg(a.lcArea)));
    }
    QVERIFY(results[0][0].lcArea > 0);
}

void TestAnalysis::handlesHugeRasters_data()
{
    // Rasters of one class value 0, cells of 1 x 1 map unit, a polygon of 3 x 3 cells far out.
    QTest::addColumn<QByteArray>("vrt"); // empty: a sparse GeoTIFF of one-row strips
    QTest::addColumn<qint64>("width");
    QTest::addColumn<qint64>("height");
    QTest::addColumn<qint64>("column");
    QTest::addColumn<qint64>("row");
    const qint64 maxInt = std::numeric_limits<int>::max();
    QTest::newRow("2^31 - 1 rows, polygon at the bottom")
        << QByteArray("Byte") << qint64(10) << maxInt << qint64(3) << maxInt - 5;
    QTest::newRow("2 * 10^9 columns, polygon beyond 10^9")
        << QByteArray("Int16") << qint64(2000000000) << qint64(10) << qint64(1500000000)
        << qint64(4);
    QTest::newRow("blocks of one row of 10^8 cells")
        << QByteArray() << qint64(100000000) << qint64(300) << qint64(50000000) << qint64(7);
}

void TestAnalysis::handlesHugeRasters()
{
    QFETCH(QByteArray, vrt);
    QFETCH(qint64, width);
    QFETCH(qint64, height);
    QFETCH(qint64, column);
    QFETCH(qint64, row);
    const QDir dir(m_out->path());
    DataCatalog data;
    if (vrt.isEmpty()) {
        const QString path = dir.filePath("lc.tif");
        char** options = CSLSetNameValue(nullptr, "SPARSE_OK", "TRUE");
        options = CSLSetNameValue(options, "BLOCKYSIZE", "1");
        GDALDataset* ds = GetGDALDriverManager()->GetDriverByName("GTiff")->Create(
            path.toUtf8().constData(), int(width), int(height), 1, GDT_Byte, options);
        CSLDestroy(options);
        QVERIFY(ds);
        double gt[6] = {0, 1, 0, double(height), 0, -1};
        ds->SetGeoTransform(gt);
        GDALClose(ds);
        data.grids << DataCatalog::GridTheme{"lc", {path, {}}, {}};
    } else {
        const QString path = dir.filePath("lc.vrt");
        QVERIFY(writeFile(path,
                          QStringLiteral("<VRTDataset rasterXSize=\"%1\" rasterYSize=\"%2\">"
                                         "<GeoTransform>0, 1, 0, %2, 0, -1</GeoTransform>"
                                         "<VRTRasterBand dataType=\"%3\" band=\"1\"/></VRTDataset>")
                              .arg(width)
                              .arg(height)
                              .arg(QString::fromLatin1(vrt))
                              .toUtf8()));
        data.grids << DataCatalog::GridTheme{"lc", {path, {}}, {}};
    }
    // Map y runs up from the raster's bottom edge; corners off the cell centres.
    const double x = double(column) + 0.2;
    const double y = double(height - row) - 0.2;
    const QString wkt = QStringLiteral("POLYGON((%1 %2,%3 %2,%3 %4,%1 %4,%1 %2))")
                            .arg(x, 0, 'f', 1)
                            .arg(y, 0, 'f', 1)
                            .arg(x + 3, 0, 'f', 1)
                            .arg(y - 3, 0, 'f', 1);
    QString error;
    QVERIFY2(writeLayer(dir.filePath("cells.shp"), {{wkt, 1, 0}}, Epsg, &error), qPrintable(error));
    data.polygons << DataCatalog::PolygonTheme{"cells", {dir.filePath("cells.shp"), {}}, {}};

    Row params;
    params.lc = "lc";
    params.theme = "cells";
    // A band of 300 rows of 10^8 cells would not fit.
    const auto result = analyse(
        paramsFor(params, dir.filePath("res")) + "CLASS#0#Bare#50#50#50\r\n", data, {}, 300);
    QVERIFY2(result.ok, qPrintable(result.error));
    QCOMPARE(result.polygons.size(), 1);
    QCOMPARE(result.polygons[0].cells, 9);
    QCOMPARE(result.polygons[0].isPct, 50.0);
}

QTEST_GUILESS_MAIN(TestAnalysis)
#include "tst_analysis.moc"
