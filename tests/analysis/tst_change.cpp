// Change runs of several land covers against single runs of each, on the demo data.
#include "analysis/analyzecli.h"
#include "analysis/imperviousanalysis.h"
#include "analysis/outputplan.h"
#include "catalog/datacatalog.h"
#include "model/modelparams.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <gdal_priv.h>
#include <gdal_utils.h>

#include <cmath>

namespace {

const QString demo = QStringLiteral(TARN_SOURCE_DIR "/examples/demo-data");

// Every feature's fields as the output holds them, as text.
using Table = QVector<QMap<QString, QString>>;

Table readTable(const QString& path)
{
    Table table;
    GDALDataset* ds = GDALDataset::Open(path.toUtf8().constData(), GDAL_OF_VECTOR);
    if (!ds)
        return table;
    OGRLayer* layer = ds->GetLayer(0);
    while (OGRFeature* f = layer->GetNextFeature()) {
        QMap<QString, QString> row;
        for (int i = 0; i < f->GetFieldCount(); ++i)
            row[QString::fromUtf8(f->GetFieldDefnRef(i)->GetNameRef())] =
                QString::fromUtf8(f->GetFieldAsString(i));
        table << row;
        OGRFeature::DestroyFeature(f);
    }
    GDALClose(ds);
    return table;
}

QStringList fieldNames(const QString& path)
{
    QStringList names;
    GDALDataset* ds = GDALDataset::Open(path.toUtf8().constData(), GDAL_OF_VECTOR);
    OGRFeatureDefn* defn = ds ? ds->GetLayer(0)->GetLayerDefn() : nullptr;
    for (int i = 0; defn && i < defn->GetFieldCount(); ++i)
        names << QString::fromUtf8(defn->GetFieldDefn(i)->GetNameRef());
    GDALClose(ds);
    return names;
}

// The demo's parameters: Medium coefficients, or by density with the planned development.
QByteArray params(const QString& landCover, bool density, const QString& out)
{
    QFile file(QStringLiteral(TARN_SOURCE_DIR "/examples/demo-params.txt"));
    if (!file.open(QIODevice::ReadOnly))
        qFatal("no demo parameters");
    QByteArray text;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (line.startsWith("LCTHEME#"))
            text += "LCTHEME#" + landCover.toUtf8() + "\r\n";
        else if (line.startsWith("OUTTHEME#"))
            text += "OUTTHEME#" + out.toUtf8() + "\r\n";
        else if (line.startsWith("POPDENSITY#") && density)
            text += "POPDENSITY#3\r\nPOPDENSITYTHEME#census_blocks\r\nPOPDENSITYFLD#POP_DENS\r\n"
                    "POPDENSITYHIGH#40\r\nPOPDENSITYMED#40#10\r\nPOPDENSITYLOW#10\r\n";
        else if (!line.startsWith("DS#") || density)
            text += line + "\n";
    }
    return text;
}

bool writeParams(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

ImperviousAnalysis::Result analyse(const QByteArray& bytes, const DataCatalog& data,
                                   const ImperviousAnalysis::Options& options,
                                   const QVector<ImperviousAnalysis::LandCover>& landCovers = {})
{
    QString error;
    const auto parsed = ModelParams::parse(bytes, &error);
    if (!parsed)
        qFatal("test parameters do not parse: %s", qPrintable(error));
    ImperviousAnalysis analysis(*parsed, data);
    analysis.setOptions(options);
    analysis.setLandCovers(landCovers);
    analysis.setWatershedClasses(true);
    analysis.setMinimumBandHeight(1); // polygons across band borders
    return analysis.run();
}

} // namespace

Q_DECLARE_METATYPE(Coverage)

class TestChange : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void secondDemoYearIsTheScenarioBuilt();
    void changeRunEqualsSingleRuns_data();
    void changeRunEqualsSingleRuns();
    void commandLineRunsAChange_data();
    void commandLineRunsAChange();
    void refusesWhatAChangeRunCannotWrite_data();
    void refusesWhatAChangeRunCannotWrite();
    void classifiesByTheImperviousCoverModel_data();
    void classifiesByTheImperviousCoverModel();

