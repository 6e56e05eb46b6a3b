#include "model/storelock.h"

StoreLock::StoreLock(const QString& storePath) : m_file(storePath + QStringLiteral(".lock")) {}

StoreLock::Result StoreLock::lock(int waitMs)
{
    if (m_file.tryLock(waitMs)) {
        return Result::Locked;
    }
    return m_file.error() == QLockFile::LockFailedError ? Result::Busy : Result::Unavailable;
}

QString StoreLock::busyMessage(const QString& storePath)
{
    return QStringLiteral("The coefficient store '%1' is being changed by another program (it "
                          "holds the lock file '%1.lock'). The store was left unchanged; try "
                          "again in a moment.")
        .arg(storePath);
}
