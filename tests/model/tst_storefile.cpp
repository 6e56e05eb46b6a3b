#include "model/store.h"
#include "tests/support/testfiles.h"
#include "tests/support/testmodel.h"

#include <QtTest>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/resource.h>

// Loading and saving the store file: bad input never crashes and never reads as a store;
// a failed save leaves the old file as it was.
class tst_StoreFile : public QObject {
    Q_OBJECT

    QTemporaryDir* m_dir = nullptr;

    QString path(const QString& name) const { return m_dir->filePath(name); }

    static clsISModelProperties sampleModel(int sets = 1, int rows = 2)
    {
        QStringList texts;
        for (int s = 0; s < sets; ++s) {
            texts << QStringLiteral("Set %1").arg(s);
            for (int r = 0; r < rows; ++r) {
                texts.last() += QStringLiteral("|%1,Class %1,33.333332,12.5,0.%1").arg(r);
            }
        }
        return modelOf(texts);
    }

    static const QByteArray kStoreWithOneSet;

private slots:
    void init()
    {
        m_dir = new QTemporaryDir;
        QVERIFY(m_dir->isValid());
    }
    void cleanup()
    {
        delete m_dir;
        m_dir = nullptr;
    }

    void badFilesDoNotLoad_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("status");
        QTest::newRow("empty") << QByteArray() << int(StoreLoadResult::ParseError);
        QTest::newRow("cut off mid-tag")
            << kStoreWithOneSet.left(120) << int(StoreLoadResult::ParseError);
        QTest::newRow("binary junk")
            << QByteArray("\x00\x01\xff\xfe<\x02>\x7f", 9) << int(StoreLoadResult::ParseError);
        QTest::newRow("text after the root")
            << QByteArray("<R/>junk") << int(StoreLoadResult::ParseError);
        QTest::newRow("two roots") << QByteArray("<R/><S/>") << int(StoreLoadResult::ParseError);
        QTest::newRow("billion laughs")
            << QByteArray("<?xml version=\"1.0\"?><!DOCTYPE lolz [<!ENTITY lol \"lol\">"
                          "<!ENTITY lol2 \"&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;\">"
                          "<!ENTITY lol3 \"&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;\">]>"
                          "<ISModelProperties><ISLCDefs><ISLCDef><LCType>&lol3;</LCType>"
                          "</ISLCDef></ISLCDefs></ISModelProperties>")
            << int(StoreLoadResult::ParseError);
        QTest::newRow("letters in a coefficient")
            << QByteArray(kStoreWithOneSet).replace("<LCMed>7.5</LCMed>", "<LCMed>x</LCMed>")
            << int(StoreLoadResult::ConversionError);
        QByteArray junk(50 * 1024 * 1024, 'x');
        QTest::newRow("50 MB of junk") << junk.prepend("<R>") << int(StoreLoadResult::ParseError);
        QTest::newRow("missing file") << QByteArray() << int(StoreLoadResult::FileError);
        QTest::newRow("a folder") << QByteArray() << int(StoreLoadResult::FileError);
    }
    void badFilesDoNotLoad()
    {
        QFETCH(QByteArray, content);
        QFETCH(int, status);
        const QString tag = QTest::currentDataTag();
        const QString file = tag == "a folder" ? m_dir->path() : path("isprops.xml");
        if (status != StoreLoadResult::FileError) {
            QVERIFY(writeFile(file, content));
        }
        clsISModelProperties model = sampleModel();
        StoreLoadResult result;
        QVERIFY(!LoadModelXML(model, file, &result));
        QCOMPARE(int(result.status), status);
        QCOMPARE(storeFileBytes(model), storeFileBytes(sampleModel()));
        QVERIFY(!result.description.isEmpty());
        QVERIFY(result.describe(QStringLiteral("f")).startsWith(QStringLiteral("f")));
    }

    void conversionFailureNamesTheLine()
    {
        clsISModelProperties model;
        QVERIFY(model.setXML(QString::fromUtf8(kStoreWithOneSet)));
        QByteArray bad = storeFileBytes(model);
        bad.replace("\r\n              2\r\n", "\r\n              two\r\n");
        QVERIFY(writeFile(path("s.xml"), bad));
        clsISModelProperties other;
        StoreLoadResult result;
        QVERIFY(!LoadModelXML(other, path("s.xml"), &result));
        QCOMPARE(int(result.status), int(StoreLoadResult::ConversionError));
        QCOMPARE(result.line, 18); // the <LCLow> line
        QVERIFY(result.description.contains(QStringLiteral("two")));
    }

    void deepNestingDoesNotExhaustTheStack()
    {
        const int depth = 200000;
        QByteArray deep = "<ISModelProperties><ISLCDefs><ISLCDef><LCType>";
        deep += QByteArray("<a>").repeated(depth) + "x" + QByteArray("</a>").repeated(depth);
        deep += "</LCType></ISLCDef></ISLCDefs></ISModelProperties>";
        QVERIFY(writeFile(path("deep.xml"), deep));
        clsISModelProperties model;
        QVERIFY(LoadModelXML(model, path("deep.xml")));
        QCOMPARE(model.ISLCDefs->Item(1)->LCType, QStringLiteral("x"));
    }

    void encodingsAndLineEnds_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("name");
        const QByteArray tmpl = "<R>\n<ISLCDefs>\n<ISLCDef>\n<LCType>\nNAME\n</LCType>\n</"
                                "ISLCDef>\n</ISLCDefs>\n</R>\n";
        QTest::newRow("utf-8") << QByteArray(tmpl).replace("NAME", "Caf\xc3\xa9")
                               << QStringLiteral("Caf\u00e9");
        QTest::newRow("byte order mark")
            << QByteArray("\xef\xbb\xbf") + QByteArray(tmpl).replace("NAME", "A")
            << QStringLiteral("A");
        // Only the file's own mark is skipped; "\uFEFFA" and "A" are two names.
        QTest::newRow("U+FEFF starting a name")
            << QByteArray("\xef\xbb\xbf") + QByteArray(tmpl).replace("NAME", "\xef\xbb\xbf"
                                                                             "A")
            << QStringLiteral("\uFEFFA");
        QTest::newRow("windows-1252") << QByteArray(tmpl).replace("NAME", "Caf\xe9 \x80 \x96")
                                      << QStringLiteral("Caf\u00e9 \u20ac \u2013");
        QTest::newRow("CR only") << QByteArray(tmpl).replace('\n', '\r').replace("NAME", "A")
                                 << QStringLiteral("A");
    }
    void encodingsAndLineEnds()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, name);
        QVERIFY(writeFile(path("s.xml"), content));
        clsISModelProperties model;
        QVERIFY(LoadModelXML(model, path("s.xml")));
        QCOMPARE(model.ISLCDefs->Item(1)->LCType, name);
        // Whatever was read is written back as UTF-8 and reads back the same.
        QVERIFY(SaveModelXML(model, path("s.xml")));
        clsISModelProperties again;
        QVERIFY(LoadModelXML(again, path("s.xml")));
        QCOMPARE(again.ISLCDefs->Item(1)->LCType, name);
    }

    void saveThenLoadGivesTheSameSets()
    {
        const clsISModelProperties model = sampleModel(3, 5);
        QVERIFY(SaveModelXML(model, path("s.xml")));
        clsISModelProperties back;
        QVERIFY(LoadModelXML(back, path("s.xml")));
        QCOMPARE(back.XML(), model.XML());
        QCOMPARE(back.ISLCDefs->Item(3)->LCClasses->Item(5)->LCHigh, 100.0f / 3.0f);
    }

    // The save is refused and nothing there changes, permissions included.
    void saveFailsLeavingWhatIsThere_data()
    {
        QTest::addColumn<QString>("store");
        QTest::newRow("read-only store, even for root") << "isprops.xml";
        QTest::newRow("folder that is a file") << "etc/isprops.xml";
        QTest::newRow("missing folder") << "no-such-folder/isprops.xml";
    }
    void saveFailsLeavingWhatIsThere()
    {
        QFETCH(QString, store);
        const auto readOnly = QFileDevice::ReadOwner | QFileDevice::ReadGroup;
        QVERIFY(writeFile(path("isprops.xml"), kStoreWithOneSet));
        QVERIFY(QFile::setPermissions(path("isprops.xml"), readOnly));
        QVERIFY(writeFile(path("etc"), "a file, not a folder"));
        QString why;
        QVERIFY(!SaveModelXML(sampleModel(), path(store), &why));
        QVERIFY(!why.isEmpty());
        QCOMPARE(readFile(path("isprops.xml")), kStoreWithOneSet);
        QCOMPARE(QFile::permissions(path("isprops.xml")) &
                     ~(QFileDevice::ReadUser | QFileDevice::WriteUser),
                 readOnly);
        QCOMPARE(readFile(path("etc")), QByteArray("a file, not a folder"));
        QVERIFY(!QFileInfo::exists(path("no-such-folder")));
    }

    void saveKeepsThePermissionsOfTheStore()
    {
        const QString store = path("isprops.xml");
        QVERIFY(writeFile(store, kStoreWithOneSet));
        const auto perms =
            QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup;
        QVERIFY(QFile::setPermissions(store, perms));
        QVERIFY(SaveModelXML(sampleModel(), store));
        QCOMPARE(QFile::permissions(store) & ~(QFileDevice::ReadUser | QFileDevice::WriteUser),
                 perms);
    }

    void fullDiskLeavesTheOldStore_data()
    {
        QTest::addColumn<int>("sets");
        QTest::addColumn<int>("rows");
        // A small store fits in one write buffer, whose failure used to surface only when the
        // save committed, unnoticed: an empty store reported as saved.
        QTest::newRow("small store") << 1 << 5;
        QTest::newRow("large store") << 20 << 50;
    }
    void fullDiskLeavesTheOldStore()
    {
        // A file size limit makes writes fail past it, as a full disk does.
        QFETCH(int, sets);
        QFETCH(int, rows);
        const QString store = path("isprops.xml");
        QVERIFY(writeFile(store, kStoreWithOneSet));
        const clsISModelProperties model = sampleModel(sets, rows);
        QVERIFY(storeFileBytes(model).size() < 16 * 1024 || sets > 1);

        struct rlimit saved {};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
        const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit small = saved;
        small.rlim_cur = storeFileBytes(model).size() / 2;
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
        QString why;
        const bool saved_ok = SaveModelXML(model, store, &why);
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previousHandler);

        QVERIFY(!saved_ok);
        QCOMPARE(why, QString::fromLocal8Bit(std::strerror(EFBIG))); // the system's reason
        QCOMPARE(readFile(store), kStoreWithOneSet);
        QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files | QDir::Hidden),
                 QStringList{"isprops.xml"});
    }

    void storePathIsBesideTheProgramFolder()
    {
        QCOMPARE(StorePath(), QCoreApplication::applicationDirPath() + "/../etc/isprops.xml");
        QCOMPARE(saveFailureMessage(),
                 "Failed To Save XML - verify the permissions to write to file '" +
                     QCoreApplication::applicationDirPath() + "/../etc/isprops.xml'.");
    }
};

const QByteArray tst_StoreFile::kStoreWithOneSet =
    "<ISModelProperties><ISLCDefs><ISLCDef><LCType>Suburban</LCType><LCClasses>"
    "<LCClass ID=\"41\"><LCName>Forest</LCName><LCHigh>12.5</LCHigh><LCMed>7.5</LCMed>"
    "<LCLow>2</LCLow></LCClass></LCClasses></ISLCDef></ISLCDefs></ISModelProperties>";

QTEST_GUILESS_MAIN(tst_StoreFile)
#include "tst_storefile.moc"
