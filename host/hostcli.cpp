#include "host/hostcli.h"

#include "catalog/coverage.h"
#include "host/hostserver.h"
#include "hostlink/clientlink.h"
#include "hostlink/commandsource.h"
#include "hostlink/hostlink.h"
#include "hostlink/programcloser.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QPointer>
#include <QProcess>
#include <QSocketNotifier>
#include <QTimer>

#include <functional>
#include <optional>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Exit statuses of serve and start.
constexpr int ExitUsage = 2;    // bad arguments or project file
constexpr int ExitEndpoint = 3; // endpoint taken, program missing

const char usage[] = "usage: tarnhost serve PROJECT.json [--coverage RULE]\n"
                     "       tarnhost serve --data DIR [--workdir DIR] [--coverage RULE]\n"
                     "       tarnhost start PROJECT.json [--coverage RULE] [tarn|tarnProps]\n"
                     "       tarnhost start --data DIR [--workdir DIR] [--coverage RULE] "
                     "[tarn|tarnProps]\n"
                     "       (RULE: centre, exact or touched, passed on to tarn-analyze)\n"
                     "       serve and start also take --idle-timeout MS (default 60000)\n"
                     "       tarnhost send SERVICE COMMAND\n"
                     "       tarnhost request ITEM\n"
                     "       tarnhost --help | --version\n"
                     "\n"
                     "A stand-in for the GIS host: serves the host's request channel from a\n"
                     "project description (JSON) or a folder of GIS files (--data), starts\n"
                     "the launcher or the editor, and runs tarn-analyze on Run.\n"
                     "  serve    answer the programs' requests until stopped\n"
                     "  start    serve, and start a program from tarnhost's own folder\n"
                     "  send     send one command to a program (exit 0 accepted, 1 refused,\n"
                     "           2 no answer)\n"
                     "  request  ask a serving host for one item and print the answer\n";

int sigFd[2] = {-1, -1};
std::function<void()> onTermination = [] { qApp->quit(); };

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(sigFd[1], &byte, 1);
}

// A terminated host still removes its socket, so the next start finds no stale file.
void handleTermination(QObject* parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, sigFd) != 0) {
        return;
    }
    auto* notifier = new QSocketNotifier(sigFd[0], QSocketNotifier::Read, parent);
    QObject::connect(notifier, &QSocketNotifier::activated, qApp, [] {
        char byte = 0;
        [[maybe_unused]] const auto read = ::read(sigFd[0], &byte, 1);
        onTermination();
    });
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
}

// Asks the started program to end as its Quit would, so it can ask about unsaved changes;
// the host ends with it. Asked again while it asks, or when it does not answer, it is ended.
void endWithProgram(QProcess& child, const QString& program)
{
    static QPointer<ProgramCloser> asking;
    if (child.state() == QProcess::NotRunning || asking) {
        child.terminate();
        qApp->quit();
        return;
    }
    logLine(QStringLiteral("asking %1 to end").arg(program));
    asking = new ProgramCloser(program, qApp);
    QObject::connect(
        asking, &ProgramCloser::finished, qApp,
        [&child, program](ProgramCloser::Outcome outcome, const QString& reason) {
            asking->deleteLater();
            switch (outcome) {
            case ProgramCloser::Outcome::Ending:
                logLine(QStringLiteral("%1 is ending").arg(program));
                break;
            case ProgramCloser::Outcome::KeptOpen:
                logLine(QStringLiteral("%1 stays open, so tarnhost goes on serving").arg(program));
                break;
            case ProgramCloser::Outcome::NotAnswering:
                logLine(QStringLiteral("%1 does not answer (%2); ending it").arg(program, reason));
                child.terminate();
                QTimer::singleShot(5000, &child, [&child] { child.kill(); });
                break;
            }
        });
    asking->ask();
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

int runServe(const std::optional<HostProject>& project, const QString& origin, const QString& error,
             const QString& program, int idleMs)
{
    if (!project) {
        errorLine(error);
        return ExitUsage;
    }
    for (const QString& note : project->data.notes) {
        logLine(QStringLiteral("note: ") + note);
    }
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

    HostServer server(*project,
                      QCoreApplication::applicationDirPath() + QStringLiteral("/tarn-analyze"));
    CommandSource& source = server.source();
    if (idleMs > 0) {
        source.setIdleTimeout(idleMs);
    }

    // Before the socket exists, so a termination never leaves it behind.
    handleTermination(&source);
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
        onTermination = [&child, program] { endWithProgram(child, program); };
    }

    const int status = QCoreApplication::exec();
    onTermination = [] { qApp->quit(); };
    if (child.state() != QProcess::NotRunning) {
        child.disconnect();
        child.terminate();
        if (!child.waitForFinished(5000)) {
            child.kill();
            child.waitForFinished(5000);
        }
    }
    if (!program.isEmpty() && child.exitStatus() == QProcess::CrashExit) {
        // Ended by a signal, it could not remove its endpoint.
        HostLink::removeStaleSocket(HostLink::endpointPath(program, HostLink::TransferTopic));
    }
    return status;
}

} // namespace

