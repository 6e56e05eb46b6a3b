#include "hostcore.h"
#include "hostproject.h"
#include "hostrequest.h"
#include "listanswer.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

const char project[] = R"({
    "view": "View1",
    "workDir": "/data/work",
    "mapUnits": "Meters",
    "gridThemes": ["landcover", "lc2001"],
    "polygonThemes": [
        {"name": "parcels", "fields": [{"name": "PID", "type": "integer"},
                                       {"name": "ZONE", "type": "string"},
                                       {"name": "AREA", "type": "double"}]},
        {"name": "blocks", "fields": [{"name": "DENS", "type": "double"}]},
        {"name": "labels", "fields": [{"name": "TEXT", "type": "string"}]},
        {"name": "outline", "fields": []}
    ],
    "listFileThreshold": 40
})";

HostProject parsed(const QByteArray& json = project)
{
    QString error;
    const auto result = HostProject::parse(json, "/base", &error);
    if (!result)
        qFatal("test project does not parse: %s", qPrintable(error));
    return *result;
}

} // namespace

class TestHostCore : public QObject {
    Q_OBJECT
private slots:
    void readsTheDemoProject();
    void resolvesWorkingDirectory_data();
    void resolvesWorkingDirectory();
    void refusesMalformedProjects_data();
    void refusesMalformedProjects();
    void namesTheFileOfAProjectItCannotRead();
    void answersEveryRequestForm_data();
    void answersEveryRequestForm();
    void sendsLongListsThroughAListFile();
    void submitsTheModelOnlyForAUsableParameterFile();
};

void TestHostCore::readsTheDemoProject()
{
    QString error;
    const auto demo = HostProject::load(TARN_SOURCE_DIR "/examples/demo-project.json", &error);
    QVERIFY2(demo, qPrintable(error));
    QCOMPARE(demo->mapUnits, QStringLiteral("Meters"));
    QVERIFY(!demo->gridThemes.isEmpty());
    QVERIFY(demo->workDir.startsWith(QDir::tempPath() + "/"));
    const HostCore core(*demo);
    const auto view = core.answer(HostRequest::GetActiveDocName()).text.value_or(QString());
    // The launcher needs an analysis theme with a string or integer field and a density theme.
    QVERIFY(core.answer(HostRequest::isGetFThemes(view, 2)).text->contains("parcels"));
    QVERIFY(!core.answer(HostRequest::isGetFThemes(view, 1)).text->isEmpty());
}

void TestHostCore::resolvesWorkingDirectory_data()
{
    QTest::addColumn<QString>("workDir");
    QTest::addColumn<QString>("expected");
    QTest::newRow("absolute") << "/data/work/"
                              << "/data/work";
    QTest::newRow("temporary folder") << "$TEMP/demo" << QDir::tempPath() + "/demo";
    QTest::newRow("relative to the project file") << "work"
                                                  << "/base/work";
}

void TestHostCore::resolvesWorkingDirectory()
{
    QFETCH(QString, workDir);
    QFETCH(QString, expected);
    QByteArray json = project;
    json.replace("/data/work", workDir.toUtf8());
    QCOMPARE(parsed(json).workDir, expected);
}

void TestHostCore::refusesMalformedProjects_data()
{
    QTest::addColumn<QByteArray>("from");
    QTest::addColumn<QByteArray>("to");
    QTest::addColumn<QString>("problem");
    QTest::newRow("not JSON") << QByteArray("\"view\": \"View1\",")
                              << QByteArray("\"view\" \"View1\",") << "not valid JSON at offset";
    QTest::newRow("view missing") << QByteArray("\"view\"") << QByteArray("\"vue\"")
                                  << "\"view\" is missing";
    QTest::newRow("grid themes not a list")
        << QByteArray("[\"landcover\", \"lc2001\"]") << QByteArray("\"landcover\"")
        << "\"gridThemes\" must be a list";
    QTest::newRow("list separator in a name")
        << QByteArray("lc2001") << QByteArray("lc#2001") << "\"gridThemes\" entry 2 contains '#'";
    QTest::newRow("unknown field type")
        << QByteArray("\"double\"}]},") << QByteArray("\"real\"}]},")
        << "field 3: \"type\" must be one of string, integer, double";
    QTest::newRow("theme twice") << QByteArray("\"labels\"") << QByteArray("\"parcels\"")
                                 << "\"parcels\" is used twice";
    QTest::newRow("negative threshold") << QByteArray(": 40") << QByteArray(": -1")
                                        << "\"listFileThreshold\" must be a whole number";
}

