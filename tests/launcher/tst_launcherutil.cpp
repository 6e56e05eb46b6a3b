#include "basismodelutil.h"

#include <QtTest>

// The launcher's rules that need no window.
class TestLauncherUtil : public QObject {
    Q_OBJECT
private slots:
    void outputGetsShpSuffix_data();
    void outputGetsShpSuffix();
    void themeNameFromPath_data();
    void themeNameFromPath();
    void themeNameKeptWhilePathUnchanged();
    void scenarioNumberAnswers_data();
    void scenarioNumberAnswers();
    void deletedRowTakesStateFromBelow();
    void scrollBarFromTheSeventhRow();
    void densityThresholds_data();
    void densityThresholds();
    void highCaseHoldsOnlyItsLines();
    void workDirGetsOneTrailingSeparator_data();
    void workDirGetsOneTrailingSeparator();
};

void TestLauncherUtil::outputGetsShpSuffix_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("expected");
    QTest::newRow("plain name") << "roads"
                                << "roads.shp";
    QTest::newRow("ending in a dot") << "roads."
                                     << "roads.shp";
    QTest::newRow("capital SHP kept") << "roads.SHP"
                                      << "roads.SHP";
    QTest::newRow("shp without dot kept") << "roadshp"
                                          << "roadshp";
    QTest::newRow("blanks stripped first") << "  /data/roads  "
                                           << "/data/roads.shp";
    QTest::newRow("blanks only become empty") << "   "
                                              << "";
    QTest::newRow("empty stays empty") << ""
                                       << "";
}

void TestLauncherUtil::outputGetsShpSuffix()
{
    QFETCH(QString, typed);
    QFETCH(QString, expected);
    QCOMPARE(outputWithShpSuffix(typed), expected);
}

void TestLauncherUtil::themeNameFromPath_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("expected");
    QTest::newRow("backslash path") << "C:\\data\\roads.shp"
                                    << "roads";
    QTest::newRow("slash path") << "/home/ann/out/roads.shp"
                                << "roads";
    QTest::newRow("capital extension stays") << "/data/roads.SHP"
                                             << "roads.SHP";
    QTest::newRow("last of either separator") << "C:\\a/b\\c.shp"
                                              << "c";
    QTest::newRow("no folder") << "roads.shp"
                               << "roads";
    QTest::newRow("no extension") << "/data/roads"
                                  << "roads";
}

void TestLauncherUtil::themeNameFromPath()
{
    QFETCH(QString, path);
    QFETCH(QString, expected);
    QCOMPARE(::themeNameFromPath(path), expected);
}

void TestLauncherUtil::themeNameKeptWhilePathUnchanged()
{
    QString name = QStringLiteral("typed by hand");
    QVERIFY(!SetThemeNameFromPath(QStringLiteral("/a/b.shp"), QStringLiteral("/a/b.shp"), name));
    QCOMPARE(name, QStringLiteral("typed by hand"));
    QVERIFY(SetThemeNameFromPath(QStringLiteral("/a/b.shp"), QStringLiteral("/a/c.shp"), name));
    QCOMPARE(name, QStringLiteral("c"));
}

void TestLauncherUtil::scenarioNumberAnswers_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<int>("index"); // -1: refused
    QTest::newRow("first") << "1" << 0;
    QTest::newRow("last") << "3" << 2;
    QTest::newRow("blanks around") << " 2 " << 1;
    QTest::newRow("zero") << "0" << -1;
    QTest::newRow("above the rows") << "4" << -1;
    QTest::newRow("negative") << "-1" << -1;
    QTest::newRow("not a number") << "two" << -1;
    QTest::newRow("number and text") << "2x" << -1;
    QTest::newRow("beyond 32 bits") << "99999999999" << -1;
}

void TestLauncherUtil::scenarioNumberAnswers()
{
    QFETCH(QString, answer);
    QFETCH(int, index);
    int got = -1;
    const bool ok = scenarioIndexFromAnswer(answer, 3, &got);
    QCOMPARE(ok, index >= 0);
    if (ok) {
        QCOMPARE(got, index);
    }
}

void TestLauncherUtil::deletedRowTakesStateFromBelow()
{
    QVector<ScenarioRowState> rows = {{true, 0, 1}, {false, 1, 2}, {true, 2, -1}};
    deleteScenarioRowState(rows, 1);
    QCOMPARE(rows.size(), 2);
    QCOMPARE(rows[0].theme, 0);
    QCOMPARE(rows[1].ticked, true);
    QCOMPARE(rows[1].theme, 2);
    QCOMPARE(rows[1].toClass, -1);
}