int runHostCli(const QStringList& arguments)
{
    const QString verb = arguments.value(1);
    const bool client = verb == QLatin1String("send") || verb == QLatin1String("request");

    QCommandLineParser parser;
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption data(QStringLiteral("data"), QString(), QStringLiteral("DIR"));
    const QCommandLineOption workdir(QStringLiteral("workdir"), QString(), QStringLiteral("DIR"));
    const QCommandLineOption coverage(QStringLiteral("coverage"), QString(),
                                      QStringLiteral("RULE"));
    const QCommandLineOption idle(QStringLiteral("idle-timeout"), QString(), QStringLiteral("MS"));
    parser.addOptions({help, data, workdir, coverage, idle});
    // A request item or command may begin with "-": after send or request, all is positional.
    if (client) {
        parser.setOptionsAfterPositionalArgumentsMode(
            QCommandLineParser::ParseAsPositionalArguments);
    }
    const bool parsed = parser.parse(arguments);
    if (parsed && parser.isSet(help)) {
        std::fputs(usage, stdout);
        return 0;
    }
    QStringList rest = parser.positionalArguments().mid(1);
    const bool folder = parser.isSet(data);

    if (parsed && (verb == QLatin1String("serve") || verb == QLatin1String("start")) &&
        (folder || !parser.isSet(workdir))) {
        // serve|start (PROJECT.json | --data DIR [--workdir DIR]) [program, start only]
        const QString projectPath = folder ? QString() : rest.value(0);
        // The analysis' rule for the cells of a polygon, passed on to every run.
        const QString coverageRule = parser.value(coverage);
        bool idleOk = true;
        const int idleMs = parser.isSet(idle) ? parser.value(idle).toInt(&idleOk) : 0;
        bool ok = (folder || !rest.isEmpty()) && idleOk && idleMs >= 0 &&
                  (coverageRule.isEmpty() || coverageByName(coverageRule).has_value());
        if (!folder && ok) {
            rest.removeFirst();
        }
        QString program;
        if (verb == QLatin1String("start")) {
            program = rest.isEmpty() ? QStringLiteral("tarn") : rest.takeFirst();
            ok = ok && (program == QLatin1String("tarn") || program == QLatin1String("tarnProps"));
        }
        if (ok && rest.isEmpty()) {
            QString error;
            const QString dataDir = parser.value(data);
            auto project = folder
                               ? HostProject::fromDataFolder(dataDir, parser.value(workdir), &error)
                               : HostProject::load(projectPath, &error);
            if (project && !coverageRule.isEmpty()) {
                project->analysisArguments << QStringLiteral("--coverage") << coverageRule;
            }
            return runServe(project, folder ? dataDir : projectPath, error, program, idleMs);
        }
    }
    if (parsed && client && !folder && !parser.isSet(workdir) && !parser.isSet(idle)) {
        // The one-shot clients print the reason themselves.
        QLoggingCategory::setFilterRules(QStringLiteral("tarn.hostlink.warning=false"));
        if (verb == QLatin1String("send") && rest.size() == 2) {
            return runSend(rest[0], rest[1]);
        }
        if (verb == QLatin1String("request") && rest.size() == 1) {
            return runRequest(rest[0]);
        }
    }
    std::fputs(usage, stderr);
    return ExitUsage;
}
