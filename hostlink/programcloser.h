#pragma once

#include "hostlink/executeclient.h"

#include <QObject>
#include <QString>

class QTimer;

// A host's way of ending a program it started, as the program's own Quit would ("{exit}").
// The program may ask the user first, so its verdict can take as long as the user does;
// meanwhile an empty command, which every program refuses at once while its event loop
// runs, tells a program that is asking from one that hangs.
class ProgramCloser : public QObject {
    Q_OBJECT
public:
    enum class Outcome {
        Ending,       // the program accepted and is ending
        KeptOpen,     // it refused: the user kept it open, or it knows no "{exit}"
        NotAnswering, // nothing answers on its endpoint, or it stopped answering
    };
    Q_ENUM(Outcome)

    explicit ProgramCloser(QString service, QObject* parent = nullptr);

    // How often the program is probed, and how long a probe may take (tests shorten them).
    void setProbing(int intervalMs, int timeoutTenths);
    // finished() is emitted exactly once, possibly before ask() returns.
    void ask();

signals:
    void finished(ProgramCloser::Outcome outcome, const QString& reason);

private:
    void probe();
    void finish(Outcome outcome, const QString& reason);

    QString m_service;
    QTimer* m_probing;
    int m_probeTimeoutTenths = 50;
    bool m_probeOut = false;
    bool m_done = false;
};
