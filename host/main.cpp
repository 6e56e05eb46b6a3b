// tarnhost: a stand-in for the GIS host. It answers the launcher's requests from a project
// description, sends commands to the programs and starts them.
#include "host/hostcore.h"
#include "hostlink/clientlink.h"
#include "hostlink/commandsource.h"
#include "hostlink/executeclient.h"
#include "hostlink/hostlink.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QProcess>
#include <QSocketNotifier>

#include <optional>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Exit statuses of serve and start.
constexpr int ExitUsage = 2;    // bad arguments or project file
constexpr int ExitEndpoint = 3; // endpoint taken, program missing

const char usage[] = "usage: tarnhost serve PROJECT.json\n"
                     "       tarnhost serve --data DIR [--workdir DIR]\n"
                     "       tarnhost start PROJECT.json [tarn|tarnProps]\n"
                     "       tarnhost start --data DIR [--workdir DIR] [tarn|tarnProps]\n"
                     "       tarnhost send SERVICE COMMAND\n"
                     "       tarnhost request ITEM\n";

int sigFd[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(sigFd[1], &byte, 1);
}

// A terminated host still removes its socket, so the next start finds no stale file.
void quitOnTermination(QObject* parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, sigFd) != 0)
        return;
    auto* notifier = new QSocketNotifier(sigFd[0], QSocketNotifier::Read, parent);
    QObject::connect(notifier, &QSocketNotifier::activated, qApp, [] { qApp->quit(); });
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
}

