#pragma once

#include <QString>

// "One instance" lock: an exclusive flock on a lock file, held for the life of the object
// (the kernel releases it when the process dies, so a crash leaves no stale lock behind).
//
// The shared lock file lives in a folder every user can write (/tmp), where anyone may have
// put something in its place first. So the file is never followed through a link, never
// opened if it is not a regular file (a FIFO would block the start, a directory is no lock),
// and its mode is changed only when this process has just created it.
class SingleInstanceGuard {
public:
    enum class Result {
        Acquired,       // this process now holds the lock
        HeldElsewhere,  // another process holds it: an instance runs
        Unusable,       // the lock file cannot be opened or is not a regular file
    };

    // fileMode: the mode a newly created lock file gets, whatever the umask.
    explicit SingleInstanceGuard(const QString& lockPath, unsigned fileMode = 0644);
    ~SingleInstanceGuard();
    SingleInstanceGuard(const SingleInstanceGuard&) = delete;
    SingleInstanceGuard& operator=(const SingleInstanceGuard&) = delete;

    Result acquire();
    // True when this process now holds the lock.
    bool tryAcquire() { return acquire() == Result::Acquired; }
    bool isHeld() const { return _fd >= 0 && _held; }
    QString lockPath() const { return _lockPath; }
    // Why the lock file is unusable (empty otherwise).
    QString errorString() const { return _error; }

    // Where a user's own lock goes when the shared one cannot be used: the same file name
    // under $XDG_RUNTIME_DIR when that is set, else a name carrying the user id beside the
    // shared file ("/tmp/Vantor_AP-1000.lock").
    static QString perUserLockPath(const QString& sharedLockPath);
    // The local-server name of an instance that runs under a per-user lock ("Vantor_AP-1000").
    static QString perUserServerName(const QString& serverName);

    // A second start: connect to the running instance's local server so it comes to the
    // front, and wait up to timeoutMs for that connection. True when it was made.
    static bool handOver(const QString& serverName, int timeoutMs);

private:
    QString _lockPath;
    unsigned _fileMode;
    int _fd = -1;
    bool _held = false;
    QString _error;
};
