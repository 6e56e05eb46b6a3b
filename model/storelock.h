#pragma once

#include <QLockFile>
#include <QString>

// The lock file beside a store ("isprops.xml.lock"), held by a program while it changes the
// store, so that two writers never interleave a load and a save and lose each other's sets.
// Readers need none: a save replaces the file whole. Released when the object goes.
class StoreLock {
public:
    enum class Result {
        Locked,     // held by this object
        Busy,       // another program held it for the whole wait
        Unavailable // the lock file cannot be made here (a folder this user cannot write)
    };
    static constexpr int kDefaultWaitMs = 5000;

    explicit StoreLock(const QString& storePath);

    // Waits up to waitMs for another holder to finish. A holder that died leaves a stale lock,
    // which is taken over. Unavailable lets the caller go on without a lock: the save itself
    // then says whether the store can be written.
    Result lock(int waitMs = kDefaultWaitMs);

    // "The coefficient store '<path>' is being changed by another program. ..."
    static QString busyMessage(const QString& storePath);

private:
    QLockFile m_file;
};
