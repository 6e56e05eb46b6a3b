#include "hostlink.h"
#include "hostrequest.h"
#include "listanswer.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TestHostRequest : public QObject {
    Q_OBJECT
private slots:
    void buildsExactRequestStrings_data();
    void buildsExactRequestStrings();
    void parsesWhatItBuilds();
    void refusesItemsNotInRunForm_data();
    void refusesItemsNotInRunForm();
    void comparesCommandsLowerCasedAndExact_data();
    void comparesCommandsLowerCasedAndExact();
    void recognisesListFiles_data();
    void recognisesListFiles();
    void splitsJoinedNamesKeepingEmptyEntries();
    void readsLastLineOfListFileAndDeletesIt_data();
    void readsLastLineOfListFileAndDeletesIt();
    void reportsUnreadableListFile();
};

void TestHostRequest::buildsExactRequestStrings_data()
{
    QTest::addColumn<QString>("built");
    QTest::addColumn<QString>("expected");
    QTest::newRow("active view") << HostRequest::GetActiveDocName() << "av.GetActiveDoc.GetName";
    QTest::newRow("work dir") << HostRequest::GetWorkDirName()
                              << "av.GetProject.GetWorkDir.GetFullName.AsString";
    QTest::newRow("grid themes") << HostRequest::isGetGThemes("View1")
                                 << R"(av.Run("isGetGThemes",{"View1"}))";
    QTest::newRow("feature themes")
        << HostRequest::isGetFThemes("View1", 2) << R"(av.Run("isGetFThemes",{"View1","2"}))";
    QTest::newRow("field names") << HostRequest::isGetFldNames("View1", "parcels", 2)
                                 << R"(av.Run("isGetFldNames",{"View1","parcels","2"}))";
    QTest::newRow("view units") << HostRequest::isGetViewUnits("View1")
                                << R"(av.Run("isGetViewUnits",{"View1"}))";
    QTest::newRow("run model") << HostRequest::isCallExecuteModel("/data/work/model_params.txt")
                               << R"(av.Run("isCallExecuteModel",{"/data/work/model_params.txt"}))";
    QTest::newRow("nothing escaped") << HostRequest::isGetGThemes(R"(My "View" 2\a)")
                                     << R"(av.Run("isGetGThemes",{"My "View" 2\a"}))";
}

void TestHostRequest::buildsExactRequestStrings()
{
    QFETCH(QString, built);
    QFETCH(QString, expected);
    QCOMPARE(built, expected);
}

void TestHostRequest::parsesWhatItBuilds()
{
    QString script;
    QStringList args;
    QVERIFY(
        HostRequest::parseRunScript(HostRequest::isGetFldNames("View 1", "", 0), &script, &args));
    QCOMPARE(script, QStringLiteral("isGetFldNames"));
    QCOMPARE(args, QStringList({"View 1", "", "0"}));
    QVERIFY(HostRequest::parseRunScript(HostRequest::runScript("noArgs", {}), &script, &args));
    QCOMPARE(script, QStringLiteral("noArgs"));
    QVERIFY(args.isEmpty());
}

void TestHostRequest::refusesItemsNotInRunForm_data()
{
    QTest::addColumn<QString>("item");
    QTest::newRow("plain expression") << "av.GetActiveDoc.GetName";
    QTest::newRow("blank after comma") << R"(av.Run("isGetFThemes",{"View1", "2"}))";
    QTest::newRow("trailing comma") << R"(av.Run("isGetFThemes",{"View1",}))";
    QTest::newRow("unterminated") << R"(av.Run("isGetFThemes",{"View1})";
}

void TestHostRequest::refusesItemsNotInRunForm()
{
    QFETCH(QString, item);
    QString script;
    QStringList args;
    QVERIFY(!HostRequest::parseRunScript(item, &script, &args));
}

void TestHostRequest::comparesCommandsLowerCasedAndExact_data()
{
    QTest::addColumn<QString>("received");
    QTest::addColumn<bool>("matches");
    QTest::newRow("as sent") << "{view}" << true;
    QTest::newRow("upper case") << "{VIEW}" << true;
    QTest::newRow("leading blank") << " {view}" << false;
    QTest::newRow("trailing blank") << "{view} " << false;
}

void TestHostRequest::comparesCommandsLowerCasedAndExact()
{
    QFETCH(QString, received);
    QFETCH(bool, matches);
    QCOMPARE(HostLink::isCommand(received, HostLink::CmdView), matches);
}

void TestHostRequest::recognisesListFiles_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<bool>("isFile");
    QTest::newRow("names") << "parcels#blocks" << false;
    QTest::newRow("absolute path") << "/tmp/list.txt" << true;
    QTest::newRow("backslash path") << R"(C:\TEMP\av123.tmp)" << true;
}

void TestHostRequest::recognisesListFiles()
{
    QFETCH(QString, answer);
    QFETCH(bool, isFile);
    QCOMPARE(ListAnswer::isListFile(answer), isFile);
}

void TestHostRequest::splitsJoinedNamesKeepingEmptyEntries()
{
    QCOMPARE(ListAnswer::split("parcels#census blocks"), QStringList({"parcels", "census blocks"}));
    QCOMPARE(ListAnswer::split("a##b#"), QStringList({"a", "", "b", ""}));
    QCOMPARE(ListAnswer::split(""), QStringList());
}

void TestHostRequest::readsLastLineOfListFileAndDeletesIt_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("names");
    QTest::newRow("one line") << QByteArray("a#b") << QStringList({"a", "b"});
    QTest::newRow("last of several, CR LF, final line end")
        << QByteArray("header\r\nold#list\r\nx#y#z\r\n") << QStringList({"x", "y", "z"});
    QTest::newRow("CR alone") << QByteArray("first\rsecond#third")
                              << QStringList({"second", "third"});
    QTest::newRow("UTF-8 with byte order mark")
        << QByteArray("\xef\xbb\xbfZ\xc3\xbcrich#Gen\xc3\xa8ve")
        << QStringList({"Zürich", "Genève"});
    QTest::newRow("Windows-1252") << QByteArray("Z\xfcrich#\x80uro")
                                  << QStringList({"Zürich", "€uro"});
    QTest::newRow("empty file") << QByteArray() << QStringList();
}

void TestHostRequest::readsLastLineOfListFileAndDeletesIt()
{
    QFETCH(QByteArray, content);
    QFETCH(QStringList, names);
    QTemporaryDir dir;
    const QString path = dir.filePath("list.tmp");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.close();

    QString error;
    QCOMPARE(ListAnswer::split(path, &error), names);
    QVERIFY(error.isEmpty());
    QVERIFY(!QFile::exists(path));
}

void TestHostRequest::reportsUnreadableListFile()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("gone.tmp");
    QString error;
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("cannot read list file .*gone.tmp"));
    QCOMPARE(ListAnswer::split(path, &error), QStringList());
    QVERIFY(error.contains(path));
}

QTEST_GUILESS_MAIN(TestHostRequest)
#include "tst_hostrequest.moc"
