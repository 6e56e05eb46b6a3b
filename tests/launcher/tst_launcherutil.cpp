#include "launcher/hostqueries.h"
#include "launcher/paramchecks.h"
#include "launcher/scenarios.h"

#include <QtTest>

// The output box's rule and the theme name taken from the path, case by case.
class TestLauncherUtil : public QObject {
    Q_OBJECT
private slots:
    void outputAndThemeName_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("output");
        QTest::addColumn<QString>("themeName");
        const auto row = [](const char* name, const char* typed, const char* output,
                            const char* theme) {
            QTest::newRow(name) << QString(typed) << QString(output) << QString(theme);
        };
        row("slash path, blanks stripped", " /data/roads ", "/data/roads.shp", "roads");
        row("last of either separator", "C:\\a/b\\c", "C:\\a/b\\c.shp", "c");
        row("ending in a dot", "roads.", "roads.shp", "roads");
        row("capital SHP kept in both", "/data/roads.SHP", "/data/roads.SHP", "roads.SHP");
        row("shp without dot kept", "roadshp", "roadshp", "roadshp");
        row("blanks only", "   ", "", "");
    }
    void outputAndThemeName()
    {
        QFETCH(QString, typed);
        QFETCH(QString, output);
        QFETCH(QString, themeName);
        QCOMPARE(outputWithShpSuffix(typed), output);
        QString name = QStringLiteral("typed by hand");
        QVERIFY(SetThemeNameFromPath(QStringLiteral("/before.shp"), output, name));
        QCOMPARE(name, themeName);
    }
};

QTEST_GUILESS_MAIN(TestLauncherUtil)
#include "tst_launcherutil.moc"