void TestHostCore::refusesMalformedProjects()
{
    QFETCH(QByteArray, from);
    QFETCH(QByteArray, to);
    QFETCH(QString, problem);
    QByteArray json = project;
    QVERIFY(json.contains(from));
    json.replace(json.indexOf(from), from.size(), to);
    QString error;
    QVERIFY(!HostProject::parse(json, "/base", &error));
    QVERIFY2(error.contains(problem), qPrintable(error));
}

void TestHostCore::namesTheFileOfAProjectItCannotRead()
{
    QTemporaryDir dir;
    QString error;
    QVERIFY(!HostProject::load(dir.filePath("missing.json"), &error));
    QVERIFY2(error.startsWith(dir.filePath("missing.json") + ": cannot read"), qPrintable(error));

    QFile bad(dir.filePath("bad.json"));
    QVERIFY(bad.open(QIODevice::WriteOnly));
    bad.write("[]");
    bad.close();
    QVERIFY(!HostProject::load(bad.fileName(), &error));
    QCOMPARE(error, bad.fileName() + ": the top level must be an object");
}

void TestHostCore::answersEveryRequestForm_data()
{
    QTest::addColumn<QString>("item");
    QTest::addColumn<QVariant>("answer"); // null: no data
    using R = QVariant;
    QTest::newRow("view") << HostRequest::GetActiveDocName() << R("View1");
    QTest::newRow("working directory") << HostRequest::GetWorkDirName() << R("/data/work");
    QTest::newRow("grid themes") << HostRequest::isGetGThemes("View1") << R("landcover#lc2001");
    QTest::newRow("themes with string or integer fields")
        << HostRequest::isGetFThemes("View1", 2) << R("parcels#labels");
    QTest::newRow("themes with numeric fields")
        << HostRequest::isGetFThemes("View1", 1) << R("parcels#blocks");
    QTest::newRow("all polygon themes")
        << HostRequest::isGetFThemes("View1", 0) << R("parcels#blocks#labels#outline");
    QTest::newRow("string and integer fields")
        << HostRequest::isGetFldNames("View1", "parcels", 2) << R("PID#ZONE");
    QTest::newRow("numeric fields")
        << HostRequest::isGetFldNames("View1", "parcels", 1) << R("PID#AREA");
    QTest::newRow("no fields of that kind")
        << HostRequest::isGetFldNames("View1", "blocks", 2) << R("");
    QTest::newRow("map units") << HostRequest::isGetViewUnits("View1") << R("Meters");
    QTest::newRow("other view") << HostRequest::isGetGThemes("View2") << R();
    QTest::newRow("view name differs in case") << HostRequest::isGetViewUnits("view1") << R();
    QTest::newRow("unknown theme") << HostRequest::isGetFldNames("View1", "roads", 2) << R();
    QTest::newRow("unknown selector") << HostRequest::isGetFThemes("View1", 3) << R();
    QTest::newRow("missing argument") << HostRequest::runScript("isGetFThemes", {"View1"}) << R();
    QTest::newRow("unknown script") << HostRequest::runScript("isDeleteAll", {"View1"}) << R();
    QTest::newRow("unknown expression") << "av.GetProject.GetName" << R();
    QTest::newRow("blank in the item") << R"(av.Run("isGetGThemes", {"View1"}))" << R();
}

void TestHostCore::answersEveryRequestForm()
{
    QFETCH(QString, item);
    QFETCH(QVariant, answer);
    const HostCore::Answer result = HostCore(parsed()).answer(item);
    QCOMPARE(result.text.has_value(), !answer.isNull());
    if (result.text)
        QCOMPARE(*result.text, answer.toString());
    QVERIFY(result.launcherCommands.isEmpty());
}

void TestHostCore::sendsLongListsThroughAListFile()
{
    HostProject longer = parsed();
    for (int i = 0; i < 10; ++i)
        longer.gridThemes << QStringLiteral("landcover_%1").arg(i);
    const HostCore core(longer);
    const QString answer = *core.answer(HostRequest::isGetGThemes("View1")).text;
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

void TestHostCore::submitsTheModelOnlyForAUsableParameterFile()
{
    QTemporaryDir dir;
    const HostCore core(parsed());
    const QString params = dir.filePath("model_params.txt");
    auto run = [&] { return core.answer(HostRequest::isCallExecuteModel(params)); };

    HostCore::Answer answer = run();
    QCOMPARE(*answer.text, "Parameter file not found: " + params);
    QVERIFY(answer.launcherCommands.isEmpty());

    QFile file(params);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    QCOMPARE(*run().text, "Parameter file is empty: " + params);

    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("LANDCOVER#landcover\r\n");
    file.close();
    answer = run();
    QCOMPARE(*answer.text, QStringLiteral("Submitted"));
    QCOMPARE(answer.launcherCommands, QStringList({"{closeprocfrm}"}));
}

QTEST_GUILESS_MAIN(TestHostCore)
#include "tst_hostcore.moc"
