#include "model/modelparams.h"
#include "tests/support/testfiles.h"

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
    if (at < 0) {
        qFatal("test text not found: %s", from.constData());
    }
    return bytes.replace(at, from.size(), to);
}

} // namespace

class TestModelParams : public QObject {
    Q_OBJECT
private slots:
    // From the fields to the file and back; the launcher's own bytes are the next test's.
    void roundTrip()
    {
        ModelParams p;
        p.view = QStringLiteral("View1");
        p.lcTheme = QStringLiteral("landcover");
        p.lcUnits = ModelParams::Units::Feet;
        p.analysisTheme = QStringLiteral("parcels");
        p.analysisUnit = QStringLiteral("APN");
        p.popDensity = ModelParams::Calculate;
        p.popDensityTheme = QStringLiteral("census_blocks");
        p.popDensityField = QStringLiteral("POP_DENS");
        p.popDensityHighText = p.popDensityMedText[0] = QStringLiteral("1000.5");
        p.popDensityHigh = 1000.5;
        p.popDensityLowText = p.popDensityMedText[1] = QStringLiteral("250");
        p.popDensityLow = 250;
        // Single values run to the line's end, "#" included; class names may hold "#" too.
        p.outTheme = QStringLiteral("/data/out/parcels#2.shp");
        p.scenarios = {{2, QStringLiteral("water"), QStringLiteral("Class #7 of #9"), -7}};
        p.classes = {{21, QStringLiteral("Developed, Low"), 12.5f, 7.5f, 2},
                     {-3, QStringLiteral("Water # deep"), 1, 1e-05f, 1},
                     {21, QStringLiteral("Developed again"), 33.33333f, 0, 100}};
        const QByteArray bytes = p.toBytes();
        QString error;
        const auto read = ModelParams::parse(bytes, &error);
        QVERIFY2(read, qPrintable(error));
        QVERIFY2(*read == p, bytes.constData());
        QCOMPARE(read->toBytes(), bytes);
    }

    void keepsTheLaunchersBytesAndReadsLenientForms()
    {
        QString error;
        const auto p = ModelParams::parse(calculate, &error);
        QVERIFY2(p, qPrintable(error));
        QCOMPARE(p->toBytes(), calculate);
        // Every CLASS line is kept; the analysis takes the first of one value.
        QCOMPARE(p->classes.size(), 3);

        // Line feeds alone, lower-case units.
        const auto lenient = ModelParams::parse(
            "VIEW#V\nLCTHEME#lc\nLCUNITS#meters\nANALYSISTHEME#p\nANALYSISUNIT#ID\nPOPDENSITY#2\n"
            "OUTTHEME#o.shp\nOUTTHEMENAME#o\nCLASS#1#A#3#2#1\n",
            &error);
        QVERIFY2(lenient, qPrintable(error));
        QCOMPARE(lenient->lcUnits, ModelParams::Units::Meters);
    }

    void refusesBadFiles_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("error");
        QTest::newRow("key missing")
            << replaced("LCTHEME#landcover_2016\r\n", "") << "LCTHEME is missing";
        QTest::newRow("key twice") << replaced("VIEW#View1\r\n", "VIEW#View1\r\nVIEW#View2\r\n")
                                   << "line 2: VIEW appears twice";
        QTest::newRow("unknown key")
            << replaced("OUTTHEMENAME#", "OUTNAME#") << "line 13: unknown key OUTNAME";
        QTest::newRow("line without key")
            << replaced("LCUNITS#Feet", "LCUNITS Feet") << "line 3: no key (a key ends in \"#\")";
        QTest::newRow("units") << replaced("LCUNITS#Feet", "LCUNITS#Yards")
                               << "line 3: LCUNITS must be Meters or Feet";
        QTest::newRow("empty theme") << replaced("ANALYSISTHEME#parcels", "ANALYSISTHEME#")
                                     << "line 4: ANALYSISTHEME is empty";
        QTest::newRow("option not a whole number") << replaced("POPDENSITY#3", "POPDENSITY#3.0")
                                                   << "line 6: POPDENSITY must be 0, 1, 2 or 3";
        QTest::newRow("threshold not a number")
            << replaced("POPDENSITYHIGH#30", "POPDENSITYHIGH#3O")
            << "line 9: POPDENSITYHIGH is not a number";
        QTest::newRow("threshold in locale form")
            << replaced("POPDENSITYLOW#5.5", "POPDENSITYLOW#5,5")
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
        QTest::newRow("coefficient not a number")
            << replaced("#80#62.5#0\r\n", "#80#nan#0\r\n")
            << "line 16: CLASS 41: a coefficient is not a number";
        QTest::newRow("coefficient above 100")
            << replaced("#80#62.5#0\r\n", "#80#3e38#0\r\n")
            << "line 16: CLASS 41: a coefficient is outside 0 to 100";
        QTest::newRow("coefficient below 0")
            << replaced("#1#1E-05#1\r\n", "#1#-0.5#1\r\n")
            << "line 17: CLASS -3: a coefficient is outside 0 to 100";
        QTest::newRow("NUL in the output") << replaced("parcels#2.shp", QByteArray("res\0evil", 8))
                                           << "line 12: OUTTHEME holds a control character";
        QTest::newRow("tab in a class name") << replaced("Forest again", "Forest\tagain")
                                             << "line 18: CLASS holds a control character";
        QTest::newRow("escape in a theme") << replaced("new_development", "new\x1b[2Jdev")
                                           << "line 14: DS holds a control character";
        QTest::newRow("no class") << calculate.left(calculate.indexOf("CLASS#")) << "no CLASS line";
    }
    void refusesBadFiles()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, error);
        QString actual;
        QVERIFY(!ModelParams::parse(bytes, &actual));
        QCOMPARE(actual, error);
    }

    void namesTheFileWhenLoadingAndPlacesBareOutputBesideIt()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("model_params.txt");
        QString error;
        QVERIFY(!ModelParams::load(path, &error));
        QCOMPARE(error, "Parameter file not found: " + path);

        QVERIFY(writeFile(path, replaced("POPDENSITY#3", "POPDENSITY#9")));
        QVERIFY(!ModelParams::load(path, &error));
        QCOMPARE(error,
                 QStringLiteral("model_params.txt: line 6: POPDENSITY must be 0, 1, 2 or 3"));

        QVERIFY(writeFile(path,
                          replaced("OUTTHEME#/data/out/parcels#2.shp", "OUTTHEME#parcels_is.shp")));
        const auto params = ModelParams::load(path, &error);
        QVERIFY2(params, qPrintable(error));
        QCOMPARE(params->outTheme, dir.filePath("parcels_is.shp"));
    }
};

QTEST_GUILESS_MAIN(TestModelParams)
#include "tst_modelparams.moc"
