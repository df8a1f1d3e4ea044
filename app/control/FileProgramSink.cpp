#include "FileProgramSink.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

bool FileProgramSink::open(int width, int height, int frameRate, QString* error) {
    (void)width;
    (void)height;
    (void)frameRate;
    close();
    const QByteArray path = _path.toLocal8Bit();
    _fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (_fd < 0) {
        if (error)
            *error = QStringLiteral("The program picture cannot be written to %1: %2.")
                         .arg(_path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    return true;
}

bool FileProgramSink::write(const std::uint8_t* data, std::size_t size, QString* error) {
    if (_fd < 0) {
        if (error)
            *error = QStringLiteral("The program sink is not open.");
        return false;
    }
    // A pipe takes a frame in pieces: the rest of it is written before the next frame starts,
    // or the reader would lose its frame boundaries for good.
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(_fd, data + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (error)
                *error = QString::fromLocal8Bit(std::strerror(errno));
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

void FileProgramSink::close() {
    if (_fd >= 0)
        ::close(_fd);
    _fd = -1;
}