private:
    QTemporaryDir m_dir;
    DataCatalog m_data;
};

void TestChange::initTestCase()
{
    GDALAllRegister();
    QVERIFY(m_dir.isValid());
    for (const QString& name : QDir(demo).entryList(QDir::Files))
        QVERIFY(QFile::copy(demo + "/" + name, m_dir.filePath(name)));
    // The second year in the national land cover's system, on a grid of other cells.
    GDALDatasetH source = GDALOpen(qPrintable(m_dir.filePath("landcover_2021.tif")), GA_ReadOnly);
    const char* args[] = {"-t_srs", "EPSG:5070", "-tr", "25", "25", "-r", "near", nullptr};
    GDALWarpAppOptions* options = GDALWarpAppOptionsNew(const_cast<char**>(args), nullptr);
    GDALDatasetH warped = GDALWarp(qPrintable(m_dir.filePath("lc2021_albers.tif")), nullptr, 1,
                                   &source, options, nullptr);
    QVERIFY(warped);
    GDALClose(warped);
    GDALWarpAppOptionsFree(options);
    GDALClose(source);
    QString error;
    const auto data = DataCatalog::scanFolder(m_dir.path(), &error);
    QVERIFY2(data, qPrintable(error));
    m_data = *data;
}

// The demo's 2021 grid is the 2016 grid after the parameters' scenario.
void TestChange::secondDemoYearIsTheScenarioBuilt()
{
    const QString planned = m_dir.filePath("planned.shp");
    const QString built = m_dir.filePath("built.shp");
    QFile file(QStringLiteral(TARN_SOURCE_DIR "/examples/demo-params.txt"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray demoParams = file.readAll();
    QVERIFY(demoParams.contains("\nDS#"));
    QByteArray withScenario = demoParams;
    withScenario.replace("../build/demo-work/parcels_is.shp", planned.toUtf8());
    const auto a = analyse(withScenario, m_data, {});
    QVERIFY2(a.ok, qPrintable(a.error));
    const auto b = analyse(params("landcover_2021", false, built), m_data, {});
    QVERIFY2(b.ok, qPrintable(b.error));
    const Table expected = readTable(planned);
    QCOMPARE(readTable(built), expected);
    double change = 0;
    for (int k = 0; k < a.polygons.size(); ++k)
        change += a.polygons[k].isArea;
    QVERIFY(change > 0);
}

void TestChange::changeRunEqualsSingleRuns_data()
{
    QTest::addColumn<Coverage>("coverage");
    QTest::addColumn<QStringList>("themes");
    QTest::addColumn<bool>("density");
    const QStringList sameGrid{"landcover_2016", "landcover_2021"};
    const QStringList otherGrid{"landcover_2016", "landcover_2021", "lc2021_albers"};
    QTest::newRow("centre, one grid") << Coverage::Centre << sameGrid << false;
    QTest::newRow("exact, one grid") << Coverage::Exact << sameGrid << false;
    QTest::newRow("touched, one grid") << Coverage::Touched << sameGrid << false;
    QTest::newRow("centre, another system, density and scenario")
        << Coverage::Centre << otherGrid << true;
    QTest::newRow("exact, another system, density and scenario")
        << Coverage::Exact << otherGrid << true;
    QTest::newRow("touched, another system, density and scenario")
        << Coverage::Touched << otherGrid << true;
}

void TestChange::changeRunEqualsSingleRuns()
{
    QFETCH(Coverage, coverage);
    QFETCH(QStringList, themes);
    QFETCH(bool, density);
    ImperviousAnalysis::Options options;
    options.coverage = coverage;
    options.threads = 2;
    QVector<Table> singles;
    for (int k = 0; k < themes.size(); ++k) {
        const QString out = m_dir.filePath(QStringLiteral("single%1.shp").arg(k));
        const auto result = analyse(params(themes[k], density, out), m_data, options);
        QVERIFY2(result.ok, qPrintable(result.error));
        singles << readTable(out);
    }
    const QStringList labels = QStringList{"Y2016", "y2021", "again"}.mid(0, themes.size());
    QVector<ImperviousAnalysis::LandCover> landCovers;
    for (int k = 0; k < themes.size(); ++k)
        landCovers.push_back({labels[k], themes[k]});
    const QString out = m_dir.filePath("change.shp");
    const auto result = analyse(params("unused", density, out), m_data, options, landCovers);
    QVERIFY2(result.ok, qPrintable(result.error));
    QCOMPARE(result.landCovers.size(), themes.size());

    QStringList expectedNames{"APN"};
    const QStringList singleFields{"LC_AREA",   "IS_AREA", "IS_PCT",
                                   "NODATA_CT", "UNK_CT",  "ICM_CLASS"};
    const QStringList prefixes{"LCA_", "ISA_", "ISP_", "NOD_", "UNK_", "ICM_"};
    for (const QString& label : labels)
        for (const QString& prefix : prefixes)
            expectedNames << prefix + label;
    expectedNames << "IS_CHG"
                  << "IS_CHG_PCT";
    QCOMPARE(fieldNames(out), expectedNames);

    const Table change = readTable(out);
    QCOMPARE(change.size(), singles[0].size());
    int changed = 0;
    for (int i = 0; i < change.size(); ++i) {
        const auto& row = change[i];
        QCOMPARE(row["APN"], singles[0][i]["APN"]);
        for (int k = 0; k < themes.size(); ++k)
            for (int f = 0; f < singleFields.size(); ++f)
                QCOMPARE(row[prefixes[f] + labels[k]], singles[k][i][singleFields[f]]);
        for (const QString& label : labels)
            QCOMPARE(row["ICM_" + label].toInt(),
                     OutputPlan::watershedClass(row["ISP_" + label].toDouble(),
                                                row["LCA_" + label].toDouble()));
        const QString first = labels.first();
        const QString last = labels.last();
        // The difference of the written values, to a unit of the last place: areas keep one
        // decimal, percentages six.
        const double isChange = row["ISA_" + last].toDouble() - row["ISA_" + first].toDouble();
        const double pctChange = row["ISP_" + last].toDouble() - row["ISP_" + first].toDouble();
        QVERIFY2(std::abs(row["IS_CHG"].toDouble() - isChange) <= 0.101,
                 qPrintable(QStringLiteral("polygon %1: %2").arg(i).arg(row["IS_CHG"])));
        QVERIFY(std::abs(row["IS_CHG_PCT"].toDouble() - pctChange) <= 1.01e-6);
        changed += row["IS_CHG"].toDouble() != 0;
    }
    // The planned development changes some parcels, not all.
    if (!density) {
        QVERIFY(changed > 0 && changed < change.size());
    }
}

// Both forms of the command line give the change run of the analysis itself.
void TestChange::commandLineRunsAChange_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");
    const QString lc16 = m_dir.filePath("landcover_2016.tif");
    const QString lc21 = m_dir.filePath("landcover_2021.tif");
    const QStringList params{m_dir.filePath("params.txt"), "--data", m_dir.path()};
    const QStringList years{"--land-cover", "2016=" + lc16, "--land-cover", "2021=" + lc21};
    const QStringList tooLong{"--land-cover", "2016=" + lc16, "--land-cover", "Y2021ab=" + lc21};
    const QStringList options{"--polygons",
                              m_dir.filePath("parcels.shp"),
                              "--field",
                              "APN",
                              "--set",
                              "NLCD Land Cover",
                              "--store",
                              TARN_SOURCE_DIR "/etc/isprops.xml",
                              "--coefficient",
                              "medium",
                              "-o",
                              m_dir.filePath("cli.shp")};
    QTest::newRow("options") << years + options + QStringList{"--icm"} << 0;
    QTest::newRow("parameter file") << params + years + QStringList{"--icm"} << 0;
    QTest::newRow("check of a parameter file's change")
        << params + years + QStringList{"--check"} << 0;
    QTest::newRow("check of a label too long") << params + tooLong + QStringList{"--check"} << 1;
    QTest::newRow("check of options, a label too long")
        << tooLong + options + QStringList{"--check"} << 1;
    QTest::newRow("parameter file, one land cover")
        << params + QStringList{"--land-cover", "2016=" + lc16} << 2;
    QTest::newRow("parameter file, a land cover without label")
        << params + QStringList{"--land-cover", "2016=" + lc16, "--land-cover", lc21} << 2;
}

void TestChange::commandLineRunsAChange()
{
    QFETCH(QStringList, args);
    QFETCH(int, status);
    const QString out = m_dir.filePath("cli.shp");
    QFile::remove(out);
    QVERIFY(writeParams(m_dir.filePath("params.txt"), params("landcover_2016", false, out)));
    QCOMPARE(runAnalyzeCli(args), status);
    if (status != 0 || args.contains("--check")) {
        QVERIFY(!QFile::exists(out));
        return;
    }
    const QString expected = m_dir.filePath("api.shp");
    const auto result = analyse(params("landcover_2016", false, expected), m_data, {},
                                {{"2016", "landcover_2016"}, {"2021", "landcover_2021"}});
    QVERIFY2(result.ok, qPrintable(result.error));
    QCOMPARE(readTable(out), readTable(expected));
}

void TestChange::refusesWhatAChangeRunCannotWrite_data()
{
    QTest::addColumn<QStringList>("labels");
    QTest::addColumn<bool>("classAreas");
    QTest::addColumn<QString>("message");
    QTest::newRow("label too long for a shapefile's field names")
        << QStringList{"2016", "Y2021ab"} << false
        << "Land cover label \"Y2021ab\" cannot name output fields: a label has 1 to 6 letters, "
           "digits or underscores";
    QTest::newRow("label with a character no field name takes")
        << QStringList{"2016", "20-21"} << false
        << "Land cover label \"20-21\" cannot name output fields";
    QTest::newRow("empty label") << QStringList{"", "2021"} << false
                                 << "Land cover label \"\" cannot name output fields";
    QTest::newRow("labels alike but for letter case")
        << QStringList{"Y2016", "y2016"} << false
        << "Land cover label \"y2016\" is given twice (letter case aside)";
    QTest::newRow("class areas") << QStringList{"2016", "2021"} << true
                                 << "Class areas are written for one land cover only, not in a "
                                    "change run";
}

void TestChange::refusesWhatAChangeRunCannotWrite()
{
    QFETCH(QStringList, labels);
    QFETCH(bool, classAreas);
    QFETCH(QString, message);
    ImperviousAnalysis::Options options;
    options.classAreas = classAreas;
    const QString out = m_dir.filePath("refused.shp");
    const auto result = analyse(params("landcover_2016", false, out), m_data, options,
                                {{labels[0], "landcover_2016"}, {labels[1], "landcover_2021"}});
    QVERIFY(!result.ok);
    QVERIFY2(result.error.startsWith(message), qPrintable(result.error));
    QVERIFY(!QFile::exists(out));
}

void TestChange::classifiesByTheImperviousCoverModel_data()
{
    QTest::addColumn<double>("isPct");
    QTest::addColumn<double>("lcArea");
    QTest::addColumn<int>("expected");
    QTest::newRow("no land cover") << 0.0 << 0.0 << 0;
    QTest::newRow("none impervious") << 0.0 << 900.0 << 1;
    QTest::newRow("10 % is sensitive") << 10.0 << 900.0 << 1;
    QTest::newRow("a tenth computed a hair above 10") << 10.0000000001 << 900.0 << 1;
    QTest::newRow("10.000001 % is impacted") << 10.000001 << 900.0 << 2;
    QTest::newRow("25 % is impacted") << 25.0 << 900.0 << 2;
    QTest::newRow("25.000001 % is non-supporting") << 25.000001 << 900.0 << 3;
    QTest::newRow("60 % is non-supporting") << 60.0 << 900.0 << 3;
    QTest::newRow("60.000001 % drains like a city") << 60.000001 << 900.0 << 4;
    QTest::newRow("100 %") << 100.0 << 900.0 << 4;
}

void TestChange::classifiesByTheImperviousCoverModel()
{
    QFETCH(double, isPct);
    QFETCH(double, lcArea);
    QFETCH(int, expected);
    QCOMPARE(OutputPlan::watershedClass(isPct, lcArea), expected);
}

QTEST_GUILESS_MAIN(TestChange)
#include "tst_change.moc"
