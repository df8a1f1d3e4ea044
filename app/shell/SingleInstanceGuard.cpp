#include "SingleInstanceGuard.h"

#include <QDebug>
#include <QFile>
#include <QLocalSocket>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Opens (creating it if needed) the lock file. Every user must be able to open it, so a
// second user's start still finds the first user's instance.
int openLockFile(const QByteArray& path) {
    int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd >= 0) {
        ::fchmod(fd, 0666);  // the umask may have narrowed the mode; best effort
        return fd;
    }
    // Someone else's file that we may not write: a shared lock needs only read access to the
    // descriptor, and flock does not care about the open mode.
    return ::open(path.constData(), O_RDONLY | O_CLOEXEC);
}

}  // namespace

SingleInstanceGuard::SingleInstanceGuard(const QString& lockPath) : _lockPath(lockPath) {}

SingleInstanceGuard::~SingleInstanceGuard() {
    if (_fd >= 0)
        ::close(_fd);
}

bool SingleInstanceGuard::tryAcquire() {
    if (_held)
        return true;
    if (_fd < 0)
        _fd = openLockFile(QFile::encodeName(_lockPath));
    if (_fd < 0) {
        qDebug() << "SingleInstanceGuard::tryAcquire"
                 << "cannot open" << _lockPath << std::strerror(errno);
        return false;
    }
    int rc;
    do {
        rc = ::flock(_fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    _held = rc == 0;
    if (!_held && errno != EWOULDBLOCK)
        qDebug() << "SingleInstanceGuard::tryAcquire"
                 << "flock failed" << std::strerror(errno);
    return _held;
}

bool SingleInstanceGuard::handOver(const QString& serverName, int timeoutMs) {
    QLocalSocket socket;
    socket.abort();
    socket.connectToServer(serverName, QIODevice::ReadWrite);
    const bool connected = socket.waitForConnected(timeoutMs);
    qDebug() << "SingleInstanceGuard::handOver" << serverName << "connected:" << connected;
    return connected;
}
