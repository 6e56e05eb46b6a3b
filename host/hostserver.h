#pragma once

#include "host/hostcore.h"
#include "hostlink/commandsource.h"

#include <QString>
#include <QStringList>

#include <optional>

class QProcess;

// The host's log: requests, answers and commands, one line each on standard output, so a log
// shows the conversation.
void logLine(const QString& line);

// Sends a command to the launcher without waiting; the log gets the outcome.
void sendLauncherCommand(const QString& command);

// Runs tarn-analyze on a checked parameter file, logging its lines; the notice closes when
// it ends, whatever the outcome, and the log says which.
class AnalysisRunner {
public:
    explicit AnalysisRunner(QString program) : m_program(std::move(program)) {}
    AnalysisRunner(const AnalysisRunner&) = delete;
    AnalysisRunner& operator=(const AnalysisRunner&) = delete;
    // A host that ends stops its run; the analysis leaves no half output behind.
    ~AnalysisRunner();

    bool busy() const { return m_process != nullptr; }
    // arguments: the parameter file first.
    void start(const QStringList& arguments);
    // The parameter file of the run under way.
    QString paramFile() const { return m_arguments.value(0); }
    // Stops the run; it leaves no output, and an earlier output stays as it was.
    void cancel();

private:
    void forward(bool errors);
    void done();

    QString m_program;
    QStringList m_arguments;
    QProcess* m_process = nullptr;
};

// Removes what an analysis stopped by a signal left beside its output (its work folders,
// named after its process id), undoing a swap it had begun (catalog/workfolder.h); logs
// what it put back.
void removeAnalysisLeftovers(const QString& folder, qint64 pid);

// The serving state of tarnhost: answers the launcher's requests from the project, sends the
// commands an answer owes once it is out, and runs one analysis at a time.
class HostServer {
public:
    // analysisProgram: the tarn-analyze to run.
    HostServer(const HostProject& project, const QString& analysisProgram);

    CommandSource& source() { return m_source; }
    // Listens on the host's endpoint; the source's errorString() says why not.
    CommandSource::ListenResult listen() { return m_source.listen(); }

    // The answer to one request, as the link sends it; what it owes waits for answered().
    std::optional<QString> answer(const QString& item);
    // The answer is out: send the launcher its commands, start the run.
    void answered();

private:
    HostCore m_core;
    CommandSource m_source;
    QStringList m_pendingCommands; // launcher commands owed once the current answer is out
    QStringList m_pendingRun;
    bool m_cancel = false; // the run stops once the answer is out
    AnalysisRunner m_runner;
};
