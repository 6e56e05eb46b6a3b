#include "catalog/hostproject.h"
#include "host/hostcore.h"
#include "host/hostserver.h"
#include "hostlink/hostrequest.h"
#include "hostlink/listanswer.h"
#include "tests/support/testfiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

const char project[] = R"({"view": "View1", "workDir": "/data/work", "mapUnits": "Meters",
    "gridThemes": ["landcover", "lc2001"], "listFileThreshold": 40, "polygonThemes": [
        {"name": "parcels", "fields": [{"name": "PID", "type": "integer"},
            {"name": "ZONE", "type": "string"}, {"name": "AREA", "type": "double"}]},
        {"name": "blocks", "fields": [{"name": "DENS", "type": "double"}]},
        {"name": "labels", "fields": [{"name": "TEXT", "type": "string"}]},
        {"name": "outline", "fields": []}]})";

HostProject parsed(const QByteArray& json = project)
{
    QString error;
    const auto result = HostProject::parse(json, "/base", &error);
    if (!result) {
        qFatal("test project does not parse: %s", qPrintable(error));
    }
    return *result;
}

// Replaces the first occurrence of from, which must be there.
QByteArray edited(QByteArray bytes, const QByteArray& from, const QByteArray& to)
{
    const qsizetype at = bytes.indexOf(from);
    if (at < 0) {
        qFatal("test text not found: %s", from.constData());
    }
    return bytes.replace(at, from.size(), to);
}

// A run the test project can serve: fixed High coefficient, one scenario.
const QByteArray goodParams = "VIEW#View1\r\nLCTHEME#landcover\r\nLCUNITS#Meters\r\n"
                              "ANALYSISTHEME#parcels\r\nANALYSISUNIT#ZONE\r\nPOPDENSITY#0\r\n"
                              "OUTTHEME#OUTDIR/result.shp\r\nOUTTHEMENAME#result\r\n"
                              "DS#1#outline#Roofs#3\r\nCLASS#3#Roofs#100#95#90\r\n";

QString writeParams(const QTemporaryDir& dir, const QByteArray& bytes)
{
    const QString path = dir.filePath("model_params.txt");
    return writeFile(path, QByteArray(bytes).replace("OUTDIR", dir.path().toUtf8())) ? path
                                                                                     : QString();
}

} // namespace

class TestHostCore : public QObject {
    Q_OBJECT
private slots:
    void resolvesWorkingDirectory()
    {
        QCOMPARE(parsed(edited(project, "/data/work", "$TEMP/demo")).workDir,
                 QDir::tempPath() + "/demo");
        QCOMPARE(parsed(edited(project, "/data/work", "work")).workDir,
                 QStringLiteral("/base/work"));
    }

    void refusesMalformedProjects_data()
    {
        QTest::addColumn<QByteArray>("from");
        QTest::addColumn<QByteArray>("to");
        QTest::addColumn<QString>("problem");
        QTest::newRow("not JSON") << QByteArray("\"view\": \"View1\",")
                                  << QByteArray("\"view\" \"View1\",")
                                  << "not valid JSON at offset";
        QTest::newRow("view missing")
            << QByteArray("\"view\"") << QByteArray("\"vue\"") << "\"view\" is missing";
        QTest::newRow("grid themes not a list")
            << QByteArray("[\"landcover\", \"lc2001\"]") << QByteArray("\"landcover\"")
            << "\"gridThemes\" must be a list";
        QTest::newRow("list separator in a name") << QByteArray("lc2001") << QByteArray("lc#2001")
                                                  << "\"gridThemes\" entry 2 contains '#'";
        QTest::newRow("unknown field type")
            << QByteArray("\"double\"}]},") << QByteArray("\"real\"}]},")
            << "field 3: \"type\" must be one of string, integer, double";
        QTest::newRow("theme twice")
            << QByteArray("\"labels\"") << QByteArray("\"parcels\"") << "\"parcels\" is used twice";
        QTest::newRow("negative threshold") << QByteArray(": 40") << QByteArray(": -1")
                                            << "\"listFileThreshold\" must be a whole number";
    }
    void refusesMalformedProjects()
    {
        QFETCH(QByteArray, from);
        QFETCH(QByteArray, to);
        QFETCH(QString, problem);
        QString error;
        QVERIFY(!HostProject::parse(edited(project, from, to), "/base", &error));
        QVERIFY2(error.contains(problem), qPrintable(error));
    }

