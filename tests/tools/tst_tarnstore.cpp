#include "model/store.h"
#include "model/storelock.h"
#include "tests/support/testfiles.h"

#include <QtTest>

// tarn-store run as a process: exit codes, output and messages.
class tst_TarnStore : public QObject {
    Q_OBJECT

    QTemporaryDir* m_dir = nullptr;
    QString m_store;

    struct Run {
        int exit = -1;
        QByteArray out;
        QString err;
    };

    // Relative paths in args name files of the test's folder.
    void start(QProcess& p, const QStringList& args, bool withStore = true) const
    {
        p.setWorkingDirectory(m_dir->path());
        p.start(QStringLiteral(TARN_BIN_DIR "/tarn-store"),
                withStore ? QStringList{"--store", m_store} + args : args);
    }
    static Run finish(QProcess& p)
    {
        Run r;
        if (!p.waitForFinished(30000)) {
            return r;
        }
        r.exit = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        r.out = p.readAllStandardOutput();
        r.err = QString::fromUtf8(p.readAllStandardError());
        return r;
    }
    Run run(const QStringList& args, bool withStore = true) const
    {
        QProcess p;
        start(p, args, withStore);
        return finish(p);
    }

    QString write(const QString& name, const QByteArray& bytes) const
    {
        writeFile(m_dir->filePath(name), bytes);
        return m_dir->filePath(name);
    }
    QByteArray storeBytes() const { return readFile(m_store); }

private slots:
    void init()
    {
        m_dir = new QTemporaryDir;
        QVERIFY(m_dir->isValid());
        m_store = m_dir->filePath(QStringLiteral("isprops.xml"));
        QVERIFY(QFile::copy(QStringLiteral(TARN_SOURCE_DIR "/etc/isprops.xml"), m_store));
        QFile::setPermissions(m_store, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    }
    void cleanup()
    {
        delete m_dir;
        m_dir = nullptr;
    }

    // Commands that only read, and refusals: the exit status, what is printed ("*" ends a
    // prefix), a part of the message, and the store left as it was.
    void commandsAnswerWithTheirExitStatus_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exit");
        QTest::addColumn<QByteArray>("out");
        QTest::addColumn<QStringList>("err"); // parts of the message; %1: the test's folder
        const auto row = [](const char* name, const QStringList& args, int exit, const char* out,
                            const QStringList& err = {}) {
            QTest::newRow(name) << args << exit << QByteArray(out) << err;
        };
        row("help", {"--help"}, 0, "Usage: tarn-store*");
        row("no command", {}, 2, "", {"Usage: tarn-store"});
        row("unknown command", {"frobnicate"}, 2, "", {"Usage: tarn-store"});
        row("missing argument", {"show"}, 2, "", {"Usage: tarn-store"});
        row("list", {"list"}, 0, "NLCD Land Cover\nTR-55 Urban Districts\n");
        row("check", {"check"}, 0, "2 sets, 28 classes\n");
        row("show", {"show", "TR-55 Urban Districts"}, 0,
            "Value,ClassName,High,Medium,Low\r\n1,Commercial and Business,85,85,85\r\n*");
        row("show, names compared exactly", {"show", "tr-55 urban districts"}, 1, "");
        row("export of no such set", {"export", "No such set", "x.csv"}, 1, "");
        row("export below a file", {"export", "TR-55 Urban Districts", "a.csv/x.csv"}, 1, "",
            {"a.csv/x.csv"});
        row("import of a missing file", {"import", "missing.csv", "Other"}, 1, "", {"missing.csv"});
        row("merge of a file that is not a store", {"merge", "a.csv"}, 1, "",
            {"Failed To Load XML - Invalid file format."});
        row("import under a name in use", {"import", "a.csv", "NLCD Land Cover"}, 1, "",
            {"Coefficient Set name must be unique. Please reenter."});
        row("import under a blank name", {"import", "a.csv", "   "}, 1, "",
            {"Coefficient Set name must not be empty."});
        row("import of a bad coefficient", {"import", "bad.csv", "Other"}, 1, "",
            {"Invalid coefficient in import file bad.csv. ", "bad.csv:2:"});
        row("import into a read-only store", {"import", "a.csv", "A"}, 1, "",
            {saveFailureMessage("%1/isprops.xml")});
        // Gives up after a few seconds.
        row("import while another holds the lock", {"import", "a.csv", "A"}, 1, "",
            {StoreLock::busyMessage("%1/isprops.xml")});
    }
    void commandsAnswerWithTheirExitStatus()
    {
        QFETCH(QStringList, args);
        QFETCH(int, exit);
        QFETCH(QByteArray, out);
        QFETCH(QStringList, err);
        write(QStringLiteral("a.csv"), "1,A,1,1,1\n");
        write(QStringLiteral("bad.csv"), "5,A,1,2,3\r\n6,B,1,2,300\r\n");
        QLockFile held(m_store + ".lock");
        if (QByteArray(QTest::currentDataTag()).contains("lock")) {
            QVERIFY(held.tryLock(0));
        } else if (QByteArray(QTest::currentDataTag()).contains("read-only")) {
            QFile::setPermissions(m_store, QFileDevice::ReadOwner);
        }
        const QByteArray before = storeBytes();
        const Run r = run(args);
        QCOMPARE(r.exit, exit);
        QCOMPARE(out.endsWith('*') ? r.out.left(out.size() - 1) + '*' : r.out, out);
        for (const QString& part : err.replaceInStrings("%1", m_dir->path())) {
            QVERIFY2(r.err.contains(part), qPrintable(r.err));
        }
        QCOMPARE(storeBytes(), before);
        QVERIFY(!QFileInfo::exists(m_dir->filePath(QStringLiteral("x.csv"))));
    }

