#include "modelparamsfile.h"

#include <QTemporaryDir>
#include <QTest>

namespace {

// As the launcher writes it with Calculate, two scenarios and two sets of one name.
const QByteArray calculate = "VIEW#View1\r\n"
                             "LCTHEME#landcover_2016\r\n"
                             "LCUNITS#Feet\r\n"
                             "ANALYSISTHEME#parcels\r\n"
                             "ANALYSISUNIT#APN\r\n"
                             "POPDENSITY#3\r\n"
                             "POPDENSITYTHEME#census_blocks\r\n"
                             "POPDENSITYFLD#POP_DENS\r\n"
                             "POPDENSITYHIGH#30\r\n"
                             "POPDENSITYMED#30#5.5\r\n"
                             "POPDENSITYLOW#5.5\r\n"
                             "OUTTHEME#/data/out/parcels#2.shp\r\n"
                             "OUTTHEMENAME#\r\n"
                             "DS#1#new_development#Developed, High#24\r\n"
                             "DS#3#scen#Class #7 of #9#-7\r\n"
                             "CLASS#41#Forest#80#62.5#0\r\n"
                             "CLASS#-3#Water # deep#1#1E-05#1\r\n"
                             "CLASS#41#Forest again#1#1#1\r\n";

QByteArray replaced(const QByteArray& from, const QByteArray& to)
{
    QByteArray bytes = calculate;
    const qsizetype at = bytes.indexOf(from);
    if (at < 0)
        qFatal("test text not found: %s", from.constData());
    return bytes.replace(at, from.size(), to);
}

} // namespace

class TestModelParamsFile : public QObject {
    Q_OBJECT
private slots:
    void readsEveryLineOfTheLaunchersFile();
    void refusesBadFiles_data();
    void refusesBadFiles();
    void namesTheFileWhenLoadingAndPlacesBareOutputBesideIt();
};

void TestModelParamsFile::readsEveryLineOfTheLaunchersFile()
{
    QString error;
    const auto p = ModelParamsFile::parse(calculate, &error);
    QVERIFY2(p, qPrintable(error));
    QCOMPARE(p->lcUnits, ModelParamsFile::Units::Feet);
    QCOMPARE(p->popDensity, int(ModelParamsFile::Calculate));
    QCOMPARE(p->popDensityField, QStringLiteral("POP_DENS"));
    QCOMPARE(p->popDensityLow, 5.5);
    // Single values run to the line's end, "#" included; nothing is escaped.
    QCOMPARE(p->outTheme, QStringLiteral("/data/out/parcels#2.shp"));
    QCOMPARE(p->outThemeName, QString());
    QCOMPARE(p->scenarios.size(), 2);
    QCOMPARE(p->scenarios[1].number, 3);
    QCOMPARE(p->scenarios[1].className, QStringLiteral("Class #7 of #9"));
    QCOMPARE(p->scenarios[1].classId, -7);
    // Every CLASS line is kept; the analysis takes the first of one value.
    QCOMPARE(p->classes.size(), 3);
    QCOMPARE(p->classes[1].name, QStringLiteral("Water # deep"));
    QCOMPARE(p->classes[1].medium, 1e-05f);

    // Line feeds alone, lower-case units, fixed coefficients and no scenario.
    const auto low = ModelParamsFile::parse(
        "VIEW#V\nLCTHEME#lc\nLCUNITS#meters\nANALYSISTHEME#p\nANALYSISUNIT#ID\nPOPDENSITY#2\n"
        "OUTTHEME#o.shp\nOUTTHEMENAME#o\nCLASS#1#A#3#2#1\n",
        &error);
    QVERIFY2(low, qPrintable(error));
    QCOMPARE(low->lcUnits, ModelParamsFile::Units::Meters);
    QCOMPARE(low->popDensity, int(ModelParamsFile::Low));
    QVERIFY(low->scenarios.isEmpty());
}

