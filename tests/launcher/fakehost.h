#pragma once

#include <QHash>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <QThread>

#include <optional>

class CommandSource;

// A host served from a thread of the test process, so the launcher's blocking requests find
// it answering. Answers are scripted per request item; every request is recorded in order.
class FakeHost {
public:
    FakeHost();
    ~FakeHost();
    FakeHost(const FakeHost&) = delete;
    FakeHost& operator=(const FakeHost&) = delete;

    // The answer to one item; std::nullopt answers "no data". Items without an answer get
    // no data.
    void answer(const QString& item, const std::optional<QString>& text);
    QStringList requests() const;
    void clearRequests();

private:
    QThread m_thread;
    CommandSource* m_source = nullptr;
    mutable QMutex m_mutex;
    QHash<QString, std::optional<QString>> m_answers;
    QStringList m_requests;
};
