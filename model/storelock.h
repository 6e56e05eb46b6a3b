#pragma once

#include <QLockFile>
#include <QString>

// The lock file beside a store ("isprops.xml.lock"), held by a program while it changes the
// store, so that two writers never interleave a load and a save and lose each other's sets.
// Readers need none: a save replaces the file whole. Released when the object goes.
class StoreLock {
public:
    enum class Result {
        Locked,      // held by this object
        Busy,        // another program held it for the whole wait
        Unavailable, // the lock file cannot be made here (a folder this user cannot write)
        Broken       // something else is in its place: a folder, a symbolic link
    };
    static constexpr int kDefaultWaitMs = 5000;

    explicit StoreLock(const QString& storePath);

    // Waits up to waitMs for another holder to finish. A holder that died leaves a stale lock,
    // which is taken over. Only Locked lets the caller save: a store that cannot be locked
    // cannot be replaced safely either, and is never written in place.
    Result lock(int waitMs = kDefaultWaitMs);

    // Why the last lock() did not lock, for the user: the store was left unchanged, and
    // where the user's own store is, when it is not this one.
    QString refusalMessage() const;

    // "The coefficient store '<path>' is being changed by another program. ..."
    static QString busyMessage(const QString& storePath);

private:
    QString m_storePath;
    QLockFile m_file;
    Result m_result = Result::Locked;
    QString m_problem; // what is wrong with the lock file or its folder
    bool m_folderWritable = true;
};
