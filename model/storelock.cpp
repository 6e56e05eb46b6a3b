#include "model/storelock.h"

#include "model/storelocation.h"

#include <QFileInfo>
#include <QTemporaryFile>

StoreLock::StoreLock(const QString& storePath)
    : m_storePath(storePath), m_file(storePath + QStringLiteral(".lock"))
{
}

StoreLock::Result StoreLock::lock(int waitMs)
{
    // QLockFile takes a folder or a link in its place for a lock another program holds, and
    // would report the store busy for ever.
    const QFileInfo file(m_storePath + QStringLiteral(".lock"));
    if (file.isSymLink()) {
        m_problem = QStringLiteral("is a symbolic link");
    } else if (file.exists() && !file.isFile()) {
        m_problem = file.isDir() ? QStringLiteral("is a folder") : QStringLiteral("is not a file");
    }
    if (!m_problem.isEmpty()) {
        return m_result = Result::Broken;
    }
    if (m_file.tryLock(waitMs)) {
        return m_result = Result::Locked;
    }
    if (m_file.error() == QLockFile::LockFailedError) {
        return m_result = Result::Busy;
    }
    const QFileInfo folder(file.path());
    m_folderWritable = folder.isDir() && folder.isWritable();
    if (!folder.isDir()) {
        m_problem = QStringLiteral("its folder %1 does not exist").arg(folder.filePath());
    } else if (!m_folderWritable) {
        m_problem = QStringLiteral("its folder %1 cannot be written").arg(folder.filePath());
    } else {
        // QLockFile keeps the system's reason to itself; a file made the same way tells it
        // (a full disk, most likely).
        QTemporaryFile probe(folder.filePath() + QStringLiteral("/.tarn-lock-XXXXXX"));
        const bool made = probe.open() && probe.write("0", 1) == 1 && probe.flush();
        m_problem = made ? QStringLiteral("reason unknown") : probe.errorString();
    }
    return m_result = Result::Unavailable;
}

QString StoreLock::refusalMessage() const
{
    switch (m_result) {
    case Result::Locked:
        return QString();
    case Result::Busy:
        return busyMessage(m_storePath);
    case Result::Broken:
        return QStringLiteral("The coefficient store '%1' cannot be changed: its lock file "
                              "'%1.lock' %2, not a lock file, so no program can lock the store. "
                              "Remove it and try again. The store was left unchanged.")
            .arg(m_storePath, m_problem);
    case Result::Unavailable:
        break;
    }
    QString text = QStringLiteral("The coefficient store '%1' cannot be saved: its lock file "
                                  "'%1.lock' cannot be made (%2), and a store is only replaced "
                                  "whole under its lock. The store was left unchanged.")
                       .arg(m_storePath, m_problem);
    const QString own = userStorePath();
    if (!m_folderWritable && QFileInfo(own) != QFileInfo(m_storePath)) {
        text += QStringLiteral(" Your own store '%1' can be saved instead: the programs use it "
                               "when their folder has no store you can write.")
                    .arg(own);
    }
    return text;
}

QString StoreLock::busyMessage(const QString& storePath)
{
    return QStringLiteral("The coefficient store '%1' is being changed by another program (it "
                          "holds the lock file '%1.lock'). The store was left unchanged; try "
                          "again in a moment.")
        .arg(storePath);
}
