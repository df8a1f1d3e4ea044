#pragma once

#include <QString>

// Machine-wide "one instance" lock: an exclusive flock on a file in /tmp, held for the life
// of the object (the kernel releases it when the process dies, so a crash leaves no stale
// lock behind).
class SingleInstanceGuard {
public:
    explicit SingleInstanceGuard(const QString& lockPath);
    ~SingleInstanceGuard();
    SingleInstanceGuard(const SingleInstanceGuard&) = delete;
    SingleInstanceGuard& operator=(const SingleInstanceGuard&) = delete;

    // True when this process now holds the lock, false when another process holds it (or the
    // lock file cannot be opened at all, which is treated like a running instance: starting
    // a second writer of the settings would be worse than not starting).
    bool tryAcquire();
    bool isHeld() const { return _fd >= 0 && _held; }

    // A second start: connect to the running instance's local server so it comes to the
    // front, and wait up to timeoutMs for that connection. True when it was made.
    static bool handOver(const QString& serverName, int timeoutMs);

private:
    QString _lockPath;
    int _fd = -1;
    bool _held = false;
};
