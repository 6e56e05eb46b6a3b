#include "launcherfixture.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QtTest>

// The real stand-in host starts the real launcher as its own process on the demo project.
class TestLauncherEndToEnd : public QObject {
    Q_OBJECT
private slots:
    void hostStartsLauncherAndEndsWithIt()
    {
        QTemporaryDir dir;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir.path());
        env.insert(QStringLiteral("TMPDIR"), dir.path()); // the demo's $TEMP/tarn-demo
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        const auto tarnhost = [&env](QProcess& process, const QStringList& arguments) {
            process.setProcessEnvironment(env);
            process.start(QStringLiteral(TARN_BIN_DIR "/tarnhost"), arguments);
        };
        QProcess host;
        tarnhost(host, {QStringLiteral("start"),
                        QStringLiteral(TARN_SOURCE_DIR "/examples/demo-project.json"),
                        QStringLiteral("tarn")});
        QString log;
        // Waits until the host's log holds the line; false when the host ends first. The deadline
        // only guards against a host that hangs.
        const auto waitForLog = [&](const QString& line) {
            for (QDeadlineTimer guard(60000); !guard.hasExpired();) {
                host.waitForReadyRead(100);
                log += QString::fromUtf8(host.readAllStandardOutput());
                if (log.split(QLatin1Char('\n')).contains(line)) {
                    return true;
                }
                if (host.state() == QProcess::NotRunning) {
                    return false;
                }
            }
            return false;
        };
        // The real launcher asks its start-up questions in order, then waits for the user.
        QVERIFY2(waitForLog(QStringLiteral("request: ") + Req::Units), qPrintable(log));
        QStringList requests = log.split(QLatin1Char('\n')).filter(QStringLiteral("request: "));
        requests.replaceInStrings(QStringLiteral("request: "), QString());
        QCOMPARE(requests, QStringList({Req::ViewName, Req::GridThemes, Req::PolygonThemes,
                                        Req::ParcelFields, Req::Units}));

        const auto send = [&](const QString& command) {
            QProcess sender;
            tarnhost(sender, {QStringLiteral("send"), QStringLiteral("tarn"), command});
            sender.waitForFinished();
            return sender.exitCode();
        };
        // The launcher's command source may come up just after its last request; "{view}" can be
        // sent again while waiting.
        QTRY_COMPARE(send(QStringLiteral("{view}")), 0);
        // A second copy brings the first to the front and ends at once, asking the host nothing.
        QProcess second;
        second.setProcessEnvironment(env);
        second.start(QStringLiteral(TARN_BIN_DIR "/tarn"), {});
        QVERIFY(second.waitForFinished(60000));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        // Told to end, the host asks the launcher to end as its Quit would, and ends with it.
        host.terminate();
        QVERIFY2(waitForLog(QStringLiteral("asking tarn to end")), qPrintable(log));
        QVERIFY2(waitForLog(QStringLiteral("tarn is ending")), qPrintable(log));
        QVERIFY2(waitForLog(QStringLiteral("tarn ended with status 0")), qPrintable(log));
        QVERIFY(host.state() == QProcess::NotRunning || host.waitForFinished());
        QCOMPARE(host.exitCode(), 0);
    }
};

QTEST_MAIN(TestLauncherEndToEnd)
#include "tst_launchere2e.moc"