// Requests, answers and commands, one line each, so a log shows the conversation. A line is
// cut short, so that a caller sending megabytes cannot fill the disk with the log.
void logLine(const QString& line)
{
    constexpr int MaxShown = 300;
    QString flat = line;
    flat.replace(QLatin1Char('\r'), QLatin1String("\\r"))
        .replace(QLatin1Char('\n'), QLatin1String("\\n"));
    if (flat.size() > MaxShown) {
        const int cut = flat.at(MaxShown - 1).isHighSurrogate() ? MaxShown - 1 : MaxShown;
        flat = flat.left(cut) + QStringLiteral("... (%1 characters)").arg(flat.size());
    }
    std::fputs(flat.toUtf8().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void errorLine(const QString& line)
{
    std::fputs(("tarnhost: " + line + "\n").toUtf8().constData(), stderr);
}

int runSend(const QString& service, const QString& command)
{
    ClientLink link(service, HostLink::TransferTopic);
    switch (link.execute(command)) {
    case ExecuteResult::Accepted:
        logLine(QStringLiteral("accepted"));
        return 0;
    case ExecuteResult::Refused:
        logLine(QStringLiteral("refused"));
        return 1;
    case ExecuteResult::NoAnswer:
        logLine(QStringLiteral("no answer: ") + link.lastError());
        return 2;
    }
    return 2;
}

int runRequest(const QString& item)
{
    ClientLink link;
    const QString answer = link.request(item);
    if (!answer.isEmpty()) {
        logLine(answer);
        return 0;
    }
    logLine(QStringLiteral("no answer: ") + link.lastError());
    return link.lastFailure() == ClientLink::Failure::NoData ||
                   link.lastFailure() == ClientLink::Failure::TooShort
               ? 1
               : 2;
}

void sendLauncherCommand(const QString& command)
{
    const QString name = HostLink::endpointName(QStringLiteral("tarn"), HostLink::TransferTopic);
    auto* client = new ExecuteClient(qApp);
    QObject::connect(client, &ExecuteClient::finished, client,
                     [client, name, command](ExecuteResult result, const QString& reason) {
                         const QString verdict = result == ExecuteResult::Accepted ? "accepted"
                                                 : result == ExecuteResult::Refused
                                                     ? "refused"
                                                     : "no answer (" + reason + ")";
                         logLine(QStringLiteral("command %1 %2: %3").arg(name, command, verdict));
                         client->deleteLater();
                     });
    client->send(QStringLiteral("tarn"), command);
}

// Runs tarn-analyze on a checked parameter file, logging its lines; the notice closes when
// it ends, whatever the outcome, and the log says which.
class AnalysisRunner {
public:
    AnalysisRunner() = default;
    AnalysisRunner(const AnalysisRunner&) = delete;
    AnalysisRunner& operator=(const AnalysisRunner&) = delete;
    // A host that ends stops its run; the analysis leaves no half output behind.
    ~AnalysisRunner()
    {
        if (!m_process)
            return;
        m_process->disconnect();
        m_process->kill();
        m_process->waitForFinished(5000);
        delete m_process;
    }

    bool busy() const { return m_process != nullptr; }

    void start(const QStringList& arguments)
    {
        m_process = new QProcess(qApp);
        m_process->setProcessChannelMode(QProcess::SeparateChannels);
        QObject::connect(m_process, &QProcess::readyReadStandardOutput, qApp,
                         [this] { forward(false); });
        QObject::connect(m_process, &QProcess::readyReadStandardError, qApp,
                         [this] { forward(true); });
        QObject::connect(m_process, &QProcess::finished, qApp,
                         [this](int code, QProcess::ExitStatus status) {
                             forward(false);
                             forward(true);
                             logLine(status == QProcess::NormalExit && code == 0
                                         ? QStringLiteral("analysis finished")
                                         : QStringLiteral("analysis failed (status %1)")
                                               .arg(status == QProcess::NormalExit ? code : -1));
                             done();
                         });
        QObject::connect(m_process, &QProcess::errorOccurred, qApp,
                         [this](QProcess::ProcessError error) {
                             if (error != QProcess::FailedToStart)
                                 return;
                             logLine(QStringLiteral("analysis failed: cannot start %1: %2")
                                         .arg(program(), m_process->errorString()));
                             done();
                         });
        logLine(QStringLiteral("analysis: %1 %2").arg(program(), arguments.join(QLatin1Char(' '))));
        m_process->start(program(), arguments);
    }

private:
    static QString program()
    {
        return QCoreApplication::applicationDirPath() + QStringLiteral("/tarn-analyze");
    }

    void forward(bool errors)
    {
        if (!m_process)
            return;
        m_process->setReadChannel(errors ? QProcess::StandardError : QProcess::StandardOutput);
        while (m_process->canReadLine())
            logLine(QStringLiteral("analysis: ") +
                    QString::fromUtf8(m_process->readLine()).trimmed());
    }

    void done()
    {
        m_process->deleteLater();
        m_process = nullptr;
        sendLauncherCommand(HostLink::CmdCloseProcFrm);
    }

    QProcess* m_process = nullptr;
};

int runServe(const std::optional<HostProject>& project, const QString& origin, const QString& error,
             const QString& program)
{
    if (!project) {
        errorLine(error);
        return ExitUsage;
    }
    for (const QString& note : project->data.notes)
        logLine(QStringLiteral("note: ") + note);
    if (!QDir().mkpath(project->workDir)) {
        errorLine(QStringLiteral("%1: cannot create the working directory %2")
                      .arg(origin, project->workDir));
        return ExitUsage;
    }

    QString programPath;
    if (!program.isEmpty()) {
        programPath = QCoreApplication::applicationDirPath() + QLatin1Char('/') + program;
        if (!QFileInfo(programPath).isExecutable()) {
            errorLine(QStringLiteral("cannot start %1: no such program").arg(programPath));
            return ExitEndpoint;
        }
    }

    const HostCore core(*project);
    CommandSource source(HostLink::HostService, HostLink::HostTopic);
    QStringList pending; // launcher commands owed once the current answer is out
    QStringList pendingRun;
    AnalysisRunner runner;
    source.setRequestHandler([&](const QString& item) {
        logLine(QStringLiteral("request: ") + item);
        HostCore::Answer answer = core.answer(item);
        if (!answer.analysisRun.isEmpty() && (runner.busy() || !pendingRun.isEmpty())) {
            answer = {QStringLiteral("A model run is under way; try again when it has ended"),
                      {},
                      QStringLiteral("model not started"),
                      {}};
        }
        pendingRun = answer.analysisRun;
        logLine(answer.text ? QStringLiteral("answer: ") + *answer.text
                            : QStringLiteral("answer: (no data)"));
        if (!answer.note.isEmpty())
            logLine(QStringLiteral("note: ") + answer.note);
        pending += answer.launcherCommands;
        return answer.text;
    });
    // The launcher blocks until answered, so commands go out only after the answer.
    QObject::connect(&source, &CommandSource::answered, [&] {
        const QStringList commands = std::exchange(pending, {});
        for (const QString& command : commands)
            sendLauncherCommand(command);
        const QStringList run = std::exchange(pendingRun, {});
        if (!run.isEmpty())
            runner.start(run);
    });

    // Before the socket exists, so a termination never leaves it behind.
    quitOnTermination(&source);
    switch (source.listen()) {
    case CommandSource::ListenResult::Listening:
        break;
    case CommandSource::ListenResult::InUse:
    case CommandSource::ListenResult::Failed:
        errorLine(source.errorString());
        return ExitEndpoint;
    }
    logLine(QStringLiteral("serving %1 at %2 for view \"%3\", working directory %4")
                .arg(source.name(), source.path(), project->viewName, project->workDir));

    QProcess child;
    if (!programPath.isEmpty()) {
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        QObject::connect(&child, &QProcess::finished, qApp, [&](int code, QProcess::ExitStatus) {
            logLine(QStringLiteral("%1 ended with status %2").arg(program).arg(code));
            qApp->quit();
        });
        child.start(programPath, {});
        if (!child.waitForStarted()) {
            errorLine(QStringLiteral("cannot start %1: %2").arg(programPath, child.errorString()));
            return ExitEndpoint;
        }
        logLine(QStringLiteral("started %1").arg(programPath));
    }

    const int status = QCoreApplication::exec();
    if (child.state() != QProcess::NotRunning) {
        child.disconnect();
        child.terminate();
        child.waitForFinished(5000);
    }
    return status;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    const QString verb = args.value(0);

    if (verb == QLatin1String("serve") || verb == QLatin1String("start")) {
        // serve|start (PROJECT.json | --data DIR [--workdir DIR]) [program, start only]
        QStringList rest = args.mid(1);
        QString dataDir;
        QString workDir;
        QString projectPath;
        bool ok = !rest.isEmpty();
        if (ok && rest[0] == QLatin1String("--data")) {
            ok = rest.size() >= 2;
            dataDir = rest.value(1);
            rest = rest.mid(2);
            if (ok && rest.value(0) == QLatin1String("--workdir")) {
                ok = rest.size() >= 2;
                workDir = rest.value(1);
                rest = rest.mid(2);
            }
        } else if (ok) {
            projectPath = rest.takeFirst();
        }
        QString program;
        if (verb == QLatin1String("start")) {
            program = rest.isEmpty() ? QStringLiteral("tarn") : rest.takeFirst();
            ok = ok && (program == QLatin1String("tarn") || program == QLatin1String("tarnProps"));
        }
        if (ok && rest.isEmpty()) {
            QString error;
            const auto project = dataDir.isEmpty()
                                     ? HostProject::load(projectPath, &error)
                                     : HostProject::fromDataFolder(dataDir, workDir, &error);
            return runServe(project, dataDir.isEmpty() ? projectPath : dataDir, error, program);
        }
    }
    // The one-shot clients print the reason themselves.
    if (verb == QLatin1String("send") || verb == QLatin1String("request"))
        QLoggingCategory::setFilterRules(QStringLiteral("tarn.hostlink.warning=false"));
    if (verb == QLatin1String("send") && args.size() == 3)
        return runSend(args[1], args[2]);
    if (verb == QLatin1String("request") && args.size() == 2)
        return runRequest(args[1]);

    std::fputs(usage, stderr);
    return ExitUsage;
}
