#pragma once

#include <vector>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

// A 127.0.0.1 listener that never accepts, with its accept queue filled: the kernel then
// drops every further connection request, so a connect to it neither succeeds nor fails
// (it would retry for minutes). Stands for an unreachable array without leaving loopback.
class StalledListener {
public:
    ~StalledListener() {
        for (int fd : fillers) ::close(fd);
        if (listener >= 0)
            ::close(listener);
    }

    // True once a connection to the listener hangs.
    bool start() {
        listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (listener < 0)
            return false;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(listener, 0) != 0 ||
            ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return false;
        listenPort = ntohs(address.sin_port);
        // Fill the queue until a connection no longer completes.
        for (int attempt = 0; attempt < 16; ++attempt) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            if (fd < 0)
                return false;
            fillers.push_back(fd);
            if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
                continue;
            if (errno != EINPROGRESS)
                return false;
            pollfd waiting{fd, POLLOUT, 0};
            if (::poll(&waiting, 1, 300) == 0)
                return true;  // this one hangs: so will the next
        }
        return false;
    }
    int port() const { return listenPort; }

private:
    int listener = -1;
    int listenPort = 0;
    std::vector<int> fillers;
};
