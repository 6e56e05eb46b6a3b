// Both ends of the link over real local sockets, in one process. Blocking callers run in a
// worker thread whenever this thread's event loop has to serve them.
#include "hostlink/clientlink.h"
#include "hostlink/commandsource.h"
#include "hostlink/executeclient.h"
#include "hostlink/hostlink.h"
#include "hostlink/programcloser.h"

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <memory>
#include <optional>
#include <vector>

#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

template <typename F> auto inWorker(F call) -> decltype(call())
{
    decltype(call()) result{};
    std::unique_ptr<QThread> worker(QThread::create([&] { result = call(); }));
    worker->start();
    while (!worker->isFinished()) {
        QTest::qWait(5);
    }
    worker->wait();
    return result;
}

// The host's way of sending a command: answered through this thread's event loop.
ExecuteResult sendAsync(const QString& command, int timeoutTenths = 100)
{
    ExecuteClient client;
    QSignalSpy spy(&client, &ExecuteClient::finished);
    client.send("tarn", command, HostLink::TransferTopic, timeoutTenths);
    if (spy.isEmpty() && !spy.wait(30000)) {
        return ExecuteResult::NoAnswer;
    }
    return spy.first().first().value<ExecuteResult>();
}

// A program's command source that accepts every command and notes it. Asked "big" as a
// request, it answers a whole megabyte.
struct Program {
    CommandSource source{"tarn"};
    QStringList received;
    Program()
    {
        source.setExecuteHandler([this](const QString& command) {
            received << command;
            return true;
        });
        source.setRequestHandler([](const QString&) {
            return QString(int(HostLink::MaxFrameLength), QLatin1Char('b'));
        });
    }
};

// A socket bound to the path (a program that crashed leaves such a file behind) or connected
// to it without Qt, which a server only accepts once its event loop runs.
int rawSocket(const QString& path, bool bindIt = false)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    qstrncpy(address.sun_path, QFile::encodeName(path).constData(), sizeof(address.sun_path));
    const auto* at = reinterpret_cast<sockaddr*>(&address);
    if ((bindIt ? ::bind(fd, at, sizeof(address)) : ::connect(fd, at, sizeof(address))) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A start of a second copy of the program, in a worker so this thread can serve the first.
std::pair<StartOutcome, QString> startSecondCopy()
{
    return inWorker([] {
        CommandSource second("tarn");
        QString message;
        const StartOutcome outcome = serveOrHandOver(second, &message, 3);
        return std::make_pair(outcome, message);
    });
}

// A peer that ignores the protocol: to whatever comes it sends `reply` as raw bytes, then hangs
// up or stays silent.
std::unique_ptr<QLocalServer> rawPeer(const QString& path, const QByteArray& reply, bool hangUp)
{
    auto server = std::make_unique<QLocalServer>();
    server->listen(path);
    QObject::connect(server.get(), &QLocalServer::newConnection, [s = server.get(), reply, hangUp] {
        QLocalSocket* socket = s->nextPendingConnection();
        QObject::connect(socket, &QLocalSocket::readyRead, [=] {
            socket->write(reply);
            socket->flush();
            if (hangUp) {
                socket->disconnectFromServer();
            }
        });
    });
    return server;
}

} // namespace

