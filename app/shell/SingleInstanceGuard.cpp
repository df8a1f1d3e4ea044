#include "SingleInstanceGuard.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Opens the lock file, creating it if it does not exist. Returns the descriptor, or -1 with
// the reason in `error`.
int openLockFile(const QByteArray& path, mode_t mode, QString& error) {
    // The path may be removed between the two opens below; try again a few times.
    for (int attempt = 0; attempt < 3; ++attempt) {
        // O_EXCL|O_CREAT makes only a new file (never through a link), so the mode change
        // below can only touch a file this process owns and has just created.
        int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0) {
            ::fchmod(fd, mode);  // the umask may have narrowed the mode; best effort
            return fd;
        }
        if (errno != EEXIST) {
            error = QString::fromLocal8Bit(std::strerror(errno));
            return -1;
        }
        // An existing file: never through a link (O_NOFOLLOW), and O_NONBLOCK so a FIFO put in
        // its place cannot hold the start. Someone else's file that we may not write still
        // serves: flock does not care about the open mode.
        fd = ::open(path.constData(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0 && errno == EACCES)
            fd = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) {
            if (errno == ENOENT)
                continue;
            error = errno == ELOOP ? QStringLiteral("it is a symbolic link")
                                   : QString::fromLocal8Bit(std::strerror(errno));
            return -1;
        }
        struct stat info {};
        if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
            ::close(fd);
            error = QStringLiteral("it is not a regular file");
            return -1;
        }
        return fd;
    }
    error = QStringLiteral("it keeps disappearing");
    return -1;
}

}  // namespace

SingleInstanceGuard::SingleInstanceGuard(const QString& lockPath, unsigned fileMode)
    : _lockPath(lockPath), _fileMode(fileMode) {}

SingleInstanceGuard::~SingleInstanceGuard() {
    if (_fd >= 0)
        ::close(_fd);
}

SingleInstanceGuard::Result SingleInstanceGuard::acquire() {
    if (_held)
        return Result::Acquired;
    if (_fd < 0) {
        _error.clear();
        _fd = openLockFile(QFile::encodeName(_lockPath), static_cast<mode_t>(_fileMode), _error);
    }
    if (_fd < 0) {
        qDebug() << "SingleInstanceGuard::acquire"
                 << "cannot use" << _lockPath << _error;
        return Result::Unusable;
    }
    int rc;
    do {
        rc = ::flock(_fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) {
        _held = true;
        return Result::Acquired;
    }
    if (errno == EWOULDBLOCK)
        return Result::HeldElsewhere;
    _error = QString::fromLocal8Bit(std::strerror(errno));
    qDebug() << "SingleInstanceGuard::acquire"
             << "flock failed" << _error;
    ::close(_fd);
    _fd = -1;
    return Result::Unusable;
}

QString SingleInstanceGuard::perUserLockPath(const QString& sharedLockPath) {
    const QFileInfo shared(sharedLockPath);
    const QString runtimeDir = QFile::decodeName(qgetenv("XDG_RUNTIME_DIR"));
    if (!runtimeDir.isEmpty() && QDir::isAbsolutePath(runtimeDir))
        return QDir(runtimeDir).filePath(shared.fileName());
    QString name = shared.completeBaseName() + QLatin1Char('-') + QString::number(::getuid());
    if (!shared.suffix().isEmpty())
        name += QLatin1Char('.') + shared.suffix();
    return shared.dir().filePath(name);
}

QString SingleInstanceGuard::perUserServerName(const QString& serverName) {
    return serverName + QLatin1Char('-') + QString::number(::getuid());
}

bool SingleInstanceGuard::handOver(const QString& serverName, int timeoutMs) {
    QLocalSocket socket;
    socket.abort();
    socket.connectToServer(serverName, QIODevice::ReadWrite);
    const bool connected = socket.waitForConnected(timeoutMs);
    qDebug() << "SingleInstanceGuard::handOver" << serverName << "connected:" << connected;
    return connected;
}
