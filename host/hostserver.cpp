#include "host/hostserver.h"

#include "catalog/workfolder.h"
#include "hostlink/executeclient.h"
#include "hostlink/hostlink.h"
#include "hostlink/hostrequest.h"
#include "model/modelparams.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>

#include <cstdio>
#include <memory>

// A line is cut short, so that a caller sending megabytes cannot fill the disk with the log.
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

AnalysisRunner::~AnalysisRunner()
{
    if (!m_process) {
        return;
    }
    m_process->disconnect();
    m_process->kill();
    m_process->waitForFinished(5000);
    delete m_process;
}

namespace {

void removeLeftoversOf(const QString& paramFile, qint64 pid)
{
    QString unreadable;
    const auto params = ModelParams::load(paramFile, &unreadable);
    if (params && pid > 0) {
        removeAnalysisLeftovers(QFileInfo(params->outTheme).absolutePath(), pid);
    }
}

} // namespace

void AnalysisRunner::cancel()
{
    if (!m_process) {
        return;
    }
    const qint64 pid = m_process->processId();
    m_process->disconnect();
    m_process->kill();
    m_process->waitForFinished(5000);
    forward(false);
    forward(true);
    removeLeftoversOf(paramFile(), pid);
    logLine(QStringLiteral("analysis cancelled; no output was written"));
    done();
}

void removeAnalysisLeftovers(const QString& folder, qint64 pid)
{
    for (const QString& line : recoverWorkFolders(folder, pid)) {
        logLine(line);
    }
}

void AnalysisRunner::start(const QStringList& arguments)
{
    m_arguments = arguments;
    m_process = new QProcess(qApp);
    m_process->setProcessChannelMode(QProcess::SeparateChannels);
    QObject::connect(m_process, &QProcess::readyReadStandardOutput, qApp,
                     [this] { forward(false); });
    QObject::connect(m_process, &QProcess::readyReadStandardError, qApp, [this] { forward(true); });
    // Killed by someone else, it may have left a swap half done.
    const auto pid = std::make_shared<qint64>(0);
    QObject::connect(m_process, &QProcess::started, qApp,
                     [this, pid] { *pid = m_process->processId(); });
    QObject::connect(m_process, &QProcess::finished, qApp,
                     [this, pid](int code, QProcess::ExitStatus status) {
                         forward(false);
                         forward(true);
                         if (status == QProcess::CrashExit) {
                             removeLeftoversOf(paramFile(), *pid);
                         }
                         logLine(status == QProcess::NormalExit && code == 0
                                     ? QStringLiteral("analysis finished")
                                     : QStringLiteral("analysis failed (status %1)")
                                           .arg(status == QProcess::NormalExit ? code : -1));
                         done();
                     });
    QObject::connect(m_process, &QProcess::errorOccurred, qApp,
                     [this](QProcess::ProcessError error) {
                         if (error != QProcess::FailedToStart) {
                             return;
                         }
                         logLine(QStringLiteral("analysis failed: cannot start %1: %2")
                                     .arg(m_program, m_process->errorString()));
                         done();
                     });
    logLine(QStringLiteral("analysis: %1 %2").arg(m_program, arguments.join(QLatin1Char(' '))));
    m_process->start(m_program, arguments);
}

void AnalysisRunner::forward(bool errors)
{
    if (!m_process) {
        return;
    }
    m_process->setReadChannel(errors ? QProcess::StandardError : QProcess::StandardOutput);
    while (m_process->canReadLine()) {
        logLine(QStringLiteral("analysis: ") + QString::fromUtf8(m_process->readLine()).trimmed());
    }
}

void AnalysisRunner::done()
{
    m_process->deleteLater();
    m_process = nullptr;
    sendLauncherCommand(HostLink::CmdCloseProcFrm);
}

HostServer::HostServer(const HostProject& project, const QString& analysisProgram)
    : m_core(project), m_source(HostLink::HostService, HostLink::HostTopic),
      m_runner(analysisProgram)
{
    m_source.setRequestHandler([this](const QString& item) { return answer(item); });
    // The launcher blocks until answered, so commands go out only after the answer.
    QObject::connect(&m_source, &CommandSource::answered, [this] { answered(); });
}

std::optional<QString> HostServer::answer(const QString& item)
{
    logLine(QStringLiteral("request: ") + item);
    HostCore::Answer answer = m_core.answer(item);
    QString script;
    QStringList args;
    if (HostRequest::parseRunScript(item, &script, &args) &&
        script == QLatin1String("isCancelModel") && args.size() == 1) {
        const bool ours =
            m_runner.busy() && QFileInfo(args[0]).absoluteFilePath() == m_runner.paramFile();
        answer = {ours ? HostRequest::Cancelled
                       : QStringLiteral("No model run of %1 is under way").arg(args[0]),
                  {},
                  ours ? QStringLiteral("cancelling the run") : QStringLiteral("nothing to cancel"),
                  {}};
        m_cancel = ours;
    }
    if (!answer.analysisRun.isEmpty() && (m_runner.busy() || !m_pendingRun.isEmpty())) {
        answer = {QStringLiteral("A model run is under way; try again when it has ended"),
                  {},
                  QStringLiteral("model not started"),
                  {}};
    }
    m_pendingRun = answer.analysisRun;
    logLine(answer.text ? QStringLiteral("answer: ") + *answer.text
                        : QStringLiteral("answer: (no data)"));
    if (!answer.note.isEmpty()) {
        logLine(QStringLiteral("note: ") + answer.note);
    }
    m_pendingCommands += answer.launcherCommands;
    return answer.text;
}

void HostServer::answered()
{
    const QStringList commands = std::exchange(m_pendingCommands, {});
    for (const QString& command : commands) {
        sendLauncherCommand(command);
    }
    const QStringList run = std::exchange(m_pendingRun, {});
    if (!run.isEmpty()) {
        m_runner.start(run);
        // The notice offers Cancel; a launcher that knows no such command refuses it.
        sendLauncherCommand(HostLink::CmdShowCancel);
    }
    if (std::exchange(m_cancel, false)) {
        m_runner.cancel();
    }
}
