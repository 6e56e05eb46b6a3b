// tarn-analyze's options of a run: what they parse to, the parameters and themes they make
// on the demo data, and the messages that name the user's files, layers and fields.
#include "analysis/analyzecli.h"
#include "analysis/imperviousanalysis.h"
#include "analysis/runrequest.h"
#include "catalog/gdalsupport.h"
#include "catalog/outputtarget.h"
#include "model/modelparams.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <ogrsf_frmts.h>

namespace {

const QString Demo = QStringLiteral(TARN_SOURCE_DIR "/examples/demo-data");
const QString Store = QStringLiteral(TARN_SOURCE_DIR "/etc/isprops.xml");

// The demo run, as the --help example says it, with the store of the source tree.
QStringList demoRun()
{
    return {"--land-cover",
            Demo + "/landcover_2016.tif",
            "--polygons",
            Demo + "/parcels.shp",
            "--field",
            "APN",
            "--set",
            "NLCD Land Cover",
            "--store",
            Store,
            "--coefficient",
            "medium",
            "--scenario",
            Demo + "/new_development.shp=24",
            "-o",
            "@TMP@/out.shp"};
}

// Replaces the value after option (or appends option and value).
QStringList with(QStringList args, const QString& option, const QString& value)
{
    const qsizetype at = args.indexOf(option);
    if (at >= 0) {
        args[at + 1] = value;
    } else {
        args << option << value;
    }
    return args;
}

QStringList without(QStringList args, const QString& option)
{
    const qsizetype at = args.indexOf(option);
    args.remove(at, 2);
    return args;
}

// A shapefile or GeoPackage layer of polygons in the demo's system, each with an ID.
bool writePolygons(const QString& path, const char* layerName, const QStringList& wkts)
{
    initGdal();
    GDALDriver* driver =
        GetGDALDriverManager()->GetDriverByName(path.endsWith(".gpkg") ? "GPKG" : "ESRI Shapefile");
    GdalDatasetPtr dataset(
        QFile::exists(path)
            ? static_cast<GDALDataset*>(
                  GDALOpenEx(path.toUtf8().constData(), GDAL_OF_UPDATE, nullptr, nullptr, nullptr))
            : driver->Create(path.toUtf8().constData(), 0, 0, 0, GDT_Unknown, nullptr));
    OGRSpatialReference srs;
    srs.importFromEPSG(26918);
    OGRLayer* layer = dataset ? dataset->CreateLayer(layerName, &srs, wkbPolygon) : nullptr;
    OGRFieldDefn id("ID", OFTInteger);
    if (!layer || layer->CreateField(&id) != OGRERR_NONE) {
        return false;
    }
    for (int i = 0; i < wkts.size(); ++i) {
        OGRFeature feature(layer->GetLayerDefn());
        feature.SetField(0, i + 1);
        OGRGeometry* geometry = nullptr;
        OGRGeometryFactory::createFromWkt(wkts[i].toUtf8().constData(), &srs, &geometry);
        feature.SetGeometryDirectly(geometry);
        if (layer->CreateFeature(&feature) != OGRERR_NONE) {
            return false;
        }
    }
    return true;
}

// A square of side metres whose lower left corner lies at the offset from the lower left
// corner of the demo raster's cell (column, row).
QString square(int column, int row, double dx, double dy, double side)
{
    const double x = 500010 + 30 * column + dx;
    const double y = 4401000 - 30 * (row + 1) + dy;
    return QStringLiteral("POLYGON((%1 %2,%3 %2,%3 %4,%1 %4,%1 %2))")
        .arg(x, 0, 'f', 3)
        .arg(y, 0, 'f', 3)
        .arg(x + side, 0, 'f', 3)
        .arg(y + side, 0, 'f', 3);
}

} // namespace

class TestCommandLine : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void splitsFilesFromLayersLabelsAndClasses_data();
    void splitsFilesFromLayersLabelsAndClasses();
    void tellsWhatTheOptionsMissOrMix_data();
    void tellsWhatTheOptionsMissOrMix();
    void preparesTheRunTheOptionsSay_data();
    void preparesTheRunTheOptionsSay();
    void givesWhatTheParameterFileGives();
    void polygonsBetweenCellCentresGetZeroAreas_data();
    void polygonsBetweenCellCentresGetZeroAreas();

private:
    QStringList resolved(const QStringList& args) const
    {
        QStringList out = args;
        out.replaceInStrings("@TMP@", m_tmp.path());
        return out;
    }

    QTemporaryDir m_tmp;
};

