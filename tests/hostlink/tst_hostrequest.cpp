#include "hostlink/hostrequest.h"
#include "hostlink/listanswer.h"
#include "tests/support/testfiles.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

class TestHostRequest : public QObject {
    Q_OBJECT
private slots:
    void requestsEscapeNothingAndListsKeepEmptyEntries()
    {
        // The launcher's tests hold every request string; arguments go in as they are.
        QCOMPARE(HostRequest::isGetGThemes(R"(My "View" 2\a)"),
                 R"(av.Run("isGetGThemes",{"My "View" 2\a"}))");
        QCOMPARE(ListAnswer::split("parcels#census blocks"),
                 QStringList({"parcels", "census blocks"}));
        QCOMPARE(ListAnswer::split("a##b#"), QStringList({"a", "", "b", ""}));
        QCOMPARE(ListAnswer::split(""), QStringList());
        QVERIFY(ListAnswer::isListFile(R"(C:\TEMP\av123.tmp)"));
    }

    void readsLastLineOfListFileAndDeletesIt_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QStringList>("names");
        QTest::newRow("last of several, CR LF, final line end")
            << QByteArray("header\r\nold#list\r\nx#y#z\r\n") << QStringList({"x", "y", "z"});
        QTest::newRow("CR alone") << QByteArray("first\rsecond#third")
                                  << QStringList({"second", "third"});
        QTest::newRow("UTF-8 with byte order mark")
            << QByteArray("\xef\xbb\xbfZ\xc3\xbcrich#Gen\xc3\xa8ve")
            << QStringList({"Zürich", "Genève"});
        QTest::newRow("Windows-1252")
            << QByteArray("Z\xfcrich#\x80uro") << QStringList({"Zürich", "€uro"});
        QTest::newRow("Windows-1252 after a byte order mark")
            << QByteArray("\xef\xbb\xbfZ\xfcrich") << QStringList({"Zürich"});
    }
    void readsLastLineOfListFileAndDeletesIt()
    {
        QFETCH(QByteArray, content);
        QFETCH(QStringList, names);
        QTemporaryDir dir;
        const QString path = dir.filePath("list.tmp");
        QVERIFY(writeFile(path, content));
        QString error;
        QCOMPARE(ListAnswer::split(path, &error), names);
        QVERIFY(error.isEmpty());
        QVERIFY(!QFile::exists(path));
    }

    void reportsUnreadableListFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("gone.tmp");
        QString error;
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("cannot read list file .*gone.tmp"));
        QCOMPARE(ListAnswer::split(path, &error), QStringList());
        QVERIFY(error.contains(path));
    }
};

QTEST_GUILESS_MAIN(TestHostRequest)
#include "tst_hostrequest.moc"
