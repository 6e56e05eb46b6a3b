#include "model/store.h"
#include "model/storelock.h"
#include "tests/support/testfiles.h"

#include <QtTest>

#include <unistd.h>

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

    // The command that runs a program as a user who cannot write the test's folder (nobody,
    // when the tests run as root, as in CI; else this user, with the folder made read-only),
    // or nothing when that cannot be arranged here.
    QStringList asUserWithoutWriteAccess() const
    {
        if (geteuid() != 0) {
            QFile::setPermissions(m_dir->path(), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
            return {QStringLiteral("env")};
        }
        const QStringList setpriv{"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"};
        QFile::setPermissions(m_dir->path(), QFileDevice::Permissions(0x7555));
        QFile::setPermissions(m_store, QFileDevice::Permissions(0x6666));
        QProcess probe;
        probe.start(setpriv.first(),
                    setpriv.mid(1) + QStringList{TARN_BIN_DIR "/tarn-store", "--version"});
        return probe.waitForFinished(30000) && probe.exitCode() == 0 ? setpriv : QStringList();
    }

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
        QFile::setPermissions(m_dir->path(), QFileDevice::Permissions(0x7700));
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
        // Something in the lock file's place is named, not taken for another program.
        row("import, a folder as lock file", {"import", "a.csv", "A"}, 1, "",
            {"'%1/isprops.xml.lock' is a folder, not a lock file"});
        row("import, a link as lock file", {"import", "a.csv", "A"}, 1, "",
            {"'%1/isprops.xml.lock' is a symbolic link, not a lock file"});
        row("where, given", {"where"}, 0, "%1/isprops.xml\ngiven on the command line\n");
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
        const QByteArray tag = QTest::currentDataTag();
        if (tag.contains("holds the lock")) {
            QVERIFY(held.tryLock(0));
        } else if (tag.contains("read-only")) {
            QFile::setPermissions(m_store, QFileDevice::ReadOwner);
        } else if (tag.contains("folder as lock")) {
            QVERIFY(QDir().mkdir(m_store + ".lock"));
        } else if (tag.contains("link as lock")) {
            QVERIFY(QFile::link(m_dir->filePath("gone"), m_store + ".lock"));
        }
        const QByteArray before = storeBytes();
        const Run r = run(args);
        QCOMPARE(r.exit, exit);
        out.replace("%1", m_dir->path().toUtf8());
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

    void storeInAFolderItsUserCannotWriteIsNeverWritten()
    {
        // Without its lock file a store is not saved, so two imports at once can neither
        // interleave nor write it in place: every set already there stays.
        const QString csv = write(QStringLiteral("a.csv"), "1,A,1,1,1\n");
        const QStringList runner = asUserWithoutWriteAccess();
        if (runner.isEmpty()) {
            QSKIP("cannot run the programs as a user without write access to a folder here");
        }
        const QByteArray before = storeBytes();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_DATA_HOME", m_dir->filePath("data"));
        for (int i = 0; i < 40; i += 2) {
            QProcess pair[2];
            for (int j = 0; j < 2; ++j) {
                pair[j].setProcessEnvironment(env);
                pair[j].start(runner.first(),
                              runner.mid(1) + QStringList{TARN_BIN_DIR "/tarn-store", "--store",
                                                          m_store, "import", csv,
                                                          QString::number(i + j)});
            }
            for (QProcess& p : pair) {
                const Run r = finish(p);
                QCOMPARE(r.exit, 1);
                QVERIFY2(r.err.contains("cannot be saved") &&
                             r.err.contains(m_dir->filePath("data/tarn/isprops.xml")),
                         qPrintable(r.err));
            }
        }
        QCOMPARE(storeBytes(), before);
    }

    void installationNobodyMayWriteGivesEachUserTheirOwnStore()
    {
        // The build tree's etc/ belongs to root: for nobody it is a shared installation.
        if (geteuid() != 0) {
            QSKIP("needs root, to run the programs as nobody");
        }
        const QStringList runner = asUserWithoutWriteAccess();
        if (runner.isEmpty()) {
            QSKIP("cannot run the programs as nobody here");
        }
        const QString data = m_dir->filePath("data");
        QVERIFY(QDir().mkdir(data));
        QFile::setPermissions(data, QFileDevice::Permissions(0x7777));
        const QString csv = write(QStringLiteral("a.csv"), "1,A,1,1,1\n");
        const QString bundled = TARN_BIN_DIR "/../etc/isprops.xml";
        const QByteArray before = readFile(bundled);
        const auto asNobody = [&](const QStringList& args) {
            QProcess p;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("XDG_DATA_HOME", data);
            p.setProcessEnvironment(env);
            p.start(runner.first(), runner.mid(1) + QStringList{TARN_BIN_DIR "/tarn-store"} + args);
            return finish(p);
        };
        const QString own = data + "/tarn/isprops.xml";
        QCOMPARE(asNobody({"where"}).out.split('\n').value(0), own.toUtf8());
        QCOMPARE(readFile(own), before);
        QCOMPARE(asNobody({"import", csv, "Mine"}).exit, 0);
        QCOMPARE(asNobody({"list"}).out,
                 QByteArray("NLCD Land Cover\nTR-55 Urban Districts\nMine\n"));
        QCOMPARE(readFile(bundled), before);
    }

    void fullDiskLeavesTheStoreWhole_data()
    {
        QTest::addColumn<bool>("folderWritable");
        QTest::addColumn<QString>("reason"); // a part of the message
        QTest::newRow("folder writable") << true << "(No space left on device)";
        // Never written in place, where a full disk would leave it truncated.
        QTest::newRow("folder its user cannot write") << false << "cannot be written)";
    }
    void fullDiskLeavesTheStoreWhole()
    {
        // A file system of its own, 64 KiB and full; mounting it needs root (as in CI).
        QFETCH(bool, folderWritable);
        QFETCH(QString, reason);
        const QString mount = m_dir->filePath(QStringLiteral("small"));
        QVERIFY(QDir().mkpath(mount));
        const QString csv = write(QStringLiteral("a.csv"), "1,A,1,1,1\n");
        const QStringList runner = geteuid() != 0   ? QStringList()
                                   : folderWritable ? QStringList{"env"}
                                                    : asUserWithoutWriteAccess();
        if (runner.isEmpty()) {
            QSKIP("cannot mount a small file system, or run as another user, here");
        }
        const QString script =
            QStringLiteral("mount -t tmpfs -o size=64k,mode=755 tmpfs \"$1\" || exit 0\n"
                           "echo mounted\n"
                           "cp \"$2\" \"$1/isprops.xml\" && chmod 666 \"$1/isprops.xml\"\n"
                           "head -c 100000 /dev/zero >\"$1/fill\" 2>/dev/null\n"
                           "shift 4; \"$@\" --store \"$M/isprops.xml\" import \"$C\" A\n"
                           "echo \"exit $?\"\n"
                           "cmp -s \"$S\" \"$M/isprops.xml\" && echo unchanged\n");
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("M", mount);
        env.insert("S", m_store);
        env.insert("C", csv);
        p.setProcessEnvironment(env);
        p.start(QStringLiteral("unshare"),
                QStringList{"-m", "sh", "-c", script, "sh", mount, m_store, csv, "-"} + runner +
                    QStringList{TARN_BIN_DIR "/tarn-store"});
        const Run r = finish(p);
        if (!r.out.startsWith("mounted")) {
            QSKIP("cannot mount a small file system here");
        }
        QCOMPARE(r.out, QByteArray("mounted\nexit 1\nunchanged\n"));
        QVERIFY2(r.err.contains(reason), qPrintable(r.err));
    }
};

QTEST_GUILESS_MAIN(tst_TarnStore)
#include "tst_tarnstore.moc"
