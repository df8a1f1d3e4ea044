#include "sim/KXUnixSocket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace kxsock {
namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

bool waitFor(int fd, short events, int timeoutMs) {
    pollfd p{fd, events, 0};
    int r;
    do {
        r = ::poll(&p, 1, timeoutMs);
    } while (r < 0 && errno == EINTR);
    return r > 0;
}

}  // namespace

int connectUnix(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
        return -1;
    }
    std::memcpy(addr.sun_path, path.data(), path.size());
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    int r;
    do {
        r = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    } while (r < 0 && errno == EINTR);
    if (r < 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void closeSocket(int fd) {
    if (fd >= 0) {
        ::close(fd);
    }
}

bool setNonBlocking(int fd) {
    int flags = ::fcntl(fd, F_GETFL, 0);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool sendAll(int fd, const std::string& data, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    size_t sent = 0;
    while (sent < data.size()) {
        ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!waitFor(fd, POLLOUT, remainingMs(deadline)) && remainingMs(deadline) == 0) {
                return false;
            }
            continue;
        }
        return false;
    }
    return true;
}

LineResult receiveLine(int fd, KXLineReader& reader, std::string& line, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        switch (reader.next(line)) {
            case KXLineReader::Result::Line:
                return LineResult::Line;
            case KXLineReader::Result::TooLong:
                return LineResult::TooLong;
            case KXLineReader::Result::NeedMore:
                break;
        }
        char chunk[8192];
        ssize_t n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n > 0) {
            reader.feed(std::string_view(chunk, static_cast<size_t>(n)));
            continue;
        }
        if (n == 0) {
            return LineResult::Closed;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            return LineResult::Error;
        }
        int left = remainingMs(deadline);
        if (left == 0 || !waitFor(fd, POLLIN, left)) {
            if (remainingMs(deadline) == 0) {
                return LineResult::Timeout;
            }
        }
    }
}

}  // namespace kxsock