void TestCommandLine::initTestCase()
{
    QVERIFY(m_tmp.isValid());
    // Two layers of one GeoPackage, the first named as a demo shapefile is.
    QVERIFY(writePolygons(m_tmp.filePath("city.gpkg"), "parcels", {square(10, 10, 0, 0, 90)}));
    QVERIFY(writePolygons(m_tmp.filePath("city.gpkg"), "blocks", {square(20, 20, 0, 0, 90)}));
    QVERIFY(QFile(m_tmp.filePath("a:b")).open(QIODevice::WriteOnly));
    QFile coefficients(m_tmp.filePath("urban.csv"));
    QVERIFY(coefficients.open(QIODevice::WriteOnly));
    coefficients.write("Value,ClassName,High,Medium,Low\r\n21,Open,19,10,5\r\n24,High,100,90,"
                       "80\r\n");
    coefficients.close();
    QFile bad(m_tmp.filePath("bad.csv"));
    QVERIFY(bad.open(QIODevice::WriteOnly));
    bad.write("21,Open,19,10,500\r\n");
}

void TestCommandLine::splitsFilesFromLayersLabelsAndClasses_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("parts"); // file, then layer, label or class
    QTest::newRow("file alone") << "layer"
                                << "d/p.gpkg" << QStringList{"d/p.gpkg", ""};
    QTest::newRow("file and layer") << "layer"
                                    << "d/p.gpkg:lots" << QStringList{"d/p.gpkg", "lots"};
    QTest::newRow("a file whose name holds a colon") << "layer"
                                                     << "@TMP@/a:b" << QStringList{"@TMP@/a:b", ""};
    QTest::newRow("labelled land cover") << "land cover"
                                         << "lc2016=d/lc.tif" << QStringList{"d/lc.tif", "lc2016"};
    QTest::newRow("land cover alone") << "land cover"
                                      << "d/lc.tif" << QStringList{"d/lc.tif", ""};
    QTest::newRow("scenario layer and class")
        << "scenario"
        << "d/n.gpkg:dev=24" << QStringList{"d/n.gpkg", "dev", "24"};
    QTest::newRow("scenario class after the last equals sign")
        << "scenario"
        << "d/a=b.shp=High" << QStringList{"d/a=b.shp", "", "High"};
}

void TestCommandLine::splitsFilesFromLayersLabelsAndClasses()
{
    QFETCH(QString, kind);
    QFETCH(QString, text);
    QFETCH(QStringList, parts);
    text.replace("@TMP@", m_tmp.path());
    parts.replaceInStrings("@TMP@", m_tmp.path());
    QStringList got;
    if (kind == "layer") {
        const RunRequest::Layer layer = RunRequest::layerOf(text);
        got = QStringList{layer.file, layer.layer};
    } else if (kind == "land cover") {
        const RunRequest::LandCover lc = RunRequest::landCoverOf(text);
        got = QStringList{lc.file, lc.label};
    } else {
        const auto scenario = RunRequest::scenarioOf(text);
        QVERIFY(scenario);
        got = QStringList{scenario->polygons.file, scenario->polygons.layer, scenario->toClass};
    }
    QCOMPARE(got, parts);
}

void TestCommandLine::tellsWhatTheOptionsMissOrMix_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("problem"); // "usage": fits no usage at all
    const QStringList run = demoRun();
    QTest::newRow("parameter file and data folder") << QStringList{"p.txt", "--data", "d"} << "";
    QTest::newRow("the options of a run") << run << "";
    QTest::newRow("parameter file without themes") << QStringList{"p.txt"} << "usage";
    QTest::newRow("unknown coverage rule") << with(run, "--coverage", "most") << "usage";
    QTest::newRow("both forms") << with(run, "--data", "d")
                                << "--data says the run with a parameter file; the options of "
                                   "a run (such as --polygons) say it without one: give one of "
                                   "the two";
    QTest::newRow("a parameter file among the options")
        << QStringList{"p.txt"} + run
        << "p.txt: a parameter file goes with --data or --project, not with the options of a run";
    QTest::newRow("parts missing") << QStringList{"--polygons", "p.shp"}
                                   << "a run needs --land-cover, --field, --set or "
                                      "--coefficients, --output";
    QTest::newRow("set and coefficient file")
        << with(run, "--coefficients", "c.csv")
        << "--set and --coefficients both give the coefficients: give one";
    QTest::newRow("store without a set") << with(without(run, "--set"), "--coefficients", "c.csv")
                                         << "--store names the store of --set NAME; give --set too";
    QTest::newRow("coefficient and density")
        << with(run, "--thresholds", "5,30")
        << "--coefficient and the population density options exclude each other: give one";
    QTest::newRow("no coefficient") << without(run, "--coefficient")
                                    << "give --coefficient high, medium or low, or "
                                       "--density-layer, --density-field and --thresholds";
    QTest::newRow("unknown coefficient")
        << with(run, "--coefficient", "most") << "--coefficient most: give high, medium or low";
    QTest::newRow("density without its field and thresholds")
        << with(without(run, "--coefficient"), "--density-layer", "b.shp")
        << "a run by population density needs --density-field, --thresholds too";
    QTest::newRow("scenario without a class")
        << with(run, "--scenario", "n.shp")
        << "--scenario n.shp: give FILE=CLASS or FILE:LAYER=CLASS";
}

