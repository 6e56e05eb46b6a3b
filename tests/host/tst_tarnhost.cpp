// tarnhost as a process, answering the link's own client code.
#include "hostlink/clientlink.h"
#include "hostlink/commandsource.h"
#include "hostlink/hostlink.h"
#include "hostlink/hostrequest.h"
#include "tests/support/testfiles.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString tarnhost = QStringLiteral(TARN_BIN_DIR "/tarnhost");

const char projectJson[] = R"({
    "view": "View1", "workDir": "WORKDIR", "mapUnits": "Feet",
    "gridThemes": ["landcover"],
    "polygonThemes": [{"name": "parcels", "fields": [{"name": "PID", "type": "integer"}]}]
})";

} // namespace

class TestTarnhost : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        m_savedRuntime = qgetenv("XDG_RUNTIME_DIR");
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        qputenv("XDG_RUNTIME_DIR", m_dir->path().toUtf8()); // inherited by tarnhost
        m_commands.clear();
    }

    void cleanup()
    {
        if (m_host) {
            m_host->terminate();
            m_host->waitForFinished(30000);
            m_host.reset();
        }
        m_launcher.reset();
        qputenv("XDG_RUNTIME_DIR", m_savedRuntime);
        m_dir.reset();
    }

    void answersRequestsClosesTheNoticeAfterARunAndRemovesItsSocket()
    {
        listenAsLauncher();
        startServing();
        ClientLink link;
        link.setTimeout(300);
        QCOMPARE(link.request(HostRequest::GetWorkDirName()), m_dir->filePath("work"));
        QVERIFY(QDir(m_dir->filePath("work")).exists());
        QCOMPARE(link.request(HostRequest::isGetFldNames(
                     "View1", "parcels", HostRequest::ThemeSelector::StringOrInteger)),
                 QStringLiteral("PID"));
        // A long request is logged cut short.
        QCOMPARE(link.request("av.Nonsense" + QString(5000, 'x')), QString());
        QCOMPARE(link.lastFailure(), ClientLink::Failure::NoData);

        QTRY_VERIFY_WITH_TIMEOUT(m_host->peek(1 << 16).contains("answer: (no data)"), 30000);
        const QList<QByteArray> lines = m_host->readAll().split('\n');
        QCOMPARE(lines.mid(0, 5),
                 QList<QByteArray>(
                     {"request: av.GetProject.GetWorkDir.GetFullName.AsString",
                      "answer: " + m_dir->filePath("work").toUtf8(),
                      R"(request: av.Run("isGetFldNames",{"View1","parcels","2"}))", "answer: PID",
                      "request: av.Nonsense" + QByteArray(280, 'x') + "... (5020 characters)"}));

        // The project names no data files: the run is checked, not carried out.
        requestRun(writeFile("model_params.txt",
                             "VIEW#View1\r\nLCTHEME#landcover\r\nLCUNITS#Feet\r\n"
                             "ANALYSISTHEME#parcels\r\nANALYSISUNIT#PID\r\nPOPDENSITY#1\r\n"
                             "OUTTHEME#/data/out.shp\r\nOUTTHEMENAME#out\r\n"
                             "CLASS#21#Developed#12.5#7.5#2\r\n"));
        QTRY_COMPARE_WITH_TIMEOUT(m_commands, QStringList({"{closeprocfrm}"}), 30000);
        QTRY_VERIFY_WITH_TIMEOUT(
            m_host->peek(1 << 16).contains("command tarn.Transfer {closeprocfrm}: accepted"),
            30000);

        const QString socket = HostLink::endpointPath("ISServer", "System");
        QVERIFY(QFile::exists(socket));
        m_host->terminate();
        QVERIFY(m_host->waitForFinished(30000));
        QCOMPARE(m_host->exitStatus(), QProcess::NormalExit);
        QVERIFY(!QFile::exists(socket));
    }

    void runsTheAnalysisOnADataFolderThenClosesTheNotice()
    {
        listenAsLauncher();
        const QString work = m_dir->filePath("work");
        QVERIFY(QDir().mkpath(work));
        startServing({"serve", "--data", TARN_SOURCE_DIR "/examples/demo-data", "--workdir", work,
                      "--coverage", "exact"});
        requestRun(
            writeFile("work/model_params.txt",
                      "VIEW#View1\r\nLCTHEME#landcover_2016\r\nLCUNITS#Meters\r\n"
                      "ANALYSISTHEME#parcels\r\nANALYSISUNIT#PARCEL_ID\r\nPOPDENSITY#3\r\n"
                      "POPDENSITYTHEME#census_blocks\r\nPOPDENSITYFLD#POP_DENS\r\n"
                      "POPDENSITYHIGH#30\r\nPOPDENSITYMED#30#5\r\nPOPDENSITYLOW#5\r\n"
                      "OUTTHEME#WORKDIR/parcels_is.gpkg\r\nOUTTHEMENAME#parcels_is\r\n"
                      "DS#1#new_development#Developed, High#24\r\n"
                      "CLASS#22#Developed, Low#50#40#30\r\nCLASS#24#Developed, High#90#85#80\r\n"));

        // The notice offers Cancel while the analysis runs, and closes when it ends.
        QTRY_COMPARE_WITH_TIMEOUT(m_commands, QStringList({"{showcancel}", "{closeprocfrm}"}),
                                  60000);
        QTRY_VERIFY_WITH_TIMEOUT(m_host->peek(1 << 20).contains("{closeprocfrm}: accepted"), 30000);
        const QString log = QString::fromUtf8(m_host->readAll());
        QVERIFY2(log.contains("analysis: progress: 100%\n"), qPrintable(log));
        // The analysis ends before the notice closes.
        QVERIFY2(log.contains("\nanalysis finished\n"), qPrintable(log));
        QVERIFY(log.indexOf("analysis finished") < log.indexOf("{closeprocfrm}"));
        // The host's coverage rule reaches the analysis; the output is a GeoPackage.
        QVERIFY2(log.contains(" --coverage exact\n"), qPrintable(log));
        QVERIFY(QFile::exists(work + "/parcels_is.gpkg"));
    }

    void sendReportsVerdictInItsExitStatus()
    {
        CommandSource editor("tarnProps");
        editor.setExecuteHandler(
            [](const QString& c) { return HostLink::isCommand(c, HostLink::CmdView); });
        QCOMPARE(editor.listen(), CommandSource::ListenResult::Listening);

        QProcess send;
        QCOMPARE(runToEnd(send, {"send", "tarnProps", "{VIEW}"}), 0);
        QCOMPARE(send.readAllStandardOutput(), QByteArray("accepted\n"));
        QCOMPARE(runToEnd(send, {"send", "tarnProps", "{quit}"}), 1);
        QCOMPARE(send.readAllStandardOutput(), QByteArray("refused\n"));
        QCOMPARE(runToEnd(send, {"send", "tarn", "{view}"}), 2);
        QVERIFY(send.readAllStandardOutput().startsWith(
            "no answer: tarn.Transfer: no program answers"));
        QCOMPARE(runToEnd(send, {"send", "tarnProps"}), 2);
        QVERIFY(send.readAllStandardError().startsWith("usage: tarnhost"));
        QCOMPARE(runToEnd(send, {"--help"}), 0);
        QVERIFY(send.readAllStandardOutput().startsWith("usage: tarnhost"));
    }

    void refusesMalformedProjectNamingTheFile()
    {
        const QString path =
            writeFile("project.json", R"({"view": "View1", "workDir": "WORKDIR"})");
        QProcess serve;
        QCOMPARE(runToEnd(serve, {"serve", path}), 2);
        QCOMPARE(QString::fromUtf8(serve.readAllStandardError()),
                 "tarnhost: " + path + ": \"mapUnits\" is missing\n");
        QCOMPARE(runToEnd(serve, {"serve", m_dir->filePath("none.json")}), 2);
        QVERIFY(serve.readAllStandardError().startsWith(
            "tarnhost: " + m_dir->filePath("none.json").toUtf8() + ": cannot read"));
    }

