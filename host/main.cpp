// tarnhost: a stand-in for the GIS host. It answers the launcher's requests from a project
// description, sends commands to the programs and starts them.
#include "clientlink.h"
#include "commandsource.h"
#include "executeclient.h"
#include "hostcore.h"
#include "hostlink.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QProcess>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Exit statuses of serve and start.
constexpr int ExitUsage = 2;    // bad arguments or project file
constexpr int ExitEndpoint = 3; // endpoint taken, program missing

const char usage[] = "usage: tarnhost serve PROJECT.json\n"
                     "       tarnhost start PROJECT.json [tarn|tarnProps]\n"
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

// Requests, answers and commands, one line each, so a log shows the conversation.
void logLine(const QString& line)
{
    QString flat = line;
    flat.replace(QLatin1Char('\r'), QLatin1String("\\r"))
        .replace(QLatin1Char('\n'), QLatin1String("\\n"));
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

int runServe(const QString& projectPath, const QString& program)
{
    QString error;
    const auto project = HostProject::load(projectPath, &error);
    if (!project) {
        errorLine(error);
        return ExitUsage;
    }
    if (!QDir().mkpath(project->workDir)) {
        errorLine(QStringLiteral("%1: cannot create the working directory %2")
                      .arg(projectPath, project->workDir));
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
    source.setRequestHandler([&](const QString& item) {
        logLine(QStringLiteral("request: ") + item);
        const HostCore::Answer answer = core.answer(item);
        logLine(answer.text ? QStringLiteral("answer: ") + *answer.text
                            : QStringLiteral("answer: (no data)"));
        if (!answer.note.isEmpty())
            logLine(QStringLiteral("note: ") + answer.note);
        pending += answer.launcherCommands;
        return answer.text;
    });
    // The launcher blocks until answered, so commands go out only after the answer.
    QObject::connect(&source, &CommandSource::answered, [&pending] {
        const QStringList commands = std::exchange(pending, {});
        for (const QString& command : commands)
            sendLauncherCommand(command);
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

    if (verb == QLatin1String("serve") && args.size() == 2)
        return runServe(args[1], QString());
    if (verb == QLatin1String("start") && (args.size() == 2 || args.size() == 3)) {
        const QString program = args.value(2, QStringLiteral("tarn"));
        if (program == QLatin1String("tarn") || program == QLatin1String("tarnProps"))
            return runServe(args[1], program);
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