void TestCommandLine::tellsWhatTheOptionsMissOrMix()
{
    QFETCH(QStringList, args);
    QFETCH(QString, problem);
    const auto parsed = parseAnalyzeArguments(args);
    QCOMPARE(parsed ? parsed->problem : QStringLiteral("usage"), problem);
}

void TestCommandLine::preparesTheRunTheOptionsSay_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QStringList>("expected"); // lines of the parameter file, or the error
    QTest::addColumn<QString>("note");         // a note the run prints, or ""
    const QStringList run = demoRun();
    const QStringList density = with(
        with(with(without(run, "--coefficient"), "--density-layer", Demo + "/census_blocks.shp"),
             "--density-field", "POP_DENS"),
        "--thresholds", "5,30");
    const QString gpkg = "@TMP@/city.gpkg";

    QTest::newRow("the demo run") << run
                                  << QStringList{"LCTHEME#landcover_2016",
                                                 "LCUNITS#Meters",
                                                 "ANALYSISTHEME#parcels",
                                                 "ANALYSISUNIT#APN",
                                                 "POPDENSITY#1",
                                                 "OUTTHEME#@TMP@/out.shp",
                                                 "OUTTHEMENAME#out",
                                                 "DS#1#new_development#Developed High Intensity#24",
                                                 "CLASS#24#Developed High Intensity#100#90#80"}
                                  << "coefficients: set NLCD Land Cover of the coefficient store " +
                                         Store;
    QTest::newRow("labelled land cover, feet, density, scenario class by its name")
        << with(with(with(density, "--land-cover", "lc2016=" + Demo + "/landcover_2016.tif"),
                     "--units", "FEET"),
                "--scenario", Demo + "/new_development.shp=developed high intensity")
        << QStringList{"LCTHEME#lc2016",
                       "LCUNITS#Feet",
                       "POPDENSITY#3",
                       "POPDENSITYTHEME#census_blocks",
                       "POPDENSITYFLD#POP_DENS",
                       "POPDENSITYHIGH#30",
                       "POPDENSITYMED#30#5",
                       "POPDENSITYLOW#5",
                       "DS#1#new_development#Developed High Intensity#24"}
        << "";
    QTest::newRow("density from the analysis layer itself, one theme")
        << with(with(density, "--density-layer", Demo + "/parcels.shp"), "--density-field", "acres")
        << QStringList{"ANALYSISTHEME#parcels", "POPDENSITYTHEME#parcels", "POPDENSITYFLD#ACRES"}
        << "";
    QTest::newRow("coefficient text file")
        << with(without(without(run, "--set"), "--store"), "--coefficients", "@TMP@/urban.csv")
        << QStringList{"CLASS#21#Open#19#10#5", "CLASS#24#High#100#90#80",
                       "DS#1#new_development#High#24"}
        << "coefficients: @TMP@/urban.csv";
    QTest::newRow("the first of two layers, named like a shapefile read too")
        << with(with(run, "--polygons", gpkg), "--field", "ID")
        << QStringList{"ANALYSISTHEME#parcels", "ANALYSISUNIT#ID"}
        << gpkg + " has 2 polygon layers (parcels, blocks): parcels is read; --layer chooses "
                  "another";
    QTest::newRow("a layer by name, a scenario of the same name from another file")
        << with(with(with(with(run, "--polygons", gpkg), "--layer", "blocks"), "--field", "ID"),
                "--scenario", gpkg + ":parcels=21")
        << QStringList{"ANALYSISTHEME#blocks", "DS#1#parcels#Developed Open Space#21"} << "";
    QTest::newRow("two layers of one name")
        << with(with(run, "--polygons", gpkg), "--field", "ID") +
               QStringList{"--scenario", Demo + "/parcels.shp=21"}
        << QStringList{"ANALYSISTHEME#parcels", "DS#2#parcels (parcels.shp)#Developed Open "
                                                "Space#21"}
        << "";

    QTest::newRow("two land covers, the first the parameters' one")
        << with(run, "--land-cover", "y16=" + Demo + "/landcover_2016.tif") +
               QStringList{"--land-cover", "y21=" + Demo + "/landcover_2021.tif"}
        << QStringList{"LCTHEME#y16"} << "";

    const auto error = [](const QString& text) { return QStringList{"error: " + text}; };
    QTest::newRow("two land covers of one label")
        << run + QStringList{"--land-cover", "landcover_2016=" + Demo + "/landcover_2021.tif"}
        << error("--land-cover " + Demo +
                 "/landcover_2021.tif: the label landcover_2016 is given twice")
        << "";
    QTest::newRow("land cover file missing")
        << with(run, "--land-cover", Demo + "/none.tif")
        << error(Demo + "/none.tif not found (--land-cover)") << "";
    QTest::newRow("land cover not a class raster")
        << with(run, "--land-cover", Demo + "/parcels.shp")
        << error(Demo + "/parcels.shp (--land-cover): not readable as a raster") << "";
    QTest::newRow("identifier field missing")
        << with(run, "--field", "NOPE")
        << error(Demo + "/parcels.shp: no field NOPE; fields to choose from: PARCEL_ID, APN, "
                        "ZONING")
        << "";
    QTest::newRow("identifier field of real numbers")
        << with(run, "--field", "ACRES")
        << error(Demo + "/parcels.shp: field ACRES holds neither text nor whole numbers, so it "
                        "cannot identify the polygons")
        << "";
    QTest::newRow("density field of text")
        << with(density, "--density-field", "BLOCK_ID")
        << error(Demo + "/census_blocks.shp: field BLOCK_ID holds text, not numbers of "
                        "population density")
        << "";
    QTest::newRow("layer missing")
        << with(with(run, "--polygons", gpkg), "--layer", "roads")
        << error(gpkg + " has no polygon layer roads (--polygons); its polygon layers: parcels, "
                        "blocks")
        << "";
    QTest::newRow("scenario file missing") << with(run, "--scenario", Demo + "/old.shp=24")
                                           << error(Demo + "/old.shp not found (--scenario)") << "";
    QTest::newRow("set missing") << with(run, "--set", "Nope")
                                 << error("No coefficient set named 'Nope' in " + Store +
                                          "; its sets: NLCD Land Cover, TR-55 Urban Districts")
                                 << "";
    QTest::newRow("coefficient file with a bad coefficient")
        << with(without(without(run, "--set"), "--store"), "--coefficients", "@TMP@/bad.csv")
        << error("Invalid coefficient in import file @TMP@/bad.csv. Coefficients must be "
                 "between 0-100 (inclusive). Expecting an ascii comma-separated file containing "
                 "rows with the following columns 'Value,ClassName,High,Medium,Low'. All fields "
                 "must be numeric except 'ClassName'. (line 1: Low \"500\" is not from 0 to 100)")
        << "";
    QTest::newRow("thresholds the wrong way round")
        << with(density, "--thresholds", "30,5")
        << error("--thresholds 30,5: the low threshold is above the high one") << "";
    QTest::newRow("thresholds not two numbers")
        << with(density, "--thresholds", "5;30")
        << error("--thresholds 5;30: give two numbers, LOW,HIGH (for example 5,30)") << "";
    QTest::newRow("scenario class not in the coefficients")
        << with(run, "--scenario", Demo + "/new_development.shp=Moon")
        << error("--scenario " + Demo +
                 "/new_development.shp=Moon: the coefficients have no class Moon; give its "
                 "value or its name")
        << "";
    QTest::newRow("units unknown")
        << with(run, "--units", "yards") << error("--units yards: give meters or feet") << "";
}