    void answersEveryRequestForm_data()
    {
        QTest::addColumn<QString>("item");
        QTest::addColumn<QVariant>("answer"); // null: no data
        using R = QVariant;
        QTest::newRow("view") << HostRequest::GetActiveDocName() << R("View1");
        QTest::newRow("working directory") << HostRequest::GetWorkDirName() << R("/data/work");
        QTest::newRow("grid themes") << HostRequest::isGetGThemes("View1") << R("landcover#lc2001");
        QTest::newRow("themes with string or integer fields")
            << HostRequest::isGetFThemes("View1", HostRequest::ThemeSelector::StringOrInteger)
            << R("parcels#labels");
        QTest::newRow("themes with numeric fields")
            << HostRequest::isGetFThemes("View1", HostRequest::ThemeSelector::Numeric)
            << R("parcels#blocks");
        QTest::newRow("all polygon themes")
            << HostRequest::isGetFThemes("View1", HostRequest::ThemeSelector::Any)
            << R("parcels#blocks#labels#outline");
        QTest::newRow("string and integer fields")
            << HostRequest::isGetFldNames("View1", "parcels",
                                          HostRequest::ThemeSelector::StringOrInteger)
            << R("PID#ZONE");
        QTest::newRow("numeric fields")
            << HostRequest::isGetFldNames("View1", "parcels", HostRequest::ThemeSelector::Numeric)
            << R("PID#AREA");
        QTest::newRow("no fields of that kind")
            << HostRequest::isGetFldNames("View1", "blocks",
                                          HostRequest::ThemeSelector::StringOrInteger)
            << R("");
        QTest::newRow("map units") << HostRequest::isGetViewUnits("View1") << R("Meters");
        QTest::newRow("other view") << HostRequest::isGetGThemes("View2") << R();
        QTest::newRow("view name differs in case") << HostRequest::isGetViewUnits("view1") << R();
        QTest::newRow("unknown theme")
            << HostRequest::isGetFldNames("View1", "roads",
                                          HostRequest::ThemeSelector::StringOrInteger)
            << R();
        QTest::newRow("unknown selector")
            << HostRequest::isGetFThemes("View1", HostRequest::ThemeSelector(3)) << R();
        QTest::newRow("missing argument")
            << HostRequest::runScript("isGetFThemes", {"View1"}) << R();
        QTest::newRow("unknown script") << HostRequest::runScript("isDeleteAll", {"View1"}) << R();
        QTest::newRow("blank in the item") << R"(av.Run("isGetGThemes", {"View1"}))" << R();
    }
    void answersEveryRequestForm()
    {
        QFETCH(QString, item);
        QFETCH(QVariant, answer);
        const HostCore::Answer result = HostCore(parsed()).answer(item);
        QCOMPARE(result.text.has_value(), !answer.isNull());
        if (result.text) {
            QCOMPARE(*result.text, answer.toString());
        }
        QVERIFY(result.launcherCommands.isEmpty());
    }

    void sendsLongListsThroughAListFile()
    {
        HostProject longer = parsed();
        for (int i = 0; i < 10; ++i) {
            longer.gridThemes << QStringLiteral("landcover_%1").arg(i);
        }
        const QString answer = *HostCore(longer).answer(HostRequest::isGetGThemes("View1")).text;
        QVERIFY2(answer.startsWith(QDir::tempPath() + "/"), qPrintable(answer));
        QVERIFY(ListAnswer::isListFile(answer));
        QCOMPARE(ListAnswer::split(answer), longer.gridThemes);
        QVERIFY(!QFile::exists(answer));

        // At the threshold exactly the names still come inline.
        HostProject exact = parsed();
        exact.listFileThreshold = QStringLiteral("landcover#lc2001").size();
        QCOMPARE(*HostCore(exact).answer(HostRequest::isGetGThemes("View1")).text,
                 QStringLiteral("landcover#lc2001"));
    }