    void badStoreIsRefusedAndLeftAlone_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QStringList>("args");
        const QByteArray broken = "<ISModelProperties>\r\n  <ISLCDefs>\r\n";
        for (const char* command : {"check", "format", "list"}) {
            QTest::addRow("broken, %s", command) << broken << QStringList{command};
        }
        QTest::newRow("broken, merge") << broken << QStringList{"merge", "isprops.xml"};
        // Some other XML document is read as a store without sets, but never replaced by one.
        const QByteArray other = "<Other>\r\n  <ISLCDefs/>\r\n</Other>\r\n";
        QTest::newRow("other root, format") << other << QStringList{"format"};
        QTest::newRow("other root, import") << other << QStringList{"import", "a.csv", "A"};
        QTest::newRow("other root, merge") << other << QStringList{"merge", "isprops.xml"};
    }
    void badStoreIsRefusedAndLeftAlone()
    {
        QFETCH(QByteArray, content);
        QFETCH(QStringList, args);
        write(QStringLiteral("isprops.xml"), content);
        write(QStringLiteral("a.csv"), "1,A,1,1,1\n");
        const Run r = run(args);
        QCOMPARE(r.exit, 1);
        QVERIFY2(r.err.contains(m_store), qPrintable(r.err));
        QCOMPARE(storeBytes(), content);
    }

    void formatRewritesInTheStoreLayout()
    {
        write(QStringLiteral("isprops.xml"),
              "<ISModelProperties><ISLCDefs><ISLCDef><LCType>A</LCType></ISLCDef></ISLCDefs>"
              "</ISModelProperties>");
        QCOMPARE(run({"format"}).exit, 0);
        QCOMPARE(storeBytes(), QByteArray("  <ISModelProperties>\r\n    <ISLCDefs>\r\n"
                                          "      <ISLCDef>\r\n        <LCType>\r\n          A\r\n"
                                          "        </LCType>\r\n        <LCClasses/>\r\n"
                                          "      </ISLCDef>\r\n    </ISLCDefs>\r\n"
                                          "  </ISModelProperties>\r\n"));
    }

    void importAddsATrimmedNameAndCreatesAMissingStore()
    {
        const QString good =
            write(QStringLiteral("good.csv"), "Value,ClassName,High,Medium,Low\r\n5,A,1,2,3\r\n");
        QCOMPARE(run({"import", good, "  Mine "}).exit, 0);
        QCOMPARE(run({"list"}).out, QByteArray("NLCD Land Cover\nTR-55 Urban Districts\nMine\n"));
        m_store = m_dir->filePath(QStringLiteral("new.xml"));
        QCOMPARE(run({"import", good, "A"}).exit, 0);
        QCOMPARE(run({"check"}).out, QByteArray("1 sets, 1 classes\n"));
    }

    void exportWritesTheSet()
    {
        const QString csv = m_dir->filePath(QStringLiteral("out.csv"));
        QCOMPARE(run({"export", "TR-55 Urban Districts", csv}).exit, 0);
        QCOMPARE(readFile(csv), run({"show", "TR-55 Urban Districts"}).out);
    }
    void mergeRenamesAndSays()
    {
        const QString other = m_dir->filePath(QStringLiteral("other.xml"));
        QVERIFY(QFile::copy(m_store, other));
        const Run r = run({"merge", other});
        QCOMPARE(r.exit, 0);
        QCOMPARE(r.out, QByteArray("NLCD Land Cover2\nTR-55 Urban Districts2\n"));
        QVERIFY(
            r.err.contains(QStringLiteral("Coefficient sets were found with the duplicate names. "
                                          "A '2' was appended to the names of all duplicates.")));
        QCOMPARE(run({"check"}).out, QByteArray("4 sets, 56 classes\n"));
    }
    void concurrentImportsLoseNothing()
    {
        const QString csv = write(QStringLiteral("a.csv"), "1,A,1,1,1\n");
        QStringList expected{"NLCD Land Cover", "TR-55 Urban Districts"};
        for (int i = 0; i < 20; i += 2) {
            QProcess first;
            QProcess second;
            start(first, {"import", csv, QString::number(i)});
            start(second, {"import", csv, QString::number(i + 1)});
            QCOMPARE(finish(first).exit, 0);
            QCOMPARE(finish(second).exit, 0);
            expected << QString::number(i) << QString::number(i + 1);
        }
        QStringList names = QString::fromUtf8(run({"list"}).out).split('\n', Qt::SkipEmptyParts);
        names.sort();
        expected.sort();
        QCOMPARE(names, expected);
        QVERIFY(!QFileInfo::exists(m_store + ".lock"));
    }

    void fullDiskNamesTheSystemsReason()
    {
        // A file system of its own, 64 KiB and full; mounting it needs root (as in CI).
        const QString mount = m_dir->filePath(QStringLiteral("small"));
        QVERIFY(QDir().mkpath(mount));
        const QString csv = write(QStringLiteral("a.csv"), "1,A,1,1,1\n");
        const QString script = QStringLiteral(
            "mount -t tmpfs -o size=64k tmpfs \"$1\" || exit 0\n"
            "echo mounted\n"
            "cp \"$2\" \"$1/isprops.xml\" && head -c 100000 /dev/zero >\"$1/fill\" 2>/dev/null\n"
            "\"$4\" --store \"$1/isprops.xml\" import \"$3\" A\n"
            "echo \"exit $?\"\n"
            "cmp -s \"$2\" \"$1/isprops.xml\" && echo unchanged\n");
        QProcess p;
        p.start(QStringLiteral("unshare"),
                {"-m", "sh", "-c", script, "sh", mount, m_store, csv, TARN_BIN_DIR "/tarn-store"});
        const Run r = finish(p);
        if (!r.out.startsWith("mounted")) {
            QSKIP("cannot mount a small file system here");
        }
        QCOMPARE(r.out, QByteArray("mounted\nexit 1\nunchanged\n"));
        QVERIFY2(r.err.endsWith(QStringLiteral(": No space left on device\n")), qPrintable(r.err));
    }
};

QTEST_GUILESS_MAIN(tst_TarnStore)
#include "tst_tarnstore.moc"