private:
    void startServing(const QStringList& args = {})
    {
        m_host = std::make_unique<QProcess>();
        m_host->start(tarnhost, args.isEmpty()
                                    ? QStringList{"serve", writeFile("project.json", projectJson)}
                                    : args);
        QVERIFY2(m_host->waitForStarted(30000), qPrintable(m_host->errorString()));
        // It prints this line once it listens.
        QTRY_VERIFY_WITH_TIMEOUT(m_host->canReadLine(), 30000);
        QVERIFY(m_host->readLine().startsWith("serving ISServer.System at "));
    }

    QString writeFile(const QString& name, const QByteArray& bytes)
    {
        const QString path = m_dir->filePath(name);
        return ::writeFile(path,
                           QByteArray(bytes).replace("WORKDIR", m_dir->filePath("work").toUtf8()))
                   ? path
                   : QString();
    }

    int runToEnd(QProcess& process, const QStringList& args)
    {
        // Waits through the event loop, so a command source in this process can answer it.
        QSignalSpy finished(&process, &QProcess::finished);
        process.start(tarnhost, args);
        if (!finished.wait(60000)) {
            return -1;
        }
        return process.exitCode();
    }

    // Stands in for the launcher's window: records the commands it gets and accepts them.
    void listenAsLauncher()
    {
        m_launcher = std::make_unique<CommandSource>("tarn");
        m_launcher->setExecuteHandler([this](const QString& command) {
            m_commands << command;
            return HostLink::isCommand(command, HostLink::CmdCloseProcFrm);
        });
        QCOMPARE(m_launcher->listen(), CommandSource::ListenResult::Listening);
    }

    // Asks for the run, which must be answered at once, while the notice is still open.
    void requestRun(const QString& params)
    {
        // This thread blocks in the request, as the launcher does; were the host to wait for the
        // command's verdict before answering, the request would time out instead.
        ClientLink link;
        link.setTimeout(300);
        QCOMPARE(link.request(HostRequest::isCallExecuteModel(params)),
                 QStringLiteral("Submitted"));
        QVERIFY(m_commands.isEmpty());
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QProcess> m_host;
    std::unique_ptr<CommandSource> m_launcher;
    QStringList m_commands;
    QByteArray m_savedRuntime;
};

QTEST_GUILESS_MAIN(TestTarnhost)
#include "tst_tarnhost.moc"