class TestHostLinkConnection : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        m_runtime.emplace();
        QVERIFY(m_runtime->isValid());
        qputenv("XDG_RUNTIME_DIR", m_runtime->path().toUtf8());
        qunsetenv("TMPDIR");
    }

    // Caller side
    void callsFailClearlyWhenNobodyServes()
    {
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression("^ISServer.System: no program answers"));
        ClientLink link;
        QCOMPARE(link.request("av.GetActiveDoc.GetName"), QString());
        QCOMPARE(link.lastFailure(), ClientLink::Failure::NotRunning);
        // The endpoint lives in $XDG_RUNTIME_DIR.
        QVERIFY2(link.lastError().contains(m_runtime->path() + "/ISServer.System"),
                 qPrintable(link.lastError()));
        QCOMPARE(sendAsync("{view}"), ExecuteResult::NoAnswer);
    }

    void requestReportsEachKindOfBadAnswer_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<bool>("hangUp");
        QTest::addColumn<ClientLink::Failure>("failure");
        using F = ClientLink::Failure;
        QTest::newRow("hang-up mid-frame") << QByteArray("DATA 9\nab") << true << F::Disconnected;
        QTest::newRow("garbage") << QByteArray("NONSENSE\n") << false << F::ProtocolError;
        QTest::newRow("over 1 MiB") << QByteArray("DATA 1048577\n") << false << F::ProtocolError;
        QTest::newRow("execute verdict") << QByteArray("ACK 0\n") << false << F::ProtocolError;
    }
    void requestReportsEachKindOfBadAnswer()
    {
        QFETCH(QByteArray, reply);
        QFETCH(bool, hangUp);
        QFETCH(ClientLink::Failure, failure);
        const auto host = rawPeer(HostLink::endpointPath("ISServer", "System"), reply, hangUp);
        ClientLink link;
        QCOMPARE(inWorker([&] { return link.request("av.GetActiveDoc.GetName"); }), QString());
        QCOMPARE(link.lastFailure(), failure);
    }

    void bothCallersGiveUpOnASilentPeer()
    {
        const auto program =
            rawPeer(HostLink::endpointPath("tarn", "Transfer"), QByteArray(), false);
        ClientLink link("tarn", "Transfer");
        link.setTimeout(3);
        QCOMPARE(inWorker([&] { return link.execute("{view}"); }), ExecuteResult::NoAnswer);
        QCOMPARE(link.lastFailure(), ClientLink::Failure::TimedOut);
        QVERIFY2(link.lastError().contains("no answer within 0.3 s"), qPrintable(link.lastError()));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("no answer in time"));
        QCOMPARE(sendAsync("{closeprocfrm}", 3), ExecuteResult::NoAnswer);
    }

    // Serving side
    void commandsAreComparedLowerCasedAndExact_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<ExecuteResult>("verdict");
        QTest::newRow("as sent") << "{view}" << ExecuteResult::Accepted;
        QTest::newRow("upper case") << "{VIEW}" << ExecuteResult::Accepted;
        QTest::newRow("leading blank") << " {view}" << ExecuteResult::Refused;
        QTest::newRow("trailing blank") << "{view} " << ExecuteResult::Refused;
        QTest::newRow("another command") << "{quit}" << ExecuteResult::Refused;
    }
    void commandsAreComparedLowerCasedAndExact()
    {
        QFETCH(QString, command);
        QFETCH(ExecuteResult, verdict);
        CommandSource source("tarn");
        QStringList received;
        source.setExecuteHandler([&](const QString& text) {
            received << text;
            return HostLink::isCommand(text, HostLink::CmdView);
        });
        QCOMPARE(source.listen(), CommandSource::ListenResult::Listening);
        // The launcher's blocking client and the host's event-driven one.
        QCOMPARE(inWorker([&] { return ClientLink("tarn", "Transfer").execute(command); }),
                 verdict);
        QCOMPARE(sendAsync(command), verdict);
        QCOMPARE(received, QStringList({command, command}));
    }

    void requestsCrossExactly_data()
    {
        using F = ClientLink::Failure;
        QTest::addColumn<QString>("item");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<ClientLink::Failure>("failure");
        const QString odd = QStringLiteral("line one\nline \"two\" \\ Łódź#\r\n");
        QTest::newRow("line breaks, quotes, non-Latin") << odd << odd << F::None;
        const QString bom = QChar(0xfeff) + QStringLiteral("{view}");
        QTest::newRow("leading byte order mark kept") << bom << bom << F::None;
        const QString largest(int(HostLink::MaxFrameLength), QLatin1Char('n'));
        QTest::newRow("largest frame both ways") << largest << largest << F::None;
        QTest::newRow("two characters are enough") << QString("ab") << QString("ab") << F::None;
        QTest::newRow("one character counts as none") << QString("x") << QString() << F::TooShort;
        QTest::newRow("no data") << QString("none") << QString() << F::NoData;
    }
    void requestsCrossExactly()
    {
        QFETCH(QString, item);
        QFETCH(QString, answer);
        QFETCH(ClientLink::Failure, failure);
        CommandSource host("ISServer", "System");
        host.setRequestHandler([](const QString& text) -> std::optional<QString> {
            if (text == "none") {
                return std::nullopt;
            }
            return text;
        });
        QCOMPARE(host.listen(), CommandSource::ListenResult::Listening);
        ClientLink link;
        QCOMPARE(inWorker([&] { return link.request(item); }), answer);
        QCOMPARE(link.lastFailure(), failure);
    }

    void serverDropsBadConnectionsAndKeepsServing_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("logged");
        QTest::newRow("malformed header") << QByteArray("HELLO\n") << "malformed header";
        QTest::newRow("lower-case verb") << QByteArray("execute 0\n") << "unknown verb";
        QTest::newRow("signed length") << QByteArray("EXECUTE -1\n") << "malformed length";
        QTest::newRow("carriage return") << QByteArray("EXECUTE 1\r\n") << "malformed length";
        QTest::newRow("endless header") << QByteArray(40, 'A') << "no header line end";
        QTest::newRow("over 1 MiB") << QByteArray("EXECUTE 1048577\n") << "over the limit";
        QTest::newRow("answer verb from a caller") << QByteArray("ACK 0\n") << "unexpected ACK";
        QTest::newRow("invalid UTF-8") << QByteArray("EXECUTE 1\n\xff") << "not valid UTF-8";
        QTest::newRow("caller leaves mid-frame")
            << QByteArray("EXECUTE 6\n{vi") << "in the middle of a frame";
        QTest::newRow("caller idle mid-frame")
            << QByteArray("EXECUTE 6\n{vi") << "idle for 200 ms in the middle of a frame";
        QTest::newRow("caller never reads its replies")
            << QByteArray("REQUEST 3\nbig").repeated(4) << "does not read its replies";
    }
    void serverDropsBadConnectionsAndKeepsServing()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, logged);
        Program program;
        if (QTest::currentDataTag() == QLatin1String("caller idle mid-frame")) {
            program.source.setIdleTimeout(200);
        }
        QCOMPARE(program.source.listen(), CommandSource::ListenResult::Listening);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^tarn.Transfer: .*" +
                                                              QRegularExpression::escape(logged)));
        QLocalSocket bad;
        bad.setReadBufferSize(1); // reads nothing until the server has let go
        bad.connectToServer(program.source.path());
        QVERIFY(bad.waitForConnected(5000));
        QTRY_COMPARE_WITH_TIMEOUT(program.source.findChildren<QLocalSocket*>().size(), 1, 30000);
        bad.write(bytes);
        bad.flush();
        if (QTest::currentDataTag() == QLatin1String("caller leaves mid-frame")) {
            bad.disconnectFromServer();
        }
        // The server lets go of the connection (having logged why) and closes it.
        QTRY_VERIFY_WITH_TIMEOUT(program.source.findChildren<QLocalSocket*>().isEmpty(), 30000);
        bad.setReadBufferSize(0);
        QTRY_COMPARE_WITH_TIMEOUT(bad.state(), QLocalSocket::UnconnectedState, 30000);

        QCOMPARE(sendAsync("{hide}"), ExecuteResult::Accepted);
        QCOMPARE(program.received, QStringList({"{hide}"}));
    }

    void handlerMayDestroyItsSource()
    {
        // A window that unloads on "{quit}" takes its command source with it; the host still
        // learns that the command was carried out.
        QPointer<CommandSource> source = new CommandSource("tarn");
        source->setExecuteHandler([&](const QString&) {
            delete source.data();
            return true;
        });
        QCOMPARE(source->listen(), CommandSource::ListenResult::Listening);
        const QString path = source->path();
        QCOMPARE(sendAsync("{quit}"), ExecuteResult::Accepted);
        QVERIFY(source.isNull());
        QVERIFY(!QFile::exists(path));
    }

    void serverCapsConnectionsAndListensAgain()
    {
        Program program;
        QCOMPARE(program.source.listen(), CommandSource::ListenResult::Listening);
        std::vector<std::unique_ptr<QLocalSocket>> idle;
        for (int i = 0; i <= CommandSource::MaxConnections; ++i) {
            idle.push_back(std::make_unique<QLocalSocket>());
            idle.back()->connectToServer(program.source.path());
        }
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression("refusing a connection: 64 are open"));
        QTRY_COMPARE_WITH_TIMEOUT(idle.back()->state(), QLocalSocket::UnconnectedState, 30000);
        QCOMPARE(program.source.findChildren<QLocalSocket*>().size(),
                 CommandSource::MaxConnections);
        idle.clear();
        QTRY_VERIFY_WITH_TIMEOUT(program.source.findChildren<QLocalSocket*>().isEmpty(), 30000);

        // A connection the server cannot accept for want of descriptors makes Qt close it.
        rlimit limit{};
        QCOMPARE(::getrlimit(RLIMIT_NOFILE, &limit), 0);
        const rlimit saved = limit;
        limit.rlim_cur = qMin<rlim_t>(limit.rlim_cur, 1024);
        QCOMPARE(::setrlimit(RLIMIT_NOFILE, &limit), 0);
        const int caller = rawSocket(program.source.path());
        QVERIFY(caller >= 0);
        std::vector<int> held;
        for (int fd = ::dup(caller); fd >= 0; fd = ::dup(caller)) {
            held.push_back(fd);
        }
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression("stopped listening.*listening again"));
        QTRY_VERIFY_WITH_TIMEOUT(!program.source.isListening(), 30000);
        for (int fd : held) {
            ::close(fd);
        }
        ::close(caller);
        QCOMPARE(::setrlimit(RLIMIT_NOFILE, &saved), 0);
        QTRY_VERIFY_WITH_TIMEOUT(program.source.isListening(), 30000);
        QCOMPARE(sendAsync("{view}"), ExecuteResult::Accepted);

        // Nobody reaches a socket whose file was removed: it is made anew.
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("was removed; listening again"));
        QVERIFY(QFile::remove(program.source.path()));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(program.source.path()), 30000);
        QCOMPARE(sendAsync("{view}"), ExecuteResult::Accepted);
        // Another program's socket in its place is theirs while it lasts.
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("another program serves"));
        QVERIFY(QFile::remove(program.source.path()));
        const int other = rawSocket(program.source.path(), true);
        QVERIFY(other >= 0 && ::listen(other, 1) == 0);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("was removed; listening again"));
        QTest::qWait(1500);
        ::close(other);
        QVERIFY(QFile::remove(program.source.path()));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(program.source.path()), 30000);
        QCOMPARE(sendAsync("{view}"), ExecuteResult::Accepted);
        QCOMPARE(program.received, QStringList({"{view}", "{view}", "{view}"}));
    }

    // A host ending a program: its verdict may wait for the user; only silence ends it.
    void programCloserTellsAskingFromHanging_data()
    {
        QTest::addColumn<QString>("program"); // how it takes "{exit}"; "": none runs
        QTest::addColumn<ProgramCloser::Outcome>("outcome");
        using O = ProgramCloser::Outcome;
        QTest::newRow("ends") << "accept" << O::Ending;
        QTest::newRow("user keeps it open") << "refuse" << O::KeptOpen;
        QTest::newRow("asks a while, then ends") << "ask" << O::Ending;
        QTest::newRow("hangs") << "silent" << O::NotAnswering;
        QTest::newRow("not running") << "" << O::NotAnswering;
    }
    void programCloserTellsAskingFromHanging()
    {
        QFETCH(QString, program);
        QFETCH(ProgramCloser::Outcome, outcome);
        std::unique_ptr<QLocalServer> silent;
        auto source = std::make_unique<CommandSource>("tarnProps");
        QStringList received;
        source->setExecuteHandler([&](const QString& command) {
            received << command;
            if (command != HostLink::CmdExit) {
                return false;
            }
            if (program == "ask") {
                // A question open for longer than a probe may take; the program then ends,
                // closing its endpoint from inside the handler.
                QEventLoop question;
                QTimer::singleShot(1000, &question, &QEventLoop::quit);
                question.exec();
                source->close();
            }
            return program != "refuse";
        });
        if (program == "silent") {
            silent = rawPeer(HostLink::endpointPath("tarnProps", "Transfer"), QByteArray(), false);
        } else if (!program.isEmpty()) {
            QCOMPARE(source->listen(), CommandSource::ListenResult::Listening);
        }
        ProgramCloser closer("tarnProps");
        closer.setProbing(100, 3);
        QSignalSpy finished(&closer, &ProgramCloser::finished);
        closer.ask();
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 30000);
        QCOMPARE(finished.first().first().value<ProgramCloser::Outcome>(), outcome);
        if (program == "ask") { // probes were answered while it asked
            QVERIFY(received.count(QString()) >= 2);
        }
    }

    // Endpoint ownership
    void staleSocketIsReplacedButLivePeerIsNot()
    {
        // A socket file nobody listens on.
        const int fd = rawSocket(HostLink::endpointPath("tarn", "Transfer"), true);
        QVERIFY(fd >= 0);
        ::close(fd);

        Program first;
        QCOMPARE(first.source.listen(), CommandSource::ListenResult::Listening);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("already served"));
        CommandSource second("tarn");
        QCOMPARE(second.listen(), CommandSource::ListenResult::InUse);
        QVERIFY2(second.errorString().contains(
                     "tarn.Transfer is already served by another running program"),
                 qPrintable(second.errorString()));
        QCOMPARE(sendAsync("{view}"), ExecuteResult::Accepted);
        QCOMPARE(first.received, QStringList({"{view}"}));
    }

    void secondCopyHandsOverToTheFirst_data()
    {
        QTest::addColumn<QString>("first"); // "": none; "answers"; "silent"
        QTest::addColumn<StartOutcome>("outcome");
        QTest::addColumn<QString>("message");
        QTest::newRow("no first copy") << "" << StartOutcome::Serving << "";
        QTest::newRow("first copy comes to the front")
            << "answers" << StartOutcome::HandedOver << "";
        QTest::newRow("first copy does not answer")
            << "silent" << StartOutcome::Unreachable
            << "tarn.Transfer is already served by another running program";
    }
    void secondCopyHandsOverToTheFirst()
    {
        QFETCH(QString, first);
        QFETCH(StartOutcome, outcome);
        QFETCH(QString, message);
        Program answering;
        std::unique_ptr<QLocalServer> silent;
        if (first == "answers") {
            QCOMPARE(answering.source.listen(), CommandSource::ListenResult::Listening);
        }
        if (first == "silent") {
            silent = rawPeer(HostLink::endpointPath("tarn", "Transfer"), QByteArray(), false);
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("already served"));
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("no answer within"));
        }
        const auto [got, why] = startSecondCopy();
        QCOMPARE(got, outcome);
        QCOMPARE(why.left(message.size()), message);
        QCOMPARE(answering.received,
                 first == "answers" ? QStringList({HostLink::CmdView}) : QStringList());
    }

    void fallbackFolderMustBePrivate_data()
    {
        QTest::addColumn<QString>("made"); // how the folder exists beforehand
        QTest::addColumn<QString>("refusal");
        QTest::newRow("created private") << ""
                                         << "";
        QTest::newRow("already private") << "0700"
                                         << "";
        QTest::newRow("open to others") << "0755"
                                        << "is open to other users (mode 0755";
        QTest::newRow("a link to a private folder") << "link"
                                                    << "is not a folder";
        QTest::newRow("another user's") << "nobody"
                                        << "belongs to another user";
    }
    void fallbackFolderMustBePrivate()
    {
        QFETCH(QString, made);
        QFETCH(QString, refusal);
        qunsetenv("XDG_RUNTIME_DIR");
        qputenv("TMPDIR", m_runtime->path().toUtf8());
        const QString folder = m_runtime->filePath(QStringLiteral("tarn-%1").arg(::geteuid()));
        QCOMPARE(HostLink::endpointDirectory(), folder);
        const QByteArray path = QFile::encodeName(folder);
        if (made == "link") {
            QVERIFY(QDir().mkpath(m_runtime->filePath("elsewhere")));
            QVERIFY(QFile::link(m_runtime->filePath("elsewhere"), folder));
        } else if (!made.isEmpty()) {
            QCOMPARE(::mkdir(path.constData(), 0700), 0);
            QCOMPARE(::chmod(path.constData(), made == "0755" ? 0755 : 0700), 0);
        }
        if (made == "nobody" &&
            (::geteuid() != 0 || ::chown(path.constData(), 65534, 65534) != 0)) {
            QSKIP("only root can give a folder to another user");
        }

        Program program;
        if (!refusal.isEmpty()) {
            QTest::ignoreMessage(QtWarningMsg,
                                 QRegularExpression(QRegularExpression::escape(refusal)));
        }
        QCOMPARE(program.source.listen(), refusal.isEmpty() ? CommandSource::ListenResult::Listening
                                                            : CommandSource::ListenResult::Failed);
        QVERIFY2(program.source.errorString().contains(refusal),
                 qPrintable(program.source.errorString()));
        struct stat st {};
        QCOMPARE(::lstat(path.constData(), &st), 0);
        if (refusal.isEmpty()) {
            QCOMPARE(st.st_mode & 07777, mode_t(0700));
            QCOMPARE(sendAsync("{view}"), ExecuteResult::Accepted);
            return;
        }
        // Callers do not trust the folder either.
        ClientLink link;
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QRegularExpression::escape(refusal)));
        QCOMPARE(link.request("av.GetActiveDoc.GetName"), QString());
        QCOMPARE(link.lastFailure(), ClientLink::Failure::NotRunning);
    }

    void anotherUsersPeerIsNeverTrusted()
    {
        QStringList asNobody;
        if (!QStandardPaths::findExecutable("setpriv").isEmpty()) {
            asNobody = {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"};
        } else if (!QStandardPaths::findExecutable("runuser").isEmpty()) {
            asNobody = {"runuser", "-u", "nobody", "--"};
        }
        if (::geteuid() != 0 || asNobody.isEmpty()) {
            QSKIP("serving as another user needs root and setpriv or runuser");
        }

        // A folder the other user can serve in, with a copy of the peer it can run.
        QVERIFY(QFile::setPermissions(m_runtime->path(), QFileDevice::Permissions(0x7777)));
        const QString peer = m_runtime->filePath("otheruserpeer");
        QVERIFY(QFile::copy(OTHER_USER_PEER, peer));
        const QString record = m_runtime->filePath("received");
        QProcess server;
        server.start(asNobody.takeFirst(), asNobody << peer << record
                                                    << HostLink::endpointPath("ISServer", "System")
                                                    << HostLink::endpointPath("tarn", "Transfer"));
        QVERIFY(server.waitForStarted(30000));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(HostLink::endpointPath("tarn", "Transfer")), 30000);

        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("served by another user"));
        ClientLink host;
        QCOMPARE(inWorker([&] { return host.request("av.GetActiveDoc.GetName"); }), QString());
        QCOMPARE(host.lastFailure(), ClientLink::Failure::NotRunning);
        QVERIFY2(host.lastError().contains("served by another user"), qPrintable(host.lastError()));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("served by another user"));
        QCOMPARE(sendAsync("{view}"), ExecuteResult::NoAnswer);
        // Nor is it taken for a first copy of the program.
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("served by another user"));
        const auto [outcome, why] = startSecondCopy();
        QCOMPARE(outcome, StartOutcome::Unreachable);
        QVERIFY2(why.contains("served by another user"), qPrintable(why));

        server.kill();
        server.waitForFinished(30000);
        QVERIFY2(!QFile::exists(record), "something was sent to another user's program");
    }

private:
    std::optional<QTemporaryDir> m_runtime;
};

QTEST_GUILESS_MAIN(TestHostLinkConnection)
#include "tst_hostlinkconnection.moc"