    void refusesABadParameterFileWithAShortReason_data()
    {
        QTest::addColumn<QByteArray>("from"); // empty: no file at all
        QTest::addColumn<QByteArray>("to");
        QTest::addColumn<QString>("answer");
        QTest::newRow("no file") << QByteArray() << QByteArray()
                                 << "Parameter file not found: OUTDIR/model_params.txt";
        QTest::newRow("empty file")
            << goodParams << QByteArray() << "model_params.txt: VIEW is missing";
        QTest::newRow("other view") << QByteArray("VIEW#View1") << QByteArray("VIEW#View2")
                                    << "model_params.txt: view View2 not found";
        QTest::newRow("grid theme") << QByteArray("LCTHEME#landcover") << QByteArray("LCTHEME#lc")
                                    << "model_params.txt: grid theme lc not found";
        QTest::newRow("analysis theme")
            << QByteArray("ANALYSISTHEME#parcels") << QByteArray("ANALYSISTHEME#roads")
            << "model_params.txt: polygon theme roads not found";
        QTest::newRow("analysis field")
            << QByteArray("ANALYSISUNIT#ZONE") << QByteArray("ANALYSISUNIT#APN")
            << "model_params.txt: field APN not found in theme parcels";
        QTest::newRow("analysis field of real numbers")
            << QByteArray("ANALYSISUNIT#ZONE") << QByteArray("ANALYSISUNIT#AREA")
            << "model_params.txt: field AREA of theme parcels is not a string or integer field";
        QTest::newRow("density field of text")
            << QByteArray("POPDENSITY#0\r\n")
            << QByteArray("POPDENSITY#3\r\nPOPDENSITYTHEME#parcels\r\nPOPDENSITYFLD#ZONE\r\n"
                          "POPDENSITYHIGH#5\r\nPOPDENSITYMED#5#1\r\nPOPDENSITYLOW#1\r\n")
            << "model_params.txt: field ZONE of theme parcels is not numeric";
        QTest::newRow("scenario theme") << QByteArray("DS#1#outline") << QByteArray("DS#1#lakes")
                                        << "model_params.txt: polygon theme lakes not found";
        // Refused before it is read: padded to one byte over the limit.
        QTest::newRow("over 4 MiB")
            << goodParams << goodParams
            << "model_params.txt: the file has 4194305 bytes, more than the "
               "4194304 a parameter file may have";
    }
    void refusesABadParameterFileWithAShortReason()
    {
        QFETCH(QByteArray, from);
        QFETCH(QByteArray, to);
        QFETCH(QString, answer);
        QTemporaryDir dir;
        const QString path = from.isEmpty() ? dir.filePath("model_params.txt")
                                            : writeParams(dir, edited(goodParams, from, to));
        if (QTest::currentDataTag() == QLatin1String("over 4 MiB")) {
            QVERIFY(QFile::resize(path, 4 * 1024 * 1024 + 1));
        }
        const HostCore::Answer result =
            HostCore(parsed()).answer(HostRequest::isCallExecuteModel(path));
        QCOMPARE(*result.text, answer.replace("OUTDIR", dir.path()));
        QVERIFY(result.launcherCommands.isEmpty());
        QVERIFY(result.analysisRun.isEmpty());
    }

    void servesADataFolder()
    {
        const QString demo = TARN_SOURCE_DIR "/examples/demo-data";
        QString error;
        const auto project = HostProject::fromDataFolder(demo, {}, &error);
        QVERIFY2(project, qPrintable(error));
        QCOMPARE(project->workDir, QDir::cleanPath(demo));
        const HostCore core(*project);
        const auto ask = [&core](const QString& item) {
            return core.answer(item).text.value_or("-");
        };
        QCOMPARE(ask(HostRequest::isGetFThemes("View1", HostRequest::ThemeSelector::Any)),
                 QStringLiteral("census_blocks#new_development#parcels"));
        QCOMPARE(ask(HostRequest::isGetFThemes("View1", HostRequest::ThemeSelector::Numeric)),
                 QStringLiteral("census_blocks#parcels"));
        QCOMPARE(ask(HostRequest::isGetFldNames("View1", "parcels",
                                                HostRequest::ThemeSelector::StringOrInteger)),
                 QStringLiteral("PARCEL_ID#APN#ZONING"));

        // With data files the output folder is checked too, before anything runs.
        QTemporaryDir dir;
        const QByteArray params = "VIEW#View1\r\nLCTHEME#landcover_2016\r\nLCUNITS#Meters\r\n"
                                  "ANALYSISTHEME#parcels\r\nANALYSISUNIT#APN\r\nPOPDENSITY#0\r\n"
                                  "OUTTHEME#OUTDIR/none/result.shp\r\nOUTTHEMENAME#result\r\n"
                                  "CLASS#24#Developed#90#85#80\r\n";
        const HostCore::Answer refused =
            core.answer(HostRequest::isCallExecuteModel(writeParams(dir, params)));
        QCOMPARE(*refused.text,
                 "model_params.txt: output folder " + dir.filePath("none") + " does not exist");
        QVERIFY(refused.analysisRun.isEmpty());
        // An output over a theme the run reads, whatever the case of its extension.
        const QString over = QDir::cleanPath(demo) + "/parcels.SHP";
        const HostCore::Answer replacing = core.answer(HostRequest::isCallExecuteModel(
            writeParams(dir, QByteArray(params).replace("OUTDIR/none/result.shp", over.toUtf8()))));
        QCOMPARE(*replacing.text, "model_params.txt: The output " + over + " would replace " +
                                      QDir::cleanPath(demo) +
                                      "/parcels.shp, a file of the analysis theme parcels");
        QVERIFY(replacing.analysisRun.isEmpty());

        // The run starts only once the answer is out; a request before that finds it owed.
        HostServer server(*project, QStringLiteral("/nonexistent/tarn-analyze"));
        const QString request = HostRequest::isCallExecuteModel(
            writeParams(dir, QByteArray(params).replace("/none", "")));
        QCOMPARE(server.answer(request), QStringLiteral("Submitted"));
        QCOMPARE(server.answer(request),
                 QStringLiteral("A model run is under way; try again when it has ended"));
    }
};

QTEST_GUILESS_MAIN(TestHostCore)
#include "tst_hostcore.moc"