void TestCommandLine::preparesTheRunTheOptionsSay()
{
    QFETCH(QStringList, args);
    QFETCH(QStringList, expected);
    QFETCH(QString, note);
    expected.replaceInStrings("@TMP@", m_tmp.path());
    const auto parsed = parseAnalyzeArguments(resolved(args));
    QVERIFY(parsed);
    QCOMPARE(parsed->problem, QString());
    QString error;
    const auto run = prepareRun(parsed->request, &error);
    if (expected.constFirst().startsWith("error: ")) {
        QVERIFY(!run);
        QCOMPARE(error, expected.constFirst().mid(7));
        return;
    }
    QVERIFY2(run, qPrintable(error));
    const QStringList lines = QString::fromUtf8(run->params.toBytes()).split("\r\n");
    for (const QString& line : expected) {
        QVERIFY2(lines.contains(line), qPrintable(line + " not in\n" + lines.join('\n')));
    }
    // What is written reads back as the same run.
    QString problem;
    const auto back = ModelParams::parse(run->params.toBytes(), &problem);
    QVERIFY2(back, qPrintable(problem));
    QCOMPARE(*back, run->params);
    if (!note.isEmpty()) {
        note.replace("@TMP@", m_tmp.path());
        QVERIFY2(run->notes.join('\n').contains(note), qPrintable(run->notes.join('\n')));
    }
}

