#include "hostlink/programcloser.h"

#include "hostlink/hostlink.h"

#include <QTimer>

namespace {
// The user takes as long as they like to answer; this only bounds a verdict that never comes
// while the probes are still answered.
constexpr int VerdictTimeoutTenths = 24 * 36000;
} // namespace

ProgramCloser::ProgramCloser(QString service, QObject* parent)
    : QObject(parent), m_service(std::move(service)), m_probing(new QTimer(this))
{
    m_probing->setInterval(2000);
    connect(m_probing, &QTimer::timeout, this, &ProgramCloser::probe);
}

void ProgramCloser::setProbing(int intervalMs, int timeoutTenths)
{
    m_probing->setInterval(intervalMs);
    m_probeTimeoutTenths = timeoutTenths;
}

void ProgramCloser::ask()
{
    auto* client = new ExecuteClient(this);
    connect(client, &ExecuteClient::finished, this,
            [this, client](ExecuteResult result, const QString& reason) {
                client->deleteLater();
                finish(result == ExecuteResult::Accepted  ? Outcome::Ending
                       : result == ExecuteResult::Refused ? Outcome::KeptOpen
                                                          : Outcome::NotAnswering,
                       reason);
            });
    m_probing->start();
    client->send(m_service, HostLink::CmdExit, HostLink::TransferTopic, VerdictTimeoutTenths);
}

void ProgramCloser::probe()
{
    if (m_probeOut) {
        return; // the last one is still waiting; its time-out decides
    }
    m_probeOut = true;
    auto* client = new ExecuteClient(this);
    connect(client, &ExecuteClient::finished, this,
            [this, client](ExecuteResult result, const QString& reason) {
                client->deleteLater();
                m_probeOut = false;
                if (result == ExecuteResult::NoAnswer) {
                    finish(Outcome::NotAnswering, reason);
                }
            });
    client->send(m_service, QString(), HostLink::TransferTopic, m_probeTimeoutTenths);
}

void ProgramCloser::finish(Outcome outcome, const QString& reason)
{
    if (m_done) {
        return;
    }
    m_done = true;
    m_probing->stop();
    emit finished(outcome, reason);
}