void TestLauncherUtil::scrollBarFromTheSeventhRow()
{
    QCOMPARE(ScenarioItemsHeight(0), 450);
    QVERIFY(!scenarioScrollFor(ScenarioItemsHeight(5)).visible); // six rows fit
    const ScenarioScroll seven = scenarioScrollFor(ScenarioItemsHeight(6));
    QVERIFY(seven.visible);
    QCOMPARE(seven.maximum, 350);
    QCOMPARE(seven.largeChange, 700);
    QCOMPARE(seven.smallChange, 350);
    // No ceiling on the number of rows.
    QCOMPARE(scenarioScrollFor(ScenarioItemsHeight(199)).maximum, 200 * 350 + 100 - 2200);
}

void TestLauncherUtil::densityThresholds_data()
{
    QTest::addColumn<QString>("high");
    QTest::addColumn<QString>("low");
    QTest::addColumn<int>("result");
    QTest::newRow("equal values pass") << "500"
                                       << "500" << int(DensityCheck::Ok);
    QTest::newRow("fractions and signs") << "+12.5"
                                         << "-3" << int(DensityCheck::Ok);
    QTest::newRow("low above high") << "100"
                                    << "200" << int(DensityCheck::LowAboveHigh);
    QTest::newRow("blank high before valid low") << ""
                                                 << "5" << int(DensityCheck::HighNotNumber);
    QTest::newRow("blank low") << "5"
                               << " " << int(DensityCheck::LowNotNumber);
    QTest::newRow("comma is no decimal") << "1,5"
                                         << "1" << int(DensityCheck::HighNotNumber);
    QTest::newRow("nan is no number") << "100"
                                      << "nan" << int(DensityCheck::LowNotNumber);
}

void TestLauncherUtil::densityThresholds()
{
    QFETCH(QString, high);
    QFETCH(QString, low);
    QFETCH(int, result);
    QCOMPARE(int(checkDensityThresholds(high, low)), result);
}

void TestLauncherUtil::highCaseHoldsOnlyItsLines()
{
    clsISModelProperties model;
    auto set = std::make_shared<clsISLCDef>();
    set->LCType = QStringLiteral("Suburban");
    auto cls = std::make_shared<clsLCClass>();
    cls->ID = -3;
    cls->LCName = QStringLiteral("Forêt");
    cls->LCHigh = 80;
    cls->LCMed = 62.5f;
    cls->LCLow = 0;
    set->LCClasses->Add(cls);
    model.ISLCDefs->Add(set);

    ModelParams params;
    params.view = QStringLiteral("View1");
    params.lcTheme = QStringLiteral("lc");
    params.lcUnits = QStringLiteral("Meters");
    params.analysisTheme = QStringLiteral("parcels");
    params.analysisUnit = QStringLiteral("ZONING");
    params.popDensity = 0;
    params.popDensityHigh = QStringLiteral("ignored unless Calculate");
    params.outTheme = QStringLiteral("/out/roads.shp");
    params.lcType = QStringLiteral("Suburban");

    const QByteArray expected = "VIEW#View1\r\n"
                                "LCTHEME#lc\r\n"
                                "LCUNITS#Meters\r\n"
                                "ANALYSISTHEME#parcels\r\n"
                                "ANALYSISUNIT#ZONING\r\n"
                                "POPDENSITY#0\r\n"
                                "OUTTHEME#/out/roads.shp\r\n"
                                "OUTTHEMENAME#\r\n"
                                "CLASS#-3#For\xc3\xaat#80#62.5#0\r\n";
    QCOMPARE(modelParamsBytes(params, model), expected);
}

void TestLauncherUtil::workDirGetsOneTrailingSeparator_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QString>("expected");
    QTest::newRow("none") << " /home/ann/proj "
                          << "/home/ann/proj/";
    QTest::newRow("slash kept") << "/home/ann/proj/"
                                << "/home/ann/proj/";
    QTest::newRow("backslash kept") << "C:\\proj\\"
                                    << "C:\\proj\\";
    QTest::newRow("empty") << ""
                           << "";
}

void TestLauncherUtil::workDirGetsOneTrailingSeparator()
{
    QFETCH(QString, answer);
    QFETCH(QString, expected);
    QCOMPARE(workDirFromAnswer(answer), expected);
}

QTEST_GUILESS_MAIN(TestLauncherUtil)
#include "tst_launcherutil.moc"
