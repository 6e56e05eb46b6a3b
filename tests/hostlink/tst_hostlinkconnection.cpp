// Both ends of the link over real local sockets, in one process. Blocking callers run in a
// worker thread whenever this thread's event loop has to serve them.
#include "clientlink.h"
#include "commandsource.h"
#include "executeclient.h"
#include "frame.h"
#include "hostlink.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMutex>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <memory>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

template <typename F> auto blockingInWorker(F call) -> decltype(call())
{
    decltype(call()) result{};
    std::unique_ptr<QThread> worker(QThread::create([&] { result = call(); }));
    worker->start();
    while (!worker->isFinished())
        QTest::qWait(5);
    worker->wait();
    return result;
}

// Collects log lines from every thread, so tests can wait for a logged reason.
class WarningLog {
public:
    WarningLog() { s_previous = qInstallMessageHandler(&WarningLog::handle); }
    ~WarningLog()
    {
        qInstallMessageHandler(s_previous);
        const QMutexLocker lock(&s_mutex);
        s_lines.clear();
    }
    bool contains(const QString& part) const
    {
        const QMutexLocker lock(&s_mutex);
        return std::any_of(s_lines.begin(), s_lines.end(),
                           [&](const QString& line) { return line.contains(part); });
    }

private:
    static void handle(QtMsgType, const QMessageLogContext&, const QString& message)
    {
        const QMutexLocker lock(&s_mutex);
        s_lines << message;
    }
    static inline QtMessageHandler s_previous = nullptr;
    static inline QMutex s_mutex;
    static inline QStringList s_lines;
};

// A peer that follows a script instead of the protocol: it reads one frame, sends `reply`
// as raw bytes, then hangs up or stays silent until the test ends.
class ScriptedPeer {
public:
    ScriptedPeer(const QString& path, const QByteArray& reply, bool hangUp)
    {
        m_thread.reset(QThread::create([=] {
            QLocalServer server;
            const bool listening = server.listen(path);
            m_ready.release();
            if (!listening || !server.waitForNewConnection(30000))
                return;
            std::unique_ptr<QLocalSocket> socket(server.nextPendingConnection());
            FrameReader reader;
            const QDeadlineTimer deadline(30000);
            for (;;) {
                reader.append(socket->readAll());
                if (reader.next() != FrameReader::Status::NeedMore || deadline.hasExpired())
                    break;
                socket->waitForReadyRead(100);
            }
            m_received = reader.text();
            socket->write(reply);
            while (socket->bytesToWrite() > 0 && socket->waitForBytesWritten(1000)) {
            }
            if (hangUp)
                socket->disconnectFromServer();
            else
                m_release.acquire();
        }));
        m_thread->start();
        m_ready.acquire();
    }
    ~ScriptedPeer()
    {
        m_release.release();
        m_thread->wait();
    }
    QString received()
    {
        m_release.release();
        m_thread->wait();
        return m_received;
    }

private:
    std::unique_ptr<QThread> m_thread;
    QSemaphore m_ready;
    QSemaphore m_release;
    QString m_received;
};

// What a program that crashed leaves behind: a socket file nobody listens on.
bool makeStaleSocket(const QString& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray name = QFile::encodeName(path);
    qstrncpy(address.sun_path, name.constData(), sizeof(address.sun_path));
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    ::close(fd);
    return bound;
}

ExecuteResult sendAsync(const QString& service, const QString& command, int timeoutTenths = 100)
{
    ExecuteClient client;
    QSignalSpy spy(&client, &ExecuteClient::finished);
    client.send(service, command, HostLink::TransferTopic, timeoutTenths);
    if (spy.isEmpty() && !spy.wait(30000))
        return ExecuteResult::NoAnswer;
    return spy.first().first().value<ExecuteResult>();
}

} // namespace

