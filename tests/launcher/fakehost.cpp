#include "fakehost.h"

#include "commandsource.h"
#include "hostlink.h"

#include <QMetaObject>
#include <QMutexLocker>

FakeHost::FakeHost()
{
    m_thread.start();
    m_source = new CommandSource(HostLink::HostService, HostLink::HostTopic);
    m_source->moveToThread(&m_thread);
    m_source->setRequestHandler([this](const QString& item) -> std::optional<QString> {
        QMutexLocker locker(&m_mutex);
        m_requests << item;
        return m_answers.value(item, std::nullopt);
    });
    bool listening = false;
    QMetaObject::invokeMethod(
        m_source,
        [this, &listening] {
            listening = m_source->listen() == CommandSource::ListenResult::Listening;
        },
        Qt::BlockingQueuedConnection);
    if (!listening) {
        qFatal("FakeHost: cannot serve the host endpoint");
    }
}

FakeHost::~FakeHost()
{
    QMetaObject::invokeMethod(
        m_source, [this] { delete m_source; }, Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
}

void FakeHost::answer(const QString& item, const std::optional<QString>& text)
{
    QMutexLocker locker(&m_mutex);
    m_answers.insert(item, text);
}

QStringList FakeHost::requests() const
{
    QMutexLocker locker(&m_mutex);
    return m_requests;
}

void FakeHost::clearRequests()
{
    QMutexLocker locker(&m_mutex);
    m_requests.clear();
}
