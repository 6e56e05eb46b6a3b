#include "commandsource.h"
#include "frmisprocessing.h"
#include "launcherfixture.h"

#include <QComboBox>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest>

// The launcher against the real stand-in host on the demo project.
class TestLauncherEndToEnd : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void runThroughHostWritesFileAndNoticeCloses();
    void hostStartsLauncherAndQuitsIt();

private:
    QProcessEnvironment environment() const;
    // Waits until the host's log holds the line; false when the host ends first.
    bool waitForLog(QProcess& host, const QString& line);

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_log;
};

void TestLauncherEndToEnd::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_log.clear();
}

void TestLauncherEndToEnd::cleanup()
{
    m_dir.reset();
}

QProcessEnvironment TestLauncherEndToEnd::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_dir->path());
    env.insert(QStringLiteral("TMPDIR"), m_dir->path()); // the demo's $TEMP/tarn-demo
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    return env;
}

bool TestLauncherEndToEnd::waitForLog(QProcess& host, const QString& line)
{
    // A guard against a host that hangs, far beyond any normal answer time.
    QDeadlineTimer guard(60000);
    while (!guard.hasExpired()) {
        m_log += QString::fromUtf8(host.readAllStandardOutput());
        if (m_log.split(QLatin1Char('\n')).contains(line)) {
            return true;
        }
        if (host.state() == QProcess::NotRunning) {
            return false;
        }
        // Keeps this process's own endpoints serving while it waits.
        QTest::qWait(20);
        if (!host.waitForReadyRead(100) && host.state() == QProcess::NotRunning) {
            m_log += QString::fromUtf8(host.readAllStandardOutput());
            return m_log.split(QLatin1Char('\n')).contains(line);
        }
    }
    return false;
}

void TestLauncherEndToEnd::runThroughHostWritesFileAndNoticeCloses()
{
    QProcess host;
    host.setProcessEnvironment(environment());
    host.setProcessChannelMode(QProcess::SeparateChannels);
    host.start(
        QStringLiteral(TARN_BIN_DIR "/tarnhost"),
        {QStringLiteral("serve"), QStringLiteral(TARN_SOURCE_DIR "/examples/demo-project.json")});
    QVERIFY(host.waitForStarted());
    QVERIFY2(waitForLog(host, QStringLiteral("serving ISServer.System at ") + m_dir->path() +
                                  QStringLiteral("/ISServer.System for view \"View1\", working "
                                                 "directory ") +
                                  m_dir->path() + QStringLiteral("/tarn-demo")),
             qPrintable(m_log + host.readAllStandardError()));

    // The launcher in this process, with the host as a separate one.
    qputenv("XDG_RUNTIME_DIR", m_dir->path().toUtf8());
    const QString store = m_dir->filePath(QStringLiteral("etc/isprops.xml"));
    Demo::writeStore(store);
    ScriptedPrompts prompts(QStringLiteral("TARN"));
    ClientLink link;
    link.setTimeout(100);
    frmISParams form(store, prompts, link);
    QVERIFY(form.Form_Load());
    CommandSource source(QStringLiteral("tarn"));
    source.setExecuteHandler(
        [&form](const QString& command) { return form.HandleHostCommand(command); });
    QCOMPARE(source.listen(), CommandSource::ListenResult::Listening);
    form.show();

    auto* field = control<QComboBox>(&form, "cboAnalysisUnit");
    QCOMPARE(field->itemText(2), QStringLiteral("ZONING"));
    field->setCurrentIndex(2);
    QCOMPARE(control<QComboBox>(&form, "cboLCUnits")->currentText(), QStringLiteral("Meters"));
    control<QRadioButton>(&form, "optPopDensity", 1)->setChecked(true);
    control<QLineEdit>(&form, "txtOutputTheme")->setText(QStringLiteral("/data/out/parcels_is"));
    form.txtOutputTheme_LostFocus();
    control<QPushButton>(&form, "cmdISRun")->click();
    QCOMPARE(prompts.messageTexts(), QStringList());

    const QString paramPath = m_dir->path() + QStringLiteral("/tarn-demo/model_params.txt");
    QFile file(paramPath);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("VIEW#View1\r\n"
                                        "LCTHEME#landcover_2016\r\n"
                                        "LCUNITS#Meters\r\n"
                                        "ANALYSISTHEME#parcels\r\n"
                                        "ANALYSISUNIT#ZONING\r\n"
                                        "POPDENSITY#1\r\n"
                                        "OUTTHEME#/data/out/parcels_is.shp\r\n"
                                        "OUTTHEMENAME#parcels_is\r\n"
                                        "CLASS#41#Forest#80#62.5#0\r\n"
                                        "CLASS#21#Developed, Low#12.5#7.5#2\r\n"
                                        "CLASS#-3#Water#1#1#1\r\n"));

    // The host answers, then closes the notice with its command.
    QVERIFY(waitForLog(host, QStringLiteral("request: av.Run(\"isCallExecuteModel\",{\"") +
                                 paramPath + QStringLiteral("\"})")));
    QVERIFY(waitForLog(host, QStringLiteral("answer: Submitted")));
    QTRY_VERIFY(!frmISProcessing::current());

    host.terminate();
    QVERIFY(host.waitForFinished());
}

void TestLauncherEndToEnd::hostStartsLauncherAndQuitsIt()
{
    QProcess host;
    host.setProcessEnvironment(environment());
    host.start(QStringLiteral(TARN_BIN_DIR "/tarnhost"),
               {QStringLiteral("start"),
                QStringLiteral(TARN_SOURCE_DIR "/examples/demo-project.json"),
                QStringLiteral("tarn")});
    QVERIFY(host.waitForStarted());
    // The real launcher asks its start-up questions in order, then waits for the user.
    QVERIFY2(waitForLog(host, QStringLiteral("request: av.Run(\"isGetViewUnits\",{\"View1\"})")),
             qPrintable(m_log));
    const QStringList requests = m_log.split(QLatin1Char('\n')).filter(QStringLiteral("request: "));
    QCOMPARE(requests,
             QStringList({"request: av.GetActiveDoc.GetName",
                          "request: av.Run(\"isGetGThemes\",{\"View1\"})",
                          "request: av.Run(\"isGetFThemes\",{\"View1\",\"2\"})",
                          "request: av.Run(\"isGetFldNames\",{\"View1\",\"parcels\",\"2\"})",
                          "request: av.Run(\"isGetViewUnits\",{\"View1\"})"}));

    const auto send = [this](const QString& command) {
        QProcess sender;
        sender.setProcessEnvironment(environment());
        sender.start(QStringLiteral(TARN_BIN_DIR "/tarnhost"),
                     {QStringLiteral("send"), QStringLiteral("tarn"), command});
        sender.waitForFinished();
        return sender.exitCode();
    };
    // The launcher's command source may come up just after its last request.
    QTRY_COMPARE(send(QStringLiteral("{view}")), 0);
    QCOMPARE(send(QStringLiteral("{nonsense}")), 1);
    QCOMPARE(send(QStringLiteral("{quit}")), 0);
    QVERIFY2(waitForLog(host, QStringLiteral("tarn ended with status 0")), qPrintable(m_log));
    // The host ends with its program.
    if (host.state() != QProcess::NotRunning) {
        QVERIFY(host.waitForFinished());
    }
    QCOMPARE(host.exitCode(), 0);
}

QTEST_MAIN(TestLauncherEndToEnd)
#include "tst_launchere2e.moc"