class TestHostLinkConnection : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void placesEndpointsInRuntimeDirElseTemp();

    // Caller side
    void requestFailsClearlyWhenHostIsNotRunning();
    void requestTimesOutWhenHostNeverAnswers();
    void requestReportsEachKindOfBadAnswer_data();
    void requestReportsEachKindOfBadAnswer();
    void executeTimesOutWhenProgramNeverAnswers();

    // Serving side
    void commandsReachHandlerOnOwningThreadAndAreAnsweredByItsVerdict();
    void requestsCrossExactlyInBothDirections();
    void serverDropsBadConnectionsAndKeepsServing_data();
    void serverDropsBadConnectionsAndKeepsServing();
    void serverSurvivesCallerLeavingMidFrame();
    void handlerMayDestroyItsSource();

    // Endpoint ownership
    void liveEndpointIsNotStolen();
    void staleSocketFileIsReplaced();
    void fileThatIsNoSocketIsLeftAlone();

private:
    std::unique_ptr<QTemporaryDir> m_runtime;
    QByteArray m_savedRuntime;
};

void TestHostLinkConnection::init()
{
    m_savedRuntime = qgetenv("XDG_RUNTIME_DIR");
    m_runtime = std::make_unique<QTemporaryDir>();
    QVERIFY(m_runtime->isValid());
    qputenv("XDG_RUNTIME_DIR", m_runtime->path().toUtf8());
}

void TestHostLinkConnection::cleanup()
{
    qputenv("XDG_RUNTIME_DIR", m_savedRuntime);
    m_runtime.reset();
}

void TestHostLinkConnection::placesEndpointsInRuntimeDirElseTemp()
{
    QCOMPARE(HostLink::endpointPath("tarn", "Transfer"), m_runtime->path() + "/tarn.Transfer");
    qunsetenv("XDG_RUNTIME_DIR");
    QCOMPARE(HostLink::endpointPath("ISServer", "System"), QDir::tempPath() + "/ISServer.System");
}

void TestHostLinkConnection::requestFailsClearlyWhenHostIsNotRunning()
{
    WarningLog log;
    ClientLink link;
    QCOMPARE(link.request("av.GetActiveDoc.GetName"), QString());
    QCOMPARE(link.lastFailure(), ClientLink::Failure::NotRunning);
    QVERIFY2(link.lastError().contains("ISServer.System"), qPrintable(link.lastError()));
    QVERIFY(log.contains(link.lastError()));

    QCOMPARE(link.execute("{view}"), ExecuteResult::NoAnswer);
    QCOMPARE(sendAsync("tarn", "{view}"), ExecuteResult::NoAnswer);
}

void TestHostLinkConnection::requestTimesOutWhenHostNeverAnswers()
{
    WarningLog log;
    ScriptedPeer host(HostLink::endpointPath("ISServer", "System"), QByteArray(), false);
    ClientLink link;
    link.setTimeout(3);
    QCOMPARE(link.request("av.GetActiveDoc.GetName"), QString());
    QCOMPARE(link.lastFailure(), ClientLink::Failure::TimedOut);
    QVERIFY2(link.lastError().contains("no answer within 0.3 s"), qPrintable(link.lastError()));
    QCOMPARE(host.received(), QStringLiteral("av.GetActiveDoc.GetName"));
}

void TestHostLinkConnection::requestReportsEachKindOfBadAnswer_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("hangUp");
    QTest::addColumn<int>("failure");
    QTest::addColumn<QString>("answer");
    using F = ClientLink::Failure;
    QTest::newRow("good answer") << QByteArray("DATA 5\nView1") << false << int(F::None) << "View1";
    QTest::newRow("two characters are enough")
        << QByteArray("DATA 2\nab") << false << int(F::None) << "ab";
    QTest::newRow("one character counts as none")
        << QByteArray("DATA 1\nx") << false << int(F::TooShort) << "";
    QTest::newRow("no data") << QByteArray("NODATA 0\n") << false << int(F::NoData) << "";
    QTest::newRow("hang-up mid-frame")
        << QByteArray("DATA 10\nabc") << true << int(F::Disconnected) << "";
    QTest::newRow("hang-up without answer") << QByteArray() << true << int(F::Disconnected) << "";
    QTest::newRow("garbage") << QByteArray("NONSENSE\n") << false << int(F::ProtocolError) << "";
    QTest::newRow("oversize") << QByteArray("DATA 1048577\n") << false << int(F::ProtocolError)
                              << "";
    QTest::newRow("execute verdict to a request")
        << QByteArray("ACK 0\n") << false << int(F::ProtocolError) << "";
}