void TestCommandLine::givesWhatTheParameterFileGives()
{
    QString error;
    const auto params =
        ModelParams::load(QStringLiteral(TARN_SOURCE_DIR "/examples/demo-params.txt"), &error);
    const auto catalog = DataCatalog::scanFolder(Demo, &error);
    QVERIFY2(params && catalog, qPrintable(error));
    const auto parsed = parseAnalyzeArguments(resolved(demoRun()));
    QVERIFY(parsed);
    const auto run = prepareRun(parsed->request, &error);
    QVERIFY2(run, qPrintable(error));
    ModelParams fromFile = *params;
    ModelParams described = run->params;
    fromFile.outTheme = m_tmp.filePath("fromfile.gpkg");
    described.outTheme = m_tmp.filePath("described.gpkg");
    const auto expected = ImperviousAnalysis(fromFile, *catalog).run();
    const auto got = ImperviousAnalysis(described, run->catalog).run();
    QVERIFY2(expected.ok && got.ok, qPrintable(expected.error + got.error));
    QCOMPARE(got.polygons.size(), 48);
    for (int k = 0; k < got.polygons.size(); ++k) {
        QCOMPARE(got.polygons[k].lcArea, expected.polygons[k].lcArea);
        QCOMPARE(got.polygons[k].isArea, expected.polygons[k].isArea);
    }
}

void TestCommandLine::polygonsBetweenCellCentresGetZeroAreas_data()
{
    QTest::addColumn<QString>("coverage");
    QTest::addColumn<QStringList>("polygons");
    QTest::addColumn<QString>("expected"); // the polygons' LC_AREA, or the error
    QTest::addColumn<bool>("noCell");      // told so
    // Squares of 6 m in cells of 30 m, away from the centres.
    const QStringList tiny{square(10, 10, 2, 20, 6), square(40, 30, 20, 2, 6)};
    QTest::newRow("centre rule: zero areas") << "centre" << tiny << "0 0" << true;
    // Shares of cells count as cells rounded; the command line tells only under the centre rule.
    QTest::newRow("exact rule: their areas") << "exact" << tiny << "36 36" << true;
    QTest::newRow("one takes a cell")
        << "centre" << QStringList{square(10, 10, 2, 20, 6), square(40, 40, 20, 2, 30)} << "0 900"
        << false;
    QTest::newRow("off the raster") << "centre" << QStringList{square(-10, -10, 0, 0, 6)}
                                    << "The polygons of theme tiny do not overlap the land "
                                       "cover raster"
                                    << false;
}

void TestCommandLine::polygonsBetweenCellCentresGetZeroAreas()
{
    QFETCH(QString, coverage);
    QFETCH(QStringList, polygons);
    QFETCH(QString, expected);
    QFETCH(bool, noCell);
    const QString path = m_tmp.filePath("tiny.shp");
    for (const QString& part : shapefileParts(path)) {
        QFile::remove(part);
    }
    QVERIFY(writePolygons(path, "tiny", polygons));
    const auto parsed = parseAnalyzeArguments(resolved(
        with(with(with(demoRun(), "--polygons", path), "--field", "ID"), "--coverage", coverage)));
    QString error;
    const auto run = prepareRun(parsed->request, &error);
    QVERIFY2(run, qPrintable(error));
    ImperviousAnalysis analysis(run->params, run->catalog);
    ImperviousAnalysis::Options options = parsed->options;
    QVERIFY(!options.polygonResults); // the command line has its output
    options.polygonResults = true;
    analysis.setOptions(options);
    const auto result = analysis.run();
    QCOMPARE(result.noCellTaken, noCell);
    QStringList areas;
    for (const PolygonResult& polygon : result.polygons) {
        areas << QString::number(polygon.lcArea, 'g', 9);
    }
    QCOMPARE(result.ok ? areas.join(' ') : result.error, expected);
}

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