void TestModelParamsFile::refusesBadFiles_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("error");
    QTest::newRow("key missing") << replaced("LCTHEME#landcover_2016\r\n", "")
                                 << "LCTHEME is missing";
    QTest::newRow("key twice") << replaced("VIEW#View1\r\n", "VIEW#View1\r\nVIEW#View2\r\n")
                               << "line 2: VIEW appears twice";
    QTest::newRow("unknown key") << replaced("OUTTHEMENAME#", "OUTNAME#")
                                 << "line 13: unknown key OUTNAME";
    QTest::newRow("line without key")
        << replaced("LCUNITS#Feet", "LCUNITS Feet") << "line 3: no key (a key ends in \"#\")";
    QTest::newRow("units") << replaced("LCUNITS#Feet", "LCUNITS#Yards")
                           << "line 3: LCUNITS must be Meters or Feet";
    QTest::newRow("empty theme") << replaced("ANALYSISTHEME#parcels", "ANALYSISTHEME#")
                                 << "line 4: ANALYSISTHEME is empty";
    QTest::newRow("option not a whole number")
        << replaced("POPDENSITY#3", "POPDENSITY#3.0") << "line 6: POPDENSITY must be 0, 1, 2 or 3";
    QTest::newRow("threshold not a number") << replaced("POPDENSITYHIGH#30", "POPDENSITYHIGH#3O")
                                            << "line 9: POPDENSITYHIGH is not a number";
    QTest::newRow("threshold in locale form") << replaced("POPDENSITYLOW#5.5", "POPDENSITYLOW#5,5")
                                              << "line 11: POPDENSITYLOW is not a number";
    QTest::newRow("one medium part") << replaced("POPDENSITYMED#30#5.5", "POPDENSITYMED#30")
                                     << "line 10: POPDENSITYMED must be two numbers";
    QTest::newRow("low above high") << replaced("POPDENSITYLOW#5.5", "POPDENSITYLOW#31")
                                    << "line 11: POPDENSITYLOW 31 is above POPDENSITYHIGH 30";
    QTest::newRow("density key missing") << replaced("POPDENSITYFLD#POP_DENS\r\n", "")
                                         << "POPDENSITYFLD is missing (POPDENSITY is 3)";
    QTest::newRow("density key without Calculate")
        << replaced("POPDENSITY#3", "POPDENSITY#0")
        << "POPDENSITYTHEME is given but POPDENSITY is not 3";
    QTest::newRow("scenario short")
        << replaced("DS#1#new_development#Developed, High#24", "DS#1#new_development#24")
        << "line 14: DS needs number, theme, class name and class value";
    QTest::newRow("scenario number")
        << replaced("DS#1#", "DS#0#") << "line 14: DS number must be a whole number from 1";
    QTest::newRow("scenario class value")
        << replaced("High#24", "High#24.5") << "line 14: DS class value must be a whole number";
    QTest::newRow("class value beyond 32 bits")
        << replaced("CLASS#41#Forest#80", "CLASS#2147483648#Forest#80")
        << "line 16: CLASS value must be a whole number";
    QTest::newRow("class short") << replaced("#80#62.5#0\r\n", "#80#62.5\r\n")
                                 << "line 16: CLASS needs value, name, High, Medium and Low";
    QTest::newRow("coefficient not a number") << replaced("#80#62.5#0\r\n", "#80#nan#0\r\n")
                                              << "line 16: CLASS 41: a coefficient is not a number";
    QTest::newRow("coefficient above 100")
        << replaced("#80#62.5#0\r\n", "#80#3e38#0\r\n")
        << "line 16: CLASS 41: a coefficient is outside 0 to 100";
    QTest::newRow("coefficient below 0") << replaced("#1#1E-05#1\r\n", "#1#-0.5#1\r\n")
                                         << "line 17: CLASS -3: a coefficient is outside 0 to 100";
    QTest::newRow("NUL in the output") << replaced("parcels#2.shp", QByteArray("res\0evil", 8))
                                       << "line 12: OUTTHEME holds a control character";
    QTest::newRow("tab in a class name")
        << replaced("Forest again", "Forest\tagain") << "line 18: CLASS holds a control character";
    QTest::newRow("escape in a theme")
        << replaced("new_development", "new\x1b[2Jdev") << "line 14: DS holds a control character";
    QTest::newRow("no class") << calculate.left(calculate.indexOf("CLASS#")) << "no CLASS line";
}

void TestModelParamsFile::refusesBadFiles()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, error);
    QString actual;
    QVERIFY(!ModelParamsFile::parse(bytes, &actual));
    QCOMPARE(actual, error);
}

void TestModelParamsFile::namesTheFileWhenLoadingAndPlacesBareOutputBesideIt()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("model_params.txt");
    QString error;
    QVERIFY(!ModelParamsFile::load(path, &error));
    QCOMPARE(error, "Parameter file not found: " + path);

    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(replaced("POPDENSITY#3", "POPDENSITY#9"));
    file.close();
    QVERIFY(!ModelParamsFile::load(path, &error));
    QCOMPARE(error, QStringLiteral("model_params.txt: line 6: POPDENSITY must be 0, 1, 2 or 3"));

    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(replaced("OUTTHEME#/data/out/parcels#2.shp", "OUTTHEME#parcels_is.shp"));
    file.close();
    const auto params = ModelParamsFile::load(path, &error);
    QVERIFY2(params, qPrintable(error));
    QCOMPARE(params->outTheme, dir.filePath("parcels_is.shp"));
}

QTEST_GUILESS_MAIN(TestModelParamsFile)
#include "tst_modelparamsfile.moc"