void TestHostLinkConnection::requestReportsEachKindOfBadAnswer()
{
    QFETCH(QByteArray, reply);
    QFETCH(bool, hangUp);
    QFETCH(int, failure);
    QFETCH(QString, answer);
    WarningLog log;
    ScriptedPeer host(HostLink::endpointPath("ISServer", "System"), reply, hangUp);
    ClientLink link;
    link.setTimeout(100);
    QCOMPARE(link.request("av.GetActiveDoc.GetName"), answer);
    QCOMPARE(int(link.lastFailure()), failure);
    if (link.lastFailure() != ClientLink::Failure::None)
        QVERIFY2(log.contains(link.lastError()), qPrintable(link.lastError()));
}

void TestHostLinkConnection::executeTimesOutWhenProgramNeverAnswers()
{
    WarningLog log;
    {
        ScriptedPeer program(HostLink::endpointPath("tarn", "Transfer"), QByteArray(), false);
        QCOMPARE(sendAsync("tarn", "{closeprocfrm}", 3), ExecuteResult::NoAnswer);
        QCOMPARE(program.received(), QStringLiteral("{closeprocfrm}"));
    }
    ScriptedPeer program(HostLink::endpointPath("tarn", "Transfer"), QByteArray(), false);
    ClientLink link("tarn", "Transfer");
    link.setTimeout(3);
    QCOMPARE(link.execute("{view}"), ExecuteResult::NoAnswer);
    QCOMPARE(link.lastFailure(), ClientLink::Failure::TimedOut);
}

void TestHostLinkConnection::commandsReachHandlerOnOwningThreadAndAreAnsweredByItsVerdict()
{
    CommandSource source("tarnProps");
    QStringList received;
    bool onOwningThread = true;
    source.setExecuteHandler([&](const QString& command) {
        received << command;
        onOwningThread = onOwningThread && QThread::currentThread() == source.thread();
        return HostLink::isCommand(command, HostLink::CmdView);
    });
    QSignalSpy executed(&source, &CommandSource::executed);
    QCOMPARE(source.listen(), CommandSource::ListenResult::Listening);

    auto send = [](const QString& command) {
        return blockingInWorker(
            [&] { return ClientLink("tarnProps", "Transfer").execute(command); });
    };
    QCOMPARE(send("{VIEW}"), ExecuteResult::Accepted);
    QCOMPARE(send(" {view}"), ExecuteResult::Refused);
    QCOMPARE(send("{quit}"), ExecuteResult::Refused);
    QCOMPARE(sendAsync("tarnProps", "{view}"), ExecuteResult::Accepted);

    QCOMPARE(received, QStringList({"{VIEW}", " {view}", "{quit}", "{view}"}));
    QVERIFY(onOwningThread);
    QCOMPARE(executed.count(), 4);
    QCOMPARE(executed.at(1), QVariantList({" {view}", false}));

    // Without a handler every command is refused.
    source.setExecuteHandler(nullptr);
    QCOMPARE(sendAsync("tarnProps", "{view}"), ExecuteResult::Refused);
}

void TestHostLinkConnection::requestsCrossExactlyInBothDirections()
{
    const QString big(int(HostLink::MaxFrameLength), QLatin1Char('n'));
    CommandSource host("ISServer", "System");
    host.setRequestHandler([&](const QString& item) -> std::optional<QString> {
        if (item == "big")
            return big;
        if (item == "none")
            return std::nullopt;
        return "echo:" + item;
    });
    QCOMPARE(host.listen(), CommandSource::ListenResult::Listening);

    auto request = [](const QString& item, ClientLink::Failure* failure) {
        return blockingInWorker([&] {
            ClientLink link;
            const QString answer = link.request(item);
            *failure = link.lastFailure();
            return answer;
        });
    };
    ClientLink::Failure failure;
    const QString odd = QStringLiteral("line one\nline \"two\" \\ Łódź#\r\n");
    QCOMPARE(request(odd, &failure), "echo:" + odd);
    QCOMPARE(failure, ClientLink::Failure::None);
    QCOMPARE(request("big", &failure), big);
    QCOMPARE(request("none", &failure), QString());
    QCOMPARE(failure, ClientLink::Failure::NoData);
}

