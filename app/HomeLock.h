// The advisory lock a running server holds on its home folder, so that the
// command-line account file operations can tell that the database of that
// home is in use. The lock is an flock() on DIR/.mms-server.lock: the
// system drops it when the process ends, however it ends, so a stale file
// never blocks anything.
#pragma once

#include <QString>

class THomeLock {
public:
    THomeLock() = default;
    ~THomeLock();
    THomeLock(const THomeLock &) = delete;
    THomeLock &operator=(const THomeLock &) = delete;

    // Takes the lock without waiting. False when another process holds it
    // or the file cannot be opened.
    bool TryLock(const QString &home);
    bool Locked() const { return fd_ >= 0; }

    static QString LockFile(const QString &home);

private:
    int fd_ = -1;
};
