#include "model/storelocation.h"
#include "tests/support/testfiles.h"

#include <QtTest>

#include <unistd.h>

// Which store a program uses: the rule every program follows, on installations of each shape.
class tst_StoreLocation : public QObject {
    Q_OBJECT

    QTemporaryDir* m_dir = nullptr;

    QString path(const QString& name) const { return m_dir->filePath(name); }

private slots:
    void init()
    {
        m_dir = new QTemporaryDir;
        QVERIFY(m_dir->isValid());
        QVERIFY(QDir().mkpath(path("prefix/bin")));
    }
    void cleanup()
    {
        QFile::setPermissions(path("prefix/etc"), QFileDevice::Permissions(0x7700));
        delete m_dir;
        m_dir = nullptr;
    }

    void followsTheRule_data()
    {
        QTest::addColumn<QString>("layout"); // files under prefix/, "+" between them
        QTest::addColumn<QString>("given");
        QTest::addColumn<QString>("dataHome"); // under the test's folder
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("used");         // the store in use, under the test's folder
        QTest::addColumn<QByteArray>("userStore"); // the user's store afterwards; "-": none
        const auto row = [](const char* name, const char* layout, const char* given,
                            const char* dataHome, StoreLocation::Kind kind, const char* used,
                            const char* userStore) {
            QTest::newRow(name) << layout << given << dataHome << int(kind) << used
                                << QByteArray(userStore);
        };
        using K = StoreLocation::Kind;
        row("given on the command line", "etc/isprops.xml=E", "mine.xml", "data", K::Given,
            "mine.xml", "-");
        row("build tree or own prefix", "etc/isprops.xml=E", "", "data", K::BesidePrograms,
            "prefix/bin/../etc/isprops.xml", "-");
        row("writable folder, no store yet", "etc/", "", "data", K::BesidePrograms,
            "prefix/bin/../etc/isprops.xml", "-");
        row("system package", "share/tarn/isprops.xml=S", "", "data", K::User,
            "data/tarn/isprops.xml", "S");
        // Some systems have a /usr/etc that root can write; it holds no store of ours.
        row("system package, etc/ beside it", "etc/+share/tarn/isprops.xml=S", "", "data", K::User,
            "data/tarn/isprops.xml", "S");
        row("system package, user's store kept", "share/tarn/isprops.xml=S+~=U", "", "data",
            K::User, "data/tarn/isprops.xml", "U");
        row("etc is a file", "etc=x+share/tarn/isprops.xml=S", "", "data", K::User,
            "data/tarn/isprops.xml", "S");
        row("no installation store", "", "", "data", K::User, "data/tarn/isprops.xml", "-");
        row("user's store cannot be made", "share/tarn/isprops.xml=S", "", "file/data",
            K::Installation, "prefix/bin/../share/tarn/isprops.xml", "-");
        row("shared prefix nobody may write", "etc/isprops.xml=E+etc/-w", "", "data", K::User,
            "data/tarn/isprops.xml", "E");
    }
    void followsTheRule()
    {
        QFETCH(QString, layout);
        QFETCH(QString, given);
        QFETCH(QString, dataHome);
        QFETCH(int, kind);
        QFETCH(QString, used);
        QFETCH(QByteArray, userStore);
        QVERIFY(writeFile(path("file"), "a file, not a folder"));
        const QString user = path(dataHome + "/tarn/isprops.xml");
        bool readOnlyEtc = false;
        for (const QString& item : layout.split('+', Qt::SkipEmptyParts)) {
            if (item == "etc/-w") {
                readOnlyEtc = true;
            } else if (item.endsWith('/')) {
                QVERIFY(QDir().mkpath(path("prefix/" + item)));
            } else {
                const QString name = item.section('=', 0, 0);
                const QString file = name == "~" ? user : path("prefix/" + name);
                QVERIFY(QDir().mkpath(QFileInfo(file).path()));
                QVERIFY(writeFile(file, item.section('=', 1).toUtf8()));
            }
        }
        if (readOnlyEtc) {
            if (geteuid() == 0) {
                QSKIP("root writes any folder");
            }
            QVERIFY(QFile::setPermissions(path("prefix/etc"),
                                          QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        }
        const StoreLocation location = locateStore(given.isEmpty() ? QString() : path(given),
                                                   path("prefix/bin"), path(dataHome));
        QCOMPARE(int(location.kind), kind);
        QCOMPARE(location.path, path(used));
        QCOMPARE(location.userPath, user);
        QCOMPARE(location.note.isEmpty(), location.kind != StoreLocation::Kind::Installation);
        QCOMPARE(QFileInfo::exists(user) ? readFile(user) : QByteArray("-"), userStore);
        // No copy left half-made beside it.
        QCOMPARE(QDir(QFileInfo(user).path()).entryList(QDir::Files | QDir::Hidden).size(),
                 QFileInfo::exists(user) ? 1 : 0);
    }

    void userDataHomeFollowsXdg_data()
    {
        QTest::addColumn<QByteArray>("xdg");
        QTest::addColumn<QString>("expected");
        QTest::newRow("set") << QByteArray("/srv/data") << "/srv/data";
        // The convention ignores a relative path, which would depend on the current folder.
        QTest::newRow("relative") << QByteArray("data") << QDir::homePath() + "/.local/share";
        QTest::newRow("unset") << QByteArray() << QDir::homePath() + "/.local/share";
    }
    void userDataHomeFollowsXdg()
    {
        QFETCH(QByteArray, xdg);
        QFETCH(QString, expected);
        const QByteArray saved = qgetenv("XDG_DATA_HOME");
        xdg.isEmpty() ? qunsetenv("XDG_DATA_HOME") : qputenv("XDG_DATA_HOME", xdg);
        const QString home = userDataHome();
        const QString store = userStorePath();
        saved.isEmpty() ? qunsetenv("XDG_DATA_HOME") : qputenv("XDG_DATA_HOME", saved);
        QCOMPARE(home, expected);
        QCOMPARE(store, expected + "/tarn/isprops.xml");
    }
};

QTEST_GUILESS_MAIN(tst_StoreLocation)
#include "tst_storelocation.moc"