void TestHostLinkConnection::serverDropsBadConnectionsAndKeepsServing_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("reason");
    QTest::newRow("malformed header") << QByteArray("HELLO\n") << "malformed header";
    QTest::newRow("oversize, no body sent") << QByteArray("EXECUTE 1048577\n") << "over the limit";
    QTest::newRow("answer verb from a caller") << QByteArray("ACK 0\n") << "unexpected ACK";
    QTest::newRow("invalid UTF-8") << QByteArray("EXECUTE 1\n\xff") << "not valid UTF-8";
}

void TestHostLinkConnection::serverDropsBadConnectionsAndKeepsServing()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, reason);
    WarningLog log;
    CommandSource source("tarn");
    int calls = 0;
    source.setExecuteHandler([&](const QString&) { return ++calls > 0; });
    QCOMPARE(source.listen(), CommandSource::ListenResult::Listening);

    QLocalSocket bad;
    bad.connectToServer(source.path());
    QVERIFY(bad.waitForConnected(5000));
    bad.write(bytes);
    QTRY_COMPARE_WITH_TIMEOUT(bad.state(), QLocalSocket::UnconnectedState, 30000);
    QVERIFY(log.contains("tarn.Transfer: closing connection: "));
    QVERIFY(log.contains(reason));
    QCOMPARE(calls, 0);

    QCOMPARE(sendAsync("tarn", "{view}"), ExecuteResult::Accepted);
    QCOMPARE(calls, 1);
}

void TestHostLinkConnection::serverSurvivesCallerLeavingMidFrame()
{
    WarningLog log;
    CommandSource source("tarn");
    QStringList received;
    source.setExecuteHandler([&](const QString& command) {
        received << command;
        return true;
    });
    QCOMPARE(source.listen(), CommandSource::ListenResult::Listening);

    QLocalSocket leaving;
    leaving.connectToServer(source.path());
    QVERIFY(leaving.waitForConnected(5000));
    leaving.write("EXECUTE 6\n{vi");
    leaving.flush();
    leaving.disconnectFromServer();
    QTRY_VERIFY_WITH_TIMEOUT(log.contains("in the middle of a frame"), 30000);

    QCOMPARE(sendAsync("tarn", "{hide}"), ExecuteResult::Accepted);
    QCOMPARE(received, QStringList({"{hide}"}));
}

void TestHostLinkConnection::handlerMayDestroyItsSource()
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
    QCOMPARE(sendAsync("tarn", "{quit}"), ExecuteResult::Accepted);
    QVERIFY(source.isNull());
    QVERIFY(!QFile::exists(path));
}

void TestHostLinkConnection::liveEndpointIsNotStolen()
{
    WarningLog log;
    CommandSource first("tarn");
    first.setExecuteHandler([](const QString&) { return true; });
    QCOMPARE(first.listen(), CommandSource::ListenResult::Listening);
    {
        CommandSource second("tarn");
        QCOMPARE(second.listen(), CommandSource::ListenResult::InUse);
        QVERIFY2(second.errorString().contains("tarn.Transfer is already served by another running "
                                               "program"),
                 qPrintable(second.errorString()));
        QVERIFY(!second.isListening());
    }
    QVERIFY(QFile::exists(first.path()));
    QCOMPARE(sendAsync("tarn", "{view}"), ExecuteResult::Accepted);
}

void TestHostLinkConnection::staleSocketFileIsReplaced()
{
    const QString path = HostLink::endpointPath("tarn", "Transfer");
    QVERIFY(makeStaleSocket(path));
    QVERIFY(QFile::exists(path));
    CommandSource source("tarn");
    source.setExecuteHandler([](const QString&) { return true; });
    QCOMPARE(source.listen(), CommandSource::ListenResult::Listening);
    QCOMPARE(sendAsync("tarn", "{view}"), ExecuteResult::Accepted);
}

void TestHostLinkConnection::fileThatIsNoSocketIsLeftAlone()
{
    WarningLog log;
    const QString path = HostLink::endpointPath("tarn", "Transfer");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("keep me");
    file.close();
    CommandSource source("tarn");
    QCOMPARE(source.listen(), CommandSource::ListenResult::Failed);
    QVERIFY(source.errorString().contains("is not a socket"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("keep me"));
}

QTEST_GUILESS_MAIN(TestHostLinkConnection)
#include "tst_hostlinkconnection.moc"
